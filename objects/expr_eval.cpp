// Expression evaluator. The compiled program is postfix: a loop over its
// steps keeps operands on a fixed stack, left operand first, so it meets
// operands, posts and side effects (store, random, checksum) in the order of
// a recursive walk over the prefix nodes, which is kept as the reference.
// Both share every operation below. Integers wrap at 32 bits through
// unsigned arithmetic, so no operation is undefined; float-to-int
// conversions saturate (float_to_long). An error is posted and the
// evaluation abandoned; the caller then sends nothing.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "objects/arith.h"
#include "objects/expr.h"
#include "objects/expr_ops.h"
#include "objects/objects.h"
#include "objects/table.h"

namespace kel {
namespace {

using value = expr_value;

value int_of(int32_t n)
{
    value v;
    v.type = value::int_value;
    v.i = n;
    return v;
}

value float_of(double f)
{
    value v;
    v.type = value::float_value;
    v.f = static_cast<float>(f);
    return v;
}

value symbol_of(symbol *s)
{
    value v;
    v.type = value::symbol_value;
    v.s = s;
    return v;
}

// A symbol takes part in arithmetic as its identity.
int32_t as_int(const value &v)
{
    switch (v.type) {
    case value::float_value:
        return float_to_long(v.f);
    case value::symbol_value:
        return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v.s)));
    default:
        return v.i;
    }
}

double as_double(const value &v) { return v.type == value::float_value ? static_cast<double>(v.f) : as_int(v); }

bool is_float(const value &v) { return v.type == value::float_value; }

