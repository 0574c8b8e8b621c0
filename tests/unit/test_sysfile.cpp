// File handles: plain files, regions and memory files; positions and their
// clamping, sizes, whole-file reads, copying, line-break conversion, and what
// closing does with memory and owners.
#include "kel/sysfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "kel/classes.h"
#include "kel/memory.h"
#include "kernel/core/memory.h"
#include "kernel/files/sysfile.h"
#include "memory_pressure.h"
#include "platform/handles.h"
#include "platform/resources.h"
#include "temp_dir.h"

namespace {

using kel::test::temp_dir;

void put_file(const std::string &name, const std::string &bytes)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string get_file(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

kel_handle handle_of(const std::string &bytes)
{
    kel_handle h = sysmem_newhandle(static_cast<long>(bytes.size()));
    if (!bytes.empty()) std::memcpy(*h, bytes.data(), bytes.size());
    return h;
}

std::string text_of(kel_handle h) { return std::string(*h, static_cast<size_t>(sysmem_handlesize(h))); }

// Bytes that show where they came from: byte i is 'a' + i % 26.
std::string pattern(size_t n)
{
    std::string s(n, ' ');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

// The line-break conversion written the obvious way, to compare with.
std::string convert_breaks(const std::string &in, const std::string &brk)
{
    std::string out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] == '\r') {
            out += brk;
            if (i + 1 < in.size() && in[i + 1] == '\n') i++;
        } else if (in[i] == '\n') {
            out += brk;
        } else {
            out += in[i];
        }
    }
    return out;
}

class Sysfile : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()) << "no temporary folder"; }

    // A plain file with these bytes, open for reading and writing.
    sysfile *open_plain(const std::string &name, const std::string &bytes)
    {
        put_file(dir.file(name), bytes);
        return sysfile_open_os(::open(dir.file(name).c_str(), O_RDWR));
    }
    // A region of length bytes at base inside a file of these bytes.
    sysfile *open_region(const std::string &name, const std::string &bytes, long base, long length)
    {
        put_file(dir.file(name), bytes);
        return sysfile_open_region(::open(dir.file(name).c_str(), O_RDWR), base, length);
    }

    temp_dir dir;
};

// --- opening ---

TEST_F(Sysfile, OpeningRefusesDescriptorsAndWindowsThatCannotBe)
{
    EXPECT_EQ(sysfile_open_os(-1), nullptr);
    int fd = ::open(dir.file("x").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(sysfile_open_os(fd), nullptr) << "a closed descriptor";

    struct {
        long base, length;
    } bad[] = {{-1, 5}, {0, -1}, {LONG_MAX, 1}};
    for (auto b : bad) {
        fd = ::open(dir.file("x").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(sysfile_open_region(fd, b.base, b.length), nullptr) << b.base << " " << b.length;
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the refused region still closed the descriptor it took";
    }
}

// --- positions ---

struct setpos_case {
    const char *what;
    long start;  // position before the call
    long mode;
    long offset;
    long expected;
    long result;
};

// Memory files and regions of length 10 keep every position within 0 .. 10.
const setpos_case setpos_cases[] = {
    {"from the start", 0, SYSFILE_FROM_START, 4, 4, 0},
    {"from the start, past the end", 3, SYSFILE_FROM_START, 25, 10, 0},
    {"from the start, negative", 3, SYSFILE_FROM_START, -3, 0, 0},
    {"from the end", 0, SYSFILE_FROM_END, -3, 7, 0},
    {"from the end, before the start", 5, SYSFILE_FROM_END, -25, 0, 0},
    {"from the end, forwards counts as 0", 0, SYSFILE_FROM_END, 5, 10, 0},
    {"from the end, the least offset", 0, SYSFILE_FROM_END, LONG_MIN, 0, 0},
    {"from the current position", 4, SYSFILE_FROM_CURRENT, 3, 7, 0},
    {"from the current position, past the end", 4, SYSFILE_FROM_CURRENT, 20, 10, 0},
    {"from the current position, before the start", 4, SYSFILE_FROM_CURRENT, -20, 0, 0},
    {"from the current position, the greatest offset", 4, SYSFILE_FROM_CURRENT, LONG_MAX, 10, 0},
    {"from the current position, the least offset", 4, SYSFILE_FROM_CURRENT, LONG_MIN, 0, 0},
    {"back from the end", 10, SYSFILE_FROM_CURRENT, -3, 7, 0},
    {"on from the end", 10, SYSFILE_FROM_CURRENT, 1, 10, 0},
    {"mode 0 does nothing", 4, SYSFILE_POS_NONE, 7, 4, 0},
    {"an unknown mode is refused", 4, 9, 1, 4, -1},
};

TEST_F(Sysfile, SetposClampsMemoryFilesAndRegions)
{
    const std::string digits = "0123456789";
    for (const setpos_case &c : setpos_cases) {
        for (bool region : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (region ? " (region)" : " (memory)"));
            std::string memory = digits;
            sysfile *f = nullptr;
            if (region)
                f = open_region("r", "abcde" + digits + "fghij", 5, 10);
            else
                ASSERT_EQ(sysfile_openptrsize(memory.data(), 10, 0, &f), 0);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, c.start), 0);
            EXPECT_EQ(sysfile_setpos(f, c.mode, c.offset), c.result);
            long at = -1;
            EXPECT_EQ(sysfile_getpos(f, &at), 0);
            EXPECT_EQ(at, c.expected);
            // The next read starts there: within the window, never beside it.
            char byte = 0;
            long n = 1;
            long err = sysfile_read(f, &n, &byte);
            if (c.expected < 10) {
                EXPECT_EQ(err, 0);
                EXPECT_EQ(n, 1);
                EXPECT_EQ(byte, digits[static_cast<size_t>(c.expected)]);
            } else {
                EXPECT_EQ(err, region ? SYSFILE_ERR_EOF : 0);
                EXPECT_EQ(n, 0);
            }
            EXPECT_EQ(sysfile_close(f), 0);
        }
    }
}

