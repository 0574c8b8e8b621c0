// Path names: the three separator styles and path_nameconform's forms, and
// the conversions between full names, (folder, file) pairs and
// file references, with Mac Roman names at the system's UTF-8 edge.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/path.h"
#include "kel/sysfile.h"
#include "kernel/files/path.h"
#include "test_path_tree.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::id_of;
using kel::test::path_test;

constexpr const char *failed = "<-1>";

// {app} and {sup} in a text become the full names of the application and
// support folders.
std::string expand(std::string text, const std::string &app, const std::string &sup)
{
    for (const auto &[key, value] : {std::pair<std::string, std::string>{"{app}", app}, {"{sup}", sup}})
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    return text;
}

std::string conformed(const std::string &source, long style, long type)
{
    char out[MAX_PATH_CHARS];
    return path_nameconform(source.c_str(), out, style, type) == 0 ? std::string(out) : std::string(failed);
}

using PathNames = path_test;

TEST_F(PathNames, ConformKeepingTheForm)
{
    const struct {
        const char *source;
        long style;
        const char *expected;
    } cases[] = {
        {"./a/b", PATH_STYLE_BACKSLASH, ".\\a\\b"},
        {"./a/b", PATH_STYLE_COLON, ":a:b"},
        {"./a/b", PATH_STYLE_SLASH, "./a/b"},
        {":a:b", PATH_STYLE_SLASH, "./a/b"},
        {".\\a\\b", PATH_STYLE_COLON, ":a:b"},
        {"/a/b", PATH_STYLE_COLON, "^:a:b"},
        {"/a/b", PATH_STYLE_BACKSLASH, "\\a\\b"},
        {"^:a:b", PATH_STYLE_SLASH, "/a/b"},
        {"\\a\\b", PATH_STYLE_SLASH, "/a/b"},
        {"C:/a/b", PATH_STYLE_COLON, "C:a:b"},
        {"C:/a/b", PATH_STYLE_BACKSLASH, "C:\\a\\b"},
        {"C:\\a\\b", PATH_STYLE_SLASH, "C:/a/b"},
        {"HD:a:b", PATH_STYLE_SLASH, "HD:/a/b"},
        {"VND:/x/y", PATH_STYLE_COLON, "VND:x:y"},
        {"vND:x", PATH_STYLE_SLASH, "vND:/x"},
        {"a/b\\c:d", PATH_STYLE_BACKSLASH, "a\\b\\c\\d"},  // plain: every separator is converted
        {"name", PATH_STYLE_COLON, "name"},
        {"./a/b", PATH_STYLE_NATIVE, "./a/b"},  // native is slash here
        {"./a/b", 99, "./a/b"},
        {"", PATH_STYLE_SLASH, ""},
    };
    for (const auto &c : cases) EXPECT_EQ(conformed(c.source, c.style, PATH_TYPE_KEEP), c.expected) << c.source;
}

