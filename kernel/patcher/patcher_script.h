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

// The C functions of scripting are declared in kel/patcher.h.
