/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: hash tables, a kernel object class `hashtab`.
 *
 * Keys are symbols (any pointer-sized key works); values are pointers. A table
 * owns the objects it holds: replacing, deleting or clearing frees a value that
 * is a valid object; the chuck and _safe operations leave values alone.
 */
#ifndef KEL_HASHTAB_H
#define KEL_HASHTAB_H

#include "kel/base.h"
#include "kel/words.h"

KEL_BEGIN_C

typedef struct hashtab hashtab;
typedef struct hashtab_entry hashtab_entry;

/* slots <= 0 means 59; an even count is made odd. */
KEL_API hashtab *hashtab_new(long slots);
KEL_API long hashtab_store(hashtab *x, symbol *key, void *value);
KEL_API long hashtab_store_safe(hashtab *x, symbol *key, void *value);
KEL_API long hashtab_lookup(hashtab *x, symbol *key, void **out);
KEL_API long hashtab_delete(hashtab *x, symbol *key);
KEL_API long hashtab_chuckkey(hashtab *x, symbol *key);
KEL_API long hashtab_clear(hashtab *x);
KEL_API long hashtab_chuck(hashtab *x);
KEL_API void hashtab_free(hashtab *x);
KEL_API long hashtab_getsize(hashtab *x);
KEL_API long hashtab_getslotcount(hashtab *x);
/* With *keys NULL or *count 0 an array is allocated with getbytes (give it
 * back with freebytes(keys, count * sizeof(symbol *))). */
KEL_API long hashtab_getkeys(hashtab *x, long *count, symbol ***keys);
KEL_API long hashtab_findfirst(hashtab *x, void **out, long (*test)(void *value, void *arg), void *arg);
KEL_API long hashtab_funall(hashtab *x, void (*fn)(hashtab_entry *e, void *arg), void *arg);
KEL_API long hashtab_readonly(hashtab *x, long flag);
KEL_API long hashtab_print(hashtab *x);

KEL_API symbol *hashtab_entry_key(hashtab_entry *e);
KEL_API void *hashtab_entry_value(hashtab_entry *e);

/* hashtab_methodall(table, s, words...): object_method on every value. */
KEL_API long hashtab_methodall_v(hashtab *x, symbol *s, long nwords, ...);
#define hashtab_methodall(...) KEL_WORD_CALL2(hashtab_methodall_v, __VA_ARGS__)

KEL_END_C

#endif /* KEL_HASHTAB_H */
