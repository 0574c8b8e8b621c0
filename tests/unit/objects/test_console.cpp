// The print class: one console line per message, "label: message".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"

namespace {

using kel::test::console_capture;
using strings = std::vector<std::string>;

using kel::test::F;
using kel::test::L;
using kel::test::S;

TEST(Print, EachMessageIsOneLine)
{
    const struct {
        std::vector<atom> label;
        const char *selector;
        std::vector<atom> args;
        const char *line;
    } cases[] = {
        {{}, "bang", {}, "print: bang"},
        {{}, "int", {L(-5)}, "print: -5"},
        {{}, "float", {F(2.5)}, "print: 2.500000"},
        {{}, "list", {L(1), F(2.5), S("x")}, "print: 1 2.50 x"},
        {{}, "foo", {L(1), L(2)}, "print: foo 1 2"},
        {{}, "foo", {}, "print: foo "},
        {{}, "symbol", {S("word")}, "print: symbol word"},
        {{L(5)}, "bang", {}, "5: bang"},
        {{F(1.5)}, "int", {L(3)}, "1.50: 3"},
        {{S("label"), L(9)}, "bang", {}, "label: bang"},
        {{S("%s%n")}, "bang", {}, "%s%n: bang"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        auto *x = static_cast<object *>(
            newinstance(gensym("print"), static_cast<long>(c.label.size()), const_cast<atom *>(c.label.data())));
        ASSERT_NE(x, nullptr);
        console_capture console;
        typedmess(x, gensym(c.selector), static_cast<long>(c.args.size()), const_cast<atom *>(c.args.data()));
        EXPECT_EQ(console.lines(), strings{c.line});
        freeobject(x);
    }
}

TEST(Print, ANameTypedWithCapitalsFindsItOnceMade)
{
    auto *x = static_cast<object *>(newinstance(gensym("print"), 0, nullptr));
    ASSERT_NE(x, nullptr);
    freeobject(x);
    console_capture console;
    atom label = S("up");
    auto *y = static_cast<object *>(newinstance(gensym("Print"), 1, &label));
    ASSERT_NE(y, nullptr);
    typedmess(y, gensym("bang"), 0, nullptr);
    EXPECT_EQ(console.lines(), strings{"up: bang"});
    freeobject(y);
}

}  // namespace
