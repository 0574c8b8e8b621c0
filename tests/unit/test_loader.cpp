// Loading external libraries that must be refused: each refusal says why,
// in words a user can act on, and none of them takes the program down.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/objects.h"
#include "kernel/create/creation.h"

#include <unistd.h>

namespace {

using kel::test::console_capture;
using kel::test::error_line;

namespace fs = std::filesystem;

// A folder on the search path holding the libraries of one test.
class Loader : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder_ = fs::temp_directory_path() / ("kel-loader-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
        auto *search = reinterpret_cast<path_list *>(gensym("__pathlist_search__")->thing);
        ASSERT_NE(search, nullptr);
        path_addnamed(search, KEL_TEST_EXTERNALS_DIR, 0, 0);
        path_addnamed(search, folder_.c_str(), 0, 0);
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    static void write(const std::string &name, const std::string &bytes)
    {
        std::ofstream(folder_ / name, std::ios::binary) << bytes;
    }
    static std::string contents(const fs::path &file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void *make(const char *name)
    {
        kel::g_newest_object = nullptr;
        return typedmess(kel::creation_object(), gensym(name), 0, nullptr);
    }
    static inline fs::path folder_;
};

TEST_F(Loader, FilesThatAreNoLibraryOfOursSayWhat)
{
    const std::string tally = contents(fs::path(KEL_EXAMPLE_EXTERNALS_DIR) / "tally.kle");
    ASSERT_GT(tally.size(), 4096u);
    write("plaintext.kle", "not a library\n");
    write("aprogram.kle", contents("/bin/true"));
    write("cutshort.kle", tally.substr(0, tally.size() / 2));
    struct {
        const char *name;
        std::string says;
    } cases[] = {
        {"plaintext", "plaintext: not a code library (the file does not begin like one)"},
        {"aprogram", "aprogram: a program, not a code library"},
        {"cutshort", "cutshort: the file is cut short (" + std::to_string(tally.size() / 2) + " bytes of "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        EXPECT_EQ(make(c.name), nullptr);
        ASSERT_FALSE(console.lines().empty());
        EXPECT_EQ(console.lines()[0].rfind(error_line("Error -1 loading external " + c.says), 0), 0u)
            << console.lines()[0];
    }
}

TEST_F(Loader, TheSystemLoadersReasonIsShown)
{
    console_capture console;
    EXPECT_EQ(make("unresolved"), nullptr);
    ASSERT_FALSE(console.lines().empty());
    const std::string line = console.lines()[0];
    EXPECT_EQ(line.rfind(error_line("Error "), 0), 0u) << line;
    EXPECT_NE(line.find("loading external unresolved: "), std::string::npos) << line;
    EXPECT_NE(line.find("kel_test_function_nobody_defines"), std::string::npos) << line;
}

TEST_F(Loader, AHiddenMainIsNamedAsTheLikelyCause)
{
    console_capture console;
    EXPECT_EQ(make("hiddenmain"), nullptr);
    std::vector<std::string> lines = console.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], error_line("invalid external hiddenmain, undefined main"));
    EXPECT_NE(lines[1].find("hiddenmain: main is in the library but not exported"), std::string::npos) << lines[1];
}

TEST_F(Loader, AMainThatMakesNoClassIsReported)
{
    console_capture console;
    EXPECT_EQ(make("noclass"), nullptr);
    std::vector<std::string> lines = console.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "noclass: main ran");
    EXPECT_EQ(lines[1], error_line("noclass: the library's main made no class"));
}

}  // namespace
