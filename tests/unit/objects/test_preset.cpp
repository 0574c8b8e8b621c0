// Presets: storing from every box or through the left outlet, the
// exclusion outlet, recalling (the slot number first, nothing for empty or
// unresolved slots), stores refused while a recall replays, boxes deleted
// after a store, saving and reloading (embedded or not), resolving at
// loadbang, lines shaped as real files write them, and preset files.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "atom_support.h"
#include "kel/preset.h"
#include "kernel/patcher/loadbang.h"
#include "kernel/time/scheduler.h"
#include "objects/controls.h"
#include "objects/number_box.h"
#include "objects/preset.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::g_log;
using kel::test::L;
using kel::test::patch;
using kel::test::PatcherTest;
using kel::test::S;
using strings = std::vector<std::string>;

class PresetTest : public PatcherTest {
protected:
    void send(box *b, const char *selector, std::vector<atom> args = {})
    {
        typedmess(b, gensym(selector), static_cast<long>(args.size()), args.data());
    }
    // number (3), toggle (2), preset (1), probe "slot" (0) on the slot
    // outlet, and probes on the number's and the toggle's outlets; extra
    // lines come after.
    patcher *standard(const std::string &extra = "")
    {
        p = load("p.pat", patch("#P number 10 10 35 9 0 0 0 3;\r\n"
                                "#P toggle 60 10 15 0;\r\n"
                                "#P preset 10 40 47 27;\r\n"
                                "#P newex 10 80 50 196617 probe slot;\r\n"
                                "#P connect 1 1 0 0;\r\n" +
                                extra));
        g_log.clear();
        return p;
    }
    box *number() { return nth(p, 3 + added); }
    box *toggle() { return nth(p, 2 + added); }
    box *preset() { return nth(p, 1 + added); }
    void set_state(long n, long t)
    {
        send(number(), "set", {L(n)});
        send(toggle(), "set", {L(t)});
    }
    patcher *p = nullptr;
    long added = 0;  // boxes the extra lines made
};

TEST_F(PresetTest, StoreAndRecallEveryBox)
{
    ASSERT_NE(standard(), nullptr);
    set_state(5, 1);
    send(preset(), "store", {L(1)});
    set_state(7, 0);
    send(preset(), "store", {L(3)});  // grows the one slot to three
    EXPECT_EQ(kel::preset_slot_count(preset()), 3);
    EXPECT_EQ(kel::preset_slot(preset(), 1).kind, 2);
    EXPECT_EQ(kel::preset_slot(preset(), 1).resolved, 2);
    set_state(0, 0);
    g_log.clear();
    for (long n : {2L, 0L, -1L, 4L}) send(preset(), "int", {L(n)});
    EXPECT_TRUE(g_log.empty()) << "an empty, missing or out of range slot does nothing at all";
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 0);
    send(preset(), "int", {L(1)});
    EXPECT_EQ(logged(), strings{"slot int 1"});
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 5);
    g_log.clear();
    send(preset(), "float", {kel::test::F(3.9)});
    EXPECT_EQ(logged(), strings{"slot int 3"});
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 7);
    // bang and any other message recall the current slot.
    set_state(1, 1);
    g_log.clear();
    send(preset(), "bang");
    send(preset(), "whatever", {L(1)});
    EXPECT_EQ(logged(), (strings{"slot int 3", "slot int 3"}));
    // store 0 stores into the current slot; out of range is ignored.
    set_state(9, 1);
    send(preset(), "store", {L(0)});
    send(preset(), "store", {L(2049)});
    send(preset(), "store", {L(-2)});
    EXPECT_EQ(kel::preset_slot_count(preset()), 3);
    set_state(0, 0);
    send(preset(), "int", {L(3)});
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 9);
}

