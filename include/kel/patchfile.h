/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: patcher files and box lines.
 *
 * A patcher is stored as the contents of one binbuf, in one of two forms:
 * text (the buffer printed by binbuf_totext, file type "TEXT") or binary
 * (a version word and tagged atom records, file type "kelb"). A file is
 * named by a file name and a path id (kel/path.h); names with a folder part
 * and full names are accepted as path_opensysfile accepts them.
 *
 * Writing never leaves a half-written file in place of a good one: the new
 * contents go to a temporary file beside the target, which is then renamed
 * over it. Reading never leaves a half-read buffer: a file that cannot be
 * read whole, or a binary file with any damaged record, leaves the buffer
 * empty. docs/patchfiles.md gives both forms byte by byte, and every console
 * line these functions post.
 *
 * Everything here runs on the main thread.
 */
#ifndef KEL_PATCHFILE_H
#define KEL_PATCHFILE_H

#include "kel/base.h"
#include "kel/binbuf.h"
#include "kel/memory.h"

KEL_BEGIN_C

/* The version word a binary patcher file begins with. */
#define PATCHFILE_VERSION 2

/* Empties x and fills it from the file: binary 0 reads the text form,
 * anything else the binary form. A damaged binary file is read as far as it
 * is sound: after its error line, x holds the whole messages before the
 * damage and the result is 0. 0 on success; otherwise, with x empty, -108
 * when memory ran out, the error code of opening or reading a text file, or
 * 1. */
KEL_API long binbuf_read(binbuf *x, const char *name, short path, short binary);
/* Writes x to the file in text (binary 0) or binary form. 0, or 1 with the
 * file as it was before the call. */
KEL_API long binbuf_write(binbuf *x, const char *name, short path, short binary);

/* The form of a patcher file by its contents: FILETYPE_PATCHER when it
 * begins with the bytes 02 00 00 00 70, FILETYPE_TEXT when its first 16
 * bytes (all of them, when it is shorter) are printable or whitespace;
 * otherwise the type its name gives (path_fileinfo), when that is one of the
 * two; 0 for anything else, or when the file cannot be read. */
KEL_API long patchfile_type(const char *name, short path);
/* binbuf_read in the form patchfile_type recognises (text when it knows
 * none: any text is a valid text file). *type (may be NULL) receives the
 * form read. Results as binbuf_read. */
KEL_API long patchfile_read(binbuf *x, const char *name, short path, long *type);

/* Reads a whole file into a new handle, which the caller frees: 0, *h and
 * *size; or 1 after the error "NAME: can't open" or "NAME: read failed", or
 * the alert "Not enough memory to open NAME" (*h is then NULL). */
KEL_API short readtohandle(const char *name, short path, kel_handle *h, long *size);

/* Decodes a binary patcher held in the first size bytes of h (from its
 * version word on) and evaluates the atoms at once, as atombuf_eval does,
 * without a binbuf: argv[0] is the running number and argv[1 .. argc] the
 * $ arguments (argc 0: none). Answers what the last delivered message's
 * method returned; NULL, with nothing evaluated, for a damaged or unreadable
 * buffer or when memory runs out. */
KEL_API void *bf_singlefast(kel_handle h, long size, long argc, atom *argv);

/* Box lines of a patcher file. Each appends one message to dest: the argc
 * atoms of head (the line's start, such as #P newex 34 56 80 196617), then
 * the box text, converted so that it reads back unchanged when the box is
 * rebuilt: a symbol the box-text rule would change gets escaped (a
 * backslash before ";", "," and "\", and before a name "$" + digit 1..9),
 * a semicolon becomes the symbol ";", a comma ",", $n the symbol "$n" and a
 * $ symbol "$" followed by its escaped name; numbers stay. The line ends in
 * a semicolon. As in binbuf_insert, a symbol "#" + digit becomes $digit
 * (and "#" + digit + more a $ symbol) in dest.
 *
 * At most 256 text atoms are saved (the warning "atombuf_savebox: buffer
 * truncated", "binbuf_savebox: buffer truncated"); an object atom cannot be
 * saved (the check failure "binbuf_dump") and is left out. 1 when dest
 * could not grow (it is then unchanged), else 0. */
KEL_API long atombuf_savebox(binbuf *dest, long argc, const atom *head, atombuf *text);
KEL_API long binbuf_savebox(binbuf *dest, long argc, const atom *head, binbuf *text);

KEL_END_C

#endif /* KEL_PATCHFILE_H */
