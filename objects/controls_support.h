// What the control boxes (button, toggle, slider, number, flonum, preset)
// share: the patcher a `v...` constructor builds into, the layout numbers of
// their patcher lines, and writing a box line that keeps the atoms the file
// gave.
#pragma once

#include <cstdint>

#include "kel/atoms.h"
#include "kel/base.h"
#include "kel/binbuf.h"
#include "kel/patcher.h"
#include "kernel/core/atoms.h"
#include "kernel/patcher/patcher.h"

namespace kel {

// Room for the longest line a control box writes after its kind: a number
// box with twelve colour components holds twenty atoms.
inline constexpr long control_line_max = 20;

// The atoms of a control's line after its kind: as the file gave them, with
// the values the box changed written over them. `count` is how many the
// file gave; saving writes at least that many, and more only when a value
// beyond them differs from what its absence means.
struct control_line {
    atom atoms[control_line_max];
    long count;
};

inline bool is_number_atom(const atom &a) { return a.type == ATYPE_LONG || a.type == ATYPE_FLOAT; }

inline long number_at(long argc, const atom *argv, long i, long fallback)
{
    return i < argc && is_number_atom(argv[i]) ? atom_getlong(&argv[i]) : fallback;
}

inline short clamp_short(long v) { return static_cast<short>(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

// Copies what the file gave into line (at most control_line_max atoms).
void control_line_take(control_line *line, long argc, const atom *argv);
// Sets atom i (filling any gap before it with integer 0 and counting it as
// given only when `given`).
void control_line_set(control_line *line, long i, const atom &a);
// Writes "#P [hidden] kind" and the line's atoms: the first `count`, or
// more up to the last atom that differs from its absent meaning (absent:
// one per atom of the full line, what a missing atom means; null entries
// are never needed).
void control_line_save(box *b, binbuf *dest, symbol *kind, const control_line *line, long full, const atom *absent);

// The patcher a `v...` constructor builds into: an object atom first, else
// the patcher bound to #P. *first is the index of the first layout atom.
patcher *control_target_patcher(long argc, const atom *argv, long *first);

}  // namespace kel
