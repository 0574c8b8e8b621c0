/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: attributes and the obex table.
 *
 * An attribute is a named, typed setting of an object, itself an object that
 * reads and writes the value. A class declares attributes for all its
 * instances (class_addattr); an instance with an obex table may add its own
 * (object_addattr). Users reach them by message: the attribute's name sets
 * it, `get` + name sends its value out of the object's `dumpout` outlet.
 *
 * Types are symbols: `char` (an unsigned char), `long` (a C long), `float32`
 * (float), `float64` (double), `symbol`, `pointer`, `object` (pointers) and
 * `atom`. Values travel as atoms: integers as 32-bit integers, floats as
 * 32-bit floats.
 *
 * Accessors (NULL means the built-in one):
 *   long get(void *x, object *attr, long *ac, atom **av);
 *   long set(void *x, object *attr, long ac, atom *av);
 * A getter fills at most *ac atoms of the array *av when both are given;
 * otherwise it allocates the array with getbytes, which the caller gives back
 * with freebytes(av, ac * sizeof(atom)). *ac receives the count.
 */
#ifndef KEL_ATTRIBUTES_H
#define KEL_ATTRIBUTES_H

#include "kel/base.h"
#include "kel/hashtab.h"

KEL_BEGIN_C

/* Attribute flags. */
#define ATTR_NOGET 0x1       /* the value cannot be got */
#define ATTR_NOSET 0x2       /* the value cannot be set */
#define ATTR_NOUSERGET 0x100 /* users cannot get it by message */
#define ATTR_NOUSERSET 0x200 /* users cannot set it by message */
/* The argument code getmethodtype reports for the getter (bits 16-19) and for
 * the setter (bits 24-27), else ATYPE_GIMME. object_method_typed calls the
 * codes 65 to 68 like ATYPE_GIMME. */
#define ATTR_GET_CODE65 0x10000
#define ATTR_GET_CODE66 0x20000
#define ATTR_GET_CODE67 0x40000
#define ATTR_GET_CODE68 0x80000
#define ATTR_SET_CODE65 0x1000000
#define ATTR_SET_CODE66 0x2000000
#define ATTR_SET_CODE67 0x4000000
#define ATTR_SET_CODE68 0x8000000

/* The most values the array conveniences and a filtered set carry. */
#define ATTR_MAX_VALUES 256

/* --- making attributes --- */

/* An attribute that stores its value itself (one element, cleared): shared by
 * every object it is added to. */
KEL_API object *attribute_new(const char *name, symbol *type, long flags, kel_method get, kel_method set);
/* An attribute whose value lives in the object at a byte offset. */
KEL_API object *attr_offset_new(const char *name, symbol *type, long flags, kel_method get, kel_method set,
                                long offset);
/* An array of at most size elements at offset; its count is a C long at
 * offsetcount. */
KEL_API object *attr_offset_array_new(const char *name, symbol *type, long size, long flags, kel_method get,
                                      kel_method set, long offsetcount, long offset);

/* Adds to the class's table; call it before class_register. ERR_INVALID_PTR
 * for NULL or a nameless attribute, ERR_GENERIC when the table cannot be
 * made. A class attribute of the same name is replaced and freed. */
KEL_API long class_addattr(kel_class *c, object *attr);
/* The instance's own attributes (its obex table): ERR_GENERIC without one.
 * deleteattr frees the attribute, chuckattr gives it back to the caller. */
KEL_API long object_addattr(void *x, object *attr);
KEL_API long object_deleteattr(void *x, symbol *name);
KEL_API long object_chuckattr(void *x, symbol *name);

/* --- finding and asking --- */

/* The class's attribute, else the instance's own, else what the object's
 * attr_get method (x, name) answers; NULL for classes with
 * CLASS_FLAG_NOATTRIBUTES. */
KEL_API object *object_attr_get(void *x, symbol *name);
/* The accessor for a selector naming an attribute (its setter) or `get` +
 * name (its getter, *isget 1). NULL when there is none or the value cannot be
 * got (ATTR_NOGET) or set (ATTR_NOSET); *attr receives the attribute found. */
KEL_API kel_method object_attr_method(void *x, symbol *selector, object **attr, long *isget);
/* 1 when users may set (get) the attribute by message, else 0. */
KEL_API long object_attr_usercanset(void *x, symbol *name);
KEL_API long object_attr_usercanget(void *x, symbol *name);

/* --- values --- */

/* Through the attribute's accessors and filters. -1 when there is no such
 * attribute or it refuses the direction, ERR_INVALID_PTR for NULL arguments,
 * -4 when an atom array cannot be allocated; else the accessor's result.
 * setvalueof then notifies `attr_modified` (data: the attribute). */
KEL_API long object_attr_getvalueof(void *x, symbol *name, long *ac, atom **av);
KEL_API long object_attr_setvalueof(void *x, symbol *name, long ac, atom *av);

