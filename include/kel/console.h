/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: the console, the system's one report channel.
 *
 * Formatting is printf-style into a 2048-character buffer; longer output is
 * cut. Text is Mac Roman inside the kernel.
 */
#ifndef KEL_CONSOLE_H
#define KEL_CONSOLE_H

#include "kel/base.h"

KEL_BEGIN_C

/* A new console line with the text. */
KEL_API void post(const char *format, ...) KEL_PRINTF(1, 2);
/* A new line "\xA5 error: text"; counted and delivered to error subscribers. */
KEL_API void error(const char *format, ...) KEL_PRINTF(1, 2);
/* A new line "\xA5 warning: text". */
KEL_API void warning(const char *format, ...) KEL_PRINTF(1, 2);
/* A new line "\xA5 check failed: text": a broken invariant. */
KEL_API void check_failed(const char *format, ...) KEL_PRINTF(1, 2);
/* To the debug output (standard error) only. */
KEL_API void cpost(const char *format, ...) KEL_PRINTF(1, 2);
/* Appends to the current line; an embedded "\n" starts a new one. */
KEL_API void poststring(const char *text);
/* Appends the text form of one atom to the current line. */
KEL_API void postatom(const atom *a);
/* Starts a new console line. */
KEL_API void xsetpost(void);
/* The current line's index and length. */
KEL_API void post_getpos(long *line, long *length);
/* An alert with the formatted text; without a window it is a console line. */
KEL_API void ouchstring(const char *format, ...) KEL_PRINTF(1, 2);

KEL_API long errorcount_get(void);
KEL_API void errorcount_set(long n);

/* Objects that receive every error line as the message `error`. */
KEL_API void error_subscribe(void *x);
KEL_API void error_unsubscribe(void *x);

KEL_END_C

#endif /* KEL_CONSOLE_H */
