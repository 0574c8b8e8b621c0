// Loading patcher files when memory runs out: with any one of a load's
// allocation requests failing (or that one and every later one), the load
// gives the whole patch or nothing and a reason, and leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kernel/core/memory.h"
#include "kernel/create/creation.h"
#include "memory_pressure.h"
#include "test_patcher_rig.h"

namespace {

using kel::test::console_capture;
using kel::test::PatcherTest;
using strings = std::vector<std::string>;

// A patch with every common kind of line: a comment, message boxes (one
// that sends by name), a trigger, two abstractions (one loading another
// inside itself, with $0 names of its own), a subpatcher with an inlet and
// an outlet, a thispatcher with its saved lines, a box name and a script
// message, an unknown object keeping its data lines, and cords. Its
// loadbang prints through all of them.
const char relay_patch[] = "#N vpatcher 40 94 440 394;\r\n"
                           "#P newex 20 20 80 196617 r $1;\r\n"
                           "#P newex 60 40 80 196617 t i i;\r\n"
                           "#P newex 100 60 80 196617 + 100;\r\n"
                           "#P newex 140 80 80 196617 s $2;\r\n"
                           "#P newex 180 100 80 196617 s $0-loc;\r\n"
                           "#P newex 220 120 80 196617 r $0-loc;\r\n"
                           "#P newex 260 140 80 196617 print $1;\r\n"
                           "#P connect 6 0 5 0;\r\n"
                           "#P connect 5 1 2 0;\r\n"
                           "#P connect 5 0 4 0;\r\n"
                           "#P connect 4 0 3 0;\r\n"
                           "#P connect 1 0 0 0;\r\n"
                           "#P pop;\r\n";

const char pair_patch[] = "#N vpatcher 10 59 410 359;\r\n"
                          "#P newex 20 20 60 196617 loadbang;\r\n"
                          "#P message 20 50 60 196617 arg $1;\r\n"
                          "#P newex 20 80 90 196617 s $0-chan;\r\n"
                          "#P newex 150 20 90 196617 r $0-chan;\r\n"
                          "#P newex 150 50 60 196617 print $1;\r\n"
                          "#P newex 150 80 90 196617 relay $2 $3;\r\n"
                          "#P connect 5 0 4 0;\r\n"
                          "#P connect 4 0 3 0;\r\n"
                          "#P connect 2 0 1 0;\r\n"
                          "#P pop;\r\n";

const char main_patch[] = "#N vpatcher 20 74 820 674;\r\n"
                          "#P window setfont Geneva 9.;\r\n"
                          "#P comment 20 4 300 196617 every common kind of box;\r\n"
                          "#P newex 20 20 80 196617 loadbang;\r\n"
                          "#P newex 60 40 80 196617 t b b b;\r\n"
                          "#P message 100 60 80 196617 1;\r\n"
                          "#P message 140 80 80 196617 \\; a 2;\r\n"
                          "#P newex 180 100 80 196617 s a;\r\n"
                          "#P newex 20 140 80 196617 pair 5 a b;\r\n"
                          "#P newex 20 160 80 196617 relay b c;\r\n"
                          "#P newex 20 180 80 196617 r c;\r\n"
                          "#N vpatcher 50 50 450 350;\r\n"
                          "#P inlet 50 20 15;\r\n"
                          "#P newex 50 60 40 196617 + 1000;\r\n"
                          "#P outlet 50 150 15;\r\n"
                          "#P connect 2 0 1 0;\r\n"
                          "#P connect 1 0 0 0;\r\n"
                          "#P pop;\r\n"
                          "#P newobj 20 200 100 196617 p inner;\r\n"
                          "#P newex 20 220 60 196617 print out;\r\n"
                          "#N thispatcher;\r\n"
                          "#Q window size 20 74 820 674;\r\n"
                          "#Q end;\r\n"
                          "#P newobj 20 240 70 196617 thispatcher;\r\n"
                          "#P objectname tp;\r\n"
                          "#P message 300 20 200 196617 script send amp 7;\r\n"
                          "#P newex 300 60 40 196617 + 10;\r\n"
                          "#P objectname amp;\r\n"
                          "#P newex 300 100 60 196617 print amp;\r\n"
                          "#N mystery 1 2;\r\n"
                          "#X set kept;\r\n"
                          "#P newobj 400 200 80 196617 mystery 1 2;\r\n"
                          "#P connect 14 0 13 0;\r\n"
                          "#P connect 13 2 3 0;\r\n"
                          "#P connect 3 0 4 0;\r\n"
                          "#P connect 13 1 11 0;\r\n"
                          "#P connect 13 0 12 0;\r\n"
                          "#P connect 12 0 10 0;\r\n"
                          "#P connect 7 0 6 0;\r\n"
                          "#P connect 6 0 5 0;\r\n"
                          "#P connect 2 0 1 0;\r\n"
                          "#P pop;\r\n";

// What a load may leave behind: pool blocks and live patchers.
struct footprint {
    kel::test::pool_footprint pool;
    long patchers;

