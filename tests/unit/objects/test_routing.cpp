// The routing and list objects, made by name through the creation object as
// a box makes them, with a recorder on every outlet ("k:message" for outlet
// k, counted from the left) and messages delivered into their inlets the way
// a patch cord delivers them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atom_support.h"
#include "box_rig.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/text/binbuf.h"
#include "kernel/wires/outlets.h"

namespace {

using kel::test::console_capture;
using kel::test::describe;
using kel::test::error_line;
using kel::test::warning_line;
using strings = std::vector<std::string>;

using namespace kel::test::boxes;

// --- route ---

TEST(Route, MatchesIntsFloatsSymbolsAndListsAndRejectsTheRest)
{
    run_cases({
        // Every matching entry fires, in argument order.
        {"route 1 1", {{0, "1", {"0:bang", "1:bang"}}, {0, "2", {"2:int 2"}}}},
        {"route foo",
         {{0, "foo 1 2", {"0:list L:1 L:2"}},
          {0, "foo", {"0:bang"}},
          {0, "foo bar 3", {"0:bar L:3"}},
          {0, "foo 2.5", {"0:float 2.5"}},
          {0, "foo 7", {"0:int 7"}},
          {0, "baz 1", {"1:baz L:1"}},
          {0, "bang", {"1:bang"}},
          {0, "3", {"1:int 3"}},
          {0, "1 2", {"1:list L:1 L:2"}}}},
        {"route int float list",
         {{0, "3", {"0:int 3"}}, {0, "2.5", {"1:float 2.5"}}, {0, "1 2", {"2:list L:1 L:2"}}, {0, "foo", {"3:foo"}}}},
        // Floats match float entries only; lists compare numbers across types.
        {"route 2 2.5",
         {{0, "2", {"0:bang"}},
          {0, "2.5", {"1:bang"}},
          {0, "2.", {"2:float 2"}},
          {0, "2. 9", {"0:int 9"}},
          {0, "2.5 1 2", {"1:list L:1 L:2"}},
          {0, "3 4", {"2:list L:3 L:4"}}}},
        {"route", {{0, "0", {"0:bang"}}, {0, "1", {"1:int 1"}}}},
        {"route symbol bang", {{0, "symbol bar", {"0:bar"}}, {0, "bang", {"1:bang"}}}},
    });
}

// --- select ---

TEST(Select, TheIntegerFormHasAMatchInlet)
{
    run_cases({
        {"sel 3",
         {{0, "3", {"0:bang"}},
          {0, "4", {"1:int 4"}},
          {0, "3.7", {"0:bang"}},
          {0, "4.25", {"1:float 4.25"}},
          {1, "5", {}},
          {0, "5", {"0:bang"}},
          {0, "3", {"1:int 3"}},
          {0, "foo 1", {"1:foo L:1"}},
          {0, "bang", {"1:bang"}}}},
        {"select", {{0, "0", {"0:bang"}}, {0, "1", {"1:int 1"}}}},
        {"sel #1", {{0, "0", {"0:bang"}}, {1, "2", {}}, {0, "2", {"0:bang"}}}},
        // A list spreads: the second number replaces the match value first.
        {"sel 3", {{0, "3 4", {"1:int 3"}}, {0, "4", {"0:bang"}}}},
    });
}

TEST(Select, TheGeneralFormBangsTheFirstMatchingArgument)
{
    run_cases({
        // The integer 3 equals the truncated input and is tested first.
        {"sel 3 3.5", {{0, "3.5", {"0:bang"}}, {0, "3.7", {"0:bang"}}, {0, "3", {"0:bang"}}, {0, "4", {"2:int 4"}}}},
        {"sel 3.5 3", {{0, "3.5", {"0:bang"}}, {0, "3", {"1:bang"}}, {0, "3.25", {"1:bang"}}}},
        {"sel 2.5", {{0, "2.5", {"0:bang"}}, {0, "2", {"1:int 2"}}, {0, "2.", {"1:float 2"}}}},
        {"sel foo bar",
         {{0, "bar", {"1:bang"}},
          {0, "symbol foo", {"0:bang"}},
          {0, "symbol baz", {"2:symbol S:baz"}},
          {0, "baz 1", {"2:baz L:1"}},
          {0, "bang", {"2:symbol S:bang"}},
          {0, "1", {"2:int 1"}}}},
        {"sel bang 1", {{0, "bang", {"0:bang"}}, {0, "1", {"1:bang"}}}},
    });
}

// --- gate and switch ---

TEST(Gate, TheLeftInletChoosesTheOutletOfTheRightInlet)
{
    run_cases({
        {"gate 2",
         {{1, "5", {}},
          {0, "bang", {"0:int 0"}},
          {0, "5", {}},  // beyond the count: the last outlet
          {1, "7", {"1:int 7"}},
          {0, "bang", {"0:int 2"}},
          {0, "-1", {}},  // below 0: the first outlet
          {1, "foo 1 2", {"0:foo L:1 L:2"}},
          {1, "1 2.5", {"0:list L:1 F:2.5"}},
          {1, "bang", {"0:bang"}},
          {1, "2.5", {"0:float 2.5"}},
          {0, "0", {}},
          {1, "7", {}},
          {0, "2.9", {}},
          {1, "7", {"1:int 7"}}}},
        {"gate 2 5", {{1, "1", {"1:int 1"}}}},
        {"gate 3 -2", {{1, "1", {}}, {0, "bang", {"0:int 0"}}}},
        {"gate 200", {{0, "150", {}}, {1, "3", {"99:int 3"}}}},
        // A list into the left inlet spreads: its second atom goes through the
        // gate as it stands, then its first chooses.
        {"gate 2", {{0, "1 5", {}}, {0, "1 5", {"0:int 5"}}}},
    });
}

TEST(Switch, TheLeftInletChoosesWhichDataInletPasses)
{
    run_cases({
        {"switch 3",
         {{2, "5", {}},
          {0, "bang", {"0:int 0"}},
          {0, "2", {}},
          {2, "5", {"0:int 5"}},
          {1, "5", {}},
          {0, "-3", {}},  // the magnitude chooses
          {3, "foo", {"0:foo"}},
          {2, "5", {}},
          {0, "9", {}},  // clamped to the count
          {0, "bang", {"0:int 3"}},
          {3, "1 2", {"0:list L:1 L:2"}},
          {0, "0", {}},
          {3, "1", {}},
          {0, "1.9", {}},
          {1, "bang", {"0:bang"}}}},
        {"switch 3 2", {{2, "4", {"0:int 4"}}, {0, "bang", {"0:int 2"}}}},
        {"switch 3 -9", {{3, "4", {"0:int 4"}}}},
        {"switch 2", {{0, "-2147483648", {}}, {2, "1", {"0:int 1"}}}},
    });
}

// --- trigger ---

TEST(Trigger, EveryInputFiresEveryOutletRightToLeft)
{
    run_cases({
        {"t b i f", {{0, "3", {"2:float 3", "1:int 3", "0:bang"}}}},
        {"trigger b i f l s",
         {{0, "3", {"4:", "3:list L:3", "2:float 3", "1:int 3", "0:bang"}},
          {0, "2.5", {"4:", "3:list F:2.5", "2:float 2.5", "1:int 2", "0:bang"}},
          {0, "1.5 2 foo", {"4: F:1.5 L:2 S:foo", "3:list F:1.5 L:2 S:foo", "2:float 1.5", "1:int 1", "0:bang"}},
          {0, "foo 1", {"4:foo L:1", "3:foo L:1", "2:float 0", "1:int 0", "0:bang"}},
          {0, "bang", {"4:bang", "3:bang", "2:float 0", "1:int 0", "0:bang"}}}},
        // Constants and the pass-through of an unfilled patcher argument.
        {"t 5 2.5 foo #1",
         {{0, "3", {"3:int 3", "2:foo", "1:float 2.5", "0:int 5"}},
          {0, "0.5", {"3:float 0.5", "2:foo", "1:float 2.5", "0:int 5"}},
          {0, "7 8", {"3:int 7", "2:foo", "1:float 2.5", "0:int 5"}},
          {0, "bar 1", {"3:bar L:1", "2:foo", "1:float 2.5", "0:int 5"}},
          {0, "bang", {"3:bang", "2:foo", "1:float 2.5", "0:int 5"}}}},
        {"t", {{0, "4", {"1:int 4", "0:int 4"}}, {0, "4.5", {"1:int 4", "0:int 4"}}}},
    });
}

TEST(Trigger, AListThatStartsWithASymbol)
{
    rig r("t #1 s i");
    std::vector<atom> list = {kel::test::S("foo"), kel::test::L(1)};
    g_seen.clear();
    typedmess(r.get(), gensym("list"), 2, list.data());
    EXPECT_EQ(g_seen, (strings{"2:int 0", "1: S:foo L:1", "0: S:foo L:1"}));
}

TEST(Trigger, OutletTypesAndHelpTexts)
{
    rig r("t b i f l s 1 1.5 x #1");
    ASSERT_NE(r.get(), nullptr);
    std::vector<std::string> types;
    for (outlet *o = r.get()->outlets; o; o = o->next) types.push_back(o->type ? o->type->name : "-");
    EXPECT_EQ(types, (strings{"bang", "int", "float", "-", "-", "int", "float", "-", "-"}));

    char text[256] = "";
    object_method(r.get(), gensym("assist"), nullptr, 1, 0, text);
    EXPECT_STREQ(text, "Message to be Fanned to Multiple Outputs");
    strings help;
    for (long k = 0; k < 9; k++) {
        object_method(r.get(), gensym("assist"), nullptr, 2, k, text);
        help.push_back(text);
    }
    EXPECT_EQ(help, (strings{"Output Order 9 (bang)", "Output Order 8 (int)", "Output Order 7 (float)",
                             "Output Order 6 (list)", "Output Order 5 (symbol)", "Output Order 4 (int)",
                             "Output Order 3 (float)", "Output Order 2 (symbol)", "Output Order 1 (anything)"}));
}

// --- pack and unpack ---

TEST(Pack, SlotsKeepTheTypeTheirArgumentGave)
{
    run_cases({
        {"pack 0 f sym",
         {{0, "1 2", {"0:list L:1 F:2 S:sym"}},
          {0, "set 5", {}},
          {0, "bang", {"0:list L:5 F:2 S:sym"}},
          {1, "7", {}},
          {2, "4", {}},  // a number into a symbol slot is the empty symbol
          {0, "bang", {"0:list L:5 F:7 S:"}},
          {2, "symbol bar", {}},
          {1, "2.5", {}},
          {0, "9.9", {"0:list L:9 F:2.5 S:bar"}},
          // Any other message: its selector into the slot (0 in a number
          // slot), its atoms into the slots after it.
          {0, "foo 1 2", {"0:list L:0 F:1 S:"}},
          {1, "set 8 baz", {}},
          {0, "bang", {"0:list L:0 F:8 S:baz"}}}},
        {"pack",
         {{0, "1 2", {"0:list L:1 L:2"}},
          {1, "3", {}},
          {0, "4", {"0:list L:4 L:3"}},
          {1, "5 6", {}},
          {1, "bang", {}},
          {0, "bang", {"0:list L:4 L:5"}}}},
        // A symbol first slot makes it the selector.
        {"pack foo 1",
         {{0, "bang", {"0:foo L:1"}}, {0, "bar", {"0:bar L:1"}}, {1, "2.5", {}}, {0, "bang", {"0:bar L:2"}}}},
        {"pack 1 2.5 x",
         {{0, "nth 1", {"0:int 1"}},
          {0, "nth 2", {"0:float 2.5"}},
          {0, "nth 3", {"0:x"}},
          {0, "nth 0", {}},
          {0, "nth 4", {}}}},
        {"list i f", {{0, "3 4", {"0:list L:3 F:4"}}}},
    });
}

TEST(Pack, SendDeliversThePackedMessageToANamedObject)
{
    named_recorder dest("pack_dest");
    rig numbers("pack 1 2");
    rig named("pack foo 2");
    console_capture console;
    numbers.send(0, "send pack_dest");
    EXPECT_EQ(g_seen, strings{"9:list L:1 L:2"});
    named.send(0, "send pack_dest");
    EXPECT_EQ(g_seen, strings{"9:foo L:2"});
    numbers.send(1, "send pack_dest");  // only from the left inlet
    EXPECT_EQ(g_seen, strings{});
    numbers.send(0, "send pack_nobody");
    numbers.send(0, "send g_kel_newest");
    EXPECT_EQ(g_seen, strings{});
    numbers.send(0, "send");
    numbers.send(0, "send 3");
    EXPECT_EQ(console.lines(), (strings{error_line("pack: missing or incorrect arguments to send"),
                                        error_line("pack: missing or incorrect arguments to send")}));
}

TEST(Unpack, SplitsAMessageRightToLeft)
{
    run_cases({
        {"unpack",
         {{0, "1 2 3", {"1:int 2", "0:int 1"}},
          {0, "4", {"0:int 4"}},
          {0, "2.7", {"0:int 2"}},
          {0, "bang", {"1:int 2", "0:int 2"}}}},
        {"unpack i f s",
         {{0, "1.5 2 foo", {"2:foo", "1:float 2", "0:int 1"}},
          {0, "bang", {"2:foo", "1:float 2", "0:int 1"}},
          {0, "3 4.5 6", {"2:int 6", "1:float 4.5", "0:int 3"}},
          {0, "7 8", {"1:float 8", "0:int 7"}},
          {0, "bar 7 x", {"2:x", "1:float 7", "0:int 0"}}}},
        {"unpack s s", {{0, "bang", {}}, {0, "baz 1 2", {"1:int 1", "0:baz"}}, {0, "bang", {"1:int 1", "0:baz"}}}},
        {"unpack 0 0. x", {{0, "1.5 2 3.5", {"2:float 3.5", "1:float 2", "0:int 1"}}}},
    });
}

// --- swap, bangbang, change ---

TEST(Swap, ExchangesTheTwoValues)
{
    run_cases({
        {"swap 3",
         {{0, "5", {"1:int 5", "0:int 3"}},
          {0, "2.7", {"1:int 2", "0:int 3"}},
          {1, "9", {}},
          {0, "bang", {"1:int 2", "0:int 9"}},
          {1, "4.5", {}},
          {0, "bang", {"1:int 2", "0:int 4"}},
          {0, "6 7", {"1:int 6", "0:int 7"}}}},
        {"swap 1.5", {{0, "4", {"1:int 4", "0:float 1.5"}}, {1, "2.25", {}}, {0, "2.9", {"1:int 2", "0:float 2.25"}}}},
        {"fswap 2", {{0, "4", {"1:float 4", "0:int 2"}}, {0, "2.5", {"1:float 2.5", "0:int 2"}}}},
        {"fswap", {{0, "1.5", {"1:float 1.5", "0:int 0"}}}},
        {"swap foo", {{0, "1", {"1:int 1", "0:int 0"}}}},
    });
    console_capture console;
    rig r("swap 1 2");
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(console.lines(), strings{warning_line("swap: too many arguments")});
    EXPECT_EQ(r.send(0, "5"), (strings{"1:int 5", "0:int 1"}));
}

TEST(Bangbang, BangsEveryOutletRightToLeftForAnyMessage)
{
    run_cases({
        {"b 3",
         {{0, "7", {"2:bang", "1:bang", "0:bang"}},
          {0, "2.5", {"2:bang", "1:bang", "0:bang"}},
          {0, "foo 1", {"2:bang", "1:bang", "0:bang"}},
          {0, "1 2", {"2:bang", "1:bang", "0:bang"}},
          {0, "bang", {"2:bang", "1:bang", "0:bang"}}}},
    });
    struct expected {
        const char *box;
        int outlets;
    };
    for (const expected &e :
         std::vector<expected>{{"bangbang", 2}, {"b 0", 2}, {"b -4", 2}, {"b 1", 1}, {"b 40", 40}, {"b 50", 40}}) {
        rig r(e.box);
        EXPECT_EQ(r.outlets(), e.outlets) << e.box;
    }
}

TEST(Change, PassesOnlyChanges)
{
    run_cases({
        {"change",
         {{0, "1", {"1:int 1", "0:int 1"}},
          {0, "1", {}},
          {0, "0", {"2:int 1", "0:int 0"}},
          {0, "2.7", {"1:int 1", "0:int 2"}},
          {0, "2.2", {}}}},
        {"change 0 +",
         {{0, "1", {"1:int 1", "0:int 1"}}, {0, "1", {}}, {0, "3", {"0:int 1"}}, {0, "2", {}}, {0, "0", {"2:int 1"}}}},
        {"change 5 -", {{0, "3", {"0:int -1"}}, {0, "4", {}}, {0, "0", {"2:int 1", "0:int -1"}}}},
        {"change -", {{0, "1", {"1:int 1"}}, {0, "-1", {"0:int -1"}}}},
        // "set" stores without touching the zero flag.
        {"change 0.",
         {{0, "2.5", {"1:int 1", "0:float 2.5"}},
          {0, "2.5", {}},
          {0, "2", {"0:float 2"}},
          {0, "set 0", {}},
          {0, "0", {}},
          {0, "1", {"0:float 1"}}}},
        {"change", {{0, "mode +", {}}, {0, "5", {"1:int 1", "0:int 1"}}, {0, "mode x", {}}, {0, "6", {"0:int 6"}}}},
    });
}

// --- bag and accum ---

TEST(Bag, KeepsIntegersNewestFirst)
{
    run_cases({
        {"bag",
         {{1, "1", {}},
          {0, "3", {}},
          {0, "5", {}},
          {0, "3", {}},  // no duplicates without an argument
          {0, "bang", {"0:int 5", "0:int 3"}},
          {0, "length", {"0:int 2"}},
          {1, "0", {}},
          {0, "3", {}},
          {0, "bang", {"0:int 5"}}}},
        {"bag keep",
         {{0, "4", {}},  // removing is the first setting: nothing to remove
          {0, "length", {"0:int 0"}},
          {1, "7", {}},
          {0, "3", {}},
          {0, "5", {}},
          {0, "3", {}},
          {0, "2.7", {}},
          {0, "bang", {"0:int 2", "0:int 3", "0:int 5", "0:int 3"}},
          {1, "0", {}},
          {0, "3", {}},  // the newest 3 goes
          {0, "bang", {"0:int 2", "0:int 5", "0:int 3"}},
          {0, "cut", {"0:int 3"}},
          {0, "bang", {"0:int 2", "0:int 5"}},
          {0, "clear", {}},
          {0, "bang", {}},
          {0, "cut", {}},
          {0, "length", {"0:int 0"}}}},
    });
}

TEST(Bag, SendCallsTheNamedObjectForEachEntryOrTheCount)
{
    named_recorder dest("bag_dest");
    rig r("bag");
    console_capture console;
    r.send(1, "1");
    r.send(0, "1");
    r.send(0, "2");
    r.send(0, "send bag_dest");
    EXPECT_EQ(g_seen, (strings{"9:int 2", "9:int 1"}));
    r.send(0, "send bag_dest length");
    EXPECT_EQ(g_seen, strings{"9:int 2"});
    r.send(0, "send bag_nobody");
    EXPECT_EQ(g_seen, strings{});
    r.send(0, "send");
    EXPECT_EQ(console.lines(), strings{error_line("bag: missing or incorrect arguments to send")});
}

// A receiver that empties the bag it listens to whenever a number arrives.
struct clearer {
    object header;
    object *bag;
    int received;
};

void *clearer_int(clearer *c, long)
{
    c->received++;
    typedmess(c->bag, gensym("clear"), 0, nullptr);
    return nullptr;
}

TEST(Bag, AReceiverMayChangeTheBagWhileItIsSent)
{
    static kel_class *clearer_class = [] {
        kel_class *made = class_new("bag_clearer", nullptr, nullptr, sizeof(clearer), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&clearer_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    rig r("bag");
    r.send(1, "1");
    for (const char *n : {"1", "2", "3", "4"}) r.send(0, n);
    auto *c = static_cast<clearer *>(object_alloc(clearer_class));
    c->bag = r.get();
    c->received = 0;
    outlet_add(r.get()->outlets, c);
    // The entries go out as they were when the bang arrived.
    r.send(0, "bang");
    EXPECT_EQ(c->received, 4);
    EXPECT_EQ(g_seen, (strings{"0:int 4", "0:int 3", "0:int 2", "0:int 1"}));
    outlet_rm(r.get()->outlets, c);
    EXPECT_EQ(r.send(0, "length"), strings{"0:int 0"});
    freeobject(c);
}

TEST(Accum, AccumulatesAndMultiplies)
{
    run_cases({
        {"accum",
         {{0, "set 2", {}},
          {2, "1.25", {}},
          {0, "bang", {"0:int 3"}},  // 2.5: halves away from zero
          {0, "set -2.5", {}},
          {0, "bang", {"0:int -3"}},
          {1, "1.9", {}},  // an int inlet: 1 is added
          {0, "bang", {"0:int -2"}},
          {0, "4", {"0:int 4"}},
          {1, "3", {}},
          {0, "bang", {"0:int 7"}},
          {0, "2.5", {"0:int 3"}}}},
        {"accum 1.5",
         {{1, "0.25", {}},
          {0, "bang", {"0:float 1.75"}},
          {2, "2", {}},
          {0, "bang", {"0:float 3.5"}},
          {0, "2", {"0:float 2"}}}},
        {"accum 10", {{0, "bang", {"0:int 10"}}}},
    });
    console_capture console;
    EXPECT_EQ(make_box("accum foo"), nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("accum: bad input arg")});
}

// --- made by name ---

TEST(RoutingClasses, EveryNameMakesItsClassWithItsInletsAndOutlets)
{
    struct expected {
        const char *box;
        const char *class_name;
        int inlets;
        int outlets;
    };
    for (const expected &e : std::vector<expected>{{"route a b", "route", 1, 3},
                                                   {"select 1", "select", 2, 2},
                                                   {"sel a b", "select", 1, 3},
                                                   {"gate", "gate", 2, 1},
                                                   {"gate 3", "gate", 2, 3},
                                                   {"switch", "switch", 3, 1},
                                                   {"switch 4", "switch", 5, 1},
                                                   {"switch 500", "switch", 101, 1},
                                                   {"trigger b b", "trigger", 1, 2},
                                                   {"t", "trigger", 1, 2},
                                                   {"pack 1 2 3", "pack", 3, 1},
                                                   {"list", "pack", 2, 1},
                                                   {"unpack 1 2 3", "unpack", 1, 3},
                                                   {"swap", "swap", 2, 2},
                                                   {"fswap", "fswap", 2, 2},
                                                   {"bangbang", "bangbang", 1, 2},
                                                   {"b 5", "bangbang", 1, 5},
                                                   {"change", "change", 1, 3},
                                                   {"bag", "bag", 2, 1},
                                                   {"accum", "accum", 3, 1},
                                                   {"accum 1.5", "accum", 3, 1}}) {
        rig r(e.box);
        ASSERT_NE(r.get(), nullptr) << e.box;
        EXPECT_STREQ(object_classname(r.get())->name, e.class_name) << e.box;
        EXPECT_EQ(r.inlets(), e.inlets) << e.box;
        EXPECT_EQ(r.outlets(), e.outlets) << e.box;
    }
    for (const char *name : {"route", "select", "sel", "gate", "switch", "trigger", "t", "pack", "list", "unpack",
                             "swap", "fswap", "bangbang", "b", "change", "bag", "accum"})
        EXPECT_NE(class_findbyname(gensym("box"), gensym(name)), nullptr) << name;
}

TEST(RoutingClasses, TypedInletsMatchTheMode)
{
    struct expected {
        const char *box;
        strings inlet_types;  // extra inlets, left to right; "-" for pass-through
    };
    for (const expected &e : std::vector<expected>{{"accum", {"int", "float"}},
                                                   {"accum 0.5", {"float", "float"}},
                                                   {"swap", {"int"}},
                                                   {"swap 0.5", {"float"}},
                                                   {"bag", {"int"}},
                                                   {"sel 1", {"int"}},
                                                   {"gate", {"-"}},
                                                   {"pack 1 2", {"-"}}}) {
        rig r(e.box);
        ASSERT_NE(r.get(), nullptr) << e.box;
        strings types;
        for (inlet *i = r.get()->inlets; i; i = i->next) types.push_back(i->type ? i->type->name : "-");
        EXPECT_EQ(types, e.inlet_types) << e.box;
    }
}
}  // namespace
