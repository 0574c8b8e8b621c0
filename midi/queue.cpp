#include "midi/queue.h"

#include <cstring>

namespace kel::midi {
namespace {

constexpr unsigned char tag_packet = 1;
constexpr unsigned char tag_wrap = 2;  // the rest of the ring is unused: go on at 0
constexpr uint8_t flag_stamp_now = 0x80;

size_t record_size(size_t length, bool stamp_now) { return input_queue::header_size + (stamp_now ? 0 : 8) + length; }

}  // namespace

bool input_queue::push(uint32_t port_id, const unsigned char *data, size_t length, double timestamp, bool stamp_now)
{
    const size_t need = record_size(length, stamp_now);
    if (length == 0 || need >= ring_size) {
        dropped_.fetch_add(length, std::memory_order_relaxed);
        return false;
    }
    std::lock_guard<std::mutex> hold(producers_);
    const size_t w = write_.load(std::memory_order_relaxed);
    const size_t r = read_.load(std::memory_order_acquire);
    size_t at = w;
    bool wrap = false;
    if (w >= r) {
        // Free: [w, end) and [0, r); the last free byte before r stays free.
        const size_t at_end = ring_size - w - (r == 0 ? 1 : 0);
        if (at_end < need) {
            if (need >= r) {
                dropped_.fetch_add(length, std::memory_order_relaxed);
                return false;
            }
            wrap = true;
            at = 0;
        }
    } else if (w + need >= r) {
        dropped_.fetch_add(length, std::memory_order_relaxed);
        return false;
    }
    unsigned char *p = ring_ + at;
    const uint32_t n = uint32_t(length);
    const uint8_t flags = stamp_now ? flag_stamp_now : 0;
    p[0] = tag_packet;
    std::memcpy(p + 1, &port_id, 4);
    p[5] = flags;
    std::memcpy(p + 6, &n, 4);
    p += header_size;
    if (!stamp_now) {
        std::memcpy(p, &timestamp, 8);
        p += 8;
    }
    std::memcpy(p, data, length);
    // The wrap mark is written last: the consumer may stand at w.
    if (wrap) ring_[w] = tag_wrap;
    size_t next = at + need;
    if (next == ring_size) next = 0;
    write_.store(next, std::memory_order_release);
    return true;
}

bool input_queue::peek(packet_view *out)
{
    size_t r = read_.load(std::memory_order_relaxed);
    const size_t w = write_.load(std::memory_order_acquire);
    if (r == w) return false;
    if (ring_[r] == tag_wrap) {
        r = 0;
        read_.store(0, std::memory_order_release);
        if (r == w) return false;
    }
    const unsigned char *p = ring_ + r;
    std::memcpy(&out->port_id, p + 1, 4);
    out->flags = p[5];
    std::memcpy(&out->length, p + 6, 4);
    p += header_size;
    const bool stamp_now = (out->flags & flag_stamp_now) != 0;
    out->timestamp = 0;
    if (!stamp_now) {
        std::memcpy(&out->timestamp, p, 8);
        p += 8;
    }
    out->data = p;
    peeked_end_ = r + record_size(out->length, stamp_now);
    return true;
}

void input_queue::consume()
{
    size_t next = peeked_end_;
    if (next == ring_size) next = 0;
    read_.store(next, std::memory_order_release);
}

void input_queue::clear()
{
    std::lock_guard<std::mutex> hold(producers_);
    write_.store(0, std::memory_order_relaxed);
    read_.store(0, std::memory_order_relaxed);
    dropped_.store(0, std::memory_order_relaxed);
}

}  // namespace kel::midi