    static footprint now() { return {kel::test::pool_footprint::now(), kel::patcher_live_count()}; }
    bool operator==(const footprint &) const = default;
};

std::ostream &operator<<(std::ostream &out, const footprint &f)
{
    return out << f.pool << ", " << f.patchers << " patchers";
}

bool is_error(const std::string &line) { return line.rfind("\xA5 error: ", 0) == 0; }

class PatcherLoadTest : public PatcherTest {
protected:
    // The load's outcome: the patcher's saved text ("" when none) and the
    // console's lines; the patcher is freed.
    struct outcome {
        std::string text;
        strings console;
        bool loaded;
    };
    outcome load_main()
    {
        console_capture console;
        auto *p = static_cast<patcher *>(fileload("main.pat", path));
        kel::memory_fail_request(-1, false);
        outcome o{p ? saved(p) : std::string(), console.lines(), p != nullptr};
        if (p) freeobject(p);
        kel::memory_set_low(false);
        return o;
    }
};

TEST_F(PatcherLoadTest, AnyAllocationFailingGivesTheWholePatchOrNothingAndLeavesNothingBehind)
{
    write("relay.pat", relay_patch);
    write("pair.pat", pair_patch);
    write("main.pat", main_patch);
    const kel::binding_symbols &b = kel::bindings();
    // A default path of its own, as the program has one, which each load
    // sets to the file's folder and must put back.
    std::filesystem::create_directory(root + "/elsewhere");
    const short elsewhere = kel::path_id_of_folder(root + "/elsewhere");
    ASSERT_NE(elsewhere, 0);
    struct default_path_kept {
        short before = path_getdefault();
        ~default_path_kept() { path_setdefault(before, 0); }
    } kept;
    path_setdefault(elsewhere, 0);

    load_main();  // classes made on first use, file lookups remembered
    const footprint clean_before = footprint::now();
    kel::memory_fail_request(0, false);
    const outcome clean = load_main();
    const long requests = kel::memory_requests_counted();
    ASSERT_TRUE(clean.loaded);
    ASSERT_EQ(footprint::now(), clean_before);
    const strings expected_console{kel::test::error_line("mystery: No such object"),
                                   "5: arg 5",
                                   "amp: 17",
                                   "a: 2",
                                   "b: 102",
                                   "out: 1202",
                                   "a: 1",
                                   "b: 101",
                                   "out: 1201"};
    ASSERT_EQ(clean.console, expected_console);
    ASSERT_GT(requests, 100);  // the lookups of the names make most: it depends on the search path

    // Only the nth request fails: what the load can do without it, it does.
    // The nth and every later one: a load cut short at every point. Either
    // way nothing is left behind and every binding is as it was.
    for (bool and_later : {false, true}) {
        for (long n = 1; n <= requests; n++) {
            SCOPED_TRACE(testing::Message() << "request " << n << " of " << requests
                                            << (and_later ? " and every later one" : " alone") << " fails");
            const footprint before = footprint::now();
            kel::memory_fail_request(n, and_later);
            const outcome o = load_main();
            EXPECT_EQ(footprint::now(), before) << "the load left something behind";
            EXPECT_EQ(path_getdefault(), elsewhere);
            EXPECT_EQ(b.N->thing, kel::creation_object());
            EXPECT_EQ(b.P->thing, nullptr);
            EXPECT_EQ(b.X->thing, nullptr);
            EXPECT_FALSE(kel::patcher_loading());
            EXPECT_EQ(kel::loadbang_queue_size(), 0);
            // The whole patch, exactly as a clean load gives it, or nothing
            // and a word why.
            if (o.loaded) {
                EXPECT_EQ(o.text, clean.text);
                EXPECT_EQ(o.console, clean.console);
            } else {
                EXPECT_TRUE(std::any_of(o.console.begin(), o.console.end(), [&](const std::string &line) {
                    return is_error(line) && line != expected_console[0];
                })) << testing::PrintToString(o.console);
            }
            if (HasFailure()) break;
        }
        if (HasFailure()) break;
    }
}

// A document that would make more boxes than a load may (abstractions'
// boxes counted with its own) is refused with one line, and nothing of it
// stays; at the limit it loads.
TEST_F(PatcherLoadTest, MoreBoxesThanALoadMayMakeRefusesTheDocument)
{
    write("relay.pat", relay_patch);
    write("pair.pat", pair_patch);
    write("main.pat", main_patch);
    load_main();  // classes made on first use
    kel::building_state &bs = kel::building();
    struct limit_kept {
        long before = kel::building().load_boxes_max;
        ~limit_kept() { kel::building().load_boxes_max = before; }
    } kept;

    bs.load_boxes_max = 1000;
    ASSERT_TRUE(load_main().loaded);
    const long boxes = bs.load_boxes;  // what the whole document makes
    ASSERT_GT(boxes, 30);              // its own and its abstractions'

    bs.load_boxes_max = boxes;
    EXPECT_TRUE(load_main().loaded);

    bs.load_boxes_max = boxes - 1;
    const footprint before = footprint::now();
    const outcome refused = load_main();
    EXPECT_FALSE(refused.loaded);
    // The last box is the unknown object's, reported as it is made.
    EXPECT_EQ(refused.console,
              (strings{kel::test::error_line("mystery: No such object"),
                       kel::test::error_line("main.pat: more than " + std::to_string(boxes - 1) + " boxes")}));
    EXPECT_EQ(footprint::now(), before);
    EXPECT_EQ(kel::loadbang_queue_size(), 0);
}

}  // namespace
