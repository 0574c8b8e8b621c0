// Class records, method tables, namespaces and the class builder.
//
// Invariants: a method table is a header entry (its selector slot holds the
// class record), the methods in the order they were added, and an entry whose
// selector is null. Objects point one entry past the header, so the class of
// any valid object is messlist[-1].selector. Lookup is a linear scan; the
// first entry with a matching selector wins.
//
// A table that must grow beyond its capacity moves; the table it leaves stays
// allocated (chained from the class, freed with it), so instances and class
// variables that still point into it never read freed memory, and lookups
// move an instance on to its class's current table (messlist_current).
#pragma once

#include <atomic>
#include <cstdint>

#include "kel/base.h"
#include "kel/hashtab.h"

struct kel_class {
    symbol *name;
    kel_method free_method;
    long size;  // instance size in bytes, header included
    char tiny;  // instances have only messlist and magic
    char noinlet;
    symbol *filename;
    method_entry *newmess;  // the constructor entry, or null
    kel_method menu_method;
    int32_t flags;
    int32_t messcount;     // entries in the method table, header and terminator included
    int32_t messcapacity;  // entries allocated for it
    method_entry *messlist;
    method_entry *retired;  // tables this class outgrew, chained through their header's method slot
    hashtab *attributes;
    hashtab *extra;
    long obexoffset;
    method_entry newmess_storage;  // where newmess points for classes that own their entry
};

namespace kel {

// The header mark of tables made by class_new ("obex" read as one word), and
// that of the matrix extension ("GEL!").
inline constexpr uint32_t obex_mark = 0x6F626578;
inline constexpr uint32_t gel_mark = 0x47454C21;

// An internal class flag: methods are constructors, called without an object
// (the creation object `#N`); their results go to the newest-object slot.
inline constexpr int32_t class_flag_creator = 0x40000000;

inline kel_class *class_of_table(const method_entry *messlist)
{
    return reinterpret_cast<kel_class *>(messlist[-1].selector);
}

uint32_t table_mark(const method_entry *messlist);

// Moves on every change of what a lookup in some method table finds (a
// method added, a table replaced or freed): what was found can be kept as
// long as the generation it was found in is current.
extern std::atomic<uint32_t> g_method_tables_generation;
inline uint32_t method_tables_generation() { return g_method_tables_generation.load(std::memory_order_acquire); }
inline void method_tables_changed() { g_method_tables_generation.fetch_add(1, std::memory_order_acq_rel); }

// The method table of a valid object, moving the object on to its class's
// current table first when the class outgrew the one the object points into.
inline method_entry *messlist_current(object *x)
{
    kel_class *c = class_of_table(x->messlist);
    if (c->messlist + 1 != x->messlist && c->messlist) x->messlist = c->messlist + 1;
    return x->messlist;
}

// The table of class namespaces, made by object-system start-up.
bool class_namespaces_init();

// The table of one namespace (class name to class), or null when it was
// never mentioned.
hashtab *class_namespace(symbol *name_space);

// The class builder: a stack of classes under construction. A built-in class
// set-up or an external's main runs between begin and finish; finish makes
// and registers the class and returns it (null when nothing was defined).
void class_builder_begin(symbol *name, symbol *filename, short pathid);
kel_class *class_builder_finish();
bool class_builder_active();

// The built-in constructor for a class name, if the creation object's table
// has one: a built-in class it names lives in boxes and is made by it. The
// creation object installs this at start-up.
using builtin_constructor_lookup = method_entry *(*)(symbol *name);
void class_builder_set_constructor_lookup(builtin_constructor_lookup lookup);

// The static entry class_mess answers for `free`.
method_entry *class_free_entry();

}  // namespace kel
