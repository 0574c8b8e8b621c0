// Scripting: the patcher message `script`, which creates, names, wires,
// moves and deletes boxes by their names, and the functions it builds on.
#pragma once

#include "kel/base.h"
#include "kel/patcher.h"

namespace kel {

// Adds `script` to the patcher class (made at start-up).
void patcher_script_addmethods(kel_class *c);

// Takes b out of its patcher at once (its name, its cords, its place in the
// list) and frees it from the low-priority queue: the object that asked for
// the deletion (the box itself, or one still sending into it) may be running
// and must not run on freed memory when its call returns.
void script_delete_box(patcher *p, box *b);

}  // namespace kel

KEL_BEGIN_C

/* Sets the color index of the cord from outlet outn of src to inlet inn of
 * dst: "connectcolor: no outlet N", "connectcolor: no inlet N",
 * "connectcolor: unable to find connection". */
KEL_API void patcher_colorconnectobj(patcher *p, box *src, long outn, box *dst, long inn, long color);
/* A box of class cls with its default look, its top left corner at x, y:
 * the box kinds of the patcher (message, comment, button, toggle, slider,
 * inlet, outlet, preset, number, flonum) get their default layout; any
 * other name an object box whose text is cls and the arguments. Answers the
 * box made, or NULL. */
KEL_API box *patcher_newdefault(patcher *p, long x, long y, symbol *cls, long argc, atom *argv);

KEL_END_C
