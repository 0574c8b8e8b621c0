// Path ids, path lists, the default path, start-up, preference strings and
// the application receiver's path commands.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/classes.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kernel/core/memory.h"
#include "kernel/files/path.h"
#include "platform/files.h"
#include "test_path_tree.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::id_of;
using kel::test::list_names;
using kel::test::path_test;
using kel::test::temp_tree;
using strings = std::vector<std::string>;

// A listed folder: a space, then its full name.
std::string line(const std::string &name)
{
    std::string out(1, ' ');
    out += name;
    return out;
}

std::string full_name(short path)
{
    char name[MAX_PATH_CHARS];
    return path_topathname(path, "", name) == 0 ? std::string(name) : std::string("<none>");
}

// --- ids ---

using PathIds = path_test;

TEST_F(PathIds, OneFolderOneIdNewFoldersCountDown)
{
    tree.folder("a");
    tree.folder("b");
    tree.folder("c");
    tree.link("to-a", "a");
    const short a = id_of(tree, "a");
    const short b = id_of(tree, "b");
    ASSERT_LT(a, 0);
    EXPECT_EQ(b, a - 1) << "ids are handed out -1, -2, ... in order of first use";
    // Lookup before allocation, whatever the name the folder is reached by.
    EXPECT_EQ(id_of(tree, "a"), a);
    EXPECT_EQ(id_of(tree, "to-a"), a);
    EXPECT_EQ(kel::path_id_of_folder(tree.at("b/../a/.")), a);
    EXPECT_EQ(full_name(a), tree.at("a")) << "the id keeps the folder's canonical name";
    EXPECT_EQ(id_of(tree, "c"), b - 1) << "the next new folder, not a reused id";
    tree.file("f.txt");
    EXPECT_EQ(id_of(tree, "f.txt"), 0) << "a file is no folder";
    EXPECT_EQ(id_of(tree, "missing"), 0);
}

TEST_F(PathIds, SurviveRestartAndFollowARenamedFolder)
{
    tree.folder("old");
    const short id = id_of(tree, "old");
    restart();
    EXPECT_EQ(id_of(tree, "old"), id) << "ids are stable for the life of the process";
    std::filesystem::rename(tree.at("old"), tree.at("new"));
    EXPECT_EQ(id_of(tree, "new"), id) << "the same folder under a new name";
    EXPECT_EQ(full_name(id), tree.at("new"));
}

TEST_F(PathIds, AFolderMadeAgainIsANewFolder)
{
    tree.folder("again");
    kel::platform::file_status st;
    ASSERT_EQ(kel::platform::file_stat(tree.at("again"), &st), 0);
    if (st.identity.birth == 0) GTEST_SKIP() << "this file system keeps no birth times";
    const short first = id_of(tree, "again");
    std::filesystem::remove(tree.at("again"));
    tree.folder("again");  // may well reuse the inode
    const short second = id_of(tree, "again");
    EXPECT_NE(second, 0);
    EXPECT_NE(second, first);
}

TEST_F(PathIds, UnknownIdsAreRefused)
{
    char name[MAX_PATH_CHARS];
    for (short id : {short(0), short(5), short(0x7FFF), short(-32767)}) {
        EXPECT_EQ(path_topathname(id, "", name), -1) << id;
        EXPECT_EQ(path_openfolder(id), nullptr) << id;
    }
}

TEST_F(PathIds, TableGrowsBy512AndAFailedGrowthHandsOutNoId)
{
    const long capacity = kel::path_table_capacity();
    const long to_fill = capacity - 1 - kel::path_table_used();
    for (long i = 0; i < to_fill; i++) {
        tree.folder("fill/" + std::to_string(i));
        ASSERT_NE(id_of(tree, "fill/" + std::to_string(i)), 0) << i;
    }
    ASSERT_EQ(kel::path_table_used(), capacity - 1);
    tree.folder("one-more");

    kel::memory_fail_after(0);
    const short refused = id_of(tree, "one-more");
    kel::memory_fail_after(-1);
    EXPECT_EQ(refused, 0) << "no id when the table cannot grow";
    EXPECT_EQ(kel::path_table_capacity(), capacity);

    EXPECT_EQ(id_of(tree, "one-more"), -capacity);
    EXPECT_EQ(kel::path_table_capacity(), capacity + 512);
}

// --- lists ---

