// Files by (name, path id): folder iteration, file information, opening,
// creating, deleting and copying, temporary copies, resource files; and the
// file-type registry with its sniffers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/atoms.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kel/sysfile.h"
#include "kernel/files/path.h"
#include "platform/datetime.h"
#include "platform/resources.h"
#include "test_path_tree.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::id_of;
using kel::test::path_test;
using strings = std::vector<std::string>;

const std::string binary_patcher("\x02\x00\x00\x00\x70kel\x00", 9);

std::string type_name(long type)
{
    std::string name(4, ' ');
    for (int i = 0; i < 4; i++) name[static_cast<size_t>(i)] = static_cast<char>(type >> (24 - 8 * i));
    return name;
}

std::string read_all(sysfile *f)
{
    char buffer[256];
    long count = sizeof buffer;
    if (sysfile_read(f, &count, buffer) != 0) return "<error>";
    return std::string(buffer, static_cast<size_t>(count));
}

// --- folders ---

using PathFolders = path_test;

TEST_F(PathFolders, IterationInNameOrder)
{
    tree.file("f/b.txt");
    tree.file("f/a.pat", binary_patcher);
    tree.folder("f/sub");
    tree.file("f/.hidden");
    tree.link("f/link-to-sub", "sub");
    tree.link("f/broken", "nowhere");
    ASSERT_EQ(::mkfifo(tree.at("f/pipe").c_str(), 0600), 0);

    path_folder *folder = path_openfolder(id_of(tree, "f"));
    ASSERT_NE(folder, nullptr);
    strings seen;
    char name[MAX_FILENAME_CHARS];
    long type = 0;
    short isfolder = 0;
    while (path_foldernextfile(folder, &type, name, &isfolder))
        seen.push_back(std::string(name) + " " + type_name(type) + " " + std::to_string(isfolder));
    EXPECT_EQ(seen, (strings{"a.pat kelb 0", "b.txt TEXT 0", "link-to-sub fold 1", "sub fold 1"}));
    fileref ref;
    ASSERT_EQ(path_foldergetspec(folder, &ref), 0);
    EXPECT_EQ(std::string(ref.name), tree.at("f/sub"));
    EXPECT_EQ(path_foldernextfile(folder, &type, name, &isfolder), 0);
    path_closefolder(folder);

    EXPECT_EQ(path_openfolder(0), nullptr);
    folder = path_openfolder(id_of(tree, "f/sub"));
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(path_foldergetspec(folder, &ref), -1) << "nothing returned yet";
    path_closefolder(folder);
}

// --- file information ---

using PathFileInfo = path_test;

TEST_F(PathFileInfo, TypesComeFromExtensionsAndContents)
{
    tree.file("f/a.txt");
    tree.file("f/b.pat", binary_patcher);
    tree.file("f/c.pat");
    tree.file("f/d.kle", "\x7f"
                         "ELF\x02\x01");
    tree.file("f/e.unknown", std::string("\x00\x01\x02", 3));
    tree.file("f/f.help", binary_patcher);
    tree.folder("f/sub");
    tree.link("f/link.txt", "b.pat");
    tree.link("f/linkdir", "sub");
    tree.link("f/broken", "nowhere");
    const short f = id_of(tree, "f");
    const struct {
        const char *name;
        short result;
        const char *type;
        long flags;
    } cases[] = {
        {"a.txt", 0, "TEXT", 0},
        {"b.pat", 0, "kelb", 0},
        {"c.pat", 0, "TEXT", 0},
        {"d.kle", 0, "iLaF", 0},
        {"e.unknown", 0, "\0\0\0\0", 0},
        {"f.help", 0, "kelb", 0},
        {"sub", 0, "fold", FILEINFO_FOLDER},
        {"link.txt", 0, "kelb", FILEINFO_ALIAS},  // the target's type
        {"linkdir", 0, "fold", FILEINFO_ALIAS | FILEINFO_FOLDER},
        {"broken", 0, "\0\0\0\0", FILEINFO_ALIAS},
        {"missing", -43, nullptr, 0},
    };
    for (const auto &c : cases) {
        fileinfo info{};
        ASSERT_EQ(path_fileinfo(c.name, f, &info), c.result) << c.name;
        if (c.result) continue;
        EXPECT_EQ(type_name(info.type), std::string(c.type, 4)) << c.name;
        EXPECT_EQ(info.flags, c.flags) << c.name;
        EXPECT_EQ(info.creator, 0) << c.name;
    }
    fileinfo info{};
    EXPECT_EQ(path_fileinfo("a.txt", 0, &info), -1);
    EXPECT_EQ(path_setfileinfo("a.txt", f, &info), 0);
    EXPECT_EQ(path_setfileinfo("missing", f, &info), -43);
}

