#include "kernel/wires/outlets.h"

#include <atomic>
#include <mutex>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/linklist.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/locks.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/wires/depth.h"
#include "kernel/wires/wire_pairs.h"

namespace kel {
namespace {

kel_class *g_outlet_class = nullptr;

// The grabs in progress on this thread, innermost first. Each lends the
// connection lists of the grabber's outlets to the target's first outlets
// for the length of one call; an outlet freed meanwhile takes its part of
// the loan back first (grab_forget_outlet).
struct grab_frame {
    struct loan {
        outlet *borrower;  // the target's outlet; null once freed
        outlet *lender;    // the grabber's outlet; null once freed
        connection *own_connections;
        symbol *own_type;
    };
    loan lent[grab_outlets_max];
    long count = 0;
    grab_frame *outer = nullptr;
};
thread_local grab_frame *t_grabs = nullptr;

// A target's outlet freed during a grab gets its own connections back, so
// that its cords go with it and the lent ones stay; a grabber's outlet freed
// during a grab takes its list away from the borrower, which sends nowhere
// for the rest of the call.
void grab_forget_outlet(outlet *o)
{
    for (grab_frame *f = t_grabs; f; f = f->outer) {
        for (long k = 0; k < f->count; k++) {
            grab_frame::loan &l = f->lent[k];
            if (l.borrower == o) {
                o->connections = l.own_connections;
                o->type = l.own_type;
                l.borrower = nullptr;
            }
            if (l.lender == o) {
                if (l.borrower) l.borrower->connections = nullptr;
                o->sending -= 1;
                l.lender = nullptr;
            }
        }
    }
}

const char *class_name(const void *x) { return object_classname(const_cast<void *>(x))->name; }

// Sends on o: calls deliver(c) for each live connection between the depth
// guard's entry and exit. While the list is walked, connections removed are
// only marked, and unlinked when the outermost counted send on this outlet
// returns. False when the depth guard refused the send.
void unlink_connection(outlet *o, connection *c);
void unlink_removed(outlet *o);

template <class F> __attribute__((noinline)) bool send_many(outlet *o, F deliver)
{
    if (!depth_enter()) return false;
    o->sending++;
    for (connection *c = o->connections; c; c = c->next)
        if (c->receiver) deliver(c);
    if (__builtin_expect(--o->sending == outlet_removed_mark, 0)) unlink_removed(o);
    depth_exit();
    return true;
}

template <class F> inline bool send_on(outlet *o, F deliver)
{
    // One connection or none: nothing of the outlet or its list is read once
    // the receiver is called, so the send need not be counted; whatever the
    // call does to the outlet (a cord added or removed, the outlet freed)
    // cannot reach this frame.
    connection *only = o->connections;
    if (only && only->next) return send_many(o, deliver);
    if (!depth_enter()) return false;
    if (only && only->receiver) deliver(only);
    depth_exit();
    return true;
}

__attribute__((noinline)) void unlink_removed(outlet *o)
{
    o->sending = 0;
    for (connection *c = o->connections; c;) {
        connection *next = c->next;
        if (!c->receiver) unlink_connection(o, c);
        c = next;
    }
}

void unlink_connection(outlet *o, connection *c)
{
    if (c->prev)
        c->prev->next = c->next;
    else
        o->connections = c->next;
    if (c->next) c->next->prev = c->prev;
    freebytes(c, sizeof(connection));
}

// The lookup path: the receiver's own method for a selector, no fallbacks.
kel_method own_method(object *receiver, symbol *s)
{
    if (!object_valid(receiver)) {
        error("bad receiver");
        return nullptr;
    }
    for (method_entry *e = receiver->messlist; e->selector; e++)
        if (e->selector == s) return e->method;
    error("%s: doesn't understand \"%s\"", class_name(receiver), s->name);
    return nullptr;
}

// The cache's fields are read and written through relaxed atomic views (plain
// moves): two threads may deliver through one connection at once (a clock in
// overdrive and the main thread). A refill stamps the generation last, and a
// reader checks it first; a refill racing a change of a method table may leave
// the methods of the table as it was a moment before, which the next delivery
// after the change replaces.
template <class T> T relaxed_load(const T &field)
{
    return std::atomic_ref<const T>(field).load(std::memory_order_relaxed);
}
template <class T> void relaxed_store(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// Finds the receiver's common methods again; false when it is not a valid
// object (the lookup path then reports it).
bool refill_cache(connection *c)
{
    object *r = c->receiver;
    if (!object_valid(r)) return false;
    const uint32_t generation = method_tables_generation();  // before the scan: a change during it shows next time
    method_entry *table = messlist_current(r);
    kel_method bang = nullptr, int_ = nullptr, float_ = nullptr, list = nullptr;
    bool list_seen = false;
    for (method_entry *e = table; e->selector; e++) {
        if (e->selector == sym_bang && !bang) bang = e->method;
        if (e->selector == sym_int && !int_) int_ = e->method;
        if (e->selector == sym_float && !float_) float_ = e->method;
        if (e->selector == sym_list && !list_seen) {
            list_seen = true;
            if (e->types[0] == ATYPE_GIMME) list = e->method;
        }
    }
    method_cache &m = c->cache;
    relaxed_store(m.bang, bang);
    relaxed_store(m.int_, int_);
    relaxed_store(m.float_, float_);
    relaxed_store(m.list, list);
    relaxed_store<const method_entry *>(m.table, table);
    std::atomic_ref<uint32_t>(m.generation).store(generation, std::memory_order_release);
    return true;
}

// The receiver's method in the given slot, from the cache while it is
// current; null when the receiver has none or is not a valid object.
template <kel_method method_cache::*slot> kel_method cached_method(connection *c)
{
    const object *r = c->receiver;
    const uint32_t generation = std::atomic_ref<const uint32_t>(c->cache.generation).load(std::memory_order_acquire);
    if (__builtin_expect(generation != method_tables_generation() || !object_valid(r) ||
                             r->messlist != relaxed_load(c->cache.table),
                         0) &&
        !refill_cache(c))
        return nullptr;
    return relaxed_load(c->cache.*slot);
}

// An untyped outlet's delivery of one of the common messages.
template <kel_method method_cache::*slot, class Call> void deliver_common(connection *c, symbol *s, Call call)
{
    if (kel_method m = cached_method<slot>(c))
        call(m, c->receiver);
    else if (kel_method found = own_method(c->receiver, s))  // reports what is missing
        call(found, c->receiver);
}

// --- connecting ---

using pair_op = long (*)(outlet *o, object *target);

// Applies op to every (outlet, target) pair that connecting o to target
// stands for once chained outlets and inlets are flattened. Answers the
// first non-zero result of op, which stops the walk. Problems with the
// chain itself are reported by the first of the walks over the same pairs.
long flatten(outlet *o, object *target, pair_op op, bool report = true)
{
    if (!is_outlet(o)) {
        if (report) check_failed("chainapply");
        return 0;
    }
    if (outlet_chained(o)) {
        inlet *stands_for = o->chain_inlet;
        if (target == reinterpret_cast<object *>(stands_for)) {
            if (report) error("outlet loop");
            return 1;  // refused: a chained outlet must never list its own inlet among its targets
        }
        for (source *s = stands_for ? stands_for->sources : nullptr; s; s = s->next)
            if (long r = flatten(s->from, target, op, report)) return r;
        return 0;
    }
    if (is_inlet(target)) {
        auto *i = reinterpret_cast<inlet *>(target);
        if (i->flags & inlet_flag_chained) {
            auto *inner = reinterpret_cast<outlet *>(i->receiver);
            long count = inner ? linklist_getsize(inner->targets) : 0;
            for (long k = 0; k < count; k++)
                if (long r = flatten(o, static_cast<object *>(linklist_getindex(inner->targets, k)), op, report))
                    return r;
            return 0;
        }
    }
    return op(o, target);
}

long validate_pair(outlet *o, object *target)
{
    wire_pair *pair = wire_pair_find(o, target);
    if (pair && pair->newest && duplicate_report_due(pair->warned_in, true)) warning("outlet_add: already in table");
    if (!o->type) return 0;
    static symbol *const s_checkin = gensym("checkin");
    kel_method checkin = zgetfn(target, s_checkin);
    if (!checkin || !call_checkin(checkin, target, o->type)) return 0;
    object *shown = is_inlet(target) ? reinterpret_cast<inlet *>(target)->owner : target;
    error("can't connect (%s) to (%s)", class_name(o->owner), class_name(shown));
    post("(doesn't match '%s)", o->type->name);
    return 1;
}

bool add_source(inlet *i, outlet *o, connection *c)
{
    if (!is_outlet(o)) {
        error("inlet: can only be connected to outlets");
        return false;
    }
    wire_pair *pair = wire_pair_get(o, reinterpret_cast<object *>(i));
    if (!pair) return false;
    if (pair->src) {
        if (duplicate_report_due(pair->checked_in, false)) check_failed("inlet_notify: already in table");
        return false;
    }
    auto *s = static_cast<source *>(getbytes(sizeof(source)));
    if (!s) {
        wire_pair_settle(o, reinterpret_cast<object *>(i));
        return false;
    }
    pair->src = s;
    s->conn = c;
    s->from = o;
    s->prev = nullptr;
    s->next = i->sources;
    if (i->sources) i->sources->prev = s;
    i->sources = s;
    return true;
}

bool remove_source(inlet *i, outlet *o)
{
    auto *target = reinterpret_cast<object *>(i);
    wire_pair *pair = wire_pair_find(o, target);
    source *s = pair ? pair->src : nullptr;
    if (!s) return false;
    pair->src = nullptr;
    wire_pair_settle(o, target);
    if (s->prev)
        s->prev->next = s->next;
    else
        i->sources = s->next;
    if (s->next) s->next->prev = s->prev;
    freebytes(s, sizeof(source));
    return true;
}

void dump_sources(inlet *i)
{
    post("inlet:");
    for (source *s = i->sources; s; s = s->next) post("%s", class_name(s->from->owner));
}

long connect_pair(outlet *o, object *target)
{
    wire_pair *pair = wire_pair_get(o, target);
    if (!pair) return 0;
    auto *c = static_cast<connection *>(getbytes(sizeof(connection)));
    if (!c) {
        wire_pair_settle(o, target);
        return 0;
    }
    c->older_same = pair->newest;
    pair->newest = c;
    c->receiver = target;
    c->method = o->type ? egetfn(target, o->type) : reinterpret_cast<kel_method>(&method_false);
    c->to_inlet = is_inlet(target);
    c->cache = method_cache{};
    c->prev = nullptr;
    c->next = o->connections;
    if (o->connections) o->connections->prev = c;
    o->connections = c;
    if (c->to_inlet) add_source(reinterpret_cast<inlet *>(target), o, c);
    return 0;
}

long disconnect_pair(outlet *o, object *target)
{
    wire_pair *pair = wire_pair_find(o, target);
    connection *c = pair ? pair->newest : nullptr;
    if (!c) {
        check_failed("outlet_rm: wasn't in table");
        return 0;
    }
    pair->newest = c->older_same;
    // Another connection of o to the same inlet keeps the source.
    if (c->to_inlet && !pair->newest && !remove_source(reinterpret_cast<inlet *>(target), o)) {
        post("disconnect: not in inlet");
        dump_sources(reinterpret_cast<inlet *>(target));
    }
    wire_pair_settle(o, target);
    if (outlet_sending(o)) {
        c->receiver = nullptr;
        o->sending |= outlet_removed_mark;
    } else {
        unlink_connection(o, c);
    }
    return 0;
}

// --- the outlet class: an outlet can itself receive, and sends on ---

void *outlet_msg_bang(outlet *o)
{
    outlet_bang(o);
    return nullptr;
}
void *outlet_msg_int(outlet *o, long n)
{
    outlet_int(o, n);
    return nullptr;
}
void *outlet_msg_float(outlet *o, double f)
{
    outlet_float(o, f);
    return nullptr;
}
void *outlet_msg_list(outlet *o, symbol *s, long argc, atom *argv)
{
    outlet_list(o, s, argc, argv);
    return nullptr;
}
void *outlet_msg_anything(outlet *o, symbol *s, long argc, atom *argv)
{
    outlet_anything(o, s, argc, argv);
    return nullptr;
}

void outlet_unlink_from_owner(outlet *o)
{
    object *owner = o->owner;
    if (!owner) return;
    for (outlet **p = &owner->outlets; *p; p = &(*p)->next) {
        if (*p == o) {
            *p = o->next;
            return;
        }
    }
    check_failed("outlet: %s: didn't find it", class_name(owner));
}

void outlet_free_method(outlet *o)
{
    std::lock_guard guard(global_lock());
    if (t_grabs) grab_forget_outlet(o);
    if (outlet_chained(o)) {
        while (linklist_getsize(o->targets) > 0) {
            auto *target = static_cast<object *>(linklist_getindex(o->targets, 0));
            linklist_chuckindex(o->targets, 0);
            flatten(o, target, disconnect_pair);
        }
    }
    while (o->connections) {
        connection *c = o->connections;
        // Only inlets are looked at: any other receiver may already be gone
        // (the pair only names it).
        if (c->receiver) {
            // Every connection of o goes: the pair goes with the first.
            if (wire_pair *pair = wire_pair_find(o, c->receiver)) pair->newest = nullptr;
            if (c->to_inlet) remove_source(reinterpret_cast<inlet *>(c->receiver), o);
            wire_pair_settle(o, c->receiver);
        }
        unlink_connection(o, c);
    }
    if (o->targets) linklist_chuck(o->targets);
    o->targets = nullptr;
    outlet_unlink_from_owner(o);
}

outlet *make_outlet(void *owner, symbol *type)
{
    kel_class *c = outlet_class();
    auto *o = c ? static_cast<outlet *>(object_alloc(c)) : nullptr;
    if (!o) return nullptr;
    o->connections = nullptr;
    o->owner = static_cast<object *>(owner);
    o->type = type;
    o->chain_inlet = nullptr;
    o->sending = 0;
    o->targets = nullptr;
    o->next = nullptr;
    if (auto *x = static_cast<object *>(owner)) {
        o->next = x->outlets;
        x->outlets = o;
    }
    return o;
}

}  // namespace

kel_class *outlet_class()
{
    if (g_outlet_class) return g_outlet_class;
    kel_class *c =
        class_new("outlet", nullptr, reinterpret_cast<kel_method>(&outlet_free_method), sizeof(outlet), nullptr, 0);
    if (!c) return nullptr;
    c->tiny = 1;
    class_addmethod(c, reinterpret_cast<kel_method>(&outlet_msg_bang), "bang", 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&outlet_msg_int), "int", ATYPE_LONG, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&outlet_msg_float), "float", ATYPE_FLOAT, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&outlet_msg_list), "list", ATYPE_GIMME, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&outlet_msg_anything), "anything", ATYPE_GIMME, 0);
    g_outlet_class = c;
    return c;
}

