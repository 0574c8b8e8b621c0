// Loadbang, closebang and freebang: the order of delivery (subpatchers
// first, siblings in file order), once per patcher per delivery,
// suspending, abstractions inside a load, and the three classes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/core/memory.h"
#include "kernel/core/settings.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::patch;
using kel::test::PatcherTest;
using strings = std::vector<std::string>;

// A subpatcher whose loadbang prints its label; inner text goes inside it.
std::string sub(const std::string &label, const std::string &inner = "")
{
    return "#N vpatcher 0 0 100 100;\r\n" + inner +
           "#P newex 10 10 50 196617 loadbang;\r\n"
           "#P newex 10 50 50 196617 print " +
           label +
           ";\r\n"
           "#P connect 1 0 0 0;\r\n"
           "#P pop;\r\n"
           "#P newobj 10 10 50 196617 p " +
           label + ";\r\n";
}

std::string own(const std::string &label)
{
    return "#P newex 200 10 50 196617 loadbang;\r\n#P newex 200 50 50 196617 print " + label +
           ";\r\n#P connect 1 0 0 0;\r\n";
}

TEST_F(PatcherTest, LoadbangReachesSubpatchersFirstThenSiblingsInFileOrder)
{
    console_capture console;
    patcher *p = load("l.pat", patch(own("top") + sub("one", sub("one-inner")) + sub("two")));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(), (strings{"one-inner: bang", "one: bang", "two: bang", "top: bang"}));
}

TEST_F(PatcherTest, LoadbangSentAgainReachesEveryPatcherOnce)
{
    patcher *p = load("a.pat", patch(own("top") + sub("one", sub("inner")) + sub("two")));
    ASSERT_NE(p, nullptr);
    console_capture console;
    typedmess(p, gensym("loadbang"), 0, nullptr);
    // Boxes are walked newest first; each subpatcher is served through its
    // box, when the walk reaches it ("one" made its inner box first).
    EXPECT_EQ(console.lines(), (strings{"two: bang", "one: bang", "inner: bang", "top: bang"}));
    console_capture again;
    typedmess(p, gensym("loadbang"), 0, nullptr);
    EXPECT_EQ(again.lines().size(), 4u) << "a later loadbang is a new delivery";
}

TEST_F(PatcherTest, SuspendedLoadbangFiresAtResume)
{
    loadbang_suspend();
    console_capture console;
    patcher *p = load("s.pat", patch(own("top") + sub("one")));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(console.lines().empty());
    loadbang_resume();
    EXPECT_EQ(console.lines(), (strings{"one: bang", "top: bang"}));
    console_capture again;
    loadbang_resume();
    EXPECT_TRUE(again.lines().empty()) << "resuming twice delivers nothing more";
}

TEST_F(PatcherTest, APatcherFreedBeforeItsLoadbangIsSkipped)
{
    loadbang_suspend();
    patcher *gone = load("g.pat", patch(own("gone")));
    patcher *kept = load("k.pat", patch(own("kept")));
    ASSERT_NE(gone, nullptr);
    ASSERT_NE(kept, nullptr);
    freeobject(gone);
    console_capture console;
    loadbang_resume();
    EXPECT_EQ(console.lines(), strings{"kept: bang"});
}

TEST_F(PatcherTest, AnAbstractionsLoadbangWaitsForTheOuterLoad)
{
    // The abstraction sends its loadbang out of its outlet box, into a box
    // the outer file makes after it: that cord exists only once the whole
    // file has loaded.
    write("lbabs.pat", patch("#P newex 10 10 50 196617 loadbang;\r\n"
                             "#P outlet 10 50 15;\r\n"
                             "#P connect 1 0 0 0;\r\n"));
    console_capture console;
    patcher *p = load("outer.pat", patch("#P newex 10 10 50 196617 lbabs;\r\n"
                                         "#P newex 10 50 50 196617 print reached;\r\n"
                                         "#P connect 1 0 0 0;\r\n" +
                                         own("outer")));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(), (strings{"reached: bang", "outer: bang"}));
}

