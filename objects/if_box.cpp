// The `if` box: a condition compiled with expr_new, a "then" part and an
// optional "else" part. A part starting with "send NAME" goes to that
// receiver, one starting with "out2" leaves through the right outlet, any
// other through the left. $i1-$i9, $f1-$f9 and $s1-$s9 in a part are
// replaced by the current inlet values when it is sent.
//
// Invariant: every slot holds an atom of its declared kind (int, float or
// symbol), or any atom while its kind is undeclared.
#include <cstring>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/expr.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/create/creation.h"
#include "objects/expr.h"
#include "objects/if_box.h"
#include "objects/objects.h"

namespace kel {
namespace {

enum class part_route : uint8_t { left, right, send };

struct if_part {
    part_route route;
    symbol *receiver;  // route send
    long argc;
    atom *argv;  // the message, placeholders still as symbols
};

struct if_object {
    object header;
    void *condition;
    short kinds[expr_slots];
    atom values[expr_slots];
    if_part parts[2];
    long part_count;
    outlet *left;
    outlet *right;
};

method_entry *g_if_class = nullptr;

// The slot and kind of a placeholder symbol "$i1" .. "$s9", or false.
bool placeholder(const atom &a, int *slot, short *kind)
{
    if (a.type != ATYPE_SYM || !a.word.w_sym) return false;
    const char *n = a.word.w_sym->name;
    if (n[0] != '$' || n[3] != '\0' || n[2] < '1' || n[2] > '9') return false;
    switch (n[1]) {
    case 'i':
        *kind = expr_kind_int;
        break;
    case 'f':
        *kind = expr_kind_float;
        break;
    case 's':
        *kind = expr_kind_symbol;
        break;
    default:
        return false;
    }
    *slot = n[2] - '1';
    return true;
}

bool store(if_object *x, int slot, const atom &a)
{
    const short kind = x->kinds[slot];
    atom &v = x->values[slot];
    if (kind == expr_kind_int && (a.type == ATYPE_LONG || a.type == ATYPE_FLOAT)) {
        atom_setlong(&v, a.type == ATYPE_LONG ? a.word.w_long : float_to_long(a.word.w_float));
        return true;
    }
    if (kind == expr_kind_float && (a.type == ATYPE_LONG || a.type == ATYPE_FLOAT)) {
        atom_setfloat(&v, a.type == ATYPE_FLOAT ? a.word.w_float : static_cast<double>(a.word.w_long));
        return true;
    }
    if ((kind == expr_kind_symbol && a.type == ATYPE_SYM) || kind == expr_kind_none) {
        v = a;
        return true;
    }
    post("if: type conflict, %d, if %d, in %d", slot + 1, kind, a.type);
    return false;
}

void store_all(if_object *x, long argc, atom *argv)
{
    for (long k = 0; k < argc && k < expr_slots; k++) store(x, static_cast<int>(k), argv[k]);
}

void send_part(if_object *x, const if_part &p)
{
    atom message[256];
    const long n = p.argc < 256 ? p.argc : 256;
    for (long k = 0; k < n; k++) {
        int slot;
        short kind;
        message[k] = placeholder(p.argv[k], &slot, &kind) ? x->values[slot] : p.argv[k];
    }
    if (p.route != part_route::send) {
        outlet *o = p.route == part_route::right ? x->right : x->left;
        if (!o) return;
        if (n == 0)
            outlet_anything(o, gensym("bang"), 0, nullptr);
        else
            outlet_atoms(o, n, message);
        return;
    }
    object *to = bound_object(p.receiver);
    if (!to) return;
    if (n == 0)
        typedmess(to, gensym("bang"), 0, nullptr);
    else if (message[0].type == ATYPE_SYM)
        typedmess(to, message[0].word.w_sym, n - 1, message + 1);
    else if (n == 1)
        typedmess(to, message[0].type == ATYPE_FLOAT ? gensym("float") : gensym("int"), 1, message);
    else
        typedmess(to, gensym("list"), n, message);
}

void *if_bang(if_object *x)
{
    atom result;
    if (!expr_eval(x->condition, expr_slots, x->values, &result)) return nullptr;
    const bool truth = result.type == ATYPE_FLOAT ? result.word.w_float != 0.0f : result.word.w_long != 0;
    if (truth)
        send_part(x, x->parts[0]);
    else if (x->part_count > 1)
        send_part(x, x->parts[1]);
    return nullptr;
}

void *if_int(if_object *x, long n)
{
    store(x, 0, int_atom(wrap32(n)));
    return if_bang(x);
}

void *if_float(if_object *x, double f)
{
    store(x, 0, float_atom(f));
    return if_bang(x);
}

void *if_list(if_object *x, symbol *s, long argc, atom *argv)
{
    if (s == gensym("symbol") || s == gensym("list"))
        store_all(x, argc, argv);
    else {
        // Any other selector stands as the first symbol of the list.
        store(x, 0, sym_atom(s));
        for (long k = 0; k < argc && k + 1 < expr_slots; k++) store(x, static_cast<int>(k + 1), argv[k]);
    }
    return if_bang(x);
}

void *if_set(if_object *x, symbol *, long argc, atom *argv)
{
    store_all(x, argc, argv);
    return nullptr;
}

template <int N> void *if_in(if_object *x, long n)
{
    store(x, N, int_atom(wrap32(n)));
    return nullptr;
}

template <int N> void *if_ft(if_object *x, double f)
{
    store(x, N, float_atom(f));
    return nullptr;
}

template <int N> void *if_sm(if_object *x, symbol *, long argc, atom *argv)
{
    if (argc > 0) store(x, N, argv[0]);
    return nullptr;
}

template <int... N> void add_if_inlet_methods(std::integer_sequence<int, N...>)
{
    (addinx(as_method(&if_in<N + 1>), N + 1), ...);
    (addftx(as_method(&if_ft<N + 1>), N + 1), ...);
    static const char *const sm_names[] = {"sm1", "sm2", "sm3", "sm4", "sm5", "sm6", "sm7", "sm8"};
    (addmess(as_method(&if_sm<N + 1>), sm_names[N], ATYPE_GIMME, 0), ...);
}

void if_free(if_object *x)
{
    if (x->condition) freeobject(x->condition);
    for (long k = 0; k < x->part_count; k++)
        if (x->parts[k].argv) freebytes(x->parts[k].argv, static_cast<long>(x->parts[k].argc * sizeof(atom)));
}

void *if_new(symbol *s, long argc, atom *argv);

bool if_class_setup()
{
    return define_builder_class(&g_if_class, "if", as_method(&if_new), as_method(&if_free), sizeof(if_object),
                                {ATYPE_GIMME}, [] {
                                    addbang(as_method(&if_bang));
                                    addint(as_method(&if_int));
                                    addfloat(as_method(&if_float));
                                    addmess(as_method(&if_list), "symbol", ATYPE_GIMME, 0);
                                    addmess(as_method(&if_list), "list", ATYPE_GIMME, 0);
                                    addmess(as_method(&if_list), "anything", ATYPE_GIMME, 0);
                                    addmess(as_method(&if_set), "set", ATYPE_GIMME, 0);
                                    add_if_inlet_methods(std::make_integer_sequence<int, 8>{});
                                });
}

long find_word(long from, long argc, atom *argv, const char *word)
{
    for (long k = from; k < argc; k++)
        if (argv[k].type == ATYPE_SYM && std::strcmp(argv[k].word.w_sym->name, word) == 0) return k;
    return -1;
}

bool make_part(if_part &p, long argc, atom *argv)
{
    p.route = part_route::left;
    p.receiver = nullptr;
    if (argc >= 2 && argv[0].type == ATYPE_SYM && std::strcmp(argv[0].word.w_sym->name, "send") == 0 &&
        argv[1].type == ATYPE_SYM) {
        p.route = part_route::send;
        p.receiver = argv[1].word.w_sym;
        argc -= 2;
        argv += 2;
    } else if (argc >= 1 && argv[0].type == ATYPE_SYM && std::strcmp(argv[0].word.w_sym->name, "out2") == 0) {
        p.route = part_route::right;
        argc -= 1;
        argv += 1;
    }
    p.argc = argc;
    p.argv = nullptr;
    if (argc == 0) return true;
    p.argv = static_cast<atom *>(getbytes(static_cast<long>(argc * sizeof(atom))));
    if (!p.argv) return false;
    std::memcpy(p.argv, argv, static_cast<size_t>(argc) * sizeof(atom));
    return true;
}

void *if_new(symbol *, long argc, atom *argv)
{
    if (!if_class_setup()) return nullptr;
    const long then_at = find_word(0, argc, argv, "then");
    if (then_at <= 0) {
        post("if: missing then");
        return nullptr;
    }
    const long else_at = find_word(then_at + 1, argc, argv, "else");
    short kinds[expr_slots];
    void *condition = expr_new(then_at, argv, kinds);
    if (!condition) return nullptr;
    auto *x = static_cast<if_object *>(newobject(g_if_class));
    if (!x) {
        freeobject(condition);
        return nullptr;
    }
    x->condition = condition;
    x->part_count = 0;
    x->left = x->right = nullptr;
    std::memcpy(x->kinds, kinds, sizeof kinds);
    const long then_end = else_at < 0 ? argc : else_at;
    if (!make_part(x->parts[x->part_count++], then_end - then_at - 1, argv + then_at + 1) ||
        (else_at >= 0 && !make_part(x->parts[x->part_count++], argc - else_at - 1, argv + else_at + 1))) {
        freeobject(x);
        return nullptr;
    }
    bool needs_left = false, needs_right = false;
    for (long k = 0; k < x->part_count; k++) {
        const if_part &p = x->parts[k];
        needs_left = needs_left || p.route == part_route::left;
        needs_right = needs_right || p.route == part_route::right;
        for (long a = 0; a < p.argc; a++) {
            int slot;
            short kind;
            if (placeholder(p.argv[a], &slot, &kind) && x->kinds[slot] == expr_kind_none) x->kinds[slot] = kind;
        }
    }
    int highest = 0;
    for (int k = 0; k < expr_slots; k++) {
        if (x->kinds[k] != expr_kind_none) highest = k;
        if (x->kinds[k] == expr_kind_float)
            x->values[k] = float_atom(0.0);
        else if (x->kinds[k] == expr_kind_symbol)
            x->values[k] = sym_atom(gensym(""));
        else
            x->values[k] = int_atom(0);
    }
    for (int k = highest; k >= 1; k--) {
        if (x->kinds[k] == expr_kind_float)
            floatin(x, k);
        else if (x->kinds[k] == expr_kind_symbol) {
            static const char *const sm_names[] = {"", "sm1", "sm2", "sm3", "sm4", "sm5", "sm6", "sm7", "sm8"};
            inlet4(x, x, "symbol", sm_names[k]);
        } else
            intin(x, k);
    }
    // Outlets are made right to left.
    if (needs_right) x->right = outlet_new(x, nullptr);
    if (needs_left) x->left = outlet_new(x, nullptr);
    return x;
}

}  // namespace

bool if_init() { return creation_provide("if", as_method(&if_new)); }

}  // namespace kel
