// Arithmetic, comparison and number objects.
//
// Every class here has a hot left inlet (a number stores and outputs at once)
// and cold inlets to the right (they only store). Integers wrap at 32 bits;
// floats arrive as doubles and are truncated toward zero where an integer is
// wanted, saturating at the 32-bit range (float_to_long).
//
// The operators are one class per mode: an integer-mode table and, for all
// but the six bitwise and logical operators, a float-mode table, both named
// after the operator. The argument picks the table when the object is made.
// These tables are built at start-up; `int`, `float`, `abs` and `random` set
// up their classes on first use.
#include "objects/arith.h"

#include <cmath>
#include <cstdint>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "objects/objects.h"
#include "platform/datetime.h"

namespace kel {
namespace {

// --- int / i ---

struct int_object {
    object header;
    int32_t value;
    outlet *out;
};

method_entry *g_int_class = nullptr;

void *int_bang(int_object *x)
{
    outlet_int(x->out, x->value);
    return nullptr;
}

void *int_int(int_object *x, long n)
{
    x->value = wrap32(n);
    return int_bang(x);
}

void *int_float(int_object *x, double f)
{
    x->value = float_to_long(f);
    return int_bang(x);
}

void *int_store(int_object *x, long n)
{
    x->value = wrap32(n);
    return nullptr;
}

// send NAME [n]: the bound object's int method, called directly.
void *int_send(int_object *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("short: missing or incorrect arguments to send");
        return nullptr;
    }
    object *to = bound_object(argv[0].word.w_sym);
    if (!to) return nullptr;
    if (argc >= 2 && argv[1].type == ATYPE_LONG) x->value = argv[1].word.w_long;
    call_int(getfn(to, sym_int), to, x->value);
    return nullptr;
}

void *int_new(long n);

bool int_class_setup()
{
    return define_builder_class(&g_int_class, "int", as_method(&int_new), nullptr, sizeof(int_object), {ATYPE_DEFLONG},
                                [] {
                                    addbang(as_method(&int_bang));
                                    addint(as_method(&int_int));
                                    addfloat(as_method(&int_float));
                                    addinx(as_method(&int_store), 1);
                                    addmess(as_method(&int_store), "set", ATYPE_LONG, 0);
                                    addmess(as_method(&int_send), "send", ATYPE_GIMME, 0);
                                    alias("i");
                                });
}

void *int_new(long n)
{
    if (!int_class_setup()) return nullptr;
    auto *x = static_cast<int_object *>(newobject(g_int_class));
    if (!x) return nullptr;
    x->value = wrap32(n);
    intin(x, 1);
    x->out = intout(x);
    return x;
}

// --- float / f ---

struct float_object {
    object header;
    double value;
    outlet *out;
};

method_entry *g_float_class = nullptr;

void *float_bang(float_object *x)
{
    outlet_float(x->out, x->value);
    return nullptr;
}

void *float_int(float_object *x, long n)
{
    x->value = wrap32(n);
    return float_bang(x);
}

void *float_float(float_object *x, double f)
{
    x->value = f;
    return float_bang(x);
}

void *float_store(float_object *x, double f)
{
    x->value = f;
    return nullptr;
}

// send NAME [x]: "float" with the stored value to the bound object.
void *float_send(float_object *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("float: missing or incorrect arguments to send");
        return nullptr;
    }
    object *to = bound_object(argv[0].word.w_sym);
    if (!to) return nullptr;
    if (argc >= 2 && argv[1].type == ATYPE_FLOAT) x->value = argv[1].word.w_float;
    if (argc >= 2 && argv[1].type == ATYPE_LONG) x->value = argv[1].word.w_long;
    atom value;
    atom_setfloat(&value, x->value);
    typedmess(to, sym_float, 1, &value);
    return nullptr;
}

void *float_new(double f);

bool float_class_setup()
{
    return define_builder_class(&g_float_class, "float", as_method(&float_new), nullptr, sizeof(float_object),
                                {ATYPE_DEFFLOAT}, [] {
                                    addbang(as_method(&float_bang));
                                    addint(as_method(&float_int));
                                    addfloat(as_method(&float_float));
                                    addmess(as_method(&float_store), "in1", ATYPE_FLOAT, 0);
                                    addmess(as_method(&float_store), "set", ATYPE_FLOAT, 0);
                                    addmess(as_method(&float_send), "send", ATYPE_GIMME, 0);
                                    alias("f");
                                });
}

