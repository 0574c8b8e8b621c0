// File lookup: the order of the places searched, types and extensions, full
// and relative names, links, the standalone rule, folders by name, and the
// path cache (which must never change an answer).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/path.h"
#include "kernel/files/path.h"
#include "test_path_tree.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::id_of;
using kel::test::path_test;
using strings = std::vector<std::string>;

const long patchers[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
const long text_only[] = {FILETYPE_TEXT};
const long binary_only[] = {FILETYPE_PATCHER};

const std::string binary_patcher("\x02\x00\x00\x00\x70kel\x00", 9);

// What a lookup answered: the folder (relative to the tree), the name and
// the type; "not found" when it failed.
struct answer {
    std::string folder;
    std::string name;
    std::string type;
    bool operator==(const answer &) const = default;
};

std::ostream &operator<<(std::ostream &out, const answer &a)
{
    return out << "{" << a.folder << ", " << a.name << ", " << a.type << "}";
}

const answer not_found{"not found", "", ""};

class lookup_test : public path_test {
protected:
    std::string relative(short path) const
    {
        std::string os;
        if (!kel::path_folder_of(path, &os)) return "?";
        if (os == tree.root()) return "";
        return os.compare(0, tree.root().size() + 1, tree.root() + "/") == 0 ? os.substr(tree.root().size() + 1) : os;
    }
    static std::string type_name(long type)
    {
        std::string name(4, ' ');
        for (int i = 0; i < 4; i++) name[static_cast<size_t>(i)] = static_cast<char>(type >> (24 - 8 * i));
        return name;
    }
    answer extended(const std::string &asked, const long *types = nullptr, short count = 0)
    {
        char name[MAX_FILENAME_CHARS + MAX_PATH_CHARS];
        std::strcpy(name, asked.c_str());
        short path = 0;
        long type = 0;
        if (locatefile_extended(name, &path, &type, types, count) != 0) {
            EXPECT_EQ(name, asked) << "a failed lookup leaves the name alone";
            return not_found;
        }
        return {relative(path), name, type_name(type)};
    }
    // Search folders, in order, each with its sub-folders.
    void search(const strings &folders)
    {
        path_removefromlist(kel::path_list_search(), 1);
        for (const std::string &f : folders) ASSERT_EQ(path_build(id_of(tree, f), kel::path_list_search(), 1, 0), 0);
    }
};

// --- the order of the places searched ---

using PathLookupOrder = lookup_test;

TEST_F(PathLookupOrder, DefaultPathBeforeSearchPathAndFirstFolderFirst)
{
    tree.file("patches/x.pat");
    tree.file("one/x.pat");
    tree.file("one/sub/y.txt");
    tree.file("two/x.pat");
    tree.file("two/y.txt");
    search({"one", "two"});
    path_setdefault(id_of(tree, "patches"), 1);
    EXPECT_EQ(extended("x.pat"), (answer{"patches", "x.pat", "TEXT"}));
    path_setdefault(0, 0);
    EXPECT_EQ(extended("x.pat"), (answer{"one", "x.pat", "TEXT"}));
    EXPECT_EQ(extended("y.txt"), (answer{"one/sub", "y.txt", "TEXT"})) << "a folder's tree before the next folder";
}

TEST_F(PathLookupOrder, TheExactNameInAnyFolderBeforeAnAddedExtension)
{
    for (bool cached : {false, true}) {
        tree.file("one/foo.pat");
        tree.file("two/foo");
        tree.file("three/bar.txt");
        tree.file("four/bar.pat");
        search({"one", "two", "three", "four"});
        path_setdefault(0, 0);
        kel::path_cache_enable(cached);
        EXPECT_EQ(extended("foo", patchers, 2), (answer{"two", "foo", "TEXT"})) << cached;
        // Extensions folder by folder: three's bar.txt before four's bar.pat,
        // though .pat comes first among the extensions.
        EXPECT_EQ(extended("bar", patchers, 2), (answer{"three", "bar.txt", "TEXT"})) << cached;
        std::filesystem::remove(tree.at("two/foo"));
        EXPECT_EQ(extended("foo", patchers, 2), (answer{"one", "foo.pat", "TEXT"})) << cached;
        kel::path_cache_enable(false);
    }
}

// --- names, types and extensions ---

class PathLookupNames : public lookup_test {
protected:
    void SetUp() override
    {
        lookup_test::SetUp();
        tree.file("lib/alpha.pat");
        tree.file("lib/beta.klb", binary_patcher);
        tree.file("lib/gamma.txt");
        tree.file("lib/delta.help");
        tree.file("lib/noext");
        tree.file("lib/tune.mid", std::string("MThd\0\0\0\x06", 8));
        tree.file("lib/ext.kle", "\x7f"
                                 "ELF");
        tree.file("lib/sub/deep.txt");
        tree.file("patches/alpha.txt");
        tree.file("elsewhere/far.txt");
        search({"lib"});
        path_setdefault(id_of(tree, "patches"), 1);
    }
};

TEST_F(PathLookupNames, TableOfLookups)
{
    const struct {
        const char *asked;
        const long *types;
        short count;
        answer expected;
    } cases[] = {
        {"alpha.pat", nullptr, 0, {"lib", "alpha.pat", "TEXT"}},
        // The default path with extensions comes before the search path.
        {"alpha", patchers, 2, {"patches", "alpha.txt", "TEXT"}},
        // alpha.pat is text, not a binary patcher.
        {"alpha", binary_only, 1, not_found},
        // Extensions are tried only for a type list.
        {"alpha", nullptr, 0, not_found},
        {"beta", binary_only, 1, {"lib", "beta.klb", "kelb"}},
        {"beta.klb", text_only, 1, not_found},
        // ".help" is never appended.
        {"delta", text_only, 1, not_found},
        {"delta.help", text_only, 1, {"lib", "delta.help", "TEXT"}},
        {"noext", text_only, 1, {"lib", "noext", "TEXT"}},
        {"tune.mid", nullptr, 0, {"lib", "tune.mid", "Midi"}},
        {"ext", patchers, 2, not_found},
        {"deep.txt", nullptr, 0, {"lib/sub", "deep.txt", "TEXT"}},
        // A name with a folder part is asked of the collectives only.
        {"sub/deep.txt", nullptr, 0, not_found},
        {"lib/gamma.txt", nullptr, 0, not_found},
        {"C:\\lib\\gamma.txt", nullptr, 0, not_found},
        // Relative names are looked up from each folder.
        {"./sub/deep.txt", nullptr, 0, {"lib/sub", "deep.txt", "TEXT"}},
        {":sub:deep.txt", nullptr, 0, {"lib/sub", "deep.txt", "TEXT"}},
        {".\\sub\\deep", text_only, 1, {"lib/sub", "deep.txt", "TEXT"}},
        {"missing", patchers, 2, not_found},
        {"", nullptr, 0, not_found},
    };
    for (const auto &c : cases) EXPECT_EQ(extended(c.asked, c.types, c.count), c.expected) << c.asked;
    kel::path_cache_enable(true);
    for (const auto &c : cases) EXPECT_EQ(extended(c.asked, c.types, c.count), c.expected) << "cached: " << c.asked;
}

TEST_F(PathLookupNames, FullNamesAreLookedAtWhereTheyPoint)
{
    const std::string far = tree.at("elsewhere/far.txt");
    EXPECT_EQ(extended(far), (answer{"elsewhere", "far.txt", "TEXT"}));
    EXPECT_EQ(extended(far, binary_only, 1), not_found);
    // A full name that leads nowhere is known by its last component, which
    // only the collectives are asked for, even though lib holds gamma.txt.
    EXPECT_EQ(extended(tree.at("nowhere/gamma.txt")), not_found);
    EXPECT_EQ(extended(tree.at("lib")), not_found) << "a folder is no file";
    std::string long_name(300, 'x');
    EXPECT_EQ(extended(long_name), not_found);
}

TEST_F(PathLookupNames, LocatefileAndLocatefiletype)
{
    const struct {
        const char *asked;
        short result;
        short binary;
    } patcher_cases[] = {
        {"beta.klb", 0, 1}, {"gamma.txt", 0, 0}, {"tune.mid", 1, -1}, {"ext.kle", 1, -1}, {"beta", 1, -1},
    };
    for (const auto &c : patcher_cases) {
        char name[MAX_FILENAME_CHARS];
        std::strcpy(name, c.asked);
        short path = 0, binary = -1;
        EXPECT_EQ(locatefile(name, &path, &binary), c.result) << c.asked;
        EXPECT_EQ(binary, c.binary) << c.asked;
    }
    const struct {
        const char *asked;
        long type;
        long creator;
        short result;
    } type_cases[] = {
        {"tune.mid", 0, 0, 0},
        {"tune.mid", KEL_FOURCC('M', 'i', 'd', 'i'), KEL_FOURCC('a', 'b', 'c', 'd'), 0},
        {"tune.mid", FILETYPE_TEXT, 0, 1},
        {"ext.kle", FILETYPE_EXTERNAL, 0, 0},
    };
    for (const auto &c : type_cases) {
        char name[MAX_FILENAME_CHARS];
        std::strcpy(name, c.asked);
        short path = 0;
        EXPECT_EQ(locatefiletype(name, &path, c.type, c.creator), c.result) << c.asked;
    }
}

// --- links ---

using PathLookupLinks = lookup_test;

TEST_F(PathLookupLinks, ALinkToAFileAndALinkToAFolder)
{
    tree.file("real/target.txt");
    tree.link("lib/alias.pat", "../real/target.txt");
    tree.file("other/y.pat");
    tree.link("lib/linked", "../other");
    tree.link("lib/loop.pat", "loop.pat");
    tree.link("lib/broken.pat", "../nowhere.pat");
    search({"lib"});
    path_setdefault(0, 0);
    for (bool cached : {false, true}) {
        kel::path_cache_enable(cached);
        EXPECT_EQ(extended("alias.pat"), (answer{"real", "target.txt", "TEXT"})) << cached;
        EXPECT_EQ(extended("alias", patchers, 2), (answer{"real", "target.txt", "TEXT"})) << cached;
        EXPECT_EQ(extended("y.pat"), (answer{"other", "y.pat", "TEXT"})) << cached;
        EXPECT_EQ(extended("loop.pat"), not_found) << cached;
        EXPECT_EQ(extended("broken.pat"), not_found) << cached;
    }
}

TEST_F(PathLookupLinks, ResolveFile)
{
    tree.file("real/target.txt");
    tree.link("lib/alias.txt", "../real/target.txt");
    tree.link("lib/broken.txt", "../nowhere.txt");
    tree.file("lib/plain.txt");
    const short lib = id_of(tree, "lib");
    const struct {
        const char *name;
        short result;
        const char *resolved;
        short path;
    } cases[] = {
        {"alias.txt", 0, "target.txt", id_of(tree, "real")},
        {"plain.txt", 0, "plain.txt", lib},
        {"broken.txt", -43, "broken.txt", 0},
        {"missing.txt", -43, "missing.txt", 0},
    };
    for (const auto &c : cases) {
        char name[MAX_FILENAME_CHARS];
        std::strcpy(name, c.name);
        short path = 0;
        EXPECT_EQ(path_resolvefile(name, lib, &path), c.result) << c.name;
        EXPECT_STREQ(name, c.resolved) << c.name;
        EXPECT_EQ(path, c.path) << c.name;
    }
}

// --- a standalone application ---

using PathLookupStandalone = lookup_test;

TEST_F(PathLookupStandalone, WithoutMissingFileSearchOnlyCollectivesAreAsked)
{
    tree.file("lib/x.pat");
    search({"lib"});
    kel::path_set_standalone(true, false);
    console_capture console;
    char name[MAX_FILENAME_CHARS] = "x.pat";
    short path = 0, binary = 0;
    long type = 0;
    EXPECT_EQ(locatefile_extended(name, &path, &type, nullptr, 0), 1);
    EXPECT_EQ(locatefile(name, &path, &binary), 1);
    EXPECT_EQ(locatefiletype(name, &path, 0, 0), 1);
    std::strcpy(name, "lib/x.pat");
    EXPECT_EQ(locatefile_extended(name, &path, &type, nullptr, 0), 1) << "a folder part ends before the message";
    EXPECT_EQ(console.lines(),
              (strings{error_line("x.pat: no such file in collective"), error_line("x.pat: can't find in collective"),
                       error_line("x.pat: can't find in collective")}));

    std::strcpy(name, "x.pat");
    EXPECT_EQ(locatefilelist(name, &path, &type, nullptr, 0), 0) << "the folders only";
    kel::path_set_standalone(true, true);
    EXPECT_EQ(locatefile_extended(name, &path, &type, nullptr, 0), 0);
    EXPECT_EQ(console.lines().size(), 3u);
}

// --- folders by name ---

using PathLookupFolders = lookup_test;

TEST_F(PathLookupFolders, NameInPathAndSystemFolders)
{
    tree.folder("app/help");
    tree.folder("app/support/extras");
    tree.folder("support/help");
    tree.folder("support/stuff");
    tree.folder("more/help");
    tree.folder("more/x/deep");
    restart();
    path_build(id_of(tree, "more"), kel::path_list_search(), 1, 0);
    const struct {
        const char *name;
        const char *nameinpath;
        const char *sysnameinpath;
    } cases[] = {
        {"help", "support/help", "app/help"},  // the support tree comes first in the search path
        {"extras", "app/support/extras", "app/support/extras"},
        {"stuff", "support/stuff", "support/stuff"},
        {"deep", "more/x/deep", "more/x/deep"},
        {"nothing", "not found", "not found"},
    };
    for (const auto &c : cases) {
        short path = 0;
        EXPECT_EQ(nameinpath(c.name, &path) == 0 ? relative(path) : "not found", c.nameinpath) << c.name;
        EXPECT_EQ(path_sysnameinpath(c.name, &path) == 0 ? relative(path) : "not found", c.sysnameinpath) << c.name;
    }
    short path = 0;
    ASSERT_EQ(path_nameinpath("help", id_of(tree, "more"), &path), 0);
    EXPECT_EQ(relative(path), "more/help");
    EXPECT_EQ(path_nameinpath("deep", id_of(tree, "more"), &path), 1) << "only the folder and those directly inside";
    ASSERT_EQ(path_nameinpath("more", id_of(tree, "more"), &path), 0);
    EXPECT_EQ(relative(path), "more");
}

// --- the path cache ---

using PathLookupCache = lookup_test;

TEST_F(PathLookupCache, TheCacheFollowsTheDisk)
{
    tree.file("lib/gone.txt");
    tree.file("lib/kept.txt");
    search({"lib"});
    path_setdefault(0, 0);
    kel::path_cache_enable(true);
    std::filesystem::remove(tree.at("lib/gone.txt"));
    EXPECT_EQ(extended("gone.txt"), not_found) << "a cached file that is gone is not found";
    EXPECT_EQ(extended("gone.txt"), not_found);
    tree.file("lib/new.txt");
    EXPECT_EQ(extended("new.txt"), (answer{"lib", "new.txt", "TEXT"})) << "found in the folders after a cache miss";
    EXPECT_EQ(extended("kept.txt"), (answer{"lib", "kept.txt", "TEXT"}));

    // A new default path is cached afresh.
    tree.file("patches/p.pat");
    path_setdefault(id_of(tree, "patches"), 1);
    EXPECT_EQ(extended("p", patchers, 2), (answer{"patches", "p.pat", "TEXT"}));
}

TEST_F(PathLookupCache, TheSearchCacheIsAskedBeforeTheDefaultFolders)
{
    tree.file("lib/both.txt");
    tree.folder("patches");
    search({"lib"});
    path_setdefault(id_of(tree, "patches"), 1);
    kel::path_cache_enable(true);
    tree.file("patches/both.txt");  // after the default path was cached
    EXPECT_EQ(extended("both.txt"), (answer{"lib", "both.txt", "TEXT"}));
    kel::path_cache_enable(false);
    EXPECT_EQ(extended("both.txt"), (answer{"patches", "both.txt", "TEXT"}));
}

}  // namespace
