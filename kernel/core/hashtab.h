// Hash tables: keys (symbol pointers) to values, one linked list per slot.
//
// Invariants: the slot count is odd and at most 8191; a slot's list is null
// until the first store into it and then lives as long as the table; within a
// slot, entries keep the order in which their keys were first stored; a key
// appears at most once in the whole table.
#pragma once

#include "kel/base.h"
#include "kel/hashtab.h"
#include "kel/linklist.h"

struct hashtab {
    object header;
    long slotcount;
    linklist **slots;
    long readonly;
};

struct hashtab_entry {
    object header;
    symbol *key;
    void *value;
};

namespace kel {

// The table and entry classes, made on first use and registered at start-up.
kel_class *hashtab_class();
kel_class *hashtab_entry_class();

// The slot lists alive in all tables. Each is one linklist, made by the first
// store into its slot and kept as long as its table: a table keyed by
// addresses or by new names comes to hold more of them over time, up to its
// slot count, without holding more keys.
long hashtab_slot_lists();

}  // namespace kel
