// The symbol table.
//
// Invariants: every name has exactly one record; records never move and are
// never freed. The static records (the built-in names, in their stored order)
// sit in an open-addressed table of 1973 slots that is filled once at
// start-up and only read afterwards; every other record hangs on one of 2048
// chains, pushed at the head, so a chain read without the lock always sees a
// consistent prefix.
#pragma once

#include <cstdint>

#include "kel/base.h"

namespace kel {

// The named global pointers to static symbols, filled in by symbols_init.
extern symbol *sym_bang, *sym_int, *sym_float, *sym_list, *sym_set, *sym_in1, *sym_in2, *sym_ft1, *sym_ft2, *sym_assist,
    *sym_anything, *sym_dblclick, *sym_click, *sym_enable, *sym_update, *sym_empty, *sym_symbol, *sym_free, *sym_fix,
    *sym_error, *sym_nobox, *sym_box, *sym_new;

// The longest name a symbol holds: gensym keeps the first symbol_name_max
// characters of a longer one.
constexpr long symbol_name_max = 1999;

// Builds the static table; safe to call more than once.
void symbols_init();

// The hash of a name: 4 times each of its first eight characters (as signed
// 8-bit values), summed and reduced to 16 bits.
uint16_t symbol_hash(const char *name);

// Symbol statistics: the number of static symbols and of all symbols.
long symbols_static_count();
long symbols_total_count();

// The pool bytes and blocks the table holds: its record and name blocks,
// which it never gives back.
void symbols_pool_held(long *bytes, long *blocks);

// Posts "N static symbols" and "N symbols in memory".
void symbols_post_statistics();

// The static symbol record at position i of the stored order (tests).
symbol *symbols_static_at(long i);
// The static table slot that holds s, or -1 when s is not static (tests).
long symbols_static_slot(const symbol *s);

// Appends a unique symbol to the reuse list of symbol_unique (done when an
// object registered under it is finally unregistered).
void symbol_unique_slate(symbol *s);
// Takes a symbol off the reuse list (done when a caller registers an object
// under a name of the unique form, which must not be handed out meanwhile).
void symbol_unique_unslate(symbol *s);
// The number of symbols waiting on the reuse list.
long symbol_unique_reuse_count();

}  // namespace kel
