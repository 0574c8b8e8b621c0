// messfilt and grab: sorting messages by their selector, and sending a
// message to another object while catching what it answers.
#include "objects/filters.h"

#include <new>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/wires/outlets.h"
#include "objects/objects.h"
#include "objects/sendrecv.h"

namespace kel {
namespace {

// --- messfilt ---

// Arguments past the tenth get neither an entry nor an outlet.
constexpr long messfilt_entries_max = 10;

struct messfilt_entry {
    symbol *selector;  // null for an argument that is not a symbol: it matches nothing
    outlet *out;
};

struct messfilt_object {
    object header;
    long count;
    messfilt_entry entries[messfilt_entries_max];
    outlet *reject;
};

method_entry *g_messfilt_class = nullptr;

// Entries are tested from the last argument to the first and every match
// fires; the answer says whether any did.
template <class Send> bool messfilt_each(messfilt_object *x, symbol *s, Send send)
{
    bool matched = false;
    for (long k = x->count; k-- > 0;) {
        if (x->entries[k].selector != s) continue;
        matched = true;
        send(x->entries[k].out);
    }
    return matched;
}

void *messfilt_bang(messfilt_object *x)
{
    if (!messfilt_each(x, sym_bang, [](outlet *o) { outlet_bang(o); })) outlet_bang(x->reject);
    return nullptr;
}

void *messfilt_int(messfilt_object *x, long n)
{
    if (!messfilt_each(x, sym_int, [n](outlet *o) { outlet_int(o, n); })) outlet_int(x->reject, n);
    return nullptr;
}

void *messfilt_float(messfilt_object *x, double f)
{
    if (!messfilt_each(x, sym_float, [f](outlet *o) { outlet_float(o, f); })) outlet_float(x->reject, f);
    return nullptr;
}

void *messfilt_list(messfilt_object *x, symbol *s, long argc, atom *argv)
{
    if (!messfilt_each(x, sym_list, [&](outlet *o) { outlet_list(o, s, argc, argv); }))
        outlet_list(x->reject, s, argc, argv);
    return nullptr;
}

// A matched selector leaves without its name: the atoms alone become the
// message, typed by what they are.
void messfilt_send_atoms(outlet *o, long argc, atom *argv)
{
    if (argc <= 0)
        outlet_bang(o);
    else if (argv[0].type == ATYPE_SYM)
        outlet_anything(o, argv[0].word.w_sym, argc - 1, argv + 1);
    else if (argc == 1 && argv[0].type == ATYPE_LONG)
        outlet_int(o, argv[0].word.w_long);
    else if (argc == 1 && argv[0].type == ATYPE_FLOAT)
        outlet_float(o, argv[0].word.w_float);
    else
        outlet_list(o, sym_list, argc, argv);
}

void *messfilt_anything(messfilt_object *x, symbol *s, long argc, atom *argv)
{
    if (!messfilt_each(x, s, [&](outlet *o) { messfilt_send_atoms(o, argc, argv); }))
        outlet_anything(x->reject, s, argc, argv);
    return nullptr;
}

void *messfilt_new(symbol *, long argc, atom *argv)
{
    bool ready = define_builder_class(&g_messfilt_class, "messfilt", as_method(&messfilt_new), nullptr,
                                      sizeof(messfilt_object), {ATYPE_GIMME}, [] {
                                          addbang(as_method(&messfilt_bang));
                                          addint(as_method(&messfilt_int));
                                          addfloat(as_method(&messfilt_float));
                                          addmess(as_method(&messfilt_list), "list", ATYPE_GIMME, 0);
                                          addmess(as_method(&messfilt_anything), "anything", ATYPE_GIMME, 0);
                                      });
    if (!ready) return nullptr;
    auto *x = static_cast<messfilt_object *>(newobject(g_messfilt_class));
    if (!x) return nullptr;
    x->count = argv && argc > 0 ? (argc < messfilt_entries_max ? argc : messfilt_entries_max) : 0;
    for (long k = 0; k < x->count; k++)
        x->entries[k].selector = argv[k].type == ATYPE_SYM ? argv[k].word.w_sym : nullptr;
    // Outlets are made right to left: each new one becomes the leftmost.
    x->reject = outlet_new(x, nullptr);
    for (long k = x->count; k-- > 0;) x->entries[k].out = outlet_new(x, nullptr);
    return x;
}

// --- grab ---

struct grab_object {
    object header;
    long catching;    // outlets that catch the target's outlets 1, 2, ...
    outlet *connect;  // the rightmost outlet, wired to the target; null for a named grab
    symbol *name;     // the target's name, or null
};

method_entry *g_grab_class = nullptr;

// The first live receiver of o's connections: what the connecting outlet is
// wired to.
object *first_receiver(outlet *o)
{
    for (connection *c = o->connections; c; c = c->next)
        if (c->receiver) return c->receiver;
    return nullptr;
}

bool still_connected(outlet *o, object *receiver)
{
    for (connection *c = o->connections; c; c = c->next)
        if (c->receiver == receiver) return true;
    return false;
}

// A name's through: each object wired below one of its receivers is a
// target in turn. The targets are gathered first (on the stack for a short
// list), and each is checked again before it is called, since an earlier
// answer may free a receiver or disconnect it.
struct grab_pair {
    outlet *receiver;
    object *target;
};

template <class F> void each_wired_below(outlet *carrier, F fn)
{
    for (connection *c = carrier->connections; c; c = c->next) {
        if (!c->receiver || !is_outlet(c->receiver)) continue;
        auto *receiver = reinterpret_cast<outlet *>(c->receiver);
        for (connection *d = receiver->connections; d; d = d->next)
            if (d->receiver) fn(grab_pair{receiver, d->receiver});
    }
}

void grab_through(grab_object *x, outlet *carrier, symbol *s, long argc, atom *argv)
{
    constexpr size_t on_stack = 16;
    grab_pair few[on_stack];
    std::vector<grab_pair> many;
    size_t n = 0;
    each_wired_below(carrier, [&](grab_pair) { n++; });
    grab_pair *pairs = few;
    if (n > on_stack) {
        try {
            many.resize(n);
        } catch (const std::bad_alloc &) {
            memory_set_low(true);
            return;
        }
        pairs = many.data();
    }
    size_t k = 0;
    each_wired_below(carrier, [&](grab_pair p) { pairs[k++] = p; });
    for (k = 0; k < n; k++) {
        // The name may have been unbound, and its through freed, by an answer.
        if (through_outlet(bound_object(x->name)) != carrier) return;
        if (!still_connected(carrier, reinterpret_cast<object *>(pairs[k].receiver))) continue;
        if (!still_connected(pairs[k].receiver, pairs[k].target)) continue;
        outlet_grab(&x->header, x->catching, pairs[k].target, s, argc, argv);
    }
}

void grab_send(grab_object *x, symbol *s, long argc, atom *argv)
{
    if (x->connect) {
        if (object *target = first_receiver(x->connect)) outlet_grab(&x->header, x->catching, target, s, argc, argv);
        return;
    }
    object *named = bound_object(x->name);
    if (!named) return;  // unbound: nothing happens
    if (outlet *carrier = through_outlet(named)) {
        grab_through(x, carrier, s, argc, argv);
        return;
    }
    outlet_grab(&x->header, x->catching, named, s, argc, argv);
}

void *grab_bang(grab_object *x)
{
    grab_send(x, sym_bang, 0, nullptr);
    return nullptr;
}

void *grab_int(grab_object *x, long n)
{
    atom a;
    atom_setlong(&a, n);
    grab_send(x, sym_int, 1, &a);
    return nullptr;
}

void *grab_float(grab_object *x, double f)
{
    atom a;
    atom_setfloat(&a, f);
    grab_send(x, sym_float, 1, &a);
    return nullptr;
}

void *grab_anything(grab_object *x, symbol *s, long argc, atom *argv)
{
    grab_send(x, s, argc, argv);
    return nullptr;
}

void *grab_set(grab_object *x, symbol *name)
{
    x->name = name && name != sym_empty ? name : nullptr;
    return nullptr;
}

void *grab_new(long count, symbol *name)
{
    bool ready = define_builder_class(&g_grab_class, "grab", as_method(&grab_new), nullptr, sizeof(grab_object),
                                      {ATYPE_DEFLONG, ATYPE_DEFSYM}, [] {
                                          addbang(as_method(&grab_bang));
                                          addint(as_method(&grab_int));
                                          addfloat(as_method(&grab_float));
                                          addmess(as_method(&grab_anything), "list", ATYPE_GIMME, 0);
                                          addmess(as_method(&grab_anything), "anything", ATYPE_GIMME, 0);
                                          addmess(as_method(&grab_set), "set", ATYPE_SYM, 0);
                                      });
    if (!ready) return nullptr;
    auto *x = static_cast<grab_object *>(newobject(g_grab_class));
    if (!x) return nullptr;
    x->catching = count < 1 ? 1 : (count > grab_outlets_max ? grab_outlets_max : count);
    x->name = name && name != sym_empty ? name : nullptr;
    // Outlets are made right to left: each new one becomes the leftmost.
    x->connect = x->name ? nullptr : outlet_new(x, nullptr);
    for (long k = 0; k < x->catching; k++) outlet_new(x, nullptr);
    return x;
}

}  // namespace

bool filters_init()
{
    return creation_provide("messfilt", as_method(&messfilt_new)) && creation_provide("grab", as_method(&grab_new));
}

}  // namespace kel