using PathLists = path_test;

TEST_F(PathLists, RecursiveBuildIsDepthFirstInNameOrder)
{
    tree.folder("r/b/d");
    tree.folder("r/a/c");
    tree.folder("r/.hidden/inner");
    tree.file("r/e.txt");
    const short root = id_of(tree, "r");
    path_list list{nullptr};
    ASSERT_EQ(path_build(root, &list, 1, 0), 0);
    EXPECT_EQ(list_names(tree, &list), (strings{"r", "r/a", "r/a/c", "r/b", "r/b/d"}));

    // Roots and parents.
    const short a = id_of(tree, "r/a"), c = id_of(tree, "r/a/c");
    for (path_node *node = list.head; node; node = node->next) {
        EXPECT_EQ(node->root, root);
        if (node->path == c) {
            EXPECT_EQ(node->parent, a);
        }
        if (node->path == root) {
            EXPECT_EQ(node->parent, 0);
        }
    }

    // Iteration by id: the first for 0, 0 after the last.
    std::vector<short> seen;
    short id = 0;
    while (path_getnext(&list, &id) == 0) seen.push_back(id);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen.front(), root);

    // Building again adds nothing.
    ASSERT_EQ(path_build(root, &list, 1, 0), 0);
    EXPECT_EQ(list_names(tree, &list).size(), 5u);
    path_removefromlist(&list, 1);
    EXPECT_EQ(list.head, nullptr);
}

TEST_F(PathLists, LinkLoopsEndAndEveryFolderAppearsOnce)
{
    tree.folder("r/a");
    tree.link("r/a/up", "..");   // back to r
    tree.link("r/a/self", ".");  // to a itself
    tree.link("r/b/l1", "l2");   // a loop of links
    tree.link("r/b/l2", "l1");
    tree.folder("outside/inner");
    tree.link("r/c", "../outside");     // out of the tree...
    tree.link("outside/back", "../r");  // ...and back in
    tree.link("outside/inner/deeper", "../../r/a");
    path_list list{nullptr};
    ASSERT_EQ(path_build(id_of(tree, "r"), &list, 1, 0), 0);
    const strings names = list_names(tree, &list);
    EXPECT_EQ(names, (strings{"r", "r/a", "r/b", "outside", "outside/inner"}));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    path_removefromlist(&list, 1);
}

TEST_F(PathLists, DeepTreesAreWalkedWithoutRecursion)
{
    std::string deep = "r";
    for (int i = 0; i < 300; i++) deep += "/d";
    tree.folder(deep);
    path_list list{nullptr};
    ASSERT_EQ(path_build(id_of(tree, "r"), &list, 1, 0), 0);
    EXPECT_EQ(list_names(tree, &list).size(), 301u);
    path_removefromlist(&list, 1);
}

TEST_F(PathLists, TheRootFolderIsNeverWalked)
{
    console_capture console;
    path_list list{nullptr};
    const short root = kel::path_id_of_folder("/");
    ASSERT_NE(root, 0);
    EXPECT_EQ(path_build(root, &list, 1, 0), -1);
    EXPECT_EQ(console.lines(), (strings{error_line("cannot build search path from root directory")}));
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(path_build(root, &list, 0, 0), 0) << "the root alone may be listed";
    path_removefromlist(&list, 1);
    EXPECT_EQ(path_build(0, &list, 1, 0), -1);
    EXPECT_EQ(path_build(root, nullptr, 0, 0), -1);
}

TEST_F(PathLists, AnUnreadableFolderEndsOnlyItsBranch)
{
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    tree.folder("r/a/hidden-inside");
    tree.folder("r/b");
    ::chmod(tree.at("r/a").c_str(), 0);
    path_list list{nullptr};
    const short built = path_build(id_of(tree, "r"), &list, 1, 0);
    ::chmod(tree.at("r/a").c_str(), 0755);
    EXPECT_EQ(built, 0);
    EXPECT_EQ(list_names(tree, &list), (strings{"r", "r/a", "r/b"}));
    path_removefromlist(&list, 1);
}

