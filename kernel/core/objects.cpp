#include "kernel/core/objects.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "kel/attributes.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/hashtab.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"
#include "kernel/wires/outlets.h"
#include "kernel/time/clocks.h"
#include "kernel/time/qelems.h"
#include "kernel/registry/registry.h"
#include "kernel/core/symbols.h"
#include "platform/memprobe.h"

namespace kel {

object *g_newest_object = nullptr;

namespace {

// Objects newobject took from the system heap and freeobject has not yet
// given back: while there are none, freeing needs no look at the pool.
std::atomic<long> g_heap_objects{0};

void init_header(object *x, const kel_class *c)
{
    x->messlist = c->messlist + 1;
    x->magic = OBJ_MAGIC;
    if (!c->tiny) {
        x->inlets = nullptr;
        x->outlets = nullptr;
    }
}

hashtab **obex_slot(object *x, const kel_class *c)
{
    return reinterpret_cast<hashtab **>(reinterpret_cast<char *>(x) + c->obexoffset);
}

}  // namespace

bool object_valid_checked(const void *p)
{
    if (!p || (reinterpret_cast<uintptr_t>(p) & (alignof(void *) - 1))) return false;
    // The header is read through a copy: p may be any pointer kept beside
    // objects (a string, a small record), which the program must not read
    // beyond its end.
    object header;
    if (pool_block_readable(p, offsetof(object, inlets)))
        std::memcpy(&header, p, offsetof(object, inlets));
    else if (!platform::memory_read(p, &header, offsetof(object, inlets)))
        return false;
    return header.magic == OBJ_MAGIC && header.messlist != nullptr;
}

}  // namespace kel

using namespace kel;

KEL_API void *newobject(method_entry *ident)
{
    if (!ident) return nullptr;
    auto *c = reinterpret_cast<kel_class *>(ident->selector);
    long size = c->size > 0 ? c->size : static_cast<long>(sizeof(object));
    auto *x = static_cast<object *>(getbytes(size));
    if (!x) {
        // When the pool is out of small blocks the system heap may still
        // serve (a large one came from the heap already); freeobject tells
        // such a block from the pool's by pool_holds.
        if (!pool_serves_from_heap(size)) x = static_cast<object *>(sysmem_newptr(size));
        if (!x) return nullptr;
        g_heap_objects.fetch_add(1, std::memory_order_relaxed);
        memory_set_low(true);
    }
    init_header(x, c);
    return x;
}

KEL_API void *object_alloc(kel_class *c)
{
    if (!c || !c->messlist) return nullptr;
    long size = c->size > 0 ? c->size : static_cast<long>(sizeof(object));
    auto *x = static_cast<object *>(getbytes(size));
    if (!x) return nullptr;
    init_header(x, c);
    if (c->obexoffset) {
        hashtab *obex = hashtab_new(13);
        *obex_slot(x, c) = obex;
        if (obex && (c->flags & CLASS_FLAG_BOX)) {
            // The patcher and box that made the object; not owned by it.
            hashtab_store_safe(obex, gensym("#P"), gensym("#P")->thing);
            hashtab_store_safe(obex, gensym("#B"), gensym("#B")->thing);
        }
    }
    return x;
}

KEL_API void freeobject(void *p)
{
    if (!object_valid_checked(p)) {
        post("freeobject: %lx: bad object", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
        return;
    }
    auto *x = static_cast<object *>(p);
    kel_class *c = class_of_table(x->messlist);
    long lockout = lockout_set(1);
    bool kept = false;
    {
        std::lock_guard guard(global_lock());
        // A registered object loses one holder here; while others still keep
        // it, it lives on untouched.
        kept = registry_in_use() && object_unregister(x) != 0;
        if (!kept) {
            if (c->free_method) reinterpret_cast<void (*)(void *)>(c->free_method)(x);
            // A client that did not detach in its free method is detached now.
            registry_forget_client(x);
            if (c->obexoffset) object_obex_free(x);
            // Nothing the object owns may run against it once it is gone.
            clocks_remove_owned_by(x);
            qelems_remove_owned_by(x);
        }
    }
    lockout_set(lockout);
    if (kept) return;
    if (!c->tiny) {
        outlets_free_all(x);  // each disconnects itself
        inlets_free_all(x);
    }
    x->magic = 0;
    if (c->size > 0) {
        if (g_heap_objects.load(std::memory_order_relaxed) > 0 && !pool_holds(x, c->size)) {
            sysmem_freeptr(x);  // newobject's fallback to the system heap
            g_heap_objects.fetch_sub(1, std::memory_order_relaxed);
        } else {
            freebytes(x, c->size);
        }
    }
}

KEL_API long object_free(void *x)
{
    if (!x || !static_cast<object *>(x)->messlist) return ERR_INVALID_PTR;
    freeobject(x);
    return ERR_NONE;
}

KEL_API symbol *object_classname(void *x)
{
    if (!object_valid(x)) return gensym("");
    return class_of_table(static_cast<object *>(x)->messlist)->name;
}

KEL_API kel_class *object_class(void *x)
{
    if (!object_valid(x)) return nullptr;
    return class_of_table(static_cast<object *>(x)->messlist);
}

