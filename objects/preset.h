// Presets: a box that stores snapshots (slots) of the state of other boxes
// of its patcher and recalls them.
//
// A slot is a list of messages, each (object, class name, selector,
// arguments...), ended by a semicolon atom. A slot read from a file or a
// patcher line holds its messages as the file gave them, each beginning
// with a box number, top, left and class name, until `loadbang` (or a
// `read`) resolves them into objects.
//
// Invariants:
//   - a stored object is always a live object of a box of the preset's
//     patcher: when a box leaves that patcher (or an object box makes a new
//     object), every message for its object is marked dead before the
//     object is freed, and a recall skips dead messages; nothing is ever
//     read through a dead pointer;
//   - a message whose box was not found when resolving is kept as loaded:
//     skipped on recall and written back unchanged on save;
//   - a recall never lets a slot's atoms move: stores and clears are refused
//     while one replays, and a preset freed by a message it sends ends the
//     replay there.
#pragma once

#include <vector>

#include "kel/atoms.h"
#include "kel/base.h"
#include "kernel/patcher/patcher.h"

namespace kel {

// Makes the class `preset`, registers the `preset` patcher line and
// provides `vpreset` to the creation object.
bool preset_init();

// The buffer that preset_int, preset_set and preset_store append to (null:
// none); answers the one it replaces.
std::vector<atom> *preset_buffer_exchange(std::vector<atom> *buffer);
// Appends (x, x's class name, selector, argv...) to that buffer, with no
// limit on the count of atoms (nothing when there is no buffer).
void preset_store_message(object *x, symbol *selector, long argc, const atom *argv);

// A click on the cell of slot n (tests and a window layer): recalls it when
// filled; with shift, stores into it.
void preset_click_slot(box *b, long n, bool shift);

// The state of slot n of a preset box (tests): 0 empty, 1 filled, -1 loaded
// and not yet resolved, -2 when there is no such slot; its kind, its count
// of messages (resolved, and kept as loaded), and the slot count.
struct preset_slot_info {
    int state;
    int kind;
    long resolved;
    long unresolved;
};
preset_slot_info preset_slot(box *b, long n);
long preset_slot_count(box *b);

}  // namespace kel
