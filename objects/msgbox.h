// Message boxes: boxes whose text is a message, sent out when the box is
// clicked or receives bang, with $1 .. $9 filled from what arrives.
//
// Invariants: the box's slot count is the highest $ number its contents use
// (at most 9) and every slot holds an atom (integer 0 until filled); a
// change of contents keeps the values of the slots that remain. Contents
// and slots replaced while the box is being evaluated stay alive until the
// outermost evaluation of that box returns.
#pragma once

#include <vector>

#include "kel/base.h"
#include "kernel/patcher/patcher.h"

namespace kel {

// Makes the class `message` and provides `vmessage` to the creation object.
bool messagebox_init();
kel_class *messagebox_class();

// A message box in p: left, top, width, the font word, then its text. It
// binds #X, so that a following "#X" line of a file reaches it. Null when
// memory ran out.
box *messagebox_new(patcher *p, long left, long top, long width, long font, long argc, atom *argv);

// The box's contents and slots (tests).
atombuf *messagebox_contents(box *b);
long messagebox_slot_count(box *b);

// The texts of the last 16 edits, most recent first.
std::vector<symbol *> messagebox_recent_texts();
void messagebox_recent_clear();

}  // namespace kel
