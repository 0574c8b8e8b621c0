// Clock records and the ordered queues that hold them.
//
// A clock list is logically a list sorted by fire time in which a clock set
// for a time already listed goes after every clock listed for that time. It
// is kept as a 4-ary heap ordered by (fire time, set order): the same order,
// with insertion and removal in O(log n) instead of a walk over every pending
// clock. Each clock knows its slot, so unsetting any clock is O(log n) too.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>

#include "kel/clocks.h"

struct kel_clock {
    // A tiny object: freeobject works on it (its free method unsets it).
    method_entry *messlist;
    int32_t magic;
    kel_clock *next;  // the setclock waiting-list link
    void *arg;
    kel_method fn;
    int32_t integer;  // shown by the clock dump; always 0
    intptr_t state;   // -1 not scheduled, 0 in a queue, else the setclock that holds it
    double fire_time;
    double logical_time;
    kel_scheduler *private_scheduler;
    object *owner;
    uint64_t order;  // set order: breaks ties between equal fire times
    int32_t slot;    // index in the heap that holds it, -1 when none does
};

namespace kel {

// One ordered clock list. Not locked: the owner locks around every call
// except the two published figures, which any thread may read at any time.
class clock_queue {
public:
    clock_queue() = default;
    clock_queue(const clock_queue &) = delete;
    clock_queue &operator=(const clock_queue &) = delete;
    ~clock_queue();

    kel_clock *head() const { return count_ ? heap_[0] : nullptr; }
    long size() const { return count_; }
    // The head's fire time (HUGE_VAL when empty) and the size as the last
    // change under the owner's lock left them. A reader without the lock may
    // see a change a moment late, as if it had looked just before it.
    double published_due() const { return published_due_.load(std::memory_order_acquire); }
    long published_size() const { return published_size_.load(std::memory_order_acquire); }
    // Inserts after every clock with a fire time <= c's. False when the heap
    // cannot grow (the clock stays out).
    bool insert(kel_clock *c);
    // Takes c out when this queue holds it; false otherwise.
    bool remove(kel_clock *c);
    kel_clock *pop();
    // Drops every clock (their state is left as it was); returns how many.
    long clear();
    // Takes out every clock that match accepts, in one pass; they come back
    // chained through `next` in *removed. Returns how many.
    long remove_if(bool (*match)(const kel_clock *, const void *), const void *context, kel_clock **removed);
    // The held clocks in no particular order.
    kel_clock *const *begin() const { return heap_; }
    kel_clock *const *end() const { return heap_ + count_; }

private:
    bool before(const kel_clock *a, const kel_clock *b) const;
    void place(long i, kel_clock *c);
    void sift_up(long i);
    void sift_down(long i);
    void publish();

    std::atomic<double> published_due_{HUGE_VAL};
    std::atomic<long> published_size_{0};
    kel_clock **heap_ = nullptr;
    long count_ = 0;
    long capacity_ = 0;
    uint64_t next_order_ = 0;
};

struct private_scheduler_record;

// The global list; guarded by the clock lock.
extern constinit clock_queue g_global_clocks;
inline clock_queue &global_clocks() { return g_global_clocks; }

// Sets a clock: the one place every set and delay form ends.
void clock_schedule(kel_clock *c, double time, double offset);

// The owner hook (bound to "clock_setowner"): freeing the owner unsets c.
void clock_set_owner(kel_clock *c, object *owner);

// Every pending clock on the global list whose owner is x leaves it.
void clocks_remove_owned_by(void *x);

// Empties the global list (abort, stack overflow): the clocks keep state 0
// until they are set or unset again.
void clocks_drop_all();

// The clock dump: "time ..." and one line per pending clock.
void clocks_dump();

// The external synchronisation time and its format code (getexttime,
// clock_getextfmt) and the SMPTE time, as a time code source produces them.
void clock_set_external_time(long ms, short format);
void clock_set_smpte_time(double ms);
double clock_smpte_time();

// The clock class (registered by kernel start-up).
kel_class *clock_class();

}  // namespace kel
