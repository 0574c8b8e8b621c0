/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: dictionaries and dictionary arrays.
 *
 * A dictionary is a linklist of entries, each a key symbol and one atom, in
 * the order they were appended; keys may repeat and a lookup takes the first.
 * A dictionary array is an array of atoms. Both travel as ATYPE_OBJ atoms, so
 * a whole structure is one atom, and either may hold the other.
 *
 * Ownership: a dictionary or array stored in an entry or a slot belongs to
 * it: freeing the dictionary (freeobject), or the array, frees what is nested
 * in it. Any other object an atom holds is only referred to and never freed
 * here. A structure is held by at most one entry or slot, and never inside
 * itself: such a store is refused with -1 and changes nothing.
 *
 * Getter status: 0 found, -1 no such key / not an array / index out of range
 * (or a null argument), -2 the value has another type.
 */
#ifndef KEL_DICT_H
#define KEL_DICT_H

#include "kel/base.h"
#include "kel/linklist.h"

KEL_BEGIN_C

/* A new empty dictionary; out (when given) becomes an ATYPE_OBJ atom holding
 * it. NULL when memory ran out. */
KEL_API linklist *dict_new(atom *out);
/* Append an entry holding a copy of the atom: the new count, or -1. */
KEL_API long dict_appendatom(linklist *dict, const char *key, const atom *value);
KEL_API long dict_appendatom2(linklist *dict, symbol *key, const atom *value);
KEL_API long dict_appendlong(linklist *dict, const char *key, long value);
KEL_API long dict_appendfloat(linklist *dict, const char *key, double value); /* stored as a 32-bit float */
KEL_API long dict_appendsym(linklist *dict, const char *key, symbol *value);
/* An integer as is, a float truncated toward zero (saturating). */
KEL_API short dict_getlong(linklist *dict, const char *key, long *out);
/* A float as is, an integer converted. */
KEL_API short dict_getfloat(linklist *dict, const char *key, double *out);
KEL_API short dict_getsym(linklist *dict, const char *key, symbol **out);
KEL_API short dict_getatom(linklist *dict, const char *key, atom *out);
KEL_API short dict_getatom2(linklist *dict, symbol *key, atom *out);
/* Non-zero when the first entry of the key holds an array / a dictionary. */
KEL_API long dict_entryisarray(linklist *dict, symbol *key);
KEL_API long dict_entryisdict(linklist *dict, symbol *key);
/* The number of entries; 0 for NULL. */
KEL_API long dict_getentrycount(linklist *dict);

/* A new array of length atoms, copies of atoms (or empty atoms of type 0
 * when atoms is NULL); out becomes the ATYPE_OBJ atom holding it. 0, or -1
 * when memory ran out or the length is negative. */
KEL_API long dictarray_new(atom *out, long length, const atom *atoms);
/* Store at index; an index at or past the length grows the array to
 * index + 1 (the atoms between are empty, type 0). 0, or -1: not an array, a
 * negative index, memory for the growth ran out (the array as it was), or a
 * refused structure. */
KEL_API long dictarray_setlong(const atom *array, long index, long value);
KEL_API long dictarray_setsym(const atom *array, long index, symbol *value);
KEL_API long dictarray_setatom(const atom *array, long index, const atom *value);
KEL_API short dictarray_getlong(const atom *array, long index, long *out);
KEL_API short dictarray_getsym(const atom *array, long index, symbol **out);
KEL_API short dictarray_getatom(const atom *array, long index, atom *out);
/* The atom's type tag; 0 out of range or not an array. */
KEL_API long dictarray_gettype(const atom *array, long index);
KEL_API short dictarray_getlength(const atom *array, long *out);

KEL_END_C

#endif
