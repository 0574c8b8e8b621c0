// Scripting: commands with too few or mistyped arguments change nothing,
// unknown names are reported, flags and layout reach the saved file, moving
// an inlet box renumbers the container's cords, replace keeps place, name and
// cords, newdefault's default looks, deleting frees from the queue, and the
// thispatcher object's deferral, #Q binding and saved lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/core/objects.h"
#include "kernel/patcher/patcher_names.h"
#include "kernel/patcher/patcher_script.h"
#include "kernel/time/scheduler.h"
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

// The atoms of a line of text (numbers, symbols).
std::vector<atom> atoms_of(const std::string &text)
{
    std::vector<atom> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        atom a;
        char *rest = nullptr;
        long n = std::strtol(word.c_str(), &rest, 10);
        if (*rest == '\0') {
            atom_setlong(&a, n);
        } else {
            double f = std::strtod(word.c_str(), &rest);
            if (*rest == '\0')
                atom_setfloat(&a, f);
            else
                atom_setsym(&a, gensym(word.c_str()));
        }
        out.push_back(a);
    }
    return out;
}

void script(patcher *p, const std::string &text)
{
    std::vector<atom> args = atoms_of(text);
    typedmess(p, S("script"), static_cast<long>(args.size()), args.data());
}

class ScriptTest : public PatcherTest {
protected:
    void SetUp() override
    {
        PatcherTest::SetUp();
        kel::test::drain_queue();
    }
    void TearDown() override
    {
        kel::test::drain_queue();
        PatcherTest::TearDown();
    }
    // Whether text holds these lines in a row (each with its ";\r\n").
    static bool has_line(const std::string &text, const std::string &line)
    {
        return text.find(line) != std::string::npos;
    }
};

// Two probes named a (two outlets) and b, a's outlet 0 wired to b.
const char *two_probes = "#P newex 20 20 50 196617 probe a 0 2;\r\n#P objectname a;\r\n"
                         "#P newex 100 80 50 196617 probe b 1;\r\n#P objectname b;\r\n"
                         "#P connect 1 0 0 0;\r\n";

TEST_F(ScriptTest, CommandsWithTooFewOrMistypedArgumentsChangeNothing)
{
    const char *commands[] = {
        "new a",
        "new a 5",
        "replace a",
        "newdefault",
        "newdefault x 10 20",
        "newdefault x 10 20 30",
        "class a",
        "nth a probe",
        "nth a probe 1.5",
        "selected",
        "connect a 0 b",
        "connect a 0.5 b 0",
        "connect a x b 0",
        "connectcolor a 0 b 0",
        "disconnect a 0 b",
        "move a 10",
        "move a 10 20.5",
        "offset a 1",
        "offsetfrom a b 0 1",
        "size a 10",
        "hide",
        "hide 5",
        "background a",
        "delete",
        "send a",
        "sendbox a",
        "hidden",
        "hidden 5",
        "",
        "5 a",
    };
    for (const char *command : commands) {
        SCOPED_TRACE(command);
        patcher *p = load("few.pat", patch(two_probes));
        ASSERT_NE(p, nullptr);
        const std::string before = saved(p);
        g_log.clear();
        console_capture console;
        script(p, command);
        kel::test::drain_queue();
        EXPECT_EQ(console.lines(), strings{});
        EXPECT_EQ(g_log, "");
        EXPECT_EQ(saved(p), before);
        freeobject(p);
    }
}