/* The first value converted; 0 (NULL) when there is none. */
KEL_API long object_attr_getlong(void *x, symbol *name);
KEL_API double object_attr_getfloat(void *x, symbol *name);
KEL_API symbol *object_attr_getsym(void *x, symbol *name);
KEL_API char object_attr_getchar(void *x, symbol *name);
KEL_API void *object_attr_getobj(void *x, symbol *name);
KEL_API long object_attr_setlong(void *x, symbol *name, long value);
KEL_API long object_attr_setfloat(void *x, symbol *name, double value);
KEL_API long object_attr_setsym(void *x, symbol *name, symbol *value);
KEL_API long object_attr_setchar(void *x, symbol *name, char value);
KEL_API long object_attr_setobj(void *x, symbol *name, void *value);

/* Copy at most max values into vals and answer how many the attribute holds
 * (0 when there is no such attribute). */
KEL_API long object_attr_getlong_array(void *x, symbol *name, long max, long *vals);
KEL_API long object_attr_getchar_array(void *x, symbol *name, long max, unsigned char *vals);
KEL_API long object_attr_getfloat_array(void *x, symbol *name, long max, float *vals);
KEL_API long object_attr_getdouble_array(void *x, symbol *name, long max, double *vals);
KEL_API long object_attr_getsym_array(void *x, symbol *name, long max, symbol **vals);
/* Set count values (at most ATTR_MAX_VALUES). */
KEL_API long object_attr_setlong_array(void *x, symbol *name, long count, const long *vals);
KEL_API long object_attr_setchar_array(void *x, symbol *name, long count, const unsigned char *vals);
KEL_API long object_attr_setfloat_array(void *x, symbol *name, long count, const float *vals);
KEL_API long object_attr_setdouble_array(void *x, symbol *name, long count, const double *vals);
KEL_API long object_attr_setsym_array(void *x, symbol *name, long count, symbol *const *vals);

/* The names of the class's attributes then the instance's own, each group in
 * name order, in a new getbytes array (free it with
 * freebytes(names, count * sizeof(symbol *))); the object's attr_getnames
 * method (x, count, names) answers instead when it has one. */
KEL_API long object_attr_getnames(void *x, long *count, symbol ***names);
/* Sends the value of the attribute named by s (`get` + name, or the name) out
 * of the object's dumpout method or outlet, with the name as selector. */
KEL_API long object_attr_getdump(void *x, symbol *s, long argc, atom *argv);

/* The index of the first symbol argument beginning with '@' (argc: none). */
KEL_API long attr_args_offset(long argc, atom *argv);
/* For each "@name values..." among the arguments, sends `name values...` to
 * x when it has a user-settable attribute of that name; else the error
 * "CLASS: "name" is not a valid attribute argument". */
KEL_API void attr_args_process(void *x, long argc, atom *argv);

/* --- filters: each call makes a filter object the attribute owns --- */

/* Clip each value to [min, max] (each bound only when its use flag is set),
 * the _scale forms multiplying by scale first; integers stay integers for
 * `char` and `long` attributes. ERR_INVALID_PTR for a NULL attribute. */
KEL_API long attr_addfilterset_clip(object *attr, double min, double max, long usemin, long usemax);
KEL_API long attr_addfilterget_clip(object *attr, double min, double max, long usemin, long usemax);
KEL_API long attr_addfilter_clip(object *attr, double min, double max, long usemin, long usemax);
KEL_API long attr_addfilterset_clip_scale(object *attr, double scale, double min, double max, long usemin, long usemax);
KEL_API long attr_addfilterget_clip_scale(object *attr, double scale, double min, double max, long usemin, long usemax);
KEL_API long attr_addfilter_clip_scale(object *attr, double scale, double min, double max, long usemin, long usemax);
/* proc is long proc(void *x, object *attr, long ac, atom *av): it rewrites the
 * atoms about to be set. */
KEL_API long attr_addfilterset_proc(object *attr, kel_method proc);

/* --- the obex table: an instance's extensions --- */

/* ERR_GENERIC when the class has no obex offset or the instance no table. The
 * table owns what is stored in it, except the entries `dumpout`, `#P` and
 * `#B`. */
KEL_API long object_obex_lookup(void *x, symbol *key, void **out);
KEL_API long object_obex_store(void *x, symbol *key, void *value);
KEL_API long object_obex_set(void *x, hashtab *table);
KEL_API hashtab *object_obex_get(void *x);
/* outlet_anything on the object's `dumpout` outlet, when it has one. */
KEL_API void object_obex_dumpout(void *x, symbol *s, long argc, atom *argv);
/* Frees the table (leaving `dumpout`, `#P` and `#B` alone); freeobject does
 * this for every class with an obex offset. */
KEL_API void object_obex_free(void *x);
/* Fills av (room for ATTR_MAX_VALUES atoms) with symbols describing the
 * object's attributes and messages, one line each; *count receives how many. */
KEL_API long object_obex_quickref(void *x, long *count, atom *av);

KEL_END_C

#endif /* KEL_ATTRIBUTES_H */
