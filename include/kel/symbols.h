/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: interned names. */
#ifndef KEL_SYMBOLS_H
#define KEL_SYMBOLS_H

#include "kel/base.h"

KEL_BEGIN_C

/* The unique symbol for the characters of name, created when new. Names of
 * 2000 characters or more stand for their first 1999. NULL only when memory
 * for a new record is exhausted. Safe from any thread. */
KEL_API symbol *gensym(const char *name);

/* A fresh symbol "u" followed by nine digits that no object has registered. */
KEL_API symbol *symbol_unique(void);

/* Sets the three-digit symbol context to n modulo 1000 (receiver is ignored). */
KEL_API void utils_setcontext(void *receiver, long n);

/* Turns context rewriting of names that begin with "---" on or off; returns
 * the previous state. */
KEL_API short utils_usecontext(short flag);

/* The next number of the kernel's shared pseudo-random generator
 * (1 .. 2^31-2). */
KEL_API long rerand(void);

KEL_END_C

#endif /* KEL_SYMBOLS_H */
