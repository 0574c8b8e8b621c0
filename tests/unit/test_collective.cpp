// Collectives: reading the directory (any field order, unknown chunks,
// damaged chunks refused whole), lookups by name and type, entries opened as
// files and the references they hold, ids, the one-entry form, extraction of
// libraries and the start-up patchers a load opens.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/objects.h"
#include "kernel/create/creation.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "temp_dir.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using strings = std::vector<std::string>;
namespace fs = std::filesystem;

// --- writing collectives, chunk by chunk ---

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string chunk(const std::string &type, const std::string &data)
{
    return type + be32(static_cast<uint32_t>(data.size() + 8)) + data;
}
std::string text_field(const std::string &type, const std::string &text)
{
    std::string data = text + '\0';
    while (data.size() % 4) data += '\0';
    return chunk(type, data);
}
std::string int_field(const std::string &type, uint32_t v) { return chunk(type, be32(v)); }
std::string code_field(const std::string &type, const std::string &code) { return chunk(type, code); }

struct entry {
    std::string name, type = "TEXT";
    uint32_t flags = 0;
    std::string bytes;
};

// A collective of the entries: header, their bytes, then the directory.
// fields_of lays out one entry's field chunks (given its offset and size).
template <class Fields>
std::string collective_with(const std::vector<entry> &entries, Fields fields_of, const std::string &dlst_extra = "")
{
    std::string body, directory;
    uint32_t offset = 16;
    for (const entry &e : entries) {
        directory += chunk("dire", fields_of(e, offset));
        body += e.bytes;
        offset += static_cast<uint32_t>(e.bytes.size());
    }
    return chunk("kl@c", be32(0) + be32(offset)) + body + chunk("dlst", dlst_extra + directory);
}
std::string collective_of(const std::vector<entry> &entries)
{
    return collective_with(entries, [](const entry &e, uint32_t offset) {
        return text_field("fnam", e.name) + code_field("type", e.type) + int_field("of32", offset) +
               int_field("sz32", static_cast<uint32_t>(e.bytes.size())) + int_field("flag", e.flags);
    });
}

class Collective : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        folder = kel::path_id_of_folder(dir.path());
        ASSERT_NE(folder, 0);
    }
    // Every collective goes, and the temporary folder with what was
    // extracted into it, as at the program's shutdown.
    void TearDown() override { kel::collective_shutdown(); }
    xpcoll *open(const std::string &name, const std::string &bytes)
    {
        std::ofstream(dir.file(name), std::ios::binary) << bytes;
        return xpcoll_open(name.c_str(), folder, FILETYPE_COLLECTIVE, 0, 0, 0);
    }
    static long find(const char *name, const std::vector<long> &types = {}, long *type = nullptr,
                     std::string *stored = nullptr)
    {
        return kel::collective_find(name, 0, types.data(), static_cast<short>(types.size()), type, stored);
    }
    static std::string read_entry(short id, const char *name)
    {
        sysfile *f = nullptr;
        if (path_opensysfile(name, id, &f, PATH_PERM_READ) != 0) return "<no file>";
        std::string out(4096, '\0');
        long count = static_cast<long>(out.size());
        sysfile_read(f, &count, out.data());
        out.resize(static_cast<size_t>(count));
        sysfile_close(f);
        return out;
    }

    kel::test::temp_dir dir{"kel-coll"};
    short folder = 0;
};

const long TEXT = FILETYPE_TEXT;
const long iLaF = FILETYPE_EXTERNAL;

TEST_F(Collective, FieldsInAnyOrderUnknownChunksSkippedAndOldExternalTypeRead)
{
    // Each entry's fields in its own order, with chunks the reader does not
    // know at both levels.
    const std::vector<entry> entries{
        {"First.txt", "TEXT", 0, "one"}, {"lib.kle", "xdll", 0, "ELF?"}, {"third.txt", "TEXT", 0, "three!"}};
    int n = 0;
    const std::string bytes = collective_with(
        entries,
        [&n](const entry &e, uint32_t offset) {
            const std::string name = text_field("fnam", e.name), type = code_field("type", e.type),
                              off = int_field("of32", offset),
                              size = int_field("sz32", static_cast<uint32_t>(e.bytes.size())),
                              flag = int_field("flag", e.flags), odd = chunk("zzzz", "ignored!"),
                              author = text_field("auth", "someone");
            switch (n++) {
            case 0:
                return name + type + off + size + flag;
            case 1:
                return flag + odd + size + author + off + type + name;
            default:
                return size + off + chunk("    ", "") + type + name;
            }
        },
        chunk("note", "a chunk beside the entries"));
    xpcoll *x = open("fields.klf", bytes);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(linklist_getsize(x->entries), 3);
    long type = 0;
    std::string stored;
    EXPECT_EQ(find("first.txt", {}, &type, &stored), x->id);
    EXPECT_EQ(type, TEXT);
    EXPECT_EQ(stored, "First.txt");
    EXPECT_EQ(find("LIB.KLE", {iLaF}, &type), x->id);
    EXPECT_EQ(type, iLaF);
    EXPECT_EQ(read_entry(x->id, "first.txt"), "one");
    EXPECT_EQ(read_entry(x->id, "lib.kle"), "ELF?");
    EXPECT_EQ(read_entry(x->id, "third.txt"), "three!");
}

