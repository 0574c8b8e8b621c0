// The built-in object classes that the engine supplies itself, one source per
// class family. Each family hands its constructors to the creation object
// `#N` (kernel/creation.h); a family's classes are set up on first use unless
// the family says otherwise.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "kel/base.h"
#include "kel/classes.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"

namespace kel {

// Sets up every family: provides its constructors to `#N` and builds the
// classes that must exist before any patcher loads. Called once by
// engine_init, after the kernel is up; safe to call again.
bool objects_init();

// A 32-bit integer from a method argument word: integers carried by atoms and
// typed messages are 32 bits wide and wrap.
inline int32_t wrap32(long n) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(n))); }

// Any function as a method table entry.
template <typename F> kel_method as_method(F *f) { return reinterpret_cast<kel_method>(f); }

// --- Defining a built-in class ---
//
// The class API has two generations, and a built-in class uses one of them
// through one of the two helpers below. The choice decides how object_method
// reaches an instance: a class of the newer generation is an obex class, so
// object_method looks in its method table, then its attributes, its decorator
// and, for a box, the object it holds; a class of the older generation
// answers object_method from its method table alone.
//
// Which family uses which, and why:
//   arith        older: built on first use; `int` has the alias `i`, and each
//                operator a second (float-mode) table under the same name
//   routing      older: built on first use; `select` has two tables under one
//                name, chosen when the object is made
//   console      older: `print` is built on first use, like the classes above
//   msgbox       newer: a box kind of the patcher, which reaches it through
//                object_method (`click`, `psave`, `pstate`, `eval`)
//   sendrecv     newer: made at start-up, since a name's `through` record may be
//                needed before any box; a named and an unnamed `receive` class
//   time         newer: made at start-up; object boxes holding them pass
//                object_method and attribute access on to them
//   pvar         newer: a registry client, notified through object_method
//   thispatcher  newer: the patcher asks it to `save` through object_method
//   filters      older: `messfilt` and `grab`, built on first use
//   console_events older: `error`, `key` and `keyup`, built on first use
//   pcontrol     older: built on first use
//   opened       older: built on first use
//   bpatcher     newer: a box kind of the patcher, which reaches it through
//                object_method (`psave`, `color`)
//   drawn_boxes  newer: made at start-up, one class per name, so that a
//                cord's growing of ports can ask the class (`openports`)

// Older generation: builds the class into *table on first use, through the
// class builder, with its constructor's argument types (at most three); fill
// adds its methods between setup and finish (addmess, addint, alias, ...).
// True once the class exists.
template <typename Fill>
bool define_builder_class(method_entry **table, const char *name, kel_method constructor, kel_method free_method,
                          long size, std::initializer_list<int> constructor_types, Fill fill)
{
    if (*table) return true;
    int types[3] = {};
    int n = 0;
    for (int t : constructor_types)
        if (n < 3) types[n++] = t;
    class_builder_begin(gensym(name), nullptr, 0);
    // The type list ends at its first 0: the unused slots end it.
    setup(table, constructor, free_method, size, nullptr, types[0], types[1], types[2], 0);
    fill();
    class_builder_finish();
    return *table != nullptr;
}

// A method of a newer-generation class: its one argument's type, or
// ATYPE_NOTHING for none.
struct method_def {
    kel_method fn;
    const char *name;
    short type = ATYPE_NOTHING;
};

// Where a newer-generation class is registered: in the box namespace (its
// instances may live in patcher boxes), in nobox (kernel records, box kinds),
// or, for a second box class under a name the box namespace holds already
// (chosen by the first one's constructor), nowhere.
enum class class_home { box, nobox, second_box };

// Newer generation: makes the class, adds its methods and registers it.
// Null when memory ran out or the name is taken.
kel_class *define_class(const char *name, kel_method constructor, kel_method free_method, long size, class_home home,
                        std::initializer_list<method_def> methods, short constructor_type = ATYPE_NOTHING);

// The object a name is bound to, or null when the name is unbound or bound
// to a kernel record that is not an object: objects that "send" to a name
// given in a message call it directly and must not trust it blindly.
object *bound_object(symbol *name);

}  // namespace kel