TEST_F(PathFileInfo, SizesAndDates)
{
    tree.file("f/ten.txt", "0123456789");
    const short f = id_of(tree, "f");
    unsigned long now = 0;
    kel::toolbox::GetDateTime(&now);
    fileinfo_extended info{};
    ASSERT_EQ(path_extendedfileinfo("ten.txt", f, &info), 0);
    EXPECT_EQ(info.size, 10);
    EXPECT_NEAR(static_cast<double>(info.modified), static_cast<double>(now), 120.0);
    EXPECT_LE(info.created, info.modified + 1);
    unsigned long date = 0;
    ASSERT_EQ(path_getfilemoddate("ten.txt", f, &date), 0);
    EXPECT_EQ(date, info.modified);
    ASSERT_EQ(path_getmoddate(f, &date), 0);
    EXPECT_NEAR(static_cast<double>(date), static_cast<double>(now), 120.0);
    EXPECT_EQ(path_getfilemoddate("missing", f, &date), -43);
}

// --- opening, creating, deleting, copying ---

using PathFileAccess = path_test;

TEST_F(PathFileAccess, OpeningReadsOnlyRegularFiles)
{
    tree.file("f/hello.txt", "hello");
    tree.file("f/sub/inner.txt", "inner");
    tree.folder("f/folder");
    ASSERT_EQ(::mkfifo(tree.at("f/pipe").c_str(), 0600), 0);
    const short f = id_of(tree, "f");
    const struct {
        const char *name;
        short path;
        short result;
        const char *contents;
    } cases[] = {
        {"hello.txt", f, 0, "hello"},     {":sub:inner.txt", f, 0, "inner"},    {"./sub/inner.txt", f, 0, "inner"},
        {"sub/inner.txt", f, 0, "inner"}, {"missing.txt", f, -43, nullptr},     {"folder", f, -1302, nullptr},
        {"pipe", f, -36, nullptr},  // refused at once, never waited on
        {"hello.txt", 0, -120, nullptr},  {"hello.txt", -32767, -120, nullptr},
    };
    for (const auto &c : cases) {
        sysfile *file = nullptr;
        ASSERT_EQ(path_opensysfile(c.name, c.path, &file, PATH_PERM_READ), c.result) << c.name;
        if (c.result) continue;
        EXPECT_EQ(read_all(file), c.contents) << c.name;
        sysfile_close(file);
    }
    sysfile *file = nullptr;
    ASSERT_EQ(path_opensysfile(tree.at("f/hello.txt").c_str(), 0, &file, PATH_PERM_DEFAULT), 0) << "a full name";
    EXPECT_EQ(read_all(file), "hello");
    sysfile_close(file);

    int fd = -1;
    ASSERT_EQ(path_openfile("hello.txt", f, &fd, PATH_PERM_READ), 0);
    char buffer[8] = {};
    EXPECT_EQ(::read(fd, buffer, sizeof buffer), 5);
    ::close(fd);
}

