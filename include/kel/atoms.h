/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: atom setters, getters and argument helpers. */
#ifndef KEL_ATOMS_H
#define KEL_ATOMS_H

#include "kel/base.h"

KEL_BEGIN_C

/* Setters return ERR_NONE, or ERR_INVALID_PTR when a is NULL. */
KEL_API long atom_setlong(atom *a, long n);
KEL_API long atom_setfloat(atom *a, double x);
KEL_API long atom_setsym(atom *a, symbol *s);
KEL_API long atom_setobj(atom *a, void *o);

/* Getters convert where they can; see docs/kernel.md for the table. */
KEL_API atom_long atom_getlong(const atom *a);
KEL_API atom_float atom_getfloat(const atom *a);
KEL_API symbol *atom_getsym(const atom *a);
KEL_API void *atom_getobj(const atom *a);
KEL_API long atom_getcharfix(const atom *a);

/* Store the converted value of argv[i] into *out and return 0; return -1 and
 * leave *out alone when out or argv is NULL or i is not in 0 .. argc-1. */
KEL_API long atom_arg_getlong(atom_long *out, long i, long argc, const atom *argv);
KEL_API long atom_arg_getfloat(float *out, long i, long argc, const atom *argv);
KEL_API long atom_arg_getdouble(double *out, long i, long argc, const atom *argv);
KEL_API long atom_arg_getsym(symbol **out, long i, long argc, const atom *argv);

/* The printable form of one atom, in a buffer that the next call reuses.
 * Not safe from two threads at once. */
KEL_API const char *atom_string(const atom *a);

KEL_END_C

#endif /* KEL_ATOMS_H */
