// Message boxes: $ arguments filled from what arrives, set / append /
// prepend, commas and semicolons, the slots kept across edits, colors,
// saving, the recent texts, and a box that edits itself while it sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atom_support.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/depth.h"
#include "objects/msgbox.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::g_log;
using kel::test::patch;
using kel::test::PatcherTest;
using strings = std::vector<std::string>;

// One input to the box: a selector and its atoms as text ("list 1 2").
struct input {
    const char *selector;
    std::vector<atom> args;
};

using kel::test::F;
using kel::test::L;
using kel::test::S;

class MessageBoxTest : public PatcherTest {
protected:
    void SetUp() override
    {
        PatcherTest::SetUp();
        receiver = static_cast<object *>(newinstance(gensym("probe"), 1, std::vector<atom>{S("rcv")}.data()));
        gensym("rcv")->thing = receiver;
    }
    void TearDown() override
    {
        gensym("rcv")->thing = nullptr;
        freeobject(receiver);
        PatcherTest::TearDown();
    }
    // A message box holding text, its outlet wired to a probe "out". A $ in
    // the text is the box's own: a file writes it escaped.
    box *box_with(const std::string &text)
    {
        std::string escaped;
        for (char c : text) {
            if (c == '$') escaped += '\\';
            escaped += c;
        }
        p = load("m.pat", patch("#P message 10 10 80 196617 " + escaped +
                                ";\r\n"
                                "#P newex 10 50 50 196617 probe out;\r\n"
                                "#P connect 1 0 0 0;\r\n"));
        g_log.clear();
        return p ? nth(p, 1) : nullptr;
    }
    object *receiver = nullptr;
    patcher *p = nullptr;
};

TEST_F(MessageBoxTest, WhatArrivesFillsTheArguments)
{
    const struct {
        const char *contents;
        std::vector<input> inputs;
        strings sent;
    } cases[] = {
        {"hello", {{"int", {L(5)}}}, {"out hello"}},
        {"hello 1 2", {{"bang", {}}}, {"out hello 1 2"}},
        {"$2 $1", {{"list", {L(1), L(2)}}, {"int", {L(7)}}}, {"out list 2 1", "out list 2 7"}},
        {"$1", {{"float", {F(2.5)}}}, {"out float 2.50"}},
        {"$1", {{"symbol", {S("word")}}}, {"out word"}},
        {"$1 and $3", {{"list", {L(1), L(2)}}}, {"out list 1 and 0"}},
        {"$1", {{"list", {S("a"), S("b")}}}, {"out a"}},
        {"1 \\, 2 \\, 3", {{"bang", {}}}, {"out int 1", "out int 2", "out int 3"}},
        {"a \\; rcv b $1", {{"int", {L(4)}}}, {"out a", "rcv b 4"}},
        {"\\; rcv $1 $2", {{"list", {S("x"), L(3)}}}, {"rcv x 3"}},
        {"set $1", {{"int", {L(9)}}}, {"out set 9"}},
        {"$1-suffix", {{"int", {L(9)}}}, {"out 9-suffix"}},
        {"", {{"bang", {}}}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.contents);
        box *b = box_with(c.contents);
        ASSERT_NE(b, nullptr);
        for (const input &in : c.inputs)
            typedmess(b, gensym(in.selector), static_cast<long>(in.args.size()), const_cast<atom *>(in.args.data()));
        EXPECT_EQ(logged(), c.sent);
        freeobject(p);
    }
}

// Cases in the shape ("'1 $1' int 5 -> 'out int 1 int 5'") read badly with
// the int selector; the output is a list: "1 5".
TEST_F(MessageBoxTest, NumbersFirstMakeAList)
{
    box *b = box_with("1 $1");
    ASSERT_NE(b, nullptr);
    typedmess(b, gensym("int"), 1, std::vector<atom>{L(5)}.data());
    EXPECT_EQ(logged(), strings{"out list 1 5"});
}

