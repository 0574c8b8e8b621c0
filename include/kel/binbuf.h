/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: message buffers, box text and the text form of atoms.
 *
 * A binbuf is a kernel object (class `binbuf`) holding a growable list of
 * atoms: built from atoms or from text, printed back to text, and evaluated
 * as a sequence of messages. Destroy it with freeobject.
 *
 * An atombuf is the text of a box: one block from the getbytes pool holding
 * a count and that many atoms. Give it back with atombuf_free.
 *
 * Functions answering long return 0 on success and 1 when memory could not
 * be had (or an argument was NULL); what they leave behind is stated below.
 * docs/binbuf.md describes the text syntax, the printing rules and how
 * evaluation resolves receivers and $ arguments.
 */
#ifndef KEL_BINBUF_H
#define KEL_BINBUF_H

#include "kel/base.h"
#include "kel/memory.h"

KEL_BEGIN_C

typedef struct binbuf binbuf;

/* The atoms of a box's text. The record is argc atoms long (argv is declared
 * with one element only so that C and C++ agree on the layout). */
typedef struct atombuf {
    int32_t argc;
    atom argv[1];
} atombuf;

/* The size of the token buffer that readatom fills. */
#define KEL_TOKEN_SIZE 4096

/* --- binbuf --- */

/* An empty buffer, or NULL when memory is exhausted. */
KEL_API binbuf *binbuf_new(void);

/* Appends argc atoms (at most 256: the warning "message too long" and the
 * rest dropped) and a semicolon; nothing when argc <= 0. selector is ignored.
 * A symbol "#" + one digit becomes $digit, "#" + a digit + a non-digit
 * becomes a $ symbol, converted in argv itself. 1 when the buffer could not
 * grow (the warning "couldn't grow binbuf to N"; the buffer is unchanged). */
KEL_API long binbuf_insert(binbuf *x, symbol *selector, long argc, atom *argv);
/* binbuf_insert of the atoms described by format: l a long, f a double, s a
 * symbol pointer, o an object pointer, one letter an argument; other letters
 * are skipped; at most 32 atoms. */
KEL_API long binbuf_vinsert(binbuf *x, const char *format, ...);
/* Appends argc atoms without a semicolon; symbols are read as box text (see
 * atombuf_replace). The class answers the message `append` with it. */
KEL_API long binbuf_append(binbuf *x, symbol *selector, long argc, atom *argv);
/* Replaces the contents with argc atoms read as binbuf_append reads them.
 * The class answers the message `set` with it. */
KEL_API long binbuf_set(binbuf *x, symbol *selector, long argc, atom *argv);

/* Replaces the contents with the atoms of the first size bytes of text in h.
 * 1 when the buffer could not grow; it is left empty then. */
KEL_API long binbuf_text(binbuf *x, kel_handle h, long size);
/* Appends the atoms of the text; semicolons and commas are stored as the
 * symbols ";" and ",". 1 when the buffer could not grow; it is left as it
 * was before the call then. */
KEL_API long binbuf_addtext(binbuf *x, kel_handle h, long size);
/* Prints the buffer into h, resizing it to exactly *size characters (no NUL
 * is written). 1 when h could not grow: h is then 1 byte and *size 0. */
KEL_API long binbuf_totext(binbuf *x, kel_handle h, long *size);

/* A cursor is an atom index and a byte offset, both starting at 0, kept by
 * the caller. Copies the atom at the cursor into *a, advances the cursor and
 * returns 0; at the end (or for a cursor outside the buffer) stores
 * ATYPE_NOTHING and returns 1. */
KEL_API long binbuf_getatom(binbuf *x, long *index, long *offset, atom *a);
/* Removes the atoms from cursor (from_index, from_offset) up to, not
 * including, cursor (to_index, to_offset), cursors as binbuf_getatom
 * produces them. 1, with nothing changed, when the cursors do not describe
 * atom boundaries of the buffer in order. */
KEL_API long binbuf_delete(binbuf *x, long from_index, long to_index, long from_offset, long to_offset);