TEST_F(ScriptTest, AnUnknownNameIsReportedWithTheKeyword)
{
    struct unknown_case {
        const char *command;
        const char *line;
    };
    const unknown_case cases[] = {
        {"connect nobody 0 b 0", "script: connect: no variable nobody"},
        {"connect a 0 nobody 0", "script: connect: no variable nobody"},
        {"connectcolor a 0 zz 0 1", "script: connectcolor: no variable zz"},
        {"disconnect zz 0 b 0", "script: disconnect: no variable zz"},
        {"move zz 1 2", "script: move: no variable zz"},
        {"offset zz 1 2", "script: offset: no variable zz"},
        {"offsetfrom a zz 0 1 2", "script: offsetfrom: no variable zz"},
        {"size zz 1 2", "script: size: no variable zz"},
        {"hide zz", "script: hide: no variable zz"},
        {"show zz", "script: show: no variable zz"},
        {"ignoreclick zz", "script: ignoreclick: no variable zz"},
        {"respondtoclick zz", "script: respondtoclick: no variable zz"},
        {"bringtofront zz", "script: bringtofront: no variable zz"},
        {"sendtoback zz", "script: sendtoback: no variable zz"},
        {"background zz 1", "script: background: no variable zz"},
        {"delete zz", "script: delete: no variable zz"},
        {"send zz bang", "script: send: no variable zz"},
        {"sendbox zz bang", "script: sendbox: no variable zz"},
        {"hidden move zz 1 2", "script: move: no variable zz"},
        {"zap a", "patcher: unknown script keyword zap"},
        {"hidden zap", "patcher: unknown script keyword zap"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        patcher *p = load("unknown.pat", patch(two_probes));
        ASSERT_NE(p, nullptr);
        const std::string before = saved(p);
        console_capture console;
        script(p, c.command);
        EXPECT_EQ(console.lines(), strings{error_line(c.line)});
        EXPECT_EQ(saved(p), before);
        freeobject(p);
    }
}

TEST_F(ScriptTest, FlagsAndLayoutReachTheSavedFile)
{
    patcher *p = load("flags.pat", patch(two_probes));
    ASSERT_NE(p, nullptr);
    script(p, "hide a");
    script(p, "ignoreclick a");
    script(p, "background b 1");
    script(p, "size b 80 30");
    script(p, "hidden new c newex 300 20 50 196617 probe c");
    script(p, "hidden connect a 1 c 0 3");
    std::string text = saved(p);
    EXPECT_TRUE(has_line(text, "#P hidden newex 20 20 50 196617 probe a 0 2;\r\n#P noclick;\r\n")) << text;
    EXPECT_TRUE(has_line(text, "#P newex 100 80 80 196617 probe b 1;\r\n#P background;\r\n")) << text;
    EXPECT_TRUE(has_line(text, "#P hidden newex 300 20 50 196617 probe c;\r\n#P objectname c;\r\n")) << text;
    EXPECT_TRUE(has_line(text, "#P hidden connect 2 1 0 0;\r\n#P lcolor 3;\r\n")) << text;
    EXPECT_EQ(kel::patcher_box_at(p, 1)->rect.bottom - kel::patcher_box_at(p, 1)->rect.top, 30);

    script(p, "show a");
    script(p, "respondtoclick a");
    script(p, "background b 0");
    script(p, "connectcolor a 0 b 0 5");
    text = saved(p);
    EXPECT_TRUE(has_line(text, "#P newex 20 20 50 196617 probe a 0 2;\r\n#P objectname a;\r\n")) << text;
    EXPECT_TRUE(has_line(text, "#P newex 100 80 80 196617 probe b 1;\r\n#P objectname b;\r\n")) << text;
    EXPECT_TRUE(has_line(text, "#P connect 2 0 1 0;\r\n#P lcolor 5;\r\n")) << text;
}

TEST_F(ScriptTest, ConnectRefusesAConnectionThatExists)
{
    patcher *p = load("twice.pat", patch(two_probes));
    ASSERT_NE(p, nullptr);
    const std::string before = saved(p);
    console_capture console;
    script(p, "connect a 0 b 0");
    EXPECT_EQ(console.lines(), strings{});
    EXPECT_EQ(saved(p), before);
    g_log.clear();
    atom args[2];
    atom_setlong(&args[0], 0);
    atom_setsym(&args[1], S("once"));
    typedmess(kel::patcher_box_at(p, 1)->obj, S("send"), 2, args);
    EXPECT_EQ(g_log, "b once");
}

TEST_F(ScriptTest, MovingAnInletBoxRenumbersTheContainersCords)
{
    patcher *p = load("ports.pat", patch("#N vpatcher 0 0 200 200;\r\n"
                                         "#P inlet 20 10 15;\r\n#P objectname a;\r\n"
                                         "#P inlet 100 10 15;\r\n#P objectname b;\r\n"
                                         "#P newex 20 50 50 196617 probe fromA;\r\n"
                                         "#P newex 100 50 50 196617 probe fromB;\r\n"
                                         "#P connect 3 0 1 0;\r\n#P connect 2 0 0 0;\r\n#P pop;\r\n"
                                         "#P newobj 50 100 60 196617 p sub;\r\n"
                                         "#P newex 50 20 50 196617 probe src 0 2;\r\n"
                                         "#P connect 0 0 1 0;\r\n#P connect 0 1 1 1;\r\n"));
    ASSERT_NE(p, nullptr);
    auto *sub = reinterpret_cast<patcher *>(kel::patcher_box_at(p, 1)->obj);
    script(sub, "move a 150 10");
    const std::string text = saved(p);
    EXPECT_TRUE(has_line(text, "#P connect 0 1 1 0;\r\n#P connect 0 0 1 1;\r\n")) << text;
    object *src = kel::patcher_box_at(p, 0)->obj;
    atom args[3];
    atom_setlong(&args[0], 0);
    atom_setsym(&args[1], S("left"));
    g_log.clear();
    typedmess(src, S("send"), 2, args);
    atom_setlong(&args[0], 1);
    atom_setsym(&args[1], S("right"));
    typedmess(src, S("send"), 2, args);
    EXPECT_EQ(g_log, "fromA left | fromB right") << "the cords still lead where they did";

    script(sub, "offset a -140 0");
    EXPECT_TRUE(has_line(saved(p), "#P connect 0 0 1 0;\r\n#P connect 0 1 1 1;\r\n")) << "and back";
}

TEST_F(ScriptTest, ReplaceKeepsThePlaceTheNameAndTheCords)
{
    patcher *p = load("rep.pat", patch("#P newex 20 20 50 196617 probe src 0 1;\r\n"
                                       "#P newex 20 80 50 196617 probe old 1 1;\r\n#P objectname mid;\r\n"
                                       "#P newex 20 140 50 196617 probe dst;\r\n"
                                       "#P fasten 2 0 1 0 30 50 40 60;\r\n#P connect 1 0 0 0;\r\n#P lcolor 4;\r\n"));
    ASSERT_NE(p, nullptr);
    box *old = kel::patcher_box_at(p, 1);
    script(p, "replace mid newex 20 80 50 196617 probe new 1 1");
    box *made = kel::patcher_box_at(p, 1);
    EXPECT_NE(made, old);
    EXPECT_EQ(patcher_getnamedbox(p, S("mid")), made);
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n#P window setfont Geneva 9.;\r\n"
                        "#P newex 20 20 50 196617 probe src 0 1;\r\n"
                        "#P newex 20 80 50 196617 probe new 1 1;\r\n#P objectname mid;\r\n"
                        "#P newex 20 140 50 196617 probe dst;\r\n"
                        "#P fasten 2 0 1 0 30 50 40 60;\r\n#P connect 1 0 0 0;\r\n#P lcolor 4;\r\n#P pop;\r\n");
    kel::test::drain_queue();

    // A box without the name is made and named; nothing is replaced.
    script(p, "replace other newex 200 20 50 196617 probe more");
    EXPECT_EQ(patcher_getnamedbox(p, S("other")), kel::patcher_box_at(p, 0));
    EXPECT_EQ(kel::patcher_box_count(p), 4);
}

