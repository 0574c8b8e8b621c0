// Buttons, toggles and sliders: boxes that turn gestures into messages and
// show the last value they passed. Each has one outlet and its box's own
// inlet.
//
// Invariants: a toggle's value is any 32-bit integer (0 is off); a
// slider's value is kept as received (only the drawing clamps it to the
// range), its range stays within 1 .. 1024 and its multiplier within
// -1024 .. 1024, and it outputs mult x value + min computed with 32-bit
// wrapping; a button's colour index lives in its box's flag word. Each box
// line written by psave holds every atom the file's line held, with the
// values the box changed since.
#pragma once

#include "kel/base.h"
#include "kernel/patcher/patcher.h"

namespace kel {

// Makes the classes `button`, `toggle` and `slider`, registers their
// patcher lines and provides `vbutton`, `vtoggle` and `vslider`.
bool controls_init();

// The mouse, for tests and for a window layer: after `click`, a slider
// follows a drag of `up` pixels (upward positive) from the value it had at
// the click, within 0 .. range - 1; release ends the drag.
void control_drag(box *b, long up);
void control_release(box *b);

// The state (tests): the value of a toggle or slider, and whether a
// button is flashing.
long control_value(box *b);
// A slider's range (the number of values it shows), 0 for other boxes.
long control_range(box *b);
bool button_flashing(box *b);

}  // namespace kel