TEST_F(MessageBoxTest, SetAppendAndPrependChangeTheContentsQuietly)
{
    box *b = box_with("a");
    ASSERT_NE(b, nullptr);
    const struct {
        const char *selector;
        std::vector<atom> args;
        const char *then_sent;  // after a bang
        long slots;
    } steps[] = {
        {"set", {S("b"), S("c")}, "out b c", 0},
        {"append", {S("d"), S("$2")}, "out b c d 0", 2},
        {"prepend", {S("z")}, "out z b c d 0", 2},
        {"set", {}, nullptr, 0},
        {"append", {S(";"), S("rcv"), L(1)}, "rcv int 1", 0},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.selector);
        g_log.clear();
        typedmess(b, gensym(s.selector), static_cast<long>(s.args.size()), const_cast<atom *>(s.args.data()));
        EXPECT_TRUE(g_log.empty()) << "no output";
        EXPECT_EQ(kel::messagebox_slot_count(b), s.slots);
        typedmess(b, gensym("bang"), 0, nullptr);
        EXPECT_EQ(logged(), s.then_sent ? strings{s.then_sent} : strings{});
    }
}

TEST_F(MessageBoxTest, AnEditKeepsTheSlotsThatRemain)
{
    box *b = box_with("$1 $2");
    ASSERT_NE(b, nullptr);
    typedmess(b, gensym("list"), 2, std::vector<atom>{L(4), L(5)}.data());
    typedmess(b, gensym("set"), 1, std::vector<atom>{S("$1")}.data());
    EXPECT_EQ(kel::messagebox_slot_count(b), 1);
    g_log.clear();
    typedmess(b, gensym("bang"), 0, nullptr);
    EXPECT_EQ(logged(), strings{"out int 4"});
    typedmess(b, gensym("set"), 1, std::vector<atom>{S("$3")}.data());
    g_log.clear();
    typedmess(b, gensym("bang"), 0, nullptr);
    EXPECT_EQ(logged(), strings{"out int 0"}) << "new slots hold 0";
}

TEST_F(MessageBoxTest, OtherMessagesAreNotUnderstood)
{
    box *b = box_with("x");
    ASSERT_NE(b, nullptr);
    console_capture console;
    typedmess(b, gensym("foo"), 0, nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("message: doesn't understand \"foo\"")});
    EXPECT_TRUE(g_log.empty());
}

