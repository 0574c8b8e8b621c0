// The text form of atoms: the tokeniser, the printer and the box-text rule,
// shared by message buffers, box text and (through them) patcher files.
//
// The printer and the tokeniser are each other's inverse: for every atom list
// the tokeniser can produce, printing it and reading the text back gives the
// same atoms (floats: the same printed text). docs/binbuf.md states both
// rule sets; tests/fuzz/fuzz_binbuf.cpp checks the property.
#pragma once

#include <cstddef>

#include "kel/base.h"
#include "kel/memory.h"

namespace kel {

// A token holds at most this many characters; readatom's buffer one more.
inline constexpr long token_max_length = 4095;
inline constexpr long token_buffer_size = token_max_length + 1;

// Reads one token of text[0, size) starting at *position, which is advanced
// past it. Fills *a and token (the token's text, NUL-terminated) and answers
// true, or answers false (token empty) when only whitespace remained.
// Allocates nothing but the symbol of a new name.
bool atomtext_read(const char *text, long size, long *position, char *token, atom *a);

// True when a symbol of this name, printed unescaped, would read back as a
// number.
bool atomtext_looks_like_number(const char *name);

// The longest text atomtext_print writes for one atom, NUL included.
inline constexpr long atom_text_max = 4 * 1024 + 64;

// The printed form of one atom, without separators, into out (which holds
// atom_text_max bytes); answers its length. A semicolon prints as ";\r\n".
long atomtext_print(const atom *a, char *out);

// The printed form of a float: "%f" with trailing zeros removed and the
// noise of single precision rounded away. out holds 64 bytes; answers the
// length.
long atomtext_float(float value, char *out);

// Whether one blank goes between an atom of type previous and the next one
// (previous is ATYPE_NOTHING before the first atom).
inline bool atomtext_blank_between(short previous, short next)
{
    return previous != ATYPE_NOTHING && previous != ATYPE_SEMI && next != ATYPE_SEMI && next != ATYPE_COMMA;
}

// The box-text rule for symbols (text typed into a box, and stored box text):
// a name beginning with ";" is a semicolon, with "," a comma; "$" and one
// digit 1..9 is $n; "$", a digit 1..9 and a character other than 1..9 is a $
// symbol of the rest; otherwise backslashes are removed, each keeping the
// character after it. Atoms that are not symbols are left alone.
void atomtext_box_convert(atom *a);
// The type atomtext_box_convert would give a, without making any symbol.
short atomtext_box_type(const atom *a);

// A handle filled from its start, growing as text is added: capacity doubles,
// and finish() trims the handle to the text. A failed growth is remembered;
// finish() then leaves the handle 1 byte long and answers false.
class handle_writer {
public:
    explicit handle_writer(kel_handle h);
    handle_writer(const handle_writer &) = delete;
    handle_writer &operator=(const handle_writer &) = delete;

    void put(const char *text, long length);
    // Sets *size to the text's length (0 after a failure).
    bool finish(long *size);

private:
    kel_handle handle_;
    long size_ = 0;
    long capacity_ = 0;
    bool failed_ = false;
};

// Resizes h to n bytes, n not above its size: never fails for want of memory
// (fault injection included), so error paths can always trim.
void handle_shrink(kel_handle h, long n);

}  // namespace kel