TEST_F(ScriptTest, ReplaceThatCannotMakeItsBoxKeepsTheOldOne)
{
    patcher *p = load("keep.pat", patch(two_probes));
    ASSERT_NE(p, nullptr);
    const std::string before = saved(p);
    console_capture console;
    script(p, "replace b nonsense 1 2");
    EXPECT_EQ(console.lines(), (strings{error_line("patcher: doesn't understand \"nonsense\""),
                                        error_line("instantiating object via scripting: name=b")}));
    EXPECT_EQ(saved(p), before);
}

TEST_F(ScriptTest, NewdefaultGivesEachKindItsDefaultLook)
{
    patcher *p = load("nd.pat", patch(""));
    ASSERT_NE(p, nullptr);
    script(p, "newdefault m 30 40 message hello there");
    script(p, "newdefault c comment a note");
    script(p, "newdefault t 50 60 toggle");
    script(p, "newdefault o 70 80 probe x 1");
    script(p, "newdefault n 90 100 flonum");
    script(p, "newdefault s 120 100 slider");
    script(p, "newdefault pr 150 100 preset");
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n#P window setfont Geneva 9.;\r\n"
                        "#P message 30 40 80 196617 hello there;\r\n#P objectname m;\r\n"
                        "#P comment 10 10 50 196617 a note;\r\n#P objectname c;\r\n"
                        "#P toggle 50 60;\r\n#P objectname t;\r\n"
                        "#P newex 70 80 68 196617 probe x 1;\r\n#P objectname o;\r\n"
                        "#P flonum 90 100;\r\n#P objectname n;\r\n"
                        "#P slider 120 100;\r\n#P objectname s;\r\n"
                        "#N vpreset 1;\r\n#P preset 150 100 47 27;\r\n#P objectname pr;\r\n#P pop;\r\n");
    console_capture console;
    script(p, "newdefault z 1 2 nosuchclass");
    EXPECT_EQ(console.lines(), strings{error_line("nosuchclass: No such object")})
        << "a placeholder box stands in, named like any other";
    EXPECT_NE(patcher_getnamedbox(p, S("z")), nullptr);
}

