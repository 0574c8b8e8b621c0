// Message buffers: the kernel class `binbuf`.
//
// Invariants: storage is one relocatable block holding the type region (one
// type byte per atom, then a 0 byte, then slack) followed by the data region
// (the atoms' values in order, packed without alignment: 4 bytes for an
// integer or $n, a pointer for a symbol, object or $ symbol, a double for a
// float, nothing for a semicolon or comma). data_offset is the type region's
// size: a multiple of 4, at least count + 1 and at least 4. used is the bytes
// in use, data_offset plus the data bytes; the block may be larger. Every
// change bumps generation, which evaluation watches.
#pragma once

#include <cstddef>

#include "kel/base.h"
#include "kel/binbuf.h"
#include "kel/memory.h"

struct binbuf {
    object header;
    kel_handle storage;
    long data_offset;
    long count;
    long used;
    unsigned long generation;
};

namespace kel {

// The binbuf class, made and registered (in `nobox`) on first use.
kel_class *binbuf_class();

// The message-buffer layer at kernel start-up: its class, and the parser
// that turns console errors into atoms for their subscribers.
bool binbuf_init();

// The process-wide growth-failure flag: set when a buffer cannot grow; text
// parsing clears it first, and so do binary reading and saving.
// How binbuf_insert reads "#" symbols, also used when box lines are saved:
// "#" and one digit becomes that $ argument; "#", a digit and a non-digit
// becomes the $ symbol of the name after "#".
void binbuf_convert_hash_symbol(atom *a);

void binbuf_growth_failure_clear();
bool binbuf_growth_failed();
// Sets the flag for a line that could not be added for lack of memory
// other than the buffer's own (the atoms gathered for it).
void binbuf_growth_failure_set();

// Appends atoms exactly as they are (no conversion of their symbols), the
// way reading a file does: with slack, growing the block geometrically.
// False, with the warning, the flag set and the buffer unchanged, when it
// cannot grow; atoms of types a buffer does not hold are left out.
bool binbuf_append_atoms(binbuf *x, const atom *argv, long argc);

// The bytes a value of this atom type takes in the data region; -1 for a
// type a buffer does not hold.
long binbuf_data_size(short type);

// Parses length characters of text into at most max atoms at argv and
// stores their number in *argc; the rest of the text is ignored. For the
// console's error subscribers: allocates nothing but new symbols, and gives
// plain message atoms only (";" and "," as symbols, $ forms as the symbols
// of their text).
void binbuf_parse_text(const char *text, size_t length, long *argc, atom *argv, long max);

// The argument vector binbuf_eval evaluates with: args[0] the next serial
// (what $0 expands to, unique per evaluation), args[1 .. 9] argv's atoms or
// 0. For loaders that evaluate a buffer piecewise as binbuf_eval would.
inline constexpr long binbuf_eval_argument_count = 9;
void binbuf_eval_arguments(long argc, const atom *argv, atom args[binbuf_eval_argument_count + 1]);

}  // namespace kel
