// Expressions: the compiled postfix program against the walk over the
// prefix nodes. For texts covering every operator, function, table access
// and evaluation error, and for random texts, both must give the same
// result to the bit, post the same lines and leave the table the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/atoms.h"
#include "objects/expr.h"
#include "objects/table.h"

namespace {

using kel::expr_program;
using kel::expr_value;
using kel::test::console_capture;

constexpr int32_t g_table_start[] = {3, -10, 20, 7};

// A table of four entries named xprt, refilled before every evaluation.
class table_fixture {
public:
    table_fixture()
    {
        atom name = kel::sym_atom(gensym("xprt"));
        box_ = static_cast<object *>(newinstance(gensym("table"), 1, &name));
        atom size = kel::int_atom(4);
        if (box_) typedmess(box_, gensym("size"), 1, &size);
    }
    ~table_fixture()
    {
        if (box_) freeobject(box_);
    }
    kel::table_record *record() const { return kel::table_find(gensym("xprt")); }
    void refill() const
    {
        for (long i = 0; i < 4; i++) kel::table_set(record(), i, g_table_start[i]);
    }
    std::vector<int32_t> contents() const
    {
        std::vector<int32_t> v;
        for (long i = 0; i < kel::table_size(record()); i++) v.push_back(kel::table_get(record(), i));
        return v;
    }

private:
    object *box_ = nullptr;
};

struct outcome {
    bool ok;
    expr_value value;
    std::vector<std::string> lines;
    std::vector<int32_t> table;
};

std::string describe(const outcome &o)
{
    std::string s = o.ok ? "" : "fail";
    if (o.ok) {
        if (o.value.type == expr_value::float_value)
            s = "float " + std::to_string(o.value.f);
        else if (o.value.type == expr_value::symbol_value)
            s = std::string("symbol ") + o.value.s->name;
        else
            s = "int " + std::to_string(o.value.i);
    }
    for (const std::string &l : o.lines) s += " | " + l;
    for (int32_t n : o.table) s += " " + std::to_string(n);
    return s;
}

bool same(const outcome &a, const outcome &b)
{
    if (a.ok != b.ok || a.lines != b.lines || a.table != b.table) return false;
    if (!a.ok) return true;
    if (a.value.type != b.value.type) return false;
    if (a.value.type == expr_value::symbol_value) return a.value.s == b.value.s;
    return std::memcmp(&a.value.i, &b.value.i, sizeof a.value.i) == 0;
}

outcome run(const table_fixture &t, const expr_program &p, bool (*evaluate)(const expr_program *, expr_value *))
{
    t.refill();
    console_capture console;
    outcome o;
    o.ok = evaluate(&p, &o.value);
    o.lines = console.lines();
    o.table = t.contents();
    return o;
}

// Slot values as an inlet or expr_eval leaves them: a slot's own type, or
// int 0 in any slot past the given arguments.
void fill_slots(expr_program &p, uint32_t seed)
{
    static const char *const names[] = {"xprt", "nosuch", "", "a"};
    for (int k = 0; k < kel::expr_slots; k++) {
        seed = seed * 1103515245u + 12345u;
        const uint32_t r = seed >> 8;
        expr_value &v = p.slots[k].value;
        v = expr_value{};
        if (r % 7 == 0) {
            v.type = expr_value::int_value;
            v.i = 0;
            continue;
        }
        switch (p.slots[k].kind) {
        case kel::expr_kind_int: {
            static const int32_t ints[] = {0, 1, -1, 2, 3, 7, -8, 31, 33, INT32_MIN, INT32_MAX, 65536};
            v.type = expr_value::int_value;
            v.i = r % 3 ? ints[r % 12] : static_cast<int32_t>(r) - (1 << 23);
            break;
        }
        case kel::expr_kind_float: {
            static const float floats[] = {0.0f, -0.0f, 0.5f, -1.5f, 2.25f, 1e30f, -1e-30f, 3e9f, 1.0f / 0.0f};
            v.type = expr_value::float_value;
            v.f = r % 3 ? floats[r % 9] : static_cast<float>(static_cast<int32_t>(r % 20001) - 10000) / 64.0f;
            break;
        }
        case kel::expr_kind_symbol:
            v.type = expr_value::symbol_value;
            v.s = gensym(names[r % 4]);
            break;
        default:
            break;
        }
    }
}

// False when text does not compile; a disagreement is a test failure.
bool expect_agreement(const table_fixture &t, const char *text, int rounds)
{
    static expr_program p;
    console_capture console;
    if (!kel::expr_compile(text, &p)) return false;
    for (int round = 0; round < rounds; round++) {
        fill_slots(p, static_cast<uint32_t>(round) * 7919u + static_cast<uint32_t>(std::strlen(text)));
        const outcome flat = run(t, p, &kel::expr_evaluate);
        const outcome walked = run(t, p, &kel::expr_evaluate_nodes);
        if (!same(flat, walked)) {
            ADD_FAILURE() << text << " round " << round << "\n  program: " << describe(flat)
                          << "\n  nodes:   " << describe(walked);
            break;
        }
    }
    return true;
}

TEST(ExprProgram, AgreesWithTheNodesOnEveryConstruct)
{
    table_fixture t;
    ASSERT_NE(t.record(), nullptr);
    const char *const texts[] = {
        "$i1 * 3 + $i2 - 1",
        "$f1 * $f2 + sin($f3)",
        "$i1 - $i2 - 1",
        "$i1 + $f2 * $i3 / $f4 - $i5 % $i6",
        "$i1 / 0",
        "$f1 / 0",
        "$i1 / $f2",
        "$i1 % $i2",
        "$f1 % 0",
        "$i1 / -1",
        "$i1 == $f2 || $i3 != 1 && $f4 >= 0.5",
        "$i1 > $i2 | $i1 < $i2 ^ $i1 <= $i2 & $f3 > $i1",
        "$i1 << $i2 >> $i3",
        "-$i1 + -$f2 + ~$f3 + !$i4 + !$f5 + -(-$i6)",
        "!$s1 + $s1 * 0",
        "$s1 + 1",
        "min($i1, $f2) + max($f3, $i4) + min($i5, $i5)",
        "int($f1) + float($i2) + pow($i3, $i4) + pow($f5, 2)",
        "sqrt($f1) + exp($f2) + log10($f3) + ln($f4) + log($f5)",
        "sin($f1) + cos($f2) + tan($f3) + asin($f4) + acos($f5) + atan($f6)",
        "sinh($f1) + cosh($f2) + tanh($f3) + atan2($f4, $i5)",
        "fact($i1) + abs($i2) + abs($f3) + bitfill($i4)",
        "checksum($i1, $i2, $i3)",
        "xprt[$i1] + xprt[$f2] + xprt[-1]",
        "xprt[$s1]",
        "nosuch[$i1] + 1",
        "size(xprt[-1]) + sum(xprt[-1]) + avg(xprt[-1])",
        "Sum(xprt[-1], $i1, $i2) + Avg(xprt[-1], $i3, $i4)",
        "size(\"xprt\") + size($s1)",
        "size($i1)",
        "sum(\"nosuch\") + store(\"xprt\", 0, 99)",
        "store(\"xprt\", 0, 99) + xprt[0]",
        "xprt[0] + store(\"xprt\", 0, 99)",
        "store(\"xprt\", $i1, $i2) * store(\"xprt\", $i3, xprt[$i1])",
        "store(\"xprt\", size(\"xprt\") - 1, 5) + Sum(\"xprt\", 0, -1)",
        "store($s1, 1 / 0, $f2) + xprt[1]",
        "$i1 / 0 + $i2 % 0 + nosuch[0] + checksum(1, 2, 3)",
        "$~1 + 1",
        "1 + $~2",
        "store(\"xprt\", 1, 5) + $~1",
        "((($i1 + 1) * ($i2 - 1)) / (($f3 + 2) - ($i4 * $i5)))",
        "-3 * 2",
        "7.5 % 2",
        "2147483647 + 1",
        "0.1",
        "$i1",
        "xprt[-1]",
    };
    for (const char *text : texts) EXPECT_TRUE(expect_agreement(t, text, 12)) << text;
}

// Random texts from the grammar of the language: nested operators of every
// precedence, functions with their arguments, table reads and writes.
class text_maker {
public:
    explicit text_maker(uint32_t seed) : seed_(seed) {}