TEST_F(PathFileAccess, CreatingKeepsContentsAndReportsErrors)
{
    tree.file("f/old.txt", "old contents");
    const short f = id_of(tree, "f");
    sysfile *file = nullptr;
    ASSERT_EQ(path_createsysfile("new.txt", f, FILETYPE_TEXT, &file), 0);
    long count = 3;
    EXPECT_EQ(sysfile_write(file, &count, "abc"), 0);
    sysfile_close(file);
    EXPECT_EQ(tree.read("f/new.txt"), "abc");

    ASSERT_EQ(path_createsysfile("old.txt", f, FILETYPE_TEXT, &file), 0);
    EXPECT_EQ(read_all(file), "old contents") << "the caller cuts the file with its length";
    sysfile_close(file);

    console_capture console;
    EXPECT_EQ(path_createsysfile("x.txt", 0, FILETYPE_TEXT, &file), -120);
    tree.folder("f/folder");
    EXPECT_EQ(path_createsysfile("folder", f, FILETYPE_TEXT, &file), -1302);
    strings expected = {error_line("x.txt: error -120 creating file"), error_line("folder: error -1302 creating file")};
    if (::geteuid() != 0) {
        tree.folder("locked");
        ::chmod(tree.at("locked").c_str(), 0500);
        EXPECT_EQ(path_createsysfile("y.txt", id_of(tree, "locked"), FILETYPE_TEXT, &file), -54);
        ::chmod(tree.at("locked").c_str(), 0755);
        expected.push_back(error_line("y.txt: error -54 creating file"));
    }
    EXPECT_EQ(console.lines(), expected);
}

TEST_F(PathFileAccess, DeletingAndMakingFolders)
{
    tree.file("f/file.txt");
    tree.file("f/target.txt");
    tree.link("f/link.txt", "target.txt");
    tree.folder("f/empty");
    tree.file("f/full/inside.txt");
    const short f = id_of(tree, "f");
    const struct {
        const char *name;
        short result;
    } cases[] = {
        {"file.txt", 0}, {"link.txt", 0}, {"empty", 0}, {"full", -47}, {"missing", -43},
    };
    for (const auto &c : cases) EXPECT_EQ(path_deletefile(c.name, f), c.result) << c.name;
    EXPECT_FALSE(tree.exists("f/file.txt"));
    EXPECT_FALSE(tree.exists("f/link.txt"));
    EXPECT_TRUE(tree.exists("f/target.txt")) << "deleting a link leaves its target";
    EXPECT_FALSE(tree.exists("f/empty"));

    short made = 0;
    ASSERT_EQ(path_createfolder(f, "made", &made), 0);
    EXPECT_EQ(made, id_of(tree, "f/made"));
    EXPECT_EQ(path_createfolder(f, "made", &made), -48);
    EXPECT_EQ(path_createfolder(0, "made", &made), -120);
}

TEST_F(PathFileAccess, CopyingReplacesTheTargetAsAWhole)
{
    tree.file("from/src.txt", "new");
    tree.file("to/dst.txt", "a much longer old text");
    tree.file("to/busy/inside.txt");
    const short from = id_of(tree, "from"), to = id_of(tree, "to");
    ASSERT_EQ(path_copyfile(from, "src.txt", to, "dst.txt"), 0);
    EXPECT_EQ(tree.read("to/dst.txt"), "new");
    ASSERT_EQ(path_copyfile(from, "src.txt", to, nullptr), 0);
    EXPECT_EQ(tree.read("to/src.txt"), "new");

    console_capture console;
    EXPECT_EQ(path_copyfile(from, "missing.txt", to, "x.txt"), -43);
    EXPECT_EQ(path_copyfile(from, "src.txt", to, "busy"), -1302);
    EXPECT_EQ(console.lines(), (strings{error_line("busy: error -1302 renaming file")}));
    EXPECT_EQ(tree.read("to/busy/inside.txt"), "text\n");
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(tree.at("to")))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (strings{"busy", "dst.txt", "src.txt"})) << "no temporary file left behind";
}