void *float_new(double f)
{
    if (!float_class_setup()) return nullptr;
    auto *x = static_cast<float_object *>(newobject(g_float_class));
    if (!x) return nullptr;
    x->value = f;
    inlet4(x, x, "float", "in1");  // a float inlet that delivers in1
    x->out = floatout(x);
    return x;
}

// --- the two-operand operators ---

enum class op : uint8_t { add, sub, mul, div, mod, gt, ge, lt, le, eq, ne, bit_and, bit_or, log_and, log_or, shl, shr };

constexpr bool is_comparison(op o) { return o >= op::gt && o <= op::ne; }

struct binop {
    object header;
    int32_t left;  // integer mode
    int32_t right;
    double fleft;  // float mode; for `/` fright holds the reciprocal of the divisor
    double fright;
    outlet *out;
};

// Integer results wrap at 32 bits. The divisor is never 0 (it is replaced by
// 1 on the way in); the quotient of the most negative integer by -1 wraps to
// itself and the remainder is 0, where the machine division would trap.
template <op O> int32_t int_result(int32_t l, int32_t r)
{
    const uint32_t ul = static_cast<uint32_t>(l), ur = static_cast<uint32_t>(r);
    if constexpr (O == op::add) return static_cast<int32_t>(ul + ur);
    if constexpr (O == op::sub) return static_cast<int32_t>(ul - ur);
    if constexpr (O == op::mul) return static_cast<int32_t>(ul * ur);
    if constexpr (O == op::div) {
        if (r == 0) return l;
        if (r == -1) return static_cast<int32_t>(0u - ul);
        return l / r;
    }
    if constexpr (O == op::mod) {
        if (r == 0 || r == -1) return 0;
        return l % r;
    }
    if constexpr (O == op::gt) return l > r;
    if constexpr (O == op::ge) return l >= r;
    if constexpr (O == op::lt) return l < r;
    if constexpr (O == op::le) return l <= r;
    if constexpr (O == op::eq) return l == r;
    if constexpr (O == op::ne) return l != r;
    if constexpr (O == op::bit_and) return l & r;
    if constexpr (O == op::bit_or) return l | r;
    if constexpr (O == op::log_and) return l && r;
    if constexpr (O == op::log_or) return l || r;
    if constexpr (O == op::shl) return static_cast<int32_t>(ul << (ur & 31u));
    if constexpr (O == op::shr) return l >> (ur & 31u);  // arithmetic: the sign propagates
    return 0;
}

// Float-mode division multiplies by the stored reciprocal, so a divisor of
// 0.0 gives an infinite (or, for 0.0 itself, not-a-number) result.
template <op O> double float_result(double l, double r)
{
    if constexpr (O == op::add) return l + r;
    if constexpr (O == op::sub) return l - r;
    if constexpr (O == op::mul) return l * r;
    if constexpr (O == op::div) return l * r;
    if constexpr (O == op::mod) return std::fmod(l, r);
    if constexpr (O == op::gt) return l > r;
    if constexpr (O == op::ge) return l >= r;
    if constexpr (O == op::lt) return l < r;
    if constexpr (O == op::le) return l <= r;
    if constexpr (O == op::eq) return l == r;
    if constexpr (O == op::ne) return l != r;
    return 0;
}

template <op O> void *binop_bang(binop *x)
{
    outlet_int(x->out, int_result<O>(x->left, x->right));
    return nullptr;
}

template <op O> void *binop_int(binop *x, long n)
{
    x->left = wrap32(n);
    return binop_bang<O>(x);
}

template <op O> void *binop_float(binop *x, double f)
{
    x->left = float_to_long(f);
    return binop_bang<O>(x);
}

void *binop_set(binop *x, long n)
{
    x->left = wrap32(n);
    return nullptr;
}

template <op O> void *binop_in1(binop *x, long n)
{
    int32_t r = wrap32(n);
    if ((O == op::div || O == op::mod) && r == 0) r = 1;
    x->right = r;
    return nullptr;
}

