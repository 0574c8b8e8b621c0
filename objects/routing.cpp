// Routing and list objects: they steer, split, join, reorder or filter
// messages without doing arithmetic.
//
// Outlets are made from the rightmost to the leftmost (each new one becomes
// the leftmost), and an object that answers one input with several messages
// sends them from its rightmost outlet to its leftmost, except `route`, whose
// matching entries fire in argument order. Every class is set up when its
// first instance is made. Arrays sized by the arguments come from the kernel
// pool and go back to it with the same size when the object is freed.
//
// Invariants: a gate's data inlet forwards to its open outlet, or to the
// closed destination when it is closed; of a switch's data inlets exactly the
// open one (none when it is 0) forwards to the outlet, every other one to the
// closed destination.
#include "objects/routing.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "objects/objects.h"
#include "objects/routing_support.h"

namespace kel {
namespace {

using namespace routing;

// Atoms that followed a matched head: nothing is a bang, one number that
// number, several starting with a number a list, starting with a symbol that
// symbol as the selector of the rest.
void send_rest(outlet *o, long argc, atom *argv)
{
    if (argc <= 0) {
        outlet_bang(o);
    } else if (argv[0].type == ATYPE_SYM) {
        outlet_anything(o, argv[0].word.w_sym, argc - 1, argv + 1);
    } else if (argc == 1 && argv[0].type == ATYPE_LONG) {
        outlet_int(o, argv[0].word.w_long);
    } else if (argc == 1 && argv[0].type == ATYPE_FLOAT) {
        outlet_float(o, argv[0].word.w_float);
    } else {
        outlet_list(o, sym_list, argc, argv);
    }
}

// A message passed on as it came.
void send_message(outlet *o, symbol *s, long argc, atom *argv)
{
    if (s == sym_bang && argc == 0)
        outlet_bang(o);
    else
        outlet_anything(o, s, argc, argv);
}

// --- the closed destination of gate and switch inlets ---

// Forwarding inlets pass every message to their receiver; a closed one points
// here, where every message ends.
void *closed_message(object *) { return nullptr; }
void *closed_number(object *, long) { return nullptr; }
void *closed_float(object *, double) { return nullptr; }
void *closed_gimme(object *, symbol *, long, atom *) { return nullptr; }

object *closed_destination()
{
    static object *sink = [] {
        kel_class *c = class_new("forward_closed", nullptr, nullptr, sizeof(object), nullptr, 0);
        if (!c) return static_cast<object *>(nullptr);
        class_addmethod(c, as_method(&closed_message), "bang", 0);
        class_addmethod(c, as_method(&closed_number), "int", ATYPE_LONG, 0);
        class_addmethod(c, as_method(&closed_float), "float", ATYPE_FLOAT, 0);
        class_addmethod(c, as_method(&closed_gimme), "list", ATYPE_GIMME, 0);
        class_addmethod(c, as_method(&closed_gimme), "anything", ATYPE_GIMME, 0);
        class_register(sym_nobox, c);
        return static_cast<object *>(object_alloc(c));
    }();
    return sink;
}

// --- route ---

struct route_entry {
    atom match;
    outlet *out;
};

struct route_object {
    object header;
    long count;
    route_entry *entries;
    outlet *reject;
};

method_entry *g_route_class = nullptr;

void *route_int(route_object *x, long value)
{
    const int32_t n = wrap32(value);
    bool matched = false;
    for (long k = 0; k < x->count; k++) {
        const atom &m = x->entries[k].match;
        if (is_named(m, sym_int)) {
            matched = true;
            outlet_int(x->entries[k].out, n);
        } else if (m.type == ATYPE_LONG && m.word.w_long == n) {
            matched = true;
            outlet_bang(x->entries[k].out);
        }
    }
    if (!matched) outlet_int(x->reject, n);
    return nullptr;
}

void *route_float(route_object *x, double f)
{
    bool matched = false;
    for (long k = 0; k < x->count; k++) {
        const atom &m = x->entries[k].match;
        if (is_named(m, sym_float)) {
            matched = true;
            outlet_float(x->entries[k].out, f);
        } else if (m.type == ATYPE_FLOAT && static_cast<double>(m.word.w_float) == f) {
            matched = true;
            outlet_bang(x->entries[k].out);
        }
    }
    if (!matched) outlet_float(x->reject, f);
    return nullptr;
}

void *route_list(route_object *x, symbol *, long argc, atom *argv)
{
    bool matched = false;
    for (long k = 0; k < x->count && argc > 0; k++) {
        const atom &m = x->entries[k].match;
        outlet *o = x->entries[k].out;
        if (is_named(m, sym_list) && is_number(argv[0])) {
            matched = true;
            outlet_list(o, sym_list, argc, argv);
        } else if ((m.type == ATYPE_SYM && is_named(argv[0], m.word.w_sym)) ||
                   (is_number(m) && is_number(argv[0]) && number_of(m) == number_of(argv[0]))) {
            matched = true;
            send_rest(o, argc - 1, argv + 1);
        }
    }
    if (!matched) outlet_list(x->reject, sym_list, argc, argv);
    return nullptr;
}

void *route_anything(route_object *x, symbol *s, long argc, atom *argv)
{
    bool matched = false;
    for (long k = 0; k < x->count; k++) {
        if (is_named(x->entries[k].match, s)) {
            matched = true;
            send_rest(x->entries[k].out, argc, argv);
        }
    }
    if (!matched) send_message(x->reject, s, argc, argv);
    return nullptr;
}

void *route_bang(route_object *x) { return route_anything(x, sym_bang, 0, nullptr); }

void route_free(route_object *x) { pool_free(x->entries, x->count); }

void *route_new(symbol *, long argc, atom *argv)
{
    bool ready = define_builder_class(&g_route_class, "route", as_method(&route_new), as_method(&route_free),
                                      sizeof(route_object), {ATYPE_GIMME}, [] {
                                          addbang(as_method(&route_bang));
                                          addint(as_method(&route_int));
                                          addfloat(as_method(&route_float));
                                          addmess(as_method(&route_list), "list", ATYPE_GIMME, 0);
                                          addmess(as_method(&route_anything), "anything", ATYPE_GIMME, 0);
                                      });
    if (!ready) return nullptr;
    const long count = argc > 0 && argv ? argc : 1;
    auto *entries = pool_array<route_entry>(count);
    if (!entries) return nullptr;
    auto *x = static_cast<route_object *>(newobject(g_route_class));
    if (!x) {
        pool_free(entries, count);
        return nullptr;
    }
    x->count = count;
    x->entries = entries;
    for (long k = 0; k < count; k++) x->entries[k].match = argc > 0 && argv ? argv[k] : int_atom(0);
    x->reject = outlet_new(x, nullptr);
    for (long k = count; k-- > 0;) x->entries[k].out = outlet_new(x, nullptr);
    return x;
}

// --- select / sel ---

// Two classes named `select`: the integer form (one match value that its
// right inlet replaces) and the general form (one bang outlet per argument).
struct select_object {
    object header;
    atom match;  // integer form
    long count;  // general form: arguments and their outlets (0 for the integer form)
    atom *args;
    long outlet_count;  // bang outlets: count, or 1 for the integer form
    outlet **outs;
    outlet *reject;
};

method_entry *g_select_int_class = nullptr;
method_entry *g_select_class = nullptr;

void *select_int_int(select_object *x, long value)
{
    const int32_t n = wrap32(value);
    if (x->match.type == ATYPE_LONG && x->match.word.w_long == n)
        outlet_bang(x->outs[0]);
    else
        outlet_int(x->reject, n);
    return nullptr;
}

void *select_int_float(select_object *x, double f)
{
    const atom &m = x->match;
    if ((m.type == ATYPE_FLOAT && static_cast<double>(m.word.w_float) == f) ||
        (m.type == ATYPE_LONG && m.word.w_long == float_to_long(f)))
        outlet_bang(x->outs[0]);
    else
        outlet_float(x->reject, f);
    return nullptr;
}

void *select_int_anything(select_object *x, symbol *s, long argc, atom *argv)
{
    if (is_named(x->match, s))
        outlet_bang(x->outs[0]);
    else
        send_message(x->reject, s, argc, argv);
    return nullptr;
}

// A bang from a cord reaches only a bang method: it is the selector "bang".
void *select_int_bang(select_object *x) { return select_int_anything(x, sym_bang, 0, nullptr); }

void *select_int_in1(select_object *x, long n)
{
    x->match = int_atom(wrap32(n));
    return nullptr;
}

void *select_general_int(select_object *x, long value)
{
    const int32_t n = wrap32(value);
    for (long k = 0; k < x->count; k++) {
        if (x->args[k].type == ATYPE_LONG && x->args[k].word.w_long == n) {
            outlet_bang(x->outs[k]);
            return nullptr;
        }
    }
    outlet_int(x->reject, n);
    return nullptr;
}

void *select_general_float(select_object *x, double f)
{
    for (long k = 0; k < x->count; k++) {
        const atom &a = x->args[k];
        if ((a.type == ATYPE_FLOAT && static_cast<double>(a.word.w_float) == f) ||
            (a.type == ATYPE_LONG && a.word.w_long == float_to_long(f))) {
            outlet_bang(x->outs[k]);
            return nullptr;
        }
    }
    outlet_float(x->reject, f);
    return nullptr;
}

bool select_general_symbol_match(select_object *x, symbol *s)
{
    for (long k = 0; k < x->count; k++) {
        if (is_named(x->args[k], s)) {
            outlet_bang(x->outs[k]);
            return true;
        }
    }
    return false;
}

void *select_general_symbol(select_object *x, symbol *, long argc, atom *argv)
{
    atom value = argc > 0 && argv ? argv[0] : sym_atom(sym_empty);
    if (value.type == ATYPE_SYM && select_general_symbol_match(x, value.word.w_sym)) return nullptr;
    outlet_anything(x->reject, sym_symbol, 1, &value);
    return nullptr;
}

// A bang is matched as the symbol "bang".
void *select_general_bang(select_object *x)
{
    if (select_general_symbol_match(x, sym_bang)) return nullptr;
    atom value = sym_atom(sym_bang);
    outlet_anything(x->reject, sym_symbol, 1, &value);
    return nullptr;
}

void *select_general_anything(select_object *x, symbol *s, long argc, atom *argv)
{
    if (!select_general_symbol_match(x, s)) send_message(x->reject, s, argc, argv);
    return nullptr;
}

void select_free(select_object *x)
{
    pool_free(x->args, x->count);
    pool_free(x->outs, x->outlet_count);
}

void *select_new(symbol *, long argc, atom *argv);

bool select_classes_setup()
{
    bool integer_form = define_builder_class(&g_select_int_class, "select", as_method(&select_new),
                                             as_method(&select_free), sizeof(select_object), {ATYPE_GIMME}, [] {
                                                 addbang(as_method(&select_int_bang));
                                                 addint(as_method(&select_int_int));
                                                 addfloat(as_method(&select_int_float));
                                                 addinx(as_method(&select_int_in1), 1);
                                                 addmess(as_method(&select_int_anything), "anything", ATYPE_GIMME, 0);
                                                 alias("sel");
                                             });
    bool general_form =
        define_builder_class(&g_select_class, "select", as_method(&select_new), as_method(&select_free),
                             sizeof(select_object), {ATYPE_GIMME}, [] {
                                 addbang(as_method(&select_general_bang));
                                 addint(as_method(&select_general_int));
                                 addfloat(as_method(&select_general_float));
                                 addmess(as_method(&select_general_symbol), "symbol", ATYPE_GIMME, 0);
                                 addmess(as_method(&select_general_anything), "anything", ATYPE_GIMME, 0);
                             });
    return integer_form && general_form;
}

void *select_new(symbol *, long argc, atom *argv)
{
    if (!select_classes_setup()) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    const bool integer_form = argc == 0 || (argc == 1 && (argv[0].type == ATYPE_LONG || is_unfilled_argument(argv[0])));
    // The integer form keeps its one bang outlet in outs[0] as well.
    const long count = integer_form ? 1 : argc;
    auto *outs = pool_array<outlet *>(count);
    auto *args = integer_form ? nullptr : pool_array<atom>(count);
    if (!outs || (!integer_form && !args)) {
        pool_free(outs, count);
        pool_free(args, count);
        return nullptr;
    }
    auto *x = static_cast<select_object *>(newobject(integer_form ? g_select_int_class : g_select_class));
    if (!x) {
        pool_free(outs, count);
        pool_free(args, count);
        return nullptr;
    }
    x->count = integer_form ? 0 : count;
    x->outlet_count = count;
    x->outs = outs;
    x->args = args;
    x->match = int_atom(argc == 1 && argv[0].type == ATYPE_LONG ? argv[0].word.w_long : 0);
    for (long k = 0; k < x->count; k++) x->args[k] = argv[k];
    if (integer_form) intin(x, 1);
    x->reject = outlet_new(x, nullptr);
    for (long k = count; k-- > 0;) x->outs[k] = bangout(x);
    return x;
}

// --- gate ---

constexpr long gate_max_outlets = 100;

struct gate_object {
    object header;
    long count;  // 1 .. 100
    long open;   // 0 closed, else the open outlet (from 1)
    inlet *data;
    outlet **outs;
};

method_entry *g_gate_class = nullptr;

void gate_open(gate_object *x, long n)
{
    x->open = n;
    inlet_to(x->data, n ? static_cast<void *>(x->outs[n - 1]) : closed_destination());
}

void *gate_int(gate_object *x, long value)
{
    const int32_t n = wrap32(value);
    if (n == 0)
        gate_open(x, 0);
    else if (n > x->count)
        gate_open(x, x->count);
    else if (n < 0)
        gate_open(x, 1);
    else
        gate_open(x, n);
    return nullptr;
}

void *gate_float(gate_object *x, double f) { return gate_int(x, float_to_long(f)); }

void *gate_bang(gate_object *x)
{
    outlet_int(x->outs[0], x->open);
    return nullptr;
}

void gate_free(gate_object *x) { pool_free(x->outs, x->count); }

void *gate_new(long count_arg, long initial_arg)
{
    bool ready = define_builder_class(&g_gate_class, "gate", as_method(&gate_new), as_method(&gate_free),
                                      sizeof(gate_object), {ATYPE_DEFLONG}, [] {
                                          addbang(as_method(&gate_bang));
                                          addint(as_method(&gate_int));
                                          addfloat(as_method(&gate_float));
                                      });
    if (!ready || !closed_destination()) return nullptr;
    const long count = count_arg < 1 ? 1 : (count_arg > gate_max_outlets ? gate_max_outlets : count_arg);
    const long initial = initial_arg < 0 ? 0 : (initial_arg > count ? count : initial_arg);
    auto *outs = pool_array<outlet *>(count);
    if (!outs) return nullptr;
    auto *x = static_cast<gate_object *>(newobject(g_gate_class));
    if (!x) {
        pool_free(outs, count);
        return nullptr;
    }
    x->count = count;
    x->outs = outs;
    x->data = inlet_new(x, nullptr);
    for (long k = count; k-- > 0;) x->outs[k] = outlet_new(x, nullptr);
    gate_open(x, initial);
    return x;
}

// --- switch ---

constexpr long switch_max_inlets = 100;

struct switch_object {
    object header;
    long count;  // data inlets, 2 .. 100
    long open;   // 0 none, else the open data inlet (from 1)
    inlet **ins;
    outlet *out;
};

method_entry *g_switch_class = nullptr;

void *switch_int(switch_object *x, long value)
{
    const int32_t n = wrap32(value);
    const long wanted = n < 0 ? (n < -x->count ? x->count : -static_cast<long>(n)) : (n > x->count ? x->count : n);
    if (wanted == x->open) return nullptr;
    if (x->open) inlet_to(x->ins[x->open - 1], closed_destination());
    x->open = wanted;
    if (wanted) inlet_to(x->ins[wanted - 1], x->out);
    return nullptr;
}

void *switch_float(switch_object *x, double f) { return switch_int(x, float_to_long(f)); }

void *switch_bang(switch_object *x)
{
    outlet_int(x->out, x->open);
    return nullptr;
}

void switch_free(switch_object *x) { pool_free(x->ins, x->count); }

void *switch_new(long count_arg, long initial_arg)
{
    bool ready = define_builder_class(&g_switch_class, "switch", as_method(&switch_new), as_method(&switch_free),
                                      sizeof(switch_object), {ATYPE_DEFLONG}, [] {
                                          addbang(as_method(&switch_bang));
                                          addint(as_method(&switch_int));
                                          addfloat(as_method(&switch_float));
                                      });
    if (!ready || !closed_destination()) return nullptr;
    const long count = count_arg < 2 ? 2 : (count_arg > switch_max_inlets ? switch_max_inlets : count_arg);
    auto *ins = pool_array<inlet *>(count);
    if (!ins) return nullptr;
    auto *x = static_cast<switch_object *>(newobject(g_switch_class));
    if (!x) {
        pool_free(ins, count);
        return nullptr;
    }
    x->count = count;
    x->ins = ins;
    x->open = 0;
    x->out = outlet_new(x, nullptr);
    for (long k = count; k-- > 0;) {
        x->ins[k] = inlet_new(x, nullptr);
        inlet_to(x->ins[k], closed_destination());
    }
    switch_int(x, wrap32(initial_arg));
    return x;
}

// --- trigger / t ---

enum class trigger_kind : int16_t {
    bang,
    int_value,
    float_value,
    list,
    symbol,
    pass,
    int_constant,
    float_constant,
    symbol_constant
};

struct trigger_entry {
    trigger_kind kind;
    atom_word constant;
    outlet *out;
};

struct trigger_object {
    object header;
    long count;
    trigger_entry *entries;
};

method_entry *g_trigger_class = nullptr;

enum class input_kind { int_value, float_value, list, other, bang };

struct trigger_input {
    input_kind kind;
    long n;
    double f;
    symbol *s;
    long argc;
    atom *argv;
};

long first_as_int(const trigger_input &in)
{
    if (in.argc < 1) return 0;
    if (in.argv[0].type == ATYPE_LONG) return in.argv[0].word.w_long;
    if (in.argv[0].type == ATYPE_FLOAT) return float_to_long(in.argv[0].word.w_float);
    return 0;
}

double first_as_float(const trigger_input &in)
{
    return in.argc >= 1 && is_number(in.argv[0]) ? number_of(in.argv[0]) : 0.0;
}

void trigger_send(const trigger_entry &e, const trigger_input &in)
{
    outlet *o = e.out;
    switch (e.kind) {
    case trigger_kind::bang:
        outlet_bang(o);
        break;
    case trigger_kind::int_value:
        switch (in.kind) {
        case input_kind::int_value:
            outlet_int(o, in.n);
            break;
        case input_kind::float_value:
            outlet_int(o, float_to_long(in.f));
            break;
        case input_kind::list:
            outlet_int(o, first_as_int(in));
            break;
        default:
            outlet_int(o, 0);
            break;
        }
        break;
    case trigger_kind::float_value:
        switch (in.kind) {
        case input_kind::int_value:
            outlet_float(o, static_cast<double>(in.n));
            break;
        case input_kind::float_value:
            outlet_float(o, in.f);
            break;
        case input_kind::list:
            outlet_float(o, first_as_float(in));
            break;
        default:
            outlet_float(o, 0.0);
            break;
        }
        break;
    case trigger_kind::list:
        switch (in.kind) {
        case input_kind::int_value: {
            atom a = int_atom(in.n);
            outlet_list(o, sym_list, 1, &a);
            break;
        }
        case input_kind::float_value: {
            atom a = float_atom(in.f);
            outlet_list(o, sym_list, 1, &a);
            break;
        }
        case input_kind::list:
            outlet_list(o, sym_list, in.argc, in.argv);
            break;
        case input_kind::other:
            outlet_anything(o, in.s, in.argc, in.argv);
            break;
        case input_kind::bang:
            outlet_bang(o);
            break;
        }
        break;
    case trigger_kind::symbol:
        switch (in.kind) {
        case input_kind::int_value:
        case input_kind::float_value:
            outlet_anything(o, sym_empty, 0, nullptr);
            break;
        case input_kind::list:
            outlet_anything(o, sym_empty, in.argc, in.argv);
            break;
        case input_kind::other:
            outlet_anything(o, in.s, in.argc, in.argv);
            break;
        case input_kind::bang:
            outlet_bang(o);
            break;
        }
        break;
    case trigger_kind::pass:
        switch (in.kind) {
        case input_kind::int_value:
            outlet_int(o, in.n);
            break;
        case input_kind::float_value:
            outlet_float(o, in.f);
            break;
        case input_kind::list:
            if (in.argc >= 1 && in.argv[0].type == ATYPE_LONG)
                outlet_int(o, in.argv[0].word.w_long);
            else if (in.argc >= 1 && in.argv[0].type == ATYPE_FLOAT)
                outlet_float(o, in.argv[0].word.w_float);
            else
                outlet_anything(o, sym_empty, in.argc, in.argv);
            break;
        case input_kind::other:
            outlet_anything(o, in.s, in.argc, in.argv);
            break;
        case input_kind::bang:
            outlet_bang(o);
            break;
        }
        break;
    case trigger_kind::int_constant:
        outlet_int(o, e.constant.w_long);
        break;
    case trigger_kind::float_constant:
        outlet_float(o, e.constant.w_float);
        break;
    case trigger_kind::symbol_constant:
        outlet_anything(o, e.constant.w_sym, 0, nullptr);
        break;
    }
}

void trigger_fire(trigger_object *x, const trigger_input &in)
{
    for (long k = x->count; k-- > 0;) trigger_send(x->entries[k], in);
}

void *trigger_bang(trigger_object *x)
{
    trigger_fire(x, {input_kind::bang, 0, 0.0, sym_bang, 0, nullptr});
    return nullptr;
}

void *trigger_int(trigger_object *x, long n)
{
    trigger_fire(x, {input_kind::int_value, wrap32(n), 0.0, sym_int, 0, nullptr});
    return nullptr;
}

void *trigger_float(trigger_object *x, double f)
{
    trigger_fire(x, {input_kind::float_value, 0, f, sym_float, 0, nullptr});
    return nullptr;
}

void *trigger_list(trigger_object *x, symbol *, long argc, atom *argv)
{
    trigger_fire(x, {input_kind::list, 0, 0.0, sym_list, argc, argv});
    return nullptr;
}

void *trigger_anything(trigger_object *x, symbol *s, long argc, atom *argv)
{
    trigger_fire(x, {input_kind::other, 0, 0.0, s, argc, argv});
    return nullptr;
}

const char *trigger_type_name(trigger_kind kind)
{
    switch (kind) {
    case trigger_kind::bang:
        return "bang";
    case trigger_kind::int_value:
    case trigger_kind::int_constant:
        return "int";
    case trigger_kind::float_value:
    case trigger_kind::float_constant:
        return "float";
    case trigger_kind::list:
        return "list";
    case trigger_kind::symbol:
    case trigger_kind::symbol_constant:
        return "symbol";
    case trigger_kind::pass:
        return "anything";
    }
    return "";
}

// The editor's help text: message 1 asks about inlet arg, 2 about outlet arg
// (from 0 at the left); the answer goes into text (at least 60 bytes).
void *trigger_assist(trigger_object *x, void *, long message, long arg, char *text)
{
    if (!text) return nullptr;
    if (message == 1)
        std::snprintf(text, 60, "Message to be Fanned to Multiple Outputs");
    else if (message == 2 && arg >= 0 && arg < x->count)
        std::snprintf(text, 60, "Output Order %ld (%s)", x->count - arg, trigger_type_name(x->entries[arg].kind));
    return nullptr;
}

void trigger_free(trigger_object *x) { pool_free(x->entries, x->count); }

// What one argument asks for; false for atoms that make no outlet.
bool trigger_parse(const atom &a, trigger_entry *e)
{
    e->constant.w_long = 0;
    if (a.type == ATYPE_LONG) {
        e->kind = trigger_kind::int_constant;
        e->constant.w_long = a.word.w_long;
        return true;
    }
    if (a.type == ATYPE_FLOAT) {
        e->kind = trigger_kind::float_constant;
        e->constant.w_float = a.word.w_float;
        return true;
    }
    if (a.type != ATYPE_SYM || !a.word.w_sym) return false;
    const char *name = a.word.w_sym->name;
    static const struct {
        const char *letter;
        trigger_kind kind;
    } letters[] = {{"b", trigger_kind::bang},
                   {"i", trigger_kind::int_value},
                   {"f", trigger_kind::float_value},
                   {"l", trigger_kind::list},
                   {"s", trigger_kind::symbol}};
    for (const auto &l : letters) {
        if (std::strcmp(name, l.letter) == 0) {
            e->kind = l.kind;
            return true;
        }
    }
    if (is_unfilled_argument(a)) {
        e->kind = trigger_kind::pass;
        return true;
    }
    e->kind = trigger_kind::symbol_constant;
    e->constant.w_sym = a.word.w_sym;
    return true;
}

void *trigger_new(symbol *, long argc, atom *argv)
{
    bool ready = define_builder_class(&g_trigger_class, "trigger", as_method(&trigger_new), as_method(&trigger_free),
                                      sizeof(trigger_object), {ATYPE_GIMME}, [] {
                                          addbang(as_method(&trigger_bang));
                                          addint(as_method(&trigger_int));
                                          addfloat(as_method(&trigger_float));
                                          addmess(as_method(&trigger_list), "list", ATYPE_GIMME, 0);
                                          addmess(as_method(&trigger_anything), "anything", ATYPE_GIMME, 0);
                                          addmess(as_method(&trigger_assist), "assist", ATYPE_CANT, 0);
                                          alias("t");
                                      });
    if (!ready) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    std::vector<trigger_entry> parsed;
    const bool listed = guarded("trigger", false, [&] {
        for (long k = 0; k < argc; k++) {
            trigger_entry e{};
            if (trigger_parse(argv[k], &e)) parsed.push_back(e);
        }
        if (argc == 0) parsed.assign(2, trigger_entry{trigger_kind::int_value, {}, nullptr});
        return true;
    });
    if (!listed) return nullptr;
    const auto count = static_cast<long>(parsed.size());
    trigger_entry *entries = count ? pool_array<trigger_entry>(count) : nullptr;
    if (count && !entries) return nullptr;
    auto *x = static_cast<trigger_object *>(newobject(g_trigger_class));
    if (!x) {
        pool_free(entries, count);
        return nullptr;
    }
    x->count = count;
    x->entries = entries;
    for (long k = count; k-- > 0;) {
        trigger_entry &e = x->entries[k];
        e = parsed[static_cast<size_t>(k)];
        switch (e.kind) {
        case trigger_kind::bang:
            e.out = bangout(x);
            break;
        case trigger_kind::int_value:
        case trigger_kind::int_constant:
            e.out = intout(x);
            break;
        case trigger_kind::float_value:
        case trigger_kind::float_constant:
            e.out = floatout(x);
            break;
        default:
            e.out = outlet_new(x, nullptr);
            break;
        }
    }
    return x;
}

// --- bangbang / b ---

constexpr long bangbang_max_outlets = 40;

struct bangbang_object {
    object header;
    long count;  // 1 .. 40
    outlet *outs[bangbang_max_outlets];
};

method_entry *g_bangbang_class = nullptr;

void *bangbang_bang(bangbang_object *x)
{
    for (long k = x->count; k-- > 0;) outlet_bang(x->outs[k]);
    return nullptr;
}

void *bangbang_int(bangbang_object *x, long) { return bangbang_bang(x); }
void *bangbang_float(bangbang_object *x, double) { return bangbang_bang(x); }
void *bangbang_anything(bangbang_object *x, symbol *, long, atom *) { return bangbang_bang(x); }

void *bangbang_new(long count_arg)
{
    bool ready = define_builder_class(&g_bangbang_class, "bangbang", as_method(&bangbang_new), nullptr,
                                      sizeof(bangbang_object), {ATYPE_DEFLONG}, [] {
                                          addbang(as_method(&bangbang_bang));
                                          addint(as_method(&bangbang_int));
                                          addfloat(as_method(&bangbang_float));
                                          addmess(as_method(&bangbang_anything), "list", ATYPE_GIMME, 0);
                                          addmess(as_method(&bangbang_anything), "anything", ATYPE_GIMME, 0);
                                          alias("b");
                                      });
    if (!ready) return nullptr;
    auto *x = static_cast<bangbang_object *>(newobject(g_bangbang_class));
    if (!x) return nullptr;
    x->count = count_arg <= 0 ? 2 : (count_arg > bangbang_max_outlets ? bangbang_max_outlets : count_arg);
    for (long k = x->count; k-- > 0;) x->outs[k] = bangout(x);
    return x;
}

}  // namespace

bool routing_init()
{
    return creation_provide("route", as_method(&route_new)) && creation_provide("select", as_method(&select_new)) &&
           creation_provide("sel", as_method(&select_new)) && creation_provide("gate", as_method(&gate_new)) &&
           creation_provide("switch", as_method(&switch_new)) && creation_provide("trigger", as_method(&trigger_new)) &&
           creation_provide("t", as_method(&trigger_new)) && creation_provide("bangbang", as_method(&bangbang_new)) &&
           creation_provide("b", as_method(&bangbang_new)) && routing::routing_lists_init();
}

}  // namespace kel