bool is_outlet(const void *x) { return g_outlet_class && object_class(const_cast<void *>(x)) == g_outlet_class; }

bool outlet_chain(outlet *o, inlet *stands_for)
{
    if (!o->targets) o->targets = linklist_new();
    if (!o->targets) return false;
    o->chain_inlet = stands_for;
    return true;
}

namespace {

void disconnect_freed_object(object *x)
{
    outlets_free_all(x);  // each disconnects itself
    inlets_free_all(x);
}

}  // namespace

bool wires_init()
{
    static const bool hooked = object_add_teardown_hook(free_step::disconnect, &disconnect_freed_object);
    return hooked && outlet_class() && inlet_class() && proxy_class();
}

void outlets_free_all(object *x)
{
    while (x->outlets) {
        outlet *o = x->outlets;
        freeobject(o);
        if (x->outlets == o) x->outlets = o->next;  // never loop on an outlet that would not leave
    }
}

void *outlet_grab(object *grabber, long catching, object *target, symbol *s, long argc, atom *argv)
{
    object *x = target;
    if (is_inlet(target)) {
        x = reinterpret_cast<inlet *>(target)->owner;
        if (!object_valid_checked(x)) {
            error("grab: can only connect to leftmost inlet");
            return nullptr;
        }
    }
    if (!object_valid(x) || !depth_enter()) return nullptr;
    grab_frame frame;
    if (catching > grab_outlets_max) catching = grab_outlets_max;
    for (outlet *mine = x->outlets, *theirs = grabber->outlets; mine && theirs && frame.count < catching;
         mine = mine->next, theirs = theirs->next) {
        frame.lent[frame.count++] = {mine, theirs, mine->connections, mine->type};
        mine->connections = theirs->connections;
        mine->type = theirs->type;
        // Connections removed from the lent list while it is lent are only
        // marked, as during a send: the borrower may be walking it.
        theirs->sending++;
    }
    frame.outer = t_grabs;
    t_grabs = &frame;
    void *result = typedmess(x, s, argc, argv);
    t_grabs = frame.outer;
    for (long k = 0; k < frame.count; k++) {
        grab_frame::loan &l = frame.lent[k];
        if (l.borrower) {
            l.borrower->connections = l.own_connections;
            l.borrower->type = l.own_type;
        }
        if (l.lender && --l.lender->sending == outlet_removed_mark) unlink_removed(l.lender);
    }
    depth_exit();
    return result;
}

}  // namespace kel

