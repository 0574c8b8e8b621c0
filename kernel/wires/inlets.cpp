// Extra inlets, proxies and the standard delivery of lists.
#include <atomic>
#include <cstring>
#include <mutex>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/locks.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/wires/depth.h"
#include "kernel/wires/outlets.h"
#include "kernel/wires/wire_pairs.h"

struct proxy {
    object header;
    long *stuff;  // where the owner reads which inlet a message came through
    object *owner;
    long index;
    kel_method int_method;
    kel_method bang_method;
    kel_method float_method;
    kel_method list_method;
    inlet *through;      // the pass-through inlet that reaches this proxy
    uintptr_t *threads;  // [capacity, count, ids...] from the pool: the threads inside the owner's method
};

namespace kel {
namespace {

kel_class *g_inlet_class = nullptr;
kel_class *g_proxy_class = nullptr;

const char *type_name(const inlet *i) { return i->type ? i->type->name : ""; }

// --- the inlet class: convert and forward to the receiver ---

void *inlet_bang(inlet *i)
{
    if (i->type == sym_bang)
        call_bang(i->method, i->receiver);
    else if (!i->type)
        call_bang(getfn(i->receiver, sym_bang), i->receiver);
    else
        error("inlet: bang: wrong message %s", type_name(i));
    return nullptr;
}

void *inlet_int(inlet *i, long n)
{
    inlet_deliver_int(i, n);
    return nullptr;
}

void *inlet_float(inlet *i, double f)
{
    inlet_deliver_float(i, f);
    return nullptr;
}

void *inlet_list(inlet *i, symbol *s, long argc, atom *argv)
{
    if (i->type == sym_list)
        call_gimme(i->method, i->receiver, s, argc, argv);
    else if (!i->type)
        typedmess(i->receiver, sym_list, argc, argv);
    else
        error("inlet: list: wrong message or type");
    return nullptr;
}

void *inlet_anything(inlet *i, symbol *s, long argc, atom *argv)
{
    if (i->type == s)
        call_gimme(i->method, i->receiver, s, argc, argv);
    else if (!i->type)
        typedmess(i->receiver, s, argc, argv);
    else
        error("inlet: wrong message or type");
    return nullptr;
}

void *inlet_fixfix(inlet *i, long a, long b)
{
    static symbol *const fixfix = gensym("fixfix");
    if (i->type == fixfix)
        call_fixfix(i->method, i->receiver, a, b);
    else if (!i->type)
        call_fixfix(getfn(i->receiver, fixfix), i->receiver, a, b);
    else
        error("inlet: fixfix: wrong message or type %s", type_name(i));
    return nullptr;
}

void inlet_free_method(inlet *i)
{
    std::lock_guard guard(global_lock());
    // Outlets connected here would otherwise keep sending to freed memory.
    while (i->sources) {
        source *s = i->sources;
        outlet_rm(s->from, i);
        if (i->sources == s) {  // not removed by outlet_rm: drop the record itself
            auto *self = reinterpret_cast<object *>(i);
            if (wire_pair *pair = wire_pair_find(s->from, self); pair && pair->src == s) pair->src = nullptr;
            wire_pair_settle(s->from, self);
            i->sources = s->next;
            if (i->sources) i->sources->prev = nullptr;
            freebytes(s, sizeof(source));
        }
    }
    object *owner = i->owner;
    if (!owner) return;
    for (inlet **p = &owner->inlets; *p; p = &(*p)->next) {
        if (*p == i) {
            *p = i->next;
            return;
        }
    }
    check_failed("inlet: %s: didn't find it", object_classname(owner)->name);
}

inlet *make_inlet(object *owner, object *receiver, symbol *type, symbol *target)
{
    kel_class *c = inlet_class();
    auto *i = c ? static_cast<inlet *>(object_alloc(c)) : nullptr;
    if (!i) return nullptr;
    i->receiver = receiver;
    i->owner = owner;
    i->type = type;
    i->method = target ? getfn(receiver, target) : reinterpret_cast<kel_method>(&method_false);
    i->sources = nullptr;
    i->flags = 0;
    i->next = nullptr;
    if (owner) {
        i->next = owner->inlets;
        owner->inlets = i;
    }
    return i;
}

inlet *numbered_inlet(void *owner, long n, symbol *type, char prefix0, char prefix1)
{
    if (n < 1 || n > 9) {
        // Two posted lines, not an error like addinx's: the first draws the
        // bullet itself, the form older externals' authors know; kept as is.
        post("%c external object error:", '\xA5');
        post("inlet %ld out of range", n);
        return nullptr;
    }
    char name[4] = {prefix0, prefix1, static_cast<char>('0' + n), '\0'};
    return make_inlet(static_cast<object *>(owner), static_cast<object *>(owner), type, gensym(name));
}

// --- proxies ---

std::mutex g_proxy_lock;

uintptr_t this_thread_id() { return reinterpret_cast<uintptr_t>(&t_depth); }

// Under g_proxy_lock. The stack grows when more deliveries are nested.
void push_thread(proxy *p)
{
    uintptr_t *t = p->threads;
    if (t && t[1] == t[0]) {
        long bytes = static_cast<long>((2 + t[0]) * sizeof(uintptr_t));
        auto *grown = static_cast<uintptr_t *>(getbytes(bytes + static_cast<long>(t[0] * sizeof(uintptr_t))));
        if (!grown) return;
        std::memcpy(grown, t, static_cast<size_t>(bytes));
        grown[0] = t[0] * 2;
        freebytes(t, bytes);
        p->threads = t = grown;
    }
    if (t) t[2 + t[1]++] = this_thread_id();
}

void pop_thread(proxy *p)
{
    uintptr_t *t = p->threads;
    if (!t) return;
    uintptr_t me = this_thread_id();
    for (uintptr_t k = t[1]; k-- > 0;) {
        if (t[2 + k] == me) {
            std::memmove(t + 2 + k, t + 3 + k, (t[1] - k - 1) * sizeof(uintptr_t));
            t[1]--;
            return;
        }
    }
}

bool has_thread(const proxy *p, uintptr_t me)
{
    const uintptr_t *t = p->threads;
    if (!t) return false;
    for (uintptr_t k = 0; k < t[1]; k++)
        if (t[2 + k] == me) return true;
    return false;
}

// Runs call() as the owner's handling of a message that came through p.
template <class F> void through_proxy(proxy *p, F call)
{
    long previous = 0;
    {
        std::lock_guard guard(g_proxy_lock);
        if (p->stuff) {
            previous = *p->stuff;
            *p->stuff = p->index;
        }
        push_thread(p);
    }
    call();
    std::lock_guard guard(g_proxy_lock);
    pop_thread(p);
    if (p->stuff) *p->stuff = previous;
}

void missing(proxy *p, symbol *s) { error("%s doesn't understand \"%s\"", object_classname(p->owner)->name, s->name); }

void *proxy_bang(proxy *p)
{
    if (!p->bang_method) return missing(p, sym_bang), nullptr;
    through_proxy(p, [p] { call_bang(p->bang_method, p->owner); });
    return nullptr;
}

void *proxy_int(proxy *p, long n)
{
    if (!p->int_method) return missing(p, sym_int), nullptr;
    through_proxy(p, [p, n] { call_int(p->int_method, p->owner, n); });
    return nullptr;
}

void *proxy_float(proxy *p, double f)
{
    if (!p->float_method) return missing(p, sym_float), nullptr;
    through_proxy(p, [p, f] { call_float(p->float_method, p->owner, f); });
    return nullptr;
}

void *proxy_list(proxy *p, symbol *s, long argc, atom *argv)
{
    through_proxy(p, [=] {
        if (p->list_method)
            call_gimme(p->list_method, p->owner, s, argc, argv);
        else
            typedmess(p->owner, sym_list, argc, argv);
    });
    return nullptr;
}

void *proxy_anything(proxy *p, symbol *s, long argc, atom *argv)
{
    through_proxy(p, [=] { typedmess(p->owner, s, argc, argv); });
    return nullptr;
}

void proxy_free_method(proxy *p)
{
    if (p->threads) freebytes(p->threads, static_cast<long>((2 + p->threads[0]) * sizeof(uintptr_t)));
    p->threads = nullptr;
    // The inlet goes with the proxy unless the owner is being freed, which
    // frees its inlets itself.
    if (p->through && object_valid(p->through)) freeobject(p->through);
}

}  // namespace

kel_class *inlet_class()
{
    if (g_inlet_class) return g_inlet_class;
    kel_class *c =
        class_new("inlet", nullptr, reinterpret_cast<kel_method>(&inlet_free_method), sizeof(inlet), nullptr, 0);
    if (!c) return nullptr;
    c->tiny = 1;
    class_addmethod(c, reinterpret_cast<kel_method>(&inlet_bang), "bang", 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&inlet_int), "int", ATYPE_LONG, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&inlet_float), "float", ATYPE_FLOAT, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&inlet_list), "list", ATYPE_GIMME, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&inlet_fixfix), "fixfix", ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&inlet_checkin), "checkin", ATYPE_CANT, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&inlet_anything), "anything", ATYPE_GIMME, 0);
    g_inlet_class = c;
    return c;
}

