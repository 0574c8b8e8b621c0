// Resource files: the format, lookup through the chain, enumeration, string
// lists, refusal of malformed files, atomic writing.
#include "platform/resources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kel::toolbox {
namespace {

namespace fs = std::filesystem;

constexpr ResType kText = res_type("TEXT");
constexpr ResType kData = res_type("DATA");
constexpr ResType kIcon = res_type("ICN#");

static_assert(res_type("TEXT") == 0x54455854u);
static_assert(kStringListType == 0x53545223u);

std::string contents(Handle h) { return std::string(*h, static_cast<size_t>(GetHandleSize(h))); }

std::string read_bytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Little-endian pieces for building files by hand.
std::string le16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)}; }
std::string le32(unsigned long v) { return le16(v & 0xFFFF) + le16(v >> 16 & 0xFFFF); }
std::string header(unsigned long count) { return "KRES" + le16(1) + le16(0) + le32(count); }
std::string entry(const char (&type)[5], int id, const std::string &name, const std::string &data)
{
    return std::string(type, 4) + le16(static_cast<unsigned>(id) & 0xFFFF) + static_cast<char>(name.size()) + name +
           le32(data.size()) + data;
}

class Resources : public testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        dir_ = fs::temp_directory_path() /
               ("kel-resources-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        fs::create_directories(dir_);
    }
    void TearDown() override
    {
        SetResLoad(true);
        resources_fail_write_after(-1);
        for (short ref : opened_) CloseResFile(ref);
        EXPECT_EQ(CurResFile(), 0) << "a test left a resource file open";
        fs::remove_all(dir_);
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    // Writes entries to a new file and opens it; the fixture closes it.
    short open_new(const std::string &name, const std::vector<ResourceEntry> &entries)
    {
        EXPECT_TRUE(write_resource_file(path(name), entries));
        return open(name);
    }
    short open(const std::string &name)
    {
        short ref = OpenResFile(path(name));
        EXPECT_GT(ref, 0) << "ResError " << ResError();
        if (ref > 0) opened_.push_back(ref);
        return ref;
    }
    void close(short ref)
    {
        CloseResFile(ref);
        std::erase(opened_, ref);
    }

    fs::path dir_;
    std::vector<short> opened_;
};

TEST_F(Resources, OnDiskLayoutIsExact)
{
    ASSERT_TRUE(write_resource_file(path("layout"), {{kText, -2, "ab", "xyz"}, {kData, 300, "", ""}}));
    const std::string expected = std::string("KRES\x01\x00\x00\x00\x02\x00\x00\x00", 12) +
                                 std::string("TEXT\xFE\xFF\x02"
                                             "ab\x03\x00\x00\x00xyz",
                                             16) +
                                 std::string("DATA\x2C\x01\x00\x00\x00\x00\x00", 11);
    EXPECT_EQ(read_bytes(path("layout")), expected);
}

TEST_F(Resources, WrittenResourcesReadBackWithTheirIdentity)
{
    const std::vector<ResourceEntry> entries = {
        {kText, 128, "greeting", "hello"},
        {kText, -16000, "", "negative id"},
        {kData, 0, std::string(255, 'n'), std::string("\0\x01\xFF\0", 4)},
        {kData, 32767, "empty", ""},
        {kIcon, -32768, "\xA5 bullet", std::string(70000, 'i')},
    };
    open_new("round-trip", entries);
    for (const ResourceEntry &e : entries) {
        SCOPED_TRACE(res_type_name(e.type) + " " + std::to_string(e.id));
        Handle h = GetResource(e.type, e.id);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(ResError(), noErr);
        EXPECT_EQ(contents(h), e.data);
        short id = 0;
        ResType type = 0;
        std::string name = "unchanged";
        GetResInfo(h, &id, &type, &name);
        EXPECT_EQ(ResError(), noErr);
        EXPECT_EQ(id, e.id);
        EXPECT_EQ(type, e.type);
        EXPECT_EQ(name, e.name);
        EXPECT_NE(HGetState(h) & kHandleResource, 0);
        if (!e.name.empty()) {
            EXPECT_EQ(GetNamedResource(e.type, e.name), h);
        }
    }
    EXPECT_EQ(GetResource(kText, 129), nullptr);
    EXPECT_EQ(ResError(), resNotFound);
    EXPECT_EQ(GetNamedResource(kText, "nobody"), nullptr);
    EXPECT_EQ(ResError(), resNotFound);
}

