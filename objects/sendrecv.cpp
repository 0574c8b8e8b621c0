// send, receive and value: objects joined by a name instead of a cord.
//
// Every name in use has one hidden `through` object, bound as the name's
// value. Its outlet carries whatever reaches the name to the outlet of every
// `receive` of that name; `value` objects of the name share the atoms it
// stores. The through lives exactly as long as some send, receive or value
// holds a reference to it; the last one to go unbinds and frees it.
#include "objects/sendrecv.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/wires/outlets.h"
#include "objects/objects.h"
#include "objects/preset.h"

namespace kel {
namespace {

struct through {
    object ob;
    outlet *out;
    symbol *name;
    long references;
    atom *stored;
    long count;
};

struct sender {
    object ob;
    through *to;
};

struct receiver {
    object ob;
    through *from;  // null while unassigned
    outlet *out;
    bool unnamed;  // made without a name: it has an inlet for "set"
};

struct value_box {
    object ob;
    through *shared;
    outlet *out;
};

kel_class *g_through = nullptr;
kel_class *g_send = nullptr;
kel_class *g_receive_named = nullptr;
kel_class *g_receive_unnamed = nullptr;
kel_class *g_value = nullptr;

// --- through ---

void through_bang(through *t) { outlet_bang(t->out); }
void through_int(through *t, long n) { outlet_int(t->out, n); }
void through_float(through *t, double f) { outlet_float(t->out, f); }
void through_list(through *t, symbol *s, long argc, atom *argv) { outlet_list(t->out, s, argc, argv); }
void through_anything(through *t, symbol *s, long argc, atom *argv) { outlet_anything(t->out, s, argc, argv); }

void store_atoms(through *t, long argc, const atom *first, const atom *rest)
{
    // first (optional) then argc atoms of rest.
    long n = argc + (first ? 1 : 0);
    if (n != t->count) {
        if (t->stored) freebytes(t->stored, t->count * static_cast<long>(sizeof(atom)));
        t->stored = n ? static_cast<atom *>(getbytes(n * static_cast<long>(sizeof(atom)))) : nullptr;
        t->count = t->stored ? n : 0;
        if (!t->stored) return;
    }
    long k = 0;
    if (first) t->stored[k++] = *first;
    if (argc) std::memcpy(t->stored + k, rest, static_cast<size_t>(argc) * sizeof(atom));
}

// Binds name: its through, made when the name is free. Null (and the error
// "CLASS: NAME: already exists") when something else holds the name.
through *bind(symbol *name, const char *class_name)
{
    object *thing = name->thing;
    through *t = nullptr;
    if (thing && object_valid_checked(thing) && object_class(thing) == g_through) {
        t = reinterpret_cast<through *>(thing);
    } else if (thing) {
        error("%s: %s: already exists", class_name, name->name);
        return nullptr;
    } else {
        t = static_cast<through *>(object_alloc(g_through));
        if (!t) return nullptr;
        t->out = outlet_new(t, nullptr);
        if (!t->out) {  // every user of the name goes through this outlet
            freeobject(t);
            return nullptr;
        }
        t->name = name;
        t->references = 0;
        t->stored = nullptr;
        t->count = 0;
        name->thing = &t->ob;
    }
    t->references++;
    return t;
}

void free_through(through *t, symbol *, long, atom *) { freeobject(t); }

void release(through *t)
{
    if (!t || --t->references > 0) return;
    store_atoms(t, 0, nullptr, nullptr);
    if (t->name->thing == &t->ob) t->name->thing = nullptr;
    // The last user may let go while a message to the name is still on its
    // way through the outlet: the through then goes once that send is over.
    if (outlet_sending(t->out))
        defer_low(t, as_method(&free_through), nullptr, 0, nullptr);
    else
        freeobject(t);
}

// --- send ---

void *send_new(symbol *name)
{
    through *t = bind(name, "send");
    if (!t) return nullptr;
    auto *x = static_cast<sender *>(object_alloc(g_send));
    if (!x) {
        release(t);
        return nullptr;
    }
    x->to = t;
    return x;
}

void send_free(sender *x) { release(x->to); }
void send_bang(sender *x) { outlet_bang(x->to->out); }
void send_int(sender *x, long n) { outlet_int(x->to->out, n); }
void send_float(sender *x, double f) { outlet_float(x->to->out, f); }
void send_list(sender *x, symbol *s, long argc, atom *argv) { outlet_list(x->to->out, s, argc, argv); }
void send_anything(sender *x, symbol *s, long argc, atom *argv) { outlet_anything(x->to->out, s, argc, argv); }

// A preset stores the state of the objects the name reaches (those fed by
// its receives) as messages to this send: recalling sends them through the
// name, so the preset holds no pointer to an object in another patcher.
void *send_preset(sender *x)
{
    static symbol *const preset = gensym("preset");
    static bool asking = false;  // a name that reaches this send again
    if (asking || !x->to || !x->to->out) return nullptr;
    std::vector<atom> states;
    std::vector<atom> *outer = preset_buffer_exchange(&states);
    if (!outer) {
        preset_buffer_exchange(nullptr);
        return nullptr;
    }
    asking = true;
    auto ask = [](object *r) {
        if (r && object_valid(r) && !object_class(r)->tiny)
            if (kel_method fn = zgetfn(r, preset)) call_bang(fn, r);
    };
    for (connection *c = x->to->out->connections; c; c = c->next) {
        if (!c->receiver || c->to_inlet) continue;
        if (object_class(c->receiver) == outlet_class()) {
            // A receive's outlet: the objects it feeds.
            auto *o = reinterpret_cast<outlet *>(c->receiver);
            for (connection *d = o->connections; d; d = d->next)
                if (d->receiver && !d->to_inlet) ask(d->receiver);
        } else {
            ask(c->receiver);
        }
    }
    asking = false;
    preset_buffer_exchange(outer);
    const long count = static_cast<long>(states.size());
    for (long i = 0; i < count;) {
        long end = i;
        while (end < count && states[static_cast<size_t>(end)].type != ATYPE_SEMI) end++;
        const atom *m = states.data() + i;
        if (end - i >= 3 && m[2].type == ATYPE_SYM) preset_store_message(&x->ob, m[2].word.w_sym, end - i - 3, m + 3);
        i = end + 1;
    }
    return nullptr;
}

// --- receive ---

void receive_attach(receiver *x, through *t)
{
    x->from = t;
    outlet_add(t->out, x->out);
}

void receive_detach(receiver *x)
{
    if (!x->from) return;
    outlet_rm(x->from->out, x->out);
    through *t = x->from;
    x->from = nullptr;
    release(t);
}

void *receive_new(symbol *name)
{
    bool unnamed = !name || name == sym_empty;
    through *t = nullptr;
    if (!unnamed && !(t = bind(name, "receive"))) return nullptr;
    auto *x = static_cast<receiver *>(object_alloc(unnamed ? g_receive_unnamed : g_receive_named));
    if (!x) {
        release(t);
        return nullptr;
    }
    x->from = nullptr;
    x->unnamed = unnamed;
    x->out = outlet_new(x, nullptr);
    if (t) receive_attach(x, t);
    return x;
}

void receive_free(receiver *x) { receive_detach(x); }

void receive_rebind(receiver *x, symbol *name, long, atom *)
{
    if (x->from && x->from->name == name) return;
    if (!name || name == sym_empty) {
        receive_detach(x);
        return;
    }
    through *t = bind(name, "receive");
    if (!t) return;  // the old binding stays
    receive_detach(x);
    receive_attach(x, t);
}

// Rebinding waits for the main thread: never while a message travels
// through the old name at scheduler level.
void receive_set(receiver *x, symbol *name) { defer(x, as_method(&receive_rebind), name, 0, nullptr); }

// --- value ---

void *value_new(symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("value: new: missing or bad arguments");
        return nullptr;
    }
    through *t = bind(argv[0].word.w_sym, "value");
    if (!t) return nullptr;
    auto *x = static_cast<value_box *>(object_alloc(g_value));
    if (!x) {
        release(t);
        return nullptr;
    }
    x->shared = t;
    x->out = outlet_new(x, nullptr);
    if (argc > 1) store_atoms(t, argc - 1, nullptr, argv + 1);
    return x;
}

void value_free(value_box *x) { release(x->shared); }

void value_int(value_box *x, long n)
{
    atom a;
    atom_setlong(&a, n);
    store_atoms(x->shared, 1, nullptr, &a);
}

void value_float(value_box *x, double f)
{
    atom a;
    atom_setfloat(&a, f);
    store_atoms(x->shared, 1, nullptr, &a);
}

void value_list(value_box *x, symbol *, long argc, atom *argv) { store_atoms(x->shared, argc, nullptr, argv); }

// "symbol s" is stored as the two atoms symbol, s; any other selector as
// itself followed by its atoms.
void value_anything(value_box *x, symbol *s, long argc, atom *argv)
{
    atom selector;
    atom_setsym(&selector, s);
    store_atoms(x->shared, argc, &selector, argv);
}

void value_bang(value_box *x)
{
    through *t = x->shared;
    if (!t->count) return;
    // Output from a copy: a receiver may store into the same name meanwhile.
    long n = t->count;
    atom local[64];
    atom *copy = n <= 64 ? local : static_cast<atom *>(getbytes(n * static_cast<long>(sizeof(atom))));
    if (!copy) return;
    std::memcpy(copy, t->stored, static_cast<size_t>(n) * sizeof(atom));
    if (n == 1) {
        if (copy[0].type == ATYPE_LONG)
            outlet_int(x->out, copy[0].word.w_long);
        else if (copy[0].type == ATYPE_FLOAT)
            outlet_float(x->out, copy[0].word.w_float);
        else if (copy[0].type == ATYPE_SYM)
            outlet_anything(x->out, copy[0].word.w_sym, 0, nullptr);
    } else if (copy[0].type == ATYPE_SYM) {
        outlet_anything(x->out, copy[0].word.w_sym, n - 1, copy + 1);
    } else {
        outlet_list(x->out, sym_list, n, copy);
    }
    if (copy != local) freebytes(copy, n * static_cast<long>(sizeof(atom)));
}

}  // namespace

