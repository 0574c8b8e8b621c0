#include <cstdlib>

#include "kernel/time/clocks.h"

namespace kel {

// A 4-ary heap: half the depth of a binary one, and the four children of a
// slot share a cache line of pointers.
namespace {
constexpr long arity = 4;
inline long parent_of(long i) { return (i - 1) / arity; }
inline long first_child_of(long i) { return i * arity + 1; }
}  // namespace

clock_queue::~clock_queue() { std::free(heap_); }

void clock_queue::publish()
{
    published_due_.store(count_ ? heap_[0]->fire_time : HUGE_VAL, std::memory_order_release);
    published_size_.store(count_, std::memory_order_release);
}

bool clock_queue::before(const kel_clock *a, const kel_clock *b) const
{
    return a->fire_time < b->fire_time || (a->fire_time == b->fire_time && a->order < b->order);
}

void clock_queue::place(long i, kel_clock *c)
{
    heap_[i] = c;
    c->slot = static_cast<int32_t>(i);
}

void clock_queue::sift_up(long i)
{
    kel_clock *c = heap_[i];
    while (i > 0) {
        long p = parent_of(i);
        if (!before(c, heap_[p])) break;
        place(i, heap_[p]);
        i = p;
    }
    place(i, c);
}

void clock_queue::sift_down(long i)
{
    kel_clock *c = heap_[i];
    for (;;) {
        long first = first_child_of(i);
        if (first >= count_) break;
        long last = first + arity < count_ ? first + arity : count_;
        long best = first;
        for (long k = first + 1; k < last; k++)
            if (before(heap_[k], heap_[best])) best = k;
        if (!before(heap_[best], c)) break;
        place(i, heap_[best]);
        i = best;
    }
    place(i, c);
}

bool clock_queue::insert(kel_clock *c)
{
    if (count_ == capacity_) {
        long grown = capacity_ ? capacity_ * 2 : 256;
        auto **bigger =
            static_cast<kel_clock **>(std::realloc(heap_, static_cast<size_t>(grown) * sizeof(kel_clock *)));
        if (!bigger) return false;
        heap_ = bigger;
        capacity_ = grown;
    }
    // Later sets of an equal time get later order numbers: they fire after.
    c->order = next_order_++;
    heap_[count_] = c;
    c->slot = static_cast<int32_t>(count_);
    count_++;
    sift_up(count_ - 1);
    publish();
    return true;
}

bool clock_queue::remove(kel_clock *c)
{
    long i = c->slot;
    if (i < 0 || i >= count_ || heap_[i] != c) return false;
    c->slot = -1;
    count_--;
    if (i < count_) {
        place(i, heap_[count_]);
        // The moved clock may belong above or below its new slot.
        if (i > 0 && before(heap_[i], heap_[parent_of(i)]))
            sift_up(i);
        else
            sift_down(i);
    }
    publish();
    return true;
}

kel_clock *clock_queue::pop()
{
    if (!count_) return nullptr;
    kel_clock *c = heap_[0];
    c->slot = -1;
    if (--count_ > 0) {
        place(0, heap_[count_]);
        sift_down(0);
    }
    publish();
    return c;
}

long clock_queue::clear()
{
    long n = count_;
    for (long i = 0; i < count_; i++) heap_[i]->slot = -1;
    count_ = 0;
    publish();
    return n;
}

long clock_queue::remove_if(bool (*match)(const kel_clock *, const void *), const void *context, kel_clock **removed)
{
    long kept = 0;
    long gone = 0;
    kel_clock *chain = nullptr;
    for (long i = 0; i < count_; i++) {
        kel_clock *c = heap_[i];
        if (match(c, context)) {
            c->slot = -1;
            c->next = chain;
            chain = c;
            gone++;
        } else {
            heap_[kept++] = c;
        }
    }
    if (!gone) return 0;
    count_ = kept;
    // Any arrangement that is a heap keeps the same firing order, because
    // (fire time, set order) is a total order: rebuild bottom-up.
    for (long i = 0; i < count_; i++) heap_[i]->slot = static_cast<int32_t>(i);
    for (long i = count_ / arity; i >= 0; i--)
        if (i < count_) sift_down(i);
    publish();
    if (removed) *removed = chain;
    return gone;
}

}  // namespace kel
