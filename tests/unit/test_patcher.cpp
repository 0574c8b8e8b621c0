// Patchers: building from file messages (box numbering, placeholders,
// connection errors), the order in which an outlet delivers to its cords,
// subpatchers with inlets and outlets, abstractions with arguments, the
// self-loading guard, re-creating and freeing boxes, and bad input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/core/memory.h"
#include "kernel/create/creation.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/outlets.h"
#include "memory_pressure.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::g_log;
using kel::test::patch;
using kel::test::PatcherTest;
using strings = std::vector<std::string>;

void send(void *x, const char *selector, long argc = 0, atom *argv = nullptr)
{
    typedmess(x, gensym(selector), argc, argv);
}

// --- building ---

TEST_F(PatcherTest, ConnectCountsBoxesFromTheNewest)
{
    patcher *p = load("a.pat", patch("#P newex 10 10 50 196617 probe first;\r\n"
                                     "#P newex 10 50 50 196617 probe second;\r\n"
                                     "#P newex 10 90 50 196617 probe third;\r\n"
                                     "#P connect 0 0 2 0;\r\n"));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(kel::patcher_box_count(p), 3);
    g_log.clear();
    atom args[2];
    atom_setlong(&args[0], 0);
    atom_setsym(&args[1], gensym("hi"));
    send(object_of(p, 0), "send", 2, args);  // the third box made
    EXPECT_EQ(logged(), strings{"first hi"});
}

TEST_F(PatcherTest, ObjectMethodOnAnObjectBoxReachesTheObjectItHolds)
{
    patcher *p = load("held.pat", patch("#P newex 10 10 50 196617 probe held;\r\n"));
    ASSERT_NE(p, nullptr);
    g_log.clear();
    box *b = nth(p, 0);
    ASSERT_NE(static_cast<void *>(b->obj), static_cast<void *>(b));
    object_method(b, gensym("int"), 7);  // the box has no int method: its probe does
    EXPECT_EQ(logged(), strings{"held int 7"});
    EXPECT_EQ(object_method(b, gensym("nosuchmethod")), nullptr);
}

