// Patcher files: what saving writes (every line of a patcher's contents),
// round trips through both forms giving the same bytes, and the forms that
// files written elsewhere over the years use: line ends, Mac Roman bytes,
// old box layouts and font words, hidden and bent cords, and the data lines
// of objects whose class is missing here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/core/memory.h"
#include "memory_pressure.h"
#include "objects/msgbox.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::g_log;
using kel::test::patch;
using kel::test::PatcherTest;
using strings = std::vector<std::string>;

void saveto(patcher *p, const char *name, long binary)
{
    atom args[2];
    atom_setsym(&args[0], gensym(name));
    atom_setlong(&args[1], binary);
    typedmess(p, gensym("saveto"), 2, args);
}

// A patch that uses every line a patcher writes.
const char *every_line = "kel v2;\r\n"
                         "#N vpatcher 20 74 620 474;\r\n"
                         "#P origin 5 -3;\r\n"
                         "#P setbglock 1;\r\n"
                         "#P window setfont Geneva 9.;\r\n"
                         "#P message 10 10 60 196617 set \\$1 \\, 2 \\; rcv foo \\$2;\r\n"
                         "#P window setfont Monaco 12.;\r\n"
                         "#P comment 100 10 80 262156 \"a note\" caf\x8E;\r\n"
                         "#P window setfont Geneva 9.;\r\n"
                         "#P window linecount 2;\r\n"
                         "#P newex 10 50 60 196617 probe a 1 2;\r\n"
                         "#P window linecount 1;\r\n"
                         "#P hidden newex 10 90 60 196617 nosuchclass 1 2.5 foo;\r\n"
                         "#P button 200 10 15 0;\r\n"
                         "#N vpatcher 50 50 300 300;\r\n"
                         "#P inlet 20 10 15;\r\n"
                         "#P outlet 20 100 15;\r\n"
                         "#P connect 1 0 0 0;\r\n"
                         "#P pop 1;\r\n"
                         "#P newobj 100 100 40 196617 p sub;\r\n"
                         "#B color 3;\r\n"
                         "#P noclick;\r\n"
                         "#P background;\r\n"
                         "#P objectname thing;\r\n"
                         "#N gizmo 4;\r\n"
                         "#X data 1 2;\r\n"
                         "#P newobj 100 150 40 196617 gizmo 4;\r\n"
                         "#P user widget 10 200 30 30 7;\r\n"
                         "#P number 138 67 35 9 0 0 0 3;\r\n"
                         "#P connect 4 0 6 1;\r\n"
                         "#P fasten 8 0 4 0 40 30 40 45;\r\n"
                         "#P hidden connect 6 0 4 0;\r\n"
                         "#P lcolor 5;\r\n"
                         "#P connect 8 0 6 0;\r\n"
                         "#P pop;\r\n";

TEST_F(PatcherTest, SavingWritesEveryLineOfTheContents)
{
    write("every.pat", every_line);
    console_capture console;
    auto *p = static_cast<patcher *>(fileload("every.pat", path));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(), (strings{error_line("nosuchclass: No such object"), error_line("gizmo: No such object"),
                                        error_line("widget: No such object")}));
    saveto(p, "saved.pat", 0);
    // Boxes oldest first, cords by their inlet end (x, then y); numbers
    // count from the newest box.
    EXPECT_EQ(read("saved.pat"), "kel v2;\r\n"
                                 "#N vpatcher 20 74 620 474;\r\n"
                                 "#P origin 5 -3;\r\n"
                                 "#P setbglock 1;\r\n"
                                 "#P window setfont Geneva 9.;\r\n"
                                 "#P message 10 10 60 196617 set \\$1 \\, 2 \\; rcv foo \\$2;\r\n"
                                 "#P window setfont Monaco 12.;\r\n"
                                 "#P comment 100 10 80 262156 \"a note\" caf\x8E;\r\n"
                                 "#P window setfont Geneva 9.;\r\n"
                                 "#P window linecount 2;\r\n"
                                 "#P newex 10 50 60 196617 probe a 1 2;\r\n"
                                 "#P window linecount 1;\r\n"
                                 "#P hidden newex 10 90 60 196617 nosuchclass 1 2.5 foo;\r\n"
                                 "#P button 200 10 15 0;\r\n"
                                 "#N vpatcher 50 50 300 300;\r\n"
                                 "#P inlet 20 10 15;\r\n"
                                 "#P outlet 20 100 15;\r\n"
                                 "#P connect 1 0 0 0;\r\n"
                                 "#P pop 1;\r\n"
                                 "#P newobj 100 100 40 196617 p sub;\r\n"
                                 "#B color 3;\r\n"
                                 "#P noclick;\r\n"
                                 "#P background;\r\n"
                                 "#P objectname thing;\r\n"
                                 "#N gizmo 4;\r\n"
                                 "#X data 1 2;\r\n"
                                 "#P newobj 100 150 40 196617 gizmo 4;\r\n"
                                 "#P user widget 10 200 30 30 7;\r\n"
                                 "#P number 138 67 35 9 0 0 0 3;\r\n"
                                 "#P connect 8 0 6 0;\r\n"
                                 "#P connect 4 0 6 1;\r\n"
                                 "#P fasten 8 0 4 0 40 30 40 45;\r\n"
                                 "#P hidden connect 6 0 4 0;\r\n"
                                 "#P lcolor 5;\r\n"
                                 "#P pop;\r\n");
}