// Comparisons answer int 1 or 0; the arithmetic answers floats, `%` too,
// although its outlet is declared int.
template <op O> void *fbinop_bang(binop *x)
{
    if constexpr (is_comparison(O))
        outlet_int(x->out, float_result<O>(x->fleft, x->fright) != 0.0);
    else
        outlet_float(x->out, float_result<O>(x->fleft, x->fright));
    return nullptr;
}

template <op O> void *fbinop_int(binop *x, long n)
{
    x->fleft = wrap32(n);
    return fbinop_bang<O>(x);
}

template <op O> void *fbinop_float(binop *x, double f)
{
    x->fleft = f;
    return fbinop_bang<O>(x);
}

void *fbinop_set(binop *x, double f)
{
    x->fleft = f;
    return nullptr;
}

template <op O> void *fbinop_ft1(binop *x, double f)
{
    x->fright = O == op::div ? 1.0 / f : f;
    return nullptr;
}

struct operator_class {
    const char *name;
    op code;
    bool has_float;     // false for the integer-only operators
    bool float_outlet;  // float mode sends through a float outlet
    void (*build)(operator_class &);
    method_entry *int_table;
    method_entry *float_table;
    symbol *sym;
};

void *binop_new(symbol *s, long argc, atom *argv);

template <op O> void build_operator(operator_class &k)
{
    define_builder_class(&k.int_table, k.name, as_method(&binop_new), nullptr, sizeof(binop), {ATYPE_GIMME}, [] {
        addbang(as_method(&binop_bang<O>));
        addint(as_method(&binop_int<O>));
        addfloat(as_method(&binop_float<O>));
        addmess(as_method(&binop_set), "set", ATYPE_LONG, 0);
        addinx(as_method(&binop_in1<O>), 1);
    });
    if (!k.has_float) return;
    // The float table has the same name; the box namespace keeps the integer
    // one, and objects find their table through their own header.
    define_builder_class(&k.float_table, k.name, as_method(&binop_new), nullptr, sizeof(binop), {ATYPE_GIMME}, [] {
        addbang(as_method(&fbinop_bang<O>));
        addint(as_method(&fbinop_int<O>));
        addfloat(as_method(&fbinop_float<O>));
        addmess(as_method(&fbinop_set), "set", ATYPE_FLOAT, 0);
        addftx(as_method(&fbinop_ft1<O>), 1);
    });
}

operator_class g_operators[] = {
    {"+", op::add, true, true, &build_operator<op::add>, nullptr, nullptr, nullptr},
    {"-", op::sub, true, true, &build_operator<op::sub>, nullptr, nullptr, nullptr},
    {"*", op::mul, true, true, &build_operator<op::mul>, nullptr, nullptr, nullptr},
    {"/", op::div, true, true, &build_operator<op::div>, nullptr, nullptr, nullptr},
    {"%", op::mod, true, false, &build_operator<op::mod>, nullptr, nullptr, nullptr},
    {">", op::gt, true, false, &build_operator<op::gt>, nullptr, nullptr, nullptr},
    {">=", op::ge, true, false, &build_operator<op::ge>, nullptr, nullptr, nullptr},
    {"<", op::lt, true, false, &build_operator<op::lt>, nullptr, nullptr, nullptr},
    {"<=", op::le, true, false, &build_operator<op::le>, nullptr, nullptr, nullptr},
    {"==", op::eq, true, false, &build_operator<op::eq>, nullptr, nullptr, nullptr},
    {"!=", op::ne, true, false, &build_operator<op::ne>, nullptr, nullptr, nullptr},
    {"&", op::bit_and, false, false, &build_operator<op::bit_and>, nullptr, nullptr, nullptr},
    {"|", op::bit_or, false, false, &build_operator<op::bit_or>, nullptr, nullptr, nullptr},
    {"&&", op::log_and, false, false, &build_operator<op::log_and>, nullptr, nullptr, nullptr},
    {"||", op::log_or, false, false, &build_operator<op::log_or>, nullptr, nullptr, nullptr},
    {"<<", op::shl, false, false, &build_operator<op::shl>, nullptr, nullptr, nullptr},
    {">>", op::shr, false, false, &build_operator<op::shr>, nullptr, nullptr, nullptr},
};