TEST_F(Resources, TheSameResourceGivesTheSameHandleUntilReleased)
{
    open_new("same", {{kText, 1, "", "one"}});
    Handle h = GetResource(kText, 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Get1Resource(kText, 1), h);
    (*h)[0] = 'O';  // edits live in memory until the handle is released
    EXPECT_EQ(contents(GetResource(kText, 1)), "One");

    ReleaseResource(h);
    EXPECT_EQ(ResError(), noErr);
    Handle again = GetResource(kText, 1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(contents(again), "one");

    // A handle that is not a resource is refused, not freed.
    Handle plain = NewHandle(4);
    for (auto call : {ReleaseResource, DetachResource, LoadResource}) {
        call(plain);
        EXPECT_EQ(ResError(), resNotFound);
    }
    EXPECT_EQ(HomeResFile(plain), -1);
    short id = 77;
    GetResInfo(plain, &id, nullptr, nullptr);
    EXPECT_EQ(ResError(), resNotFound);
    EXPECT_EQ(id, 77);
    DisposeHandle(plain);
}

TEST_F(Resources, DetachedHandleBelongsToTheCaller)
{
    const short ref = open_new("detach", {{kText, 5, "five", "data"}});
    Handle h = GetResource(kText, 5);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(HomeResFile(h), ref);
    DetachResource(h);
    EXPECT_EQ(ResError(), noErr);
    EXPECT_EQ(HGetState(h) & kHandleResource, 0);
    EXPECT_EQ(HomeResFile(h), -1);
    Handle fresh = GetResource(kText, 5);
    EXPECT_NE(fresh, h);
    close(ref);  // frees fresh, not h
    EXPECT_EQ(contents(h), "data");
    DisposeHandle(h);
}

TEST_F(Resources, LookupFollowsTheChainNewestFirstFromTheCurrentFile)
{
    const short older = open_new("older", {{kText, 128, "", "older-128"}, {kText, 129, "", "older-129"}});
    const short newer = open_new("newer", {{kText, 128, "", "newer-128"}, {kText, 130, "", "newer-130"}});
    ASSERT_EQ(CurResFile(), newer) << "the file opened last is current";

    struct Case {
        short current;
        bool only_current;
        short id;
        std::optional<std::string> found;
    };
    const Case cases[] = {
        {newer, false, 128, "newer-128"},  // the newer file hides the older one
        {newer, false, 129, "older-129"},  // found further down the chain
        {newer, false, 130, "newer-130"}, {newer, true, 128, "newer-128"},
        {newer, true, 129, std::nullopt},                                     // Get1Resource stays in the current file
        {older, false, 128, "older-128"}, {older, false, 130, std::nullopt},  // files opened later are not searched
        {older, true, 129, "older-129"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "current " << (c.current == newer ? "newer" : "older") << ", id " << c.id
                                        << (c.only_current ? ", Get1Resource" : ", GetResource"));
        UseResFile(c.current);
        ASSERT_EQ(ResError(), noErr);
        Handle h = c.only_current ? Get1Resource(kText, c.id) : GetResource(kText, c.id);
        if (c.found) {
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(contents(h), *c.found);
            EXPECT_EQ(HomeResFile(h), c.found->starts_with("newer") ? newer : older);
        } else {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(ResError(), resNotFound);
        }
    }
}

TEST_F(Resources, ClosingTheCurrentFileMakesThePreviousOneCurrent)
{
    const short a = open_new("a", {{kText, 1, "", "a"}});
    const short b = open_new("b", {{kText, 1, "", "b"}});
    const short c = open_new("c", {{kText, 1, "", "c"}});
    ASSERT_NE(GetResource(kText, 1), nullptr);  // c's handle, freed by the close
    close(c);
    EXPECT_EQ(CurResFile(), b);
    EXPECT_EQ(contents(GetResource(kText, 1)), "b");

    UseResFile(a);
    close(b);  // not current: the current file stays
    EXPECT_EQ(CurResFile(), a);

    UseResFile(b);
    EXPECT_EQ(ResError(), resFNotFound);
    EXPECT_EQ(CurResFile(), a);
    CloseResFile(b);
    EXPECT_EQ(ResError(), resFNotFound);

    // With no file opened before it, the newest file still open becomes current.
    const short d = open_new("d", {{kText, 1, "", "d"}});
    UseResFile(a);
    close(a);
    EXPECT_EQ(CurResFile(), d);

    close(d);
    EXPECT_EQ(CurResFile(), 0);
    EXPECT_EQ(GetResource(kText, 1), nullptr);
    EXPECT_EQ(Count1Types(), 0);
}

TEST_F(Resources, EnumerationOfTheCurrentFile)
{
    open_new("older", {{kIcon, 1, "", "elsewhere"}});
    open_new("enumerate", {
                              {kText, 3, "", "t3"},
                              {kData, 9, "", "d9"},
                              {kText, 1, "", "t1"},
                              {kStringListType, 1, "", make_string_list({"s"})},
                              {kText, 2, "", "t2"},
                          });
    ASSERT_EQ(Count1Types(), 3) << "types of older files are not counted";
    const ResType expected_types[] = {kText, kData, kStringListType};
    for (short i = 1; i <= 3; ++i) {
        ResType type = 0;
        Get1IndType(&type, i);
        EXPECT_EQ(ResError(), noErr);
        EXPECT_EQ(res_type_name(type), res_type_name(expected_types[i - 1]));
    }
    for (short bad : {0, 4, -1}) {
        ResType type = kText;
        Get1IndType(&type, bad);
        EXPECT_EQ(type, 0u) << bad;
        EXPECT_EQ(ResError(), resNotFound);
    }

    struct Case {
        ResType type;
        std::vector<std::string> in_file_order;
    };
    const Case cases[] = {
        {kText, {"t3", "t1", "t2"}}, {kData, {"d9"}}, {kIcon, {}},  // only in the older file
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(res_type_name(c.type));
        const short n = static_cast<short>(c.in_file_order.size());
        EXPECT_EQ(Count1Resources(c.type), n);
        for (short i = 1; i <= n; ++i) {
            Handle h = Get1IndResource(c.type, i);
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(contents(h), c.in_file_order[static_cast<size_t>(i - 1)]);
        }
        for (short bad : {short(0), short(n + 1), short(-1)}) {
            EXPECT_EQ(Get1IndResource(c.type, bad), nullptr) << bad;
            EXPECT_EQ(ResError(), resNotFound);
        }
    }
}

TEST_F(Resources, WithLoadingOffTheHandleIsEmptyButKnown)
{
    open_new("lazy", {{kText, 7, "seven", "contents"}});
    SetResLoad(false);
    Handle h = GetResource(kText, 7);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetHandleSize(h), 0);
    short id = 0;
    std::string name;
    GetResInfo(h, &id, nullptr, &name);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(name, "seven");
    EXPECT_EQ(Get1IndResource(kText, 1), h);
    EXPECT_EQ(GetHandleSize(h), 0);

    LoadResource(h);
    EXPECT_EQ(ResError(), noErr);
    EXPECT_EQ(contents(h), "contents");

    ReleaseResource(h);
    h = GetResource(kText, 7);
    EXPECT_EQ(GetHandleSize(h), 0);
    SetResLoad(true);
    EXPECT_EQ(GetResource(kText, 7), h) << "loading fills the handle given out before";
    EXPECT_EQ(contents(h), "contents");
}