TEST_F(Collective, DamagedDirectoriesAreRefusedWholeWithTheirReason)
{
    const std::string good_dire = chunk("dire", text_field("fnam", "a.txt") + int_field("sz32", 0));
    auto with_directory = [](const std::string &directory_chunk) {
        return chunk("kl@c", be32(0) + be32(16)) + directory_chunk;
    };
    std::string no_nul = chunk("dire", chunk("fnam", "abcd"));
    std::string small = good_dire + "dire" + be32(4);
    std::string past_parent = chunk("dire", "fnam" + be32(200) + "a.txt");
    struct {
        const char *what;
        std::string bytes;
        std::string dump_has;
        long code;
    } cases[] = {
        {"not a dlst first", with_directory(chunk("dirx", good_dire)), "the first chunk is dirx, not dlst, bailing",
         -50},
        {"a chunk size below 8", with_directory(chunk("dlst", small)), "", -39},
        {"a field past its parent", with_directory(chunk("dlst", past_parent)), "", -39},
        {"a string without its end", with_directory(chunk("dlst", no_nul)), "", -50},
        {"a directory past the end", chunk("kl@c", be32(0) + be32(4000)), "error -39 seeking to 4000", -39},
        {"a list longer than the file", with_directory("dlst" + be32(5000) + good_dire), "getting directory chunk",
         -39},
        {"no header", "kl@c", "getting header", -39},
    };
    kel::collective_set_dump(true);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        console_capture console;
        testing::internal::CaptureStderr();
        EXPECT_EQ(open("bad.klf", c.bytes), nullptr);
        const std::string dump = testing::internal::GetCapturedStderr();
        EXPECT_EQ(console.lines(),
                  strings{error_line("bad.klf: error " + std::to_string(c.code) + " making directory")});
        if (!c.dump_has.empty()) {
            EXPECT_NE(dump.find(c.dump_has), std::string::npos) << dump;
        }
        EXPECT_EQ(find("a.txt"), kel::collective_not_found);  // nothing half-registered
    }
    kel::collective_set_dump(false);
}