TEST_F(MessageBoxTest, ColorWrapsToFourBitsAndIsSaved)
{
    box *b = box_with("x");
    ASSERT_NE(b, nullptr);
    typedmess(b, gensym("color"), 1, std::vector<atom>{L(17)}.data());
    EXPECT_EQ((b->flags & BOX_COLOR_MASK) >> BOX_COLOR_SHIFT, 1);
    EXPECT_NE(saved(p).find("#P message 10 10 80 196617 x;\r\n#B color 1;\r\n"), std::string::npos) << saved(p);
    patcher *again = load("c.pat", patch("#P message 1 2 3 196617 y;\r\n#B color 19;\r\n"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ((nth(again, 0)->flags & BOX_COLOR_MASK) >> BOX_COLOR_SHIFT, 3);
}

TEST_F(MessageBoxTest, ClickSendsAndStateIsTheContents)
{
    box *b = box_with("a $1 \\; rcv c");
    ASSERT_NE(b, nullptr);
    object_method(b, gensym("click"));
    EXPECT_EQ(logged(), (strings{"out a 0", "rcv c"}));
    binbuf *state = binbuf_new();
    object_method(b, gensym("pstate"), state);
    kel_handle h = sysmem_newhandle(0);
    long size = 0;
    binbuf_totext(state, h, &size);
    EXPECT_EQ(std::string(*h, static_cast<size_t>(size)), "message a \\$1 \\; rcv c;\r\n");
    sysmem_freehandle(h);
    freeobject(state);
}

TEST_F(MessageBoxTest, RecentTextsKeepSixteen)
{
    box *b = box_with("x");
    ASSERT_NE(b, nullptr);
    kel::messagebox_recent_clear();
    for (int k = 0; k < 17; k++) {
        typedmess(b, gensym("set"), 1, std::vector<atom>{L(k)}.data());
        object_method(b, gensym("eval"), 1);
    }
    std::vector<symbol *> recent = kel::messagebox_recent_texts();
    ASSERT_EQ(recent.size(), 16u);
    EXPECT_EQ(recent.front(), gensym("16"));
    EXPECT_EQ(recent.back(), gensym("1")) << "the oldest, 0, was dropped";
    typedmess(b, gensym("set"), 1, std::vector<atom>{L(5)}.data());
    object_method(b, gensym("eval"), 1);
    recent = kel::messagebox_recent_texts();
    EXPECT_EQ(recent.size(), 16u);
    EXPECT_EQ(recent.front(), gensym("5"));
    EXPECT_EQ(recent[1], gensym("16"));
    object_method(b, gensym("eval"), 0);
    EXPECT_EQ(kel::messagebox_recent_texts().size(), 16u) << "eval 0: no edit";
}

TEST_F(MessageBoxTest, ABoxThatEditsItselfWhileSendingStaysSound)
{
    // Its output comes back into it (through a subpatcher that only passes
    // it on). Its first message changes its own contents and slots; the rest
    // of the old contents is still sent, and the new contents once between.
    p = load("s.pat", patch("#P message 10 10 80 196617 set \\$1 \\$2 \\$3 \\, append tail \\, bang \\, \\$1;\r\n"
                            "#P newex 10 50 50 196617 probe out;\r\n"
                            "#N vpatcher 0 0 100 100;\r\n#P inlet 10 10 15;\r\n#P outlet 10 50 15;\r\n"
                            "#P connect 1 0 0 0;\r\n#P pop;\r\n"
                            "#P newobj 100 50 50 196617 p loop;\r\n"
                            "#P connect 2 0 1 0;\r\n"
                            "#P connect 2 0 0 0;\r\n"
                            "#P connect 0 0 2 0;\r\n"));
    ASSERT_NE(p, nullptr);
    box *b = nth(p, 2);
    console_capture console;
    g_log.clear();
    typedmess(b, gensym("list"), 3, std::vector<atom>{S("one"), S("two"), S("three")}.data());
    // The loop box is further right: it receives each message first.
    EXPECT_EQ(logged(),
              (strings{"out set one two three", "out append tail", "out one two three tail", "out bang", "out one"}));
    EXPECT_EQ(console.lines(), strings(2, error_line("message: doesn't understand \"one\"")));
    atombuf *contents = kel::messagebox_contents(b);
    ASSERT_EQ(contents->argc, 4);
    EXPECT_EQ(contents->argv[3].word.w_sym, gensym("tail"));
}

TEST_F(MessageBoxTest, AFeedbackLoopStopsWithTheAlert)
{
    p = load("f.pat", patch("#P message 10 10 50 196617 bang;\r\n"
                            "#P message 10 50 50 196617 bang;\r\n"
                            "#P connect 1 0 0 0;\r\n"
                            "#P connect 0 0 1 0;\r\n"));
    ASSERT_NE(p, nullptr);
    console_capture console;
    typedmess(nth(p, 1), gensym("bang"), 0, nullptr);
    EXPECT_EQ(console.lines(), strings{"Stack overflow. Choose Resume to restart the scheduler"});
    EXPECT_TRUE(kel::sched_state().stopped.load());
    kel::sched_restart();
    // The boxes work again once it is over.
    console_capture after;
    patcher_disconnectobj(p, nth(p, 0), 0, nth(p, 1), 0);
    typedmess(nth(p, 1), gensym("bang"), 0, nullptr);
    EXPECT_TRUE(after.lines().empty()) << after.last();
}

TEST_F(MessageBoxTest, MadeThroughTheCreationObject)
{
    p = load("v.pat", patch(""));
    ASSERT_NE(p, nullptr);
    std::vector<atom> args = {L(0), L(0), L(5), L(5), L(196617), S("made")};
    args[0].type = ATYPE_OBJ;
    args[0].word.w_obj = &p->header;
    std::vector<atom> layout(args.begin() + 1, args.end());
    layout[0] = L(1);
    object *made = static_cast<object *>(newinstance(gensym("vmessage"), 6, args.data()));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(&nth(p, 0)->header, made);
    EXPECT_NE(saved(p).find("#P message 0 5 5 196617 made;"), std::string::npos) << saved(p);
    console_capture console;
    EXPECT_EQ(newinstance(gensym("vmessage"), 3, args.data()), nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("TETextBox: bad args")});
}

}  // namespace