TEST_F(PathFileAccess, TemporaryCopiesAreDeletedAtShutdown)
{
    tree.file("f/source.pat", "patch");
    tree.file("f/plain", "plain");
    tree.folder("tmp");
    const char *saved = std::getenv("TMPDIR");
    const std::string restore = saved ? saved : "";
    ::setenv("TMPDIR", tree.at("tmp").c_str(), 1);
    const short f = id_of(tree, "f");

    char first[MAX_FILENAME_CHARS], second[MAX_FILENAME_CHARS], third[MAX_FILENAME_CHARS];
    short path1 = 0, path2 = 0, path3 = 0;
    EXPECT_EQ(path_copytotempfile("source.pat", f, first, &path1), 0);
    EXPECT_EQ(path_copytotempfile("source.pat", f, second, &path2), 0);
    EXPECT_EQ(path_copytotempfile("plain", f, third, &path3), 0);
    EXPECT_EQ(path_copytotempfile("missing.pat", f, third, &path3), -43);
    if (saved)
        ::setenv("TMPDIR", restore.c_str(), 1);
    else
        ::unsetenv("TMPDIR");

    EXPECT_EQ(path1, id_of(tree, "tmp"));
    EXPECT_EQ(path3, path1);
    EXPECT_STRNE(first, second);
    for (const char *name : {first, second}) {
        EXPECT_EQ(std::strlen(name), 14u) << name;  // "u", nine digits, ".pat"
        EXPECT_EQ(name[0], 'u');
        EXPECT_STREQ(name + 10, ".pat");
        EXPECT_EQ(tree.read(std::string("tmp/") + name), "patch");
    }
    EXPECT_EQ(std::strlen(third), 10u) << "no extension to keep";

    kel::path_shutdown();
    for (const char *name : {first, second, third}) EXPECT_FALSE(tree.exists(std::string("tmp/") + name)) << name;
    EXPECT_EQ(tree.read("f/source.pat"), "patch");
    kel::path_shutdown();  // nothing left to delete
}

TEST_F(PathFileAccess, ResourceFiles)
{
    tree.file("f/text.txt");
    const short f = id_of(tree, "f");
    const short made = path_createresfile("made.res", f);
    ASSERT_GT(made, 0);
    kel::toolbox::CloseResFile(made);
    EXPECT_EQ(path_fileisresource("made.res", f), 1);
    EXPECT_EQ(path_fileisresource("text.txt", f), 0);
    EXPECT_EQ(path_fileisresource("missing", f), 0);
    const short opened = path_openresfile("made.res", f);
    ASSERT_GT(opened, 0);
    kel::toolbox::CloseResFile(opened);
    EXPECT_EQ(path_openresfile("text.txt", f), -1);
    EXPECT_EQ(path_openresfile("made.res", 0), -1);
}

// --- the file-type registry ---

using PathTypes = path_test;

TEST_F(PathTypes, TypeCodesAndTypeLists)
{
    EXPECT_EQ(FILETYPE_TEXT, 0x54455854);
    const struct {
        const char *name;
        const char *code;
    } codes[] = {{"TEXT", "TEXT"}, {"ab", "ab  "}, {"", "    "}, {nullptr, "    "}, {"toolong", "tool"}};
    for (const auto &c : codes) EXPECT_EQ(type_name(fileformat_type(c.name)), c.code) << (c.name ? c.name : "null");

    const struct {
        long flags;
        strings types;
    } lists[] = {
        {0, {}},       {1, {"kelb", "TEXT"}},         {2, {"iLaF"}},
        {4, {"kl@c"}}, {3, {"iLaF", "kelb", "TEXT"}}, {7, {"iLaF", "kelb", "TEXT", "kl@c"}},
    };
    for (const auto &l : lists) {
        long types[4] = {};
        short count = -1;
        typelist_make(types, &count, l.flags);
        strings got;
        for (short i = 0; i < count; i++) got.push_back(type_name(types[i]));
        EXPECT_EQ(got, l.types) << l.flags;
    }
}