TEST_F(Collective, TheDumpListsEveryFieldWithCodesAsText)
{
    const std::string bytes = collective_with({{"A.txt", "TEXT", 1, "abc"}}, [](const entry &e, uint32_t offset) {
        return text_field("fnam", e.name) + code_field("type", e.type) + int_field("of32", offset) +
               int_field("sz32", 3) + int_field("flag", 3) + int_field("vers", 2) + code_field("crea", "kel ") +
               int_field("cvrs", 7) + text_field("auth", "me") + int_field("cksm", 99) + int_field("comp", 255) +
               int_field("rsrc", 0) + int_field("rsid", 128) + text_field("rnam", "res");
    });
    kel::collective_set_dump(true);
    testing::internal::CaptureStderr();
    xpcoll *x = open("dumped.klf", bytes);
    const std::string dump = testing::internal::GetCapturedStderr();
    kel::collective_set_dump(false);
    ASSERT_NE(x, nullptr);
    char who[64];
    std::snprintf(who, sizeof who, "%lx (dumped.klf)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(x)));
    const std::string expected = std::string("xpcoll ") + who +
                                 " reading directory: starts at offset 19\n"
                                 "--- chunk type dire:\n"
                                 "  filename: A.txt\n"
                                 "  filetype: TEXT\n"
                                 "  offset: 16\n"
                                 "  size: 3\n"
                                 "  item flags: 3\n"
                                 "  version: 2\n"
                                 "  creator type: kel \n"
                                 "  creator version: 7\n"
                                 "  author info: me\n"
                                 "  checksum: 99\n"
                                 "  compression data: ff\n"
                                 "  resource type: <zero>\n"
                                 "  resource id: 128\n"
                                 "  resource name: res\n"
                                 "-------\n"
                                 "---- end of directory for " +
                                 who + "\n";
    EXPECT_EQ(dump, expected);
}

TEST_F(Collective, LookupsTakeTheFirstOfANameSkipHiddenEntriesAndHonourTypeLists)
{
    xpcoll *x = open("look.klf", collective_of({{"Same.txt", "TEXT", 0, "first"},
                                                {"SAME.TXT", "TEXT", 0, "second"},
                                                {"secret.txt", "TEXT", 2, "hidden"},
                                                {"both", "TEXT", 0, "text"},
                                                {"both", "iLaF", 0, "library"}}));
    ASSERT_NE(x, nullptr);
    xpcoll *later = open("later.klf", collective_of({{"same.txt", "TEXT", 0, "in the later one"}}));
    ASSERT_NE(later, nullptr);
    std::string stored;
    long type = 0;
    EXPECT_EQ(find("same.txt", {}, &type, &stored), x->id);  // first in opening order, then directory order
    EXPECT_EQ(stored, "Same.txt");
    EXPECT_EQ(read_entry(x->id, stored.c_str()), "first");
    EXPECT_EQ(find("secret.txt"), kel::collective_not_found);
    EXPECT_EQ(read_entry(x->id, "secret.txt"), "hidden");  // hidden from lookup, not from opening
    EXPECT_EQ(find("both", {iLaF}, &type), x->id);
    EXPECT_EQ(type, iLaF);
    EXPECT_EQ(find("both", {TEXT, iLaF}, &type), x->id);
    EXPECT_EQ(type, TEXT);
    EXPECT_EQ(find("both", {FILETYPE_PATCHER}), kel::collective_not_found);
    EXPECT_EQ(kel::collective_find("same.txt", later->id, nullptr, 0, nullptr, nullptr), later->id);

    // The path functions find it before any folder.
    std::ofstream(dir.file("same.txt")) << "in the folder";
    char name[MAX_FILENAME_CHARS] = "SAME.txt";
    short path = 0;
    long found = 0;
    EXPECT_EQ(locatefile_extended(name, &path, &found, nullptr, 0), 0);
    EXPECT_EQ(path, x->id);
    EXPECT_STREQ(name, "Same.txt");
}

TEST_F(Collective, AnEntryHandleStaysInsideItsWindowAndKeepsItsCollectiveOpen)
{
    xpcoll *x =
        open("window.klf",
             collective_of({{"a.txt", "TEXT", 0, "AAAA"}, {"b.txt", "TEXT", 0, "BBBBBB"}, {"c.txt", "TEXT", 0, "CC"}}));
    ASSERT_NE(x, nullptr);
    const short id = x->id;
    sysfile *f = nullptr;
    ASSERT_EQ(path_opensysfile("b.txt", id, &f, PATH_PERM_READ), 0);
    long size = 0;
    EXPECT_EQ(sysfile_geteof(f, &size), 0);
    EXPECT_EQ(size, 6);
    char buffer[64] = {};
    long count = sizeof buffer;
    sysfile_read(f, &count, buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(count)), "BBBBBB");
    count = 4;
    EXPECT_EQ(sysfile_read(f, &count, buffer), SYSFILE_ERR_EOF);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, 100), 0);
    long at = -1;
    sysfile_getpos(f, &at);
    EXPECT_EQ(at, 6);  // clamped into the window
    EXPECT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, 4), 0);
    count = 10;
    sysfile_read(f, &count, buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(count)), "BB");

    // The opener lets go; the handle keeps the collective, and closing it
    // frees the collective and takes it out of the list.
    xpcoll_dereference(x);
    EXPECT_TRUE(kel::collective_is_open(id));
    EXPECT_EQ(find("a.txt"), id);
    sysfile_close(f);
    EXPECT_FALSE(kel::collective_is_open(id));
    EXPECT_EQ(find("a.txt"), kel::collective_not_found);

    // Ids are never handed out again.
    xpcoll *next = open("window.klf", collective_of({{"a.txt", "TEXT", 0, "again"}}));
    ASSERT_NE(next, nullptr);
    EXPECT_GT(next->id, id);
}