TEST_F(PathLists, PermanentNodesSurviveRemoval)
{
    tree.folder("kept/sub");
    tree.folder("passing/sub");
    path_list list{nullptr};
    ASSERT_EQ(path_addnamed(&list, tree.at("kept").c_str(), 1, 1), 0);
    ASSERT_EQ(path_build(id_of(tree, "passing"), &list, 1, 0), 0);
    path_removefromlist(&list, 0);
    EXPECT_EQ(list_names(tree, &list), (strings{"kept", "kept/sub"}));

    path_setpermanent(&list, id_of(tree, "kept"), 0);
    path_removefromlist(&list, 0);
    EXPECT_EQ(list.head, nullptr) << "clearing a root's flag clears its tree's";

    ASSERT_EQ(path_build(id_of(tree, "passing"), &list, 0, 0), 0);
    ASSERT_EQ(path_build(id_of(tree, "passing"), &list, 0, 1), 0);
    path_removefromlist(&list, 0);
    EXPECT_EQ(list_names(tree, &list), (strings{"passing"})) << "adding a folder again as permanent marks it";
    path_removefromlist(&list, 1);

    EXPECT_EQ(path_addnamed(&list, tree.at("missing").c_str(), 1, 0), -1);
    EXPECT_EQ(path_addnamed(&list, "not/a/full/name", 1, 0), -1);
}

TEST_F(PathLists, EachListIsBoundToItsSymbol)
{
    const struct {
        const char *name;
        path_list *list;
    } bindings[] = {
        {"__pathlist_search__", kel::path_list_search()},   {"__pathlist_startup__", kel::path_list_startup()},
        {"__pathlist_action__", kel::path_list_action()},   {"__pathlist_help__", kel::path_list_help()},
        {"__pathlist_default__", kel::path_list_default()},
    };
    for (const auto &b : bindings) {
        EXPECT_EQ(reinterpret_cast<path_list *>(gensym(b.name)->thing), b.list) << b.name;
        // A message sent to the name is refused: the record is no object.
        console_capture console;
        EXPECT_EQ(typedmess(gensym(b.name)->thing, gensym("bang"), 0, nullptr), nullptr);
        EXPECT_EQ(console.lines(), (strings{kel::test::check_failed_line("typedmess: bang: corrupt object")}));
    }
}

// --- start-up and the default path ---

using PathStartup = path_test;

// Neither the application folder (a build tree, or a folder of programs)
// nor the support folder is searched by itself: start-up leaves every list
// empty, the default path too, and the program fills the search path.
TEST_F(PathStartup, StartsWithEveryListEmpty)
{
    tree.folder("support/help");
    tree.folder("app/patches/more");
    ASSERT_TRUE(kel::path_init({tree.at("app"), tree.at("support"), false}));
    EXPECT_EQ(path_getapppath(), id_of(tree, "app"));
    EXPECT_EQ(path_getsupportpath(), id_of(tree, "support"));
    EXPECT_EQ(path_getdefault(), 0);
    for (path_list *list : {kel::path_list_search(), kel::path_list_default(), kel::path_list_startup(),
                            kel::path_list_action(), kel::path_list_help()})
        EXPECT_EQ(list->head, nullptr);
}

TEST_F(PathStartup, StandaloneSearchesNothingUntilAskedTo)
{
    tree.folder("app/patches");
    restart(true);
    EXPECT_EQ(kel::path_list_search()->head, nullptr);
    EXPECT_EQ(path_getsupportpath(), id_of(tree, "support"));
    kel::path_add_application_trees();
    EXPECT_EQ(list_names(tree, kel::path_list_search()), (strings{"support", "app", "app/patches"}));
}

TEST_F(PathStartup, SupportFolderIsFoundBesideOrAboveTheProgram)
{
    // An installed program: prefix/bin holds other programs and is not
    // searched; the installed data in prefix/share/kel is the support folder.
    tree.folder("prefix/bin/sub");
    tree.folder("prefix/share/kel/externals");
    ASSERT_TRUE(kel::path_init({tree.at("prefix/bin"), "", false}));
    EXPECT_EQ(path_getsupportpath(), id_of(tree, "prefix/share/kel"));
    EXPECT_EQ(kel::path_list_search()->head, nullptr);
    EXPECT_EQ(path_getdefault(), 0);
    // Its externals are in prefix/lib/kel, wherever the prefix was put.
    EXPECT_EQ(kel::path_library_folder(), tree.at("prefix/bin/../lib/kel"));

    // A folder named kel beside the program comes first, then one above it.
    tree.folder("prefix/kel");
    ASSERT_TRUE(kel::path_init({tree.at("prefix/bin"), "", false}));
    EXPECT_EQ(path_getsupportpath(), id_of(tree, "prefix/kel"));
    tree.folder("prefix/bin/kel");
    ASSERT_TRUE(kel::path_init({tree.at("prefix/bin"), "", false}));
    EXPECT_EQ(path_getsupportpath(), id_of(tree, "prefix/bin/kel"));

    EXPECT_FALSE(kel::path_init({tree.at("no-such-folder"), "", false}));
    EXPECT_EQ(path_getapppath(), 0);
}