using namespace kel;

KEL_API outlet *outlet_new(void *owner, const char *type) { return make_outlet(owner, type ? gensym(type) : nullptr); }

KEL_API outlet *bangout(void *owner) { return make_outlet(owner, sym_bang); }

KEL_API outlet *intout(void *owner) { return make_outlet(owner, sym_int); }

KEL_API outlet *floatout(void *owner) { return make_outlet(owner, sym_float); }

KEL_API outlet *listout(void *owner) { return make_outlet(owner, sym_list); }

// Each send has a lean typed path (the method was found at connect time) and
// an untyped one kept out of line, so the typed path needs few registers.
namespace {

__attribute__((noinline)) long untyped_bang(outlet *o)
{
    return send_on(o, [](connection *c) {
        deliver_common<&method_cache::bang>(c, sym_bang, [](kel_method m, object *r) { call_bang(m, r); });
    });
}

__attribute__((noinline)) long untyped_int(outlet *o, long n)
{
    return send_on(o, [n](connection *c) {
        deliver_common<&method_cache::int_>(c, sym_int, [n](kel_method m, object *r) { call_int(m, r, n); });
    });
}

__attribute__((noinline)) long untyped_float(outlet *o, double x)
{
    return send_on(o, [x](connection *c) {
        deliver_common<&method_cache::float_>(c, sym_float, [x](kel_method m, object *r) { call_float(m, r, x); });
    });
}

}  // namespace