// One constructor for all seventeen: the selector names the operator. A
// float first argument selects float mode; anything else integer mode, with
// an integer argument as the right operand.
void *binop_new(symbol *s, long argc, atom *argv)
{
    operator_class *k = nullptr;
    for (operator_class &candidate : g_operators)
        if (candidate.sym == s) k = &candidate;
    if (!k || !k->int_table) return nullptr;
    const bool float_mode = argc > 0 && argv && argv[0].type == ATYPE_FLOAT;
    if (float_mode && !k->float_table) {
        post("%s: int only", s->name);
        return nullptr;
    }
    auto *x = static_cast<binop *>(newobject(float_mode ? k->float_table : k->int_table));
    if (!x) return nullptr;
    x->left = 0;
    x->right = 0;
    x->fleft = 0.0;
    x->fright = 0.0;
    if (float_mode) {
        const double r = argv[0].word.w_float;
        x->fright = k->code == op::div ? 1.0 / r : r;
        x->out = k->float_outlet ? floatout(x) : intout(x);
        floatin(x, 1);
    } else {
        int32_t r = argc > 0 && argv && argv[0].type == ATYPE_LONG ? argv[0].word.w_long : 0;
        if ((k->code == op::div || k->code == op::mod) && r == 0) r = 1;
        x->right = r;
        x->out = intout(x);
        intin(x, 1);
    }
    return x;
}

// --- abs ---

struct abs_object {
    object header;
    bool float_mode;
    outlet *out;
};

method_entry *g_abs_class = nullptr;

int32_t magnitude(int32_t n) { return n < 0 ? static_cast<int32_t>(0u - static_cast<uint32_t>(n)) : n; }

void *abs_int(abs_object *x, long n)
{
    const int32_t m = magnitude(wrap32(n));
    if (x->float_mode)
        outlet_float(x->out, m == INT32_MIN ? 2147483648.0 : m);
    else
        outlet_int(x->out, m);
    return nullptr;
}

void *abs_float(abs_object *x, double f)
{
    if (x->float_mode)
        outlet_float(x->out, std::fabs(f) + 0.0);  // + 0.0: a zero of either sign goes out as 0.0
    else
        outlet_int(x->out, magnitude(float_to_long(f)));
    return nullptr;
}

void *abs_new(symbol *s, long argc, atom *argv);

bool abs_class_setup()
{
    return define_builder_class(&g_abs_class, "abs", as_method(&abs_new), nullptr, sizeof(abs_object), {ATYPE_GIMME},
                                [] {
                                    addint(as_method(&abs_int));
                                    addfloat(as_method(&abs_float));
                                });
}

void *abs_new(symbol *, long argc, atom *argv)
{
    if (!abs_class_setup()) return nullptr;
    auto *x = static_cast<abs_object *>(newobject(g_abs_class));
    if (!x) return nullptr;
    x->float_mode = argc > 0 && argv && argv[0].type == ATYPE_FLOAT;
    x->out = x->float_mode ? floatout(x) : intout(x);
    return x;
}

// --- random ---

// Each object has its own minimal-standard generator (multiplier 16807,
// modulus 2^31 - 1) behind a 32-entry shuffle table, the kernel generator's
// algorithm, so that a seeded object repeats its sequence whatever else draws.
// A state of 0 or below, or a last draw of 0, means "initialise from the
// magnitude of the state" before the next draw.
constexpr int64_t random_modulus = 2147483647;
constexpr int random_table_size = 32;

using generator = random_generator;
static_assert(random_table_size == sizeof(random_generator::table) / sizeof(int32_t), "one shuffle table size");

struct random_object {
    object header;
    int32_t range;  // at least 1
    generator g;
    outlet *out;
};

method_entry *g_random_class = nullptr;
int32_t g_last_clock_seed = 0;  // shared by every instance: two objects seeded in one tick differ

int32_t random_step(int32_t state)
{
    int64_t x = 16807 * static_cast<int64_t>(state) - (state / 127773) * random_modulus;
    if (x < 0) x += random_modulus;
    return static_cast<int32_t>(x);
}