// --- the search path the program starts with ---

// A tree with the program's folders, brought up as the program starts: the
// search path empty until path_search_start fills it.
class PathSearchStart : public path_test {
protected:
    void SetUp() override
    {
        path_test::SetUp();
        ASSERT_TRUE(kel::path_init({tree.at("app"), tree.at("support"), false}));
    }
    strings searched() const { return list_names(tree, kel::path_list_search()); }
};

TEST_F(PathSearchStart, DocumentAndWorkingFoldersAloneThenNamedUserAndLibraryTrees)
{
    for (const char *folder : {"doc/sub", "work/sub", "one/a/b", "two", "user/x", "lib/y", "app/sub", "support/z"})
        tree.folder(folder);
    kel::search_folders folders;
    folders.document = tree.at("doc");
    folders.working = tree.at("work");
    folders.named = {tree.at("one"), tree.at("two")};
    folders.user = tree.at("user");
    folders.library = tree.at("lib");
    console_capture console;
    kel::path_search_start(folders);
    EXPECT_EQ(searched(), (strings{"doc", "work", "one", "one/a", "one/a/b", "two", "user", "user/x", "lib", "lib/y"}));
    EXPECT_EQ(console.lines(), strings{});
    for (const path_node *node = kel::path_list_search()->head; node; node = node->next)
        EXPECT_EQ(node->permanent, 1) << "start-up folders are permanent";
    EXPECT_EQ(path_getdefault(), 0);
}

TEST_F(PathSearchStart, MissingAndRepeatedFolders)
{
    tree.folder("here/sub");
    tree.folder("there");
    const struct {
        const char *what;
        kel::search_folders folders;
        strings searched;
        strings console;
    } cases[] = {
        {"the document's folder is the working folder", {tree.at("here"), tree.at("here"), {}, "", ""}, {"here"}, {}},
        {"a named folder already there alone gets its sub-folders",
         {tree.at("here"), "", {tree.at("here")}, "", ""},
         {"here", "here/sub"},
         {}},
        {"a missing named folder is an error, the others are still added",
         {"", "", {tree.at("gone"), tree.at("there")}, "", ""},
         {"there"},
         {error_line(tree.at("gone") + ": no such folder")}},
        {"missing optional folders are skipped without a word",
         {tree.at("gone/doc"), tree.at("gone/work"), {}, tree.at("gone/user"), tree.at("gone/lib")},
         {},
         {}},
        {"a relative named folder is taken from the working folder",
         {"", "", {std::filesystem::relative(tree.at("there")).string()}, "", ""},
         {"there"},
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        path_removefromlist(kel::path_list_search(), 1);
        console_capture console;
        kel::path_search_start(c.folders);
        EXPECT_EQ(searched(), c.searched);
        EXPECT_EQ(console.lines(), c.console);
    }
    path_removefromlist(kel::path_list_search(), 1);
}

// Building the search path never walks a tree nobody named: a working
// folder with thousands of sub-folders costs one entry, and no path id is
// handed out for what is below it.
TEST_F(PathSearchStart, TheWorkingFolderIsNeverWalked)
{
    constexpr int count = 3000;
    for (int i = 0; i < count; i++) tree.folder("busy/" + std::to_string(i) + "/below");
    const long ids_before = kel::path_table_used();
    kel::search_folders folders;
    folders.document = tree.at("busy");
    folders.working = tree.at("busy");
    kel::path_search_start(folders);
    EXPECT_EQ(searched(), (strings{"busy"}));
    EXPECT_LE(kel::path_table_used() - ids_before, 1);
}

// A file beside the command-line document is found before one of the same
// name further down the search path; a file in a sub-folder of the working
// folder is not found by name at all.
TEST_F(PathSearchStart, LookupFollowsTheOrder)
{
    for (const char *file : {"doc/tally.txt", "named/tally.txt", "named/deep/only.txt", "work/sub/hidden.txt",
                             "user/tally.txt", "user/mine.txt", "lib/mine.txt", "lib/lib.txt"})
        tree.file(file);
    kel::search_folders folders;
    folders.document = tree.at("doc");
    folders.working = tree.at("work");
    folders.named = {tree.at("named")};
    folders.user = tree.at("user");
    folders.library = tree.at("lib");
    kel::path_search_start(folders);
    const struct {
        const char *name;
        const char *folder;  // "" when not found
    } cases[] = {
        {"tally", "doc"}, {"only", "named/deep"}, {"mine", "user"}, {"lib", "lib"}, {"hidden", ""},
    };
    const long text[] = {FILETYPE_TEXT};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char name[MAX_FILENAME_CHARS];
        std::strcpy(name, c.name);
        short path = 0;
        long type = 0;
        const short result = locatefile_extended(name, &path, &type, text, 1);
        if (!*c.folder) {
            EXPECT_NE(result, 0);
            continue;
        }
        ASSERT_EQ(result, 0);
        EXPECT_EQ(path, id_of(tree, c.folder));
    }
}