kel_class *proxy_class()
{
    if (g_proxy_class) return g_proxy_class;
    kel_class *c =
        class_new("proxy", nullptr, reinterpret_cast<kel_method>(&proxy_free_method), sizeof(proxy), nullptr, 0);
    if (!c) return nullptr;
    class_addmethod(c, reinterpret_cast<kel_method>(&proxy_bang), "bang", 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&proxy_int), "int", ATYPE_LONG, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&proxy_float), "float", ATYPE_FLOAT, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&proxy_list), "list", ATYPE_GIMME, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&proxy_anything), "anything", ATYPE_GIMME, 0);
    g_proxy_class = c;
    return c;
}

bool is_inlet(const void *x) { return g_inlet_class && object_class(const_cast<void *>(x)) == g_inlet_class; }

void inlet_chain(inlet *i, outlet *inner)
{
    i->flags |= inlet_flag_chained;
    i->receiver = reinterpret_cast<object *>(inner);
}

void inlets_free_all(object *x)
{
    while (x->inlets) {
        inlet *i = x->inlets;
        freeobject(i);
        if (x->inlets == i) x->inlets = i->next;
    }
}

void inlet_deliver_int(inlet *i, long n)
{
    if (i->type == sym_int)
        call_int(i->method, i->receiver, n);
    else if (i->type == sym_float)
        call_float(i->method, i->receiver, static_cast<double>(n));
    else if (!i->type)
        call_int(getfn(i->receiver, sym_int), i->receiver, n);
    else
        error("inlet: int: wrong message or type %s", type_name(i));
}