KEL_API long outlet_bang(outlet *o)
{
    if (!o) return 0;
    if (o->type != sym_bang) return untyped_bang(o);
    return send_on(o, [](connection *c) { call_bang(c->method, c->receiver); });
}

KEL_API long outlet_int(outlet *o, long n)
{
    if (!o) return 0;
    if (o->type != sym_int) return untyped_int(o, n);
    return send_on(o, [n](connection *c) { call_int(c->method, c->receiver, n); });
}

KEL_API long outlet_float(outlet *o, double x)
{
    if (!o) return 0;
    if (o->type != sym_float) return untyped_float(o, x);
    return send_on(o, [x](connection *c) { call_float(c->method, c->receiver, x); });
}

KEL_API long outlet_list(outlet *o, symbol *, long argc, atom *argv)
{
    if (!o) return 0;
    return send_on(o, [argc, argv](connection *c) {
        // A list method taking the atoms as they come is called directly;
        // anything else (conversion, spreading, reports) is stdlist's.
        kel_method m = argc > 0 && argv ? cached_method<&method_cache::list>(c) : nullptr;
        if (m)
            call_gimme(m, c->receiver, sym_list, argc, argv);
        else
            stdlist(c->receiver, sym_list, argc, argv);
    });
}

KEL_API long outlet_anything(outlet *o, symbol *s, long argc, atom *argv)
{
    if (!o) return 0;
    // send_on spelled out for one connection or none: the message's three
    // words stay in registers instead of in a closure.
    connection *only = o->connections;
    if (only && only->next)
        return send_many(o, [s, argc, argv](connection *c) { typedmess(c->receiver, s, argc, argv); });
    if (!depth_enter()) return 0;
    if (only && only->receiver) typedmess(only->receiver, s, argc, argv);
    depth_exit();
    return 1;
}

