#include "kernel/core/objects.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/hashtab.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"
#include "kernel/core/symbols.h"
#include "platform/memprobe.h"

namespace kel {

object *g_newest_object = nullptr;

namespace {

// Installed once at start-up, before any object is freed; read without a lock.
constexpr int max_teardown_hooks = 4;
struct teardown_hooks {
    object_teardown_hook hooks[max_teardown_hooks] = {};
    int count = 0;

    void run(object *x) const
    {
        for (int i = 0; i < count; i++) hooks[i](x);
    }
};

object_release_hook g_release = nullptr;
teardown_hooks g_forget, g_disconnect;

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

void object_set_release_hook(object_release_hook hook) { g_release = hook; }

bool object_add_teardown_hook(free_step step, object_teardown_hook hook)
{
    teardown_hooks &h = step == free_step::forget ? g_forget : g_disconnect;
    if (h.count == max_teardown_hooks) return false;
    h.hooks[h.count++] = hook;
    return true;
}

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
            static symbol *const s_patcher = gensym("#P"), *const s_box = gensym("#B");
            hashtab_store_safe(obex, s_patcher, s_patcher->thing);
            hashtab_store_safe(obex, s_box, s_box->thing);
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
    bool kept = false;
    {
        lockout_scope lockout;
        std::lock_guard guard(global_lock());
        // A registered object loses one holder here; while others still keep
        // it, it lives on untouched.
        kept = g_release && g_release(x);
        if (!kept) {
            if (c->free_method) call_free(c->free_method, x);
            // Nothing the object owns may run against it once it is gone.
            g_forget.run(x);
        }
    }
    if (kept) return;
    if (!c->tiny) g_disconnect.run(x);
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
    if (!object_valid(x)) return sym_empty;
    return class_of_table(static_cast<object *>(x)->messlist)->name;
}

KEL_API kel_class *object_class(void *x)
{
    if (!object_valid(x)) return nullptr;
    return class_of_table(static_cast<object *>(x)->messlist);
}