TEST_F(PresetTest, TheLeftOutletAndTheExclusionOutletChooseWhatIsStored)
{
    const struct {
        const char *cords;
        long stored;
        double number_after, toggle_after;
    } cases[] = {
        {"", 2, 5, 1},
        {"#P connect 1 0 3 0;\r\n", 1, 5, 0},  // only what is connected to the left outlet
        {"#P connect 1 2 2 0;\r\n", 1, 5, 0},  // the toggle is left out
        {"#P connect 1 2 3 0;\r\n#P connect 1 2 2 0;\r\n", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cords);
        ASSERT_NE(standard(c.cords), nullptr);
        set_state(5, 1);
        send(preset(), "store", {L(1)});
        EXPECT_EQ(kel::preset_slot(preset(), 1).resolved, c.stored);
        EXPECT_EQ(kel::preset_slot(preset(), 1).kind, std::string(c.cords).find("1 0 3") != std::string::npos ? 1 : 2);
        set_state(0, 0);
        send(preset(), "int", {L(1)});
        EXPECT_DOUBLE_EQ(kel::number_box_value(number()), c.number_after);
        EXPECT_EQ(kel::control_value(toggle()), c.toggle_after);
        freeobject(p);
    }
}

TEST_F(PresetTest, ClearAndClearall)
{
    ASSERT_NE(standard(), nullptr);
    for (long n : {1L, 2L, 3L}) send(preset(), "store", {L(n)});
    send(preset(), "clear", {L(2)});
    EXPECT_EQ(kel::preset_slot(preset(), 2).state, 0);
    EXPECT_EQ(kel::preset_slot(preset(), 3).state, 1);
    send(preset(), "clear");  // the current slot: 3
    EXPECT_EQ(kel::preset_slot(preset(), 3).state, 0);
    send(preset(), "clear", {L(4000)});
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 1);
    send(preset(), "clearall");
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 0);
    g_log.clear();
    send(preset(), "int", {L(1)});
    EXPECT_TRUE(g_log.empty());
    // A word where a slot number belongs changes nothing.
    console_capture console;
    send(preset(), "store", {S("two")});
    send(preset(), "clear", {S("two")});
    EXPECT_EQ(console.lines(), (strings{error_line("preset: bad arguments for message \"store\""),
                                        error_line("preset: bad arguments for message \"clear\"")}));
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 0);
    // A shift-click stores into a cell, a click recalls a filled one.
    send(number(), "set", {L(8)});
    kel::preset_click_slot(preset(), 5, true);
    send(number(), "set", {L(0)});
    kel::preset_click_slot(preset(), 4, false);
    EXPECT_TRUE(g_log.empty());
    kel::preset_click_slot(preset(), 5, false);
    EXPECT_EQ(logged(), strings{"slot int 5"});
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 8);
}

TEST_F(PresetTest, StoresDuringARecallAreIgnored)
{
    // The number's output reaches a message box that asks the preset to
    // store and clear while it replays slot 1.
    added = 1;
    ASSERT_NE(standard("#P message 100 100 60 196617 store 2 \\, clear 1 \\, clearall;\r\n"
                       "#P connect 4 0 0 0;\r\n"
                       "#P connect 0 0 2 0;\r\n"),
              nullptr);
    set_state(5, 1);
    send(preset(), "store", {L(1)});
    send(preset(), "int", {L(1)});
    EXPECT_EQ(kel::preset_slot(preset(), 2).state, -2) << "no slot 2 was made";
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 1);
}

TEST_F(PresetTest, ADeletedBoxIsSkipped)
{
    ASSERT_NE(standard(), nullptr);
    set_state(5, 1);
    send(preset(), "store", {L(1)});
    box *pr = preset(), *tg = toggle();
    patcher_deleteobj(p, number());
    // A new number box may well take the deleted one's memory.
    atom line[] = {L(10), L(10), L(35), L(9), L(0), L(0), L(0), L(3)};
    typedmess(p, gensym("number"), 8, line);
    box *fresh = nth(p, 0);
    send(tg, "set", {L(0)});
    console_capture console;
    send(pr, "int", {L(1)});
    EXPECT_TRUE(console.lines().empty());
    EXPECT_DOUBLE_EQ(kel::number_box_value(fresh), 0);
    EXPECT_EQ(kel::control_value(tg), 1) << "the toggle is still restored";
    EXPECT_EQ(kel::preset_slot(pr, 1).resolved, 1);
    EXPECT_EQ(saved(p).find("number int 5"), std::string::npos) << "nor is it saved";
}