KEL_API long outlet_atoms(outlet *o, long argc, atom *argv)
{
    if (argc <= 0 || !argv) return 0;
    if (argc == 1) {
        switch (argv[0].type) {
        case ATYPE_LONG:
            return outlet_int(o, argv[0].word.w_long);
        case ATYPE_FLOAT:
            return outlet_float(o, argv[0].word.w_float);
        case ATYPE_SYM:
            return outlet_anything(o, argv[0].word.w_sym, 0, argv + 1);
        default:
            return 0;
        }
    }
    if (argv[0].type == ATYPE_LONG || argv[0].type == ATYPE_FLOAT) return outlet_list(o, sym_list, argc, argv);
    if (argv[0].type == ATYPE_SYM) return outlet_anything(o, argv[0].word.w_sym, argc - 1, argv + 1);
    return 0;
}

KEL_API long outlet_add(outlet *o, void *receiver)
{
    if (!o || !receiver) return 1;
    auto *target = static_cast<object *>(receiver);
    std::lock_guard guard(global_lock());
    if (flatten(o, target, validate_pair)) return 1;
    flatten(o, target, connect_pair, false);
    if (outlet_chained(o)) linklist_append(o->targets, target);
    if (is_inlet(target) && (reinterpret_cast<inlet *>(target)->flags & inlet_flag_chained))
        add_source(reinterpret_cast<inlet *>(target), o, nullptr);
    return 0;
}

KEL_API void outlet_rm(outlet *o, void *receiver)
{
    if (!o || !receiver) return;
    auto *target = static_cast<object *>(receiver);
    std::lock_guard guard(global_lock());
    flatten(o, target, disconnect_pair);
    if (outlet_chained(o)) linklist_chuckptr(o->targets, target);
    if (is_inlet(target) && (reinterpret_cast<inlet *>(target)->flags & inlet_flag_chained))
        remove_source(reinterpret_cast<inlet *>(target), o);
}
