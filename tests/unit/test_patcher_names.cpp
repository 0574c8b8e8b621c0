// Box names: unique names, explicit names refused when taken, names leaving
// with their boxes, one table per patcher, names through nested subpatchers
// (and instances of a poly~ box), attributes reached through an object box,
// and the pvar object's attachment as it follows a name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "kel/attributes.h"
#include "kel/registry.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/patcher/patcher_names.h"
#include "sched_support.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::g_log;
using kel::test::patch;
using kel::test::PatcherTest;
using strings = std::vector<std::string>;

symbol *S(const char *name) { return gensym(name); }

std::string name_of(patcher *p, box *b)
{
    symbol *name = nullptr;
    return patcher_boxname(p, b, &name) ? name->name : "<none>";
}

// n probe boxes, newest last in the file: box number n-1-k is probe k.
std::string probes(int n)
{
    std::string text;
    for (int k = 0; k < n; k++)
        text += "#P newex " + std::to_string(20 + 60 * k) + " 20 50 196617 probe p" + std::to_string(k) + ";\r\n";
    return text;
}

// --- unique names ---

struct unique_case {
    const char *label;
    std::vector<const char *> taken;  // names given first, to boxes 1, 2, ...
    const char *asked;
    const char *got;
};

TEST_F(PatcherTest, NamesAreMadeUniqueWithANumberInBrackets)
{
    const unique_case cases[] = {
        {"free name", {}, "amp", "amp"},
        {"taken once", {"amp"}, "amp", "amp[1]"},
        {"taken twice", {"amp", "amp[1]"}, "amp", "amp[2]"},
        {"bracketed name free", {"amp"}, "amp[5]", "amp[5]"},
        {"bracketed name taken strips to the base", {"amp", "amp[1]"}, "amp[1]", "amp[2]"},
        {"a gap is filled first", {"amp", "amp[2]"}, "amp", "amp[1]"},
        {"only the first bracket counts", {"a[1]x"}, "a[1]x", "a[1]"},
        {"a name that is all brackets", {"[1]"}, "[1]", "[2]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        patcher *p = load("u.pat", patch(probes(static_cast<int>(c.taken.size()) + 1)));
        ASSERT_NE(p, nullptr);
        for (size_t k = 0; k < c.taken.size(); k++)
            ASSERT_EQ(patcher_uniqueboxname(p, nth(p, static_cast<long>(k) + 1), S(c.taken[k])), S(c.taken[k]));
        symbol *got = patcher_uniqueboxname(p, nth(p, 0), S(c.asked));
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got->name, c.got);
        EXPECT_EQ(patcher_getnamedbox(p, got), nth(p, 0));
        freeobject(p);
    }
}