// The environment's part: KEL_PATH after the --path folders, the per-user
// folder from XDG_DATA_HOME (an absolute name) or HOME.
TEST_F(PathSearchStart, FoldersFromTheEnvironment)
{
    struct saved_variable {
        const char *name;
        bool had;
        std::string value;
        explicit saved_variable(const char *n)
            : name(n), had(std::getenv(n) != nullptr), value(had ? std::getenv(n) : "")
        {
        }
        ~saved_variable() { had ? ::setenv(name, value.c_str(), 1) : ::unsetenv(name); }
    };
    saved_variable kel_path("KEL_PATH"), data_home("XDG_DATA_HOME"), home("HOME");
    const struct {
        const char *kel_path;   // nullptr: unset
        const char *data_home;  // nullptr: unset
        strings named;
        std::string user;
    } cases[] = {
        {"/a:/b c::/d:", "/data", {"/given", "/a", "/b c", "/d"}, "/data/kel"},
        {nullptr, nullptr, {"/given"}, "/home/me/.local/share/kel"},
        {"", "", {"/given"}, "/home/me/.local/share/kel"},
        {"rel", "relative/data", {"/given", "rel"}, "/home/me/.local/share/kel"},
    };
    ::setenv("HOME", "/home/me", 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kel_path ? c.kel_path : "(unset)");
        c.kel_path ? ::setenv("KEL_PATH", c.kel_path, 1) : ::unsetenv("KEL_PATH");
        c.data_home ? ::setenv("XDG_DATA_HOME", c.data_home, 1) : ::unsetenv("XDG_DATA_HOME");
        kel::search_folders folders;
        folders.named = {"/given"};
        kel::search_folders_from_environment(&folders);
        EXPECT_EQ(folders.named, c.named);
        EXPECT_EQ(folders.user, c.user);
        EXPECT_EQ(folders.library, kel::path_library_folder());
    }
    EXPECT_NE(kel::path_library_folder().find("/lib/kel"), std::string::npos)
        << "a program outside a prefix uses the library folder of the prefix it was built for";
}

using PathDefault = path_test;

TEST_F(PathDefault, SetDefaultReplacesTheDefaultPathUnlessTheFolderIsSearched)
{
    tree.folder("patches/sub");
    tree.folder("app/lib");
    restart();
    const short patches = id_of(tree, "patches");
    path_setdefault(patches, 1);
    EXPECT_EQ(path_getdefault(), patches);
    EXPECT_EQ(list_names(tree, kel::path_list_default()), (strings{"patches", "patches/sub"}));

    path_setdefault(id_of(tree, "app/lib"), 1);
    EXPECT_EQ(path_getdefault(), patches) << "a search-path folder leaves the default path alone";

    path_setdefault(id_of(tree, "patches/sub"), 0);
    EXPECT_EQ(list_names(tree, kel::path_list_default()), (strings{"patches/sub"}));

    path_setdefault(kel::path_id_of_folder("/"), 1);
    EXPECT_EQ(list_names(tree, kel::path_list_default()), (strings{"/"})) << "the root alone, never walked";

    path_setdefault(0, 1);
    EXPECT_EQ(path_getdefault(), 0);
}

