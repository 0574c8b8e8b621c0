// Box names: every patcher has its own table of names, kept in the object
// registry with the patcher's own namespace symbol; a name refers to one box
// of that patcher. Names found through nested subpatchers; the watchers (pvar
// objects) that follow a name in their patcher.
//
// Invariants: a box is registered under at most one name, only in its own
// patcher's namespace, and only while it is on that patcher's box list (a
// box leaving the list loses its name first); the empty symbol is never a
// name; a watcher on a patcher's list is attached to a box exactly when a
// box of that patcher holds the watched name, and it is told before that
// box loses the name or its object.
#pragma once

#include "kel/base.h"
#include "kel/patcher.h"

namespace kel {

// Something in a patcher that follows a box name (a pvar). The name module
// calls attach when a box of the patcher takes the name (or when the box's
// object has been replaced) and detach before the name or the object goes:
// box_going is true when the box is leaving its patcher (its object is still
// alive during the call). watch_free is called when the patcher itself is
// being freed while the watcher is still on its list.
struct name_watcher {
    patcher *where;  // the patcher whose names it follows; null once that patcher is gone
    symbol *name;    // the name followed; the empty symbol for none
    void (*attach)(name_watcher *w, box *b);
    void (*detach)(name_watcher *w, bool box_going);
};

// Hooks the name module into the patcher (the box-naming seam, attribute
// access through object boxes). Called once by kernel start-up.
bool boxnames_init();

// The registry namespace of p's box names (made on first use).
symbol *boxnames_namespace(patcher *p);

// Watchers join and leave p's list. Joining attaches at once when a box of p
// holds the watcher's name.
void boxnames_watch(patcher *p, name_watcher *w);
void boxnames_unwatch(name_watcher *w);
// Attaches w to the box holding w->name in w->where, if there is one.
void boxnames_attach_watcher(name_watcher *w);

// p is being freed: every watcher still on its list is detached and told
// the patcher is gone, and p's naming state goes.
void boxnames_patcher_free(patcher *p);

// The box named name in p, or null (also for null or the empty symbol).
box *boxnames_find(patcher *p, symbol *name);

// The name made unique in p: name itself when free, else the text before
// its first "[" followed by "[1]", "[2]", ... the first one free.
symbol *boxnames_unique(patcher *p, symbol *name);

}  // namespace kel

// The C functions of the name module. Externals reach them through the
// kernel's exported symbols.
KEL_BEGIN_C

/* Names b in p. When another box of p has the name: "NAME: name already in
 * use" and nothing changes; when b has it already, nothing changes.
 * Otherwise b's former name goes and the name (made unique) is registered;
 * the pvar objects of p that follow it attach to b. */
KEL_API void patcher_setboxname(patcher *p, box *b, symbol *name);
KEL_API void patcher_setboxname_nodirty(patcher *p, box *b, symbol *name);
/* Registers b under the name made unique in p ("amp", "amp[1]", ...) and
 * answers the name used; NULL when b cannot be named. */
KEL_API symbol *patcher_uniqueboxname(patcher *p, box *b, symbol *name);
/* 1 and *name when b is named in p, else 0 and *name NULL. */
KEL_API long patcher_boxname(patcher *p, box *b, symbol **name);
/* The box of p named name, or NULL. */
KEL_API box *patcher_getnamedbox(patcher *p, symbol *name);
/* Detaches the pvar objects following b's name, then unregisters it;
 * "patcher_deleteboxname: multiple named references" when the registry
 * reports other holders of b. */
KEL_API void patcher_deleteboxname(patcher *p, box *b);

/* Names through nested subpatchers. A path is a list of names: the first is
 * a box of p, each next one a box of the subpatcher the box before holds.
 * An element "NAME.N" (N a positive integer after the last ".") that names
 * no box addresses instance N (from 1) of the box NAME of class poly~.
 * The path forms take the names joined by "::" in one symbol. */
KEL_API box *patcher_resolvebox(patcher *p, symbol *path);
KEL_API object *patcher_resolveobj(patcher *p, symbol *path);
KEL_API patcher *patcher_resolvepatcher(patcher *p, symbol *path);
KEL_API box *patcher_resolvebox_symarray(patcher *p, long count, symbol **names);
KEL_API object *patcher_resolveobj_symarray(patcher *p, long count, symbol **names);
KEL_API patcher *patcher_resolvepatcher_symarray(patcher *p, long count, symbol **names);
/* Splits a "::" path into a new array of *count symbols (NULL for an empty
 * path or without memory); free it with patcher_namepath_symarray_free. */
KEL_API symbol **patcher_namepath_symarray_new(symbol *path, long *count);
KEL_API void patcher_namepath_symarray_free(symbol **names, long count);

KEL_END_C
