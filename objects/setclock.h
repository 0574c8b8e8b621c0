// setclock: a named time base. Time objects given its name schedule their
// clocks on it (setclock_fdelay, setclock_unset, setclock_getftime in
// kel/clocks.h) and its time moves by messages, by an update clock sampling
// another source, by interpolating between time messages, or as a multiple
// of scheduler time; whenever it moves, the clocks waiting on it fire in
// time order.
#pragma once

#include "kel/kel.h"

namespace kel {

// Makes the class and supplies its constructor to the creation object.
bool setclock_init();

}  // namespace kel