// A load makes at its start the default path it puts back at its end, so
// that putting it back needs no memory: made aside, it ends as
// path_setdefault would have made it, and putting it in use allocates
// nothing; when it cannot be made, nothing changes.
TEST_F(PathDefault, MadeAsideItIsPutInUseWithoutAllocating)
{
    tree.folder("patches/sub");
    tree.folder("app/lib");
    restart();
    const short patches = id_of(tree, "patches"), sub = id_of(tree, "patches/sub");
    const struct {
        short target;
        strings after;
    } cases[] = {
        {patches, {"patches"}},
        {id_of(tree, "app/lib"), {"patches/sub"}},  // searched: path_setdefault changes nothing
        {0, {}},
    };
    for (bool cached : {false, true}) {
        kel::path_cache_enable(cached);
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.target << (cached ? " with the cache" : ""));
            path_setdefault(patches, 1);
            kel::default_path_aside aside;
            ASSERT_TRUE(kel::path_default_prepare(c.target, &aside));
            path_setdefault(sub, 0);
            kel::memory_fail_request(0, false);
            kel::path_default_install(&aside);
            kel::memory_fail_request(-1, false);
            EXPECT_EQ(kel::memory_requests_counted(), 0);
            EXPECT_EQ(list_names(tree, kel::path_list_default()), c.after);
            EXPECT_EQ(kel::path_cache_enabled(), cached);
        }
        path_setdefault(patches, 1);
        kel::default_path_aside aside;
        kel::memory_fail_request(0, false);
        ASSERT_TRUE(kel::path_default_prepare(sub, &aside));
        kel::memory_fail_request(-1, false);
        kel::path_default_install(&aside);
        const long requests = kel::memory_requests_counted();
        for (long n = 1; n <= requests; n++) {
            SCOPED_TRACE(testing::Message() << "request " << n << (cached ? " with the cache" : ""));
            path_setdefault(patches, 1);
            kel::memory_fail_request(n, false);
            EXPECT_FALSE(kel::path_default_prepare(sub, &aside));
            kel::memory_fail_request(-1, false);
            kel::memory_set_low(false);
            kel::path_default_install(&aside);  // nothing to put in use
            EXPECT_EQ(list_names(tree, kel::path_list_default()), (strings{"patches", "patches/sub"}));
        }
    }
    kel::path_cache_enable(false);
    path_setdefault(0, 0);
}

// --- preference strings ---

using PathPreferences = path_test;

TEST_F(PathPreferences, DefaultsClampingAndGrowth)
{
    symbol *value = nullptr;
    EXPECT_EQ(path_getprefstring(0, 0, &value), 0);
    EXPECT_STREQ(value->name, "kel-startup");
    path_setprefstring(0, 0, gensym("elsewhere"));
    EXPECT_EQ(path_getprefstring(0, 0, &value), 0);
    EXPECT_STREQ(value->name, "kel-startup") << "the start-up folder's name is fixed";

    for (long type : {1L, 2L, 3L, 7L}) {
        EXPECT_EQ(path_getprefstring(type, 1, &value), 1) << type;
        EXPECT_EQ(value, gensym("")) << type;
    }

    path_setprefstring(1, 1, gensym("/first"));
    path_setprefstring(1, 20, gensym("/twentieth"));
    const struct {
        long index;
        const char *expected;
    } reads[] = {{1, "/first"}, {0, "/first"}, {-5, "/first"}, {20, "/twentieth"}, {25, "/twentieth"}, {19, ""}};
    for (const auto &r : reads) {
        ASSERT_EQ(path_getprefstring(1, r.index, &value), r.expected[0] ? 0 : 1) << r.index;
        EXPECT_STREQ(value->name, r.expected) << r.index;
    }

    path_setprefstring(2, 0, gensym("C:\\actions\\here"));
    path_getprefstring(2, 0, &value);
    EXPECT_STREQ(value->name, "C:/actions/here") << "stored in slash style";
    path_setprefstring(3, 0, nullptr);
    EXPECT_EQ(path_getprefstring(3, 0, &value), 1);

    path_setprefstring(1, 40000, gensym("/far"));
    EXPECT_EQ(path_getprefstring(1, 40000, &value), 0);
    EXPECT_STREQ(value->name, "/twentieth") << "an index past 32767 is refused, not sized for";
}

// --- the application receiver's commands ---