TEST_F(Sysfile, SetposOnPlainFilesSeeksLikeTheSystemWithSixtyFourBitPositions)
{
    sysfile *f = open_plain("p", "0123456789");
    ASSERT_NE(f, nullptr);
    long at = 0;
    EXPECT_EQ(sysfile_setpos(f, SYSFILE_FROM_END, -3), 0);
    EXPECT_EQ(sysfile_getpos(f, &at), 0);
    EXPECT_EQ(at, 7);
    EXPECT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, 25), 0) << "past the end of a plain file is allowed";
    EXPECT_EQ(sysfile_getpos(f, &at), 0);
    EXPECT_EQ(at, 25);
    EXPECT_EQ(sysfile_setpos(f, SYSFILE_FROM_CURRENT, -100), EINVAL);
    EXPECT_EQ(sysfile_getpos(f, &at), 0);
    EXPECT_EQ(at, 25) << "a refused seek leaves the position";

    // Beyond 4 GiB (a sparse file): positions and sizes are not cut to 32 bits.
    const long far = 5'000'000'000L;
    EXPECT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, far), 0);
    EXPECT_EQ(sysfile_getpos(f, &at), 0);
    EXPECT_EQ(at, far);
    if (sysfile_seteof(f, far + 1) == 0) {
        long size = 0;
        EXPECT_EQ(sysfile_geteof(f, &size), 0);
        EXPECT_EQ(size, far + 1);
    }
    EXPECT_EQ(sysfile_close(f), 0);
}

// --- reading and writing ---

TEST_F(Sysfile, ReadStopsAtTheEndOfEachKindOfFile)
{
    std::string digits = "0123456789";
    sysfile *region = open_region("r", "abcde" + digits + "fghij", 5, 10);
    sysfile *plain = open_plain("p", digits);
    sysfile *memory = nullptr;
    ASSERT_EQ(sysfile_openptrsize(digits.data(), 10, 0, &memory), 0);
    ASSERT_TRUE(region && plain && memory);

    struct {
        sysfile *f;
        const char *what;
        long end_result;  // reading at the end
    } kinds[] = {{plain, "plain", 0}, {region, "region", SYSFILE_ERR_EOF}, {memory, "memory", 0}};
    for (auto &k : kinds) {
        SCOPED_TRACE(k.what);
        char buf[32] = {};
        long n = 4;
        EXPECT_EQ(sysfile_read(k.f, &n, buf), 0);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "0123");
        n = 100;
        EXPECT_EQ(sysfile_read(k.f, &n, buf), 0);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "456789") << "the rest, and not a byte more";
        n = 100;
        EXPECT_EQ(sysfile_read(k.f, &n, buf), k.end_result);
        EXPECT_EQ(n, 0);
        n = 0;
        EXPECT_EQ(sysfile_read(k.f, &n, buf), k.end_result) << "a region at its end says so even for 0 bytes";
        long size = 0;
        EXPECT_EQ(sysfile_geteof(k.f, &size), 0);
        EXPECT_EQ(size, 10);
        n = 5;
        EXPECT_EQ(sysfile_read(k.f, &n, nullptr), k.end_result == 0 ? -1 : SYSFILE_ERR_EOF);
        EXPECT_EQ(sysfile_close(k.f), 0);
    }
}

