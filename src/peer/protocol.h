// The datagrams two natchat peers exchange. There is no header: the payload is ASCII text
// without terminator or line end, and its kind is told by its first bytes alone.
//
//   "KEEPALIVE"  9 bytes  every 5 s once the path is up, to hold the NAT mappings open
//   "KEEPALIVE BYE"       the last datagram before natchat ends; a peer that does not know it
//                         takes it for a keepalive
//   "PUNCH_ACK"  9 bytes  the answer to a punch, sent to wherever the punch came from
//   "PUNCH"      5 bytes  ten per burst while the path is being opened
//   anything else         one chat line, 1 to 2047 bytes
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char kPunch[] = "PUNCH";
inline constexpr char kPunchAck[] = "PUNCH_ACK";
inline constexpr char kKeepalive[] = "KEEPALIVE";
inline constexpr char kBye[] = "KEEPALIVE BYE";
inline constexpr std::size_t kMaxChatLine = 2047;

enum class DatagramKind { bye, keepalive, punch_ack, punch, chat };

// A bye is exactly kBye. Otherwise prefixes are tested in this order, first match wins, and
// bytes after a keyword do not matter.
DatagramKind classify_datagram(const std::uint8_t* data, std::size_t size);

// Makes peer text safe to put on a terminal: printable UTF-8 and tab pass unchanged; every C0
// control byte, DEL, C1 control (U+0080 to U+009F) and byte of invalid UTF-8 becomes one '?'.
// Stops at the first zero byte. The result is never longer than the input; `out` needs
// `size + 1` bytes. Returns the length written.
std::size_t sanitize_for_display(const std::uint8_t* data, std::size_t size, char* out);

// The length of `text` without an incomplete UTF-8 sequence at its end, where a line too long
// for one datagram is cut; the held-back bytes begin the next piece.
std::size_t utf8_cut(const char* text, std::size_t size);