TEST_F(PatcherTest, ObjectnameLinesMakeNamesUnique)
{
    patcher *p = load("o.pat", patch("#P newex 20 20 50 196617 probe a;\r\n#P objectname amp;\r\n"
                                     "#P newex 80 20 50 196617 probe b;\r\n#P objectname amp;\r\n"
                                     "#P newex 140 20 50 196617 probe c;\r\n#P objectname amp;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(name_of(p, nth(p, 2)), "amp");
    EXPECT_EQ(name_of(p, nth(p, 1)), "amp[1]");
    EXPECT_EQ(name_of(p, nth(p, 0)), "amp[2]");
}

TEST_F(PatcherTest, ManyBoxesOfOneNameAreNamedQuickly)
{
    // The way scripting names every box it makes, with one name for all: each
    // box takes the first number free, and a box gets its name in a step or
    // two whatever the count (a search from 1 each time took minutes).
    constexpr int count = 20000;
    patcher *p = load("m.pat", patch(probes(count)));
    ASSERT_NE(p, nullptr);
    std::vector<box *> boxes;
    for (box *b = p->boxes; b; b = b->next) boxes.push_back(b);
    ASSERT_EQ(boxes.size(), static_cast<size_t>(count));
    const auto start = std::chrono::steady_clock::now();
    std::vector<symbol *> names;
    for (box *b : boxes) names.push_back(patcher_uniqueboxname(p, b, S("voice")));
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 3.0);
    EXPECT_STREQ(names[0]->name, "voice");
    EXPECT_STREQ(names[1]->name, "voice[1]");
    EXPECT_STREQ(names[2]->name, "voice[2]");
    EXPECT_STREQ(names[count - 1]->name, ("voice[" + std::to_string(count - 1) + "]").c_str());
    std::set<symbol *> distinct(names.begin(), names.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(count));
    EXPECT_EQ(patcher_getnamedbox(p, S("voice[12345]")), boxes[12345]);

    freeobject(p);
}

// The name the first-free rule gives b when it asks for name: name itself
// when free (or already b's), else STEM[1], STEM[2], ... the first not held by
// another box.
std::string first_free(patcher *p, box *b, const std::string &name)
{
    box *holder = patcher_getnamedbox(p, S(name.c_str()));
    if (!holder || holder == b) return name;
    const std::string stem = name.substr(0, name.find('['));
    for (long k = 1;; k++) {
        const std::string candidate = stem + "[" + std::to_string(k) + "]";
        holder = patcher_getnamedbox(p, S(candidate.c_str()));
        if (!holder || holder == b) return candidate;
    }
}

TEST_F(PatcherTest, NamesFreedAndTakenAgainFollowTheFirstFreeRule)
{
    // Names are given, taken away and changed in a long pseudo-random run;
    // every name given is the first free one, as a search from 1 finds it.
    constexpr int count = 200;
    patcher *p = load("r.pat", patch(probes(count)));
    ASSERT_NE(p, nullptr);
    std::vector<box *> boxes;
    for (box *b = p->boxes; b; b = b->next) boxes.push_back(b);
    const char *const asked[] = {"voice", "voice", "voice", "voice[3]", "voice[x", "other", "[2]"};
    unsigned seed = 12345;
    auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % range;
    };
    for (int step = 0; step < 4000; step++) {
        box *b = boxes[next(count)];
        const unsigned action = next(10);
        if (action == 0) {
            patcher_deleteboxname(p, b);
            continue;
        }
        const std::string name = asked[next(sizeof asked / sizeof asked[0])];
        const std::string expected = first_free(p, b, name);
        symbol *got = patcher_uniqueboxname(p, b, S(name.c_str()));
        ASSERT_NE(got, nullptr) << "step " << step;
        ASSERT_EQ(std::string(got->name), expected) << "step " << step << ", asked " << name;
        ASSERT_EQ(patcher_getnamedbox(p, got), b);
    }
    freeobject(p);
}

TEST_F(PatcherTest, TheLongestNamesAreMadeUniqueWithinTheSymbolLimit)
{
    // A name as long as a symbol can hold (or longer: the symbol keeps its
    // first symbol_name_max characters) leaves no room for "[n]": the stem
    // is shortened so that the number fits, and each box gets its own name.
    constexpr size_t limit = static_cast<size_t>(kel::symbol_name_max);
    for (size_t length : {limit - 3, limit - 2, limit, limit + 1, size_t{1} << 20}) {
        SCOPED_TRACE(length);
        const std::string name(length, 'n');
        std::string text = probes(12);
        for (int k = 0; k < 12; k++) {
            const std::string line = "20 50 196617 probe p" + std::to_string(k) + ";\r\n";
            const size_t at = text.find(line) + line.size();
            text.insert(at, "#P objectname " + name + ";\r\n");
        }
        patcher *p = load("l.pat", patch(text));
        ASSERT_NE(p, nullptr);
        std::set<std::string> seen;
        long k = 0;
        for (box *b = p->boxes; b; b = b->next, k++) {
            const std::string got = name_of(p, b);
            EXPECT_LE(got.size(), limit);
            EXPECT_TRUE(seen.insert(got).second) << got;
            const long number = 11 - k;  // the oldest box has the name itself
            if (number == 0) {
                EXPECT_EQ(got, name.substr(0, limit));
                continue;
            }
            const std::string suffix = "[" + std::to_string(number) + "]";
            EXPECT_EQ(got, name.substr(0, std::min(length, limit - suffix.size())) + suffix);
        }
        EXPECT_EQ(k, 12);
        // A shortened name given up is the first free again for the full one.
        box *fifth = nth(p, 11 - 5);
        const std::string fifth_name = name_of(p, fifth);
        patcher_deleteboxname(p, fifth);
        symbol *again = patcher_uniqueboxname(p, fifth, S(name.c_str()));
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->name, fifth_name);
        freeobject(p);
    }
}

// --- explicit names ---

