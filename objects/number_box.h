// Number boxes: `number` (32-bit integers) and `flonum` (32-bit floats).
// A number box passes on every number it receives, limited to its minimum
// and maximum when those are set, and lets the user change the number by
// dragging or typing.
//
// Invariants: the value is always within the set limits (a value that
// arrives, is typed, dragged or recalled is limited; the initial value too);
// flag bits 0 and 1 say whether the minimum and the maximum are set and
// change only through `min` and `max`; the box line written by psave holds
// every atom the file's line held (colours included), with the values the
// box changed since.
#pragma once

#include "kel/base.h"
#include "kernel/patcher/patcher.h"

namespace kel {

// Makes the classes, registers the `number` and `flonum` patcher lines and
// provides `vnumber` and `vflonum` to the creation object.
bool number_box_init();

// A number box of p from its line's atoms (left top width font-size min max
// flags font [6 colour components [6 more]]); null when memory ran out.
box *number_box_new(patcher *p, bool floating, long argc, atom *argv);

// The mouse, for tests and for a window layer: a drag begun by `click`
// moves by `up` pixels (upward positive) and ends at release.
void number_box_drag(box *b, long up);
void number_box_release(box *b);

// The value (tests): as a double for both classes.
double number_box_value(box *b);

}  // namespace kel