TEST_F(ScriptTest, SendTurnsNumbersIntoMessages)
{
    patcher *p = load("send.pat", patch(two_probes));
    ASSERT_NE(p, nullptr);
    g_log.clear();
    for (const char *command : {"send b 5", "send b 2.5", "send b 1 2 3", "send b foo 1"}) script(p, command);
    EXPECT_EQ(g_log, "b int 5 | b float 2.50 | b list 1 2 3 | b foo 1");
    console_capture console;
    script(p, "sendbox b bar");
    EXPECT_EQ(console.lines(), strings{error_line("newobj: doesn't understand \"bar\"")})
        << "to the box, not its object";
}

// A class whose constructor notes whether its patcher is being scripted.
void *scripted_probe_new()
{
    static kel_class *c = [] {
        kel_class *made = class_new("scriptedprobe", reinterpret_cast<kel_method>(&scripted_probe_new), nullptr,
                                    sizeof(object), nullptr, 0);
        class_register(gensym("box"), made);
        return made;
    }();
    auto *current = reinterpret_cast<patcher *>(gensym("#P")->thing);
    kel::test::note("scripting %d", current && current->scripting ? 1 : 0);
    return object_alloc(c);
}

TEST_F(ScriptTest, ThePatcherIsFlaggedWhileScriptingMakesABox)
{
    freeobject(static_cast<object *>(scripted_probe_new()));  // the class exists from here on
    patcher *p = load("flag.pat", patch(""));
    ASSERT_NE(p, nullptr);
    g_log.clear();
    script(p, "new x newex 10 10 50 196617 scriptedprobe");
    EXPECT_EQ(g_log, "scripting 1");
    EXPECT_FALSE(p->scripting) << "cleared again afterwards";
    EXPECT_TRUE(isnewex(patcher_getnamedbox(p, S("x"))));
    g_log.clear();
    std::vector<atom> line = atoms_of("10 40 50 196617 scriptedprobe");
    typedmess(p, S("newex"), static_cast<long>(line.size()), line.data());
    EXPECT_EQ(g_log, "scripting 0") << "a box made otherwise";
}

TEST_F(ScriptTest, ADeletedBoxLeavesAtOnceAndIsFreedFromTheQueue)
{
    patcher *p = load("del.pat", patch("#N vpatcher 0 0 100 100;\r\n#P newex 10 10 50 196617 freebang;\r\n"
                                       "#P newex 10 40 50 196617 probe freed;\r\n#P connect 1 0 0 0;\r\n#P pop;\r\n"
                                       "#P newobj 10 10 50 196617 p sub;\r\n#P objectname sub;\r\n"));
    ASSERT_NE(p, nullptr);
    g_log.clear();
    script(p, "delete sub");
    EXPECT_EQ(kel::patcher_box_count(p), 0);
    EXPECT_EQ(patcher_getnamedbox(p, S("sub")), nullptr);
    EXPECT_EQ(g_log, "") << "not freed yet";
    kel::test::drain_queue();
    EXPECT_EQ(g_log, "freed bang");
}

TEST_F(ScriptTest, ANewobjBoxNeverTakesItsOwnPatcher)
{
    // After a load the patcher just popped may still be the newest object;
    // a script's newobj must not put the patcher into a box inside itself.
    patcher *p = load("cycle.pat", patch(""));
    ASSERT_NE(p, nullptr);
    kel::g_newest_object = &p->header;
    script(p, "new x newobj 10 10 50 196617 p loop");
    box *b = patcher_getnamedbox(p, S("x"));
    ASSERT_NE(b, nullptr);
    EXPECT_NE(b->obj, &p->header);
    EXPECT_TRUE(b->flags & BOX_FLAG_PLACEHOLDER);
    EXPECT_EQ(p->container, nullptr);
}