TEST_F(PresetTest, SavedAndReloaded)
{
    ASSERT_NE(standard(), nullptr);
    set_state(5, 1);
    send(preset(), "store", {L(1)});
    send(preset(), "name", {S("bank")});
    const std::string text = saved(p);
    EXPECT_NE(text.find("#N vpreset 1;\r\n"
                        "#X name bank;\r\n"
                        "#X append 1 2 2 10 60 toggle int 1 \\; 3 10 10 number int 5 \\;;\r\n"
                        "#P preset 10 40 47 27;\r\n"),
              std::string::npos)
        << text;
    freeobject(p);

    // Before loadbang a recall does nothing; after it, it restores.
    loadbang_suspend();
    p = load("again.pat", text);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, -1);
    g_log.clear();
    send(preset(), "int", {L(1)});
    EXPECT_TRUE(g_log.empty());
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 0);
    loadbang_resume();
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 1);
    send(preset(), "int", {L(1)});
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 5);
    EXPECT_EQ(kel::control_value(toggle()), 1);
    EXPECT_EQ(saved(p), text) << "saved again unchanged";

    // Without embedding, the slots stay out of the file.
    send(preset(), "embed", {L(0)});
    const std::string bare = saved(p);
    EXPECT_NE(bare.find("#N vpreset 1;\r\n#X name bank;\r\n#X embed 0;\r\n#P preset 10 40 47 27;\r\n"),
              std::string::npos)
        << bare;
    freeobject(p);
    p = load("bare.pat", bare);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 0);
    EXPECT_EQ(saved(p), bare);
}

// A file shaped as real ones are: messages separated by escaped
// semicolons, a slot split across append lines in the middle of a message,
// a flonum answering for a number, a box found by its place, and a message
// for a class missing here that survives re-saving.
TEST_F(PresetTest, ResolvingLinesAsRealFilesHoldThem)
{
    const std::string file = "#N vpatcher 10 20 410 320;\r\n"
                             "#P flonum 10 10 35 9 0 0 0 3;\r\n"
                             "#P toggle 60 10 15 0;\r\n"
                             "#P newex 10 120 60 196617 gizmo;\r\n"
                             "#N vpreset 2;\r\n"
                             "#X append 1 2 3 10 10 number float 2.5 \\; 2 10 60 toggle;\r\n"
                             "#X append 1 2 int 1 \\; 7 10 60 toggle int 4 \\; 1 120 10 gizmo int 9 \\;;\r\n"
                             "#X append 2 2 9 10 10 flonum float 1.5 \\;;\r\n"
                             "#P preset 10 40 47 27;\r\n"
                             "#P pop;\r\n";
    console_capture console;
    p = load("real.pat", file);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(),
              (strings{error_line("gizmo: No such object"), error_line("no gizmo object for preset")}));
    box *pr = nth(p, 0);
    const kel::preset_slot_info one = kel::preset_slot(pr, 1);
    EXPECT_EQ(one.state, 1);
    EXPECT_EQ(one.resolved, 3) << "by number, by number, by place";
    EXPECT_EQ(one.unresolved, 1);
    EXPECT_EQ(kel::preset_slot(pr, 2).resolved, 1) << "a flonum found by its place";
    send(pr, "int", {L(1)});
    EXPECT_DOUBLE_EQ(kel::number_box_value(nth(p, 3)), 2.5);
    EXPECT_EQ(kel::control_value(nth(p, 2)), 4);
    const std::string text = saved(p);
    EXPECT_NE(text.find("1 120 10 gizmo int 9"), std::string::npos) << text;
    freeobject(p);
    console_capture again;
    p = load("resaved.pat", text);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(saved(p), text);
}

