// Lines of a patcher file that the engine keeps without acting on them:
// data lines for a box whose class is not here, records addressed to
// receivers nothing is bound to (table and collection data, ...), colour
// lines a box does not understand. Each is held by the box (or the patcher)
// it stood with in the file, and written back in the same place when the
// patcher is saved, so that a re-saved file loses nothing it held.
#pragma once

#include "kel/binbuf.h"
#include "kel/patcher.h"

namespace kel {

// Appends a line (argc atoms from the receiver on; the semicolon is added)
// to the lines kept after b's own line. False when memory ran out (the
// memory-low flag is then raised).
bool box_keep_after(box *b, long argc, const atom *line);
// Moves every line of `lines` to those kept before b and frees `lines`.
void box_take_before(box *b, binbuf *lines);
// The lines kept before (after) b's own line, or null. Owned by the box.
binbuf *box_kept_before(const box *b);
binbuf *box_kept_after(const box *b);
// Frees what b keeps (the box leaves its patcher, or its object is made
// again from new text and the lines were meant for the old one).
void box_kept_free(const box *b);

// Lines that stood in p's file with no box to hold them: written after the
// patcher's head, before its boxes. Same ownership as above.
void patcher_take_kept(patcher *p, binbuf *lines);
binbuf *patcher_kept(const patcher *p);
void patcher_kept_free(const patcher *p);

// Appends every atom of `from` to `dest` unchanged; false when memory ran
// out.
bool kept_lines_copy(binbuf *dest, binbuf *from);

}  // namespace kel