TEST_F(PathNames, ConformChangingTheForm)
{
    tree.folder("app2");
    const std::string app = tree.at("app"), sup = tree.at("support");
    const struct {
        const char *source;
        long style;
        long type;
        const char *expected;
    } cases[] = {
        {"./a/b", PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE, "{app}/a/b"},
        {":a:b", PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE, "{app}/a/b"},
        {"/a/b", PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE, "/a/b"},
        {"VND:/help/x", PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE, "{sup}/help/x"},
        {"C:/a", PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE, "C:/a"},  // already absolute, on another volume
        {"a/b", PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE, "a/b"},
        {"{app}/x/y", PATH_STYLE_SLASH, PATH_TYPE_RELATIVE, "./x/y"},
        {"{app}/x/y", PATH_STYLE_BACKSLASH, PATH_TYPE_RELATIVE, ".\\x\\y"},
        {"{app}", PATH_STYLE_SLASH, PATH_TYPE_RELATIVE, "./"},
        {"{app}2/x", PATH_STYLE_SLASH, PATH_TYPE_RELATIVE, failed},
        {"/elsewhere/x", PATH_STYLE_SLASH, PATH_TYPE_RELATIVE, failed},
        {"./x", PATH_STYLE_COLON, PATH_TYPE_RELATIVE, ":x"},
        {"C:/x", PATH_STYLE_SLASH, PATH_TYPE_RELATIVE, failed},
        {"VND:/x", PATH_STYLE_SLASH, PATH_TYPE_RELATIVE, failed},
        {"a/b", PATH_STYLE_SLASH, PATH_TYPE_RELATIVE, failed},
        {"./x", PATH_STYLE_SLASH, PATH_TYPE_ROOT, "{app}/x"},
        {"/a", PATH_STYLE_COLON, PATH_TYPE_ROOT, "^:a"},
        {"C:/x", PATH_STYLE_SLASH, PATH_TYPE_ROOT, failed},
        {"VND:/x", PATH_STYLE_SLASH, PATH_TYPE_ROOT, "{sup}/x"},
        {"{sup}/help/x", PATH_STYLE_SLASH, PATH_TYPE_SUPPORT, "VND:/help/x"},
        {"{sup}/help/x", PATH_STYLE_COLON, PATH_TYPE_SUPPORT, "VND:help:x"},
        {"VND:/x", PATH_STYLE_BACKSLASH, PATH_TYPE_SUPPORT, "VND:\\x"},
        {"/elsewhere", PATH_STYLE_SLASH, PATH_TYPE_SUPPORT, failed},
        {"./x", PATH_STYLE_SLASH, PATH_TYPE_SUPPORT, failed},
    };
    for (const auto &c : cases)
        EXPECT_EQ(conformed(expand(c.source, app, sup), c.style, c.type), expand(c.expected, app, sup))
            << c.source << " style " << c.style << " type " << c.type;

    // Without a support folder the VND volume leads nowhere.
    ASSERT_TRUE(kel::path_init({tree.at("app"), tree.at("no-support"), false}));
    EXPECT_EQ(path_getsupportpath(), 0);
    EXPECT_EQ(conformed("VND:/x", PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE), failed);
    EXPECT_EQ(conformed("VND:/x", PATH_STYLE_SLASH, PATH_TYPE_KEEP), "VND:/x");
}

TEST_F(PathNames, ConformRefusesWhatItCannotHold)
{
    char out[MAX_PATH_CHARS];
    EXPECT_EQ(path_nameconform(nullptr, out, 3, 0), -1);
    EXPECT_EQ(path_nameconform("a", nullptr, 3, 0), -1);
    const std::string long_relative = "./" + std::string(MAX_PATH_CHARS - 10, 'x');
    EXPECT_EQ(path_nameconform(long_relative.c_str(), out, 3, PATH_TYPE_KEEP), 0);
    EXPECT_EQ(path_nameconform(long_relative.c_str(), out, 3, PATH_TYPE_ABSOLUTE), -1) << "too long with the folder";
    const std::string unterminated_length(MAX_PATH_CHARS, 'y');
    EXPECT_EQ(path_nameconform(unterminated_length.c_str(), out, 3, 0), -1);

    char both[MAX_PATH_CHARS] = "C:\\in\\place";
    ASSERT_EQ(path_nameconform(both, both, PATH_STYLE_COLON, PATH_TYPE_KEEP), 0);
    EXPECT_STREQ(both, "C:in:place");
}

TEST_F(PathNames, RelativeNamesAndSeparators)
{
    const struct {
        const char *name;
        short relative;
        char separator;
    } cases[] = {
        {":a", 1, ':'},   {"./a", 1, '/'},    {".\\a", 1, '\\'}, {"../a", 0, '/'}, {"/a:b", 0, '/'},
        {"a", 0, ':'},    {".", 0, ':'},      {"", 0, ':'},      {":", 1, ':'},    {"a:b", 0, ':'},
        {"C:/x", 0, '/'}, {"C:\\x", 0, '\\'}, {":a/b", 1, ':'},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(path_nameisrelative(c.name), c.relative) << c.name;
        EXPECT_EQ(path_getseparator(c.name), c.separator) << c.name;
    }
    EXPECT_EQ(path_nameisrelative(nullptr), 0);
}

