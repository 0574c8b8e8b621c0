// Object validity and the object lifecycle.
#pragma once

#include <cstdint>

#include "kel/base.h"

namespace kel {

// The dispatch check: a non-null, aligned pointer whose magic is alive.
inline bool object_valid(const void *p)
{
    if (!p || (reinterpret_cast<uintptr_t>(p) & (alignof(void *) - 1))) return false;
    return static_cast<const object *>(p)->magic == OBJ_MAGIC;
}

// The careful check for pointers of unknown origin (values kept in containers,
// objects named in messages, freeobject): the header must be readable first.
bool object_valid_checked(const void *p);

// The newest-object slot: every constructor result of the creation object.
extern object *g_newest_object;

// Freeing an object tears down what the layers above the core keep for it;
// each layer installs its step at start-up, so the core names none of them.
// In freeobject's order:
//   release     drops one registration; true while other holders keep the
//               object alive, and then nothing else happens (one, or none);
//   forget      after the class's free method, under the global lock: what
//               refers to the object (registrations, clocks, queue elements),
//               in the order the steps were added;
//   disconnect  after the lock, for objects with inlets and outlets: the
//               wires, each disconnecting itself.
enum class free_step { forget, disconnect };
using object_release_hook = bool (*)(object *x);
using object_teardown_hook = void (*)(object *x);
void object_set_release_hook(object_release_hook hook);
// False when the step already holds its fixed number of hooks.
bool object_add_teardown_hook(free_step step, object_teardown_hook hook);

}  // namespace kel
