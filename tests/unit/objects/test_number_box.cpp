// Number boxes: limits and the initial value, set, min and max, typing,
// dragging with and without output at the end, the value interface, and the
// box line written back with everything it held.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atom_support.h"
#include "objects/number_box.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::F;
using kel::test::g_log;
using kel::test::L;
using kel::test::patch;
using kel::test::PatcherTest;
using kel::test::run_steps;
using kel::test::S;
using kel::test::step;
using strings = std::vector<std::string>;

class NumberBoxTest : public PatcherTest {
protected:
    // A number box made from its line's atoms, its outlets wired to the
    // probes "out" (value) and "tab" (bang).
    box *number(const std::string &line)
    {
        p = load("n.pat", patch("#P " + line +
                                ";\r\n"
                                "#P newex 10 50 50 196617 probe out;\r\n"
                                "#P newex 60 50 50 196617 probe tab;\r\n"
                                "#P connect 2 0 1 0;\r\n"
                                "#P connect 2 1 0 0;\r\n"));
        g_log.clear();
        return p ? nth(p, 2) : nullptr;
    }
    patcher *p = nullptr;
};

TEST_F(NumberBoxTest, ValuesAreLimitedAndPassedOn)
{
    const struct {
        const char *line;
        std::vector<step> steps;
        strings sent;
        double value;
    } cases[] = {
        {"number 10 10 35 9 0 127 3 3", {{"int", {L(200)}}}, {"out int 127"}, 127},
        {"number 10 10 35 9 0 127 3 3", {{"set", {L(-5)}}}, {}, 0},
        {"number 10 10 35 9 0 127 3 3", {{"float", {F(-3.7)}}, {"bang", {}}}, {"out int 0", "out int 0"}, 0},
        {"number 10 10 35 9 0 127 0 3", {{"int", {L(200)}}}, {"out int 200"}, 200},
        {"number 10 10 35 9 0 0 0 3", {{"float", {F(-3.7)}}}, {"out int -3"}, -3},
        {"number 10 10 35 9 0 0 0 3", {{"float", {F(1e12)}}}, {"out int 2147483647"}, 2147483647.0},
        {"flonum 10 10 35 9 0 0 0 3", {{"int", {L(3)}}}, {"out float 3.00"}, 3},
        {"flonum 10 10 35 9 0. 1. 3 3", {{"float", {F(2.5)}}, {"set", {F(-1)}}}, {"out float 1.00"}, 0},
        {"flonum 10 10 35 9 0 0 0 3", {{"set", {L(2)}}, {"bang", {}}}, {"out float 2.00"}, 2},
        // min 10 on a box whose maximum is 5 raises the maximum to 10.
        {"number 10 10 35 9 0 5 2 3", {{"min", {L(10)}}, {"int", {L(50)}}}, {"out int 10"}, 10},
        // max below a set minimum lowers the minimum.
        {"number 10 10 35 9 20 0 1 3", {{"max", {L(5)}}, {"int", {L(-50)}}}, {"out int 5"}, 5},
        // min without a value removes the limit.
        {"number 10 10 35 9 0 127 3 3", {{"min", {}}, {"int", {L(-5)}}}, {"out int -5"}, -5},
        // A number box ignores a float limit; a flonum takes it.
        {"number 10 10 35 9 0 0 0 3", {{"min", {F(2.5)}}, {"int", {L(-5)}}}, {"out int -5"}, -5},
        {"flonum 10 10 35 9 0 0 0 3", {{"min", {F(2.5)}}, {"int", {L(-5)}}}, {"out float 2.50"}, 2.5},
        // flags keeps bits 0 and 1.
        {"number 10 10 35 9 0 127 3 3", {{"flags", {L(0)}}, {"int", {L(200)}}}, {"out int 127"}, 127},
        {"number 10 10 35 9 0 127 0 3", {{"flags", {L(3)}}, {"int", {L(200)}}}, {"out int 200"}, 200},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        box *b = number(c.line);
        ASSERT_NE(b, nullptr);
        run_steps(b, c.steps);
        EXPECT_EQ(logged(), c.sent);
        EXPECT_DOUBLE_EQ(kel::number_box_value(b), c.value);
        freeobject(p);
    }
}

