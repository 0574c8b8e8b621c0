// Box text: making records, text in and out, the box-text rule on replace,
// append and prepend, walking and substituting, and evaluation with its own
// error texts and argument list.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "memory_pressure.h"

namespace {

using kel::test::check_failed_line;
using kel::test::console_capture;
using kel::test::describe;
using kel::test::error_line;
using kel::test::F;
using kel::test::L;
using kel::test::S;
using kel::test::strings;

// Every atom, through atombuf_next.
strings atoms_of(atombuf *x)
{
    strings out;
    long index = 0;
    atom a;
    while (atombuf_next(x, &index, &a) == 0) out.push_back(describe(a));
    EXPECT_EQ(index, x ? x->argc : 0);
    return out;
}

kel_handle handle_of(const std::string &text)
{
    kel_handle h = sysmem_newhandle(static_cast<long>(text.size()));
    if (!text.empty()) std::memcpy(*h, text.data(), text.size());
    return h;
}

atombuf *from_text(const std::string &text)
{
    atombuf *x = nullptr;
    kel_handle h = handle_of(text);
    EXPECT_EQ(atombuf_text(&x, h, static_cast<long>(text.size())), 0);
    sysmem_freehandle(h);
    return x;
}

std::string to_text(atombuf *x)
{
    kel_handle h = sysmem_newhandle(0);
    long size = -1;
    EXPECT_EQ(atombuf_totext(x, h, &size), 0);
    EXPECT_EQ(sysmem_handlesize(h), size) << "the handle holds exactly the text";
    std::string text(*h, static_cast<size_t>(size));
    sysmem_freehandle(h);
    return text;
}

// --- records ---

TEST(AtombufNew, CountsAndContents)
{
    atom argv[] = {L(1), S("two")};
    atombuf *x = atombuf_new(2, argv);
    EXPECT_EQ(atoms_of(x), (strings{"L:1", "S:two"}));
    atombuf_free(x);

    atombuf *unset = atombuf_new(3, nullptr);
    EXPECT_EQ(atoms_of(unset), (strings{"-", "-", "-"}));
    atombuf_free(unset);

    for (long argc : {0L, -5L}) {
        atombuf *empty = atombuf_new(argc, argv);
        ASSERT_TRUE(empty);
        EXPECT_EQ(empty->argc, 0);
        atom a;
        EXPECT_EQ(atombuf_firstatom(empty, &a), 1);
        atombuf_free(empty);
    }
}

TEST(AtombufText, ParseKeepsSeparatorsAndDollars)
{
    struct Case {
        const char *text;
        strings atoms;
        const char *printed;
    };
    const Case cases[] = {
        {"p sub; a, $1 $1x", {"S:p", "S:sub", ";", "S:a", ",", "$1", "D:1x"}, "p sub;\r\na, $1 $1x"},
        {"2.999999 1.5 -3", {"F:3", "F:1.5", "L:-3"}, "3. 1.5 -3"},
        {"\"a b\" \\12", {"S:a b", "S:12"}, "\"a b\" \\12"},
        {"   ", {}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        atombuf *x = from_text(c.text);
        ASSERT_TRUE(x);
        EXPECT_EQ(atoms_of(x), c.atoms);
        EXPECT_EQ(to_text(x), c.printed);
        atombuf_free(x);
    }
}

TEST(AtombufText, AtMost256Atoms)
{
    console_capture console;
    std::string text;
    for (int i = 0; i < 300; i++) text.append(std::to_string(i)).append(" ");
    atombuf *x = from_text(text);
    ASSERT_TRUE(x);
    EXPECT_EQ(x->argc, 256);
    EXPECT_EQ(describe(x->argv[0]), "L:0");
    EXPECT_EQ(describe((x->argv)[255]), "L:255");
    EXPECT_EQ(console.lines(), strings{check_failed_line("atombuf_text")});

    // Replacing frees the old record; an empty text gives an empty record.
    kel_handle h = handle_of("");
    EXPECT_EQ(atombuf_text(&x, h, 0), 0);
    ASSERT_TRUE(x);
    EXPECT_EQ(x->argc, 0);
    sysmem_freehandle(h);
    atombuf_free(x);
}

TEST(AtombufText, TotextIntoAHandleThatCannotGrow)
{
    atombuf *x = from_text("some words to print");
    kel_handle h = sysmem_newhandle(2);
    long size = -1;
    kel::memory_fail_after(0);
    EXPECT_EQ(atombuf_totext(x, h, &size), 1);
    kel::memory_fail_after(-1);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(sysmem_handlesize(h), 1);
    sysmem_freehandle(h);
    atombuf_free(x);
}

// --- changing the atoms ---

TEST(AtombufChange, ReplaceAppendPrependReadBoxText)
{
    atom old_atoms[] = {S("$1"), L(7)};  // not box text: stays a symbol
    atom box[] = {S("$2"), S(";"), S("a\\,b"), S("$1x")};
    struct Case {
        const char *name;
        long (*change)(atombuf **, symbol *, long, atom *);
        strings atoms;
    };
    const Case cases[] = {
        {"replace", &atombuf_replace, {"$2", ";", "S:a,b", "D:1x"}},
        {"append", &atombuf_append, {"S:$1", "L:7", "$2", ";", "S:a,b", "D:1x"}},
        {"prepend", &atombuf_prepend, {"$2", ";", "S:a,b", "D:1x", "S:$1", "L:7"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        atombuf *x = atombuf_new(2, old_atoms);
        EXPECT_EQ(c.change(&x, nullptr, 4, box), 0);
        EXPECT_EQ(atoms_of(x), c.atoms);
        EXPECT_EQ(describe(box[0]), "S:$2") << "the caller's atoms are left alone";
        EXPECT_EQ(c.change(&x, nullptr, -3, box), 0) << "a negative count adds nothing";
        EXPECT_EQ(atoms_of(x).size(), c.atoms.size() - (c.change == &atombuf_replace ? c.atoms.size() : 0));
        atombuf_free(x);
    }
    // The new atoms may come from the record being replaced.
    atombuf *x = atombuf_new(2, old_atoms);
    EXPECT_EQ(atombuf_append(&x, nullptr, x->argc, x->argv), 0);
    EXPECT_EQ(atoms_of(x), (strings{"S:$1", "L:7", "$1", "L:7"}));
    atombuf_free(x);
    // A missing record counts as empty.
    atombuf *none = nullptr;
    EXPECT_EQ(atombuf_prepend(&none, nullptr, 1, box), 0);
    EXPECT_EQ(atoms_of(none), strings{"$2"});
    atombuf_free(none);
}

TEST(AtombufChange, ExhaustedMemoryKeepsTheOldRecord)
{
    atom argv[] = {S("keep"), L(1)};
    atombuf *x = atombuf_new(2, argv);
    std::vector<atom> many(777, L(0));  // a block size nothing else uses
    {
        kel::test::memory_exhausted exhausted;
        EXPECT_EQ(atombuf_replace(&x, nullptr, 777, many.data()), 1);
    }
    EXPECT_EQ(atoms_of(x), (strings{"S:keep", "L:1"}));
    atombuf_free(x);
}

TEST(AtombufWalk, FirstNextSubstMisc)
{
    atombuf *x = from_text("patcher sub, 1");
    atom a;
    EXPECT_EQ(atombuf_firstatom(x, &a), 0);
    EXPECT_EQ(describe(a), "S:patcher");
    long index = 3;
    EXPECT_EQ(atombuf_next(x, &index, &a), 0);
    EXPECT_EQ(describe(a), "L:1");
    EXPECT_EQ(index, 4);
    EXPECT_EQ(atombuf_next(x, &index, &a), 1);
    index = -1;
    EXPECT_EQ(atombuf_next(x, &index, &a), 1);

    atom replacement = F(2.5);
    EXPECT_EQ(atombuf_subst(x, &replacement, 3), 0);
    EXPECT_EQ(atombuf_subst(x, &replacement, 4), 1);
    EXPECT_EQ(atombuf_subst(x, &replacement, -1), 1);
    EXPECT_EQ(atoms_of(x), (strings{"S:patcher", "S:sub", ",", "F:2.5"}));
    atombuf_free(x);

    struct Case {
        const char *text;
        long misc;
    };
    const Case cases[] = {
        {"patcher sub", 1}, {"p", 1}, {"p x; y", 3}, {"x, y", 2}, {"patch", 0}, {"1 p", 0}, {"", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        atombuf *y = from_text(c.text);
        EXPECT_EQ(atombuf_misc(y), c.misc);
        atombuf_free(y);
    }
    EXPECT_EQ(atombuf_misc(nullptr), 0);
}

// --- evaluation ---

std::string g_log;

struct receiver {
    object header;
    const char *name;
    atombuf **own;  // replaced by `change`
};

void *r_int(receiver *x, long n)
{
    if (!g_log.empty()) g_log += " | ";
    g_log += std::string(x->name) + ": int " + std::to_string(n);
    return nullptr;
}
void *r_anything(receiver *x, symbol *s, long argc, atom *argv)
{
    if (!g_log.empty()) g_log += " | ";
    g_log += std::string(x->name) + ": " + s->name;
    for (long i = 0; i < argc; i++) g_log += std::string(" ") + atom_string(argv + i);
    return nullptr;
}
void *r_change(receiver *x)
{
    r_anything(x, gensym("change"), 0, nullptr);
    atom argv[] = {S("gone")};
    atombuf_replace(x->own, nullptr, 1, argv);
    return nullptr;
}

kel_class *receiver_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("atombufprobe", nullptr, nullptr, sizeof(receiver), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_change), "change", 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&r_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

class bound_receiver {
public:
    explicit bound_receiver(const char *name) : name_(gensym(name))
    {
        x = static_cast<receiver *>(object_alloc(receiver_class()));
        x->name = name;
        x->own = nullptr;
        name_->thing = &x->header;
    }
    ~bound_receiver()
    {
        name_->thing = nullptr;
        freeobject(x);
    }
    bound_receiver(const bound_receiver &) = delete;
    bound_receiver &operator=(const bound_receiver &) = delete;
    receiver *x;

private:
    symbol *name_;
};

TEST(AtombufEval, ArgumentsAndErrors)
{
    struct Case {
        const char *text;
        std::vector<atom> args;
        std::string log;
        strings console;
    };
    const Case cases[] = {
        {"r $1 $2", {L(5), S("x")}, "r: list 5 x", {}},
        {"r $3", {L(5), S("x")}, "r: $3", {error_line("\"$\" variable out of range (3)")}},
        {"r $1", {}, "r: $1", {error_line("\"$\" variable out of range (1)")}},
        {"r $0-x $1-y", {S("a")}, "r: 0-x a-y", {}},
        {"r go $1-y", {}, "r: go 1-y", {error_line("\"$\" symbol variable out of range")}},
        {"r #i1 #f2 #i0 #x1", {}, "r: list 0 0.00 #i0 #x1", {}},
        {"r #i1", {}, "r: int 0", {}},
        {"nobody x; r 1", {}, "r: int 1", {error_line("nobody: no such object")}},
        {"2.5 x; r 1", {}, "r: int 1", {error_line("2.50: not a symbol")}},
        {"$1 x; r 1", {}, "r: int 1", {error_line("$1: argument out of range")}},
        {"$1 x; r 1", {L(4)}, "r: int 1", {error_line("4: not a symbol")}},
        {"$1 x", {S("r")}, "r: x", {}},
        {"$1x go; r 1", {}, "r: int 1", {error_line("$1x: argument out of range")}},
    };
    bound_receiver r("r");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        g_log.clear();
        console_capture console;
        atombuf *x = from_text(c.text);
        std::vector<atom> args = c.args;
        atombuf_eval(x, static_cast<long>(args.size()), args.data(), nullptr);
        EXPECT_EQ(g_log, c.log);
        EXPECT_EQ(console.lines(), c.console);
        atombuf_free(x);
    }
}

TEST(AtombufEval, AtMost19ArgumentsAndBadAtoms)
{
    bound_receiver r("r");
    g_log.clear();
    std::vector<atom> args;
    for (long i = 1; i <= 25; i++) args.push_back(L(i));
    atom message[] = {S("r"), L(0), L(0)};
    message[1].type = message[2].type = ATYPE_DOLLAR;
    message[1].word.w_long = 19;
    message[2].word.w_long = 20;
    atombuf *x = atombuf_new(3, message);
    {
        console_capture console;
        atombuf_eval(x, 25, args.data(), nullptr);
        EXPECT_EQ(g_log, "r: list 19 $20");
        EXPECT_EQ(console.lines(), strings{error_line("\"$\" variable out of range (20)")});
    }

    // An object in a message: its type in the report, the message dropped.
    g_log.clear();
    console_capture console;
    atom with_object[4] = {S("r"), S("go"), {}, S(";")};
    atom_setobj(&with_object[2], r.x);
    atombuf_replace(&x, nullptr, 4, with_object);
    atom next[] = {S("r"), S("$9")};
    atombuf_append(&x, nullptr, 2, next);
    atombuf_eval(x, 25, args.data(), nullptr);
    EXPECT_EQ(g_log, "r: int 9");
    EXPECT_EQ(console.lines(), strings{error_line("bad argument (4)")});
    atombuf_free(x);
}

TEST(AtombufEval, AMethodMayReplaceTheRecordBeingEvaluated)
{
    bound_receiver r("r");
    g_log.clear();
    atombuf *x = from_text("r change; r after");
    r.x->own = &x;
    atombuf_eval(x, 0, nullptr, nullptr);
    EXPECT_EQ(g_log, "r: change | r: after") << "evaluation goes on over the text it started with";
    EXPECT_EQ(atoms_of(x), strings{"S:gone"});
    atombuf_free(x);
}

}  // namespace
