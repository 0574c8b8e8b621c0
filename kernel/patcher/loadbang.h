// Loadbang, closebang and freebang: telling the objects of a patcher that it
// has been loaded, that its window closed, or that it is about to be freed.
//
// Invariants: the loadbang queue holds each patcher at most once, in the
// order of their pops; a patcher that is freed leaves the queue, and any
// delivery in progress, at once. Within one delivery (and within one
// `loadbang` message to a patcher) each patcher receives loadbang once,
// subpatchers before the patchers that hold them.
#pragma once

#include "kel/base.h"
#include "kernel/patcher/patcher.h"

namespace kel {

// Provides the constructors of `loadbang`, `closebang`, `freebang` and
// `active`.
bool loadbang_init();

// The queue: pushed by every pop, emptied at the start of an outermost load
// and delivered at its end.
void loadbang_queue_push(patcher *p);
void loadbang_queue_remove(patcher *p);
void loadbang_clearqueue();
void loadbang_dequeue();
long loadbang_queue_size();
bool loadbang_suspended();

// The patcher's `loadbang` method: p and, through its boxes, every
// subpatcher in it, unless already served in the delivery in progress.
void patcher_loadbang(patcher *p);
// Once per patcher, before it is freed: subpatchers first, then each object
// of p with a `freebang` method.
void patcher_freebang(patcher *p);
// Every closebang object in p gets `bang` (the window closed or the patcher
// is being freed), unless p is flagged to skip it.
void patcher_closebang(patcher *p);
// Every `active` object among p's own boxes (not its subpatchers') outputs
// 1 or 0. A notification repeating the last one (same patcher, same state)
// is dropped.
void patcher_activate(patcher *p, bool active);
// Forgets p as the last patcher notified, once p is being freed: a patcher
// made later at the same address is told everything.
void patcher_activate_forget(patcher *p);

}  // namespace kel