TEST_F(Sysfile, WritesKeepOutOfMemoryAndInsideRegions)
{
    std::string digits = "0123456789";
    sysfile *memory = nullptr;
    ASSERT_EQ(sysfile_openptrsize(digits.data(), 10, 0, &memory), 0);
    long n = 3;
    EXPECT_EQ(sysfile_write(memory, &n, "XYZ"), EBADF);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(digits, "0123456789");
    sysfile_close(memory);

    // A region's neighbours in the same file are never written.
    sysfile *region = open_region("r", "abcde0123456789fghij", 5, 10);
    ASSERT_NE(region, nullptr);
    ASSERT_EQ(sysfile_setpos(region, SYSFILE_FROM_START, 8), 0);
    n = 5;
    EXPECT_EQ(sysfile_write(region, &n, "XXXXX"), 0);
    EXPECT_EQ(n, 2);
    n = 5;
    EXPECT_EQ(sysfile_write(region, &n, "YYYYY"), SYSFILE_ERR_EOF);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(sysfile_seteof(region, 3), -1) << "cutting the file under a region would take what follows";
    sysfile_close(region);
    EXPECT_EQ(get_file(dir.file("r")), "abcde01234567XXfghij");

    sysfile *plain = open_plain("p", "");
    ASSERT_NE(plain, nullptr);
    n = 5;
    EXPECT_EQ(sysfile_write(plain, &n, "hello"), 0);
    EXPECT_EQ(n, 5);
    sysfile_close(plain);
    EXPECT_EQ(get_file(dir.file("p")), "hello");
}

TEST_F(Sysfile, SeteofCutsPlainFilesAndMovesTheEndOfMemory)
{
    sysfile *plain = open_plain("p", "0123456789");
    ASSERT_NE(plain, nullptr);
    long at = 0, size = 0;
    EXPECT_EQ(sysfile_seteof(plain, 4), 0);
    EXPECT_EQ(sysfile_getpos(plain, &at), 0);
    EXPECT_EQ(at, 4);
    EXPECT_EQ(get_file(dir.file("p")), "0123");
    EXPECT_EQ(sysfile_seteof(plain, 6), 0);
    EXPECT_EQ(get_file(dir.file("p")), std::string("0123\0\0", 6));
    EXPECT_EQ(sysfile_seteof(plain, -1), EINVAL);
    sysfile_close(plain);

    struct {
        const char *what;
        long position;  // before
        long size;
        long result;
        long length;  // after
        long position_after;
    } cases[] = {
        {"beyond the block", 8, 11, -1, 10, 8},
        {"negative", 8, -1, -1, 10, 8},
        {"shorter, the position pulled back", 8, 5, 0, 5, 5},
        {"shorter, the position kept", 3, 5, 0, 5, 3},
        {"the whole block", 3, 10, 0, 10, 3},
        {"empty", 3, 0, 0, 0, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string digits = "0123456789";
        kel_handle h = handle_of(digits);
        sysfile *viaptr = nullptr, *viahandle = nullptr;
        ASSERT_EQ(sysfile_openptrsize(digits.data(), 10, 0, &viaptr), 0);
        ASSERT_EQ(sysfile_openhandle(h, 0, &viahandle), 0);
        for (sysfile *f : {viaptr, viahandle}) {
            ASSERT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, c.position), 0);
            EXPECT_EQ(sysfile_seteof(f, c.size), c.result);
            EXPECT_EQ(sysfile_geteof(f, &size), 0);
            EXPECT_EQ(size, c.length);
            EXPECT_EQ(sysfile_getpos(f, &at), 0);
            EXPECT_EQ(at, c.position_after);
            char buf[16];
            long n = 16;
            EXPECT_EQ(sysfile_read(f, &n, buf), 0);
            EXPECT_EQ(n, c.length - c.position_after) << "reads end at the new length";
            sysfile_close(f);
        }
        sysmem_freehandle(h);
    }
}

