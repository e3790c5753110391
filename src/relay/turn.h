// The TURN messages (RFC 8656) natchat sends to a relay server and reads from it, over UDP:
// Allocate, Refresh, CreatePermission and ChannelBind requests with the long-term credential
// mechanism, their responses, the Send and Data indications, and ChannelData.
//
// ChannelData, the relay's short frame for one bound peer:
//   Channel Number (16, 0x4000 to 0x4FFF) | Length (16) | Application Data (Length bytes)
#pragma once

#include <cstddef>
#include <cstdint>

#include "stun/message.h"
#include "platform/platform.h"

inline constexpr std::uint16_t kTurnAllocate = 0x003;
inline constexpr std::uint16_t kTurnRefresh = 0x004;
inline constexpr std::uint16_t kTurnSend = 0x006;
inline constexpr std::uint16_t kTurnData = 0x007;
inline constexpr std::uint16_t kTurnCreatePermission = 0x008;
inline constexpr std::uint16_t kTurnChannelBind = 0x009;

inline constexpr std::uint16_t kFirstChannel = 0x4000;
inline constexpr std::uint16_t kLastChannel = 0x4FFF;
inline constexpr std::size_t kChannelHeaderSize = 4;

inline constexpr int kErrorUnauthenticated = 401;
inline constexpr int kErrorStaleNonce = 438;

// What the client knows to authenticate with. Until the server's first challenge there is no
// realm, nonce or key, and requests go without them.
struct TurnCredentials {
    char user[128];
    char password[128];
    char realm[128];
    std::uint8_t nonce[128];
    std::size_t nonce_size;
    std::uint8_t key[16];  // MD5(user:realm:password)
    bool challenged;
};

// Takes the realm and nonce of a challenge and derives the key; false when they do not fit.
bool turn_take_challenge(TurnCredentials* c, const char* realm, const std::uint8_t* nonce,
                         std::size_t nonce_size);

// What a request asks for; fields that do not apply to its method are left out.
struct TurnRequest {
    std::uint16_t method;
    std::uint32_t lifetime;   // Allocate, Refresh: kept when kNoLifetime
    platform::Endpoint peer;  // CreatePermission, ChannelBind
    std::uint16_t channel;    // ChannelBind
};

inline constexpr std::uint32_t kNoLifetime = 0xFFFFFFFF;

// Writes the request with the credentials (once challenged), MESSAGE-INTEGRITY and FINGERPRINT;
// the size written, 0 when it does not fit.
std::size_t turn_build_request(const TurnRequest& request, const std::uint8_t id[kTransactionIdSize],
                               const TurnCredentials& c, std::uint8_t* out, std::size_t capacity);

struct TurnResponse {
    std::uint16_t method;
    int error;  // 0 for a success response
    platform::Endpoint relayed;
    platform::Endpoint mapped;
    std::uint32_t lifetime;  // kNoLifetime when absent
    char realm[128];
    std::uint8_t nonce[128];
    std::size_t nonce_size;
};

// Reads the response to the request with `id`. Refused: anything malformed, a FINGERPRINT that
// does not hold or is not last, a MESSAGE-INTEGRITY that does not hold under the credentials'
// key, a success response that is not authenticated once we have a key, and an error response
// that does not say which. Attributes after MESSAGE-INTEGRITY other than FINGERPRINT are not
// read.
bool turn_read_response(const std::uint8_t* data, std::size_t size,
                        const std::uint8_t id[kTransactionIdSize], const TurnCredentials& c,
                        TurnResponse* out);

// A Send indication: `data` for `peer`.
std::size_t turn_build_send(platform::Endpoint peer, const std::uint8_t* data, std::size_t size,
                            std::uint8_t* out, std::size_t capacity);

// A Data indication's peer and data.
bool turn_read_data(const std::uint8_t* data, std::size_t size, platform::Endpoint* peer,
                    const std::uint8_t** payload, std::size_t* payload_size);

std::size_t turn_build_channel_data(std::uint16_t channel, const std::uint8_t* data,
                                    std::size_t size, std::uint8_t* out, std::size_t capacity);

// A ChannelData frame: a channel in range and a length that the datagram holds.
bool turn_read_channel_data(const std::uint8_t* data, std::size_t size, std::uint16_t* channel,
                            const std::uint8_t** payload, std::size_t* payload_size);
