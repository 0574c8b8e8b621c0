/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: creating objects by name. */
#ifndef KEL_CREATION_H
#define KEL_CREATION_H

#include "kel/base.h"
#include "kel/words.h"

KEL_BEGIN_C

/* An object made from a class name and arguments, as a box would make it:
 * built-in classes first, then classes registered in `box`, then externals
 * and patcher files found on the search path. NULL when nothing was made. */
KEL_API void *newinstance(symbol *name, long argc, atom *argv);

/* object_new(name_space, classname, words...): calls the constructor of a
 * registered class directly with up to 16 raw words. */
KEL_API void *object_new_v(symbol *name_space, symbol *classname, long nwords, ...);
#define object_new(...) KEL_WORD_CALL2(object_new_v, __VA_ARGS__)

/* The constructor of a registered class, with its arguments checked and
 * converted as for a typed message. */
KEL_API void *object_new_typed(symbol *name_space, symbol *classname, long argc, atom *argv);

/* Presets where the next unknown name is looked for (a file type and a
 * path id); used once. */
KEL_API void loader_setpath(long type, short path);

/* Kept for old externals: the first does nothing, the second reports that
 * it is no longer supported. */
KEL_API void finder_addclass(const char *category, const char *classname);
KEL_API void force_install(const char *classname);

KEL_END_C

#endif /* KEL_CREATION_H */