void inlet_deliver_float(inlet *i, double f)
{
    if (i->type == sym_float)
        call_float(i->method, i->receiver, f);
    else if (i->type == sym_int)
        call_int(i->method, i->receiver, float_to_long(f));
    else if (!i->type)
        call_float(getfn(i->receiver, sym_float), i->receiver, f);
    else
        error("inlet: float: wrong message or type %s", type_name(i));
}

}  // namespace kel

using namespace kel;

KEL_API inlet *inlet_new(void *owner, const char *name)
{
    symbol *type = name ? gensym(name) : nullptr;
    return make_inlet(static_cast<object *>(owner), static_cast<object *>(owner), type, type);
}

KEL_API inlet *inlet4(void *owner, void *receiver, const char *accepted, const char *target)
{
    return make_inlet(static_cast<object *>(owner), static_cast<object *>(receiver),
                      accepted ? gensym(accepted) : nullptr, target ? gensym(target) : nullptr);
}

KEL_API inlet *intin(void *owner, long n) { return numbered_inlet(owner, n, sym_int, 'i', 'n'); }

KEL_API inlet *floatin(void *owner, long n) { return numbered_inlet(owner, n, sym_float, 'f', 't'); }

KEL_API void inlet_to(inlet *i, void *receiver)
{
    if (i) i->receiver = static_cast<object *>(receiver);
}