outlet *through_outlet(object *x)
{
    if (!g_through || !object_valid(x) || object_class(x) != g_through) return nullptr;
    return reinterpret_cast<through *>(x)->out;
}

bool sendrecv_init()
{
    if (g_through) return true;
    const short L = ATYPE_LONG, F = ATYPE_FLOAT, G = ATYPE_GIMME;
    g_through = define_class("through", nullptr, nullptr, sizeof(through), class_home::nobox,
                             {{as_method(&through_bang), "bang"},
                              {as_method(&through_int), "int", L},
                              {as_method(&through_float), "float", F},
                              {as_method(&through_list), "list", G},
                              {as_method(&through_anything), "anything", G}});
    g_send = define_class("send", as_method(&send_new), as_method(&send_free), sizeof(sender), class_home::box,
                          {{as_method(&send_bang), "bang"},
                           {as_method(&send_int), "int", L},
                           {as_method(&send_float), "float", F},
                           {as_method(&send_list), "list", G},
                           {as_method(&send_anything), "anything", G},
                           {as_method(&send_preset), "preset"}});
    // A named receive has no inlet; an unnamed one takes "set". The box
    // namespace holds the named one.
    g_receive_named = define_class("receive", as_method(&receive_new), as_method(&receive_free), sizeof(receiver),
                                   class_home::box, {});
    if (g_receive_named) g_receive_named->noinlet = 1;
    g_receive_unnamed = define_class("receive", as_method(&receive_new), as_method(&receive_free), sizeof(receiver),
                                     class_home::second_box, {{as_method(&receive_set), "set", ATYPE_DEFSYM}});
    g_value = define_class("value", as_method(&value_new), as_method(&value_free), sizeof(value_box), class_home::box,
                           {{as_method(&value_bang), "bang"},
                            {as_method(&value_int), "int", L},
                            {as_method(&value_float), "float", F},
                            {as_method(&value_list), "list", G},
                            {as_method(&value_anything), "anything", G}});
    if (!g_through || !g_send || !g_receive_named || !g_receive_unnamed || !g_value) return false;
    return creation_provide("send", as_method(&send_new)) && creation_provide("s", as_method(&send_new)) &&
           creation_provide("receive", as_method(&receive_new)) && creation_provide("r", as_method(&receive_new)) &&
           creation_provide("value", as_method(&value_new)) && creation_provide("v", as_method(&value_new));
}

}  // namespace kel