TEST_F(PatcherTest, AnExplicitNameTakenByAnotherBoxIsRefused)
{
    patcher *p = load("e.pat", patch(probes(2)));
    ASSERT_NE(p, nullptr);
    box *first = nth(p, 1), *second = nth(p, 0);
    patcher_setboxname(p, first, S("amp"));
    patcher_setboxname(p, second, S("gain"));
    console_capture console;
    patcher_setboxname(p, second, S("amp"));
    EXPECT_EQ(console.lines(), strings{error_line("amp: name already in use")});
    EXPECT_EQ(name_of(p, second), "gain") << "the refused box keeps its name";
    EXPECT_EQ(patcher_getnamedbox(p, S("amp")), first);

    console_capture again;
    patcher_setboxname(p, first, S("amp"));
    EXPECT_TRUE(again.lines().empty()) << "naming a box by its own name changes nothing";
    patcher_setboxname(p, first, S("level"));
    EXPECT_EQ(name_of(p, first), "level");
    EXPECT_EQ(patcher_getnamedbox(p, S("amp")), nullptr) << "the former name is free again";
    patcher_setboxname(p, second, S("amp"));
    EXPECT_EQ(name_of(p, second), "amp");
}

TEST_F(PatcherTest, TheEmptySymbolIsNeverAName)
{
    patcher *p = load("n.pat", patch(probes(1)));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(patcher_uniqueboxname(p, nth(p, 0), S("")), nullptr);
    patcher_setboxname(p, nth(p, 0), S(""));
    EXPECT_EQ(patcher_getnamedbox(p, S("")), nullptr);
    symbol *name = S("x");
    EXPECT_EQ(patcher_boxname(p, nth(p, 0), &name), 0);
    EXPECT_EQ(name, nullptr);
}

TEST_F(PatcherTest, ANameGoesWithItsBox)
{
    patcher *p = load("d.pat", patch(probes(2) + "#P objectname amp;\r\n"));
    ASSERT_NE(p, nullptr);
    box *b = patcher_getnamedbox(p, S("amp"));
    ASSERT_EQ(b, nth(p, 0));
    patcher_deleteobj(p, b);
    EXPECT_EQ(patcher_getnamedbox(p, S("amp")), nullptr);
    patcher_uniqueboxname(p, nth(p, 0), S("amp"));
    EXPECT_EQ(name_of(p, nth(p, 0)), "amp") << "the name is free for another box, unchanged";
}

