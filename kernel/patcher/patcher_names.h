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
// its first "[" followed by "[1]", "[2]", ... the first one free. The text is
// shortened as far as the number needs for the whole to fit in a symbol
// (symbol_name_max characters). Null, after an error, when no name is left.
symbol *boxnames_unique(patcher *p, symbol *name);

}  // namespace kel

// The C functions of the name module are declared in kel/patcher.h.
