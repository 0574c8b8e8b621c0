// The object registry: objects registered by namespace and name, with the
// number of holders and the clients attached to each registration.
//
// Invariants: an object has at most one registration; the namespace table
// (namespace -> table of name -> registration) and the object table (object
// address -> reverse record) always describe the same registrations; a
// registration's holder count is at least 1 until it is removed, and a
// registration being removed answers no further registry calls about it.
#pragma once

#include "kel/base.h"
#include "kel/registry.h"

namespace kel {

// Makes the registry's classes and tables (start-up); false, after the post
// "couldn't make registered object namespace", when the tables cannot be made.
bool registry_init();

// Whether any object is registered at all: freeobject's quick way out.
bool registry_in_use();

// Takes an object being freed off every client list it is still attached
// to, so that no notification reaches it afterwards.
void registry_forget_client(object *x);

// True when the name is registered in any namespace.
bool registry_name_in_use(symbol *name);

}  // namespace kel