TEST_F(PatcherTest, EveryPatcherHasItsOwnNames)
{
    patcher *p = load("t.pat", patch("#N vpatcher 0 0 100 100;\r\n#P newex 10 10 50 196617 probe inner;\r\n"
                                     "#P objectname amp;\r\n#P pop;\r\n#P newobj 10 10 50 196617 p sub;\r\n"
                                     "#P newex 80 10 50 196617 probe outer;\r\n#P objectname amp;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *sub = reinterpret_cast<patcher *>(nth(p, 1)->obj);
    ASSERT_TRUE(ispatcher(sub));
    EXPECT_EQ(name_of(p, nth(p, 0)), "amp");
    EXPECT_EQ(name_of(sub, nth(sub, 0)), "amp") << "not amp[1]: the tables are separate";
    EXPECT_NE(patcher_getnamedbox(p, S("amp")), patcher_getnamedbox(sub, S("amp")));
    EXPECT_EQ(name_of(sub, nth(p, 0)), "<none>") << "a box is named only in its own patcher";
}

TEST_F(PatcherTest, DeletingANameHeldTwiceReportsIt)
{
    patcher *p = load("h.pat", patch(probes(1) + "#P objectname amp;\r\n"));
    ASSERT_NE(p, nullptr);
    box *b = nth(p, 0);
    ASSERT_EQ(object_register(kel::boxnames_namespace(p), S("amp"), b), b);  // a second holder
    console_capture console;
    patcher_deleteboxname(p, b);
    EXPECT_EQ(console.lines(), strings{error_line("patcher_deleteboxname: multiple named references")});
    object_unregister(b);
    EXPECT_EQ(patcher_getnamedbox(p, S("amp")), nullptr);
}

// --- names through subpatchers ---

struct poly_object {
    object header;
    patcher *voices[2];
};

void *poly_subpatcher(poly_object *x, long index, void *)
{
    return index >= 0 && index < 2 ? x->voices[index] : nullptr;
}

kel_class *poly_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("poly~", nullptr, nullptr, sizeof(poly_object), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&poly_subpatcher), "subpatcher", ATYPE_CANT, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// A box in p showing x, made as a newobj line makes it.
box *box_showing(patcher *p, object *x)
{
    kel::g_newest_object = x;
    atom layout[4];
    for (long k = 0; k < 4; k++) atom_setlong(&layout[k], k == 3 ? 196617 : 10);
    typedmess(p, gensym("newobj"), 4, layout);
    return kel::patcher_box_at(p, 0);
}

TEST_F(PatcherTest, NamesResolveThroughNestedSubpatchers)
{
    patcher *p = load("r.pat", patch("#N vpatcher 0 0 100 100;\r\n"
                                     "#N vpatcher 0 0 100 100;\r\n#P newex 10 10 50 196617 probe deep;\r\n"
                                     "#P objectname osc;\r\n#P pop;\r\n#P newobj 10 10 50 196617 p inner;\r\n"
                                     "#P objectname inner;\r\n#P pop;\r\n#P newobj 10 10 50 196617 p outer;\r\n"
                                     "#P objectname outer;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *outer = reinterpret_cast<patcher *>(nth(p, 0)->obj);
    auto *inner = reinterpret_cast<patcher *>(nth(outer, 0)->obj);
    box *osc = nth(inner, 0);

    EXPECT_EQ(patcher_resolvebox(p, S("outer::inner::osc")), osc);
    EXPECT_EQ(patcher_resolveobj(p, S("outer::inner::osc")), osc->obj);
    EXPECT_EQ(patcher_resolvepatcher(p, S("outer::inner")), inner);
    EXPECT_EQ(patcher_resolvebox(p, S("outer")), nth(p, 0));
    for (const char *missing : {"inner::osc", "outer::osc", "outer::inner::osc::more", "outer::::osc", "", "nobody"})
        EXPECT_EQ(patcher_resolvebox(p, S(missing)), nullptr) << missing;

    long count = 0;
    symbol **names = patcher_namepath_symarray_new(S("outer::inner::osc"), &count);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(names[1], S("inner"));
    EXPECT_EQ(patcher_resolvebox_symarray(p, count, names), osc);
    EXPECT_EQ(patcher_resolvebox_symarray(p, 2, names), nth(outer, 0));
    patcher_namepath_symarray_free(names, count);
    EXPECT_EQ(patcher_namepath_symarray_new(S(""), &count), nullptr);
    EXPECT_EQ(count, 0);
}

TEST_F(PatcherTest, ANumberAfterADotAddressesAnInstanceOfAPolyBox)
{
    patcher *p = load("v.pat", patch(""));
    patcher *voices[2];
    for (int k = 0; k < 2; k++) {
        voices[k] = load("voice" + std::to_string(k) + ".pat",
                         patch("#P newex 10 10 50 196617 probe v" + std::to_string(k) + ";\r\n#P objectname osc;\r\n"));
        ASSERT_NE(voices[k], nullptr);
    }
    auto *poly = static_cast<poly_object *>(object_alloc(poly_class()));
    poly->voices[0] = voices[0];
    poly->voices[1] = voices[1];
    box *b = box_showing(p, &poly->header);
    patcher_setboxname(p, b, S("voices"));

    EXPECT_EQ(patcher_resolvebox(p, S("voices.1::osc")), nth(voices[0], 0));
    EXPECT_EQ(patcher_resolvebox(p, S("voices.2::osc")), nth(voices[1], 0));
    EXPECT_EQ(patcher_resolvepatcher(p, S("voices.2")), voices[1]);
    EXPECT_EQ(patcher_resolvebox(p, S("voices.3::osc")), nullptr) << "no such instance";
    EXPECT_EQ(patcher_resolvebox(p, S("voices.0::osc")), nullptr) << "instances count from 1";

    // Only a poly~ box has instances.
    patcher *other = load("plain.pat", patch("#N vpatcher 0 0 100 100;\r\n#P newex 10 10 50 196617 probe in;\r\n"
                                             "#P objectname osc;\r\n#P pop;\r\n#P newobj 10 10 50 196617 p sub;\r\n"
                                             "#P objectname sub;\r\n"));
    ASSERT_NE(other, nullptr);
    EXPECT_NE(patcher_resolvebox(other, S("sub::osc")), nullptr);
    EXPECT_EQ(patcher_resolvebox(other, S("sub.1::osc")), nullptr);
    // The stand-in poly~ does not own its voices: it goes before they do.
    freeobject(p);
}

// --- attributes through an object box ---

struct leveled {
    object header;
    hashtab *obex;
    long level;
};

void *leveled_new()
{
    static kel_class *c = [] {
        kel_class *made =
            class_new("leveled", reinterpret_cast<kel_method>(&leveled_new), nullptr, sizeof(leveled), nullptr, 0);
        class_obexoffset_set(made, static_cast<long>(offsetof(leveled, obex)));
        class_addattr(made, attr_offset_new("level", gensym("long"), 0, nullptr, nullptr,
                                            static_cast<long>(offsetof(leveled, level))));
        class_register(gensym("box"), made);
        return made;
    }();
    auto *x = static_cast<leveled *>(object_alloc(c));
    x->level = 3;
    return x;
}

TEST_F(PatcherTest, AttributesOfABoxedObjectAreReachedThroughItsBox)
{
    patcher *p = load("a.pat", patch(""));
    auto *x = static_cast<leveled *>(leveled_new());
    box *b = box_showing(p, &x->header);
    ASSERT_TRUE(isnewex(b));
    EXPECT_EQ(object_attr_getlong(b, S("level")), 3);
    object_attr_setlong(b, S("level"), 8);
    EXPECT_EQ(x->level, 8);
}

// --- pvar ---

class PvarTest : public PatcherTest {
protected:
    void SetUp() override
    {
        PatcherTest::SetUp();
        kel::test::drain_queue();
    }
    void TearDown() override
    {
        kel::g_developer = false;
        kel::test::drain_queue();
        PatcherTest::TearDown();
    }
    static void send_int(object *x, long n)
    {
        atom a;
        atom_setlong(&a, n);
        typedmess(x, gensym("int"), 1, &a);
    }
    // The console's lines without the registry's own developer lines.
    static strings pvar_lines(const console_capture &console)
    {
        strings out;
        for (const std::string &line : console.lines())
            if (line.rfind("registering:", 0) != 0 && line.rfind("unregistering:", 0) != 0) out.push_back(line);
        return out;
    }
    static std::string assist(object *x, long message, long arg)
    {
        char text[64] = "";
        object_method(x, gensym("assist"), nullptr, message, arg, text);
        return text;
    }
};

// A pvar (box 1) feeding a probe (box 0); probe "amp" with two outlets
// comes first in the file.
const char *pvar_patch = "#P newex 200 20 50 196617 probe amp 0 2;\r\n"
                         "#P newex 20 20 50 196617 pvar amp 2;\r\n"
                         "#P newex 20 60 50 196617 probe left;\r\n"
                         "#P newex 90 60 50 196617 probe right;\r\n"
                         "#P connect 2 0 1 0;\r\n"
                         "#P connect 2 1 0 0;\r\n";

TEST_F(PvarTest, APvarPassesMessagesToTheNamedObjectAndItsOutputBack)
{
    patcher *p = load("pv.pat", patch(pvar_patch));
    ASSERT_NE(p, nullptr);
    object *pv = nth(p, 2)->obj;
    box *amp = nth(p, 3);
    g_log.clear();
    send_int(pv, 5);
    EXPECT_EQ(g_log, "") << "no box has the name yet";

    kel::g_developer = true;
    console_capture console;
    patcher_setboxname(p, amp, S("amp"));
    EXPECT_EQ(pvar_lines(console), strings{"pvar_connect amp"});
    send_int(pv, 5);
    atom args[3];
    atom_setlong(&args[0], 1);
    atom_setsym(&args[1], S("hello"));
    atom_setlong(&args[2], 7);
    typedmess(amp->obj, S("send"), 3, args);
    EXPECT_EQ(g_log, "amp int 5 | right hello 7");
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Connected)");
    EXPECT_EQ(assist(pv, 2, 1), "Object amp (Connected) output 1 (In Use)");

    console_capture renamed;
    patcher_setboxname(p, amp, S("other"));
    EXPECT_EQ(pvar_lines(renamed), strings{"disconnect amp"});
    g_log.clear();
    send_int(pv, 6);
    typedmess(amp->obj, S("send"), 3, args);
    EXPECT_EQ(g_log, "") << "neither way once the name has gone";
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Disconnected)");
    EXPECT_EQ(assist(pv, 2, 0), "Object amp (Disconnected) output 0 (Not In Use)");
}

TEST_F(PvarTest, SetnameFollowsAnotherBox)
{
    patcher *p = load("sn.pat", patch(std::string(pvar_patch) + "#P objectname right;\r\n"));
    ASSERT_NE(p, nullptr);
    object *pv = nth(p, 2)->obj;
    patcher_setboxname(p, nth(p, 3), S("amp"));
    atom name;
    atom_setsym(&name, S("right"));
    typedmess(pv, S("setname"), 1, &name);
    g_log.clear();
    send_int(pv, 9);
    EXPECT_EQ(g_log, "right int 9");
    // amp's output no longer reaches the pvar.
    atom args[2];
    atom_setlong(&args[0], 0);
    atom_setsym(&args[1], S("x"));
    g_log.clear();
    typedmess(nth(p, 3)->obj, S("send"), 2, args);
    EXPECT_EQ(g_log, "");
}

TEST_F(PvarTest, TheNamedBoxLeavingClearsTheConnections)
{
    patcher *p = load("del.pat", patch(std::string(pvar_patch)));
    ASSERT_NE(p, nullptr);
    patcher_setboxname(p, nth(p, 3), S("amp"));
    object *pv = nth(p, 2)->obj;
    kel::g_developer = true;
    console_capture console;
    patcher_deleteobj(p, nth(p, 3));
    EXPECT_EQ(pvar_lines(console), strings{"clearconnect amp"});
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Disconnected)");
    g_log.clear();
    send_int(pv, 1);
    EXPECT_EQ(g_log, "");
}

TEST_F(PvarTest, AScriptedDeleteClearsTheConnections)
{
    patcher *p = load("sdel.pat", patch(std::string(pvar_patch)));
    ASSERT_NE(p, nullptr);
    patcher_setboxname(p, nth(p, 3), S("amp"));
    object *pv = nth(p, 2)->obj;
    kel::g_developer = true;
    console_capture console;
    atom args[2];
    atom_setsym(&args[0], S("delete"));
    atom_setsym(&args[1], S("amp"));
    typedmess(p, S("script"), 2, args);
    EXPECT_EQ(pvar_lines(console), strings{"clearconnect amp"});
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Disconnected)");
    kel::test::drain_queue();
}

