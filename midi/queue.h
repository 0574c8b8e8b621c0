// The MIDI input queue: a byte ring of packets put on by any thread and
// taken off by the one thread that runs the scheduler poll.
//
// Invariants: every packet lies whole inside the ring (a packet that does
// not fit before the end is placed at offset 0, behind a wrap mark); the
// write offset never catches up with the read offset (write == read means
// empty), so a producer never overwrites a packet not yet read; a packet
// that does not fit is refused and its bytes are counted as dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kel::midi {

struct packet_view {
    uint32_t port_id = 0;
    uint8_t flags = 0;
    double timestamp = 0;
    const unsigned char *data = nullptr;
    uint32_t length = 0;
};

class input_queue {
public:
    static constexpr size_t ring_size = 150000;
    // A record: a tag byte, the port id (4), the flags (1), the length (4),
    // the timestamp (8, only without the stamp-now flag), the bytes.
    static constexpr size_t header_size = 10;

    // Any thread. False when refused (too long, or the ring is full).
    bool push(uint32_t port_id, const unsigned char *data, size_t length, double timestamp, bool stamp_now);
    // The consumer: the oldest packet, left in place until consume().
    bool peek(packet_view *out);
    void consume();
    bool empty() const { return read_.load(std::memory_order_relaxed) == write_.load(std::memory_order_acquire); }
    // Bytes refused since the last call.
    uint64_t take_dropped() { return dropped_.exchange(0, std::memory_order_relaxed); }
    bool has_dropped() const { return dropped_.load(std::memory_order_relaxed) != 0; }
    // Forgets every packet; only while no producer or consumer runs.
    void clear();

private:
    unsigned char ring_[ring_size];
    std::mutex producers_;
    std::atomic<size_t> write_{0};
    std::atomic<size_t> read_{0};
    size_t peeked_end_ = 0;  // the consumer's: the end of the packet peek() gave
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace kel::midi