TEST_F(PathTypes, SuffixesAndStripping)
{
    const struct {
        const char *name;
        const char *suffix;
    } suffixes[] = {
        {"a.txt", ".txt"},    {"a", ""},
        {"a.b.c", ".c"},      {"dir.d/file", ""},
        {"x/y.pat", ".pat"},  {".hidden", ".hidden"},
        {"C:\\dir.d\\f", ""}, {"", ""},
    };
    for (const auto &s : suffixes) {
        char suffix[MAX_FILENAME_CHARS] = "junk";
        fileformat_suffix(s.name, suffix);
        EXPECT_STREQ(suffix, s.suffix) << s.name;
    }

    const long external[] = {FILETYPE_EXTERNAL};
    const struct {
        const char *name;
        const long *types;
        short count;
        const char *stripped;
        long length;
    } strips[] = {
        {"a.pat", nullptr, 0, "a", 4},
        {"a.PAT", nullptr, 0, "a", 4},
        {"a.help", nullptr, 0, "a.help", 0},  // nosub
        {"a.xyz", nullptr, 0, "a.xyz", 0},
        {"a.pat", external, 1, "a.pat", 0},
        {"a.kle", external, 1, "a", 4},
        {".pat", nullptr, 0, ".pat", 0},
        {"dir.pat/file", nullptr, 0, "dir.pat/file", 0},
        {"", nullptr, 0, "", 0},
    };
    for (const auto &s : strips) {
        char name[MAX_FILENAME_CHARS];
        std::strcpy(name, s.name);
        EXPECT_EQ(fileformat_stripsuffix(name, s.types, s.count), s.length) << s.name;
        EXPECT_STREQ(name, s.stripped) << s.name;
    }
}

TEST_F(PathTypes, RegistrationAndTheFormatsListing)
{
    const strings builtin = {
        ".txt -> TEXT, nosub 0, ambiguous 0",  ".kle -> iLaF, nosub 0, ambiguous 0",
        ".exe -> APPL, nosub 0, ambiguous 0",  ".pat -> kelb, nosub 0, ambiguous 1",
        ".klb -> kelb, nosub 0, ambiguous 0",  ".pat -> TEXT, nosub 0, ambiguous 1",
        ".klf -> kl@c, nosub 0, ambiguous 0",  ".help -> kelb, nosub 1, ambiguous 1",
        ".help -> TEXT, nosub 1, ambiguous 1",
    };
    {
        console_capture console;
        kel::fileformat_post_all();
        EXPECT_EQ(console.lines(), builtin);
    }
    EXPECT_EQ(fileformat_register(".txt", FILETYPE_TEXT, 1, "again"), 0);
    atom args[4];
    atom_setsym(&args[0], gensym("TXT"));
    atom_setsym(&args[1], gensym("note"));
    atom_setlong(&args[2], 1);
    atom_setsym(&args[3], gensym("Notes"));
    kel::fileformat_command(4, args);
    kel::fileformat_command(2, args);  // the same pair: nothing changes
    kel::fileformat_command(1, args);
    EXPECT_EQ(fileformat_register("", FILETYPE_TEXT, 0, nullptr), -1);

    console_capture console;
    kel::fileformat_post_all();
    strings expected = builtin;
    expected[0] = ".txt -> TEXT, nosub 0, ambiguous 1";
    expected.push_back(".txt -> note, nosub 1, ambiguous 1");
    EXPECT_EQ(console.lines(), expected);

    // A .txt file is now ambiguous, and sniffed.
    tree.file("f/x.txt");
    fileinfo info{};
    ASSERT_EQ(path_fileinfo("x.txt", id_of(tree, "f"), &info), 0);
    EXPECT_EQ(info.type, FILETYPE_TEXT);
}

