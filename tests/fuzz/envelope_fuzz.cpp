// Feeds arbitrary datagrams to the secure session's decoders, and arbitrary acknowledgements and
// sequence numbers (what an authenticated but hostile peer could send) to delivery.
#include <cstdint>
#include <cstring>
#include <vector>

#include "peer/delivery.h"
#include "peer/envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Handshake ours;
    static const bool ready = envelope_startup() && handshake_start(&ours);
    if (!ready) __builtin_trap();
    const std::vector<std::uint8_t> datagram(data, data + size);  // exact size: over-reads show
    Handshake h = ours;
    Channel channel{};
    take_commit(&h, datagram.data(), datagram.size());
    take_reveal(&h, datagram.data(), datagram.size(), &channel);
    std::uint8_t kind = 0, body[4096];
    std::size_t n = 0;
    if (open_record(&channel, datagram.data(), datagram.size(), &kind, body, &n)) __builtin_trap();

    // Whatever is acknowledged, only unconfirmed lines of the window go out, and none is dropped.
    Delivery d;
    const SendLine send = [&d](std::uint32_t seq, const std::string&) {
        if (seq - d.out.front().seq >= kWindow || d.out[seq - d.out.front().seq].acked) __builtin_trap();
    };
    for (int i = 0; i < 80; ++i) delivery_queue(&d, "x");
    std::uint32_t now = 0;
    delivery_pump(&d, now, send);
    std::vector<std::string> ready_lines;
    for (std::size_t at = 0; at + 12 <= size; at += 12) {
        std::uint32_t a;
        std::uint64_t map;
        std::memcpy(&a, data + at, 4);
        std::memcpy(&map, data + at + 4, 8);
        delivery_acked(&d, now += a % 4096, a, map, send);
        delivery_pump(&d, now, send);
        delivery_take(&d, a, "y", &ready_lines);
    }
    const bool whole = d.out.empty() || (!d.out.front().acked && d.out.front().seq + d.out.size() == d.next_seq);
    if (!whole || d.out.size() > 80 || ready_lines.size() > d.delivered) __builtin_trap();
    return 0;
}