TEST_F(Sysfile, MemoryReadsFollowABorrowedHandleThatShrank)
{
    kel_handle h = handle_of("0123456789");
    sysfile *f = nullptr;
    ASSERT_EQ(sysfile_openhandle(h, 0, &f), 0);
    ASSERT_EQ(sysmem_resizehandle(h, 4), 0);
    char buf[16];
    long n = 16;
    EXPECT_EQ(sysfile_read(f, &n, buf), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "0123") << "never past the block the owner left";
    EXPECT_EQ(sysfile_seteof(f, 6), -1);
    sysfile_close(f);
    sysmem_freehandle(h);
}

// --- whole files ---

TEST_F(Sysfile, ReadtohandleAndReadtoptrReadTheWholeFileWhateverThePosition)
{
    const std::string big = pattern(3000);
    struct {
        const char *what;
        std::string bytes;
        long base, length;  // length -1: a plain file
        long position;
        std::string expected;
    } cases[] = {
        {"plain, positioned inside", big, 0, -1, 1700, big},
        {"plain, empty", "", 0, -1, 0, ""},
        {"region", big, 100, 50, 20, big.substr(100, 50)},
        {"region at the end of its file", big, 2990, 10, 10, big.substr(2990)},
        {"region, empty", big, 100, 0, 0, ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (bool to_pointer : {false, true}) {
            sysfile *f = c.length < 0 ? open_plain("w", c.bytes) : open_region("w", c.bytes, c.base, c.length);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, c.position), 0);
            if (to_pointer) {
                char *p = nullptr;
                ASSERT_EQ(sysfile_readtoptr(f, &p), 0);
                ASSERT_NE(p, nullptr);
                EXPECT_EQ(std::string(p, c.expected.size()), c.expected);
                sysmem_freeptr(p);
            } else {
                kel_handle h = nullptr;
                ASSERT_EQ(sysfile_readtohandle(f, &h), 0);
                ASSERT_NE(h, nullptr);
                EXPECT_EQ(text_of(h), c.expected);
                sysmem_freehandle(h);
            }
            sysfile_close(f);
        }
    }

    // Memory: its length, not its block.
    std::string digits = "0123456789";
    sysfile *m = nullptr;
    ASSERT_EQ(sysfile_openptrsize(digits.data(), 10, 0, &m), 0);
    ASSERT_EQ(sysfile_seteof(m, 6), 0);
    kel_handle h = nullptr;
    ASSERT_EQ(sysfile_readtohandle(m, &h), 0);
    EXPECT_EQ(text_of(h), "012345");
    sysmem_freehandle(h);
    sysfile_close(m);
}