// The next number of the generator, 1 .. 2^31 - 2.
int32_t random_draw(generator &g)
{
    if (g.state <= 0 || g.last == 0) {
        g.state = g.state == 0 ? 1 : (g.state < 0 ? -g.state : g.state);
        for (int step = 0; step < 40; step++) {
            g.state = random_step(g.state);
            if (step >= 40 - random_table_size) g.table[39 - step] = g.state;
        }
        g.last = g.table[0];
    }
    g.state = random_step(g.state);
    const int j = static_cast<int>(g.last / 67108864);  // 0 .. 31
    g.last = g.table[j];
    g.table[j] = g.state;
    return g.last;
}

// The next draw starts again from |n|. Seeds beyond the generator's range
// are taken modulo it, and 0 becomes 1, so that the state never holds a
// value the generator cannot leave.
void random_reseed(generator &g, int64_t n)
{
    int64_t seed = (n < 0 ? -n : n) % random_modulus;
    if (seed == 0) seed = 1;
    g.state = static_cast<int32_t>(-seed);
    g.last = 0;
}

// Seed n, or with n 0 a seed from the tick count, distinct from every clock
// seed handed out before.
void random_seed_object(random_object *x, long n)
{
    const int32_t seed = wrap32(n);
    if (seed != 0) {
        random_reseed(x->g, seed);
        return;
    }
    auto tick = static_cast<int32_t>(static_cast<uint32_t>(toolbox::TickCount()));
    if (tick <= g_last_clock_seed) tick = g_last_clock_seed == INT32_MAX ? 1 : g_last_clock_seed + 1;
    g_last_clock_seed = tick;
    generator scratch{};
    random_reseed(scratch, tick);
    random_draw(scratch);
    x->g.state = -scratch.state;
    x->g.last = 0;
}

void *random_bang(random_object *x)
{
    const int64_t draw = random_draw(x->g);
    const int64_t range = x->range;
    const int64_t result = range >= 32767 ? draw % range : (range * (draw % 32767)) >> 15;
    outlet_int(x->out, static_cast<long>(result));
    return nullptr;
}

void *random_in1(random_object *x, long n)
{
    const int32_t range = wrap32(n);
    x->range = range > 1 ? range : 1;
    return nullptr;
}

void *random_seed_method(random_object *x, long n)
{
    random_seed_object(x, n);
    return nullptr;
}

void *random_new(long range, long seed);

bool random_class_setup()
{
    return define_builder_class(&g_random_class, "random", as_method(&random_new), nullptr, sizeof(random_object),
                                {ATYPE_DEFLONG, ATYPE_DEFLONG}, [] {
                                    addbang(as_method(&random_bang));
                                    addinx(as_method(&random_in1), 1);
                                    addmess(as_method(&random_seed_method), "seed", ATYPE_DEFLONG, 0);
                                });
}

void *random_new(long range, long seed)
{
    if (!random_class_setup()) return nullptr;
    auto *x = static_cast<random_object *>(newobject(g_random_class));
    if (!x) return nullptr;
    const int32_t r = wrap32(range);
    x->range = r > 0 ? r : 1;
    x->g = generator{};
    random_seed_object(x, seed);
    intin(x, 1);
    x->out = intout(x);
    return x;
}

}  // namespace

int32_t random_next(random_generator &g) { return random_draw(g); }

bool arith_init()
{
    bool ok = creation_provide("i", as_method(&int_new)) && creation_provide("int", as_method(&int_new)) &&
              creation_provide("f", as_method(&float_new)) && creation_provide("float", as_method(&float_new)) &&
              creation_provide("abs", as_method(&abs_new)) && creation_provide("random", as_method(&random_new));
    for (operator_class &k : g_operators) {
        k.sym = gensym(k.name);
        ok = creation_provide(k.name, as_method(&binop_new)) && ok;
    }
    // The constructors are in `#N` first, so that finishing each class finds
    // its constructor entry there and makes it a box class.
    for (operator_class &k : g_operators)
        if (!k.int_table) k.build(k);
    for (const operator_class &k : g_operators)
        if (!k.int_table || (k.has_float && !k.float_table)) return false;
    return ok;
}

}  // namespace kel
