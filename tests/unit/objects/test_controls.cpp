// Buttons, toggles and sliders: what each message sends, the slider's
// range, offset and multiplier (wrapping, never overflowing), the button's
// flash and colour, the value interface, and the box lines written back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atom_support.h"
#include "kel/clocks.h"
#include "kel/registry.h"
#include "objects/controls.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::F;
using kel::test::g_log;
using kel::test::L;
using kel::test::patch;
using kel::test::PatcherTest;
using kel::test::run_steps;
using kel::test::S;
using kel::test::step;
using strings = std::vector<std::string>;

class ControlsTest : public PatcherTest {
protected:
    // A control made from its line, its outlet wired to the probe "out".
    box *control(const std::string &line)
    {
        p = load("c.pat", patch("#P " + line +
                                ";\r\n"
                                "#P newex 10 50 50 196617 probe out;\r\n"
                                "#P connect 1 0 0 0;\r\n"));
        g_log.clear();
        return p ? nth(p, 1) : nullptr;
    }
    patcher *p = nullptr;
};

TEST_F(ControlsTest, WhatEachMessageSends)
{
    const struct {
        const char *line;
        std::vector<step> steps;
        strings sent;
        long value;
    } cases[] = {
        {"toggle 10 10 15 0",
         {{"int", {L(5)}}, {"bang", {}}, {"bang", {}}},
         {"out int 5", "out int 0", "out int 1"},
         1},
        // 32 bits: 65536 stays on.
        {"toggle 10 10 15 0", {{"int", {L(65536)}}}, {"out int 65536"}, 65536},
        {"toggle 10 10 15 0", {{"float", {F(2.9)}}, {"set", {L(0)}}}, {"out int 2"}, 0},
        {"toggle 10 10 15 0", {{"set", {L(7)}}, {"bang", {}}}, {"out int 0"}, 0},
        {"slider 10 10 15 128 10 2", {{"int", {L(3)}}, {"bang", {}}}, {"out int 16", "out int 16"}, 3},
        // The value is kept as received, beyond the range.
        {"slider 10 10 15 128 0 1", {{"int", {L(500)}}}, {"out int 500"}, 500},
        {"slider 10 10 15 128 0 1", {{"mult", {L(5000)}}, {"int", {L(2)}}}, {"out int 2048"}, 2},
        {"slider 10 10 15 128 0 1", {{"mult", {L(-5000)}}, {"int", {L(2)}}}, {"out int -2048"}, 2},
        // mult x value + min wraps as 32-bit integers do.
        {"slider 10 10 15 128 2147483647 1024", {{"int", {L(2097152)}}}, {"out int -1"}, 2097152},
        {"slider 10 10 15 128 1 1024", {{"int", {L(2147483647)}}}, {"out int -1023"}, 2147483647},
        {"slider 10 10 15 128 0 1", {{"size", {L(0)}}, {"int", {L(0)}}}, {"out int 0"}, 0},
        {"slider 10 10 15 128 0 1", {{"set", {L(100)}}, {"size", {L(10)}}, {"bang", {}}}, {"out int 9"}, 9},
        {"slider 10 10 15 128 0 1", {{"min", {L(-3)}}, {"set", {L(1)}}, {"float", {F(4.5)}}}, {"out int 1"}, 4},
        {"button 10 10 15 0", {{"list", {L(1), L(2), L(3)}}}, {"out bang"}, 0},
        {"button 10 10 15 0",
         {{"int", {L(1)}}, {"float", {F(1)}}, {"foo", {S("x")}}, {"bang", {}}},
         {"out bang", "out bang", "out bang", "out bang"},
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        box *b = control(c.line);
        ASSERT_NE(b, nullptr);
        run_steps(b, c.steps);
        EXPECT_EQ(logged(), c.sent);
        EXPECT_EQ(kel::control_value(b), c.value);
        freeobject(p);
    }
}

TEST_F(ControlsTest, SizeSetsTheRangeAndTheHeight)
{
    box *b = control("slider 10 10 15 128 0 1");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->rect.bottom - b->rect.top, 135);
    for (long n : {0L, 5000L, 64L}) typedmess(b, gensym("size"), 1, std::vector<atom>{L(n)}.data());
    EXPECT_EQ(b->rect.bottom - b->rect.top, 71);
    EXPECT_NE(saved(p).find("#P slider 10 10 15 64 0 1;"), std::string::npos);
}

TEST_F(ControlsTest, AClickOnASliderDragsFromItsValue)
{
    box *b = control("slider 10 10 15 10 100 2");
    ASSERT_NE(b, nullptr);
    typedmess(b, gensym("set"), 1, std::vector<atom>{L(4)}.data());
    object_method(b, gensym("click"));
    kel::control_drag(b, 3);
    kel::control_drag(b, 50);  // the drag stays within the range
    kel::control_drag(b, 50);
    kel::control_release(b);
    kel::control_drag(b, -2);
    EXPECT_EQ(logged(), (strings{"out int 114", "out int 118"}));
}

