// Loadbang, closebang and freebang: the loadbang queue and its delivery,
// the per-patcher passes, and the three classes.
//
// A delivery takes the queue as it stands and serves it in pop order:
// subpatchers and abstractions before the patchers holding them, siblings
// in file order, the top-level patcher last. Each patcher is served once
// per delivery: the pass records the delivery's generation in the patcher,
// and a patcher reached again (a subpatcher, through its container's box)
// is skipped. The whole generation counter is kept, not seven bits of it,
// so that a patcher is never skipped because the counter came round.
#include "kernel/patcher/loadbang.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>
#include <vector>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/outlets.h"
#include "kel/patcher.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/scheduler.h"

namespace kel {
namespace {

// A queue being delivered; deliveries nest (a loadbang may load a file),
// innermost at g_deliveries.
struct delivery {
    std::vector<patcher *> queue;
    delivery *outer;
};

std::vector<patcher *> g_queue;  // in pop order
delivery *g_deliveries = nullptr;
bool g_suspended = false;
char g_noloadbangdisable = 0;
int g_pass_depth = 0;
unsigned long g_pass_generation = 0;

method_entry *g_loadbang_class = nullptr;
method_entry *g_closebang_class = nullptr;
method_entry *g_freebang_class = nullptr;

struct bang_object {
    object header;
    outlet *out;
};

// Headless, no key is ever held down, so the keys that keep a loadbang
// object quiet never are.
bool disabling_keys_held() { return false; }

bool is_preset(object *x)
{
    static symbol *const preset = gensym("preset");
    return object_valid(x) && object_classname(x) == preset;
}

bool holds_box(patcher *p, box *b)
{
    for (box *k = p->boxes; k; k = k->next)
        if (k == b) return true;
    return false;
}

// Calls fn on each box of p that was there when the pass began and is
// still there (a method called may free or add boxes). Allocates, but never
// throws: without memory for the list of boxes, the pass ends at the first
// change to p's boxes, and the memory-low flag goes up.
template <class F> void each_box(patcher *p, F fn)
{
    std::vector<box *> boxes;
    try {
        for (box *b = p->boxes; b; b = b->next) boxes.push_back(b);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        const unsigned long changes = p->changes;
        for (box *b = p->boxes; b;) {
            box *next = b->next;
            fn(b);
            if (!object_valid(p) || p->changes != changes) return;
            b = next;
        }
        return;
    }
    const unsigned long changes = p->changes;
    std::unordered_set<box *> live;
    bool checking = false, listed = false;
    for (box *b : boxes) {
        if (!object_valid(p)) return;
        if (p->changes != changes) {
            if (!checking) {
                checking = true;
                try {
                    for (box *k = p->boxes; k; k = k->next) live.insert(k);
                    listed = true;
                } catch (const std::bad_alloc &) {
                    memory_set_low(true);  // each box is looked for in the list instead
                }
            }
            if (listed ? !live.count(b) : !holds_box(p, b)) continue;
        }
        fn(b);
    }
}

void call_loadbang(object *x)
{
    static symbol *const loadbang = gensym("loadbang");
    if (kel_method fn = zgetfn(x, loadbang)) call_bang(fn, x);
}

void serve(patcher *p, unsigned long generation)
{
    static symbol *const loadbang = gensym("loadbang");
    if (p->loadbang_served && p->loadbang_generation == generation) return;
    p->loadbang_served = true;
    p->loadbang_generation = generation;
    if (verbose()) post("loadbanging %s", patcher_title(p));
    each_box(p, [](box *b) {
        if (b->obj && is_preset(b->obj)) call_loadbang(b->obj);
    });
    each_box(p, [](box *b) {
        if (is_preset(b->obj)) return;
        if (zgetfn(b, loadbang))
            call_loadbang(&b->header);
        else if (b->obj && b->obj != &b->header && object_valid(b->obj))
            call_loadbang(b->obj);
    });
}

// A pass over p (and what it holds) as the outermost delivery or within
// the one in progress.
void loadbang_pass(patcher *p)
{
    if (g_pass_depth > 0) {
        serve(p, g_pass_generation);
        return;
    }
    message_event_start();
    g_pass_generation = event_counter();
    g_pass_depth++;
    serve(p, g_pass_generation);
    g_pass_depth--;
}

// --- the classes ---

void *loadbang_loadbang(bang_object *x)
{
    if (!(disabling_keys_held() && g_noloadbangdisable == 0)) outlet_bang(x->out);
    return nullptr;
}

void *bang_object_bang(bang_object *x)
{
    outlet_bang(x->out);
    return nullptr;
}

// Sets up a class of bang objects named name (once) and makes one.
void *make_bang_object(method_entry **ident, const char *name, kel_method constructor, void (*add_methods)(),
                       bool noinlet)
{
    if (!*ident) {
        class_builder_begin(gensym(name), nullptr, 0);
        setup(ident, constructor, nullptr, sizeof(bang_object), nullptr, 0);
        add_methods();
        class_builder_finish();
        if (*ident && noinlet) class_noinlet(*ident);
    }
    if (!*ident) return nullptr;
    auto *x = static_cast<bang_object *>(newobject(*ident));
    if (!x) return nullptr;
    x->out = bangout(x);
    return x;
}

void *loadbang_new();
void *closebang_new();
void *freebang_new();

void *loadbang_new()
{
    return make_bang_object(
        &g_loadbang_class, "loadbang", reinterpret_cast<kel_method>(&loadbang_new),
        [] {
            addmess(reinterpret_cast<kel_method>(&loadbang_loadbang), "loadbang", 0);
            addbang(reinterpret_cast<kel_method>(&bang_object_bang));
            addmess(reinterpret_cast<kel_method>(&bang_object_bang), "dblclick", ATYPE_CANT, 0);
        },
        false);
}

void *closebang_new()
{
    return make_bang_object(
        &g_closebang_class, "closebang", reinterpret_cast<kel_method>(&closebang_new),
        [] { addbang(reinterpret_cast<kel_method>(&bang_object_bang)); }, true);
}

void *freebang_new()
{
    return make_bang_object(
        &g_freebang_class, "freebang", reinterpret_cast<kel_method>(&freebang_new),
        [] { addmess(reinterpret_cast<kel_method>(&bang_object_bang), "freebang", 0); }, true);
}

// active: an int outlet and no inlet.
method_entry *g_active_class = nullptr;
patcher *g_last_activated = nullptr;
bool g_last_active_state = false;

void *active_new()
{
    if (!g_active_class) {
        class_builder_begin(gensym("active"), nullptr, 0);
        setup(&g_active_class, reinterpret_cast<kel_method>(&active_new), nullptr, sizeof(bang_object), nullptr, 0);
        class_builder_finish();
        if (g_active_class) class_noinlet(g_active_class);
    }
    if (!g_active_class) return nullptr;
    auto *x = static_cast<bang_object *>(newobject(g_active_class));
    if (!x) return nullptr;
    x->out = intout(x);
    return x;
}

bool is_active_object(object *x) { return g_active_class && object_valid(x) && x->messlist == g_active_class + 1; }

bool is_closebang(object *x) { return g_closebang_class && object_valid(x) && x->messlist == g_closebang_class + 1; }

}  // namespace

bool loadbang_init()
{
    return creation_provide("loadbang", reinterpret_cast<kel_method>(&loadbang_new)) &&
           creation_provide("closebang", reinterpret_cast<kel_method>(&closebang_new)) &&
           creation_provide("freebang", reinterpret_cast<kel_method>(&freebang_new)) &&
           creation_provide("active", reinterpret_cast<kel_method>(&active_new));
}

void loadbang_queue_push(patcher *p)
{
    if (p->loadbang_queued) return;
    try {
        g_queue.push_back(p);
        p->loadbang_queued = true;
    } catch (const std::bad_alloc &) {
        memory_set_low(true);  // p will not hear loadbang
    }
}

void loadbang_queue_remove(patcher *p)
{
    if (p->loadbang_queued) {
        // Patchers leave mostly newest first (a load cut short): look from the end.
        auto at = std::find(g_queue.rbegin(), g_queue.rend(), p);
        if (at != g_queue.rend()) g_queue.erase(std::next(at).base());
        p->loadbang_queued = false;
    }
    for (delivery *d = g_deliveries; d; d = d->outer)
        std::replace(d->queue.begin(), d->queue.end(), p, static_cast<patcher *>(nullptr));
}

void loadbang_clearqueue()
{
    if (g_deliveries) return;
    if (verbose()) post("loadbang_clearqueue");
    for (patcher *p : g_queue) p->loadbang_queued = false;
    g_queue.clear();
}

void loadbang_dequeue()
{
    if (verbose()) post("loadbang_dequeue...");
    delivery d{{}, g_deliveries};
    d.queue.swap(g_queue);
    for (patcher *p : d.queue) p->loadbang_queued = false;
    g_deliveries = &d;
    const int saved_depth = g_pass_depth;
    const unsigned long saved_generation = g_pass_generation;
    message_event_start();
    g_pass_generation = event_counter();
    g_pass_depth = saved_depth + 1;
    for (size_t k = 0; k < d.queue.size(); k++)
        if (patcher *p = d.queue[k]) serve(p, g_pass_generation);
    g_pass_depth = saved_depth;
    g_pass_generation = saved_generation;
    g_deliveries = d.outer;
}

long loadbang_queue_size() { return static_cast<long>(g_queue.size()); }

bool loadbang_suspended() { return g_suspended; }

void patcher_loadbang(patcher *p)
{
    if (p) loadbang_pass(p);
}

void patcher_freebang(patcher *p)
{
    static symbol *const freebang = gensym("freebang");
    if (!p || p->freebang_done) return;
    p->freebang_done = true;
    each_box(p, [p](box *b) {
        if (!b->obj || b->obj == &b->header || !object_valid(b->obj)) return;
        long index = 0;
        while (void *sub = object_subpatcher(b->obj, &index, nullptr)) {
            if (is_patcher(sub) && sub != p) patcher_freebang(static_cast<patcher *>(sub));
            if (index > 255) break;
        }
    });
    each_box(p, [](box *b) {
        object *x = b->obj;
        if (!x || !object_valid(x)) return;
        if (kel_method fn = zgetfn(x, freebang)) call_bang(fn, x);
    });
}

void patcher_closebang(patcher *p)
{
    if (!p || p->skip_closebang) return;
    each_box(p, [](box *b) {
        if (is_closebang(b->obj)) bang_object_bang(reinterpret_cast<bang_object *>(b->obj));
    });
}

void patcher_activate(patcher *p, bool active)
{
    if (!p || (p == g_last_activated && active == g_last_active_state)) return;
    g_last_activated = p;
    g_last_active_state = active;
    each_box(p, [active](box *b) {
        if (is_active_object(b->obj)) outlet_int(reinterpret_cast<bang_object *>(b->obj)->out, active ? 1 : 0);
    });
}

void patcher_activate_forget(patcher *p)
{
    if (g_last_activated == p) g_last_activated = nullptr;
}

}  // namespace kel

using namespace kel;

KEL_API void loadbang_suspend(void) { g_suspended = true; }

KEL_API void loadbang_resume(void)
{
    if (!g_suspended) return;
    g_suspended = false;
    if (!patcher_loading()) loadbang_dequeue();
}

KEL_API void noloadbangdisable_set(char flag) { g_noloadbangdisable = flag; }

KEL_API char noloadbangdisable_get(void) { return g_noloadbangdisable; }
