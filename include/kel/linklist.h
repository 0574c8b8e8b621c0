/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: linked lists, a kernel object class `linklist`.
 *
 * A list owns the objects it holds: deleting or clearing frees them with
 * freeobject; the chuck operations detach without freeing. Every list has a
 * lock of its own unless it was made read-only. A NULL list is accepted
 * everywhere and answers -1, 0 or NULL.
 */
#ifndef KEL_LINKLIST_H
#define KEL_LINKLIST_H

#include "kel/base.h"
#include "kel/words.h"

KEL_BEGIN_C

typedef struct linklist linklist;

KEL_API linklist *linklist_new(void);
KEL_API long linklist_getsize(linklist *x);
KEL_API long linklist_append(linklist *x, void *value);
KEL_API long linklist_insertindex(linklist *x, void *value, long index);
KEL_API void *linklist_getindex(linklist *x, long index);
KEL_API long linklist_objptr2index(linklist *x, void *value);
KEL_API long linklist_makearray(linklist *x, void **array, long limit);
KEL_API long linklist_deleteindex(linklist *x, long index);
KEL_API long linklist_chuckindex(linklist *x, long index);
/* Unlinks the first element holding value, without freeing the value. */
KEL_API void linklist_chuckptr(linklist *x, void *value);
KEL_API void linklist_clear(linklist *x);
KEL_API void linklist_chuck(linklist *x);
KEL_API void linklist_free(linklist *x);
KEL_API void linklist_reverse(linklist *x);
KEL_API void linklist_rotate(linklist *x, long n);
KEL_API void linklist_shuffle(linklist *x);
KEL_API void linklist_swap(linklist *x, long a, long b);
KEL_API long linklist_findfirst(linklist *x, void **out, long (*test)(void *value, void *arg), void *arg);
KEL_API void linklist_findall(linklist *x, linklist **out, long (*test)(void *value, void *arg), void *arg);
KEL_API void linklist_funall(linklist *x, void (*fn)(void *value, void *arg), void *arg);
KEL_API long linklist_funindex(linklist *x, long index, long (*fn)(void *value, void *arg), void *arg);
KEL_API void *linklist_substitute(linklist *x, void *old_value, void *new_value);
KEL_API void *linklist_next(linklist *x, void *value, void **out);
KEL_API void *linklist_prev(linklist *x, void *value, void **out);
KEL_API void *linklist_last(linklist *x, void **out);
/* Stable insertion sort: each element goes before the first x already placed
 * for which before(x, element) answers 0. */
KEL_API void linklist_sort(linklist *x, long (*before)(void *a, void *b));
KEL_API void linklist_readonly(linklist *x, long flag);

/* linklist_methodall(list, s, words...): object_method on every value. */
KEL_API void linklist_methodall_v(linklist *x, symbol *s, long nwords, ...);
#define linklist_methodall(...) KEL_WORD_CALL2(linklist_methodall_v, __VA_ARGS__)
/* linklist_methodindex(list, index, s, words...): object_method on one value. */
KEL_API void *linklist_methodindex_v(linklist *x, long index, symbol *s, long nwords, ...);
#define linklist_methodindex(...) KEL_WORD_CALL3(linklist_methodindex_v, __VA_ARGS__)

/* Sorts an array of symbols by name, byte by byte ascending. */
KEL_API long symbolarray_sort(long count, symbol **array);

KEL_END_C

#endif /* KEL_LINKLIST_H */
