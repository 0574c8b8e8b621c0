// Patcher files: the binary form's codec and the pieces of the file layer
// that tests and the fuzz target reach without going through a file.
//
// The binary form is exact, byte for byte: a version word (2, little-endian)
// and then atom records, each a tag byte (kind in the high four bits, a size
// or a small value in the low four) and its bytes. Symbols are numbered per
// file in the order of their first appearance; a symbol's first record
// carries its name. On disk there are symbol numbers, never pointers.
#pragma once

#include <cstddef>
#include <vector>

#include "kel/base.h"
#include "kel/binbuf.h"

namespace kel {

// The longest symbol name the binary form keeps; a longer one is cut here
// by the writer and by the reader alike.
inline constexpr size_t patchfile_name_max = 4095;

// The binary form of x (version word first) into *out. False, after the
// check failure "bf_putatom", for an atom the form cannot hold (an object,
// $n outside 0..15, a symbol record without a symbol): nothing of x is
// dropped silently.
bool patchfile_encode(binbuf *x, std::vector<unsigned char> *out);

enum class patchfile_status { ok, damaged, no_memory };

// Decodes a whole binary file held in memory (version word first) into
// *out. label names the file in the console lines of a refusal. Every
// record is checked before anything is returned: damaged (after one error
// line) when any record is, and *out is then empty.
patchfile_status patchfile_decode(const unsigned char *data, size_t size, const char *label, std::vector<atom> *out);

// binbuf_read's work after the file has been read: empties x and fills it
// from the bytes of a binary file. 0, or with x empty -108 when memory ran
// out, else 1.
long patchfile_read_bytes(binbuf *x, const unsigned char *data, size_t size, const char *label);

// Appends atoms to x as they are: no conversion of any symbol, no
// semicolon added, no limit on the count. Atoms of types a buffer does not
// hold are refused (false, x unchanged), as is a growth failure (after the
// warning "couldn't grow binbuf to N").
bool patchfile_append(binbuf *x, const atom *argv, long argc);

}  // namespace kel