TEST_F(PathNames, FullNamesToFoldersAndFiles)
{
    tree.file("d/file.txt");
    tree.folder("app/sub");
    tree.folder("support/help");
    tree.link("linkdir", "d");
    const short d = id_of(tree, "d");
    std::string backslashed = tree.at("d/file.txt");
    for (char &c : backslashed)
        if (c == '/') c = '\\';
    const struct {
        std::string name;
        short result;
        short path;
        const char *file;
    } cases[] = {
        {tree.at("d/file.txt"), 0, d, "file.txt"},
        {tree.at("d/new.txt"), 0, d, "new.txt"},  // need not exist
        {tree.at("d"), 0, d, ""},
        {tree.at("d") + "/", 0, d, ""},
        {tree.at("linkdir/file.txt"), 0, d, "file.txt"},
        {backslashed, 0, d, "file.txt"},
        {"./sub/x.pat", 0, id_of(tree, "app/sub"), "x.pat"},
        {":sub:x.pat", 0, id_of(tree, "app/sub"), "x.pat"},
        {"VND:/help/x.pat", 0, id_of(tree, "support/help"), "x.pat"},
        {tree.at("missing/x"), -1, 0, ""},
        {"relative/x", -1, 0, ""},
        {"C:/x", -1, 0, ""},
        {tree.at("d/") + std::string(300, 'n'), -1, 0, ""},
    };
    for (const auto &c : cases) {
        short path = 0;
        char file[MAX_FILENAME_CHARS] = "";
        EXPECT_EQ(path_frompathname(c.name.c_str(), &path, file), c.result) << c.name;
        EXPECT_EQ(path, c.path) << c.name;
        EXPECT_STREQ(file, c.file) << c.name;
    }

    char name[MAX_PATH_CHARS];
    ASSERT_EQ(path_topathname(d, "file.txt", name), 0);
    EXPECT_EQ(std::string(name), tree.at("d/file.txt"));
    ASSERT_EQ(path_topathname(d, nullptr, name), 0);
    EXPECT_EQ(std::string(name), tree.at("d"));
    EXPECT_EQ(path_topathname(d, "new.txt", name), -1) << "must exist";
    ASSERT_EQ(path_topotentialname(d, "new.txt", name), 0);
    EXPECT_EQ(std::string(name), tree.at("d/new.txt"));
    EXPECT_EQ(path_topotentialname(d, "nofolder/x", name), -1) << "the folder must exist";
    ASSERT_EQ(path_translate(d, "new.txt", name), 0);
    EXPECT_EQ(std::string(name), tree.at("d/new.txt"));
}

TEST_F(PathNames, FileReferencesAndVolumes)
{
    tree.file("d/file.txt");
    const short d = id_of(tree, "d");
    fileref ref;
    ASSERT_EQ(path_tospec(d, "file.txt", &ref), 0);
    EXPECT_EQ(std::string(ref.name), tree.at("d/file.txt"));
    char name[MAX_FILENAME_CHARS];
    ASSERT_EQ(path_namefromspec(&ref, name), 0);
    EXPECT_STREQ(name, "file.txt");
    EXPECT_EQ(path_new(&ref), 0) << "a file names no folder";
    ASSERT_EQ(path_tospec(d, "", &ref), 0);
    EXPECT_EQ(path_new(&ref), d);
    EXPECT_EQ(genpath(&ref), d);
    EXPECT_EQ(path_tospec(0, "file.txt", &ref), -1);

    name[0] = 'x';
    EXPECT_EQ(path_volumename(d, name), 0);
    EXPECT_STREQ(name, "");
    console_capture console;
    EXPECT_EQ(path_volumename(0, name), -1);
    EXPECT_EQ(console.lines(), (std::vector<std::string>{error_line("path_volumename: ASI_HFSpec err -120")}));
}

TEST_F(PathNames, MacRomanInsideUtf8Outside)
{
    tree.file("caf\xC3\xA9/n\xC3\xA9.txt");  // UTF-8 on disk
    tree.folder("\xE2\x98\x83");             // a snowman, which Mac Roman cannot spell
    const short cafe = id_of(tree, "caf\xC3\xA9");
    char name[MAX_PATH_CHARS];
    ASSERT_EQ(path_topathname(cafe, "n\x8E.txt", name), 0);
    EXPECT_EQ(std::string(name), tree.at("caf\x8E/n\x8E.txt")) << "Mac Roman inside the kernel";
    short path = 0;
    char file[MAX_FILENAME_CHARS];
    ASSERT_EQ(path_frompathname(tree.at("caf\x8E/n\x8E.txt").c_str(), &path, file), 0);
    EXPECT_EQ(path, cafe);
    EXPECT_STREQ(file, "n\x8E.txt");

    path_build(cafe, kel::path_list_search(), 0, 0);
    char wanted[MAX_FILENAME_CHARS] = "n\x8E";
    const long text[] = {FILETYPE_TEXT};
    long type = 0;
    ASSERT_EQ(locatefile_extended(wanted, &path, &type, text, 1), 0);
    EXPECT_STREQ(wanted, "n\x8E.txt");

    // A folder Mac Roman cannot spell keeps the system's name.
    const short snowman = id_of(tree, "\xE2\x98\x83");
    ASSERT_NE(snowman, 0);
    ASSERT_EQ(path_topathname(snowman, "", name), 0);
    EXPECT_EQ(std::string(name), tree.at("\xE2\x98\x83"));
    tree.file("\xE2\x98\x83/inside.txt", "snow");
    fileinfo info{};
    EXPECT_EQ(path_fileinfo("inside.txt", snowman, &info), 0);
}