// A connect line's report names the file and the line (the sixth: the
// patcher's own line, four boxes, then the connect).
TEST_F(PatcherTest, ConnectLinesThatConnectNothing)
{
    const struct {
        const char *line;
        strings console;
    } cases[] = {
        {"#P connect 1 0 1 0;", {}},
        {"#P connect -1 0 0 0;", {}},
        {"#P connect 1 -1 0 0;", {}},
        {"#P connect 5 0 0 0;", {error_line(std::string("c.pat:6: ") + "connection out of range")}},
        {"#P connect 0 0 9 0;", {error_line(std::string("c.pat:6: ") + "connection out of range")}},
        {"#P connect 1 4 0 0;", {error_line(std::string("c.pat:6: ") + "connect: outlet 4 of probe out of range")}},
        {"#P connect 1 0 0 3;", {error_line(std::string("c.pat:6: ") + "connect: inlet 3 of probe out of range")}},
        {"#P connect 2 0 0 0;", {error_line(std::string("c.pat:6: ") + "connect: outlet 0 of <unknown> out of range")}},
        {"#P connect 0 0 2 0;", {error_line(std::string("c.pat:6: ") + "connect: inlet 0 of <unknown> out of range")}},
        {"#P connect 3 0 0 2;",
         {error_line("can't connect (loadbang) to (probe)"), "(doesn't match 'bang)",
          error_line(std::string("c.pat:6: ") + "patcher_connect: inlet and outlet don't match")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        console_capture console;
        patcher *p = load("c.pat", patch(std::string("#P newex 10 10 50 196617 loadbang;\r\n"
                                                     "#P comment 10 30 50 196617 a note;\r\n"
                                                     "#P newex 10 50 50 196617 probe a;\r\n"
                                                     "#P newex 10 90 50 196617 probe b -2;\r\n") +
                                         c.line + "\r\n"));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(console.lines(), c.console);
        EXPECT_EQ(p->cords, nullptr);
        freeobject(p);
    }
}

TEST_F(PatcherTest, BadBoxLayoutsMakeNothing)
{
    const struct {
        const char *line;
        strings console;
    } cases[] = {
        {"#P newex 10 10 50;", {error_line("TETextBox: bad args")}},
        {"#P message 10 foo 50 196617 x;", {error_line("TETextBox: bad args")}},
        {"#P comment 10 10;", {error_line("TETextBox: bad args")}},
        {"#P newobj 10;", {error_line("TETextBox: bad args")}},
        {"#P bpatcher 10 10 50 50 0;", {error_line("patcher: bpatcher: missing arguments")}},
        {"#P user;", {error_line("patcher: user: bad arguments")}},
        {"#P fasten 0 0 1;", {error_line("b.pat:2: patcher_fasten: not enough arguments")}},
        {"#P window;", {error_line("patcher: window: bad arguments")}},
        {"#P window setfont Geneva;", {error_line("patcher: window: bad arguments")}},
        {"#P window linecount x;", {error_line("patcher: window: bad arguments")}},
        {"#P gizmo 1 2;", {error_line("patcher: doesn't understand \"gizmo\"")}},
        {"#P connect 0 0 x 0;", {error_line("patcher: bad arguments for message \"connect\"")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        console_capture console;
        patcher *p = load("b.pat", patch(std::string(c.line) + "\r\n"));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(console.lines(), c.console);
        EXPECT_EQ(p->boxes, nullptr);
        freeobject(p);
    }
}

TEST_F(PatcherTest, UnknownClassLeavesAPlaceholderThatGrowsForCords)
{
    console_capture console;
    patcher *p = load("u.pat", patch("#P newex 10 10 50 196617 nosuchthing 1 2;\r\n"
                                     "#P newex 10 50 50 196617 probe p 0 1;\r\n"
                                     "#P connect 1 3 0 0;\r\n"
                                     "#P connect 0 0 1 2;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("nosuchthing: No such object")});
    box *placeholder = nth(p, 1);
    EXPECT_TRUE(placeholder->flags & BOX_FLAG_PLACEHOLDER);
    EXPECT_EQ(kel::object_outlet_count(placeholder->obj), 4);
    EXPECT_EQ(kel::object_inlet_count(placeholder->obj), 3);
    EXPECT_NE(saved(p).find("#P newex 10 10 50 196617 nosuchthing 1 2;\r\n"), std::string::npos);
    EXPECT_NE(saved(p).find("#P connect 1 3 0 0;\r\n"), std::string::npos);

    // Growing stops where a file would make thousands of outlets.
    console_capture again;
    typedmess(p, gensym("connect"), 4,
              std::vector<atom>{[] {
                  atom a[4];
                  atom_setlong(&a[0], 1);
                  atom_setlong(&a[1], 100000);
                  atom_setlong(&a[2], 0);
                  atom_setlong(&a[3], 0);
                  return std::vector<atom>(a, a + 4);
              }()}
                  .data());
    EXPECT_EQ(again.lines(), strings{error_line("connect: outlet 100000 of bogus out of range")});
    EXPECT_EQ(kel::object_outlet_count(placeholder->obj), 4);
}

// --- delivery order ---

TEST_F(PatcherTest, OutletDeliversRightToLeftThenLowerFirst)
{
    struct receiver {
        const char *name;
        int x, y;
    };
    const struct {
        const char *what;
        std::vector<receiver> boxes;  // made in this order
        std::vector<int> cords;       // cords made to these boxes, in this order
        strings delivered;
    } cases[] = {
        {"right first", {{"l", 100, 100}, {"r", 300, 100}}, {0, 1}, {"r go", "l go"}},
        {"right first, cords made the other way", {{"l", 100, 100}, {"r", 300, 100}}, {1, 0}, {"r go", "l go"}},
        {"equal x: lower first", {{"up", 200, 50}, {"down", 200, 150}}, {0, 1}, {"down go", "up go"}},
        {"equal x: lower first, made the other way",
         {{"down", 200, 150}, {"up", 200, 50}},
         {1, 0},
         {"down go", "up go"}},
        {"equal points: older cord first", {{"a", 200, 100}, {"b", 200, 100}}, {1, 0}, {"b go", "a go"}},
        {"equal points: older cord first, other way", {{"a", 200, 100}, {"b", 200, 100}}, {0, 1}, {"a go", "b go"}},
        {"three",
         {{"low", 300, 100}, {"far", 100, 200}, {"high", 300, 10}},
         {1, 2, 0},
         {"low go", "high go", "far go"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string body = "#P message 200 0 40 196617 go;\r\n";
        for (const receiver &r : c.boxes)
            body +=
                "#P newex " + std::to_string(r.x) + " " + std::to_string(r.y) + " 40 196617 probe " + r.name + ";\r\n";
        const int count = static_cast<int>(c.boxes.size());
        for (int k : c.cords)
            body += "#P connect " + std::to_string(count) + " 0 " + std::to_string(count - 1 - k) + " 0;\r\n";
        patcher *p = load("o.pat", patch(body));
        ASSERT_NE(p, nullptr);
        g_log.clear();
        send(object_of(p, count), "bang");
        EXPECT_EQ(logged(), c.delivered);
        freeobject(p);
    }
}

TEST_F(PatcherTest, InletsOfOneBoxAreOrderedByTheirOffsets)
{
    // A box 110 wide with three inlets: offsets 0, 50, 100. The rightmost
    // inlet receives first.
    patcher *p = load("i.pat", patch("#P message 0 0 40 196617 go;\r\n"
                                     "#P newex 100 100 110 196617 probe t 2;\r\n"
                                     "#P connect 1 0 0 0;\r\n"
                                     "#P connect 1 0 0 2;\r\n"
                                     "#P connect 1 0 0 1;\r\n"));
    ASSERT_NE(p, nullptr);
    g_log.clear();
    send(object_of(p, 1), "bang");
    EXPECT_EQ(logged(), (strings{"t@2 go", "t@1 go", "t go"}));
}

// --- subpatchers ---

const char *subpatcher_body = "#N vpatcher 50 50 300 300;\r\n"
                              "#P inlet 100 10 15;\r\n"
                              "#P inlet 20 10 15;\r\n"
                              "#P newex 20 50 40 196617 probe in-left 0 1;\r\n"
                              "#P newex 100 50 40 196617 probe in-right;\r\n"
                              "#P outlet 20 100 15;\r\n"
                              "#P connect 4 0 1 0;\r\n"
                              "#P connect 3 0 2 0;\r\n"
                              "#P connect 2 0 0 0;\r\n"
                              "#P pop;\r\n"
                              "#P newobj 50 50 60 196617 p inner;\r\n";

TEST_F(PatcherTest, SubpatcherInletsAndOutletsReachTheObjectsDirectly)
{
    patcher *p = load("s.pat", patch(std::string("#P message 10 10 40 196617 one;\r\n"
                                                 "#P message 80 10 40 196617 two;\r\n") +
                                     subpatcher_body +
                                     "#P newex 50 150 40 196617 probe outside;\r\n"
                                     "#P connect 3 0 1 0;\r\n"
                                     "#P connect 2 0 1 1;\r\n"
                                     "#P connect 1 0 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *sub = reinterpret_cast<patcher *>(object_of(p, 1));
    ASSERT_TRUE(kel::is_patcher(sub));
    EXPECT_STREQ(kel::patcher_title(sub), "inner");
    EXPECT_EQ(sub->container, nth(p, 1));
    EXPECT_EQ(patcher_parentpatcher(sub), p);
    // Inlet 0 is the inlet box further left, whatever the order they were made.
    g_log.clear();
    send(object_of(p, 3), "bang");
    send(object_of(p, 2), "bang");
    EXPECT_EQ(logged(), (strings{"in-left one", "in-right two"}));
    // The message box's outlet is connected to the probe inside itself.
    outlet *o = kel::object_outlet_at(object_of(p, 3), 0);
    ASSERT_NE(o->connections, nullptr);
    EXPECT_EQ(o->connections->receiver, kel::patcher_box_at(sub, 2)->obj);
    // The probe inside sends straight to the one outside.
    g_log.clear();
    atom args[2];
    atom_setlong(&args[0], 0);
    atom_setsym(&args[1], gensym("up"));
    send(kel::patcher_box_at(sub, 2)->obj, "send", 2, args);
    EXPECT_EQ(logged(), strings{"outside up"});
    EXPECT_EQ(kel::object_outlet_at(kel::patcher_box_at(sub, 2)->obj, 0)->connections->receiver, object_of(p, 0));
}

TEST_F(PatcherTest, OrderInsideASubpatcherReachesTheOutletOutside)
{
    // One cord into the subpatcher's inlet stands for two objects inside;
    // they receive right to left, and a box outside, further right than the
    // subpatcher box, receives before both.
    patcher *p = load("n.pat", patch("#P message 10 10 40 196617 go;\r\n"
                                     "#N vpatcher 50 50 300 300;\r\n"
                                     "#P inlet 20 10 15;\r\n"
                                     "#P newex 20 50 40 196617 probe left;\r\n"
                                     "#P newex 200 50 40 196617 probe right;\r\n"
                                     "#P connect 2 0 1 0;\r\n"
                                     "#P connect 2 0 0 0;\r\n"
                                     "#P pop;\r\n"
                                     "#P newobj 20 50 60 196617 p;\r\n"
                                     "#P newex 300 50 40 196617 probe far;\r\n"
                                     "#P connect 2 0 1 0;\r\n"
                                     "#P connect 2 0 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    g_log.clear();
    send(object_of(p, 2), "bang");
    EXPECT_EQ(logged(), (strings{"far go", "right go", "left go"}));
    EXPECT_STREQ(kel::patcher_title(reinterpret_cast<patcher *>(object_of(p, 1))), "sub patch");
}

TEST_F(PatcherTest, InletBoxesAddedAndDeletedRenumberTheCordsOutside)
{
    patcher *p = load("r.pat", patch(std::string("#P message 10 10 40 196617 one;\r\n"
                                                 "#P message 80 10 40 196617 two;\r\n") +
                                     subpatcher_body +
                                     "#P connect 2 0 0 0;\r\n"
                                     "#P connect 1 0 0 1;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *sub = reinterpret_cast<patcher *>(object_of(p, 0));
    // A new inlet box at the far left becomes inlet 0: the cords outside move
    // one inlet to the right.
    atom at[3];
    atom_setlong(&at[0], 0);
    atom_setlong(&at[1], 10);
    atom_setlong(&at[2], 15);
    typedmess(sub, gensym("inlet"), 3, at);
    EXPECT_NE(saved(p).find("#P connect 2 0 0 1;\r\n#P connect 1 0 0 2;\r\n"), std::string::npos) << saved(p);
    // Deleting the inlet box of inlet 1 removes the cord into it and moves
    // the cord into inlet 2 to inlet 1.
    box *left_inlet = kel::patcher_box_at(sub, 4);  // the inlet box at x 20
    ASSERT_TRUE(left_inlet->flags & BOX_FLAG_INLET);
    patcher_deleteobj(sub, left_inlet);
    const std::string text = saved(p);
    EXPECT_EQ(text.find("#P connect 2 0"), std::string::npos) << text;
    EXPECT_NE(text.find("#P connect 1 0 0 1;\r\n"), std::string::npos) << text;
    g_log.clear();
    send(object_of(p, 1), "bang");
    send(object_of(p, 2), "bang");
    EXPECT_EQ(logged(), strings{"in-right two"});
}

// --- abstractions ---

TEST_F(PatcherTest, AbstractionsGetTheirArgumentsAndANumberOfTheirOwn)
{
    write("myabs.pat", patch("#P newex 10 10 50 196617 probe $1 $0-x;\r\n"));
    console_capture console;
    patcher *p = load("main.pat", patch("#P newex 10 10 50 196617 myabs 5;\r\n"
                                        "#P newex 10 50 50 196617 myabs 7;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(console.lines().empty()) << console.last();
    const strings made = logged();
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0].rfind("new 5 ", 0), 0u) << made[0];
    EXPECT_EQ(made[1].rfind("new 7 ", 0), 0u) << made[1];
    const std::string own0 = made[0].substr(6), own1 = made[1].substr(6);
    EXPECT_NE(own0, own1) << "each load has a number of its own";
    EXPECT_NE(own0.find("-x"), std::string::npos);
    auto *abs = reinterpret_cast<patcher *>(object_of(p, 1));
    ASSERT_TRUE(kel::is_patcher(abs));
    EXPECT_TRUE(abs->from_file);
    EXPECT_STREQ(kel::patcher_title(abs), "myabs.pat");
    // Saved as its box text: it is loaded from its file again.
    EXPECT_EQ(saved(p),
              "#N vpatcher 10 20 410 320;\r\n#P window setfont Geneva 9.;\r\n#P newex 10 10 50 196617 myabs 5;\r\n"
              "#P newex 10 50 50 196617 myabs 7;\r\n#P pop;\r\n");
}

TEST_F(PatcherTest, APatcherThatLoadsItselfIsStopped)
{
    console_capture console;
    patcher *p = load("selfish.pat", patch("#P newex 10 10 50 196617 selfish;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(),
              (strings{error_line("patcher attempting to load itself: " + root + "/selfish.pat"),
                       error_line("perhaps you have mistakenly named a patcher file the same name as an object it "
                                  "contains. this is not permitted."),
                       error_line("selfish: No such object")}));
    EXPECT_TRUE(nth(p, 0)->flags & BOX_FLAG_PLACEHOLDER);

    // Opened by a name with its folder, it is the same file.
    std::filesystem::create_directory(root + "/sub");
    write("sub/selfish.pat", patch("#P newex 10 10 50 196617 selfish;\r\n"));
    console_capture again;
    auto *q = static_cast<patcher *>(fileload("./sub/selfish.pat", path));
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(again.lines().size(), 3u);
    EXPECT_EQ(again.lines()[0].rfind(error_line("patcher attempting to load itself: "), 0), 0u);
    EXPECT_EQ(kel::patcher_live_count(), live_before + 2) << "no copy of the file was loaded inside it";
}

// --- boxes changing ---

TEST_F(PatcherTest, RetypingABoxKeepsTheCordsTheNewObjectHas)
{
    patcher *p = load("t.pat", patch("#P message 10 10 40 196617 go;\r\n"
                                     "#P newex 10 50 40 196617 probe old 1;\r\n"
                                     "#P newex 10 90 40 196617 probe after;\r\n"
                                     "#P connect 2 0 1 0;\r\n"
                                     "#P connect 2 0 1 1;\r\n"
                                     "#P connect 1 0 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    std::vector<atom> text(2);
    atom_setsym(&text[0], gensym("probe"));
    atom_setsym(&text[1], gensym("new"));
    console_capture console;
    kel::newex_retext(nth(p, 1), 2, text.data());  // no extra inlet any more
    EXPECT_TRUE(console.lines().empty());
    g_log.clear();
    send(object_of(p, 2), "bang");
    EXPECT_EQ(logged(), strings{"new go"});
    const std::string s = saved(p);
    EXPECT_NE(s.find("probe new;\r\n"), std::string::npos);
    EXPECT_NE(s.find("#P connect 1 0 0 0;"), std::string::npos);
    EXPECT_EQ(s.find("0 1 1"), std::string::npos);

    atom semicolon[3];
    atom_setsym(&semicolon[0], gensym("probe"));
    atom_setsym(&semicolon[1], gensym(";"));
    atom_setsym(&semicolon[2], gensym("x"));
    kel::newex_retext(nth(p, 1), 3, semicolon);
    EXPECT_EQ(console.lines(), strings{error_line("object box has comma or semicolon")});
    EXPECT_TRUE(nth(p, 1)->flags & BOX_FLAG_PLACEHOLDER);
    EXPECT_NE(saved(p).find("#P connect 2 0 1 0;"), std::string::npos) << "a placeholder keeps the cords";
}

TEST_F(PatcherTest, TypingPMakesAnEmptySubpatcherTitledByTheText)
{
    console_capture console;
    patcher *p = load("z.pat", patch("#P newex 10 10 50 196617 p my sub;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(console.lines().empty()) << console.last();
    auto *sub = reinterpret_cast<patcher *>(object_of(p, 0));
    ASSERT_TRUE(kel::is_patcher(sub));
    EXPECT_STREQ(kel::patcher_title(sub), "my sub");
    EXPECT_TRUE(sub->window.visible);
    // Its contents are the box's own lines from now on.
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n#P window setfont Geneva 9.;\r\n"
                        "#N vpatcher 20 74 620 474;\r\n#P pop 1;\r\n#P newobj 10 10 50 196617 p my sub;\r\n"
                        "#P pop;\r\n");
}

TEST_F(PatcherTest, RetypingASubpatcherKeepsItUnderANewTitle)
{
    patcher *p = load("w.pat", patch(std::string(subpatcher_body)));
    ASSERT_NE(p, nullptr);
    object *sub = object_of(p, 0);
    atom text[2];
    atom_setsym(&text[0], gensym("p"));
    atom_setsym(&text[1], gensym("renamed"));
    kel::newex_retext(nth(p, 0), 2, text);
    EXPECT_EQ(object_of(p, 0), sub);
    EXPECT_STREQ(kel::patcher_title(reinterpret_cast<patcher *>(sub)), "renamed");
}

TEST_F(PatcherTest, DeletingABoxRemovesItsConnections)
{
    patcher *p = load("d.pat", patch("#P message 10 10 40 196617 go;\r\n"
                                     "#P newex 10 50 40 196617 probe gone;\r\n"
                                     "#P newex 60 50 40 196617 probe stays;\r\n"
                                     "#P connect 2 0 1 0;\r\n"
                                     "#P connect 2 0 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    patcher_deleteobj(p, nth(p, 1));
    EXPECT_EQ(kel::patcher_box_count(p), 2);
    g_log.clear();
    send(object_of(p, 1), "bang");
    EXPECT_EQ(logged(), strings{"stays go"});
    EXPECT_NE(saved(p).find("#P connect 1 0 0 0;"), std::string::npos);
}

TEST_F(PatcherTest, ConnectAndDisconnectByBox)
{
    patcher *p = load("k.pat", patch("#P message 10 10 40 196617 go;\r\n"
                                     "#P newex 10 50 40 196617 probe t 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    box *m = nth(p, 1), *t = nth(p, 0);
    EXPECT_EQ(patcher_connectobj(p, m, 0, t, 0, 1, 3 | CORD_FLAG_HIDDEN), p);
    EXPECT_EQ(patcher_connectobj(p, m, 0, t, 0, 1, 0), nullptr) << "checked: already connected";
    EXPECT_TRUE(p->cords->hidden);
    EXPECT_EQ(p->cords->color, 3);
    console_capture console;
    patcher_disconnectobj(p, m, 0, t, 0);
    patcher_disconnectobj(p, m, 0, t, 0);
    patcher_disconnectobj(p, m, 1, t, 0);
    patcher_disconnectobj(p, m, 0, t, 1);
    EXPECT_EQ(console.lines(), (strings{error_line("disconnect: unable to find connection"),
                                        error_line("disconnect: no outlet 1"), error_line("disconnect: no inlet 1")}));
    g_log.clear();
    send(m, "bang");
    EXPECT_TRUE(g_log.empty());
}

TEST_F(PatcherTest, HookConnectsObjectsOfBoxes)
{
    patcher *p = load("h.pat", patch("#P message 10 10 40 196617 go;\r\n"
                                     "#P newex 10 50 40 196617 probe t 1;\r\n"));
    ASSERT_NE(p, nullptr);
    atom args[4];
    atom_setobj(&args[0], object_of(p, 1));
    atom_setlong(&args[1], 0);
    atom_setobj(&args[2], object_of(p, 0));
    atom_setlong(&args[3], 1);
    typedmess(p, gensym("hook"), 4, args);
    g_log.clear();
    send(object_of(p, 1), "bang");
    EXPECT_EQ(logged(), strings{"t@1 go"});
    console_capture console;
    atom_setobj(&args[0], p);
    typedmess(p, gensym("hook"), 4, args);
    atom_setobj(&args[0], object_of(p, 1));
    atom_setlong(&args[1], 2);
    typedmess(p, gensym("hook"), 4, args);
    EXPECT_EQ(console.lines(), (strings{error_line("patcher_hook: outlet out of range"),
                                        error_line("patcher_hook: outlet out of range")}));
}

// --- bad input ---

TEST_F(PatcherTest, DamagedFilesAreReportedAndLeaveNothingBound)
{
    const kel::binding_symbols &b = kel::bindings();
    const struct {
        const char *what;
        std::string bytes;
        bool loads;
        strings console;
    } cases[] = {
        {"ends inside the patcher",
         "#N vpatcher 10 20 410 320;\r\n#P newex 10 10 50 196617 probe t;\r\n",
         true,
         {error_line("x.pat: file ends inside a patcher")}},
        {"ends inside a subpatcher",
         "#N vpatcher 10 20 410 320;\r\n#N vpatcher 10 20 410 320;\r\n#P newex 10 10 50 196617 probe t;\r\n",
         true,
         {error_line("x.pat: file ends inside a patcher")}},
        {"not a patcher", "hello world;\r\n", false, {error_line("x.pat: not a patcher file")}},
        {"empty", "", false, {error_line("x.pat: error -39 reading file")}},
        {"random bytes", std::string("\x02\x00\x00\x00\x05\xff\x10", 7), false, {error_line("bad file byte 5")}},
        {"binary junk",
         std::string("\x01\x9c\xff\x00\x13\x80garbage\x00\x00", 15),
         false,
         {error_line("x.pat: bad magic number")}},
        // A record nothing is bound to is kept with the patcher, not sent.
        {"a record for an unbound receiver", "#N vpatcher 10 20 410 320;\r\n#Q 1 2;\r\n#P pop;\r\n", true, {}},
        {"a line for an unbound receiver",
         "#N vpatcher 10 20 410 320;\r\nnowhere 1 2;\r\n#P pop;\r\n",
         true,
         {error_line("'nowhere: no such object")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        console_capture console;
        patcher *p = load("x.pat", c.bytes);
        EXPECT_EQ(p != nullptr, c.loads);
        EXPECT_EQ(console.lines(), c.console);
        EXPECT_EQ(b.N->thing, kel::creation_object());
        EXPECT_EQ(b.P->thing, nullptr);
        EXPECT_EQ(b.X->thing, nullptr);
        EXPECT_FALSE(kel::patcher_loading());
        if (p) freeobject(p);
    }
    console_capture console;
    EXPECT_EQ(fileload("missing.pat", path), nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("missing.pat: can't load, error -43 (No such file or directory)")});
}

TEST_F(PatcherTest, RunningOutOfMemoryLoadsWholeOrNothing)
{
    std::string body;
    for (int k = 0; k < 1500; k++)
        body += "#P message " + std::to_string(k % 400) + " " + std::to_string(k / 400 * 20) + " 50 196617 m " +
                std::to_string(k) + ";\r\n#P newex 10 10 50 196617 print p" + std::to_string(k) + ";\r\n";
    for (int k = 0; k < 1500; k++)
        body += "#P connect " + std::to_string(2 * k + 1) + " 0 " + std::to_string(2 * k) + " 0;\r\n";
    write("big.pat", patch(body));
    const kel::binding_symbols &b = kel::bindings();
    int refused = 0;
    for (long allowed : {0, 1, 2, 3, 4, 6, 8, 12, 16, 24, 32}) {
        SCOPED_TRACE(allowed);
        console_capture console;
        void *p = nullptr;
        {
            kel::test::memory_exhausted exhausted;
            kel::memory_fail_after(allowed);
            p = fileload("big.pat", path);
            kel::memory_fail_after(-1);
            if (p) {
                EXPECT_EQ(kel::patcher_box_count(static_cast<patcher *>(p)), 3000);
                freeobject(p);
            }
        }
        kel::memory_set_low(false);
        if (!p) {
            refused++;
            EXPECT_FALSE(console.lines().empty()) << "a refused load says why";
        }
        EXPECT_EQ(kel::patcher_live_count(), live_before);
        EXPECT_EQ(b.N->thing, kel::creation_object());
        EXPECT_EQ(b.P->thing, nullptr);
        EXPECT_FALSE(kel::patcher_loading());
    }
    EXPECT_GT(refused, 0);
}

TEST_F(PatcherTest, ExtraTopLevelPatchersAreFreed)
{
    const long before = kel::patcher_live_count();
    patcher *p = load("two.pat", patch("#P newex 10 10 50 196617 probe first;\r\n") +
                                     patch("#P newex 10 10 50 196617 probe second;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kel::patcher_live_count(), before + 1);
    EXPECT_NE(saved(p).find("probe second"), std::string::npos);
}

TEST_F(PatcherTest, FreeingEverythingLeavesNoPatcher)
{
    patcher *a = load("f1.pat", patch(std::string(subpatcher_body)));
    patcher *b = load("f2.pat", patch("#P message 10 10 40 196617 go;\r\n"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(kel::patcher_live_count(), live_before + 3);
    kel::patcher_free_all();
    EXPECT_EQ(kel::patcher_live_count(), live_before);
}

TEST_F(PatcherTest, EachDoWalksOpenWindowsAndTheirSubpatchers)
{
    patcher *hidden = load("e1.pat", patch(std::string(subpatcher_body)));
    patcher *shown = load("e2.pat", patch(std::string(subpatcher_body)));
    ASSERT_NE(hidden, nullptr);
    ASSERT_NE(shown, nullptr);
    send(shown, "front");
    std::vector<patcher *> seen;
    patcher_eachdo(
        [](patcher *p, void *arg) -> long {
            static_cast<std::vector<patcher *> *>(arg)->push_back(p);
            return 0;
        },
        &seen);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], shown);
    EXPECT_EQ(seen[1], reinterpret_cast<patcher *>(object_of(shown, 0)));
}

TEST_F(PatcherTest, StringloadFindsTheFileOnTheSearchPathAndShowsIt)
{
    write("found.pat", patch("#P newex 10 10 50 196617 probe s;\r\n"));
    path_list *list = kel::path_list_search();
    ASSERT_EQ(path_build(path, list, 0, 0), 0);
    auto *p = static_cast<patcher *>(stringload("found.pat"));
    path_removefromlist(list, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->window.visible);
    console_capture console;
    EXPECT_EQ(stringload("not-there.pat"), nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("not-there.pat: can't find file")});
}

TEST_F(PatcherTest, IntloadPassesArguments)
{
    write("args.pat", patch("#P newex 10 10 50 196617 probe $1 $2;\r\n"));
    atom args[2];
    atom_setlong(&args[0], 3);
    atom_setsym(&args[1], gensym("y"));
    auto *p = static_cast<patcher *>(intload("args.pat", path, 0, 2, args, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(logged(), strings{"new 3 y"});
    console_capture console;
    write("plain.txt", "just some words;\r\n");
    EXPECT_EQ(intload("plain.txt", path, 0, 0, nullptr, 0), nullptr);
    EXPECT_TRUE(console.lines().empty());
    EXPECT_EQ(intload("plain.txt", path, 0, 0, nullptr, 1), nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("plain.txt: not a patcher file")});
}

}  // namespace

namespace {

TEST_F(PatcherTest, SetrockKeepsTheEnableFlagOfAPatcherAndItsSubpatchers)
{
    patcher *p = load("rock.pat", patch("#N vpatcher 20 74 620 474;\r\n"
                                        "#N vpatcher 20 74 620 474;\r\n#P pop;\r\n"
                                        "#P newobj 10 10 50 196617 p inner;\r\n#P pop;\r\n"
                                        "#P newobj 10 10 50 196617 p outer;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *outer = reinterpret_cast<patcher *>(object_of(p, 0));
    ASSERT_TRUE(kel::is_patcher(outer));
    auto *inner = reinterpret_cast<patcher *>(object_of(outer, 0));
    ASSERT_TRUE(kel::is_patcher(inner));
    const struct {
        long setrock;
        bool expected;
    } steps[] = {{0, false}, {0, false}, {1, true}, {-3, true}};
    for (const auto &s : steps) {
        SCOPED_TRACE(s.setrock);
        atom a;
        atom_setlong(&a, s.setrock);
        typedmess(outer, gensym("setrock"), 1, &a);
        EXPECT_EQ(kel::patcher_enabled(outer), s.expected);
        EXPECT_EQ(kel::patcher_enabled(inner), s.expected);
        EXPECT_TRUE(kel::patcher_enabled(p));  // the patcher around is not touched
    }
}

TEST_F(PatcherTest, PcontrolEnablesTheSubpatchersItIsDrawnToLater)
{
    patcher *p = load("pc.pat", patch("#P newex 10 10 50 196617 pcontrol;\r\n"
                                      "#N vpatcher 20 74 620 474;\r\n#P inlet 10 10 15;\r\n#P pop;\r\n"
                                      "#P newobj 10 50 50 196617 p wired;\r\n"
                                      "#N vpatcher 20 74 620 474;\r\n#P pop;\r\n"
                                      "#P newobj 100 50 50 196617 p apart;\r\n"
                                      "#P connect 2 0 1 0;\r\n"));
    ASSERT_NE(p, nullptr);
    object *pc = object_of(p, 2);
    auto *wired = reinterpret_cast<patcher *>(object_of(p, 1));
    auto *apart = reinterpret_cast<patcher *>(object_of(p, 0));
    ASSERT_TRUE(kel::is_patcher(wired));
    const struct {
        double n;
        bool expected;
    } steps[] = {{0, false}, {1, true}, {0, false}, {0.5, true}};
    for (const auto &s : steps) {
        SCOPED_TRACE(s.n);
        atom a[2];
        atom_setfloat(&a[0], s.n);
        atom_setlong(&a[1], 1);  // accepted, without meaning
        typedmess(pc, gensym("enable"), 2, a);
        EXPECT_NE(kel::patcher_enabled(wired), s.expected) << "carried out at once";  // every step changes the flag
        for (int i = 0; i < 100 && !kel::queue_is_empty(); i++) kel::queue_service();
        EXPECT_EQ(kel::patcher_enabled(wired), s.expected);
        EXPECT_TRUE(kel::patcher_enabled(apart));
    }
}

TEST_F(PatcherTest, TheFrontVisibleWindowIsTheActiveOne)
{
    patcher *a = load("one.pat", patch("#P newex 10 10 50 196617 active;\r\n"
                                       "#P newex 10 50 50 196617 probe one;\r\n#P connect 1 0 0 0;\r\n"));
    patcher *b = load("two.pat", patch("#P newex 10 10 50 196617 active;\r\n"
                                       "#P newex 10 50 50 196617 probe two;\r\n#P connect 1 0 0 0;\r\n"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    g_log.clear();
    kel::patcher_show(a, true);
    kel::patcher_show(a, true);  // already in front: nothing changes
    kel::patcher_show(b, true);
    kel::patcher_activate(b, true);  // a repeat of the last notification is dropped
    kel::patcher_show(b, false);
    kel::patcher_show(a, false);
    EXPECT_EQ(logged(), (strings{"one int 1", "one int 0", "two int 1", "two int 0", "one int 1", "one int 0"}));
    EXPECT_EQ(kel::patcher_active(), nullptr);
}

}  // namespace
