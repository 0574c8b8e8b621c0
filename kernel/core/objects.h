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

}  // namespace kel
