/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: classes, method tables and typed message dispatch. */
#ifndef KEL_CLASSES_H
#define KEL_CLASSES_H

#include "kel/base.h"
#include "kel/words.h"

KEL_BEGIN_C

/* Class flags. */
#define CLASS_FLAG_BOX 0x1              /* may live in a patcher box (the `box` namespace) */
#define CLASS_FLAG_NOATTRIBUTES 0x10000 /* no attribute dispatch */

/* --- the newer class API (status codes of base.h) --- */

/* A class named name; the constructor's argument types follow, ended by 0
 * (at most 6 kept). NULL when the method table cannot be allocated. */
KEL_API kel_class *class_new(const char *name, kel_method mnew, kel_method mfree, long size, kel_method mmenu, ...);
/* Appends a method for gensym(name); argument types follow, ended by 0. */
KEL_API long class_addmethod(kel_class *c, kel_method m, const char *name, ...);
/* Registers in a namespace (NULL means `nobox`; `box` for patcher classes). */
KEL_API long class_register(symbol *name_space, kel_class *c);
KEL_API kel_class *class_findbyname(symbol *name_space, symbol *name);
KEL_API symbol *class_nameget(kel_class *c);
KEL_API long class_free(kel_class *c);
KEL_API long class_obexoffset_get(kel_class *c);
KEL_API void class_obexoffset_set(kel_class *c, long offset);
KEL_API long class_extra_store(kel_class *c, symbol *key, void *value);
KEL_API void *class_extra_lookup(kel_class *c, symbol *key);
KEL_API long class_addtypedwrapper(kel_class *c, kel_method m, const char *name, ...);
KEL_API method_entry *class_typedwrapper_get(kel_class *c, symbol *selector);
KEL_API long class_addadornment(kel_class *c, object *adornment);
KEL_API void *class_adornment_get(kel_class *c, symbol *classname);
KEL_API kel_method class_method(kel_class *c, symbol *selector);
KEL_API method_entry *class_mess(kel_class *c, symbol *selector);

/* --- the older class API: only while a class is being built --- */

/* Fills the class under construction; *ident receives the method table's
 * header entry when the class is finished. Argument types follow, ended by 0. */
KEL_API void setup(method_entry **ident, kel_method mnew, kel_method mfree, long size, kel_method mmenu, ...);
KEL_API void addmess(kel_method m, const char *name, ...);
KEL_API void addbang(kel_method m);
KEL_API void addint(kel_method m);
KEL_API void addfloat(kel_method m);
KEL_API void addinx(kel_method m, long n);
KEL_API void addftx(kel_method m, long n);
KEL_API void alias(const char *name);
KEL_API void class_setname(const char *name, const char *filename);
KEL_API void class_noinlet(method_entry *ident);

/* --- objects --- */

/* An instance of an older-API class (its class variable). */
KEL_API void *newobject(method_entry *ident);
/* An instance of a class_new class. */
KEL_API void *object_alloc(kel_class *c);
/* Destroys any object: free method, then outlets and inlets, then memory. */
KEL_API void freeobject(void *x);
/* ERR_INVALID_PTR for NULL or an object without a method table, else 0. */
KEL_API long object_free(void *x);
KEL_API symbol *object_classname(void *x);
KEL_API kel_class *object_class(void *x);

/* --- dispatch --- */

/* Looks up selector s and calls its method with argv checked and converted
 * against the method's argument types. The method's result, or NULL. */
KEL_API void *typedmess(void *x, symbol *s, long argc, atom *argv);
/* The function of the first method named s, with the console report when it
 * is absent (getfn), silently (egetfn); both return method_false then.
 * zgetfn returns NULL when absent. */
KEL_API kel_method getfn(void *x, symbol *s);
KEL_API kel_method egetfn(void *x, symbol *s);
KEL_API kel_method zgetfn(void *x, symbol *s);
/* The dispatch of typedmess for the newer API; the method's answer goes into
 * *result when the method takes one. 0, or -1 when nothing was called. */
KEL_API long object_method_typed(void *x, symbol *s, long argc, atom *argv, atom *result);
/* The function object_method would call, method_false when none. */
KEL_API kel_method object_getmethod(void *x, symbol *s);

/* object_method(x, s, words...): calls the method of x named s with up to 16
 * raw words (integers and pointers; no floats) without type checking. */
KEL_API void *object_method_v(void *x, symbol *s, long nwords, ...);
#define object_method(...) KEL_WORD_CALL2(object_method_v, __VA_ARGS__)

/* Return 0 and 1; method_false is what lookups hand out instead of NULL. */
KEL_API void *method_false(void);
KEL_API void *method_true(void);
KEL_API void *nullfn(void);

KEL_END_C

#endif /* KEL_CLASSES_H */