int32_t wrap_add(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t wrap_sub(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
int32_t wrap_mul(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
int32_t wrap_neg(int32_t a) { return static_cast<int32_t>(0u - static_cast<uint32_t>(a)); }

// Quotient and remainder of a non-zero divisor; the most negative integer
// divided by -1 wraps to itself, with remainder 0.
int32_t int_div(int32_t l, int32_t r) { return r == -1 ? wrap_neg(l) : l / r; }
int32_t int_mod(int32_t l, int32_t r) { return r == -1 ? 0 : l % r; }

random_generator g_random{};

struct walker {
    const expr_program *p;
    int pos;
};

bool eval(walker &w, value &out);

table_record *table_named(symbol *name)
{
    table_record *t = table_find(name);
    if (!t) post("no such table '%s'", name->name);
    return t;
}

// The table a table function's first argument names; at is the function's
// node.
bool table_of_argument(int at, const value &v, table_record **t)
{
    if (v.type != value::symbol_value) {
        post("ex_eval(%d): bad left type %ld", at, static_cast<long>(v.type));
        return false;
    }
    *t = table_named(v.s);
    return *t != nullptr;
}

bool table_argument(walker &w, int at, table_record **t)
{
    value v;
    if (!eval(w, v)) return false;
    return table_of_argument(at, v, t);
}

[[gnu::noinline]] bool table_read(symbol *name, const value &index, value &out)
{
    table_record *t = table_named(name);
    if (!t) {
        out = int_of(0);
        return true;
    }
    const long size = table_size(t);
    if (index.type == value::int_value) {
        if (index.i == -1) {
            out = symbol_of(name);
            return true;
        }
        if (size <= 0) {
            out = int_of(0);
            return true;
        }
        long i = index.i % size;
        if (i < 0) i += size;
        out = int_of(table_get(t, i));
        return true;
    }
    if (index.type == value::float_value) {
        if (size <= 0) {
            out = int_of(0);
            return true;
        }
        // An index that is no number, or infinite, reads entry 0; the
        // remainder is kept inside 0 .. size - 1 also where adding the size
        // to a tiny negative one rounds up to the size.
        const double x = std::isfinite(index.f) ? index.f : 0.0;
        const double whole = std::floor(x);
        double m = std::fmod(whole, static_cast<double>(size));
        if (m < 0) m += static_cast<double>(size);
        if (!(m >= 0 && m < static_cast<double>(size))) m = 0;
        const long i = static_cast<long>(m);
        const double fraction = x - whole;
        double result = table_get(t, i);
        if (i + 1 < size && fraction != 0.0) result += fraction * (static_cast<double>(table_get(t, i + 1)) - result);
        out = int_of(float_to_long(result));
        return true;
    }
    post("bad argument for table '%s'", name->name);
    return false;
}

// Entries lo <= i < hi with the range rules of Sum and Avg.
int64_t table_range_sum(table_record *t, int32_t lo, int32_t hi, long *count)
{
    const long size = table_size(t);
    long from = lo < 0 ? 0 : lo;
    long to = hi == -1 || hi > size ? size : hi;
    int64_t sum = 0;
    for (long i = from; i < to; i++) sum += table_get(t, i);
    *count = to > from ? to - from : 0;
    return sum;
}

int32_t factorial(int32_t n)
{
    if (n <= 0 || n >= 34) return 0;  // from 34 on the product has 32 factors of two
    uint32_t product = 1;
    for (int32_t k = 2; k <= n; k++) product *= static_cast<uint32_t>(k);
    return static_cast<int32_t>(product);
}

int32_t checksum_of(int32_t a, int32_t b, int32_t c)
{
    object *to = bound_object(gensym("__sxformat__"));
    if (!to || !zgetfn(to, gensym("checksum"))) {
        post("checksum: no current object");
        return 0;
    }
    atom args[3];
    atom_setlong(&args[0], a);
    atom_setlong(&args[1], b);
    atom_setlong(&args[2], c);
    void *answer = typedmess(to, gensym("checksum"), 3, args);
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(answer) & 0xff);
}

enum function_id : uint8_t {
    fn_min,
    fn_max,
    fn_int,
    fn_float,
    fn_pow,
    fn_sqrt,
    fn_exp,
    fn_log10,
    fn_ln,
    fn_log,
    fn_sin,
    fn_cos,
    fn_tan,
    fn_asin,
    fn_acos,
    fn_atan,
    fn_sinh,
    fn_cosh,
    fn_tanh,
    fn_atan2,
    fn_fact,
    fn_random,
    fn_abs,
    fn_size,
    fn_sum,
    fn_sum_range,
    fn_avg,
    fn_avg_range,
    fn_store,
    fn_checksum,
    fn_bitfill,
};

struct function_entry {
    const char *name;
    uint8_t arity;
};

constexpr function_entry g_functions[] = {
    {"min", 2},  {"max", 2},  {"int", 1},  {"float", 1}, {"pow", 2},   {"sqrt", 1},     {"exp", 1},     {"log10", 1},
    {"ln", 1},   {"log", 1},  {"sin", 1},  {"cos", 1},   {"tan", 1},   {"asin", 1},     {"acos", 1},    {"atan", 1},
    {"sinh", 1}, {"cosh", 1}, {"tanh", 1}, {"atan2", 2}, {"fact", 1},  {"random", 2},   {"abs", 1},     {"size", 1},
    {"sum", 1},  {"Sum", 3},  {"avg", 1},  {"Avg", 3},   {"store", 3}, {"checksum", 3}, {"bitfill", 1},
};

bool is_table_function(int id)
{
    return id == fn_size || id == fn_sum || id == fn_sum_range || id == fn_avg || id == fn_avg_range || id == fn_store;
}

// The function id of arguments a (a[0] unused for a table function, whose
// table is t). Kept out of line, like the table read, so that the
// evaluators keep a small frame.
[[gnu::noinline]] bool apply_function(int id, table_record *t, const value *a, value &out)
{
    switch (id) {
    case fn_min:
        out = as_double(a[0]) < as_double(a[1]) ? a[0] : a[1];
        break;
    case fn_max:
        out = as_double(a[0]) > as_double(a[1]) ? a[0] : a[1];
        break;
    case fn_int:
        out = int_of(as_int(a[0]));
        break;
    case fn_float:
        out = float_of(as_double(a[0]));
        break;
    case fn_pow: {
        const double r = std::pow(as_double(a[0]), as_double(a[1]));
        out = is_float(a[0]) || is_float(a[1]) ? float_of(r) : int_of(float_to_long(r));
        break;
    }
    case fn_sqrt:
        out = float_of(std::sqrt(as_double(a[0])));
        break;
    case fn_exp:
        out = float_of(std::exp(as_double(a[0])));
        break;
    case fn_log10:
        out = float_of(std::log10(as_double(a[0])));
        break;
    case fn_ln:
    case fn_log:
        out = float_of(std::log(as_double(a[0])));
        break;
    case fn_sin:
        out = float_of(std::sin(as_double(a[0])));
        break;
    case fn_cos:
        out = float_of(std::cos(as_double(a[0])));
        break;
    case fn_tan:
        out = float_of(std::tan(as_double(a[0])));
        break;
    case fn_asin:
        out = float_of(std::asin(as_double(a[0])));
        break;
    case fn_acos:
        out = float_of(std::acos(as_double(a[0])));
        break;
    case fn_atan:
        out = float_of(std::atan(as_double(a[0])));
        break;
    case fn_sinh:
        out = float_of(std::sinh(as_double(a[0])));
        break;
    case fn_cosh:
        out = float_of(std::cosh(as_double(a[0])));
        break;
    case fn_tanh:
        out = float_of(std::tanh(as_double(a[0])));
        break;
    case fn_atan2:
        out = float_of(std::atan2(as_double(a[0]), as_double(a[1])));
        break;
    case fn_fact:
        out = int_of(factorial(as_int(a[0])));
        break;
    case fn_random: {
        const int32_t lo = static_cast<int16_t>(as_int(a[0]));
        const int32_t hi = static_cast<int16_t>(as_int(a[1]));
        const int32_t r = random_next(g_random) & 0x7fff;
        out = int_of(lo + (((hi - lo) * r) >> 15));
        break;
    }
    case fn_abs:
        if (is_float(a[0]))
            out = float_of(std::fabs(a[0].f));
        else {
            const int32_t n = as_int(a[0]);
            out = int_of(n < 0 ? wrap_neg(n) : n);
        }
        break;
    case fn_size:
        out = int_of(static_cast<int32_t>(table_size(t)));
        break;
    case fn_sum:
    case fn_avg: {
        long count;
        const int64_t sum = table_range_sum(t, 0, -1, &count);
        out = int_of(static_cast<int32_t>(static_cast<uint64_t>(id == fn_sum ? sum : (count ? sum / count : 0))));
        break;
    }
    case fn_sum_range:
    case fn_avg_range: {
        long count;
        const int64_t sum = table_range_sum(t, as_int(a[1]), as_int(a[2]), &count);
        const int64_t r = id == fn_sum_range ? sum : (count ? sum / count : 0);
        out = int_of(static_cast<int32_t>(static_cast<uint64_t>(r)));
        break;
    }
    case fn_store: {
        const long size = table_size(t);
        const int32_t i = as_int(a[1]);
        const int32_t v = as_int(a[2]);
        if (size > 0) table_set(t, i < 0 ? 0 : i % size, v);
        out = int_of(v);
        break;
    }
    case fn_checksum:
        out = int_of(checksum_of(as_int(a[0]), as_int(a[1]), as_int(a[2])));
        break;
    case fn_bitfill:
        out = int_of(as_int(a[0]) & 1 ? 127 : 0);
        break;
    default:
        return false;
    }
    return true;
}

// Kept out of line, like the table read, so that the recursive walk keeps a
// small frame.
[[gnu::noinline]] bool eval_function(walker &w, int at, int id, value &out)
{
    table_record *t = nullptr;
    const bool table_first = is_table_function(id);
    if (table_first && !table_argument(w, at, &t)) return false;
    value a[3];
    for (int k = table_first ? 1 : 0; k < g_functions[id].arity; k++)
        if (!eval(w, a[k])) return false;
    return apply_function(id, t, a, out);
}

value eval_unary(uint8_t op, const value &l)
{
    switch (op) {
    case op_neg:
        return is_float(l) ? float_of(-l.f) : int_of(wrap_neg(as_int(l)));
    case op_bnot:
        return int_of(~as_int(l));
    default:
        return int_of(as_double(l) == 0.0 ? 1 : 0);
    }
}

// Out of line: the walk and the program run this same code, so that even a
// NaN's sign, which depends on the order the machine adds in, agrees.
[[gnu::noinline]] bool eval_binary(int at, uint8_t op, const value &l, const value &r, value &out)
{
    const bool any_float = is_float(l) || is_float(r);
    switch (op) {
    case op_add:
        out = any_float ? float_of(as_double(l) + as_double(r)) : int_of(wrap_add(as_int(l), as_int(r)));
        break;
    case op_sub:
        out = any_float ? float_of(as_double(l) - as_double(r)) : int_of(wrap_sub(as_int(l), as_int(r)));
        break;
    case op_mul:
        out = any_float ? float_of(static_cast<float>(as_double(l)) * static_cast<float>(as_double(r)))
                        : int_of(wrap_mul(as_int(l), as_int(r)));
        break;
    case op_div: {
        const bool zero = as_double(r) == 0.0;
        if (zero && !is_float(l)) post("divide by zero detected");
        if (any_float)
            out = float_of(static_cast<float>(as_double(l)) / (zero ? 1.0f : static_cast<float>(as_double(r))));
        else
            out = int_of(int_div(as_int(l), zero ? 1 : as_int(r)));
        break;
    }
    case op_mod: {
        int32_t d = as_int(r);
        if (d == 0) {
            post("divide by zero detected");
            d = 1;
        }
        out = int_of(int_mod(as_int(l), d));
        break;
    }
    case op_eq:
    case op_ne:
    case op_gt:
    case op_ge:
    case op_lt:
    case op_le: {
        auto compare = [op](auto x, auto y) {
            return op == op_eq   ? x == y
                   : op == op_ne ? x != y
                   : op == op_gt ? x > y
                   : op == op_ge ? x >= y
                   : op == op_lt ? x < y
                                 : x <= y;
        };
        // With a float on either side the answer is a float too.
        if (any_float)
            out = float_of(compare(as_double(l), as_double(r)) ? 1.0 : 0.0);
        else
            out = int_of(compare(as_int(l), as_int(r)) ? 1 : 0);
        break;
    }
    case op_land:
        out = int_of(as_int(l) != 0 && as_int(r) != 0);
        break;
    case op_lor:
        out = int_of(as_int(l) != 0 || as_int(r) != 0);
        break;
    case op_band:
        out = int_of(as_int(l) & as_int(r));
        break;
    case op_bor:
        out = int_of(as_int(l) | as_int(r));
        break;
    case op_bxor:
        out = int_of(as_int(l) ^ as_int(r));
        break;
    case op_shl:
        out =
            int_of(static_cast<int32_t>(static_cast<uint32_t>(as_int(l)) << (static_cast<uint32_t>(as_int(r)) & 31u)));
        break;
    case op_shr:
        out = int_of(as_int(l) >> (static_cast<uint32_t>(as_int(r)) & 31u));
        break;
    default:
        post("ex_eval(%d): bad left type %ld", at, static_cast<long>(l.type));
        return false;
    }
    return true;
}

// The value of a slot of a value kind never given a value: its kind's zero.
value slot_zero(const expr_slot &slot)
{
    if (slot.kind == expr_kind_float) return float_of(0.0);
    if (slot.kind == expr_kind_symbol) return symbol_of(gensym(""));
    return int_of(0);
}

value slot_value(const expr_slot &slot) { return slot.value.type != value::none ? slot.value : slot_zero(slot); }

// dst = src, a field of the width src's type stores. A value is often read
// right after its fields were written one by one; a whole-struct copy would
// then wait for those writes to reach memory.
inline void load(value &dst, const value &src)
{
    dst.type = src.type;
    if (src.type == value::float_value)
        dst.f = src.f;
    else if (src.type == value::symbol_value)
        dst.s = src.s;
    else
        dst.i = src.i;
}

bool eval(walker &w, value &out)
{
    const int at = w.pos;
    const expr_node &n = w.p->nodes[w.pos++];
    switch (n.type) {
    case expr_node_type::int_const:
        out = int_of(n.i);
        return true;
    case expr_node_type::float_const:
        out = float_of(n.f);
        return true;
    case expr_node_type::symbol:
        out = symbol_of(n.s);
        return true;
    case expr_node_type::inlet: {
        const expr_slot &slot = w.p->slots[n.index];
        if (slot.kind == expr_kind_none || slot.kind == expr_kind_signal) {
            post("ex_eval: inlet number not set\n");
            return false;
        }
        out = slot_value(slot);
        return true;
    }
    case expr_node_type::table: {
        value index;
        return eval(w, index) && table_read(n.s, index, out);
    }
    case expr_node_type::function:
        return eval_function(w, at, n.index, out);
    case expr_node_type::op: {
        value l;
        if (!eval(w, l)) return false;
        if (op_is_unary(static_cast<uint8_t>(n.index))) {
            out = eval_unary(static_cast<uint8_t>(n.index), l);
            return true;
        }
        value r;
        if (!eval(w, r)) return false;
        return eval_binary(at, static_cast<uint8_t>(n.index), l, r, out);
    }
    default:
        post("ex_eval(%d): bad left type %ld", at, static_cast<long>(n.type));
        return false;
    }
}

// Each table function takes four tokens at least: name ( table ); the run
// keeps the tables of the calls under way on a stack of this size.
inline constexpr int tables_max = expr_text_max / 4 + 1;

// Writes the steps of the subexpression whose first node is at pos, in
// postfix order; false when the nodes end early, or the steps or the table
// stack would run out.
struct translator {
    expr_program *p;
    int pos;
    int out;
    int tables;  // table functions in the text
};

bool put(translator &t, const expr_step &s)
{
    if (t.out >= expr_steps_max - 1) return false;  // the last step is kept for the end
    t.p->steps[t.out++] = s;
    return true;
}

bool is_value_kind(uint8_t kind)
{
    return kind == expr_kind_int || kind == expr_kind_float || kind == expr_kind_symbol;
}

bool translate(translator &t)
{
    if (t.pos >= expr_nodes_max) return false;
    const int at = t.pos;
    const expr_node &n = t.p->nodes[t.pos++];
    expr_step s;
    s.at = static_cast<uint16_t>(at);
    switch (n.type) {
    case expr_node_type::int_const:
        s.code = expr_code::push_int;
        s.i = n.i;
        return put(t, s);
    case expr_node_type::float_const:
        s.code = expr_code::push_float;
        s.f = n.f;
        return put(t, s);
    case expr_node_type::symbol:
        s.code = expr_code::push_symbol;
        s.s = n.s;
        return put(t, s);
    case expr_node_type::inlet:
        if (n.index < expr_slots && is_value_kind(t.p->slots[n.index].kind)) {
            s.code = expr_code::push_slot;
            s.arg = static_cast<uint8_t>(n.index);
        } else {
            s.code = expr_code::bad_inlet;
        }
        return put(t, s);
    case expr_node_type::table:
        if (!translate(t)) return false;
        s.code = expr_code::table_read;
        s.s = n.s;
        return put(t, s);
    case expr_node_type::function: {
        if (n.index >= sizeof g_functions / sizeof g_functions[0]) return false;
        const int id = n.index;
        for (int k = 0; k < g_functions[id].arity; k++) {
            if (!translate(t)) return false;
            if (k == 0 && is_table_function(id)) {
                if (++t.tables > tables_max) return false;
                expr_step arg;
                arg.code = expr_code::table_arg;
                arg.at = s.at;
                if (!put(t, arg)) return false;
            }
        }
        s.code = expr_code::call;
        s.arg = static_cast<uint8_t>(id);
        return put(t, s);
    }
    case expr_node_type::op: {
        s.arg = static_cast<uint8_t>(n.index);
        if (!translate(t)) return false;
        if (op_is_unary(s.arg)) {
            s.code = expr_code::unary;
            return put(t, s);
        }
        // A constant or a slot on the right is read by the operator itself:
        // reading it has no effect that could be out of order.
        const int common = s.arg == op_add ? 0 : s.arg == op_sub ? 1 : s.arg == op_mul ? 2 : -1;
        const auto form = [common](expr_code general, expr_code first) {
            return common < 0 ? general : static_cast<expr_code>(static_cast<int>(first) + common);
        };
        const expr_node &r = t.pos < expr_nodes_max ? t.p->nodes[t.pos] : n;
        if (r.type == expr_node_type::int_const) {
            s.code = form(expr_code::binary_int, expr_code::add_int);
            s.i = r.i;
        } else if (r.type == expr_node_type::float_const) {
            s.code = expr_code::binary_float;
            s.f = r.f;
        } else if (r.type == expr_node_type::inlet && r.index < expr_slots && is_value_kind(t.p->slots[r.index].kind)) {
            s.code = form(expr_code::binary_slot, expr_code::add_slot);
            s.i = r.index;
        } else {
            if (!translate(t)) return false;
            s.code = form(expr_code::binary, expr_code::add);
            return put(t, s);
        }
        t.pos++;
        return put(t, s);
    }
    default:
        s.code = expr_code::bad_node;
        s.arg = static_cast<uint8_t>(n.type);
        return put(t, s);
    }
}

// Integer and float fast paths of the commonest operators, with the results
// of eval_binary to the bit; everything else, a NaN result included, goes
// there. out may be l.
[[gnu::always_inline]] inline bool binary(int at, uint8_t op, const value &l, const value &r, value &out)
{
    if (l.type == value::int_value && r.type == value::int_value) {
        switch (op) {
        case op_add:
            out = int_of(wrap_add(l.i, r.i));
            return true;
        case op_sub:
            out = int_of(wrap_sub(l.i, r.i));
            return true;
        case op_mul:
            out = int_of(wrap_mul(l.i, r.i));
            return true;
        default:
            break;
        }
    } else if (l.type == value::float_value && r.type == value::float_value) {
        float f = 0.0f;
        switch (op) {
        case op_add:
            f = static_cast<float>(static_cast<double>(l.f) + static_cast<double>(r.f));
            break;
        case op_sub:
            f = static_cast<float>(static_cast<double>(l.f) - static_cast<double>(r.f));
            break;
        case op_mul:
            f = l.f * r.f;
            break;
        default:
            f = std::numeric_limits<float>::quiet_NaN();
            break;
        }
        if (f == f) [[likely]] {
            out.type = value::float_value;
            out.f = f;
            return true;
        }
    }
    value v;
    if (!eval_binary(at, op, l, r, v)) return false;
    load(out, v);
    return true;
}

// The step's operator on the two values on top of the stack.
[[gnu::always_inline]] inline bool on_stack(const expr_step *s, uint8_t op, value *&top)
{
    if (!binary(s->at, op, top[-1], top[0], top[-1])) return false;
    top--;
    return true;
}

// The step's operator on the value on top of the stack and slot s->i.
[[gnu::always_inline]] inline bool with_slot(const expr_program *p, const expr_step *s, uint8_t op, value *top)
{
    const expr_slot &slot = p->slots[s->i];
    if (slot.value.type != value::none) [[likely]]
        return binary(s->at, op, *top, slot.value, *top);
    return binary(s->at, op, *top, slot_zero(slot), *top);
}

// Room for the operands of any program, each pushed by a step, above an
// entry left unused, so that the arguments of a table function, which has
// no value for its table, start inside the array.
union value_stack {
    value v[expr_steps_max + 1];
    value_stack() {}
};

// Inlined into expr_evaluate, its one caller.
[[gnu::always_inline]] inline bool run(const expr_program *p, value &result)
{
    value_stack stack;  // left uninitialised: every value is written before it is read
    table_record *tables[tables_max];
    value *top = stack.v;
    table_record **table = tables;
    for (const expr_step *s = p->steps;; s++) {
        switch (s->code) {
        case expr_code::end:
            load(result, *top);
            return true;
        case expr_code::push_int:
            *++top = int_of(s->i);
            break;
        case expr_code::push_float:
            *++top = float_of(s->f);
            break;
        case expr_code::push_symbol:
            *++top = symbol_of(s->s);
            break;
        case expr_code::push_slot: {
            const expr_slot &slot = p->slots[s->arg];
            if (slot.value.type != value::none) [[likely]]
                load(*++top, slot.value);
            else
                *++top = slot_zero(slot);
            break;
        }
        case expr_code::unary:
            *top = eval_unary(s->arg, *top);
            break;
        case expr_code::binary:
            if (!on_stack(s, s->arg, top)) return false;
            break;
        case expr_code::add:
            if (!on_stack(s, op_add, top)) return false;
            break;
        case expr_code::sub:
            if (!on_stack(s, op_sub, top)) return false;
            break;
        case expr_code::mul:
            if (!on_stack(s, op_mul, top)) return false;
            break;
        case expr_code::binary_int:
            if (!binary(s->at, s->arg, *top, int_of(s->i), *top)) return false;
            break;
        case expr_code::add_int:
            if (!binary(s->at, op_add, *top, int_of(s->i), *top)) return false;
            break;
        case expr_code::sub_int:
            if (!binary(s->at, op_sub, *top, int_of(s->i), *top)) return false;
            break;
        case expr_code::mul_int:
            if (!binary(s->at, op_mul, *top, int_of(s->i), *top)) return false;
            break;
        case expr_code::binary_float:
            if (!binary(s->at, s->arg, *top, float_of(s->f), *top)) return false;
            break;
        case expr_code::binary_slot:
            if (!with_slot(p, s, s->arg, top)) return false;
            break;
        case expr_code::add_slot:
            if (!with_slot(p, s, op_add, top)) return false;
            break;
        case expr_code::sub_slot:
            if (!with_slot(p, s, op_sub, top)) return false;
            break;
        case expr_code::mul_slot:
            if (!with_slot(p, s, op_mul, top)) return false;
            break;
        case expr_code::table_read: {
            value v;
            if (!table_read(s->s, *top, v)) return false;
            load(*top, v);
            break;
        }
        case expr_code::table_arg:
            if (!table_of_argument(s->at, *top--, table)) return false;
            table++;
            break;
        case expr_code::call: {
            const int id = s->arg;
            const bool table_first = is_table_function(id);
            // The arguments in place: a table function's start one below, at
            // the entry its table's name had.
            const int count = g_functions[id].arity - (table_first ? 1 : 0);
            value *first = top + 1 - count;
            table_record *t = table_first ? *--table : nullptr;
            value v;
            if (!apply_function(id, t, table_first ? first - 1 : first, v)) return false;
            top = first;
            load(*top, v);
            break;
        }
        case expr_code::bad_inlet:
            post("ex_eval: inlet number not set\n");
            return false;
        case expr_code::bad_node:
            post("ex_eval(%d): bad left type %ld", static_cast<int>(s->at), static_cast<long>(s->arg));
            return false;
        case expr_code::walk:
        default:
            return expr_evaluate_nodes(p, &result);
        }
    }
}

}  // namespace

int expr_function_find(const char *name)
{
    for (size_t i = 0; i < sizeof g_functions / sizeof g_functions[0]; i++)
        if (std::strcmp(g_functions[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

int expr_function_arity(int index) { return g_functions[index].arity; }
const char *expr_function_name(int index) { return g_functions[index].name; }

void expr_translate(expr_program *p)
{
    p->value_slots = 0;
    for (int k = 0; k < expr_slots; k++)
        if (is_value_kind(p->slots[k].kind)) p->value_slots = static_cast<uint16_t>(p->value_slots | 1u << k);
    translator t{p, 0, 0, 0};
    if (translate(t) && t.pos < expr_nodes_max && p->nodes[t.pos].type == expr_node_type::none) {
        p->steps[t.out] = expr_step{};
        return;
    }
    p->steps[0] = expr_step{};
    p->steps[0].code = expr_code::walk;
}

bool expr_evaluate(const expr_program *p, expr_value *result) { return run(p, *result); }

bool expr_evaluate_nodes(const expr_program *p, expr_value *result)
{
    walker w{p, 0};
    value v;
    if (!eval(w, v)) return false;
    *result = v;
    return true;
}

}  // namespace kel
