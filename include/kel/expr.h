/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: compiled expressions of the `expr` language. */
#ifndef KEL_EXPR_H
#define KEL_EXPR_H

#include "kel/base.h"

KEL_BEGIN_C

/* Compiles the atoms as an expression. Returns the expression object, freed
 * with freeobject by the caller, or NULL after posting "bad expression".
 * types, when not NULL, receives 9 inlet kinds: 0 none, 1 int, 2 float,
 * 3 symbol, 4 signal. */
KEL_API void *expr_new(long argc, atom *argv, short *types);

/* Evaluates x with argv as its inlet values: atom k is copied into inlet k
 * only when its type matches the inlet's kind; inlets beyond argc become
 * int 0. The result (int or float) goes into *result. Non-zero on success;
 * 0 after an error is posted. */
KEL_API long expr_eval(void *x, long argc, atom *argv, atom *result);

KEL_END_C

#endif /* KEL_EXPR_H */
