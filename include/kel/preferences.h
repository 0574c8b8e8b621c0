/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: preferences files.
 *
 * A preferences file is a text file of messages, one a line, read back by
 * evaluating it like any message file: a line "kel setsleep 2" sends
 * setsleep 2 to the application receiver. Build one with preferences_open,
 * add lines, and write it into a folder with preferences_close; read it with
 * preferences_read, which falls back to built-in defaults (numbered texts
 * compiled into the program) when the file is missing.
 *
 * The preferences folder is the one named on the command line with
 * --prefs, else $XDG_CONFIG_HOME/kel, else ~/.config/kel (made, with
 * mode 0700, when missing). The symbol "__pref_resfile__" is bound to a
 * record whose first member is the folder's path id (a short; 0 until the
 * folder has been resolved).
 *
 * None of these functions posts to the console: each reports by its result.
 * File names are plain names inside the folder given: a name holding '/',
 * '\' or ':', or the names "." and "..", is refused with -1. Names longer
 * than 255 characters are cut to 255. Everything here runs on the main
 * thread.
 */
#ifndef KEL_PREFERENCES_H
#define KEL_PREFERENCES_H

#include "kel/base.h"
#include "kel/binbuf.h"

KEL_BEGIN_C

/* The most atoms one line of a preferences file holds, the leading `kel`
 * (and `setoption`) included; later ones are not written. */
#define PREFERENCES_LINE_ATOMS 32

/* The path id of the preferences folder (name NULL, "" or "kel") or of the
 * folder "NAME Files" inside it (any other name), making either when
 * missing. ignored is not used. 0 and *path, or -1 (*path untouched). */
KEL_API short preferences_path(const char *name, short ignored, short *path);
/* The path id of the folder name inside parent, made when missing and
 * create is non-zero. 0 and *path; -1 when it is missing and not made (or
 * the name or parent is refused); the file-system error code when making
 * it failed. */
KEL_API short preferences_subpath(const char *name, short parent, short create, short *path);

/* A new empty buffer to add lines to; NULL when memory is exhausted. The
 * caller gives it to preferences_close (or frees it with freeobject). */
KEL_API binbuf *preferences_open(void);
/* Each appends one line; the values follow format, one letter a value:
 * l a long, f a double (stored as a float), s a symbol pointer, o an object
 * pointer; any other letter takes no value and adds nothing. 0, or 1 with
 * the buffer unchanged when it cannot grow (or x or format is NULL).
 *
 * preferences_add: the line `kel` followed by the values. */
KEL_API long preferences_add(binbuf *x, const char *format, ...);
/* The line `kel setoption` followed by the values. */
KEL_API long preferences_addoption(binbuf *x, const char *format, ...);
/* The line `kel NAME a b c d`, the four values as integers. */
KEL_API long preferences_addrect(binbuf *x, symbol *name, short a, short b, short c, short d);
/* The line of the values alone: the first value names the receiver. */
KEL_API long preferences_addraw(binbuf *x, const char *format, ...);

/* Writes the buffer as text to the file name in the folder path and frees
 * it (always, even when the write fails). The file is replaced as a whole:
 * the text goes to a temporary file beside it, which is then renamed over
 * it, so a failure leaves the old file as it was. 0, -1 for a refused name,
 * an unknown folder or a NULL buffer, or the file-system error code. */
KEL_API short preferences_close(binbuf *x, const char *name, short path);

/* Reads the file name in the folder path (0: the preferences folder) and
 * evaluates its messages; the default path is left as it is. When the file
 * is missing (or the folder cannot be had) and default_id is not 0, the
 * built-in defaults of that number are evaluated instead and the answer is
 * 0. -1 for a refused name, or a missing file with default_id 0 (nothing
 * is evaluated then); the file-system error code when the file cannot be
 * read. */
KEL_API short preferences_read(const char *name, short path, short default_id);
/* Evaluates the built-in defaults of that number: 333 for "keloptions.txt",
 * 334 for "runoptions.txt". An unknown number evaluates nothing. */
KEL_API void preferences_default(short id);

KEL_END_C

#endif /* KEL_PREFERENCES_H */