    std::string make(int depth)
    {
        const uint32_t r = next();
        if (depth <= 0 || r % 9 < 2) return leaf();
        switch (r % 9) {
        case 2:
        case 3:
        case 4: {
            static const char *const ops[] = {
                "+", "-", "*", "/", "%", "==", "!=", ">", ">=", "<", "<=", "&&", "||", "&", "|", "^", "<<", ">>"};
            const std::string l = make(depth - 1);
            return l + " " + ops[next() % 18] + " " + make(depth - 1);
        }
        case 5: {
            static const char *const ops[] = {"-", "~", "!"};
            return std::string(ops[next() % 3]) + "(" + make(depth - 1) + ")";
        }
        case 6:
            return "(" + make(depth - 1) + ")";
        case 7:
            return "xprt[" + make(depth - 1) + "]";
        default:
            return function(depth - 1);
        }
    }

private:
    uint32_t next()
    {
        seed_ = seed_ * 1664525u + 1013904223u;
        return seed_ >> 8;
    }

    std::string leaf()
    {
        static const char *const leaves[] = {"0",   "1",   "-1",  "7",   "2147483647", "0.5", "-2.5", "1e30",
                                             "$i1", "$i2", "$f1", "$f2", "$i3",        "$f4", "$s5",  "xprt[-1]"};
        return leaves[next() % 16];
    }

    std::string function(int depth)
    {
        static const char *const unary[] = {"int", "float", "sqrt", "exp",  "ln",  "sin",    "cos",
                                            "tan", "asin",  "atan", "fact", "abs", "bitfill"};
        static const char *const binary[] = {"min", "max", "pow", "atan2"};
        switch (next() % 6) {
        case 0:
        case 1:
            return std::string(unary[next() % 13]) + "(" + make(depth) + ")";
        case 2:
            return std::string(binary[next() % 4]) + "(" + make(depth) + ", " + make(depth) + ")";
        case 3:
            return std::string(next() % 2 ? "size" : "avg") + "(\"xprt\")";
        case 4:
            return std::string(next() % 2 ? "Sum" : "Avg") + "(xprt[-1], " + make(depth) + ", " + make(depth) + ")";
        default:
            return "store(\"xprt\", " + make(depth) + ", " + make(depth) + ")";
        }
    }

    uint32_t seed_;
};

TEST(ExprProgram, AgreesWithTheNodesOnRandomTexts)
{
    table_fixture t;
    ASSERT_NE(t.record(), nullptr);
    text_maker maker(12345);
    int compiled = 0;
    for (int i = 0; i < 3000; i++) {
        const std::string text = maker.make(1 + i % 6);
        if (text.size() > 200) continue;
        if (expect_agreement(t, text.c_str(), 3)) compiled++;
        if (HasFailure()) return;
    }
    EXPECT_GT(compiled, 1000);  // most texts of the grammar compile
}

}  // namespace