TEST_F(Sysfile, ReadtohandleWithoutMemoryAnswersMinusOne)
{
    sysfile *f = open_plain("p", pattern(100));
    ASSERT_NE(f, nullptr);
    kel_handle h = reinterpret_cast<kel_handle>(&h);
    char *p = reinterpret_cast<char *>(&p);
    {
        kel::test::memory_exhausted exhausted;
        EXPECT_EQ(sysfile_readtohandle(f, &h), -1);
        EXPECT_EQ(sysfile_readtoptr(f, &p), -1);
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(p, nullptr);
    sysfile_close(f);
}

TEST_F(Sysfile, SpoolcopyCopiesInChunks)
{
    const std::string src_bytes = pattern(3000);
    struct {
        const char *what;
        bool region;    // the source is bytes 500 .. 2499 of the file
        long position;  // of the source before the copy
        long count;
        long result;
        std::string expected;
    } cases[] = {
        {"count 0: the whole file from its start", false, 1000, 0, 0, src_bytes},
        {"a count from the current position", false, 100, 1500, 0, src_bytes.substr(100, 1500)},
        {"more than there is", false, 0, 5000, SYSFILE_ERR_EOF, src_bytes},
        {"a whole region", true, 700, 0, 0, src_bytes.substr(500, 2000)},
        {"past a region's end", true, 1500, 1000, SYSFILE_ERR_EOF, src_bytes.substr(2000, 500)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        sysfile *src = c.region ? open_region("src", src_bytes, 500, 2000) : open_plain("src", src_bytes);
        sysfile *dst = open_plain("dst", "");
        ASSERT_TRUE(src && dst);
        ASSERT_EQ(sysfile_setpos(src, SYSFILE_FROM_START, c.position), 0);
        EXPECT_EQ(sysfile_spoolcopy(src, dst, c.count), c.result);
        sysfile_close(src);
        sysfile_close(dst);
        EXPECT_EQ(get_file(dir.file("dst")), c.expected);
    }
    EXPECT_EQ(sysfile_spoolcopy(nullptr, nullptr, 0), -1);
}

// --- text ---

struct text_case {
    long flags;
    const char *expected;
};

// "a CR LF b CR c LF d LF CR e CR": every CR, LF and CR LF becomes one break;
// LF CR is two.
const char text_in[] = "a\r\nb\rc\nd\n\re\r";
const text_case text_read_cases[] = {
    {0, "a\r\nb\rc\nd\n\re\r"},
    {SYSFILE_TEXT_NATIVE, "a\nb\nc\nd\n\ne\n"},
    {SYSFILE_TEXT_CR, "a\rb\rc\rd\r\re\r"},
    {SYSFILE_TEXT_CRLF, "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n"},
    {SYSFILE_TEXT_LF, "a\nb\nc\nd\n\ne\n"},
    {SYSFILE_TEXT_CR | SYSFILE_TEXT_LF, "a\rb\rc\rd\r\re\r"},
    {SYSFILE_TEXT_NATIVE | SYSFILE_TEXT_CRLF, "a\nb\nc\nd\n\ne\n"},
    {16, "a\r\nb\rc\nd\n\re\r"},
};

TEST_F(Sysfile, ReadtextfileConvertsLineBreaksByFlag)
{
    for (const text_case &c : text_read_cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        sysfile *f = open_plain("t", text_in);
        ASSERT_NE(f, nullptr);
        kel_handle h = sysmem_newhandle(0);
        EXPECT_EQ(sysfile_readtextfile(f, h, 0, c.flags), 0);
        EXPECT_EQ(text_of(h), c.expected);
        sysmem_freehandle(h);
        sysfile_close(f);
    }
}

TEST_F(Sysfile, ReadtextfileKeepsACrLfPairSplitBetweenChunksOneBreak)
{
    const std::string x(1023, 'x');
    struct {
        const char *what;
        std::string in;
        long flags;
        std::string expected;
    } cases[] = {
        {"CR LF across the chunk boundary, to LF", x + "\r\ny", SYSFILE_TEXT_LF, x + "\ny"},
        {"CR LF across the chunk boundary, to CR LF", x + "\r\ny", SYSFILE_TEXT_CRLF, x + "\r\ny"},
        {"CR at a chunk's end, then text", x + "\rz", SYSFILE_TEXT_LF, x + "\nz"},
        {"CR at a chunk's end, then CR", x + "\r\r", SYSFILE_TEXT_LF, x + "\n\n"},
        {"LF opening a chunk", x + "x\ny", SYSFILE_TEXT_CR, x + "x\ry"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        sysfile *f = open_plain("t", c.in);
        ASSERT_NE(f, nullptr);
        kel_handle h = sysmem_newhandle(0);
        EXPECT_EQ(sysfile_readtextfile(f, h, 0, c.flags), 0);
        EXPECT_EQ(text_of(h), c.expected);
        sysmem_freehandle(h);
        sysfile_close(f);
    }
}

TEST_F(Sysfile, ReadtextfileGrowsTheHandleAndRestoresItsLock)
{
    // Mostly breaks, so that two-byte breaks double the text.
    std::mt19937 rng(7);
    std::string in;
    const char alphabet[] = "\n\n\n\r\r\nab";
    for (int i = 0; i < 20000; i++) in += alphabet[rng() % 8];
    for (bool locked : {false, true}) {
        for (long flags : {long{SYSFILE_TEXT_CRLF}, long{SYSFILE_TEXT_LF}, 0L}) {
            SCOPED_TRACE(std::string(locked ? "locked" : "unlocked") + ", flags " + std::to_string(flags));
            sysfile *f = open_plain("t", in);
            ASSERT_NE(f, nullptr);
            kel_handle h = sysmem_newhandle(16);
            if (locked) sysmem_lockhandle(h, 1);
            EXPECT_EQ(sysfile_readtextfile(f, h, 0, flags), 0);
            std::string expected = flags == SYSFILE_TEXT_CRLF ? convert_breaks(in, "\r\n")
                                   : flags == SYSFILE_TEXT_LF ? convert_breaks(in, "\n")
                                                              : in;
            EXPECT_EQ(text_of(h), expected);
            EXPECT_EQ(kel::toolbox::HIsLocked(h), locked);
            sysmem_lockhandle(h, 0);
            sysmem_freehandle(h);
            sysfile_close(f);
        }
    }
}

TEST_F(Sysfile, ReadtextfileReadsAtMostTheMaximumFromTheCurrentPosition)
{
    struct {
        const char *what;
        long position;
        long maximum;
        std::string expected;
    } cases[] = {
        {"a maximum", 0, 5, "a\nb\n"},
        {"a maximum larger than the file", 0, 100, "a\nb\nc\nd\n"},
        {"a negative maximum: the whole file", 0, -1, "a\nb\nc\nd\n"},
        {"from inside the file", 6, 0, "c\nd\n"},
        {"from inside a pair: its LF is a break", 5, 0, "\nc\nd\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        sysfile *f = open_plain("t", "a\r\nb\r\nc\r\nd\r\n");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, c.position), 0);
        kel_handle h = sysmem_newhandle(0);
        EXPECT_EQ(sysfile_readtextfile(f, h, c.maximum, SYSFILE_TEXT_LF), 0);
        EXPECT_EQ(text_of(h), c.expected);
        sysmem_freehandle(h);
        sysfile_close(f);
    }

    // A region gives its own text only; memory too.
    sysfile *r = open_region("r", "xx\r\nab\r\ncd\r\nyy", 2, 10);
    ASSERT_NE(r, nullptr);
    kel_handle h = sysmem_newhandle(0);
    EXPECT_EQ(sysfile_readtextfile(r, h, 0, SYSFILE_TEXT_CR), 0);
    EXPECT_EQ(text_of(h), "\rab\rcd\r");
    sysfile_close(r);
    std::string memory = "1\n2\r\n3";
    sysfile *m = nullptr;
    ASSERT_EQ(sysfile_openptrsize(memory.data(), static_cast<long>(memory.size()), 0, &m), 0);
    EXPECT_EQ(sysfile_readtextfile(m, h, 0, SYSFILE_TEXT_CRLF), 0);
    EXPECT_EQ(text_of(h), "1\r\n2\r\n3");
    sysfile_close(m);
    sysmem_freehandle(h);
}

TEST_F(Sysfile, ReadtextfileWithoutMemoryToGrowAnswersMinusOne)
{
    sysfile *f = open_plain("t", std::string(3000, '\n'));
    ASSERT_NE(f, nullptr);
    kel_handle h = sysmem_newhandle(0);
    kel::memory_fail_after(2);  // the first resize works, growing does not
    long err = sysfile_readtextfile(f, h, 0, SYSFILE_TEXT_CRLF);
    kel::memory_fail_after(-1);
    EXPECT_EQ(err, -1);
    // The first chunk fitted in the handle as first sized; it is kept, whole.
    EXPECT_EQ(text_of(h), convert_breaks(std::string(1024, '\n'), "\r\n"));
    sysmem_freehandle(h);
    sysfile_close(f);
}

TEST_F(Sysfile, WritetextfileConvertsBreaksAndLeavesOutAFinalNul)
{
    struct {
        const char *what;
        std::string text;  // the handle's bytes
        long flags;
        std::string expected;
    } cases[] = {
        {"as it is", "a\r\nb\rc\n", 0, "a\r\nb\rc\n"},
        {"as it is, less the final NUL", std::string("abc\0", 4), 0, "abc"},
        {"only the last NUL goes", std::string("a\0b\0\0", 5), 0, std::string("a\0b\0", 4)},
        {"native", "a\r\nb\rc\n", SYSFILE_TEXT_NATIVE, "a\nb\nc\n"},
        {"CR", "a\r\nb\rc\n", SYSFILE_TEXT_CR, "a\rb\rc\r"},
        {"CR LF, less the final NUL", std::string("a\r\nb\rc\n\0", 8), SYSFILE_TEXT_CRLF, "a\r\nb\r\nc\r\n"},
        {"LF", "a\r\nb\rc\n\n\r", SYSFILE_TEXT_LF, "a\nb\nc\n\n\n"},
        {"empty", "", SYSFILE_TEXT_LF, ""},
        {"only a NUL", std::string(1, '\0'), SYSFILE_TEXT_LF, ""},
        {"pairs across output chunks", std::string(2000, '\n'), SYSFILE_TEXT_CRLF,
         convert_breaks(std::string(2000, '\n'), "\r\n")},
        {"CR LF across input pieces", std::string(511, 'x') + "\r\n" + std::string(600, 'y'), SYSFILE_TEXT_LF,
         std::string(511, 'x') + "\n" + std::string(600, 'y')},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        // A longer file before: the text replaces it completely.
        sysfile *f = open_plain("t", std::string(5000, '#'));
        ASSERT_NE(f, nullptr);
        kel_handle h = handle_of(c.text);
        EXPECT_EQ(sysfile_writetextfile(f, h, c.flags), 0);
        long at = 0;
        EXPECT_EQ(sysfile_getpos(f, &at), 0);
        EXPECT_EQ(at, static_cast<long>(c.expected.size()));
        sysfile_close(f);
        EXPECT_EQ(get_file(dir.file("t")), c.expected);
        EXPECT_EQ(text_of(h), c.text) << "the handle is left as it was";
        sysmem_freehandle(h);
    }
}

TEST_F(Sysfile, WritetextfileCutsAtTheEndOfWhatItWrote)
{
    sysfile *f = open_plain("t", "0123456789");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, 3), 0);
    kel_handle h = handle_of("ab\n");
    EXPECT_EQ(sysfile_writetextfile(f, h, SYSFILE_TEXT_CRLF), 0);
    sysfile_close(f);
    EXPECT_EQ(get_file(dir.file("t")), "012ab\r\n");

    std::string memory = "0123456789";
    sysfile *m = nullptr;
    ASSERT_EQ(sysfile_openptrsize(memory.data(), 10, 0, &m), 0);
    EXPECT_EQ(sysfile_writetextfile(m, h, 0), EBADF);
    long size = 0;
    EXPECT_EQ(sysfile_geteof(m, &size), 0);
    EXPECT_EQ(size, 10);
    sysfile_close(m);
    sysmem_freehandle(h);
}

TEST_F(Sysfile, TextSurvivesAWriteAndReadRoundTrip)
{
    const std::string text = "first\nsecond\r\nthird\rlast";
    kel_handle h = handle_of(text);
    sysfile *f = open_plain("t", "");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(sysfile_writetextfile(f, h, SYSFILE_TEXT_CRLF), 0);
    ASSERT_EQ(sysfile_setpos(f, SYSFILE_FROM_START, 0), 0);
    EXPECT_EQ(sysfile_readtextfile(f, h, 0, SYSFILE_TEXT_LF), 0);
    EXPECT_EQ(text_of(h), "first\nsecond\nthird\nlast");
    sysfile_close(f);
    sysmem_freehandle(h);
}

// --- memory files and closing ---

TEST_F(Sysfile, OpenhandleNeverFreesTheBlock)
{
    for (long flags : {0L, 0x40L, 0x21L}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        kel_handle h = handle_of("0123456789");
        sysfile *f = nullptr;
        ASSERT_EQ(sysfile_openhandle(h, flags, &f), 0);
        char buf[4];
        long n = 4;
        EXPECT_EQ(sysfile_read(f, &n, buf), 0);
        EXPECT_EQ(std::string(buf, 4), "0123");
        EXPECT_EQ(sysfile_close(f), 0);
        // Still ours, whole: a free here would be a use after free (or a
        // double free below) under the sanitizers.
        EXPECT_EQ(text_of(h), "0123456789");
        sysmem_freehandle(h);
    }
    sysfile *f = reinterpret_cast<sysfile *>(&f);
    EXPECT_EQ(sysfile_openhandle(nullptr, 0, &f), -1);
    EXPECT_EQ(f, nullptr);
}

TEST_F(Sysfile, OpenptrsizeFreesItsHolderAndNeverThePointer)
{
    for (long flags : {0L, 0x20L, 0x4L, 0x25L}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        auto *p = static_cast<char *>(sysmem_newptr(10));
        std::memcpy(p, "0123456789", 10);
        kel::pool_totals before = kel::pool_totals_get();
        sysfile *f = nullptr;
        ASSERT_EQ(sysfile_openptrsize(p, 10, flags, &f), 0);
        EXPECT_EQ(sysfile_close(f), 0);
        kel::pool_totals after = kel::pool_totals_get();
        EXPECT_GT(after.handed_out, before.handed_out);
        EXPECT_EQ(after.handed_out - before.handed_out, after.given_back - before.given_back)
            << "the record and the holder both went back to the pool";
        EXPECT_EQ(std::string(p, 10), "0123456789");
        sysmem_freeptr(p);
    }
    sysfile *f = nullptr;
    EXPECT_EQ(sysfile_openptrsize(nullptr, 5, 0, &f), -1);
    EXPECT_EQ(sysfile_openptrsize(nullptr, -1, 0, &f), -1);
    ASSERT_EQ(sysfile_openptrsize(nullptr, 0, 0, &f), 0) << "an empty memory file";
    char byte;
    long n = 1;
    EXPECT_EQ(sysfile_read(f, &n, &byte), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(sysfile_close(f), 0);
}

TEST_F(Sysfile, ClosingResourceMemoryReleasesTheResource)
{
    using namespace kel::toolbox;
    const std::string name = dir.file("res");
    ASSERT_TRUE(write_resource_file(name, {{res_type("TEXT"), 128, "", "resource text"}}));
    short ref = OpenResFile(name);
    ASSERT_GT(ref, 0);

    Handle h = GetResource(res_type("TEXT"), 128);
    ASSERT_NE(h, nullptr);
    sysfile *f = nullptr;
    ASSERT_EQ(sysfile_openhandle(h, 0, &f), 0);
    sysfile_close(f);
    EXPECT_EQ(GetResource(res_type("TEXT"), 128), h) << "borrowed: the file still holds the same resource";

    ASSERT_EQ(sysfile_openhandle(h, SYSFILE_MEMORY_RESOURCE, &f), 0);
    kel_handle copy = nullptr;
    ASSERT_EQ(sysfile_readtohandle(f, &copy), 0);
    EXPECT_EQ(text_of(copy), "resource text");
    sysmem_freehandle(copy);
    sysfile_close(f);  // released, not disposed: disposing a resource handle asserts
    Handle again = GetResource(res_type("TEXT"), 128);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(std::string(*again, static_cast<size_t>(GetHandleSize(again))), "resource text");
    CloseResFile(ref);
}

// An owner that counts its fclose messages.
struct owner {
    object header;
    long closes;
};

void *owner_fclose(owner *x)
{
    x->closes++;
    return nullptr;
}

kel_class *owner_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("sysfile_test_owner", nullptr, nullptr, sizeof(owner), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&owner_fclose), "fclose", ATYPE_CANT, 0);
        return k;
    }();
    return c;
}