TEST_F(ControlsTest, AButtonFlashesAndTakesItsColourLater)
{
    box *b = control("button 10 10 15 3");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((b->flags & BOX_COLOR_MASK) >> BOX_COLOR_SHIFT, 3);
    typedmess(b, gensym("bang"), 0, nullptr);
    EXPECT_TRUE(kel::button_flashing(b));
    object_method(b, gensym("click"));
    EXPECT_FALSE(kel::button_flashing(b)) << "the release ends the flash";
    EXPECT_EQ(logged(), (strings{"out bang", "out bang"}));
    for (long n : {16L, -1L, 9L}) typedmess(b, gensym("color"), 1, std::vector<atom>{L(n)}.data());
    EXPECT_EQ((b->flags & BOX_COLOR_MASK) >> BOX_COLOR_SHIFT, 9);
    // The colour is written in the button's line, not after it.
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n"
                        "#P button 10 10 15 9;\r\n"
                        "#P window setfont Geneva 9.;\r\n"
                        "#P newex 10 50 50 196617 probe out;\r\n"
                        "#P connect 1 0 0 0;\r\n"
                        "#P pop;\r\n");
}

TEST_F(ControlsTest, TheValueInterface)
{
    for (const char *line : {"toggle 10 10 15 0", "slider 10 10 15 128 0 1"}) {
        SCOPED_TRACE(line);
        box *b = control(line);
        ASSERT_NE(b, nullptr);
        object_method(b, gensym("setvalueof"), 0L, nullptr);
        EXPECT_TRUE(g_log.empty()) << "nothing to set";
        atom six = L(6);
        object_method(b, gensym("setvalueof"), 1L, &six);
        EXPECT_EQ(logged(), strings{"out int 6"});
        long ac = 0;
        atom *av = nullptr;
        object_method(b, gensym("getvalueof"), &ac, &av);
        ASSERT_EQ(ac, 1);
        EXPECT_EQ(atom_getlong(av), 6);
        freebytes(av, static_cast<long>(sizeof(atom)));
        freeobject(p);
    }
}

TEST_F(ControlsTest, LinesAreWrittenBackWithWhatTheyHeld)
{
    const struct {
        const char *line;
        std::vector<step> steps;
        const char *saved;  // null: as loaded
    } cases[] = {
        {"button 20 20 15", {}, nullptr},
        {"button 20 20 15 0", {}, nullptr},
        {"toggle 20 20 15 0 0 0 0 0 0", {}, nullptr},
        {"toggle 50 20 15 0", {{"int", {L(1)}}}, nullptr},
        {"slider 5 5", {}, nullptr},
        {"slider 5 5 20 200 -7 3", {}, nullptr},
        {"slider 5 5 20 0 0 5000", {}, nullptr},  // read as range 1, mult 1024, written as given
        {"slider 5 5 20 0 0 5000", {{"mult", {L(2)}}}, "slider 5 5 20 0 0 2"},
        {"button 20 20 15 99", {}, nullptr},
        {"hidden slider 5 5 20 200 -7 3", {}, nullptr},
        {"slider 5 5", {{"mult", {L(3)}}}, "slider 5 5 15 128 0 3"},
        {"slider 5 5 15 128 0 1", {{"min", {L(4)}}}, "slider 5 5 15 128 4 1"},
        {"button 20 20 15", {{"color", {L(2)}}}, "button 20 20 15 2"},
        {"toggle 50 20 15 0", {{"color", {L(2)}}}, "toggle 50 20 15 0;\r\n#B color 2"},
        {"slider 5 5", {{"color", {L(7)}}}, "slider 5 5;\r\n#B color 7"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        p = load("c.pat", patch(std::string("#P ") + c.line + ";\r\n"));
        ASSERT_NE(p, nullptr);
        run_steps(nth(p, 0), c.steps);
        const std::string expected = std::string("#P ") + (c.saved ? c.saved : c.line) + ";\r\n";
        EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n" + expected + "#P pop;\r\n");
        freeobject(p);
    }
}

struct listener {
    object header;
    long heard;
};

void *listener_notify(listener *x, symbol *, symbol *message, void *, void *)
{
    if (message == gensym("modified")) x->heard++;
    return nullptr;
}

// Dependents hear `modified` when a toggle's or slider's value changes, and
// on every value a number box stores.
TEST_F(ControlsTest, DependentsHearModified)
{
    static kel_class *c = [] {
        kel_class *made = class_new("modified_listener", nullptr, nullptr, sizeof(listener), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&listener_notify), "notify", ATYPE_CANT, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    const struct {
        const char *line;
        std::vector<step> steps;
        long heard;
    } cases[] = {
        {"toggle 10 10 15 0", {{"int", {L(1)}}, {"set", {L(1)}}, {"bang", {}}}, 2},
        {"slider 10 10 15 128 0 1", {{"int", {L(3)}}, {"int", {L(3)}}, {"size", {L(2)}}}, 2},
        {"number 10 10 35 9 0 0 0 3", {{"int", {L(3)}}, {"set", {L(3)}}}, 2},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.line);
        box *b = control(k.line);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(object_register(gensym("controls_test"), gensym("watched"), b), b);
        auto *l = static_cast<listener *>(object_alloc(c));
        l->heard = 0;
        ASSERT_EQ(object_attach(gensym("controls_test"), gensym("watched"), l), b);
        run_steps(b, k.steps);
        EXPECT_EQ(l->heard, k.heard);
        object_detach(gensym("controls_test"), gensym("watched"), l);
        freeobject(l);
        freeobject(p);
    }
}

}  // namespace