// Saving with any one allocation request failing (or it and every later
// one) writes the whole patcher or leaves the file as it was, and says so.
TEST_F(PatcherTest, SavingWithMemoryRunningOutWritesAllOrNothing)
{
    write("every.pat", every_line);
    auto *p = static_cast<patcher *>(fileload("every.pat", path));
    ASSERT_NE(p, nullptr);
    for (long binary : {0, 1}) {
        SCOPED_TRACE(binary ? "binary" : "text");
        saveto(p, "clean.pat", binary);
        const std::string clean = read("clean.pat");
        const kel::test::pool_footprint before = kel::test::pool_footprint::now();
        kel::memory_fail_request(0, false);
        saveto(p, "counted.pat", binary);
        kel::memory_fail_request(-1, false);
        const long requests = kel::memory_requests_counted();
        ASSERT_GT(requests, 10);
        for (bool and_later : {false, true}) {
            for (long n = 1; n <= requests; n++) {
                SCOPED_TRACE(testing::Message() << "request " << n << (and_later ? " and later" : " alone"));
                write("out.pat", "the file as it was");
                console_capture console;
                kel::memory_fail_request(n, and_later);
                saveto(p, "out.pat", binary);
                kel::memory_fail_request(-1, false);
                kel::memory_set_low(false);
                const std::string now = read("out.pat");
                if (now != clean) {
                    EXPECT_EQ(now, "the file as it was");
                    EXPECT_FALSE(console.lines().empty()) << "a save refused says so";
                }
                EXPECT_EQ(kel::test::pool_footprint::now(), before);
                if (HasFailure()) return;
            }
        }
    }
}

TEST_F(PatcherTest, RoundTripsGiveTheSameBytes)
{
    write("every.pat", every_line);
    console_capture console;
    auto *p = static_cast<patcher *>(fileload("every.pat", path));
    ASSERT_NE(p, nullptr);
    saveto(p, "t1.pat", 0);
    saveto(p, "b1.pat", 1);
    auto *t = static_cast<patcher *>(fileload("t1.pat", path));
    auto *b = static_cast<patcher *>(fileload("b1.pat", path));
    ASSERT_NE(t, nullptr);
    ASSERT_NE(b, nullptr);
    saveto(t, "t2.pat", 0);
    saveto(b, "b2.pat", 1);
    saveto(b, "t3.pat", 0);  // binary, then text again
    EXPECT_EQ(read("t2.pat"), read("t1.pat"));
    EXPECT_EQ(read("b2.pat"), read("b1.pat"));
    EXPECT_EQ(read("t3.pat"), read("t1.pat"));
    EXPECT_EQ(read("b1.pat").substr(0, 5), std::string("\x02\x00\x00\x00\x70", 5));
    EXPECT_EQ(b->file_form, 1);
    EXPECT_EQ(t->file_form, 0);
}

