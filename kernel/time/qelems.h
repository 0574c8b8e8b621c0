// Queue elements and the main thread's queue.
//
// One FIFO guarded by the queue lock. An element is in the queue at most
// once: setting a queued element changes nothing, moving it to the front
// takes it out first. Functions always run on the main thread, from the
// queue service, without the lock.
#pragma once

#include "kel/clocks.h"

struct qelem {
    qelem *next;
    qelem *prev;
    void *arg;
    kel_method fn;  // called as void fn(void *arg)
    short queued;
    object *owner;
};

namespace kel {

// Every queued element whose owner is x leaves the queue.
void qelems_remove_owned_by(void *x);

// The number of queued elements.
long queue_length();

// Binds "qelem_setowner"; called by scheduler start-up.
void qelems_init();

}  // namespace kel
