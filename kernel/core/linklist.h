// Linked lists: the kernel's ordered, thread-safe sequence of pointers.
//
// Invariants: count equals the number of live elements between head and tail;
// the cursor is null or a live element. A list being walked by methodall or
// funall (which call out with the lock released) never frees an element record:
// elements removed meanwhile are marked dead, keep their next link, and are
// freed when the last walk ends, so a walk can always continue.
#pragma once

#include <mutex>

#include "kel/base.h"
#include "kel/linklist.h"

namespace kel {

struct linklist_element {
    void *value;
    linklist_element *next;
    linklist_element *prev;  // for a dead element: the next one waiting to be freed
    bool dead;
};

}  // namespace kel

struct linklist {
    object header;
    long count;
    kel::linklist_element *head;
    kel::linklist_element *tail;
    long readonly;  // when set, no lock is taken at all
    std::recursive_mutex *lock;
    kel::linklist_element *cursor;
    long walking;                      // walks in progress
    kel::linklist_element *graveyard;  // dead elements, freed when walking returns to 0
};

namespace kel {

// Takes the list's lock unless the list is read-only.
class list_guard {
public:
    explicit list_guard(linklist *x) : list_(x), locked_(!x->readonly)
    {
        if (locked_) list_->lock->lock();
    }
    ~list_guard() { unlock(); }
    list_guard(const list_guard &) = delete;
    list_guard &operator=(const list_guard &) = delete;
    void unlock()
    {
        if (locked_) list_->lock->unlock();
        locked_ = false;
    }
    void relock()
    {
        if (!list_->readonly && !locked_) {
            list_->lock->lock();
            locked_ = true;
        }
    }

private:
    linklist *list_;
    bool locked_;
};

// The list class, made on first use and registered at start-up.
kel_class *linklist_class();

// Calls fn(value, arg) for each live non-null value with the lock released
// around each call; elements removed meanwhile are skipped safely.
void linklist_walk(linklist *x, void (*fn)(void *value, void *arg), void *arg);

}  // namespace kel
