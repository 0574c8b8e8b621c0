// The creation object `#N`: its table of built-in constructors, the newest
// object slot, and the resolution of names that are not built in.
//
// Invariants: the method table of `#N` lists, in the stored order of the
// built-in constructor table, exactly the names whose class module has
// provided a constructor; the first entry is the resolver of unknown names.
#pragma once

#include "kel/base.h"

namespace kel {

// Makes `#N`, binds `#N` and `g_kel_newest`. Called by kernel start-up.
bool creation_init();

// The creation object (null before creation_init).
object *creation_object();

// A built-in class module provides the constructor for one of the names of
// the stored table (before or after creation_init); false for a name that
// is not in the table.
bool creation_provide(const char *name, kel_method constructor);

// The creation object's entry for name when name stands in the stored table
// at position from or later (0 is the resolver); null when there is none.
method_entry *creation_entry(symbol *name, int from);

// The name-to-file map (the application receiver's `objectfile` command).
void creation_map_name(symbol *name, symbol *file);

// Loads a patcher file found as an abstraction; set by the patcher module.
// Answers the object made, or null.
using abstraction_loader = object *(*)(symbol *name, short path, symbol *filename, long type, long argc, atom *argv);
void creation_set_abstraction_loader(abstraction_loader loader);

}  // namespace kel