TEST_F(PvarTest, AnOutletGoneFromTheNamedSubpatcherIsNotTouchedAgain)
{
    patcher *p = load("sp.pat", patch("#N vpatcher 0 0 100 100;\r\n#P newex 10 10 50 196617 probe in 0 1;\r\n"
                                      "#P outlet 10 50 15;\r\n#P connect 1 0 0 0;\r\n#P pop;\r\n"
                                      "#P newobj 200 20 40 196617 p sub;\r\n#P objectname sub;\r\n"
                                      "#P newex 20 20 50 196617 pvar sub;\r\n"
                                      "#P newex 20 60 50 196617 probe out;\r\n#P connect 1 0 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *sub = reinterpret_cast<patcher *>(nth(p, 2)->obj);
    object *pv = nth(p, 1)->obj;
    atom args[2];
    atom_setlong(&args[0], 0);
    atom_setsym(&args[1], S("through"));
    g_log.clear();
    typedmess(nth(sub, 1)->obj, S("send"), 2, args);
    EXPECT_EQ(g_log, "out through");
    EXPECT_EQ(assist(pv, 2, 0), "Object sub (Connected) output 0 (In Use)");

    console_capture console;
    patcher_deleteobj(sub, nth(sub, 0));  // the outlet box, and the patcher's outlet with it
    patcher_setboxname(p, nth(p, 2), S("renamed"));
    EXPECT_EQ(pvar_lines(console), strings{}) << "nothing is removed twice";
    g_log.clear();
    typedmess(nth(sub, 0)->obj, S("send"), 2, args);
    EXPECT_EQ(g_log, "");
}

TEST_F(PvarTest, ABoxFreedWithoutLeavingItsPatcherFirstIsLetGo)
{
    // A box whose registration goes first (freed directly): the registry
    // tells the pvar, which lets go before the object goes.
    patcher *p = load("free.pat", patch(std::string(pvar_patch)));
    ASSERT_NE(p, nullptr);
    box *amp = nth(p, 3);
    patcher_setboxname(p, amp, S("amp"));
    object *pv = nth(p, 2)->obj;
    freeobject(amp);
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Disconnected)");
    // Freeing the pvar (with its patcher, at the end) must not touch the
    // freed object again.
}

TEST_F(PvarTest, ARetextedBoxKeepsItsNameAndThePvarFollowsTheNewObject)
{
    patcher *p = load("re.pat", patch(std::string(pvar_patch)));
    ASSERT_NE(p, nullptr);
    box *amp = nth(p, 3);
    patcher_setboxname(p, amp, S("amp"));
    atom text[4];
    atom_setsym(&text[0], S("probe"));
    atom_setsym(&text[1], S("again"));
    atom_setlong(&text[2], 0);
    atom_setlong(&text[3], 2);
    kel::newex_retext(amp, 4, text);
    EXPECT_EQ(name_of(p, amp), "amp");
    object *pv = nth(p, 2)->obj;
    g_log.clear();
    send_int(pv, 4);
    atom args[2];
    atom_setlong(&args[0], 0);
    atom_setsym(&args[1], S("out"));
    typedmess(amp->obj, S("send"), 2, args);
    EXPECT_EQ(g_log, "again int 4 | left out");
    EXPECT_EQ(assist(pv, 2, 0), "Object amp (Connected) output 0 (In Use)");
}

TEST_F(PvarTest, LoadbangAttachesAPvarNotYetAttached)
{
    patcher *p = load("lb.pat", patch(std::string(pvar_patch)));
    ASSERT_NE(p, nullptr);
    box *amp = nth(p, 3);
    object *pv = nth(p, 2)->obj;
    // Registered behind the name module's back: no watcher hears of it.
    ASSERT_EQ(object_register(kel::boxnames_namespace(p), S("amp"), amp), amp);
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Disconnected)");
    kel::g_developer = true;
    console_capture console;
    typedmess(pv, S("loadbang"), 0, nullptr);
    EXPECT_EQ(pvar_lines(console), (strings{"pvar_loadbang amp", "pvar_connect amp"}));
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Connected)");
}