TEST_F(NumberBoxTest, TheInitialValueIsWithinTheLimits)
{
    const struct {
        const char *line;
        double value;
    } cases[] = {
        {"number 10 10 35 9 5 10 3 3", 5},   // a positive set minimum
        {"number 10 10 35 9 -5 10 3 3", 0},  // a negative one leaves 0
        {"number 10 10 35 9 5 10 2 3", 0},   // a minimum not set counts for nothing
        {"number 10 10 35 9 0 -5 2 3", -5},  // a maximum below 0 holds too
        {"flonum 10 10 35 9 0.5 1. 1 3", 0.5}, {"number 10 10", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        box *b = number(c.line);
        ASSERT_NE(b, nullptr);
        EXPECT_DOUBLE_EQ(kel::number_box_value(b), c.value);
        freeobject(p);
    }
}

TEST_F(NumberBoxTest, TypingBuildsANumberThatEnterSends)
{
    auto keys = [](const char *text) {
        std::vector<step> out;
        for (const char *c = text; *c; c++) out.push_back({"key", {L(*c)}});
        return out;
    };
    const struct {
        const char *line;
        std::vector<step> steps;
        strings sent;
    } cases[] = {
        {"number 10 10 35 9 0 0 0 3", keys("42"), {}},
        {"number 10 10 35 9 0 0 0 3",
         [&] {
             auto s = keys("42");
             s.push_back({"enter", {}});
             return s;
         }(),
         {"out int 42"}},
        {"number 10 10 35 9 0 0 0 3",
         [&] {
             auto s = keys("-17\r");
             return s;
         }(),
         {"out int -17"}},
        // Hexadecimal typing takes the letters a to f.
        {"number 10 10 35 9 0 0 16 3",
         [&] {
             auto s = keys("1f");
             s.push_back({"enter", {}});
             return s;
         }(),
         {"out int 31"}},
        {"number 10 10 35 9 0 0 0 3",
         [&] {
             auto s = keys("1f");
             s.push_back({"enter", {}});
             return s;
         }(),
         {"out int 1"}},
        {"number 10 10 35 9 0 100 3 3",
         [&] {
             auto s = keys("500");
             s.push_back({"enter", {}});
             return s;
         }(),
         {"out int 100"}},
        {"flonum 10 10 35 9 0 0 0 3",
         [&] {
             auto s = keys("2.25");
             s.push_back({"enter", {}});
             return s;
         }(),
         {"out float 2.25"}},
        // Arrows step and send at once; Tab bangs the right outlet.
        {"number 10 10 35 9 0 0 0 3",
         {{"key", {L(30)}}, {"key", {L(30)}}, {"key", {L(31)}}, {"key", {L(9)}}},
         {"out int 1", "out int 2", "out int 1", "tab bang"}},
        {"number 10 10 35 9 0 1 2 3", {{"key", {L(30)}}, {"key", {L(30)}}}, {"out int 1", "out int 1"}},
        {"number 10 10 35 9 0 0 0 3", {{"select", {}}, {"enter", {}}}, {}},
        {"number 10 10 35 9 0 0 0 3", {{"key", {S("x")}}}, {}},
    };
    for (const auto &c : cases) {
        box *b = number(c.line);
        ASSERT_NE(b, nullptr);
        console_capture console;
        run_steps(b, c.steps);
        EXPECT_EQ(logged(), c.sent) << c.line;
        freeobject(p);
    }
}

TEST_F(NumberBoxTest, DraggingSendsAsItGoesOrOnceAtTheEnd)
{
    const struct {
        const char *line;
        std::vector<long> moves;
        strings sent;
    } cases[] = {
        {"number 10 10 35 9 0 0 0 3", {3, -1}, {"out int 3", "out int 2"}},
        {"number 10 10 35 9 0 5 2 3", {3, 4}, {"out int 3", "out int 5"}},
        // Bit 6: nothing during the drag, the value once at the end.
        {"number 10 10 35 9 0 0 64 3", {4, 6}, {"out int 10"}},
        {"number 10 10 35 9 0 0 64 3", {4, -4}, {}},
        {"flonum 10 10 35 9 0 0 64 3", {2}, {"out float 2.00"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        box *b = number(c.line);
        ASSERT_NE(b, nullptr);
        object_method(b, gensym("click"));
        for (long up : c.moves) kel::number_box_drag(b, up);
        kel::number_box_release(b);
        EXPECT_EQ(logged(), c.sent);
        kel::number_box_drag(b, 5);  // the drag is over
        EXPECT_EQ(logged(), c.sent);
        freeobject(p);
    }
}

TEST_F(NumberBoxTest, TheValueInterface)
{
    box *b = number("flonum 10 10 35 9 0 0 0 3");
    ASSERT_NE(b, nullptr);
    long ac = 0;
    atom *av = nullptr;
    typedmess(b, gensym("float"), 1, std::vector<atom>{F(1.5)}.data());
    object_method(b, gensym("getvalueof"), &ac, &av);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(kel::test::describe(av[0]), "F:1.5");
    freebytes(av, static_cast<long>(sizeof(atom)));
    g_log.clear();
    object_method(b, gensym("setvalueof"), 0L, nullptr);  // nothing to set
    EXPECT_TRUE(g_log.empty());
    atom four = L(4);
    object_method(b, gensym("setvalueof"), 1L, &four);
    EXPECT_EQ(logged(), strings{"out float 4.00"});
}

TEST_F(NumberBoxTest, TheLineIsWrittenBackWithEverythingItHeld)
{
    const struct {
        const char *line;
        std::vector<step> steps;
        const char *saved;  // null: as loaded
    } cases[] = {
        {"number 138 67 35 0", {}, nullptr},
        {"number 138 67 35 9 0 0 0 3", {}, nullptr},
        {"flonum 10 10 35 9 0. 1. 3 3", {}, nullptr},
        {"number 10 10 50 12 -5 300 67 5 255 255 255 0 0 0", {}, nullptr},
        {"number 10 10 50 12 -5 300 67 5 255 255 255 0 0 0 12 34 56 78 90 100", {}, nullptr},
        {"hidden number 10 10 35 9 0 0 0 3", {}, nullptr},
        {"number 10 10 35 9 0 0 0 3", {{"min", {L(2)}}}, "number 10 10 35 9 2 0 1 3"},
        {"number 10 10", {{"max", {L(9)}}}, "number 10 10 35 0 0 9 2"},
        {"number 10 10 35 9 0 0 0 3", {{"frgb", {L(1), L(2), L(3)}}}, "number 10 10 35 9 0 0 0 3 221 221 221 1 2 3"},
        {"number 10 10 35 9 0 0 0 3",
         {{"rgb3", {L(1), L(2), L(3)}}},
         "number 10 10 35 9 0 0 0 3 221 221 221 0 0 0 0 0 0 1 2 3"},
        {"number 10 10 35 9 0 0 0 3", {{"color", {L(4)}}}, "number 10 10 35 9 0 0 0 3;\r\n#B color 4"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        p = load("n.pat", patch(std::string("#P ") + c.line + ";\r\n"));
        ASSERT_NE(p, nullptr);
        run_steps(nth(p, 0), c.steps);
        const std::string expected = std::string("#P ") + (c.saved ? c.saved : c.line) + ";\r\n";
        EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n" + expected + "#P pop;\r\n");
        freeobject(p);
    }
}

}  // namespace
