// The `expr` box and the expression objects that expr_new makes: one class,
// whose boxes have an outlet and inlets up to the highest referenced slot.
#include <bit>
#include <cstring>
#include <new>
#include <unordered_set>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/expr.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/objects.h"
#include "kernel/create/creation.h"
#include "objects/expr.h"
#include "objects/objects.h"

namespace kel {
namespace {

struct expr_object {
    object header;
    expr_program program;
    outlet *out;  // null for expr_new's objects
};

method_entry *g_expr_class = nullptr;

// Every live expression object. expr_eval and checksum callers may hand in
// any pointer: membership here proves it is one of ours before its header
// is read, at the cost of a hash lookup rather than a guarded memory read.
std::unordered_set<const void *> &live_expressions()
{
    static std::unordered_set<const void *> live;
    return live;
}

// The object the last check found live, or null. A caller evaluating one
// expression again and again pays a comparison instead of the lookup; the
// object's free clears it, so it never names a dead object.
const void *g_last_live = nullptr;

void expr_free(expr_object *x)
{
    if (g_last_live == x) g_last_live = nullptr;
    live_expressions().erase(x);
}

void slots_reset(expr_program &p)
{
    for (expr_slot &s : p.slots) {
        s.value = expr_value{};
        if (s.kind == expr_kind_int) {
            s.value.type = expr_value::int_value;
            s.value.i = 0;
        } else if (s.kind == expr_kind_float) {
            s.value.type = expr_value::float_value;
            s.value.f = 0.0f;
        } else if (s.kind == expr_kind_symbol) {
            s.value.type = expr_value::symbol_value;
            s.value.s = gensym("");
        }
    }
}

void store_int(expr_slot &s, long n)
{
    if (s.kind == expr_kind_int)
        s.value.i = wrap32(n);
    else if (s.kind == expr_kind_float)
        s.value.f = static_cast<float>(wrap32(n));
}

void store_float(expr_slot &s, double f)
{
    if (s.kind == expr_kind_int)
        s.value.i = float_to_long(f);
    else if (s.kind == expr_kind_float)
        s.value.f = static_cast<float>(f);
}

void *expr_bang(expr_object *x)
{
    expr_value v;
    if (!x->out || !expr_evaluate(&x->program, &v)) return nullptr;
    if (v.type == expr_value::float_value)
        outlet_float(x->out, v.f);
    else
        outlet_int(x->out, v.type == expr_value::int_value ? v.i : 0);
    return nullptr;
}

void *expr_int(expr_object *x, long n)
{
    store_int(x->program.slots[0], n);
    return expr_bang(x);
}

void *expr_float(expr_object *x, double f)
{
    store_float(x->program.slots[0], f);
    return expr_bang(x);
}

// A symbol into slot index (0-8); a $s slot given a non-symbol is refused.
void store_symbol(expr_object *x, int index, long argc, atom *argv)
{
    expr_slot &s = x->program.slots[index];
    if (s.kind != expr_kind_symbol) return;
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        post("expr: list: inlet %d expects a symbol", index + 1);
        return;
    }
    s.value.s = argv[0].word.w_sym;
}

void *expr_symbol(expr_object *x, symbol *, long argc, atom *argv)
{
    store_symbol(x, 0, argc, argv);
    return expr_bang(x);
}

void *expr_set(expr_object *x, symbol *, long argc, atom *argv)
{
    store_symbol(x, 0, argc, argv);
    return nullptr;
}

template <int N> void *expr_in(expr_object *x, long n)
{
    expr_slot &s = x->program.slots[N];
    if (s.kind != expr_kind_int && s.kind != expr_kind_float) {
        post("expr_integer: bad type for inlet %d", N + 1);
        return nullptr;
    }
    store_int(s, n);
    return nullptr;
}

template <int N> void *expr_ft(expr_object *x, double f)
{
    expr_slot &s = x->program.slots[N];
    if (s.kind != expr_kind_int && s.kind != expr_kind_float) {
        post("expr_flt: bad type for inlet %d", N + 1);
        return nullptr;
    }
    store_float(s, f);
    return nullptr;
}

template <int N> void *expr_sm(expr_object *x, symbol *, long argc, atom *argv)
{
    if (x->program.slots[N].kind != expr_kind_symbol) {
        post("expr: list: bad type for inlet %d", N + 1);
        return nullptr;
    }
    store_symbol(x, N, argc, argv);
    return nullptr;
}

template <int... N> void add_inlet_methods(std::integer_sequence<int, N...>)
{
    (addinx(as_method(&expr_in<N + 1>), N + 1), ...);
    (addftx(as_method(&expr_ft<N + 1>), N + 1), ...);
    static const char *const sm_names[] = {"sm1", "sm2", "sm3", "sm4", "sm5", "sm6", "sm7", "sm8"};
    (addmess(as_method(&expr_sm<N + 1>), sm_names[N], ATYPE_GIMME, 0), ...);
}

void *expr_box_new(symbol *s, long argc, atom *argv);

bool expr_class_setup()
{
    return define_builder_class(&g_expr_class, "expr", as_method(&expr_box_new), as_method(&expr_free),
                                sizeof(expr_object), {ATYPE_GIMME}, [] {
                                    addbang(as_method(&expr_bang));
                                    addint(as_method(&expr_int));
                                    addfloat(as_method(&expr_float));
                                    addmess(as_method(&expr_symbol), "symbol", ATYPE_GIMME, 0);
                                    addmess(as_method(&expr_set), "set", ATYPE_GIMME, 0);
                                    addmess(as_method(&expr_sm<0>), "sm0", ATYPE_GIMME, 0);
                                    add_inlet_methods(std::make_integer_sequence<int, 8>{});
                                });
}

// An expression object without inlets or outlet, or null after the error
// is posted.
expr_object *expression_new(long argc, atom *argv)
{
    if (!expr_class_setup()) return nullptr;
    char text[expr_text_max + 1];
    if (!expr_atoms_to_text(argc, argv, text, sizeof text)) return nullptr;
    static expr_program scratch;  // compiled here first: a failure leaves no half-made object
    if (!expr_compile(text, &scratch)) return nullptr;
    auto *x = static_cast<expr_object *>(newobject(g_expr_class));
    if (!x) return nullptr;
    bool listed = false;
    try {
        listed = live_expressions().insert(x).second;
    } catch (const std::bad_alloc &) {
        listed = false;
    }
    if (!listed) {
        freeobject(x);
        return nullptr;
    }
    std::memcpy(&x->program, &scratch, sizeof scratch);
    slots_reset(x->program);
    x->out = nullptr;
    return x;
}

void *expr_box_new(symbol *, long argc, atom *argv)
{
    if (argc <= 0) {
        post("expr: missing an expression");
        return nullptr;
    }
    expr_object *x = expression_new(argc, argv);
    if (!x) return nullptr;
    int highest = 0;
    for (int i = 1; i < expr_slots; i++)
        if (x->program.slots[i].kind != expr_kind_none) highest = i;
    // Inlets are made right to left: each new one goes in front of the others.
    for (int i = highest; i >= 1; i--) {
        switch (x->program.slots[i].kind) {
        case expr_kind_float:
            floatin(x, i);
            break;
        case expr_kind_symbol: {
            static const char *const sm_names[] = {"sm0", "sm1", "sm2", "sm3", "sm4", "sm5", "sm6", "sm7", "sm8"};
            inlet4(x, x, "symbol", sm_names[i]);
            break;
        }
        default:
            intin(x, i);
            break;
        }
    }
    x->out = outlet_new(x, nullptr);
    return x;
}

}  // namespace