TEST_F(Resources, GetIndString)
{
    open_new("older", {{kStringListType, 200, "", make_string_list({"from the older file"})}});
    const std::string list = make_string_list({"one", "", "three", std::string(300, 'x')});
    open_new("strings", {
                            {kStringListType, 128, "", list},
                            {kStringListType, 1, "count past the data", std::string("\x00\x03\x03one\x00", 6)},
                            {kStringListType, 2, "length past the data", std::string("\x00\x02\x03one\x09two", 10)},
                            {kStringListType, 3, "no count", std::string("\x05", 1)},
                            {kStringListType, 4, "empty", ""},
                        });
    struct Case {
        short list_id, index;
        std::optional<std::string> expected;  // nullopt: no such string
    };
    const Case cases[] = {
        {128, 1, "one"},
        {128, 2, ""},
        {128, 3, "three"},
        {128, 4, std::string(255, 'x')},  // cut when the list was made
        {128, 0, std::nullopt},
        {128, 5, std::nullopt},
        {128, -1, std::nullopt},
        {129, 1, std::nullopt},  // no such list
        {200, 1, "from the older file"},
        {1, 1, "one"},
        {1, 2, std::nullopt},
        {1, 3, std::nullopt},
        {2, 1, "one"},
        {2, 2, std::nullopt},
        {3, 1, std::nullopt},
        {4, 1, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "list " << c.list_id << " index " << c.index);
        unsigned char buffer[256];
        std::fill(std::begin(buffer), std::end(buffer), 0xEE);
        GetIndString(buffer, c.list_id, c.index);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer) + 1, buffer[0]), c.expected.value_or(""));
        EXPECT_EQ(ResError(), c.expected ? noErr : resNotFound);
    }
}

