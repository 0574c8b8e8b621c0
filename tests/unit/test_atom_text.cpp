// The text form of atoms: the tokeniser (readatom), the printer with its
// float trimming and symbol escaping, the box-text rule and atoms_totext.
// The printer and the tokeniser must be inverse: every case that prints a
// symbol also reads the printed text back.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <string>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/text/atom_text.h"

namespace {

using kel::test::console_capture;
using kel::test::describe;
using kel::test::F;
using kel::test::L;
using kel::test::S;
using kel::test::strings;
using kel::test::warning_line;

// One atom as a short string: "L:1", "F:2.5", "S:foo", ";", ",", "$1",
// "D:1x" (a $ symbol), "O:class".

// Every atom of text, through the kernel's tokeniser.
std::vector<atom> read_all(const std::string &text)
{
    std::vector<atom> atoms;
    char token[kel::token_buffer_size];
    long position = 0;
    atom a;
    while (kel::atomtext_read(text.data(), static_cast<long>(text.size()), &position, token, &a)) atoms.push_back(a);
    return atoms;
}

strings describe_all(const std::vector<atom> &atoms)
{
    strings out;
    for (const atom &a : atoms) out.push_back(describe(a));
    return out;
}

strings parse(const std::string &text) { return describe_all(read_all(text)); }

std::string print(const atom &a)
{
    char text[kel::atom_text_max];
    long n = kel::atomtext_print(&a, text);
    return std::string(text, static_cast<size_t>(n));
}

atom typed(short type, const char *name)
{
    atom a;
    a.type = type;
    a.word.w_sym = gensym(name);
    return a;
}
atom dollar(long n)
{
    atom a;
    a.type = ATYPE_DOLLAR;
    a.word.w_long = static_cast<atom_long>(n);
    return a;
}
atom plain(short type)
{
    atom a;
    a.type = type;
    std::memset(&a.word, 0, sizeof a.word);
    return a;
}

// --- the tokeniser ---

TEST(AtomTextRead, TokensAndTheirTypes)
{
    struct Case {
        std::string text;
        strings atoms;
    };
    const std::string huge = std::string(1, '1').append(50, '0').append(".");
    const std::string tiny = std::string("0.").append(60, '0').append("1");
    const Case cases[] = {
        // numbers
        {"1 2.5 foo", {"L:1", "F:2.5", "S:foo"}},
        {"0x1F", {"L:31"}},
        {"0xff 0xAb", {"L:255", "L:171"}},
        {"-5", {"L:-5"}},
        {"-0", {"L:0"}},
        {".5 5. -.25", {"F:0.5", "F:5", "F:-0.25"}},
        {"-.", {"F:0"}},
        {"0x1.8", {"F:1.5"}},
        {"-0x1F", {"S:-0x1F"}},
        {"0X1F", {"S:0X1F"}},
        {"0x", {"S:0x"}},
        {"1e5", {"S:1e5"}},
        {"+3", {"S:+3"}},
        {"1.2.3", {"S:1.2.3"}},
        {".", {"S:."}},
        {"-", {"S:-"}},
        {"--5", {"S:--5"}},
        {"5-", {"S:5-"}},
        // integers within 32 bits read exactly; beyond, the nearest limit
        // (hexadecimal: all bits set)
        {"2147483647 -2147483648 -0", {"L:2147483647", "L:-2147483648", "L:0"}},
        {"2147483648 4294967296", {"L:2147483647", "L:2147483647"}},
        {"-2147483649 -99999999999999999999", {"L:-2147483648", "L:-2147483648"}},
        {"0xFFFFFFFF 0x80000000 0x100000001", {"L:-1", "L:-2147483648", "L:-1"}},
        {"00000000000000000000000000042 -0000000000000000000000000007", {"L:42", "L:-7"}},
        // floats beyond the range saturate; below it they are 0
        {huge, {"F:3.40282e+38"}},
        {"-" + huge, {"F:-3.40282e+38"}},
        {tiny, {"F:0"}},
        // separators
        {"a;b", {"S:a", ";", "S:b"}},
        {"a, b ;c", {"S:a", ",", "S:b", ";", "S:c"}},
        {";;,", {";", ";", ","}},
        // escapes
        {"a\\;b", {"S:a;b"}},
        {"a\\ b", {"S:a b"}},
        {"\\\\", {"S:\\"}},
        {"ab\\", {"S:ab"}},
        {"\\12 \\-5 1\\.5 \\0x1F", {"S:12", "S:-5", "S:1.5", "S:0x1F"}},
        // quotes
        {"\"hello world\"", {"S:hello world"}},
        {"\"hello\"", {"S:\"hello\""}},
        {"a\"b c\"d", {"S:ab cd"}},
        {"\"a;b\" c", {"S:a", ";", "S:b c"}},
        {"\";x", {"S: ", ";", "S:x"}},
        {"\"a\\\"b\"", {"S:\"a\"b\""}},
        {"\"\"", {"S:"}},
        {"\"\"x \"\"\"\"", {"S:\"\"x", "S:\"\"\"\""}},
        {"\"a b", {"S:a b"}},
        {"\"", {"S:"}},
        {"\"1 2\"", {"S:1 2"}},
        // dollars
        {"$1", {"$1"}},
        {"$0 $9", {"$0", "$9"}},
        {"$1x", {"D:1x"}},
        {"$10", {"D:10"}},
        {"$1-x $1.5", {"D:1-x", "D:1.5"}},
        {"$12", {"S:$12"}},
        {"$05", {"S:$05"}},
        {"\\$1", {"S:$1"}},
        {"$", {"S:$"}},
        {"$a", {"S:$a"}},
        {"x$1", {"S:x$1"}},
        {"$1;", {"$1", ";"}},
        // whitespace of every kind
        {" \t\r\n\v\fa\t\tb\r\n", {"S:a", "S:b"}},
        {"", {}},
        {" \t\n", {}},
        // a NUL byte ends the token's text
        {std::string("ab\0cd ef", 8), {"S:ab", "S:ef"}},
        {std::string("$1\0x", 4), {"$1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse(c.text), c.atoms);
    }
}

// An integer out of range is reported once, by its text and the value it
// reads as; one within range is read silently.
TEST(AtomTextRead, OutOfRangeIntegersAreReportedOnce)
{
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"99999999999999999999", {warning_line("99999999999999999999: out of range, read as 2147483647")}},
        {"-2147483649", {warning_line("-2147483649: out of range, read as -2147483648")}},
        {"0x123456789", {warning_line("0x123456789: out of range, read as -1")}},
        {"2147483647 -2147483648 0xFFFFFFFF 1.5 99x", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        console_capture console;
        read_all(c.text);
        EXPECT_EQ(console.lines(), c.lines);
    }
}

TEST(AtomTextRead, PositionAndToken)
{
    std::string text = "  foo\\;bar ; \"a b\"  ";
    char token[kel::token_buffer_size];
    atom a;
    long position = 0;
    long size = static_cast<long>(text.size());
    ASSERT_TRUE(kel::atomtext_read(text.data(), size, &position, token, &a));
    EXPECT_STREQ(token, "foo;bar");
    EXPECT_EQ(position, 10);
    ASSERT_TRUE(kel::atomtext_read(text.data(), size, &position, token, &a));
    EXPECT_STREQ(token, ";");
    EXPECT_EQ(position, 12);
    ASSERT_TRUE(kel::atomtext_read(text.data(), size, &position, token, &a));
    EXPECT_STREQ(token, "a b");
    EXPECT_EQ(position, 18);
    EXPECT_FALSE(kel::atomtext_read(text.data(), size, &position, token, &a));
    EXPECT_STREQ(token, "");
    EXPECT_EQ(position, size);
}

TEST(AtomTextRead, LongTokensAreCutAtTheLimit)
{
    struct Case {
        const char *name;
        std::string text;
        long first_length;
        std::string second_token;
    };
    std::string letters(5000, 'a');
    std::string escaped;  // 5000 escaped characters: each counts once
    for (int i = 0; i < 5000; i++) escaped += "\\b";
    std::string quoted_blank = std::string(1, '"').append(4092, 'c').append(" d\"");  // its quotes are dropped
    std::string quoted_word = std::string(1, '"').append(4094, 'e').append("\"");     // its quotes do not fit
    const Case cases[] = {
        {"letters", letters, 4095, std::string(905, 'a')},
        {"escaped characters", escaped, 4095, std::string(905, 'b')},
        {"a quoted run with a blank", quoted_blank, 4094, ""},
        {"a quoted word whose quotes do not fit", quoted_word, 4094, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char token[kel::token_buffer_size];
        atom a;
        long position = 0;
        long size = static_cast<long>(c.text.size());
        ASSERT_TRUE(kel::atomtext_read(c.text.data(), size, &position, token, &a));
        EXPECT_EQ(static_cast<long>(std::strlen(token)), c.first_length);
        if (c.second_token.empty()) {
            EXPECT_FALSE(kel::atomtext_read(c.text.data(), size, &position, token, &a));
        } else {
            ASSERT_TRUE(kel::atomtext_read(c.text.data(), size, &position, token, &a));
            EXPECT_EQ(std::string(token), c.second_token);
        }
    }
}

TEST(AtomTextRead, ReadatomReadsAHandleUpToSize)
{
    const char text[] = "12 foo bar";
    kel_handle h = sysmem_newhandle(sizeof text - 1);
    std::memcpy(*h, text, sizeof text - 1);
    char token[KEL_TOKEN_SIZE];
    atom a;
    long position = 0;
    EXPECT_EQ(readatom(token, h, &position, 6, &a), 1);
    EXPECT_EQ(describe(a), "L:12");
    EXPECT_EQ(readatom(token, h, &position, 6, &a), 1);
    EXPECT_EQ(describe(a), "S:foo");
    EXPECT_EQ(readatom(token, h, &position, 6, &a), 0);
    // A size beyond the handle stops at its end.
    EXPECT_EQ(readatom(token, h, &position, 1000, &a), 1);
    EXPECT_EQ(describe(a), "S:bar");
    EXPECT_EQ(readatom(token, h, &position, 1000, &a), 0);
    sysmem_freehandle(h);
}

// --- printing ---

TEST(AtomTextPrint, FloatsAreTrimmed)
{
    struct Case {
        double value;
        const char *text;
    };
    const Case cases[] = {
        {1.0, "1."},
        {0.5, "0.5"},
        {0.0, "0."},
        {-0.5, "-0.5"},
        {100.0, "100."},
        {2.999999, "3."},
        {-2.999999, "-3."},
        {9.999999, "10."},
        {1.999999, "1.999999"},
        {2.599998, "2.6"},
        {-2.599998, "-2.6"},
        {2.259996, "2.26"},
        {2052.369873, "2052.37"},
        {270.699005, "270.7"},
        {2052.37, "2052.370117"},
        {2.000001, "2."},
        {2.050001, "2.05"},
        {3.100001, "3.1"},
        {2.05, "2.05"},
        {0.1, "0.1"},
        {1e10, "10000000000."},
        {FLT_MAX, "340282346638528859811704183484516925440."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        char text[64];
        long n = kel::atomtext_float(static_cast<float>(c.value), text);
        EXPECT_EQ(std::string(text, static_cast<size_t>(n)), c.text);
    }
}

TEST(AtomTextPrint, SymbolsPrintSoThatTheyReadBack)
{
    struct Case {
        const char *name;
        const char *text;
    };
    const Case cases[] = {
        {"foo", "foo"},
        {"a b", "\"a b\""},
        {"tab\there", "\"tab\there\""},
        {"$1", "\\$1"},
        {"$0x", "\\$0x"},
        {"$12", "\\$12"},
        {"$", "$"},
        {"x;y", "x\\;y"},
        {",", "\\,"},
        {"a\\b", "a\\\\b"},
        {"12", "\\12"},
        {"-5", "\\-5"},
        {"1.5", "\\1.5"},
        {"0x1F", "\\0x1F"},
        {"-.", "\\-."},
        {"-", "-"},
        {".", "."},
        {"1e5", "1e5"},
        {"", "\"\""},
        {"\"hello\"", "\"hello\""},
        {"\"\"", "\\\"\\\""},
        {"a\"b", "a\\\"b"},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a; b", "\"a\\; b\""},
        {"$1 x", "\"\\$1 x\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        atom a = S(c.name);
        EXPECT_EQ(print(a), c.text);
        EXPECT_EQ(parse(c.text), strings{describe(a)});
    }
}

TEST(AtomTextPrint, OtherAtoms)
{
    struct Case {
        atom a;
        const char *text;
    };
    const Case cases[] = {
        {L(-7), "-7"},
        {plain(ATYPE_SEMI), ";\r\n"},
        {plain(ATYPE_COMMA), ","},
        {dollar(3), "$3"},
        {typed(ATYPE_DOLLSYM, "1x"), "$1x"},
        {typed(ATYPE_DOLLSYM, "1 x;"), "$1\\ x\\;"},
        {plain(ATYPE_GIMME), "???"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(print(c.a), c.text);
    }
    // $ symbols read back as themselves, whatever their characters.
    for (const char *name : {"1x", "1 x;", "0-x", "1\"q\"", "10", "1\\"}) {
        SCOPED_TRACE(name);
        atom a = typed(ATYPE_DOLLSYM, name);
        EXPECT_EQ(parse(print(a)), strings{describe(a)});
    }
}

TEST(AtomTextPrint, ObjectsPrintTheirClassName)
{
    static kel_class *c = [] {
        kel_class *made = class_new("textprobe", nullptr, nullptr, sizeof(object), nullptr, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    void *o = object_alloc(c);
    atom a;
    atom_setobj(&a, o);
    EXPECT_EQ(print(a), "(textprobe)");
    freeobject(o);
}

// Lists the tokeniser produces print to text that reads back to the same
// atoms (floats: to the same text).
TEST(AtomTextPrint, ParsedAtomsSurviveARoundTrip)
{
    const char *texts[] = {
        "1 2.5 foo; bar, baz",
        "\\12 \\-5 \"a b\" \"hello\" \"\" \"a\\\"b\"",
        "$1 $0 $1x $10 \\$1 $12",
        "\";x \"\" a\\;b c\\,d e\\\\f",
        "2.999999 2.599998 2.259996 2.000001 1.999999 -2.999999 16.000001 123.456",
        "0x1F -. . - 1e5 +3 1.2.3 -0x1F",
        "\"tab\there\" \"line\nfeed\"",
        "\"$1 x\" $1\" \"",
    };
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        std::vector<atom> first = read_all(text);
        std::string printed;
        short previous = ATYPE_NOTHING;
        for (const atom &a : first) {
            if (kel::atomtext_blank_between(previous, a.type)) printed += ' ';
            printed += print(a);
            previous = a.type;
        }
        std::vector<atom> second = read_all(printed);
        ASSERT_EQ(second.size(), first.size()) << printed;
        for (size_t i = 0; i < first.size(); i++) {
            if (first[i].type == ATYPE_FLOAT && second[i].type == ATYPE_FLOAT)
                EXPECT_EQ(print(second[i]), print(first[i]));
            else
                EXPECT_EQ(describe(second[i]), describe(first[i])) << printed;
        }
    }
}

// --- the box-text rule ---

TEST(AtomTextBox, SymbolsOfBoxText)
{
    struct Case {
        const char *name;
        std::string result;
    };
    const Case cases[] = {
        {";", ";"},      {";foo", ";"},      {",x", ","},           {"$1", "$1"},     {"$9", "$9"},
        {"$1x", "D:1x"}, {"$10", "D:10"},    {"$1a\\;b", "D:1a;b"}, {"$12", "S:$12"}, {"$0", "S:$0"},
        {"$", "S:$"},    {"a\\;b", "S:a;b"}, {"a\\\\b", "S:a\\b"},  {"x\\", "S:x"},   {"plain", "S:plain"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        atom a = S(c.name);
        short type = kel::atomtext_box_type(&a);
        kel::atomtext_box_convert(&a);
        EXPECT_EQ(describe(a), c.result);
        EXPECT_EQ(type, a.type);
    }
    // Other atoms are left alone.
    for (atom a : {L(3), F(1.5), dollar(2), typed(ATYPE_DOLLSYM, "1x")}) {
        atom before = a;
        kel::atomtext_box_convert(&a);
        EXPECT_EQ(describe(a), describe(before));
    }
}

// --- atoms_totext ---

TEST(AtomTextPlain, AtomsToText)
{
    struct Case {
        const char *name;
        std::vector<atom> atoms;
        const char *text;
    };
    const Case cases[] = {
        {"empty", {}, ""},
        {"numbers", {L(1), F(2.5)}, "1 2.500000"},
        {"symbols unescaped", {S("a b"), S("x;y")}, "a b x;y"},
        {"dollars", {dollar(1), typed(ATYPE_DOLLSYM, "2x")}, "$1 $2x"},
        {"separators write nothing", {S("a"), plain(ATYPE_SEMI), S("b"), plain(ATYPE_COMMA)}, "a b"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char text[256];
        std::memset(text, 'x', sizeof text);
        long n = static_cast<long>(c.atoms.size());
        atoms_totext(text, n, c.atoms.data());
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(atoms_totext_bounded(text, sizeof text, n, c.atoms.data()), static_cast<long>(std::strlen(c.text)));
        EXPECT_STREQ(text, c.text);
    }
}

TEST(AtomTextPlain, BoundedTextIsCutAndTerminated)
{
    atom atoms[] = {S("hello"), S("world")};
    char text[8];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(atoms_totext_bounded(text, sizeof text, 2, atoms), 11);
    EXPECT_STREQ(text, "hello w");
    EXPECT_EQ(atoms_totext_bounded(text, 1, 2, atoms), 11);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(atoms_totext_bounded(nullptr, 0, 2, atoms), 11);
}

}  // namespace