TEST_F(ScriptTest, NthCountsFromTheNewestBoxOfTheClass)
{
    patcher *p = load("nth.pat", patch("#P newex 20 20 50 196617 probe one;\r\n#P newex 80 20 50 196617 probe two;\r\n"
                                       "#P newex 140 20 50 196617 probe three;\r\n"));
    ASSERT_NE(p, nullptr);
    script(p, "nth first probe 1");
    script(p, "nth last probe 3");
    EXPECT_EQ(patcher_getnamedbox(p, S("first")), kel::patcher_box_at(p, 0));
    EXPECT_EQ(patcher_getnamedbox(p, S("last")), kel::patcher_box_at(p, 2));
    console_capture console;
    script(p, "nth none probe 0");
    script(p, "nth none probe 4");
    EXPECT_EQ(console.lines(), (strings{error_line("script: instance 0 of probe not found"),
                                        error_line("script: instance 4 of probe not found")}));
    script(p, "class byclass probe two");
    EXPECT_EQ(patcher_getnamedbox(p, S("byclass")), kel::patcher_box_at(p, 1));
    script(p, "class nothing probe tw");
    EXPECT_EQ(patcher_getnamedbox(p, S("nothing")), nullptr);
}

// --- thispatcher ---

class ThispatcherTest : public ScriptTest {};

TEST_F(ThispatcherTest, InsideAPollEveryMessageWaitsForTheQueue)
{
    patcher *p = load("tp.pat", patch("#P newex 20 20 60 196617 thispatcher;\r\n"
                                      "#P newex 20 60 50 196617 probe b;\r\n#P objectname b;\r\n"));
    ASSERT_NE(p, nullptr);
    object *tp = kel::patcher_box_at(p, 1)->obj;
    std::vector<atom> args = atoms_of("send b now");
    g_log.clear();
    short was = isr_set(1);
    typedmess(tp, S("script"), static_cast<long>(args.size()), args.data());
    isr_set(was);
    EXPECT_EQ(g_log, "");
    kel::test::drain_queue();
    EXPECT_EQ(g_log, "b now");
    g_log.clear();
    typedmess(tp, S("script"), static_cast<long>(args.size()), args.data());
    EXPECT_EQ(g_log, "b now") << "outside a poll, at once";
}

TEST_F(ThispatcherTest, TheNewestIsBoundToHashQUntilEnd)
{
    patcher *p = load("q.pat", patch("#P newex 20 20 60 196617 thispatcher;\r\n"));
    ASSERT_NE(p, nullptr);
    object *tp = kel::patcher_box_at(p, 0)->obj;
    EXPECT_EQ(gensym("#Q")->thing, tp);
    typedmess(tp, S("end"), 0, nullptr);
    EXPECT_EQ(gensym("#Q")->thing, nullptr);
    typedmess(tp, S("end"), 0, nullptr);  // twice is harmless

    patcher *q = load("q2.pat", patch("#P newex 20 20 60 196617 thispatcher;\r\n"));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(gensym("#Q")->thing, kel::patcher_box_at(q, 0)->obj);
    freeobject(q);
    EXPECT_EQ(gensym("#Q")->thing, nullptr) << "a freed thispatcher lets go of #Q";
}

TEST_F(ThispatcherTest, SavedLinesWithAndWithoutTheWindow)
{
    patcher *p = load("sw.pat", patch("#P newex 20 20 60 196617 thispatcher;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n#P window setfont Geneva 9.;\r\n"
                        "#N thispatcher;\r\n#Q end;\r\n#P newobj 20 20 60 196617 thispatcher;\r\n#P pop;\r\n");
    atom one;
    atom_setlong(&one, 1);
    typedmess(kel::patcher_box_at(p, 0)->obj, S("savewindow"), 1, &one);
    EXPECT_EQ(saved(p), "#N vpatcher 10 20 410 320;\r\n#P window setfont Geneva 9.;\r\n"
                        "#N thispatcher;\r\n#Q window size 10 20 410 320;\r\n#Q savewindow 1;\r\n#Q end;\r\n"
                        "#P newobj 20 20 60 196617 thispatcher;\r\n#P pop;\r\n");
}

TEST_F(ThispatcherTest, MessagesToAFreedPatcherGoNowhere)
{
    patcher *p = load("gone.pat", patch(""));
    ASSERT_NE(p, nullptr);
    object *saved_p = gensym("#P")->thing;
    gensym("#P")->thing = &p->header;
    object *tp = static_cast<object *>(newinstance(S("thispatcher"), 0, nullptr));
    gensym("#P")->thing = saved_p;
    ASSERT_NE(tp, nullptr);
    freeobject(p);
    console_capture console;
    typedmess(tp, S("front"), 0, nullptr);
    EXPECT_EQ(console.lines(), strings{});
    freeobject(tp);
}

}  // namespace