bool expr_is_expression(const void *x)
{
    if (x && x == g_last_live) return true;
    if (!g_expr_class || live_expressions().count(x) == 0 || static_cast<const object *>(x)->magic != OBJ_MAGIC ||
        static_cast<const object *>(x)->messlist != g_expr_class + 1)
        return false;
    g_last_live = x;
    return true;
}

bool expr_init() { return creation_provide("expr", as_method(&expr_box_new)); }

}  // namespace kel

using namespace kel;

KEL_API void *expr_new(long argc, atom *argv, short *types)
{
    expr_object *x = argc > 0 && argv ? expression_new(argc, argv) : nullptr;
    if (!x) {
        char text[expr_text_max + 1] = "";
        if (argc > 0 && argv) expr_atoms_to_text(argc, argv, text, sizeof text);
        post("bad expression %s", text);
        if (types)
            for (int i = 0; i < expr_slots; i++) types[i] = 0;
        return nullptr;
    }
    if (types)
        for (int i = 0; i < expr_slots; i++) types[i] = x->program.slots[i].kind;
    return x;
}

KEL_API long expr_eval(void *x, long argc, atom *argv, atom *result)
{
    if ((x == nullptr || x != g_last_live) && !expr_is_expression(x)) {
        post("invalid object for expr_eval");
        return 0;
    }
    auto *e = static_cast<expr_object *>(x);
    expr_program &p = e->program;
    // Only slots of a value kind are ever read: the others are left alone.
    for (unsigned m = p.value_slots; m != 0; m &= m - 1) {
        const int k = std::countr_zero(m);
        expr_slot &s = p.slots[k];
        if (k >= argc || !argv) {
            s.value.type = expr_value::int_value;
            s.value.i = 0;
            continue;
        }
        const atom &a = argv[k];
        if (s.kind == expr_kind_int && a.type == ATYPE_LONG) s.value.i = a.word.w_long;
        if (s.kind == expr_kind_float && a.type == ATYPE_FLOAT) s.value.f = a.word.w_float;
        if (s.kind == expr_kind_symbol && a.type == ATYPE_SYM) s.value.s = a.word.w_sym;
    }
    expr_value v;
    if (!expr_evaluate(&p, &v)) return 0;
    if (result) {
        if (v.type == expr_value::float_value)
            atom_setfloat(result, v.f);
        else
            atom_setlong(result, v.type == expr_value::int_value ? v.i : 0);
    }
    return 1;
}