TEST_F(Resources, MalformedFilesAreRefusedWhole)
{
    const std::string good_entry = entry("TEXT", 1, "nm", "data");
    struct Case {
        const char *what;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"short header", "KRES" + le16(1)},
        {"wrong magic", "KRSE" + le16(1) + le16(0) + le32(0)},
        {"newer version", "KRES" + le16(2) + le16(0) + le32(0)},
        {"unknown flags", "KRES" + le16(1) + le16(1) + le32(0)},
        {"count above the entries", header(2) + good_entry},
        {"count far above the bytes", header(0xFFFFFFFF) + good_entry},
        {"count below the entries", header(0) + good_entry},
        {"trailing byte", header(1) + good_entry + "x"},
        {"name past the end", header(1) + "TEXT" + le16(1) + "\x09" + "ab"},
        {"data past the end", header(1) + "TEXT" + le16(1) + std::string(1, '\0') + le32(5) + "abcd"},
        {"data length 4 GiB", header(1) + "TEXT" + le16(1) + std::string(1, '\0') + le32(0xFFFFFFFF) + "abcd"},
        {"duplicate type and id", header(2) + good_entry + entry("TEXT", 1, "", "other")},
    };
    const short before = open_new("valid", {{kText, 1, "", "valid"}});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(path("bad"), c.bytes);
        EXPECT_EQ(OpenResFile(path("bad")), -1);
        EXPECT_EQ(ResError(), mapReadErr);
        EXPECT_EQ(CurResFile(), before);
    }
    // The hand-built pieces do make a valid file when put together right.
    write_bytes(path("hand-built"), header(2) + good_entry + entry("TEXT", 2, "", "other"));
    open("hand-built");
    EXPECT_EQ(Count1Resources(kText), 2);
}

TEST_F(Resources, EveryTruncationAndCorruptionIsHandledSafely)
{
    ASSERT_TRUE(write_resource_file(path("good"), {{kText, 1, "one", "first"},
                                                   {kData, -5, "", std::string("\0\1\2", 3)},
                                                   {kStringListType, 9, "list", make_string_list({"a", "bc"})}}));
    const std::string good = read_bytes(path("good"));
    for (std::size_t length = 0; length < good.size(); ++length) {
        write_bytes(path("cut"), good.substr(0, length));
        EXPECT_EQ(OpenResFile(path("cut")), -1) << "accepted a file cut to " << length << " bytes";
        EXPECT_EQ(ResError(), mapReadErr);
    }
    // A flipped byte is either refused or read as some well-formed file.
    for (std::size_t at = 0; at < good.size(); ++at) {
        std::string bent = good;
        bent[at] = static_cast<char>(bent[at] ^ 0x5A);
        write_bytes(path("bent"), bent);
        const short ref = OpenResFile(path("bent"));
        if (ref < 0) continue;
        for (short t = 1; t <= Count1Types(); ++t) {
            ResType type = 0;
            Get1IndType(&type, t);
            for (short i = 1; i <= Count1Resources(type); ++i) EXPECT_NE(Get1IndResource(type, i), nullptr);
        }
        unsigned char buffer[256];
        GetIndString(buffer, 9, 2);
        CloseResFile(ref);
    }
}