TEST_F(PvarTest, APvarNamingItsOwnBoxPassesNothingToItself)
{
    patcher *p = load("self.pat", patch("#P newex 20 20 50 196617 pvar me;\r\n#P objectname me;\r\n"));
    ASSERT_NE(p, nullptr);
    send_int(nth(p, 0)->obj, 1);  // would recurse without end
    SUCCEED();
}

TEST_F(PvarTest, OutletCountArguments)
{
    struct count_case {
        const char *text;
        long outlets;
        bool complains;
    };
    const count_case cases[] = {
        {"pvar", 1, false},       {"pvar amp", 1, false},   {"pvar amp 3", 3, false},         {"pvar 2", 2, false},
        {"pvar amp 0", 0, false}, {"pvar amp -2", 0, true}, {"pvar amp 100000", 1024, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        console_capture console;
        patcher *p = load("c.pat", patch("#P newex 20 20 50 196617 " + std::string(c.text) + ";\r\n"));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(kel::object_outlet_count(nth(p, 0)->obj), c.outlets);
        EXPECT_EQ(console.lines(), c.complains ? strings{error_line("pvar: bad outlet count argument")} : strings{});
        freeobject(p);
    }
}

TEST_F(PvarTest, APvarOutlivingItsPatcherFollowsNothing)
{
    patcher *p = load("out.pat", patch(probes(1) + "#P objectname amp;\r\n"));
    ASSERT_NE(p, nullptr);
    object *saved = gensym("#P")->thing;
    gensym("#P")->thing = &p->header;
    atom name;
    atom_setsym(&name, S("amp"));
    object *pv = static_cast<object *>(newinstance(S("pvar"), 1, &name));
    gensym("#P")->thing = saved;
    ASSERT_NE(pv, nullptr);
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Connected)");
    freeobject(p);
    EXPECT_EQ(assist(pv, 1, 0), "Messages for Object amp (Disconnected)");
    send_int(pv, 1);
    freeobject(pv);
}

}  // namespace