KEL_API long inlet_checkin(inlet *i, symbol *s)
{
    if (!i->type || i->type == s) return 0;
    if (s == sym_int && i->type == sym_float) return 0;
    if (s == sym_float && i->type == sym_int) return 0;
    if (s == sym_list && (i->type == sym_int || i->type == sym_float)) return 0;
    return 1;
}

KEL_API proxy *proxy_new(void *owner, long index, long *stuff)
{
    kel_class *c = proxy_class();
    auto *p = c ? static_cast<proxy *>(object_alloc(c)) : nullptr;
    if (!p) return nullptr;
    p->owner = static_cast<object *>(owner);
    p->index = index;
    p->stuff = stuff;
    if (stuff) *stuff = 0;
    p->int_method = zgetfn(owner, sym_int);
    p->bang_method = zgetfn(owner, sym_bang);
    p->float_method = zgetfn(owner, sym_float);
    p->list_method = zgetfn(owner, sym_list);
    p->threads = static_cast<uintptr_t *>(getbytes(10 * sizeof(uintptr_t)));
    if (p->threads) {
        p->threads[0] = 8;
        p->threads[1] = 0;
    }
    p->through = make_inlet(p->owner, reinterpret_cast<object *>(p), nullptr, nullptr);
    return p;
}

KEL_API long proxy_getinlet(void *owner)
{
    auto *x = static_cast<object *>(owner);
    if (!object_valid(x) || !g_proxy_class) return 0;
    uintptr_t me = this_thread_id();
    long value = 0;
    bool first = true;
    std::lock_guard guard(g_proxy_lock);
    for (inlet *i = x->inlets; i; i = i->next) {
        if (object_class(i->receiver) != g_proxy_class) continue;
        auto *p = reinterpret_cast<proxy *>(i->receiver);
        if (!has_thread(p, me)) continue;
        value = first ? p->index : (p->stuff ? *p->stuff : value);
        first = false;
    }
    return value;
}

KEL_API void stdlist(void *receiver, symbol *s, long argc, atom *argv)
{
    auto *x = static_cast<object *>(receiver);
    if (argc <= 0 || !argv) return;
    kel_class *c = object_class(x);
    if (!c) {
        error("bad receiver");
        return;
    }
    if (c->tiny) {
        call_gimme(getfn(x, sym_list), x, s, argc, argv);
        return;
    }
    for (method_entry *e = messlist_current(x); e->selector; e++) {
        if (e->selector != sym_list) continue;
        if (e->types[0] == ATYPE_GIMME)
            call_gimme(e->method, x, s, argc, argv);
        else
            typedmess(x, sym_list, argc, argv);  // a typed list method gets its arguments converted
        return;
    }
    // Spread: atom 2 to inlet 1, atom 3 to inlet 2, ..., then atom 1 to the
    // object itself, which usually triggers the output.
    long k = 1;
    for (inlet *i = x->inlets; i && k < argc; i = i->next, k++) {
        if (argv[k].type == ATYPE_LONG)
            inlet_deliver_int(i, argv[k].word.w_long);
        else if (argv[k].type == ATYPE_FLOAT)
            inlet_deliver_float(i, argv[k].word.w_float);
    }
    if (argv[0].type == ATYPE_LONG)
        call_int(getfn(x, sym_int), x, argv[0].word.w_long);
    else if (argv[0].type == ATYPE_FLOAT)
        call_float(getfn(x, sym_float), x, argv[0].word.w_float);
}
