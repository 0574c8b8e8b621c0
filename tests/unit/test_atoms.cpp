// Atom setters, getters with their conversions and warnings, argument
// helpers and the printable form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"

namespace {

using kel::test::console_capture;
using kel::test::warning_line;

using kel::test::F;
using kel::test::L;
using kel::test::S;
atom T(short type)
{
    atom a;
    a.type = type;
    a.word.w_long = 0;
    return a;
}

TEST(Atoms, SettersStoreTypeAndWordOrRefuseNull)
{
    atom a;
    EXPECT_EQ(atom_setlong(&a, 5), ERR_NONE);
    EXPECT_EQ(a.type, ATYPE_LONG);
    EXPECT_EQ(a.word.w_long, 5);
    EXPECT_EQ(atom_setlong(&a, 0x100000005L), ERR_NONE);  // 32-bit, wrapping
    EXPECT_EQ(a.word.w_long, 5);
    EXPECT_EQ(atom_setfloat(&a, 0.1), ERR_NONE);
    EXPECT_EQ(a.type, ATYPE_FLOAT);
    EXPECT_EQ(a.word.w_float, 0.1f);
    EXPECT_EQ(atom_setsym(&a, gensym("s")), ERR_NONE);
    EXPECT_EQ(a.word.w_sym, gensym("s"));
    EXPECT_EQ(atom_setobj(&a, &a), ERR_NONE);
    EXPECT_EQ(a.type, ATYPE_OBJ);
    EXPECT_EQ(atom_setlong(nullptr, 1), ERR_INVALID_PTR);
    EXPECT_EQ(atom_setfloat(nullptr, 1), ERR_INVALID_PTR);
    EXPECT_EQ(atom_setsym(nullptr, nullptr), ERR_INVALID_PTR);
    EXPECT_EQ(atom_setobj(nullptr, nullptr), ERR_INVALID_PTR);
}

TEST(Atoms, GetlongConversions)
{
    struct {
        atom a;
        atom_long expected;
        const char *warned;  // the symbol named in "bad number", or null
    } const cases[] = {
        {L(-7), -7, nullptr},           {F(-2.7), -2, nullptr},   {F(2.7), 2, nullptr},
        {F(1e12), 2147483647, nullptr},  // beyond the 32-bit range: saturated, never undefined
        {S("12abc"), 12, nullptr},      {S("  -3"), -3, nullptr}, {S("+4"), 4, nullptr},
        {S("abc"), 0, "abc"},           {S(""), 0, ""},           {T(ATYPE_SEMI), 0, nullptr},
        {T(ATYPE_NOTHING), 0, nullptr},
    };
    for (const auto &c : cases) {
        console_capture console;
        EXPECT_EQ(atom_getlong(&c.a), c.expected) << atom_string(&c.a);
        std::vector<std::string> expected;
        if (c.warned) expected.push_back(warning_line(std::string(c.warned) + ": bad number"));
        EXPECT_EQ(console.lines(), expected);
    }
    EXPECT_EQ(atom_getlong(nullptr), 0);
}

TEST(Atoms, GetfloatConversions)
{
    struct {
        atom a;
        float expected;
        bool warned;
    } const cases[] = {
        {F(1.5), 1.5f, false},     {L(3), 3.0f, false},  {S("2.5x"), 2.5f, false},
        {S("1e2"), 100.0f, false}, {S("x"), 0.0f, true}, {T(ATYPE_COMMA), 0.0f, false},
    };
    for (const auto &c : cases) {
        console_capture console;
        EXPECT_EQ(atom_getfloat(&c.a), c.expected);
        EXPECT_EQ(console.lines().size(), c.warned ? 1u : 0u);
    }
}

TEST(Atoms, GetsymGetobjAndCharfix)
{
    atom s = S("name"), l = L(1);
    EXPECT_EQ(atom_getsym(&s), gensym("name"));
    EXPECT_EQ(atom_getsym(&l), gensym(""));
    EXPECT_EQ(atom_getsym(nullptr), gensym(""));
    atom o;
    atom_setobj(&o, &s);
    EXPECT_EQ(atom_getobj(&o), static_cast<void *>(&s));
    EXPECT_EQ(atom_getobj(&l), nullptr);
    EXPECT_EQ(atom_getobj(nullptr), nullptr);

    struct {
        atom a;
        long expected;
    } const charfix[] = {
        {F(0.5), 127}, {F(1.0), 255}, {F(2.0), 255}, {F(-0.5), 0},          {L(300), 255},
        {L(-5), 0},    {L(128), 128}, {S("9"), 0},   {T(ATYPE_NOTHING), 0},
    };
    for (const auto &c : charfix) EXPECT_EQ(atom_getcharfix(&c.a), c.expected) << atom_string(&c.a);
    EXPECT_EQ(atom_getcharfix(nullptr), 0);
}

TEST(Atoms, ArgumentHelpersLeaveOutAloneWhenOutOfRange)
{
    atom argv[2] = {F(2.9), S("s")};
    atom_long n = 99;
    float f = 99;
    double d = 99;
    symbol *s = nullptr;
    EXPECT_EQ(atom_arg_getlong(&n, 0, 2, argv), 0);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(atom_arg_getfloat(&f, 0, 2, argv), 0);
    EXPECT_FLOAT_EQ(f, 2.9f);
    EXPECT_EQ(atom_arg_getdouble(&d, 0, 2, argv), 0);
    EXPECT_DOUBLE_EQ(d, static_cast<double>(2.9f));
    EXPECT_EQ(atom_arg_getsym(&s, 1, 2, argv), 0);
    EXPECT_EQ(s, gensym("s"));

    n = 77;
    EXPECT_EQ(atom_arg_getlong(&n, 2, 2, argv), -1);  // i equal to argc
    EXPECT_EQ(atom_arg_getlong(&n, 0, 0, argv), -1);
    EXPECT_EQ(atom_arg_getlong(&n, 0, 2, nullptr), -1);
    EXPECT_EQ(atom_arg_getlong(&n, -1, 2, argv), -1);
    EXPECT_EQ(atom_arg_getlong(nullptr, 0, 2, argv), -1);
    EXPECT_EQ(n, 77);
}

TEST(Atoms, PrintableForm)
{
    atom dollar = T(ATYPE_DOLLAR);
    dollar.word.w_long = 3;
    atom dollsym = T(ATYPE_DOLLSYM);
    dollsym.word.w_sym = gensym("1-x");
    struct {
        atom a;
        const char *text;
    } const cases[] = {
        {T(ATYPE_NOTHING), "(end)"}, {L(-12), "-12"},       {F(2.5), "2.50"}, {F(1.0 / 3), "0.33"}, {S("word"), "word"},
        {T(ATYPE_SEMI), ";"},        {T(ATYPE_COMMA), ","}, {dollar, "$3"},   {dollsym, "$1-x"},    {T(99), "?"},
    };
    for (const auto &c : cases) EXPECT_STREQ(atom_string(&c.a), c.text);
    EXPECT_STREQ(atom_string(nullptr), "(end)");

    kel_class *c = class_new("printed_class", nullptr, nullptr, sizeof(object), nullptr, 0);
    void *x = object_alloc(c);
    atom o;
    atom_setobj(&o, x);
    EXPECT_STREQ(atom_string(&o), "printed_class");
    freeobject(x);
    class_free(c);
}

}  // namespace
