// List and state objects: `pack`/`list` joins values into one message,
// `unpack` splits one, `swap` and `fswap` exchange two numbers, `change`
// passes only changes, `bag` keeps a collection of integers and `accum`
// accumulates.
//
// Invariants: a pack slot keeps the type its argument gave it (int, float or
// symbol) for the life of the object: every store converts to that type. A
// bag's list runs from the newest entry (head) to the oldest (tail) and its
// count is the number of nodes.
#include <cmath>
#include <cstring>
#include <vector>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "objects/objects.h"
#include "objects/preset.h"
#include "objects/routing_support.h"

namespace kel::routing {
namespace {

// Atoms copied out of an object before they are sent, so that whatever the
// receivers do to the object (store into it again, free it) cannot change
// the message under way.
class atom_copy {
public:
    atom_copy(long argc, const atom *argv) : count_(argc)
    {
        if (argc > static_cast<long>(sizeof small_ / sizeof small_[0])) {
            large_.assign(argv, argv + argc);
            data_ = large_.data();
        } else {
            if (argc > 0) std::memcpy(small_, argv, static_cast<size_t>(argc) * sizeof(atom));
            data_ = small_;
        }
    }
    atom *data() { return data_; }
    long size() const { return count_; }

private:
    long count_;
    atom small_[32];
    std::vector<atom> large_;
    atom *data_;
};

// --- pack / list ---

struct pack_object {
    object header;
    long in;     // the inlet a message came through, set by the proxies
    long count;  // slots, one per inlet
    atom *slots;
    proxy **proxies;  // proxies[k] stands for inlet k (1 .. count - 1); proxies[0] is unused
    outlet *out;
};

method_entry *g_pack_class = nullptr;

// Stores a into a slot, converted to the slot's type.
void pack_store(atom *slot, const atom &a)
{
    switch (slot->type) {
    case ATYPE_LONG:
        slot->word.w_long =
            a.type == ATYPE_LONG ? a.word.w_long : (a.type == ATYPE_FLOAT ? float_to_long(a.word.w_float) : 0);
        break;
    case ATYPE_FLOAT:
        slot->word.w_float = a.type == ATYPE_FLOAT
                                 ? a.word.w_float
                                 : (a.type == ATYPE_LONG ? static_cast<atom_float>(a.word.w_long) : 0.0f);
        break;
    default:
        slot->word.w_sym = a.type == ATYPE_SYM && a.word.w_sym ? a.word.w_sym : sym_empty;
        break;
    }
}

// atoms into the slots from slot first on, as far as slots remain.
void pack_store_from(pack_object *x, long first, long argc, const atom *argv)
{
    for (long i = 0; i < argc && first + i < x->count; i++) pack_store(&x->slots[first + i], argv[i]);
}

void pack_deliver(pack_object *x, object *to)
{
    guarded("pack", [&] {
        atom_copy message(x->count, x->slots);
        atom *a = message.data();
        if (to) {
            if (a[0].type == ATYPE_SYM)
                typedmess(to, a[0].word.w_sym, message.size() - 1, a + 1);
            else
                stdlist(to, sym_list, message.size(), a);
        } else if (a[0].type == ATYPE_SYM) {
            outlet_anything(x->out, a[0].word.w_sym, message.size() - 1, a + 1);
        } else {
            outlet_list(x->out, sym_list, message.size(), a);
        }
    });
}

void *pack_bang(pack_object *x)
{
    if (proxy_getinlet(x) == 0) pack_deliver(x, nullptr);
    return nullptr;
}

void pack_store_one(pack_object *x, const atom &a)
{
    const long k = proxy_getinlet(x);
    if (k >= 0 && k < x->count) pack_store(&x->slots[k], a);
    if (k == 0) pack_deliver(x, nullptr);
}

void *pack_int(pack_object *x, long n)
{
    pack_store_one(x, int_atom(wrap32(n)));
    return nullptr;
}

void *pack_float(pack_object *x, double f)
{
    pack_store_one(x, float_atom(f));
    return nullptr;
}

void *pack_symbol(pack_object *x, symbol *, long argc, atom *argv)
{
    pack_store_one(x, argc > 0 && argv ? argv[0] : sym_atom(sym_empty));
    return nullptr;
}

void *pack_list(pack_object *x, symbol *, long argc, atom *argv)
{
    const long k = proxy_getinlet(x);
    pack_store_from(x, k, argc, argv);
    if (k == 0) pack_deliver(x, nullptr);
    return nullptr;
}

void *pack_set(pack_object *x, symbol *, long argc, atom *argv)
{
    pack_store_from(x, proxy_getinlet(x), argc, argv);
    return nullptr;
}

// A preset stores the slots, to be set again (quietly) on recall.
void *pack_preset(pack_object *x)
{
    static symbol *const set = gensym("set");
    preset_store_message(&x->header, set, x->count, x->slots);
    return nullptr;
}

// Any other message: its selector into this inlet's slot, its atoms into the
// slots after it.
void *pack_anything(pack_object *x, symbol *s, long argc, atom *argv)
{
    const long k = proxy_getinlet(x);
    if (k >= 0 && k < x->count) pack_store(&x->slots[k], sym_atom(s));
    pack_store_from(x, k + 1, argc, argv);
    if (k == 0) pack_deliver(x, nullptr);
    return nullptr;
}

void *pack_nth(pack_object *x, long n)
{
    if (n < 1 || n > x->count) return nullptr;
    const atom a = x->slots[n - 1];
    if (a.type == ATYPE_LONG)
        outlet_int(x->out, a.word.w_long);
    else if (a.type == ATYPE_FLOAT)
        outlet_float(x->out, a.word.w_float);
    else
        outlet_anything(x->out, a.word.w_sym, 0, nullptr);
    return nullptr;
}

// send NAME: the packed message straight to the object bound to NAME.
void *pack_send(pack_object *x, symbol *, long argc, atom *argv)
{
    if (proxy_getinlet(x) != 0) return nullptr;
    if (argc < 1 || !argv || argv[0].type != ATYPE_SYM) {
        error("pack: missing or incorrect arguments to send");
        return nullptr;
    }
    if (object *to = bound_object(argv[0].word.w_sym)) pack_deliver(x, to);
    return nullptr;
}

void pack_free(pack_object *x)
{
    // A proxy takes its inlet with it.
    for (long k = 1; k < x->count; k++)
        if (x->proxies[k]) freeobject(x->proxies[k]);
    pool_free(x->proxies, x->count);
    pool_free(x->slots, x->count);
}

void *pack_new(symbol *, long argc, atom *argv)
{
    bool ready = define_builder_class(&g_pack_class, "pack", as_method(&pack_new), as_method(&pack_free),
                                      sizeof(pack_object), {ATYPE_GIMME}, [] {
                                          addbang(as_method(&pack_bang));
                                          addint(as_method(&pack_int));
                                          addfloat(as_method(&pack_float));
                                          addmess(as_method(&pack_symbol), "symbol", ATYPE_GIMME, 0);
                                          addmess(as_method(&pack_list), "list", ATYPE_GIMME, 0);
                                          addmess(as_method(&pack_set), "set", ATYPE_GIMME, 0);
                                          addmess(as_method(&pack_nth), "nth", ATYPE_LONG, 0);
                                          addmess(as_method(&pack_send), "send", ATYPE_GIMME, 0);
                                          addmess(as_method(&pack_preset), "preset", 0);
                                          addmess(as_method(&pack_anything), "anything", ATYPE_GIMME, 0);
                                          alias("list");
                                      });
    if (!ready) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    const long count = argc > 0 ? argc : 2;
    auto *slots = pool_array<atom>(count);
    auto *proxies = pool_array<proxy *>(count);
    auto *x = slots && proxies ? static_cast<pack_object *>(newobject(g_pack_class)) : nullptr;
    if (!x) {
        pool_free(slots, count);
        pool_free(proxies, count);
        return nullptr;
    }
    static symbol *const letter_i = gensym("i");
    static symbol *const letter_f = gensym("f");
    for (long k = 0; k < count; k++) {
        atom &slot = slots[k];
        const atom arg = k < argc ? argv[k] : int_atom(0);
        if (arg.type == ATYPE_FLOAT || is_named(arg, letter_f))
            slot = float_atom(arg.type == ATYPE_FLOAT ? arg.word.w_float : 0.0);
        else if (arg.type == ATYPE_SYM && arg.word.w_sym && arg.word.w_sym != letter_i)
            slot = sym_atom(arg.word.w_sym);
        else
            slot = int_atom(arg.type == ATYPE_LONG ? arg.word.w_long : 0);
        proxies[k] = nullptr;
    }
    x->in = 0;
    x->count = count;
    x->slots = slots;
    x->proxies = proxies;
    x->out = outlet_new(x, nullptr);
    for (long k = count - 1; k >= 1; k--) x->proxies[k] = proxy_new(x, k, &x->in);
    return x;
}

// --- unpack ---

struct unpack_entry {
    short type;  // ATYPE_LONG, ATYPE_FLOAT or ATYPE_SYM
    atom last;   // what went out last; ATYPE_NOTHING before anything did
    outlet *out;
};

struct unpack_object {
    object header;
    long count;
    unpack_entry *entries;
};

method_entry *g_unpack_class = nullptr;

// An int outlet sends ints, a float outlet floats; a symbol outlet sends
// numbers as they are and a symbol as a selector without atoms.
void unpack_send(unpack_entry &e, const atom &a)
{
    switch (e.type) {
    case ATYPE_LONG:
        e.last = int_atom(a.type == ATYPE_LONG ? a.word.w_long
                                               : (a.type == ATYPE_FLOAT ? float_to_long(a.word.w_float) : 0));
        outlet_int(e.out, e.last.word.w_long);
        break;
    case ATYPE_FLOAT:
        e.last = float_atom(is_number(a) ? number_of(a) : 0.0);
        outlet_float(e.out, e.last.word.w_float);
        break;
    default:
        e.last = a;
        if (a.type == ATYPE_LONG)
            outlet_int(e.out, a.word.w_long);
        else if (a.type == ATYPE_FLOAT)
            outlet_float(e.out, a.word.w_float);
        else if (a.type == ATYPE_SYM)
            outlet_anything(e.out, a.word.w_sym, 0, nullptr);
        break;
    }
}

void *unpack_list(unpack_object *x, symbol *, long argc, atom *argv)
{
    const long n = argc < x->count ? argc : x->count;
    for (long k = n; k-- > 0;) unpack_send(x->entries[k], argv[k]);
    return nullptr;
}

void *unpack_int(unpack_object *x, long n)
{
    unpack_send(x->entries[0], int_atom(wrap32(n)));
    return nullptr;
}

void *unpack_float(unpack_object *x, double f)
{
    unpack_send(x->entries[0], float_atom(f));
    return nullptr;
}

void *unpack_anything(unpack_object *x, symbol *s, long argc, atom *argv)
{
    const long n = argc < x->count - 1 ? argc : x->count - 1;
    for (long k = n; k-- > 0;) unpack_send(x->entries[k + 1], argv[k]);
    unpack_send(x->entries[0], sym_atom(s));
    return nullptr;
}

void *unpack_bang(unpack_object *x)
{
    for (long k = x->count; k-- > 0;) {
        unpack_entry &e = x->entries[k];
        if (e.last.type != ATYPE_NOTHING) {
            const atom last = e.last;
            unpack_send(e, last);
        }
    }
    return nullptr;
}

void unpack_free(unpack_object *x) { pool_free(x->entries, x->count); }

void *unpack_new(symbol *, long argc, atom *argv)
{
    bool ready = define_builder_class(&g_unpack_class, "unpack", as_method(&unpack_new), as_method(&unpack_free),
                                      sizeof(unpack_object), {ATYPE_GIMME}, [] {
                                          addbang(as_method(&unpack_bang));
                                          addint(as_method(&unpack_int));
                                          addfloat(as_method(&unpack_float));
                                          addmess(as_method(&unpack_list), "list", ATYPE_GIMME, 0);
                                          addmess(as_method(&unpack_anything), "anything", ATYPE_GIMME, 0);
                                      });
    if (!ready) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    const long count = argc > 0 ? argc : 2;
    auto *entries = pool_array<unpack_entry>(count);
    auto *x = entries ? static_cast<unpack_object *>(newobject(g_unpack_class)) : nullptr;
    if (!x) {
        pool_free(entries, count);
        return nullptr;
    }
    static symbol *const letter_i = gensym("i");
    static symbol *const letter_f = gensym("f");
    x->count = count;
    x->entries = entries;
    for (long k = count; k-- > 0;) {
        unpack_entry &e = x->entries[k];
        const atom arg = k < argc ? argv[k] : int_atom(0);
        if (arg.type == ATYPE_LONG || is_named(arg, letter_i)) {
            e.type = ATYPE_LONG;
            e.last = int_atom(0);
            e.out = intout(x);
        } else if (arg.type == ATYPE_FLOAT || is_named(arg, letter_f)) {
            e.type = ATYPE_FLOAT;
            e.last = float_atom(0.0);
            e.out = floatout(x);
        } else {
            e.type = ATYPE_SYM;
            e.last.type = ATYPE_NOTHING;
            e.last.word.w_sym = nullptr;
            e.out = outlet_new(x, nullptr);
        }
    }
    return x;
}

// --- swap / fswap ---

// The left value is an int for swap and a float for fswap; the right value
// takes the type of the argument. The right outlet sends the left value, the
// left outlet the right value.
struct swap_object {
    object header;
    bool float_left;   // fswap
    bool float_right;  // a float argument
    int32_t left_int;
    atom_float left_float;
    int32_t right_int;
    atom_float right_float;
    outlet *out_left;
    outlet *out_right;
};

method_entry *g_swap_class = nullptr;
method_entry *g_fswap_class = nullptr;

void *swap_bang(swap_object *x)
{
    if (x->float_left)
        outlet_float(x->out_right, x->left_float);
    else
        outlet_int(x->out_right, x->left_int);
    if (x->float_right)
        outlet_float(x->out_left, x->right_float);
    else
        outlet_int(x->out_left, x->right_int);
    return nullptr;
}

void *swap_int(swap_object *x, long n)
{
    x->left_int = wrap32(n);
    x->left_float = static_cast<atom_float>(x->left_int);
    return swap_bang(x);
}

void *swap_float(swap_object *x, double f)
{
    x->left_int = float_to_long(f);
    x->left_float = static_cast<atom_float>(f);
    return swap_bang(x);
}

void *swap_in1(swap_object *x, long n)
{
    x->right_int = wrap32(n);
    x->right_float = static_cast<atom_float>(x->right_int);
    return nullptr;
}

void *swap_ft1(swap_object *x, double f)
{
    x->right_int = float_to_long(f);
    x->right_float = static_cast<atom_float>(f);
    return nullptr;
}

void *swap_make(method_entry *table, bool float_left, long argc, atom *argv)
{
    if (argc < 0 || !argv) argc = 0;
    if (argc > 1) warning("swap: too many arguments");
    auto *x = static_cast<swap_object *>(newobject(table));
    if (!x) return nullptr;
    x->float_left = float_left;
    x->float_right = argc > 0 && argv[0].type == ATYPE_FLOAT;
    x->left_int = 0;
    x->left_float = 0.0f;
    if (x->float_right)
        swap_ft1(x, argv[0].word.w_float);
    else
        swap_in1(x, argc > 0 && argv[0].type == ATYPE_LONG ? argv[0].word.w_long : 0);
    if (x->float_right) {
        floatin(x, 1);
        x->out_right = floatout(x);
        x->out_left = floatout(x);
    } else {
        intin(x, 1);
        x->out_right = intout(x);
        x->out_left = intout(x);
    }
    return x;
}

bool swap_class_setup(method_entry **var, const char *name, kel_method constructor)
{
    return define_builder_class(var, name, constructor, nullptr, sizeof(swap_object), {ATYPE_GIMME}, [] {
        addbang(as_method(&swap_bang));
        addint(as_method(&swap_int));
        addfloat(as_method(&swap_float));
        addinx(as_method(&swap_in1), 1);
        addftx(as_method(&swap_ft1), 1);
    });
}

void *swap_new(symbol *, long argc, atom *argv)
{
    if (!swap_class_setup(&g_swap_class, "swap", as_method(&swap_new))) return nullptr;
    return swap_make(g_swap_class, false, argc, argv);
}

void *fswap_new(symbol *, long argc, atom *argv)
{
    if (!swap_class_setup(&g_fswap_class, "fswap", as_method(&fswap_new))) return nullptr;
    return swap_make(g_fswap_class, true, argc, argv);
}

// --- change ---

enum change_mode : int { change_plain = 0, change_falling = 1, change_rising = 2 };

struct change_object {
    object header;
    atom value;        // ATYPE_LONG, or ATYPE_FLOAT when float_input
    bool nonzero;      // the last input compared was not zero
    bool float_input;  // a float argument: inputs are compared as floats
    int mode;
    outlet *out_value;
    outlet *out_rise;  // zero to non-zero
    outlet *out_fall;  // non-zero to zero
};

method_entry *g_change_class = nullptr;

void change_input(change_object *x, const atom &in)
{
    const double input = number_of(in);
    const double old = number_of(x->value);
    if (input == old) return;
    const bool was_nonzero = x->nonzero;
    x->value = in;
    x->nonzero = input != 0.0;
    if (!x->nonzero && was_nonzero) outlet_int(x->out_fall, 1);
    if (x->nonzero && !was_nonzero) outlet_int(x->out_rise, 1);
    switch (x->mode) {
    case change_rising:
        if (input > old) outlet_int(x->out_value, 1);
        break;
    case change_falling:
        if (input < old) outlet_int(x->out_value, -1);
        break;
    default:
        if (in.type == ATYPE_FLOAT)
            outlet_float(x->out_value, in.word.w_float);
        else
            outlet_int(x->out_value, in.word.w_long);
        break;
    }
}

atom change_atom(const change_object *x, double v)
{
    return x->float_input ? float_atom(v) : int_atom(float_to_long(v));
}

void *change_int(change_object *x, long n)
{
    const int32_t v = wrap32(n);
    change_input(x, x->float_input ? float_atom(v) : int_atom(v));
    return nullptr;
}

void *change_float(change_object *x, double f)
{
    change_input(x, change_atom(x, f));
    return nullptr;
}

void *change_set(change_object *x, double v)
{
    x->value = change_atom(x, v);
    return nullptr;
}

int change_mode_of(const atom *a)
{
    if (!a || a->type != ATYPE_SYM || !a->word.w_sym) return change_plain;
    if (std::strcmp(a->word.w_sym->name, "+") == 0) return change_rising;
    if (std::strcmp(a->word.w_sym->name, "-") == 0) return change_falling;
    return change_plain;
}

void *change_mode_method(change_object *x, symbol *, long argc, atom *argv)
{
    x->mode = change_mode_of(argc > 0 ? argv : nullptr);
    return nullptr;
}

void *change_new(symbol *, long argc, atom *argv)
{
    bool ready = define_builder_class(&g_change_class, "change", as_method(&change_new), nullptr, sizeof(change_object),
                                      {ATYPE_GIMME}, [] {
                                          addint(as_method(&change_int));
                                          addfloat(as_method(&change_float));
                                          addmess(as_method(&change_set), "set", ATYPE_FLOAT, 0);
                                          addmess(as_method(&change_mode_method), "mode", ATYPE_GIMME, 0);
                                      });
    if (!ready) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    auto *x = static_cast<change_object *>(newobject(g_change_class));
    if (!x) return nullptr;
    long next = 0;
    x->float_input = false;
    x->value = int_atom(0);
    if (argc > 0 && is_number(argv[0])) {
        x->float_input = argv[0].type == ATYPE_FLOAT;
        x->value = argv[0];
        next = 1;
    }
    x->mode = change_mode_of(next < argc ? &argv[next] : nullptr);
    x->nonzero = number_of(x->value) != 0.0;
    x->out_fall = intout(x);
    x->out_rise = intout(x);
    x->out_value = outlet_new(x, nullptr);
    return x;
}

// --- bag ---

struct bag_node {
    bag_node *next;  // toward the oldest
    bag_node *prev;  // toward the newest
    int32_t value;
};

struct bag_object {
    object header;
    bag_node *head;  // newest
    bag_node *tail;  // oldest
    long count;
    bool adding;
    bool keep_duplicates;
    outlet *out;
};

method_entry *g_bag_class = nullptr;

void bag_unlink(bag_object *x, bag_node *node)
{
    (node->prev ? node->prev->next : x->head) = node->next;
    (node->next ? node->next->prev : x->tail) = node->prev;
    freebytes(node, sizeof(bag_node));
    x->count--;
}

bag_node *bag_find(bag_object *x, int32_t n)
{
    for (bag_node *node = x->head; node; node = node->next)
        if (node->value == n) return node;
    return nullptr;
}

// The values, newest first, copied before any of them is sent: a receiver
// may change the bag (clear it, add to it) while they go out.
std::vector<int32_t> bag_values(const bag_object *x)
{
    std::vector<int32_t> values;
    values.reserve(static_cast<size_t>(x->count));
    for (const bag_node *node = x->head; node; node = node->next) values.push_back(node->value);
    return values;
}

void *bag_int(bag_object *x, long value)
{
    const int32_t n = wrap32(value);
    if (!x->adding) {
        if (bag_node *node = bag_find(x, n)) bag_unlink(x, node);
        return nullptr;
    }
    if (!x->keep_duplicates && bag_find(x, n)) return nullptr;
    auto *node = static_cast<bag_node *>(getbytes(sizeof(bag_node)));
    if (!node) return nullptr;
    node->value = n;
    node->prev = nullptr;
    node->next = x->head;
    (x->head ? x->head->prev : x->tail) = node;
    x->head = node;
    x->count++;
    return nullptr;
}

void *bag_float(bag_object *x, double f) { return bag_int(x, float_to_long(f)); }

void *bag_in1(bag_object *x, long n)
{
    x->adding = wrap32(n) != 0;
    return nullptr;
}

void *bag_bang(bag_object *x)
{
    guarded("bag", [&] {
        for (int32_t v : bag_values(x))
            if (!outlet_int(x->out, v)) break;
    });
    return nullptr;
}

void *bag_cut(bag_object *x)
{
    if (!x->tail) return nullptr;
    const int32_t v = x->tail->value;
    bag_unlink(x, x->tail);
    outlet_int(x->out, v);
    return nullptr;
}

void *bag_length(bag_object *x)
{
    outlet_int(x->out, x->count);
    return nullptr;
}

void *bag_clear(bag_object *x)
{
    while (x->head) bag_unlink(x, x->head);
    return nullptr;
}

// send NAME [length]: the entries, or their count, straight to the int method
// of the object bound to NAME.
void *bag_send(bag_object *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || !argv || argv[0].type != ATYPE_SYM) {
        error("bag: missing or incorrect arguments to send");
        return nullptr;
    }
    object *to = bound_object(argv[0].word.w_sym);
    if (!to) return nullptr;
    kel_method method = getfn(to, sym_int);
    static symbol *const length = gensym("length");
    if (argc >= 2 && is_named(argv[1], length)) {
        call_int(method, to, x->count);
        return nullptr;
    }
    guarded("bag", [&] {
        for (int32_t v : bag_values(x)) call_int(method, to, v);
    });
    return nullptr;
}

void bag_free(bag_object *x) { bag_clear(x); }

void *bag_new(symbol *keep)
{
    bool ready = define_builder_class(&g_bag_class, "bag", as_method(&bag_new), as_method(&bag_free),
                                      sizeof(bag_object), {ATYPE_DEFSYM}, [] {
                                          addbang(as_method(&bag_bang));
                                          addint(as_method(&bag_int));
                                          addfloat(as_method(&bag_float));
                                          addinx(as_method(&bag_in1), 1);
                                          addmess(as_method(&bag_cut), "cut", 0);
                                          addmess(as_method(&bag_length), "length", 0);
                                          addmess(as_method(&bag_clear), "clear", 0);
                                          addmess(as_method(&bag_send), "send", ATYPE_GIMME, 0);
                                      });
    if (!ready) return nullptr;
    auto *x = static_cast<bag_object *>(newobject(g_bag_class));
    if (!x) return nullptr;
    x->head = x->tail = nullptr;
    x->count = 0;
    x->adding = false;
    x->keep_duplicates = keep && keep->name[0] != '\0';
    intin(x, 1);
    x->out = intout(x);
    return x;
}

// --- accum ---

// Two classes named `accum`: in integer mode the middle inlet is an int
// inlet and output is rounded to the nearest integer, halves away from zero;
// in float mode the middle inlet is a float inlet and output is the
// accumulator itself.
struct accum_object {
    object header;
    double value;
    bool float_mode;
    outlet *out;
};

method_entry *g_accum_int_class = nullptr;
method_entry *g_accum_float_class = nullptr;

void *accum_bang(accum_object *x)
{
    if (x->float_mode)
        outlet_float(x->out, x->value);
    else
        outlet_int(x->out, float_to_long(std::round(x->value)));
    return nullptr;
}

void *accum_int(accum_object *x, long n)
{
    x->value = wrap32(n);
    return accum_bang(x);
}

void *accum_float(accum_object *x, double f)
{
    x->value = f;
    return accum_bang(x);
}

void *accum_set(accum_object *x, double v)
{
    x->value = v;
    return nullptr;
}

void *accum_add_int(accum_object *x, long n)
{
    x->value += wrap32(n);
    return nullptr;
}

void *accum_add_float(accum_object *x, double f)
{
    x->value += f;
    return nullptr;
}

void *accum_multiply(accum_object *x, double f)
{
    x->value *= f;
    return nullptr;
}

void accum_common_methods()
{
    addbang(as_method(&accum_bang));
    addint(as_method(&accum_int));
    addfloat(as_method(&accum_float));
    addmess(as_method(&accum_set), "set", ATYPE_FLOAT, 0);
    addmess(as_method(&accum_multiply), "in2", ATYPE_FLOAT, 0);
}

void *accum_new(symbol *, long argc, atom *argv)
{
    bool ready = define_builder_class(&g_accum_int_class, "accum", as_method(&accum_new), nullptr, sizeof(accum_object),
                                      {ATYPE_GIMME},
                                      [] {
                                          accum_common_methods();
                                          addmess(as_method(&accum_add_int), "in1", ATYPE_LONG, 0);
                                      }) &&
                 define_builder_class(&g_accum_float_class, "accum", as_method(&accum_new), nullptr,
                                      sizeof(accum_object), {ATYPE_GIMME}, [] {
                                          accum_common_methods();
                                          addmess(as_method(&accum_add_float), "in1", ATYPE_FLOAT, 0);
                                      });
    if (!ready) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    if (argc > 0 && !is_number(argv[0])) {
        error("accum: bad input arg");
        return nullptr;
    }
    const bool float_mode = argc > 0 && argv[0].type == ATYPE_FLOAT;
    auto *x = static_cast<accum_object *>(newobject(float_mode ? g_accum_float_class : g_accum_int_class));
    if (!x) return nullptr;
    x->float_mode = float_mode;
    x->value = argc > 0 ? number_of(argv[0]) : 0.0;
    inlet4(x, x, "float", "in2");
    if (float_mode)
        inlet4(x, x, "float", "in1");
    else
        intin(x, 1);
    x->out = float_mode ? floatout(x) : intout(x);
    return x;
}

}  // namespace

bool routing_lists_init()
{
    return creation_provide("pack", as_method(&pack_new)) && creation_provide("list", as_method(&pack_new)) &&
           creation_provide("unpack", as_method(&unpack_new)) && creation_provide("swap", as_method(&swap_new)) &&
           creation_provide("fswap", as_method(&fswap_new)) && creation_provide("change", as_method(&change_new)) &&
           creation_provide("bag", as_method(&bag_new)) && creation_provide("accum", as_method(&accum_new));
}

}  // namespace kel::routing
