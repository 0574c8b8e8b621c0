// Message buffers: the storage layout and its growth, building from atoms and
// from text, printing, reading back and deleting with cursors, growth
// failures, and evaluation (receivers, $ arguments, errors, re-entry).
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "atom_support.h"
#include "call_log.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/text/binbuf.h"
#include "memory_pressure.h"

namespace {

using kel::test::console_capture;
using kel::test::describe;
using kel::test::error_line;
using kel::test::F;
using kel::test::L;
using kel::test::S;
using kel::test::strings;
using kel::test::warning_line;

struct buffer_deleter {
    void operator()(binbuf *x) const { freeobject(x); }
};
using buffer_ptr = std::unique_ptr<binbuf, buffer_deleter>;

struct handle_deleter {
    void operator()(char **h) const { sysmem_freehandle(h); }
};
using handle_ptr = std::unique_ptr<char *, handle_deleter>;

handle_ptr handle_of(const std::string &text)
{
    handle_ptr h(sysmem_newhandle(static_cast<long>(text.size())));
    if (!text.empty()) std::memcpy(*h, text.data(), text.size());
    return h;
}

buffer_ptr from_text(const std::string &text)
{
    buffer_ptr x(binbuf_new());
    handle_ptr h = handle_of(text);
    EXPECT_EQ(binbuf_text(x.get(), h.get(), static_cast<long>(text.size())), 0);
    return x;
}

std::string to_text(binbuf *x)
{
    handle_ptr h(sysmem_newhandle(0));
    long size = -1;
    EXPECT_EQ(binbuf_totext(x, h.get(), &size), 0);
    EXPECT_EQ(sysmem_handlesize(h.get()), size);
    return std::string(*h, static_cast<size_t>(size));
}

// Every atom, through getatom.
strings atoms_of(binbuf *x)
{
    strings out;
    long index = 0, offset = 0;
    atom a;
    while (binbuf_getatom(x, &index, &offset, &a) == 0) out.push_back(describe(a));
    EXPECT_EQ(a.type, ATYPE_NOTHING);
    return out;
}

// The storage invariants every buffer keeps.
void expect_layout(binbuf *x)
{
    const unsigned char *types = reinterpret_cast<const unsigned char *>(*x->storage);
    EXPECT_EQ(x->data_offset % 4, 0);
    EXPECT_GE(x->data_offset, x->count + 1);
    EXPECT_GE(x->data_offset, 4);
    EXPECT_GE(x->used, 4);
    EXPECT_LE(x->used, sysmem_handlesize(x->storage));
    EXPECT_EQ(types[x->count], 0) << "the type region ends in a 0 byte";
    long data = 0;
    for (long i = 0; i < x->count; i++) {
        long size = kel::binbuf_data_size(types[i]);
        ASSERT_GE(size, 0) << "atom " << i << " has type " << int(types[i]);
        data += size;
    }
    EXPECT_EQ(x->used, x->data_offset + data);
}

// --- layout and growth ---

TEST(BinbufStorage, AnEmptyBufferIsFourBytes)
{
    buffer_ptr x(binbuf_new());
    ASSERT_TRUE(x);
    EXPECT_EQ(sysmem_handlesize(x->storage), 4);
    EXPECT_EQ((*x->storage)[0], 0);
    EXPECT_EQ(x->data_offset, 4);
    EXPECT_EQ(x->count, 0);
    EXPECT_EQ(x->used, 4);
    EXPECT_EQ(object_classname(x.get()), gensym("binbuf"));
    EXPECT_EQ(class_findbyname(gensym("nobox"), gensym("binbuf")), kel::binbuf_class());
}

TEST(BinbufStorage, ValuesArePackedAfterTheTypes)
{
    buffer_ptr x(binbuf_new());
    atom argv[] = {L(-3), F(2.5), S("foo")};
    ASSERT_EQ(binbuf_insert(x.get(), nullptr, 3, argv), 0);
    // Types 1 2 3 10 and the 0 byte: 5 bytes, rounded to 8; 8 / 4 = 2
    // rounds down to no slack.
    ASSERT_EQ(x->count, 4);
    ASSERT_EQ(x->data_offset, 8);
    const char *base = *x->storage;
    EXPECT_EQ(std::vector<int>(base, base + 8),
              (std::vector<int>{ATYPE_LONG, ATYPE_FLOAT, ATYPE_SYM, ATYPE_SEMI, 0, 0, 0, 0}));
    int32_t n;
    double f;
    symbol *s;
    std::memcpy(&n, base + 8, 4);
    std::memcpy(&f, base + 12, 8);
    std::memcpy(&s, base + 20, sizeof s);
    EXPECT_EQ(n, -3);
    EXPECT_EQ(f, 2.5);
    EXPECT_EQ(s, gensym("foo"));
    EXPECT_EQ(x->used, 20 + static_cast<long>(sizeof(void *)));
    EXPECT_EQ(sysmem_handlesize(x->storage), x->used) << "inserting resizes the block exactly";
}

TEST(BinbufStorage, TypeRegionGrowsWithSlackExceptForSet)
{
    struct Case {
        const char *name;
        bool set;
        long atoms;
        long type_region;
    };
    // insert adds a semicolon: 12 atoms need 13 + 1 -> 16, plus 16 / 4 = 4.
    // set: 12 atoms need 13 -> 16 exactly.
    const Case cases[] = {
        {"insert", false, 12, 20},
        {"set", true, 12, 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        buffer_ptr x(binbuf_new());
        std::vector<atom> argv;
        for (long i = 0; i < c.atoms; i++) argv.push_back(L(i));
        if (c.set)
            binbuf_set(x.get(), nullptr, c.atoms, argv.data());
        else
            binbuf_insert(x.get(), nullptr, c.atoms, argv.data());
        EXPECT_EQ(x->data_offset, c.type_region);
        EXPECT_EQ(sysmem_handlesize(x->storage), x->used);
        expect_layout(x.get());
    }
}

TEST(BinbufStorage, ManyInsertsKeepEveryAtom)
{
    buffer_ptr x(binbuf_new());
    std::string expected;
    for (long i = 0; i < 500; i++) {
        atom argv[] = {S("item"), L(i), F(i * 0.5)};
        ASSERT_EQ(binbuf_insert(x.get(), nullptr, 3, argv), 0);
        std::string number = std::to_string(i / 2).append(i % 2 ? ".5" : ".");
        expected.append("item ").append(std::to_string(i)).append(" ").append(number).append(";\r\n");
    }
    expect_layout(x.get());
    EXPECT_EQ(x->count, 2000);
    EXPECT_EQ(to_text(x.get()), expected);
}

// --- building from atoms ---

TEST(BinbufInsert, HashSymbolsBecomeDollars)
{
    struct Case {
        const char *name;
        std::string atom;
    };
    const Case cases[] = {
        {"#1", "$1"},     {"#0", "$0"}, {"#9", "$9"},   {"#1-vol", "D:1-vol"}, {"#0x", "D:0x"},
        {"#12", "S:#12"}, {"#", "S:#"}, {"#a", "S:#a"}, {"1", "S:1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        buffer_ptr x(binbuf_new());
        atom argv[] = {S(c.name)};
        binbuf_insert(x.get(), nullptr, 1, argv);
        EXPECT_EQ(atoms_of(x.get()), (strings{c.atom, ";"}));
        EXPECT_EQ(describe(argv[0]), c.atom) << "converted in the caller's array";
    }
}

TEST(BinbufInsert, LimitsAndEmptyMessages)
{
    console_capture console;
    buffer_ptr x(binbuf_new());
    std::vector<atom> argv;
    for (long i = 0; i < 300; i++) argv.push_back(L(i));
    EXPECT_EQ(binbuf_insert(x.get(), nullptr, 300, argv.data()), 0);
    EXPECT_EQ(console.lines(), strings{warning_line("message too long")});
    EXPECT_EQ(x->count, 257);
    strings atoms = atoms_of(x.get());
    EXPECT_EQ(atoms[255], "L:255");
    EXPECT_EQ(atoms[256], ";");

    buffer_ptr empty(binbuf_new());
    binbuf_insert(empty.get(), nullptr, 0, argv.data());
    binbuf_insert(empty.get(), nullptr, -1, argv.data());
    EXPECT_EQ(empty->count, 0);
}

TEST(BinbufInsert, VinsertFormats)
{
    buffer_ptr x(binbuf_new());
    binbuf_vinsert(x.get(), "lxfso", 7L, 1.5, gensym("sym"), static_cast<void *>(x.get()));
    EXPECT_EQ(atoms_of(x.get()), (strings{"L:7", "F:1.5", "S:sym", "O:binbuf", ";"}));

    buffer_ptr many(binbuf_new());
    binbuf_vinsert(many.get(), "llllllllllllllllllllllllllllllllllll", 0L, 1L, 2L, 3L, 4L, 5L, 6L, 7L, 8L, 9L, 10L, 11L,
                   12L, 13L, 14L, 15L, 16L, 17L, 18L, 19L, 20L, 21L, 22L, 23L, 24L, 25L, 26L, 27L, 28L, 29L, 30L, 31L,
                   32L, 33L, 34L, 35L);
    EXPECT_EQ(many->count, 33) << "at most 32 atoms and the semicolon";
}

TEST(BinbufAppend, BoxTextWithoutSemicolon)
{
    buffer_ptr x(binbuf_new());
    atom first[] = {S("a\\;b"), S("$1"), S("$2x")};
    atom second[] = {S(";"), L(4), S(",")};
    binbuf_append(x.get(), nullptr, 3, first);
    binbuf_append(x.get(), nullptr, 3, second);
    EXPECT_EQ(atoms_of(x.get()), (strings{"S:a;b", "$1", "D:2x", ";", "L:4", ","}));
    EXPECT_EQ(describe(first[0]), "S:a\\;b") << "the caller's atoms are left alone";
    expect_layout(x.get());

    atom replacement[] = {S("x"), S("y")};
    binbuf_set(x.get(), nullptr, 2, replacement);
    EXPECT_EQ(atoms_of(x.get()), (strings{"S:x", "S:y"}));
    binbuf_set(x.get(), nullptr, 0, nullptr);
    EXPECT_EQ(x->count, 0);
    EXPECT_EQ(x->used, 4);
    EXPECT_EQ(sysmem_handlesize(x->storage), 4);
}

TEST(BinbufAppend, TheClassAnswersAppendAndSet)
{
    buffer_ptr x(binbuf_new());
    atom argv[] = {S("$1"), L(2)};
    typedmess(x.get(), gensym("append"), 2, argv);
    typedmess(x.get(), gensym("append"), 2, argv);
    EXPECT_EQ(atoms_of(x.get()), (strings{"$1", "L:2", "$1", "L:2"}));
    typedmess(x.get(), gensym("set"), 1, argv + 1);
    EXPECT_EQ(atoms_of(x.get()), (strings{"L:2"}));
}

// --- text ---

TEST(BinbufText, ParseAndPrint)
{
    struct Case {
        const char *text;
        strings atoms;
        const char *printed;
    };
    const Case cases[] = {
        {"1 2.5 foo", {"L:1", "F:2.5", "S:foo"}, "1 2.5 foo"},
        {"a;b", {"S:a", ";", "S:b"}, "a;\r\nb"},
        {"1 2 3, 4; foo bar", {"L:1", "L:2", "L:3", ",", "L:4", ";", "S:foo", "S:bar"}, "1 2 3, 4;\r\nfoo bar"},
        {"  \"a b\"  \\12 $1 $1x  ", {"S:a b", "S:12", "$1", "D:1x"}, "\"a b\" \\12 $1 $1x"},
        {"", {}, ""},
        {";", {";"}, ";\r\n"},
        {", ,", {",", ","}, ",,"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        buffer_ptr x = from_text(c.text);
        EXPECT_EQ(atoms_of(x.get()), c.atoms);
        EXPECT_EQ(to_text(x.get()), c.printed);
        expect_layout(x.get());
    }
}

TEST(BinbufText, TextReplacesAndAddtextAppends)
{
    buffer_ptr x = from_text("old contents;");
    handle_ptr h = handle_of("new; a, b");
    ASSERT_EQ(binbuf_text(x.get(), h.get(), 3), 0);
    EXPECT_EQ(atoms_of(x.get()), (strings{"S:new"})) << "only size bytes are read";
    ASSERT_EQ(binbuf_addtext(x.get(), h.get(), 9), 0);
    EXPECT_EQ(atoms_of(x.get()), (strings{"S:new", "S:new", "S:;", "S:a", "S:,", "S:b"}));
    EXPECT_EQ(to_text(x.get()), "new new \\; a \\, b");
    expect_layout(x.get());
}

TEST(BinbufText, ALargeTextGrowsInBatches)
{
    std::string text;
    for (int i = 0; i < 3000; i++) text.append("#P newex 10 ").append(std::to_string(i)).append(" 1.5 metro;\r\n");
    buffer_ptr x = from_text(text);
    EXPECT_EQ(x->count, 3000 * 7);
    expect_layout(x.get());
    EXPECT_EQ(to_text(x.get()), text);
}

// --- cursors ---

TEST(BinbufCursor, GetatomWalksAndStops)
{
    buffer_ptr x = from_text("a 1 2.5; $1");
    long index = 0, offset = 0;
    atom a;
    const long p = static_cast<long>(sizeof(void *));
    const long offsets[] = {0, p, p + 4, p + 12, p + 12};
    for (long expected : offsets) {
        EXPECT_EQ(offset, expected);
        ASSERT_EQ(binbuf_getatom(x.get(), &index, &offset, &a), 0);
    }
    EXPECT_EQ(index, 5);
    EXPECT_EQ(offset, p + 16);
    EXPECT_EQ(binbuf_getatom(x.get(), &index, &offset, &a), 1);
    EXPECT_EQ(index, 5) << "the cursor stays at the end";
    EXPECT_EQ(a.type, ATYPE_NOTHING);

    // Cursors outside the buffer read nothing.
    for (auto [i, o] : {std::pair<long, long>{-1, 0}, {5, 0}, {0, -1}, {0, 1000}}) {
        index = i, offset = o;
        EXPECT_EQ(binbuf_getatom(x.get(), &index, &offset, &a), 1);
        EXPECT_EQ(a.type, ATYPE_NOTHING);
    }
}

// The cursor before atom i, found by walking.
std::pair<long, long> cursor_at(binbuf *x, long i)
{
    long index = 0, offset = 0;
    atom a;
    while (index < i && binbuf_getatom(x, &index, &offset, &a) == 0) {
    }
    return {index, offset};
}

TEST(BinbufCursor, DeleteRemovesARange)
{
    struct Case {
        long from, to;
        strings left;
    };
    const Case cases[] = {
        {1, 3, {"S:a", ";", "S:b", "F:1.5"}},
        {0, 6, {}},
        {0, 1, {"L:1", "L:2", ";", "S:b", "F:1.5"}},
        {5, 6, {"S:a", "L:1", "L:2", ";", "S:b"}},
        {2, 2, {"S:a", "L:1", "L:2", ";", "S:b", "F:1.5"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
        buffer_ptr x = from_text("a 1 2; b 1.5");
        auto [from_index, from_offset] = cursor_at(x.get(), c.from);
        auto [to_index, to_offset] = cursor_at(x.get(), c.to);
        EXPECT_EQ(binbuf_delete(x.get(), from_index, to_index, from_offset, to_offset), 0);
        EXPECT_EQ(atoms_of(x.get()), c.left);
        expect_layout(x.get());
        if (c.left.empty()) {
            EXPECT_EQ((*x->storage)[0], 0);
        }
    }
}

TEST(BinbufCursor, DeleteRefusesCursorsThatAreNotBoundaries)
{
    struct Case {
        const char *name;
        long from_index, to_index, from_offset, to_offset;
    };
    const long p = static_cast<long>(sizeof(void *));
    // "a 1 2; b 1.5": offsets 0, p, p+4, p+8, p+8, 2p+8, 2p+16
    const Case cases[] = {
        {"negative index", -1, 2, 0, p + 4},          {"to before from", 2, 1, p + 4, p},
        {"past the end", 0, 7, 0, 2 * p + 16},        {"from offset inside an atom", 1, 2, 1, p + 4},
        {"to offset inside an atom", 1, 2, p, p + 2}, {"offsets of other atoms", 1, 2, p + 4, p + 8},
        {"negative offset", 0, 1, -4, p - 4},         {"offset past the data", 6, 6, 1000, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        buffer_ptr x = from_text("a 1 2; b 1.5");
        long used = x->used;
        EXPECT_EQ(binbuf_delete(x.get(), c.from_index, c.to_index, c.from_offset, c.to_offset), 1);
        EXPECT_EQ(atoms_of(x.get()), (strings{"S:a", "L:1", "L:2", ";", "S:b", "F:1.5"}));
        EXPECT_EQ(x->used, used);
    }
}

// --- growth failures ---

TEST(BinbufGrowth, AFailedGrowthLeavesTheBufferAsItWas)
{
    const long p = static_cast<long>(sizeof(void *));
    struct Case {
        const char *name;
        long (*change)(binbuf *, symbol *, long, atom *);
        long atoms;
        long size;  // the block size asked for
    };
    // "keep this;" uses 4 + 2p bytes. Two more atoms and a semicolon (or no
    // semicolon: the 0 byte still needs room) take the type region from 4
    // to 8 bytes; set makes a layout of its own.
    const Case cases[] = {
        {"insert", &binbuf_insert, 2, 12 + 3 * p},
        {"append", &binbuf_append, 2, 12 + 3 * p},
        {"set", &binbuf_set, 4, 16 + 2 * p},
    };
    atom argv[] = {S("more"), L(1), S("more"), L(2)};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        buffer_ptr x = from_text("keep this;");
        long used = x->used;
        kel::memory_fail_after(0);
        EXPECT_EQ(c.change(x.get(), nullptr, c.atoms, argv), 1);
        EXPECT_TRUE(kel::binbuf_growth_failed());
        kel::memory_fail_after(-1);
        EXPECT_EQ(console.lines(),
                  strings{warning_line(std::string("couldn't grow binbuf to ").append(std::to_string(c.size)))});
        EXPECT_EQ(x->used, used);
        EXPECT_EQ(atoms_of(x.get()), (strings{"S:keep", "S:this", ";"}));
        expect_layout(x.get());
    }
}

TEST(BinbufGrowth, TextLeftEmptyAddtextLeftAsItWas)
{
    std::string text;
    for (int i = 0; i < 1000; i++) text += "word ";
    handle_ptr h = handle_of(text);
    {
        console_capture console;
        buffer_ptr x = from_text("old;");
        kel::memory_fail_after(0);
        EXPECT_EQ(binbuf_text(x.get(), h.get(), static_cast<long>(text.size())), 1);
        kel::memory_fail_after(-1);
        EXPECT_EQ(x->count, 0);
        EXPECT_EQ(x->used, 4);
        EXPECT_EQ(console.lines().size(), 1u);
        EXPECT_EQ(console.last().rfind(warning_line("couldn't grow binbuf to "), 0), 0u);
    }
    {
        // The first batch of 256 atoms fits; the second cannot grow.
        buffer_ptr x = from_text("old;");
        kel::memory_fail_after(1);
        EXPECT_EQ(binbuf_addtext(x.get(), h.get(), static_cast<long>(text.size())), 1);
        kel::memory_fail_after(-1);
        EXPECT_EQ(atoms_of(x.get()), (strings{"S:old", ";"}));
        expect_layout(x.get());
        // The flag is cleared by the next parse.
        EXPECT_EQ(binbuf_addtext(x.get(), h.get(), 4), 0);
        EXPECT_FALSE(kel::binbuf_growth_failed());
        EXPECT_EQ(atoms_of(x.get()), (strings{"S:old", ";", "S:word"}));
    }
}

TEST(BinbufGrowth, TotextIntoAHandleThatCannotGrow)
{
    buffer_ptr x = from_text("some text to print;");
    handle_ptr h(sysmem_newhandle(3));
    long size = -1;
    kel::memory_fail_after(0);
    EXPECT_EQ(binbuf_totext(x.get(), h.get(), &size), 1);
    kel::memory_fail_after(-1);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(sysmem_handlesize(h.get()), 1);
}

// --- evaluation ---

using kel::test::g_log;
using kel::test::note;

struct receiver {
    object header;
    const char *name;
    binbuf *nested;  // evaluated by `nest`
    binbuf *own;     // changed by `change`
};

void *r_int(receiver *x, long n)
{
    note("%s: int %ld", x->name, n);
    return reinterpret_cast<void *>(n);
}
void *r_float(receiver *x, double f)
{
    note("%s: float %g", x->name, f);
    return nullptr;
}
void *r_anything(receiver *x, symbol *s, long argc, atom *argv)
{
    std::string text = std::string(x->name) + ": " + s->name;
    for (long i = 0; i < argc; i++) text += std::string(" ") + atom_string(argv + i);
    note("%s", text.c_str());
    return nullptr;
}
void *r_nest(receiver *x)
{
    note("%s: nest", x->name);
    return binbuf_eval(x->nested, 0, nullptr, x);
}
void *r_change(receiver *x)
{
    note("%s: change", x->name);
    atom argv[] = {S("r"), S("r"), S("r"), S("r"), S("r"), S("r")};
    binbuf_set(x->own, nullptr, 6, argv);
    return nullptr;
}

kel_class *receiver_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("evalprobe", nullptr, nullptr, sizeof(receiver), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_float), "float", ATYPE_FLOAT, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_nest), "nest", 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_change), "change", 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// Receivers bound to names for the length of a test.
class receivers {
public:
    receivers()
    {
        g_log.clear();
        target = make("T");
        bind("foo");
        bind("r");
    }
    ~receivers()
    {
        for (symbol *s : bound_) s->thing = nullptr;
        for (receiver *x : made_) freeobject(x);
    }
    receiver *make(const char *name)
    {
        auto *x = static_cast<receiver *>(object_alloc(receiver_class()));
        x->name = name;
        x->nested = x->own = nullptr;
        made_.push_back(x);
        return x;
    }
    receiver *bind(const char *name)
    {
        receiver *x = make(name);
        gensym(name)->thing = &x->header;
        bound_.push_back(gensym(name));
        return x;
    }
    receiver *target;

private:
    std::vector<receiver *> made_;
    std::vector<symbol *> bound_;
};

TEST(BinbufEval, MessagesGoToTheirReceivers)
{
    struct Case {
        const char *text;
        bool with_target;
        std::vector<atom> args;
        std::string log;
        strings console;
    };
    const Case cases[] = {
        {"1 2 3, 4; foo bar", true, {}, "T: list 1 2 3 | T: int 4 | foo: bar", {}},
        {"2.5, 1.5 2; r", true, {}, "T: float 2.5 | T: list 1.50 2", {}},
        {"nobody bar", false, {}, "", {error_line("'nobody: no such object")}},
        {"; r 1; foo sym 2, 3", true, {}, "r: int 1 | foo: sym 2 | foo: int 3", {}},
        {", r 1", false, {}, "r: int 1", {}},
        {"r ; r , ; r 1", false, {}, "r: int 1", {}},
        {"r $1 $2", false, {L(5), S("x")}, "r: list 5 x", {}},
        {"r $3", false, {L(5), S("x")}, "r: int 0", {}},
        {"$2 hello", false, {L(5), S("r")}, "r: hello", {}},
        {"$1o go", false, {S("fo")}, "foo: go", {}},
        {"r $2 is $1", false, {S("this"), S("name")}, "r: name is this", {}},
        {"r $1-vol", false, {S("left")}, "r: left-vol", {}},
        {"r sym $1", false, {F(1.5)}, "r: sym 1.50", {}},
        // receiver errors skip to the next separator
        {"nobody x, r 1; r 2", false, {}, "r: int 1 | r: int 2", {error_line("'nobody: no such object")}},
        {"5 x; r 1", false, {}, "r: int 1", {error_line("5: not a symbol")}},
        {"2.5 x; r 1", false, {}, "r: int 1", {error_line("?: not a symbol")}},
        {"$0 x; r 1", false, {}, "r: int 1", {error_line("$0: argument out of range")}},
        {"$1 x; r 1", false, {L(5)}, "r: int 1", {error_line("5: not a symbol")}},
        {"$1 x; r 1", false, {S("nobody")}, "r: int 1", {error_line("nobody: no such object")}},
        {"$1x go; r 1", false, {S("nobody")}, "r: int 1", {error_line("nobodyx: no such object")}},
        // message errors
        {"r $0", false, {}, "r: $0", {error_line("\"$\" variable out of range")}},
        {"r $12", false, {}, "r: $12", {}},
        {"r 1 $1", false, {S("x")}, "r: list 1 x", {}},
        {"r $1", false, {S("sel")}, "r: sel", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        receivers rs;
        console_capture console;
        buffer_ptr x = from_text(c.text);
        std::vector<atom> args = c.args;
        binbuf_eval(x.get(), static_cast<long>(args.size()), args.data(), c.with_target ? rs.target : nullptr);
        EXPECT_EQ(g_log, c.log);
        EXPECT_EQ(console.lines(), c.console);
    }
}

TEST(BinbufEval, AtomsNoMessageCanHold)
{
    receivers rs;
    console_capture console;
    buffer_ptr x(binbuf_new());
    binbuf_vinsert(x.get(), "sso", gensym("r"), gensym("go"), static_cast<void *>(rs.target));
    atom next[] = {S("r"), L(1)};
    binbuf_insert(x.get(), nullptr, 2, next);
    binbuf_eval(x.get(), 0, nullptr, nullptr);
    EXPECT_EQ(g_log, "r: int 1");
    EXPECT_EQ(console.lines(), strings{error_line("evalprobe: bad argument")});

    // An object as the first atom of a message.
    g_log.clear();
    console_capture again;
    buffer_ptr y = from_text("r $1 2; r 3");
    atom arg;
    atom_setobj(&arg, rs.target);
    binbuf_eval(y.get(), 1, &arg, nullptr);
    EXPECT_EQ(g_log, "r: int 3");
    EXPECT_EQ(again.lines(), strings{error_line("badly formed message")});
}

TEST(BinbufEval, AMessageHoldsAtMost600Atoms)
{
    receivers rs;
    console_capture console;
    std::string text = "r";
    for (int i = 0; i < 601; i++) text += " 1";
    text += "; r 2; r";
    for (int i = 0; i < 600; i++) text += " 3";
    buffer_ptr x = from_text(text);
    binbuf_eval(x.get(), 0, nullptr, nullptr);
    EXPECT_EQ(console.lines(), strings{"Message stack overflow"});
    EXPECT_EQ(g_log.substr(0, 25), "r: int 2 | r: list 3 3 3 ");
}

TEST(BinbufEval, TheRunningNumberGrowsEveryEvaluation)
{
    receivers rs;
    buffer_ptr x = from_text("r $0-x");
    binbuf_eval(x.get(), 0, nullptr, nullptr);
    binbuf_eval(x.get(), 0, nullptr, nullptr);
    long first = -1, second = -1;
    ASSERT_EQ(std::sscanf(g_log.c_str(), "r: %ld-x | r: %ld-x", &first, &second), 2) << g_log;
    EXPECT_EQ(second, first + 1);
}

TEST(BinbufEval, AnswersTheLastMethodsResult)
{
    receivers rs;
    buffer_ptr x = from_text("r 7; r 9");
    EXPECT_EQ(binbuf_eval(x.get(), 0, nullptr, nullptr), reinterpret_cast<void *>(9));
    buffer_ptr none = from_text("nobody 1");
    console_capture console;
    EXPECT_EQ(binbuf_eval(none.get(), 0, nullptr, nullptr), nullptr);
}

TEST(BinbufEval, MethodsMayEvaluateAgainOrChangeTheBuffer)
{
    receivers rs;
    buffer_ptr inner = from_text("5; r inner");
    buffer_ptr outer = from_text("nest; r outer");
    rs.target->nested = inner.get();
    binbuf_eval(outer.get(), 0, nullptr, rs.target);
    EXPECT_EQ(g_log, "T: nest | T: int 5 | r: inner | r: outer");

    g_log.clear();
    buffer_ptr own = from_text("change; r after; r more");
    rs.target->own = own.get();
    binbuf_eval(own.get(), 0, nullptr, rs.target);
    EXPECT_EQ(g_log, "T: change") << "a buffer changed during its evaluation stops it";
    EXPECT_EQ(to_text(own.get()), "r r r r r r");
}

// --- the console's parser ---

TEST(BinbufParseText, PlainAtomsForTheConsole)
{
    struct Case {
        const char *text;
        long max;
        strings atoms;
    };
    const Case cases[] = {
        {"foo: doesn't understand \"bar\"", 10, {"S:foo:", "S:doesn't", "S:understand", "S:\"bar\""}},
        {"a; b, $1 $2x 3 4.5", 10, {"S:a", "S:;", "S:b", "S:,", "S:$1", "S:$2x", "L:3", "F:4.5"}},
        {"1 2 3 4", 2, {"L:1", "L:2"}},
        {"", 4, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        atom argv[16];
        long argc = -1;
        kel::binbuf_parse_text(c.text, std::strlen(c.text), &argc, argv, c.max);
        strings got;
        for (long i = 0; i < argc; i++) got.push_back(describe(argv[i]));
        EXPECT_EQ(got, c.atoms);
    }
}

}  // namespace
