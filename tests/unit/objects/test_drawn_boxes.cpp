// Boxes that only draw: bpatcher views loaded as abstractions, inlet and
// outlet descriptions, and the objects that are inert headless.
#include <gtest/gtest.h>

#include <string>

#include "console_capture.h"
#include "kernel/core/settings.h"
#include "test_patcher_rig.h"

namespace kel::test {
namespace {

using strings = std::vector<std::string>;

std::string assist(object *x, long message, long arg)
{
    char text[60] = "unchanged";
    object_method(x, gensym("assist"), nullptr, message, arg, text);
    return text;
}

// A view file: two inlets (the one further left written second) and an
// outlet, each before its box a description; "$1" names its probe.
const char *view_body = "#N comlet right: level;\r\n"
                        "#P inlet 60 10 15;\r\n"
                        "#N comlet left: notes;\r\n"
                        "#P inlet 10 10 15;\r\n"
                        "#P newex 10 40 60 196617 probe $1 1;\r\n"
                        "#N comlet a description far longer than the sixty bytes an answer may take, cut;\r\n"
                        "#P outlet 10 80 15;\r\n"
                        "#P connect 3 0 1 1;\r\n"
                        "#P connect 2 0 1 0;\r\n"
                        "#P connect 1 0 0 0;\r\n";

TEST_F(PatcherTest, ABpatcherRunsItsFileWithItsArgumentsAndTakesCordsByPosition)
{
    write("view.pat", patch(view_body));
    console_capture console;
    // sender -> view inlet 0 and inlet 1; view outlet 0 -> receiver.
    patcher *p = load("top.pat", patch("#P newex 10 10 50 196617 probe sender 0 2;\r\n"
                                       "#P bpatcher 10 40 100 80 0 0 view.pat 0 inner;\r\n"
                                       "#P newex 10 140 50 196617 probe receiver;\r\n"
                                       "#P connect 2 0 1 0;\r\n"
                                       "#P connect 2 1 1 1;\r\n"
                                       "#P connect 1 0 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(console.lines().empty()) << console.last();
    object *view = object_of(p, 1);
    ASSERT_TRUE(is_patcher(view));
    EXPECT_EQ(object_inlet_count(view), 2);
    EXPECT_EQ(object_outlet_count(view), 1);
    g_log.clear();
    // Into the left inlet: the probe inside sends hello out of the view's
    // outlet. Into the right inlet: it reaches the probe's inlet 1.
    atom a[4];
    atom_setlong(&a[0], 0);
    atom_setsym(&a[1], gensym("send"));
    atom_setlong(&a[2], 0);
    atom_setsym(&a[3], gensym("hello"));
    typedmess(object_of(p, 2), gensym("send"), 4, a);
    atom_setlong(&a[0], 1);
    atom_setsym(&a[1], gensym("level"));
    typedmess(object_of(p, 2), gensym("send"), 2, a);
    EXPECT_EQ(logged(), (strings{"receiver hello", "inner@1 level"})) << g_log;
    // The descriptions follow the inlets to their places.
    EXPECT_EQ(assist(view, 1, 0), "left: notes");
    EXPECT_EQ(assist(view, 1, 1), "right: level");
    // A comma is part of a description; a long one is cut to what fits.
    EXPECT_EQ(assist(view, 2, 0),
              std::string("a description far longer than the sixty bytes an answer may").substr(0, 59));
    EXPECT_EQ(assist(view, 2, 1), "unchanged");
    EXPECT_EQ(assist(view, 3, 0), "unchanged");
    // Saved as its line alone.
    EXPECT_EQ(saved(p), patch("#P window setfont Geneva 9.;\r\n"
                              "#P newex 10 10 50 196617 probe sender 0 2;\r\n"
                              "#P bpatcher 10 40 100 80 0 0 view.pat 0 inner;\r\n"
                              "#P newex 10 140 50 196617 probe receiver;\r\n"
                              "#P connect 2 0 1 0;\r\n"
                              "#P connect 1 0 0 0;\r\n"
                              "#P connect 2 1 1 1;\r\n"));
}

TEST_F(PatcherTest, ABpatcherThatCannotLoadItsFileKeepsAPlaceholder)
{
    write("self.pat", patch("#P bpatcher 10 10 100 80 0 0 self.pat 0;\r\n"));
    const struct {
        const char *what;
        std::string body;
        strings console;
    } cases[] = {
        {"a file found nowhere",
         "#P bpatcher 10 10 100 80 0 0 nowhere.pat 0 1 , 2;\r\n",
         {error_line("nowhere.pat: No such object")}},
        {"a file that shows itself",
         "#P bpatcher 10 10 100 80 0 0 self.pat 0;\r\n",
         {error_line("patcher attempting to load itself: " + root + "/self.pat"),
          error_line("perhaps you have mistakenly named a patcher file the same name as an object it contains. this "
                     "is not permitted."),
          error_line("self.pat: No such object")}},
        {"no file name", "#P bpatcher 10 10 100 80 0 0;\r\n", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        console_capture console;
        std::string body = c.body + "#P newex 10 100 50 196617 probe after;\r\n#P connect 1 3 0 0;\r\n";
        patcher *p = c.what == std::string("a file that shows itself") ? load("self.pat", patch(body))
                                                                       : load("m.pat", patch(body));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(console.lines(), c.console);
        EXPECT_TRUE(nth(p, 1)->flags & BOX_FLAG_PLACEHOLDER);
        std::string text = saved(p);
        EXPECT_NE(text.find(c.body.substr(0, c.body.find(" ,"))), std::string::npos) << text;
        EXPECT_NE(text.find("#P connect 1 3 0 0;"), std::string::npos) << text;
        freeobject(p);
    }
}

TEST_F(PatcherTest, InertObjectsLoadTakeCordsAndSendNothing)
{
    console_capture console;
    const std::string body = "#P window setfont Geneva 9.;\r\n"
                             "#P newex 10 10 50 196617 probe sender 0 1;\r\n"
                             "#P newex 10 40 60 196617 graphic canvas;\r\n"
                             "#P newex 10 70 60 196617 menubar 3 1;\r\n"
                             "#P newex 10 100 60 196617 findwindow;\r\n"
                             "#P newex 10 130 60 196617 onecopy;\r\n"
                             "#P newex 10 160 60 196617 thisobject x;\r\n"
                             "#P newex 10 190 60 196617 timeline;\r\n"
                             "#P newex 10 220 60 196617 picture missing.pct;\r\n"
                             "#N timeline 2;\r\n"
                             "#X track 1 a, track 2 b;\r\n"
                             "#P newobj 100 10 60 196617 timeline 2;\r\n"
                             "#P newex 100 250 50 196617 probe receiver;\r\n";
    std::string cords;
    // Every inert box: from the sender into inlet 1, out of outlet 2 into the
    // receiver.
    for (int n = 1; n <= 8; n++)
        cords += "#P connect 9 0 " + std::to_string(n) + " 1;\r\n#P connect " + std::to_string(n) + " 2 0 0;\r\n";
    patcher *p = load("inert.pat", patch(body + cords));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(console.lines().empty()) << console.last();
    // Box 1 is the "#N" line's: a placeholder keeps its lines.
    for (int n = 1; n <= 8; n++) {
        SCOPED_TRACE(n);
        EXPECT_EQ((nth(p, n)->flags & BOX_FLAG_PLACEHOLDER) != 0, n == 1);
        EXPECT_EQ(object_outlet_count(object_of(p, n)), 3);
        EXPECT_EQ(object_inlet_count(object_of(p, n)), 2);
    }
    g_log.clear();
    atom a[2];
    atom_setlong(&a[0], 0);
    atom_setsym(&a[1], gensym("go"));
    typedmess(object_of(p, 9), gensym("send"), 2, a);
    EXPECT_EQ(g_log, "");
    // The "#N" line and its data lines come back as they stood; the cords
    // all stay.
    const std::string text = saved(p);
    EXPECT_NE(text.find(body.substr(body.find("#N timeline"))), std::string::npos) << text;
    size_t count = 0;
    for (size_t at = 0; (at = text.find("#P connect", at)) != std::string::npos; at++) count++;
    EXPECT_EQ(count, 16u) << text;
}

TEST_F(PatcherTest, VerboseTellsOnceForEachInertClass)
{
    console_capture console;
    g_verbose.store(true);
    patcher *p = load("v.pat", patch("#P newex 10 10 60 196617 onecopy;\r\n"
                                     "#P newex 10 40 60 196617 onecopy;\r\n"
                                     "#P newex 10 70 60 196617 findwindow;\r\n"));
    g_verbose.store(false);
    ASSERT_NE(p, nullptr);
    strings told;
    for (const std::string &line : console.lines())
        if (line.find("headless") != std::string::npos) told.push_back(line);
    EXPECT_EQ(told, (strings{"onecopy: headless, does nothing", "findwindow: headless, does nothing"}));
}

}  // namespace
}  // namespace kel::test
