// Deferred calls (a message call moved onto the main thread) and scheduled
// calls (a message call at a time, on a clock of their own).
#pragma once

#include "kel/clocks.h"

namespace kel {

// When q carries a deferred call, frees the call with q and returns true.
// Used when the call's object is freed before the call could run.
bool deferred_call_discard(qelem *q);

// The same for a clock that carries a scheduled call.
bool scheduled_call_discard(kel_clock *c);

}  // namespace kel