TEST_F(PresetTest, LongSlotsContinueOnFurtherLines)
{
    std::string boxes;
    for (int k = 0; k < 12; k++) boxes += "#P number " + std::to_string(10 + 40 * k) + " 10 35 9 0 0 0 3;\r\n";
    p = load("long.pat", patch(boxes + "#P preset 10 40 47 27;\r\n"));
    ASSERT_NE(p, nullptr);
    box *pr = nth(p, 0);
    for (long k = 1; k <= 12; k++) send(nth(p, k), "set", {L(k)});
    send(pr, "store", {L(1)});
    const std::string text = saved(p);
    // Each message is seven atoms: lines end at 40 or more.
    EXPECT_NE(text.find("#X append 1 2 1 10 450 number int 1 \\; 2 10 410 number int 2 \\; 3 10 370 number int 3 "
                        "\\; 4 10 330 number int 4 \\; 5 10 290 number int 5 \\; 6 10 250 number int;\r\n"
                        "#X append 1 2 6 \\; 7 10 210"),
              std::string::npos)
        << text;
    freeobject(p);
    p = load("long2.pat", text);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kel::preset_slot(nth(p, 0), 1).resolved, 12);
    send(nth(p, 0), "int", {L(1)});
    for (long k = 1; k <= 12; k++) EXPECT_DOUBLE_EQ(kel::number_box_value(nth(p, k)), k);
}

TEST_F(PresetTest, DamagedAppendLinesChangeNothing)
{
    ASSERT_NE(standard(), nullptr);
    send(preset(), "store", {L(1)});
    console_capture console;
    atom pointer;
    atom_setobj(&pointer, p);
    const std::vector<std::vector<atom>> lines = {{},
                                                  {L(1)},
                                                  {S("x"), L(2)},
                                                  {L(0), L(2), L(1)},
                                                  {L(3000), L(2)},
                                                  {L(1), L(7), L(1)},
                                                  {L(1), L(2), pointer, S("patcher"), S("int"), L(1)}};
    for (const auto &line : lines) send(preset(), "append", line);
    EXPECT_EQ(console.lines().size(), lines.size());
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 1);
    EXPECT_EQ(kel::preset_slot_count(preset()), 1);
}

TEST_F(PresetTest, FilesWrittenAndReadBack)
{
    ASSERT_NE(standard(), nullptr);
    set_state(5, 1);
    send(preset(), "store", {L(1)});
    set_state(6, 0);
    send(preset(), "store", {L(2)});
    send(preset(), "write", {S("bank.txt")});
    EXPECT_EQ(read("bank.txt").substr(0, 15), "#N vpreset 2;\r\n");
    send(preset(), "clearall");
    console_capture console;
    send(preset(), "read", {S("bank.txt")});
    EXPECT_TRUE(console.lines().empty()) << console.last();
    EXPECT_EQ(kel::preset_slot(preset(), 2).resolved, 2);
    send(preset(), "int", {L(1)});
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 5);

    // Only slot 2, then read into slot 2 alone: slot 1 stays.
    send(preset(), "write", {L(2), S("two.txt")});
    EXPECT_EQ(read("two.txt").find("#X append 1"), std::string::npos);
    send(preset(), "clear", {L(2)});
    send(preset(), "read", {L(2), S("two.txt")});
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 1);
    send(preset(), "int", {L(2)});
    EXPECT_DOUBLE_EQ(kel::number_box_value(number()), 6);

    // A preset named with a four-character type writes binary files.
    send(preset(), "name", {S("kelbank")});
    send(preset(), "write", {S("bank.bin")});
    EXPECT_EQ(read("bank.bin").substr(0, 4), std::string("\x02\x00\x00\x00", 4));
    send(preset(), "clearall");
    send(preset(), "read", {S("bank.bin")});
    EXPECT_EQ(kel::preset_slot(preset(), 1).state, 1);
}