TEST_F(PatcherTest, ClosebangAndFreebangWhenAPatcherGoes)
{
    patcher *p = load("c.pat", patch("#P newex 10 10 50 196617 closebang;\r\n"
                                     "#P newex 10 50 50 196617 print closed;\r\n"
                                     "#P connect 1 0 0 0;\r\n"
                                     "#P newex 100 10 50 196617 freebang;\r\n"
                                     "#P newex 100 50 50 196617 print freed;\r\n"
                                     "#P connect 1 0 0 0;\r\n"
                                     "#N vpatcher 0 0 100 100;\r\n"
                                     "#P newex 100 10 50 196617 freebang;\r\n"
                                     "#P newex 100 50 50 196617 print inner-freed;\r\n"
                                     "#P connect 1 0 0 0;\r\n"
                                     "#P pop;\r\n"
                                     "#P newobj 10 90 50 196617 p;\r\n"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kel::object_inlet_count(object_of(p, 4)), 0) << "closebang has no inlet";
    EXPECT_EQ(kel::object_inlet_count(object_of(p, 2)), 0) << "freebang has no inlet";
    console_capture shown;
    typedmess(p, gensym("front"), 0, nullptr);
    typedmess(p, gensym("invis"), 0, nullptr);
    typedmess(p, gensym("invis"), 0, nullptr);
    EXPECT_EQ(shown.lines(), strings{"closed: bang"}) << "hiding a shown window closes it, once";
    console_capture console;
    freeobject(p);
    EXPECT_EQ(console.lines(), (strings{"inner-freed: bang", "freed: bang", "closed: bang"}));

    patcher *quiet = load("q.pat", patch("#P newex 10 10 50 196617 closebang;\r\n"
                                         "#P newex 10 50 50 196617 print closed;\r\n"
                                         "#P connect 1 0 0 0;\r\n"));
    ASSERT_NE(quiet, nullptr);
    quiet->skip_closebang = true;
    console_capture none;
    freeobject(quiet);
    EXPECT_TRUE(none.lines().empty());
}

// Freeing a patcher delivers its freebangs even when memory runs out on
// the way (the walk over the boxes makes a list of them first).
TEST_F(PatcherTest, FreebangIsHeardWhateverAllocationFails)
{
    write("f.pat", patch("#P newex 100 10 50 196617 freebang;\r\n"
                         "#P newex 100 50 50 196617 print freed;\r\n"
                         "#P connect 1 0 0 0;\r\n"
                         "#N vpatcher 0 0 100 100;\r\n"
                         "#P newex 100 10 50 196617 freebang;\r\n"
                         "#P newex 100 50 50 196617 print inner-freed;\r\n"
                         "#P connect 1 0 0 0;\r\n"
                         "#P pop;\r\n"
                         "#P newobj 10 90 50 196617 p;\r\n"));
    auto *p = static_cast<patcher *>(fileload("f.pat", path));
    ASSERT_NE(p, nullptr);
    kel::memory_fail_request(0, false);
    freeobject(p);
    kel::memory_fail_request(-1, false);
    const long requests = kel::memory_requests_counted();
    EXPECT_GT(requests, 0);
    for (bool and_later : {false, true}) {
        for (long n = 1; n <= requests; n++) {
            SCOPED_TRACE(testing::Message() << "request " << n << (and_later ? " and later" : " alone"));
            p = static_cast<patcher *>(fileload("f.pat", path));
            ASSERT_NE(p, nullptr);
            console_capture console;
            kel::memory_fail_request(n, and_later);
            freeobject(p);
            kel::memory_fail_request(-1, false);
            kel::memory_set_low(false);
            EXPECT_EQ(console.lines(), (strings{"inner-freed: bang", "freed: bang"}));
        }
    }
}

TEST_F(PatcherTest, VerboseLoadingTellsWhatLoadbangDoes)
{
    kel::g_verbose = true;
    console_capture console;
    patcher *p = load("v.pat", patch(own("top") + sub("one")));
    kel::g_verbose = false;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(), (strings{"loadbang_clearqueue", "loadbang_dequeue...", "loadbanging one", "one: bang",
                                        "loadbanging v.pat", "top: bang"}));
}

TEST_F(PatcherTest, TheBangClassesAnswerTheirMessages)
{
    patcher *p = load("b.pat", patch(own("lb")));
    ASSERT_NE(p, nullptr);
    object *lb = object_of(p, 1);
    console_capture console;
    typedmess(lb, gensym("bang"), 0, nullptr);
    object_method(lb, gensym("dblclick"));
    object_method(lb, gensym("loadbang"));
    EXPECT_EQ(console.lines(), strings(3, "lb: bang"));
    noloadbangdisable_set(1);
    EXPECT_EQ(noloadbangdisable_get(), 1);
    noloadbangdisable_set(0);
    EXPECT_EQ(noloadbangdisable_get(), 0);
    EXPECT_NE(class_findbyname(gensym("box"), gensym("loadbang")), nullptr) << "made in boxes by name";
}

}  // namespace