TEST_F(Collective, EntryWindowsAreClampedToTheCollective)
{
    // An offset past the end, and a size past the end without 32-bit wrap.
    const std::string bytes =
        collective_with({{"far.txt", "TEXT", 0, ""}, {"long.txt", "TEXT", 0, ""}}, [](const entry &e, uint32_t) {
            const bool far = e.name == "far.txt";
            return text_field("fnam", e.name) + code_field("type", "TEXT") + int_field("of32", far ? 0xFFFFFFF0u : 4) +
                   int_field("sz32", far ? 0x20u : 0xFFFFFFFFu);
        });
    xpcoll *x = open("clamp.klf", bytes);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(read_entry(x->id, "far.txt"), "");
    EXPECT_EQ(read_entry(x->id, "long.txt"), bytes.substr(4));
}

TEST_F(Collective, AnOpenFileOfAnotherTypeIsOneEntryMarkedToLoad)
{
    std::ofstream(dir.file("Single.TXT"), std::ios::binary) << "just this";
    sysfile *f = nullptr;
    ASSERT_EQ(path_opensysfile("Single.TXT", folder, &f, PATH_PERM_READ), 0);
    xpcoll *x = xpcoll_opensysfile(f, "Single.TXT", TEXT, 0, 0, 0);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->path, kel::collective_embedded);
    auto *e = static_cast<xpcentry *>(linklist_getindex(x->entries, 0));
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name->name, "single.txt");
    EXPECT_EQ(e->size, 9);
    EXPECT_EQ(e->flags, 1);
    EXPECT_EQ(e->type, TEXT);
    EXPECT_EQ(read_entry(x->id, "single.txt"), "just this");  // from memory, not the folder
}

TEST_F(Collective, LoadingExtractsSupportLibrariesAndOpensEachStartUpPatcherOnce)
{
    const std::string patch = "#N vpatcher 20 74 620 474;\n#P pop;\n";
    xpcoll *x = open("load.klf", collective_of({{"Support.so", "aPcs", 0, "support bytes"},
                                                {"../escape.so", "aPcs", 0, "never written"},
                                                {"init-a.pat", "TEXT", 1, patch},
                                                {"secret.pat", "TEXT", 3, patch},
                                                {"plain.pat", "TEXT", 0, patch},
                                                {"init-b.pat", "TEXT", 0, patch}}));
    ASSERT_NE(x, nullptr);
    struct seen {
        std::vector<void *> patchers;
        xpcoll *collective = nullptr;
    } log;
    xpcoll_setclientcallback(x, &log, [](void *client, xpcoll *c, void *p) {
        auto *l = static_cast<seen *>(client);
        l->patchers.push_back(p);
        l->collective = c;
    });
    console_capture console;
    xpcoll_load(x, 3, 44);
    EXPECT_EQ(console.lines(), strings{error_line("load.klf: can't read library ../escape.so")});
    EXPECT_EQ(log.collective, x);
    ASSERT_EQ(log.patchers.size(), 3u);  // init-a, init-b, then secret (hidden, flag bit 0); init-a once
    for (void *p : log.patchers) {
        EXPECT_NE(p, nullptr);
        if (p) freeobject(p);
    }
    EXPECT_EQ(x->load_value, 3);
    EXPECT_EQ(x->load_data, 44);
    EXPECT_EQ(x->loading, 0);
    EXPECT_TRUE(kel::collective_is_open(x->id));  // the opener's reference holds it

    const std::string temporary = kel::collective_temporary_folder();
    ASSERT_FALSE(temporary.empty());
    std::ifstream support(temporary + "/support.so", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(support), {}), "support bytes");
    EXPECT_EQ((fs::status(temporary).permissions() & fs::perms::all), fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(fs::path(temporary).parent_path() / "escape.so"));
}

TEST_F(Collective, AnExternalFoundOnlyInsideACollectiveMakesObjects)
{
    std::ifstream in(std::string(KEL_EXAMPLE_EXTERNALS_DIR) + "/tally.kle", std::ios::binary);
    const std::string library(std::istreambuf_iterator<char>(in), {});
    ASSERT_GT(library.size(), 1000u);
    // The example's own folder is not on the search path here.
    xpcoll *x = open("ext.klf", collective_of({{"tally.kle", "iLaF", 0, library}}));
    ASSERT_NE(x, nullptr);
    kel::g_newest_object = nullptr;
    void *made = typedmess(kel::creation_object(), gensym("tally"), 0, nullptr);
    ASSERT_NE(made, nullptr);
    EXPECT_STREQ(object_classname(made)->name, "tally");
    freeobject(made);
}

}  // namespace
