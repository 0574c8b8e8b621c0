// Expressions: texts compiled with expr_new and evaluated with expr_eval,
// their results by value and type; the compile errors text for text; the
// `expr` box's inlets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "atom_support.h"
#include "box_rig.h"
#include "console_capture.h"
#include "kel/kel.h"

namespace {

using kel::test::console_capture;
using kel::test::F;
using kel::test::L;
using kel::test::S;
using strings = std::vector<std::string>;
using namespace kel::test::boxes;

// "int N", "float X" or "fail" for an expression given its inlet atoms.
std::string evaluate(const char *text, const std::vector<atom> &inputs)
{
    std::vector<atom> atoms = parse(text);
    short kinds[9];
    void *e = expr_new(static_cast<long>(atoms.size()), atoms.data(), kinds);
    if (!e) return "no expression";
    atom result;
    std::vector<atom> in = inputs;
    const long ok = expr_eval(e, static_cast<long>(in.size()), in.data(), &result);
    freeobject(e);
    if (!ok) return "fail";
    if (result.type == ATYPE_FLOAT) return "float " + float_text(result.word.w_float);
    return "int " + std::to_string(result.word.w_long);
}

TEST(Expr, ResultsByValueAndType)
{
    struct row {
        const char *text;
        std::vector<atom> in;
        const char *expected;
    };
    const row rows[] = {
        {"$i1 - $i2 - 1", {L(10), L(3)}, "int 6"},
        {"1 + 2 * 3", {}, "int 7"},
        {"-3 * 2", {}, "int -6"},
        {"7 / 2", {}, "int 3"},
        {"7 / 2.", {}, "float 3.5"},
        {"7.5 % 2", {}, "int 1"},
        {"$f1 > 1", {F(1.5)}, "float 1"},
        {"$i1 > 1", {L(2)}, "int 1"},
        {"0.5 && 1", {}, "int 0"},
        {"!0.", {}, "int 1"},
        {"~0.5", {}, "int -1"},
        {"1 << 33", {}, "int 2"},
        {"-8 >> 1", {}, "int -4"},
        {"2147483647 + 1", {}, "int -2147483648"},
        {"$i1 / -1", {L(INT32_MIN)}, "int -2147483648"},
        {"$i1 % -1", {L(INT32_MIN)}, "int 0"},
        {"$i1 * $i1", {L(65536)}, "int 0"},
        {"-$f1", {F(2.5)}, "float -2.5"},
        {"min(2, 2.)", {}, "float 2"},
        {"max(3, 2.)", {}, "int 3"},
        {"pow(2, 10)", {}, "int 1024"},
        {"pow(4, 0.5)", {}, "float 2"},
        {"int(-2.7)", {}, "int -2"},
        {"int(3e10)", {}, "int 2147483647"},
        {"fact(5)", {}, "int 120"},
        {"fact(0)", {}, "int 0"},
        {"fact(-4)", {}, "int 0"},
        {"fact(40)", {}, "int 0"},
        {"abs(-2147483648)", {}, "int -2147483648"},
        {"abs(-1.5)", {}, "float 1.5"},
        {"bitfill(5)", {}, "int 127"},
        {"atan2(0, 1)", {}, "float 0"},
        {"sqrt(9) + exp(0) + log10(10)", {}, "float 5"},
        {"random(3, 3)", {}, "int 3"},
        {"0.1", {}, "float 0.1"},
        // Inlet values copied only when their type matches the slot's.
        {"$i1 + $f2", {F(9.5), F(0.25)}, "float 0.25"},
        {"$i1 + $i2", {L(4)}, "int 4"},
    };
    for (const row &r : rows) EXPECT_EQ(evaluate(r.text, r.in), r.expected) << r.text;
}

TEST(Expr, CompileErrorsAreTextForText)
{
    struct row {
        const char *text;
        strings lines;
    };
    const row rows[] = {
        {"1 = 2", {"expr: =", "bad expression 1 = 2 "}},
        {"$x1", {"expr: syntax error $x1 ", "bad expression $x1 "}},
        {"$i0", {"expr: inlet out of range: $i0 ", "bad expression $i0 "}},
        {"$i1 + $f1", {"expr: inlets can only have one type: $f1 ", "bad expression $i1 + $f1 "}},
        {"foo(1)", {"expr: function foo not found", "bad expression foo(1) "}},
        {"foo", {"expr: bad string 'foo'", "bad expression foo "}},
        {"(1", {"expr: an open parenthesis not matched", "bad expression (1 "}},
        {"t[1", {"expr: an open bracket not matched", "bad expression t[1 "}},
        {"1)", {"expr: prenthesis or brackets not matched", "bad expression 1) "}},
        {"* 3", {"expr: not a uniary operator", "bad expression * 3 "}},
        {"3 *", {"expr: mission operand", "bad expression 3 * "}},
        {"-", {"expr: missing operand", "bad expression - "}},
        {"1 2", {"expr: missing operation", "bad expression 1 2 "}},
        {"3 ~", {"ex_paprse: unary operator should be first", "bad expression 3 ~ "}},
        {"()", {"expr: empty '()'", "bad expression () "}},
        {"t[]", {"expr: empty '[]'", "bad expression t[] "}},
        {"sin(1, 2)", {"expr: function 'sin' needs 1 arguments", "bad expression sin(1 , 2) "}},
        {"1, 2", {"expr: illegal comma", "bad expression 1 , 2 "}},
    };
    for (const row &r : rows) {
        console_capture console;
        std::vector<atom> atoms = parse(r.text);
        EXPECT_EQ(expr_new(static_cast<long>(atoms.size()), atoms.data(), nullptr), nullptr) << r.text;
        EXPECT_EQ(console.lines(), r.lines) << r.text;
    }
}

// A text of 256 characters compiles; one more character refuses the box.
TEST(Expr, TextsOverTheLimitAreRefused)
{
    for (int extra = 0; extra < 2; extra++) {
        console_capture console;
        std::vector<atom> atoms;
        for (int i = 0; i < 127; i++) atoms.push_back(i % 2 ? S("+") : L(1));
        atoms.back() = L(extra ? 1234 : 123);  // "1 + 1 + ... + 123 " is 256 characters
        object *x = static_cast<object *>(newinstance(gensym("expr"), static_cast<long>(atoms.size()), atoms.data()));
        if (extra) {
            EXPECT_EQ(x, nullptr);
            EXPECT_EQ(console.lines(), strings{"expr: args truncated"});
        } else {
            EXPECT_NE(x, nullptr);
            EXPECT_EQ(console.lines(), strings{});
        }
        if (x) freeobject(x);
    }
}

TEST(Expr, EvalRefusesAnObjectThatIsNotAnExpression)
{
    console_capture console;
    object *other = make_box("int 3");
    ASSERT_NE(other, nullptr);
    atom result;
    EXPECT_EQ(expr_eval(other, 0, nullptr, &result), 0);
    EXPECT_EQ(console.lines(), strings{"invalid object for expr_eval"});
    freeobject(other);
}

TEST(Expr, BoxInletsAndMessages)
{
    run_cases({
        {"expr $i1 + $f3", {{2, "0.5", {}}, {0, "2", {"0:float 2.5"}}, {0, "bang", {"0:float 2.5"}}}},
        {"expr $i1 * 2", {{0, "2.9", {"0:int 4"}}, {0, "1 2", {"0:int 2"}}}},
        {"expr $f1 + $i2", {{0, "1.5 2", {"0:float 3.5"}}, {1, "2.5", {}}, {0, "bang", {"0:float 3.5"}}}},
        {"expr $i1 - $i2 - 1", {{0, "10 3", {"0:int 6"}}}},
    });
}

// Texts of the box's console reports, with what is sent meanwhile.
TEST(Expr, BoxReports)
{
    struct row {
        const char *box;
        int inlet;
        const char *message;
        strings out;
        strings console;
    };
    const row rows[] = {
        {"expr $i1 + $f3", 1, "9", {}, {"expr_integer: bad type for inlet 2"}},
        {"expr $i1 + $f3", 0, "ft1 9.5", {}, {"expr_flt: bad type for inlet 2"}},
        {"expr $i1 / 0", 0, "7", {"0:int 7"}, {"divide by zero detected"}},
        {"expr $i1 % 0", 0, "7", {"0:int 0"}, {"divide by zero detected"}},
        {"expr $f1 / 0", 0, "7.5", {"0:float 7.5"}, {}},
        {"expr $i1 + 1", 0, "sm1 foo", {}, {"expr: list: bad type for inlet 2"}},
        {"expr t9[$i1]", 0, "1.5", {"0:int 0"}, {"no such table 't9'"}},
    };
    for (const row &r : rows) {
        console_capture console;
        rig x(r.box);
        ASSERT_NE(x.get(), nullptr) << r.box;
        EXPECT_EQ(x.send(r.inlet, r.message), r.out) << r.box << " <- " << r.message;
        EXPECT_EQ(console.lines(), r.console) << r.box << " <- " << r.message;
    }
    console_capture console;
    EXPECT_EQ(make_box("expr"), nullptr);
    EXPECT_EQ(console.lines(), strings{"expr: missing an expression"});
}

}  // namespace