// Any name the file system holds is a name the kernel can use: the name it
// is given back (full name, file name, listed name, found name) opens the
// file, writes it and finds it again. Names Mac Roman spells are held in Mac
// Roman; the others in the system's bytes, which the console shows as they
// are.
TEST_F(PathNames, EveryNameOnDiskIsReachable)
{
    const struct {
        const char *disk;    // folder/file as the system holds it
        const char *kernel;  // the file's name as the kernel gives it back
    } cases[] = {
        {"plain/x.txt", "x.txt"},
        {"\xE6\x97\xA5\xE6\x9C\xAC/\xE6\x97\xA5\xE6\x9C\xAC"
         ".txt",
         "\xE6\x97\xA5\xE6\x9C\xAC"
         ".txt"},  // Japanese
        {"ru/\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82.txt",
         "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82.txt"},  // Cyrillic
        {"\xC5\x81\xC3\xB3"
         "d\xC5\xBA/sub.txt",
         "sub.txt"},                                                   // Polish folder
        {"fr/caf\xC3\xA9.txt", "caf\x8E.txt"},                         // Mac Roman spells it
        {"sym/\xE2\x88\x9A\xC2\xA9.txt", "\xE2\x88\x9A\xC2\xA9.txt"},  // its Mac Roman bytes would read as UTF-8
        {"ohm/\xE2\x84\xA6.txt", "\xE2\x84\xA6.txt"},                  // OHM SIGN: Mac Roman keeps only omega
        {"latin1/caf\xE9.txt", "caf\xE9.txt"},                         // not UTF-8 at all
        {"both/\xC3\xA9 \xE2\x98\x83.txt", "\xC3\xA9 \xE2\x98\x83.txt"},
    };
    const long text[] = {FILETYPE_TEXT};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.disk);
        const std::string disk = tree.file(c.disk, "old\n");
        char full[MAX_PATH_CHARS];
        short path = 0;
        char file[MAX_FILENAME_CHARS];
        ASSERT_EQ(path_frompathname(disk.c_str(), &path, file), 0);
        EXPECT_STREQ(file, c.kernel);
        ASSERT_EQ(path_topathname(path, file, full), 0);
        ASSERT_EQ(path_frompathname(full, &path, file), 0) << "a full name given back names the file again";
        EXPECT_STREQ(file, c.kernel);

        sysfile *f = nullptr;
        ASSERT_EQ(path_createsysfile(file, path, FILETYPE_TEXT, &f), 0);
        long count = 4;
        EXPECT_EQ(sysfile_write(f, &count, "new\n"), 0);
        sysfile_close(f);
        EXPECT_EQ(tree.read(c.disk), "new\n") << "written under the system's own name";

        path_folder *folder = path_openfolder(path);
        ASSERT_NE(folder, nullptr);
        long type = 0;
        short is_folder = 0;
        char listed[MAX_FILENAME_CHARS] = "";
        ASSERT_NE(path_foldernextfile(folder, &type, listed, &is_folder), 0);
        path_closefolder(folder);
        EXPECT_STREQ(listed, c.kernel);

        path_removefromlist(kel::path_list_search(), 1);
        path_build(path, kel::path_list_search(), 0, 0);
        std::string wanted = c.kernel;
        wanted.resize(wanted.size() - 4);  // found by name, without its extension
        char name[MAX_FILENAME_CHARS];
        std::strcpy(name, wanted.c_str());
        short found = 0;
        ASSERT_EQ(locatefile_extended(name, &found, &type, text, 1), 0);
        EXPECT_EQ(found, path);
        EXPECT_STREQ(name, c.kernel);
    }
}

// A name that is UTF-8 inside the kernel (typed, or read from a file
// written in UTF-8) names the file of those bytes, even where Mac Roman
// spells it: both forms reach the same file.
TEST_F(PathNames, Utf8AndMacRomanFormsNameTheSameFile)
{
    tree.file("fr/n\xC3\xA9.txt");
    short path = 0;
    char file[MAX_FILENAME_CHARS];
    for (const char *name : {"fr/n\xC3\xA9.txt", "fr/n\x8E.txt"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(path_frompathname(tree.at(name).c_str(), &path, file), 0);
        fileinfo info{};
        EXPECT_EQ(path_fileinfo(file, path, &info), 0);
    }
}

}  // namespace