TEST_F(PresetTest, ABadFileLeavesTheSlots)
{
    ASSERT_NE(standard(), nullptr);
    set_state(5, 1);
    send(preset(), "store", {L(1)});
    write("other.txt", "#N vpreset 2;\n#X append 1 2 3 10 10 number int 9 \\;;\nrcv hello;\n");
    write("broken.txt", "#N vpreset 2;\n#X append x;\n");
    write("headless.txt", "#X append 1 2 3 10 10 number int 9 \\;;\n");
    const struct {
        const char *name;
        const char *error;
    } cases[] = {
        {"other.txt", "other.txt: preset read failed"},
        {"broken.txt", "broken.txt: preset read failed"},
        {"headless.txt", "headless.txt: preset read failed"},
        {"missing.txt", "preset: missing.txt not found"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        send(preset(), "read", {S(c.name)});
        EXPECT_EQ(console.lines(), strings{error_line(c.error)});
        EXPECT_EQ(kel::preset_slot(preset(), 1).resolved, 2);
    }
}

// Through the left outlet: a pack stores its values, to be set again
// quietly; a send stores what the objects its name reaches hold, and the
// recall goes through the name.
TEST_F(PresetTest, PackAndSendStoreThroughTheLeftOutlet)
{
    p = load("ps.pat", patch("#P newex 10 10 60 196617 pack 1 2;\r\n"
                             "#P newex 10 40 60 196617 send bus;\r\n"
                             "#P newex 100 40 60 196617 r bus;\r\n"
                             "#P number 100 70 35 9 0 0 0 3;\r\n"
                             "#P preset 10 100 47 27;\r\n"
                             "#P newex 100 120 50 196617 probe out;\r\n"
                             "#P connect 3 0 2 0;\r\n"
                             "#P connect 1 0 5 0;\r\n"
                             "#P connect 1 0 4 0;\r\n"
                             "#P connect 2 0 0 0;\r\n"
                             "#P connect 5 0 0 0;\r\n"));
    ASSERT_NE(p, nullptr);
    object *pack = object_of(p, 5);
    box *pr = nth(p, 1), *num = nth(p, 2);
    send(reinterpret_cast<box *>(pack), "set", {L(7), L(8)});
    send(num, "set", {L(5)});
    send(pr, "store", {L(1)});
    EXPECT_EQ(kel::preset_slot(pr, 1).kind, 1);
    EXPECT_EQ(kel::preset_slot(pr, 1).resolved, 2);
    send(reinterpret_cast<box *>(pack), "set", {L(0), L(0)});
    send(num, "set", {L(0)});
    g_log.clear();
    send(pr, "int", {L(1)});
    EXPECT_EQ(logged(), strings{"out int 5"});
    typedmess(pack, gensym("bang"), 0, nullptr);
    EXPECT_EQ(logged(), (strings{"out int 5", "out list 7 8"}));
    EXPECT_NE(saved(p).find("#X append 1 1 4 40 10 send int 5 \\; 5 10 10 pack set 7 8 \\;;"), std::string::npos)
        << saved(p);
}

// Stores asked for away from the main thread wait for it, each in its
// turn: two of them store two slots.
TEST_F(PresetTest, StoresFromAnotherThreadEachWaitTheirTurn)
{
    ASSERT_NE(standard(), nullptr);
    box *pr = preset();
    std::thread other([pr] {
        for (long n : {2L, 3L}) {
            atom a = L(n);
            typedmess(pr, gensym("store"), 1, &a);
        }
        atom one = L(1);
        typedmess(pr, gensym("clear"), 1, &one);
    });
    other.join();
    EXPECT_EQ(kel::preset_slot_count(pr), 1) << "nothing is stored before the main thread runs the queue";
    send(pr, "store", {L(1)});
    kel::queue_service();
    EXPECT_EQ(kel::preset_slot(pr, 2).state, 1);
    EXPECT_EQ(kel::preset_slot(pr, 3).state, 1);
    EXPECT_EQ(kel::preset_slot(pr, 1).state, 0) << "the clear came after the store on the main thread";
}

// A left outlet that reaches into a subpatcher stores objects of that
// subpatcher: deleting one there is forgotten by the preset outside.
TEST_F(PresetTest, ABoxDeletedInASubpatcherIsForgotten)
{
    p = load("sub.pat", patch("#N vpatcher 50 50 300 300;\r\n"
                              "#P inlet 20 10 15;\r\n"
                              "#P number 20 40 35 9 0 0 0 3;\r\n"
                              "#P connect 1 0 0 0;\r\n"
                              "#P pop;\r\n"
                              "#P newobj 100 100 40 196617 p inner;\r\n"
                              "#P preset 10 40 47 27;\r\n"
                              "#P connect 0 0 1 0;\r\n"));
    ASSERT_NE(p, nullptr);
    box *pr = nth(p, 0);
    auto *inner = reinterpret_cast<patcher *>(object_of(p, 1));
    box *num = kel::patcher_box_at(inner, 0);
    send(num, "set", {L(3)});
    send(pr, "store", {L(1)});
    EXPECT_EQ(kel::preset_slot(pr, 1).resolved, 1);
    patcher_deleteobj(inner, num);
    EXPECT_EQ(kel::preset_slot(pr, 1).resolved, 0);
    atom line[] = {L(20), L(40), L(35), L(9), L(0), L(0), L(0), L(3)};
    typedmess(inner, gensym("number"), 8, line);
    send(pr, "int", {L(1)});
    EXPECT_DOUBLE_EQ(kel::number_box_value(kel::patcher_box_at(inner, 0)), 0);
}

// An object that stores itself under another class's name.
void *liar_preset(object *x)
{
    preset_store("ossl", x, gensym("number"), gensym("int"), 1L);
    // and a message no file can hold: an object as an argument
    preset_store("osso", x, gensym("liar"), gensym("peer"), x);
    return nullptr;
}

kel_class *g_liar = nullptr;

void *liar_new() { return g_liar ? object_alloc(g_liar) : nullptr; }

TEST_F(PresetTest, AMessageForAnotherClassIsRefused)
{
    if (!g_liar) {
        g_liar = class_new("liar", reinterpret_cast<kel_method>(&liar_new), nullptr, sizeof(object), nullptr, 0);
        class_addmethod(g_liar, reinterpret_cast<kel_method>(&liar_preset), "preset", 0);
        class_register(gensym("box"), g_liar);
    }
    p = load("liar.pat", patch("#P newex 10 10 40 196617 liar;\r\n"
                               "#P preset 10 40 47 27;\r\n"
                               "#P connect 0 0 1 0;\r\n"));
    ASSERT_NE(p, nullptr);
    box *pr = nth(p, 0);
    send(pr, "store", {L(1)});
    EXPECT_EQ(kel::preset_slot(pr, 1).resolved, 2);
    console_capture console;
    send(pr, "int", {L(1)});
    EXPECT_EQ(console.lines(),
              (strings{error_line("wow, wrong class"), error_line("liar: doesn't understand \"peer\"")}));
    // Saving leaves out the atom no file can hold, and says so.
    const std::string text = saved(p);
    EXPECT_NE(console.last().find("check failed: preset_save"), std::string::npos) << console.last();
    EXPECT_NE(text.find("#X append 1 1 1 10 10 number int 1 \\; 1 10 10 liar peer \\;;"), std::string::npos) << text;
}

// A preset an object box shows is never also taken by a `preset` line.
TEST_F(PresetTest, APresetInAnObjectBoxStaysThere)
{
    const char *bodies[] = {
        "#P newex 10 10 60 196617 vpreset 2;\r\n#P preset 10 40 47 27;\r\n",
        "#N vpreset 2;\r\n#P newobj 10 10 60 196617 vpreset 2;\r\n#P preset 10 40 47 27;\r\n",
    };
    for (const char *body : bodies) {
        SCOPED_TRACE(body);
        p = load("box.pat", patch(body));
        ASSERT_NE(p, nullptr);
        EXPECT_NE(object_of(p, 1), &nth(p, 0)->header);
        EXPECT_EQ(kel::preset_slot_count(nth(p, 0)), 1) << "a new preset of its own";
        freeobject(p);  // each object freed once
    }
}

}  // namespace