TEST_F(PathTypes, BuiltInSniffers)
{
    const std::string zeros(8, '\0');
    const struct {
        const char *file;
        std::string contents;
        const char *type;  // nullptr: not recognised
    } cases[] = {
        {"a",
         std::string("FORM\x00\x00\x10\x00"
                     "AIFFCOMM",
                     16),
         "AIFF"},
        {"b", ".snd" + zeros, "NxTS"},
        {"c",
         std::string("RIFF\x24\x08\x00\x00"
                     "WAVEfmt ",
                     16),
         "WAVE"},
        {"d", std::string("MThd\x00\x00\x00\x06", 8), "Midi"},
        {"e", std::string("GIF89a\x01\x00\x01\x00", 10), "GIFf"},
        {"f", std::string("\x00\x00\x00\x18moov", 8), "MooV"},
        {"g", "\xFF\xD8\xFF\xE0" + zeros, "JPEG"},
        {"h", "kl@c" + zeros, "kl@c"},
        {"i", binary_patcher, "kelb"},
        {"j", "#N vpatcher 10 10 400 400;\r\n", "TEXT"},
        {"k", "short", "TEXT"},
        {"l", "", nullptr},
        {"m", std::string("\x01\x02\x03", 3), nullptr},
        {"n",
         "text\x7f"
         "del",
         nullptr},
    };
    for (const auto &c : cases) tree.file(std::string("s/") + c.file, c.contents);
    const short s = id_of(tree, "s");
    for (const auto &c : cases) {
        long type = 0;
        EXPECT_EQ(fileformat_sniff(c.file, s, nullptr, 0, &type), c.type ? 1 : 0) << c.file;
        if (c.type) {
            EXPECT_EQ(type_name(type), c.type) << c.file;
        }
    }

    // With a type list only the listed sniffers run, the first listed first.
    tree.file("s/gif-text", "GIF89a");
    const long text_then_gif[] = {FILETYPE_TEXT, KEL_FOURCC('G', 'I', 'F', 'f')};
    const long gif_then_text[] = {KEL_FOURCC('G', 'I', 'F', 'f'), FILETYPE_TEXT};
    long type = 0;
    ASSERT_EQ(fileformat_sniff("gif-text", s, text_then_gif, 2, &type), 1);
    EXPECT_EQ(type_name(type), "TEXT");
    ASSERT_EQ(fileformat_sniff("gif-text", s, gif_then_text, 2, &type), 1);
    EXPECT_EQ(type_name(type), "GIFf");
    EXPECT_EQ(fileformat_sniff("a", s, gif_then_text, 2, &type), 0);
    EXPECT_EQ(fileformat_sniff("missing", s, nullptr, 0, &type), 0);
}

long hash_first(const unsigned char *data, long count, const short *, long) { return count > 0 && data[0] == '#'; }

TEST_F(PathTypes, InstallingSniffers)
{
    const long abcd = KEL_FOURCC('A', 'B', 'C', 'D');
    const short pattern[] = {'A', -1, 'C'};
    EXPECT_EQ(fileformat_installsniffer(abcd, 3, nullptr, pattern), 0);
    EXPECT_EQ(fileformat_installsniffer(abcd, 1, &hash_first, nullptr), -1) << "one sniffer per type";
    EXPECT_EQ(fileformat_installsniffer(FILETYPE_TEXT, 1, &hash_first, nullptr), -1) << "built-ins stay";
    EXPECT_EQ(fileformat_installsniffer(KEL_FOURCC('z', 'e', 'r', 'o'), 0, &hash_first, nullptr), -1);
    EXPECT_EQ(fileformat_installsniffer(KEL_FOURCC('n', 'o', 'n', 'e'), 4, nullptr, nullptr), -1);
    const long hash = KEL_FOURCC('h', 'a', 's', 'h');
    EXPECT_EQ(fileformat_installsniffer(hash, 1, &hash_first, nullptr), 0);

    // definesniffer: bytes as integers, one-character symbols, "*" for any.
    atom args[4];
    atom_setsym(&args[0], gensym("zips"));
    atom_setsym(&args[1], gensym("P"));
    atom_setlong(&args[2], 'K');
    atom_setsym(&args[3], gensym("*"));
    kel::fileformat_definesniffer(4, args);
    atom bad[2];
    atom_setsym(&bad[0], gensym("badd"));
    atom_setsym(&bad[1], gensym("PK"));
    kel::fileformat_definesniffer(2, bad);

    const long listed[] = {abcd, hash, KEL_FOURCC('z', 'i', 'p', 's'), KEL_FOURCC('b', 'a', 'd', 'd')};
    const struct {
        const char *contents;
        const char *type;
    } cases[] = {
        {"AxC", "ABCD"},    {"AxD", nullptr}, {"A", nullptr},  {"#!", "hash"},
        {"PK\x03", "zips"}, {"PKx", "zips"},  {"PK", nullptr},
    };
    for (const auto &c : cases) {
        tree.file("s/file", c.contents);
        long type = 0;
        EXPECT_EQ(fileformat_sniff("file", id_of(tree, "s"), listed, 4, &type), c.type ? 1 : 0) << c.contents;
        if (c.type) {
            EXPECT_EQ(type_name(type), c.type) << c.contents;
        }
    }
}

}  // namespace