TEST_F(Sysfile, CloseSendsFcloseToTheOwner)
{
    auto *x = static_cast<owner *>(object_alloc(owner_class()));
    ASSERT_NE(x, nullptr);
    x->closes = 0;

    sysfile *plain = open_plain("p", "data");
    std::string bytes = "data";
    sysfile *memory = nullptr;
    ASSERT_EQ(sysfile_openptrsize(bytes.data(), 4, 0, &memory), 0);
    sysfile *unowned = open_plain("q", "data");
    sysfile *cleared = open_plain("r", "data");
    ASSERT_TRUE(plain && memory && unowned && cleared);

    sysfile_setobject(plain, x);
    EXPECT_EQ(sysfile_close(plain), 0);
    EXPECT_EQ(x->closes, 1);
    sysfile_setobject(memory, x);
    EXPECT_EQ(sysfile_close(memory), 0);
    EXPECT_EQ(x->closes, 2);
    EXPECT_EQ(sysfile_close(unowned), 0);
    sysfile_setobject(cleared, x);
    sysfile_setobject(cleared, nullptr);
    EXPECT_EQ(sysfile_close(cleared), 0);
    EXPECT_EQ(x->closes, 2) << "no owner, no message";
    freeobject(x);

    EXPECT_EQ(sysfile_close(nullptr), -1);
}

TEST_F(Sysfile, CloseReleasesTheDescriptor)
{
    put_file(dir.file("p"), "x");
    int fd = ::open(dir.file("p").c_str(), O_RDONLY);
    sysfile *f = sysfile_open_os(fd);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(sysfile_close(f), 0);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

}  // namespace