/* Sends the buffer's messages: each to the receiver named before it or, at
 * the start, to target. $1 .. $9 are argv[0] .. argv[8] (missing ones are
 * 0); $0 in a $ symbol is a number that grows by one every evaluation.
 * Answers what the last delivered message's method returned (NULL if none).
 * The buffer may be changed by a method it calls; the evaluation then stops
 * after that message. It must not be freed while it is being evaluated. */
KEL_API void *binbuf_eval(binbuf *x, long argc, atom *argv, void *target);

/* --- text --- */

/* Reads one token of the text in h from *position (advanced past it) up to
 * size: fills *a and returns 1, or returns 0 when only whitespace remained.
 * token receives the token's text and must hold KEL_TOKEN_SIZE characters. */
KEL_API long readatom(char *token, kel_handle h, long *position, long size, atom *a);

/* The atoms as plain text separated by blanks, NUL-terminated: integers %ld,
 * floats %f, symbols their name, objects their class name, $n and $name;
 * other atoms write nothing. The caller makes text long enough. */
KEL_API void atoms_totext(char *text, long argc, const atom *argv);
/* atoms_totext writing at most size bytes, NUL included (nothing when size
 * is 0). Answers the length the whole text has, as snprintf does. */
KEL_API long atoms_totext_bounded(char *text, long size, long argc, const atom *argv);

/* --- atombuf --- */

/* A record of argc atoms (argc < 0 counts as 0) copied from argv, or of
 * ATYPE_NOTHING atoms when argv is NULL. NULL when memory is exhausted. */
KEL_API atombuf *atombuf_new(long argc, const atom *argv);
KEL_API void atombuf_free(atombuf *x);
/* Replaces *x with the atoms of the first size bytes of text in h
 * (semicolons, commas and $ arguments kept). More than 256 atoms: the check
 * failure "atombuf_text" and the first 256 kept. 1, with *x unchanged, when
 * memory is exhausted. */
KEL_API long atombuf_text(atombuf **x, kel_handle h, long size);
/* Prints x into h, resized to exactly *size characters. 1 when h could not
 * grow: h is then 1 byte and *size 0. */
KEL_API long atombuf_totext(atombuf *x, kel_handle h, long *size);
/* Sends x's messages as binbuf_eval does. With argc 0 there are no $
 * arguments; otherwise $1 is argv[0] (at most 19 arguments) and $0 is 0. */
KEL_API void *atombuf_eval(atombuf *x, long argc, atom *argv, void *target);

/* Replace, append after or prepend before the atoms of *x, reading each new
 * symbol as box text: a name beginning with ";" or "," is a semicolon or a
 * comma; "$" + a digit 1..9 is $n; "$" + a digit 1..9 + another character
 * (not 1..9) is a $ symbol; otherwise a backslash takes the next character
 * literally and is removed. The old record is freed. 1, with *x unchanged,
 * when memory is exhausted. A negative argc counts as 0. */
KEL_API long atombuf_replace(atombuf **x, symbol *selector, long argc, atom *argv);
KEL_API long atombuf_append(atombuf **x, symbol *selector, long argc, atom *argv);
KEL_API long atombuf_prepend(atombuf **x, symbol *selector, long argc, atom *argv);

/* Copies the first atom into *a and returns 0; 1 when x is empty. */
KEL_API long atombuf_firstatom(atombuf *x, atom *a);
/* Copies the atom at *index into *a, increments *index and returns 0; 1 at
 * the end. */
KEL_API long atombuf_next(atombuf *x, long *index, atom *a);
/* Overwrites the atom at index when 0 <= index < count: 0, else 1. */
KEL_API long atombuf_subst(atombuf *x, const atom *a, long index);
/* Bit 0: the first atom is the symbol `patcher` or `p`; bit 1: some atom is
 * a semicolon or a comma. */
KEL_API long atombuf_misc(atombuf *x);

KEL_END_C

#endif /* KEL_BINBUF_H */