TEST_F(Resources, OpenReportsWhatWentWrong)
{
    struct Case {
        std::string path;
        short error;
    };
    fs::create_directories(dir_ / "folder");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const Case cases[] = {
        {path("missing"), fnfErr},
        {path("missing-folder/file"), fnfErr},
        {path("folder"), ioErr},
        {path("fifo"), ioErr},  // refused at once, without waiting for a writer
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(OpenResFile(c.path), -1);
        EXPECT_EQ(ResError(), c.error);
    }
}

TEST_F(Resources, EmptyFileIsValid)
{
    open_new("empty", {});
    EXPECT_EQ(Count1Types(), 0);
    EXPECT_EQ(Count1Resources(kText), 0);
    EXPECT_EQ(Get1IndResource(kText, 1), nullptr);
}

TEST_F(Resources, WriterRefusesWhatCannotBeReadBack)
{
    write_bytes(path("existing"), "old contents");
    struct Case {
        const char *what;
        std::vector<ResourceEntry> entries;
    };
    const Case cases[] = {
        {"duplicate type and id", {{kText, 1, "", "a"}, {kText, 1, "", "b"}}},
        {"name over 255 characters", {{kText, 1, std::string(256, 'n'), ""}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(write_resource_file(path("existing"), c.entries));
        EXPECT_EQ(read_bytes(path("existing")), "old contents");
    }
    // The same type under two ids, and two types under one id, are fine.
    EXPECT_TRUE(write_resource_file(path("ok"), {{kText, 1, "", ""}, {kText, 2, "", ""}, {kData, 1, "", ""}}));
    EXPECT_FALSE(write_resource_file(path("no-such-folder/file"), {}));
}

TEST_F(Resources, FailedWriteLeavesTheOldFile)
{
    const std::vector<ResourceEntry> old_entries = {{kText, 1, "", "the old file"}};
    ASSERT_TRUE(write_resource_file(path("target"), old_entries));
    const std::string old_bytes = read_bytes(path("target"));
    const std::vector<ResourceEntry> new_entries = {{kText, 1, "", std::string(5000, 'n')}, {kData, 2, "", "x"}};

    for (long fail_after : {0L, 1L, 12L, 2500L, 5020L}) {
        SCOPED_TRACE(fail_after);
        resources_fail_write_after(fail_after);
        EXPECT_FALSE(write_resource_file(path("target"), new_entries));
        EXPECT_EQ(read_bytes(path("target")), old_bytes);
        std::vector<std::string> names;
        for (const auto &f : fs::directory_iterator(dir_)) names.push_back(f.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"target"}) << "a temporary file was left behind";
    }

    // The failure was for one write only.
    ASSERT_TRUE(write_resource_file(path("target"), new_entries));
    open("target");
    EXPECT_EQ(contents(GetResource(kData, 2)), "x");
}

TEST_F(Resources, OpenFileIsUnaffectedByRewritingIt)
{
    open_new("live", {{kText, 1, "", "before"}});
    ASSERT_TRUE(write_resource_file(path("live"), {{kText, 1, "", "after"}}));
    EXPECT_EQ(contents(GetResource(kText, 1)), "before");
}

TEST(ResourceTypes, NamesRoundTrip)
{
    for (const char *name : {"TEXT", "STR#", "ICN#", "    ", "a\xA5z!"}) {
        ResType type = 0;
        for (int i = 0; i < 4; ++i) type = type << 8 | static_cast<unsigned char>(name[i]);
        EXPECT_EQ(res_type_name(type), std::string(name, 4));
    }
}

TEST(StringLists, MakeStringListLayout)
{
    EXPECT_EQ(make_string_list({}), std::string("\0\0", 2));
    EXPECT_EQ(make_string_list({"ab", ""}), std::string("\0\x02\x02"
                                                        "ab\x00",
                                                        6));
    EXPECT_EQ(make_string_list({std::string(256, 'z')}).size(), 2u + 1u + 255u);
}

}  // namespace
}  // namespace kel::toolbox