struct receiver {
    object header;
    std::vector<std::string> *heard;
};

void receiver_anything(receiver *x, symbol *s, long argc, atom *)
{
    x->heard->push_back(std::string(s->name) + " " + std::to_string(argc));
}

kel_class *receiver_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("path_test_receiver", nullptr, nullptr, sizeof(receiver), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&receiver_anything), "anything", ATYPE_GIMME, 0);
        return k;
    }();
    return c;
}

using PathCommands = path_test;

TEST_F(PathCommands, SetSearchPathAddsPermanentTreesAndStoresThePreference)
{
    tree.folder("more/sub");
    path_removefromlist(kel::path_list_search(), 1);
    symbol *value = nullptr;
    kel::path_setsearchpath(3, gensym(""));
    EXPECT_EQ(path_getprefstring(1, 3, &value), 1);
    EXPECT_EQ(kel::path_list_search()->head, nullptr) << "an empty folder only stores the preference";

    kel::path_setsearchpath(2, gensym(tree.at("more").c_str()));
    EXPECT_EQ(path_getprefstring(1, 2, &value), 0);
    EXPECT_EQ(value->name, tree.at("more"));
    EXPECT_EQ(list_names(tree, kel::path_list_search()), (strings{"more", "more/sub"}));
    path_removefromlist(kel::path_list_search(), 0);
    EXPECT_EQ(list_names(tree, kel::path_list_search()).size(), 2u) << "permanent entries";

    kel::path_sethelppath(gensym(tree.at("more/sub").c_str()));
    kel::path_setactionpath(gensym(tree.at("more").c_str()));
    EXPECT_EQ(list_names(tree, kel::path_list_help()), (strings{"more/sub"}));
    EXPECT_EQ(list_names(tree, kel::path_list_action()), (strings{"more", "more/sub"}));
    path_getprefstring(3, 0, &value);
    EXPECT_EQ(value->name, tree.at("more/sub"));
}

TEST_F(PathCommands, PathsPostsEveryList)
{
    tree.folder("app/kel-startup");
    tree.folder("helpful");
    tree.folder("current");
    restart();
    kel::path_sethelppath(gensym(tree.at("helpful").c_str()));
    path_setdefault(id_of(tree, "current"), 0);
    console_capture console;
    kel::path_post_lists();
    const std::string app = line(tree.at("app")), startup = line(tree.at("app/kel-startup"));
    EXPECT_EQ(console.lines(), (strings{"-- startup paths:", startup, "-- search paths:", line(tree.at("support")), app,
                                        startup, "-- help paths:", line(tree.at("helpful")),
                                        "-- action paths:", "-- current default paths:", line(tree.at("current"))}));
    path_setdefault(0, 0);

    std::filesystem::remove(tree.at("app/kel-startup"));
    restart();
    console_capture again;
    kel::path_post_lists();
    ASSERT_GE(again.lines().size(), 2u);
    EXPECT_EQ(again.lines()[1], " <no named path>");
}

TEST_F(PathCommands, PathTestAndSendAppPath)
{
    console_capture console;
    kel::path_pathtest(gensym("x.pat"), path_getapppath());
    kel::path_pathtest(gensym("x.pat"), 0);
    EXPECT_EQ(console.lines(),
              (strings{"result is 0",
                       "filename is " + tree.at("app/x.pat") + " and vol is " + std::to_string(path_getapppath()),
                       "result is -1"}));

    std::vector<std::string> heard;
    auto *x = static_cast<receiver *>(object_alloc(receiver_class()));
    x->heard = &heard;
    symbol *name = gensym("path_test_apppath_receiver");
    name->thing = &x->header;
    kel::path_sendapppath(name);
    kel::path_sendapppath(gensym("path_test_nobody"));
    name->thing = nullptr;
    freeobject(x);
    EXPECT_EQ(heard, (strings{tree.at("app") + " 0"}));
}

TEST_F(PathCommands, EnablePathCacheTurnsBothCachesOnAndOff)
{
    EXPECT_FALSE(kel::path_cache_enabled());
    kel::path_cache_enable(true);
    EXPECT_TRUE(kel::path_cache_enabled());
    kel::path_cache_enable(true);
    EXPECT_TRUE(kel::path_cache_enabled());
    kel::path_cache_enable(false);
    EXPECT_FALSE(kel::path_cache_enabled());
}

}  // namespace
