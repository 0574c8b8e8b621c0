// Preferences files: the lines the add functions build, reading back with
// and without built-in defaults, whole-file replacement and what a failed
// write leaves, names that would reach outside their folder, and where the
// preferences folder and its "NAME Files" folders are.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "call_log.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/files/path.h"
#include "kernel/files/preferences.h"
#include "temp_dir.h"

namespace {

using kel::test::console_capture;
using kel::test::g_log;
using kel::test::note;
using kel::test::temp_dir;
using strings = std::vector<std::string>;

struct sink {
    object header;
};

void *sink_anything(sink *, symbol *s, long argc, atom *argv)
{
    std::string text = s->name;
    for (long i = 0; i < argc; i++) text += std::string(" ") + atom_string(argv + i);
    note("%s", text.c_str());
    return nullptr;
}

kel_class *sink_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("prefsink", nullptr, nullptr, sizeof(sink), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&sink_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

std::string contents(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

strings entries(const std::string &folder)
{
    strings names;
    for (const auto &e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A fresh preferences folder (not made yet) and the application receiver's
// name bound to a sink that logs what it is sent.
class Preferences : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        folder = std::filesystem::canonical(dir.path()).string() + "/prefs";
        kel::preferences_set_folder(folder);
        receiver = static_cast<sink *>(object_alloc(sink_class()));
        kel_symbol = gensym("kel");
        previous = kel_symbol->thing;
        kel_symbol->thing = &receiver->header;
        g_log.clear();
    }
    void TearDown() override
    {
        kel_symbol->thing = previous;
        freeobject(receiver);
        kel::preferences_set_folder("");
    }
    short prefs_path()
    {
        short path = 0;
        EXPECT_EQ(preferences_path(nullptr, 0, &path), 0);
        return path;
    }
    // The text preferences_close writes for the lines add puts in a buffer.
    std::string written(const std::function<void(binbuf *)> &add)
    {
        binbuf *b = preferences_open();
        add(b);
        EXPECT_EQ(preferences_close(b, "lines.txt", prefs_path()), 0);
        return contents(folder + "/lines.txt");
    }

    temp_dir dir{"kel-prefs"};
    std::string folder;
    sink *receiver = nullptr;
    symbol *kel_symbol = nullptr;
    object *previous = nullptr;
};

TEST_F(Preferences, LinesHoldTheValuesOfTheirFormat)
{
    struct Case {
        const char *what;
        std::function<void(binbuf *)> add;
        const char *text;
    };
    const Case cases[] = {
        {"symbol and long", [](binbuf *b) { preferences_add(b, "sl", gensym("setsleep"), 9L); }, "kel setsleep 9;\r\n"},
        {"unknown letters take nothing", [](binbuf *b) { preferences_add(b, "lx-s", 3L, gensym("b")); },
         "kel 3 b;\r\n"},
        {"float", [](binbuf *b) { preferences_add(b, "sf", gensym("setslop"), 25.5); }, "kel setslop 25.5;\r\n"},
        {"option", [](binbuf *b) { preferences_addoption(b, "sl", gensym("x"), 1L); }, "kel setoption x 1;\r\n"},
        {"rectangle", [](binbuf *b) { preferences_addrect(b, gensym("setkelwindowsize"), 40, 10, -2, 600); },
         "kel setkelwindowsize 40 10 -2 600;\r\n"},
        {"raw line names its receiver",
         [](binbuf *b) { preferences_addraw(b, "ssl", gensym("#SM"), gensym("port"), 2L); }, "#SM port 2;\r\n"},
        {"lines in order",
         [](binbuf *b) {
             preferences_add(b, "s", gensym("a"));
             preferences_add(b, "s", gensym("b"));
         },
         "kel a;\r\nkel b;\r\n"},
    };
    for (const Case &c : cases) EXPECT_EQ(written(c.add), c.text) << c.what;
}

TEST_F(Preferences, ALineHoldsAtMost32Atoms)
{
    std::string text = written([](binbuf *b) {
        preferences_add(b, "llllllllllllllllllllllllllllllllllllllll", 1L, 2L, 3L, 4L, 5L, 6L, 7L, 8L, 9L, 10L, 11L,
                        12L, 13L, 14L, 15L, 16L, 17L, 18L, 19L, 20L, 21L, 22L, 23L, 24L, 25L, 26L, 27L, 28L, 29L, 30L,
                        31L, 32L, 33L, 34L, 35L, 36L, 37L, 38L, 39L, 40L);
    });
    std::string expected = "kel";
    for (int i = 1; i <= 31; i++) expected += " " + std::to_string(i);
    EXPECT_EQ(text, expected + ";\r\n");
}

TEST_F(Preferences, ReadingEvaluatesTheFileOrTheDefaults)
{
    const short path = prefs_path();
    console_capture console;

    EXPECT_EQ(preferences_read("missing.txt", path, 0), -1);
    EXPECT_EQ(g_log, "");
    EXPECT_EQ(entries(folder), strings{});

    EXPECT_EQ(preferences_read("missing.txt", path, 333), 0);
    EXPECT_EQ(g_log, "v2 | setsleep 2 | seteventinterval 2 | setslop 25 | setpollthrottle 30 | setqueuethrottle 10");

    binbuf *b = preferences_open();
    preferences_add(b, "sl", gensym("setsleep"), 4L);
    preferences_addoption(b, "ss", gensym("font"), gensym("mono"));
    ASSERT_EQ(preferences_close(b, "keloptions.txt", path), 0);
    g_log.clear();
    EXPECT_EQ(preferences_read("keloptions.txt", path, 333), 0);
    EXPECT_EQ(g_log, "setsleep 4 | setoption font mono");
    g_log.clear();
    EXPECT_EQ(preferences_read("keloptions.txt", 0, 0), 0) << "path 0 is the preferences folder";
    EXPECT_EQ(g_log, "setsleep 4 | setoption font mono");
    EXPECT_EQ(console.lines(), strings{});
}

TEST_F(Preferences, DefaultsByNumber)
{
    struct Case {
        short id;
        const char *log;
    };
    const Case cases[] = {
        {333, "v2 | setsleep 2 | seteventinterval 2 | setslop 25 | setpollthrottle 30 | setqueuethrottle 10"},
        {334, "v2 | setoption overdrive 0"},
        {0, ""},
        {335, ""},
        {-1, ""}};
    for (const Case &c : cases) {
        g_log.clear();
        preferences_default(c.id);
        EXPECT_EQ(g_log, c.log) << c.id;
    }
}

TEST_F(Preferences, WritingReplacesTheWholeFile)
{
    const short path = prefs_path();
    std::ofstream(folder + "/p.txt") << "kel old 1;\r\nkel old 2;\r\nkel old 3;\r\nkel old 4;\r\n";
    binbuf *b = preferences_open();
    preferences_add(b, "s", gensym("new"));
    ASSERT_EQ(preferences_close(b, "p.txt", path), 0);
    EXPECT_EQ(contents(folder + "/p.txt"), "kel new;\r\n");
    EXPECT_EQ(entries(folder), strings{"p.txt"}) << "no temporary file is left behind";
}

TEST_F(Preferences, AFailedWriteKeepsTheOldFile)
{
    const short path = prefs_path();
    const std::string old = "kel old 1;\r\n";
    std::ofstream(folder + "/p.txt") << old;
    // Every request the write makes fails in turn, until the write no
    // longer needs the one that fails.
    for (long nth = 1;; nth++) {
        binbuf *b = preferences_open();
        ASSERT_NE(b, nullptr);
        preferences_add(b, "sl", gensym("new"), 2L);
        kel::memory_fail_request(nth, true);
        const short result = preferences_close(b, "p.txt", path);
        kel::memory_fail_request(-1, false);
        if (result == 0) {
            EXPECT_GT(nth, 1) << "the write made no request";
            EXPECT_EQ(contents(folder + "/p.txt"), "kel new 2;\r\n");
            break;
        }
        EXPECT_EQ(contents(folder + "/p.txt"), old) << "request " << nth;
        EXPECT_EQ(entries(folder), strings{"p.txt"}) << "request " << nth;
        ASSERT_LT(nth, 100);
    }
    // A folder that is gone: the error comes back.
    short gone = 0;
    ASSERT_EQ(preferences_subpath("gone", path, 1, &gone), 0);
    std::filesystem::remove(folder + "/gone");
    binbuf *b = preferences_open();
    preferences_add(b, "s", gensym("x"));
    EXPECT_EQ(preferences_close(b, "p.txt", gone), -43);
}

TEST_F(Preferences, NamesThatLeaveTheFolderAreRefused)
{
    const short path = prefs_path();
    std::filesystem::create_directory(folder + "/inner");
    short inner = 0;
    ASSERT_EQ(preferences_subpath("inner", path, 0, &inner), 0);
    std::ofstream(folder + "/outside.txt") << "kel outside;\r\n";
    const char *names[] = {"../outside.txt", "..", ".", "a/b", "/etc/passwd", "a\\b", "a:b", "", nullptr};
    for (const char *name : names) {
        const std::string label = name ? name : "(null)";
        g_log.clear();
        EXPECT_EQ(preferences_read(name, inner, 0), -1) << label;
        EXPECT_EQ(preferences_read(name, inner, 333), -1) << label;
        EXPECT_EQ(g_log, "") << label;
        binbuf *b = preferences_open();
        preferences_add(b, "s", gensym("x"));
        EXPECT_EQ(preferences_close(b, name, inner), -1) << label;
        short out = 77;
        EXPECT_EQ(preferences_subpath(name, inner, 1, &out), -1) << label;
        EXPECT_EQ(out, 77) << label;
    }
    EXPECT_EQ(entries(folder + "/inner"), strings{});
    EXPECT_EQ(contents(folder + "/outside.txt"), "kel outside;\r\n");
}

TEST_F(Preferences, FoldersOfTheApplicationAndOfOthers)
{
    short own = 0, none = 0, empty = 0, other = 0;
    ASSERT_EQ(preferences_path("kel", 0, &own), 0);
    struct stat st;
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(preferences_path(nullptr, 0, &none), 0);
    EXPECT_EQ(preferences_path("", 5, &empty), 0);
    EXPECT_EQ(none, own);
    EXPECT_EQ(empty, own);
    const auto *record = reinterpret_cast<const short *>(gensym("__pref_resfile__")->thing);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(*record, own);

    ASSERT_EQ(preferences_path("other", 0, &other), 0);
    EXPECT_NE(other, own);
    std::string os;
    ASSERT_TRUE(kel::path_folder_of(other, &os));
    EXPECT_EQ(os, folder + "/other Files");
    EXPECT_EQ(entries(folder), strings{"other Files"});
    short again = 0;
    EXPECT_EQ(preferences_path("other", 0, &again), 0);
    EXPECT_EQ(again, other);

    short sub = 0;
    EXPECT_EQ(preferences_subpath("later", own, 0, &sub), -1);
    EXPECT_EQ(preferences_subpath("later", own, 1, &sub), 0);
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/later"));
    EXPECT_EQ(preferences_path("a/b", 0, &sub), -1);
}

TEST_F(Preferences, TheDefaultFolderFollowsTheConfigurationHome)
{
    const char *saved = std::getenv("XDG_CONFIG_HOME");
    const std::string keep = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", (dir.path() + "/config").c_str(), 1);
    kel::preferences_set_folder("");
    short path = 0;
    EXPECT_EQ(preferences_path(nullptr, 0, &path), 0);
    std::string os;
    ASSERT_TRUE(kel::path_folder_of(path, &os));
    EXPECT_EQ(os, std::filesystem::canonical(dir.path()).string() + "/config/kel");
    if (saved)
        setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