TEST_F(PatcherTest, DollarArgumentsOfADocumentAreWrittenBack)
{
    // In a document, $1 stands for the symbol "#1", which saving turns
    // back into $1; a $ inside box text stays box text.
    patcher *p = load("d.pat", patch("#P newex 10 10 50 196617 probe $1 $0-x \\$2;\r\n"
                                     "#P message 10 50 50 196617 $1 \\$1;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(logged(), strings{"new #1 #0-x $2"});
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n"
                        "#P window setfont Geneva 9.;\r\n"
                        "#P newex 10 10 50 196617 probe $1 $0-x \\$2;\r\n"
                        "#P message 10 50 50 196617 $1 \\$1;\r\n"
                        "#P pop;\r\n");
}

TEST_F(PatcherTest, LineEndsOfEveryKindReadTheSame)
{
    const std::string body = "#N vpatcher 10 20 410 320;\n#P message 10 10 50 196617 a b;\n"
                             "#P newex 10 50 50 196617 probe x;\n#P connect 1 0 0 0;\n#P pop;\n";
    std::string expected;
    for (const char *end : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(end == std::string("\r") ? "CR" : end == std::string("\n") ? "LF" : "CRLF");
        std::string text;
        for (char c : body) {
            if (c == '\n')
                text += end;
            else
                text += c;
        }
        console_capture console;
        patcher *p = load("e.pat", text);
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(console.lines().empty());
        if (expected.empty()) expected = saved(p);
        EXPECT_EQ(saved(p), expected);
        freeobject(p);
    }
    EXPECT_NE(expected.find("#P connect 1 0 0 0;"), std::string::npos);
}

TEST_F(PatcherTest, MacRomanBytesAndLineBreaksInsideText)
{
    patcher *p = load("m.pat", patch("#P comment 10 10 80 196617 \xA5 caf\x8E \xD0;\r\n"
                                     "#P message 10 50 80 196617 one\r\ntwo\rthree \x8E;\r\n"
                                     "#P newex 10 90 80 196617 probe \x9A;\r\n"));
    ASSERT_NE(p, nullptr);
    const std::string text = saved(p);
    EXPECT_NE(text.find("#P comment 10 10 80 196617 \xA5 caf\x8E \xD0;\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("#P message 10 50 80 196617 one two three \x8E;\r\n"), std::string::npos) << text;
    EXPECT_EQ(logged(), strings{"new \x9A"});
}

TEST_F(PatcherTest, OldBoxFormsLoadAndSaveAgain)
{
    const struct {
        const char *line;               // as found in a file
        const char *setfont;            // the font line a save writes before it, or null
        const char *written = nullptr;  // what a save writes for it, when not the line itself
    } cases[] = {
        {"#P number 138 67 35 0;", nullptr},
        {"#P toggle 20 20 15 0 0 0 0 0 0;", nullptr},
        {"#P slider 5 5;", nullptr},
        // A preset writes its slot count first.
        {"#P preset 10 10 40 20;", nullptr, "#N vpreset 1;\r\n#P preset 10 10 40 20;"},
        {"#P vpicture 1 2 3 4;", nullptr},
        {"#P bpatcher 10 10 100 80 0 0 other.pat 0;", nullptr},
        {"#P newex 10 10 50 1 probe a;", "#P window setfont Geneva 10.;"},
        {"#P newex 10 10 50 12 probe a;", "#P window setfont Geneva 12.;"},
        {"#P newex 10 10 50 67108873 probe a;", "#P window setfont font1024 9.;"},
        {"#P newex 10 10 50 9109513 probe a;", "#P window setfont font139 9.;"},
        {"#P newex 10 10 50 1030 probe a;", "#P window setfont font128 20.;"},
        {"#P newex -20 -5 50 196617 probe neg;", "#P window setfont Geneva 9.;"},
        {"#P newex 810 569 50 196617;", "#P window setfont Geneva 9.;"},
        {"#P message -3 4 50 196617;", "#P window setfont Geneva 9.;"},
    };
    write("other.pat", patch(""));  // the file the bpatcher shows
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        console_capture console;
        patcher *p = load("old.pat", patch(std::string(c.line) + "\r\n"));
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(console.lines().empty()) << console.last();
        std::string expected = "#N vpatcher 10 20 410 320;\r\n";
        if (c.setfont) expected += std::string(c.setfont) + "\r\n";
        expected += std::string(c.written ? c.written : c.line) + "\r\n#P pop;\r\n";
        EXPECT_EQ(saved(p), expected);
        freeobject(p);
    }
}

TEST_F(PatcherTest, OldInletFormsInASubpatcher)
{
    patcher *p = load("in.pat", patch("#N vpatcher 0 0 100 100;\r\n"
                                      "#P inlet 41 16 15;\r\n"
                                      "#P inlet foo 16;\r\n"
                                      "#P outlet 41 80;\r\n"
                                      "#P pop 1;\r\n"
                                      "#P newobj 10 10 30 196617 p;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *sub = reinterpret_cast<patcher *>(object_of(p, 0));
    EXPECT_EQ(kel::object_inlet_count(&sub->header), 2);
    EXPECT_EQ(kel::object_outlet_count(&sub->header), 1);
    EXPECT_EQ(kel::patcher_box_at(sub, 1)->rect.left, 50) << "an inlet box without its place goes to 50, 50";
    // The box's font line comes first in its group, before the lines of the
    // subpatcher it holds.
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n"
                        "#P window setfont Geneva 9.;\r\n"
                        "#N vpatcher 0 0 100 100;\r\n"
                        "#P inlet 41 16 15;\r\n"
                        "#P inlet foo 16;\r\n"
                        "#P outlet 41 80;\r\n"
                        "#P pop 1;\r\n"
                        "#P newobj 10 10 30 196617 p;\r\n"
                        "#P pop;\r\n");
}

TEST_F(PatcherTest, FastenKeepsUpToTenBendPoints)
{
    for (int bends = 0; bends <= 11; bends++) {
        SCOPED_TRACE(bends);
        std::string line = "#P fasten 1 0 0 0";
        std::string kept = bends ? "#P fasten 1 0 0 0" : "#P connect 1 0 0 0";
        for (int k = 0; k < bends; k++) {
            std::string pair(" ");
            pair.append(std::to_string(100 + k)).append(" ").append(std::to_string(-k));
            line += pair;
            if (k < 10) kept += pair;
        }
        patcher *p = load("f.pat", patch("#P message 10 10 50 196617 go;\r\n#P newex 10 50 50 196617 probe x;\r\n" +
                                         line + ";\r\n#P lcolor 2;\r\n"));
        ASSERT_NE(p, nullptr);
        EXPECT_NE(saved(p).find(kept + ";\r\n#P lcolor 2;\r\n"), std::string::npos) << saved(p);
        g_log.clear();
        typedmess(object_of(p, 1), gensym("bang"), 0, nullptr);
        EXPECT_EQ(g_log, "x go");
        freeobject(p);
    }
}

TEST_F(PatcherTest, HiddenBoxesAndCords)
{
    patcher *p = load("h.pat", patch("#P hidden message 10 10 50 196617 go;\r\n"
                                     "#P newex 10 50 50 196617 probe x;\r\n"
                                     "#P hidden connect 1 0 0 0;\r\n"
                                     "#P hidden fasten 1 0 0 0 3 4;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(nth(p, 1)->flags & BOX_FLAG_HIDDEN);
    EXPECT_FALSE(nth(p, 0)->flags & BOX_FLAG_HIDDEN);
    const std::string text = saved(p);
    EXPECT_NE(text.find("#P hidden message 10 10 50 196617 go;\r\n#P newex"), std::string::npos) << text;
    EXPECT_NE(text.find("#P hidden connect 1 0 0 0;\r\n#P hidden fasten 1 0 0 0 3 4;\r\n"), std::string::npos) << text;
}

TEST_F(PatcherTest, DataLinesOfAMissingClassStayWithItsPlaceholder)
{
    // The message box binds #X; the data lines after the unknown class's
    // "#N" line, and those after its box, must not reach it. They are kept
    // verbatim, each where it stood.
    console_capture console;
    patcher *p = load("x.pat", patch("#P message 10 10 50 196617 untouched;\r\n"
                                     "#N coll keep 1;\r\n"
                                     "#X set clobbered;\r\n"
                                     "#X insert 2 \"two words\" 2.5, append 3;\r\n"
                                     "#P newobj 10 50 50 196617 coll keep 1;\r\n"
                                     "#X set late;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(), (strings{error_line("coll: No such object")}));
    atombuf *contents = kel::messagebox_contents(nth(p, 1));
    ASSERT_EQ(contents->argc, 1);
    EXPECT_EQ(contents->argv[0].word.w_sym, gensym("untouched"));
    EXPECT_TRUE(nth(p, 0)->flags & BOX_FLAG_PLACEHOLDER);
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n"
                        "#P window setfont Geneva 9.;\r\n"
                        "#P message 10 10 50 196617 untouched;\r\n"
                        "#N coll keep 1;\r\n"
                        "#X set clobbered;\r\n"
                        "#X insert 2 \"two words\" 2.5, append 3;\r\n"
                        "#P newobj 10 50 50 196617 coll keep 1;\r\n"
                        "#X set late;\r\n"
                        "#P pop;\r\n");
    // Nothing the load bound is left bound.
    EXPECT_EQ(gensym("#X")->thing, nullptr);
}

TEST_F(PatcherTest, LinesTheEngineDoesNotActOnAreWrittenBackWhereTheyStood)
{
    // Each case: the body of a patch, its console, and the body it saves as
    // (a message box saved with its first text shows that no data line
    // reached it).
    const std::string font = "#P window setfont Geneva 9.;\r\n";
    struct {
        const char *what;
        std::string body;
        strings console;
        std::string saved;
    } cases[] = {
        {"data lines after a user box whose class is missing, commas and all",
         "#P message 10 10 50 196617 keep me;\r\n#P user menu 10 30 50 196617 0 1;\r\n"
         "#X add one, add \"two words\";\r\n#X set 0;\r\n",
         {error_line("menu: No such object")},
         font + "#P message 10 10 50 196617 keep me;\r\n#P user menu 10 30 50 196617 0 1;\r\n"
                "#X add one, add \"two words\";\r\n#X set 0;\r\n"},
        {"data lines after a placeholder object box",
         "#P message 10 10 50 196617 keep me;\r\n#P newex 10 30 50 196617 nosuchclass;\r\n#X set 0;\r\n",
         {error_line("nosuchclass: No such object")},
         font + "#P message 10 10 50 196617 keep me;\r\n#P newex 10 30 50 196617 nosuchclass;\r\n#X set 0;\r\n"},
        {"collection data between the #N line and the box",
         "#N coll data;\r\n#T flags 1 0;\r\n#T 1 two 3.5;\r\n#P newobj 10 10 50 196617 coll data;\r\n",
         {error_line("coll: No such object")},
         font + "#N coll data;\r\n#T flags 1 0;\r\n#T 1 two 3.5;\r\n#P newobj 10 10 50 196617 coll data;\r\n"},
        {"records after a box",
         "#P newex 10 10 50 196617 print a;\r\n#K 1;\r\n#M list 2;\r\n#W x;\r\n#S 4.5;\r\n",
         {},
         font + "#P newex 10 10 50 196617 print a;\r\n#K 1;\r\n#M list 2;\r\n#W x;\r\n#S 4.5;\r\n"},
        {"a record before any box stays with the patcher",
         "#T table 0;\r\n#P newex 10 10 50 196617 print a;\r\n",
         {},
         "#T table 0;\r\n" + font + "#P newex 10 10 50 196617 print a;\r\n"},
        {"a colour line a comment does not understand",
         "#P comment 10 10 50 196617 note;\r\n#B frgb 255 0 0;\r\n#B color 3;\r\n",
         {},
         font + "#P comment 10 10 50 196617 note;\r\n#B frgb 255 0 0;\r\n#B color 3;\r\n"},
        {"descriptions of inlets and outlets",
         "#N comlet left in;\r\n#P inlet 10 10 15;\r\n#N comlet out;\r\n#P outlet 10 50 15;\r\n",
         {},
         "#N comlet left in;\r\n#P inlet 10 10 15;\r\n#N comlet out;\r\n#P outlet 10 50 15;\r\n"},
        {"a comma in a description is part of its text",
         "#N comlet int, float;\r\n#P inlet 10 10 15;\r\n",
         {},
         "#N comlet int \\, float;\r\n#P inlet 10 10 15;\r\n"},
        {"a thispatcher's window lines, in their order",
         "#N thispatcher;\r\n#Q window flags grow;\r\n#Q window size 10 20 410 320;\r\n#Q window exec;\r\n"
         "#Q savewindow 1;\r\n#Q end;\r\n#P newobj 10 10 50 196617 thispatcher;\r\n",
         {},
         font + "#N thispatcher;\r\n#Q window flags grow;\r\n#Q window size 10 20 410 320;\r\n#Q window exec;\r\n"
                "#Q savewindow 1;\r\n#Q end;\r\n#P newobj 10 10 50 196617 thispatcher;\r\n"},
        {"an unescaped comma in a message box",
         "#P message 10 10 50 196617 a , b;\r\n",
         {},
         font + "#P message 10 10 50 196617 a \\, b;\r\n"},
        {"an unescaped comma in a hidden comment",
         "#P hidden comment 10 10 50 196617 x , y;\r\n",
         {},
         font + "#P hidden comment 10 10 50 196617 x \\, y;\r\n"},
        {"a bpatcher's arguments across a comma",
         "#P bpatcher 10 10 50 50 0 0 sub 1 , 2 3;\r\n",
         {error_line("sub: No such object")},
         "#P bpatcher 10 10 50 50 0 0 sub 1 \\, 2 3;\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        console_capture console;
        patcher *p = load("k.pat", patch(c.body));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(console.lines(), c.console);
        EXPECT_EQ(saved(p), patch(c.saved));
        freeobject(p);
    }
}

TEST_F(PatcherTest, DataLinesKeepTheirDollarArguments)
{
    patcher *p =
        load("y.pat", patch("#N mystery $1 $0-t;\r\n#X values 1 $2;\r\n#P newobj 1 2 3 196617 mystery $1;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_NE(saved(p).find("#N mystery $1 $0-t;\r\n#X values 1 $2;\r\n#P newobj 1 2 3 196617 mystery $1;\r\n"),
              std::string::npos)
        << saved(p);
}

}  // namespace
