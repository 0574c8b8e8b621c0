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
#include <string>
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

// ok: every record read as it is; repaired: every record read, but a symbol
// number out of range was read as symbol 0; damaged: the reading stopped at
// a damaged record.
enum class patchfile_status { ok, damaged, no_memory, repaired };

// Decodes a whole binary file held in memory (version word first) into
// *out. label names the file in the console lines. Each repair and the
// damage that stops the reading post one error line ("bad file byte T" for
// a bad tag byte). When damaged, *out holds the whole messages before the
// damaged record (up to the last semicolon); a bad version word leaves it
// empty, as does running out of memory.
patchfile_status patchfile_decode(const unsigned char *data, size_t size, const char *label, std::vector<atom> *out);

// binbuf_read's work after the file has been read: empties x and fills it
// from the bytes of a binary file, as far as they are sound. 0 (also for a
// partial read), or with x empty -108 when memory ran out, else 1 (a bad
// version word, or nothing sound before the damage).
long patchfile_read_bytes(binbuf *x, const unsigned char *data, size_t size, const char *label);

// True when the last binbuf_read or patchfile_read_bytes of this thread
// answered 0 but kept less than its file held (a damaged binary file read
// in part, or with symbols repaired): what loads from it is not the whole
// file, and saving over the file should keep the original.
bool patchfile_last_read_partial();

// The line (from 1) each message of the last text file binbuf_read of this
// thread read begins on, in order; empty after a binary file or a failure.
// Taking them leaves none behind (a big file's list is not kept after its
// load).
std::vector<long> patchfile_take_message_lines();

// True when (name_a, path_a) and (name_b, path_b) are the same existing
// file (links and different spellings of its name included).
bool patchfile_same_file(const char *name_a, short path_a, const char *name_b, short path_b);

// Copies the file (name, path) beside itself, byte for byte, as NAME.orig,
// or NAME.orig.1, NAME.orig.2 ... when that name is taken (an earlier copy
// is never replaced). 0 and the copy's name in *kept, or 1 after an error
// line.
long patchfile_keep_original(const char *name, short path, std::string *kept);

// Appends atoms to x as they are: no conversion of any symbol, no
// semicolon added, no limit on the count. Atoms of types a buffer does not
// hold are refused (false, x unchanged), as is a growth failure (after the
// warning "couldn't grow binbuf to N").
bool patchfile_append(binbuf *x, const atom *argv, long argc);

// Replaces the file (name, path) with size bytes as binbuf_write does: a
// new file beside it, renamed over it once complete. 0, or 1 after an error
// line naming the file (which is then as it was).
long patchfile_replace(const char *name, short path, const char *data, size_t size);

}  // namespace kel
