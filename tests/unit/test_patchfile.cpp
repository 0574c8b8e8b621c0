// Patcher files: the binary form byte by byte (integer and symbol-number
// forms, the per-file symbol table, names), round trips of both forms
// through real files, recognition by content, refusal of damaged files,
// safe replacement of the target on writing, evaluation straight from
// memory, and the box lines of the patcher writer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/files/path.h"
#include "kernel/text/binbuf.h"
#include "kernel/text/patchfile.h"
#include "platform/handles.h"

namespace {

using kel::test::check_failed_line;
using kel::test::console_capture;
using kel::test::error_line;
using kel::test::F;
using kel::test::L;
using kel::test::S;
using kel::test::warning_line;
using bytes = std::vector<unsigned char>;
using strings = std::vector<std::string>;

struct buffer_deleter {
    void operator()(binbuf *x) const { freeobject(x); }
};
using buffer_ptr = std::unique_ptr<binbuf, buffer_deleter>;

buffer_ptr new_buffer()
{
    buffer_ptr b(binbuf_new());
    EXPECT_NE(b, nullptr);
    return b;
}

atom typed_atom(short type, long v = 0, const char *name = nullptr)
{
    atom a;
    std::memset(&a, 0, sizeof a);
    a.type = type;
    if (name)
        a.word.w_sym = gensym(name);
    else
        a.word.w_long = static_cast<atom_long>(v);
    return a;
}
atom semi() { return typed_atom(ATYPE_SEMI); }
atom comma() { return typed_atom(ATYPE_COMMA); }
atom dollar(long n) { return typed_atom(ATYPE_DOLLAR, n); }
atom dollsym(const char *name) { return typed_atom(ATYPE_DOLLSYM, 0, name); }

std::vector<atom> atoms_of(binbuf *x)
{
    std::vector<atom> out;
    long index = 0, offset = 0;
    atom a;
    while (binbuf_getatom(x, &index, &offset, &a) == 0) out.push_back(a);
    return out;
}

buffer_ptr buffer_of(const std::vector<atom> &atoms)
{
    buffer_ptr b = new_buffer();
    EXPECT_TRUE(kel::patchfile_append(b.get(), atoms.data(), static_cast<long>(atoms.size())));
    return b;
}

// Atoms compared by type and value (symbols by pointer, floats by bits).
std::string describe(const std::vector<atom> &atoms)
{
    std::string out;
    for (const atom &a : atoms) {
        char text[64];
        switch (a.type) {
        case ATYPE_SYM:
        case ATYPE_DOLLSYM:
            out.append(std::to_string(a.type)).append(1, ':').append(a.word.w_sym->name).append(1, ' ');
            continue;
        case ATYPE_FLOAT: {
            uint32_t bits;
            std::memcpy(&bits, &a.word.w_float, sizeof bits);
            std::snprintf(text, sizeof text, "f:%08x ", bits);
            break;
        }
        default:
            std::snprintf(text, sizeof text, "%d:%ld ", a.type, static_cast<long>(a.word.w_long));
        }
        out += text;
    }
    return out;
}

bytes encoded(const std::vector<atom> &atoms)
{
    buffer_ptr b = buffer_of(atoms);
    bytes out;
    EXPECT_TRUE(kel::patchfile_encode(b.get(), &out));
    return out;
}

bytes body(std::initializer_list<int> values)
{
    bytes out = {0x02, 0x00, 0x00, 0x00};
    for (int v : values) out.push_back(static_cast<unsigned char>(v));
    return out;
}

void append_text(bytes *out, const char *text)
{
    out->insert(out->end(), text, text + std::strlen(text));
    out->push_back(0);
}

// A fresh folder with a path id, removed at the end of the test.
class PatchfileTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern(tmp && *tmp ? tmp : "/tmp");
        pattern.append("/kel-patchfile-XXXXXX");
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = std::filesystem::canonical(pattern).string();
        path = kel::path_id_of_folder(root);
        ASSERT_NE(path, 0);
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::permissions(root, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(root, ignored);
    }
    std::string at(const std::string &name) const { return std::string(root).append(1, '/').append(name); }
    void put(const std::string &name, const bytes &content) const
    {
        std::ofstream(at(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    void put(const std::string &name, const std::string &content) const
    {
        std::ofstream(at(name), std::ios::binary) << content;
    }
    bytes get(const std::string &name) const
    {
        std::ifstream in(at(name), std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), {});
    }
    strings entries() const
    {
        strings names;
        for (const auto &e : std::filesystem::directory_iterator(root)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string root;
    short path = 0;
};

// --- the binary form, byte by byte ---

TEST(PatchfileBinary, IntegersTakeTheShortestForm)
{
    const struct {
        long value;
        bytes expected;
    } cases[] = {
        {0, body({0x50})},
        {15, body({0x5F})},
        {16, body({0x11, 0x10})},
        {255, body({0x11, 0xFF})},
        {256, body({0x12, 0x00, 0x01})},
        {-1, body({0x12, 0xFF, 0xFF})},
        {32767, body({0x12, 0xFF, 0x7F})},
        {-32768, body({0x12, 0x00, 0x80})},
        {32768, body({0x14, 0x00, 0x80, 0x00, 0x00})},
        {-32769, body({0x14, 0xFF, 0x7F, 0xFF, 0xFF})},
        {40000, body({0x14, 0x40, 0x9C, 0x00, 0x00})},
        {INT32_MAX, body({0x14, 0xFF, 0xFF, 0xFF, 0x7F})},
        {INT32_MIN, body({0x14, 0x00, 0x00, 0x00, 0x80})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(encoded({L(c.value)}), c.expected);
        std::vector<atom> back;
        ASSERT_EQ(kel::patchfile_decode(c.expected.data(), c.expected.size(), "t", &back), kel::patchfile_status::ok);
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0].type, ATYPE_LONG);
        EXPECT_EQ(back[0].word.w_long, c.value);
    }
}

TEST(PatchfileBinary, SmallBufferIsExactlyTheHandComputedFile)
{
    const struct {
        std::vector<atom> atoms;
        bytes expected;
    } cases[] = {
        // kel v2;
        {{S("kel"), S("v2"), semi()}, body({0x70, 'k', 'e', 'l', 0, 0x71, 'v', '2', 0, 0xA0})},
        // kel 1.5 kel $3 $1-x, v2 $1-x ;   (a reused symbol is its number alone;
        // $ symbols share the table with symbols)
        {{S("kel"), F(1.5), S("kel"), dollar(3), dollsym("1-x"), comma(), S("v2"), dollsym("1-x"), S("1-x"), semi()},
         body({0x70, 'k', 'e', 'l', 0,    0x24, 0x00, 0x00, 0xC0, 0x3F, 0x70, 0xC3, 0x91,
               '1',  '-', 'x', 0,   0xB0, 0x72, 'v',  '2',  0,    0x91, 0x71, 0xA0})},
        // the empty name and a name with a byte above 127
        {{S(""), S("\xA5")}, body({0x70, 0, 0x71, 0xA5, 0})},
        {{}, body({})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(describe(c.atoms));
        EXPECT_EQ(encoded(c.atoms), c.expected);
    }
}

TEST(PatchfileBinary, SymbolNumbersTakeTheShortestForm)
{
    // n distinct symbols, then the last one again: the reference is the
    // number alone, in the form its size needs.
    const struct {
        int distinct;
        bytes reference;
    } cases[] = {
        {1, {0x70}}, {16, {0x7F}}, {17, {0x31, 0x10}}, {256, {0x31, 0xFF}}, {257, {0x32, 0x00, 0x01}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.distinct);
        std::vector<atom> atoms;
        for (int i = 0; i < c.distinct; i++) atoms.push_back(S(std::string(1, 'n').append(std::to_string(i)).c_str()));
        const atom last = atoms.back();
        atoms.push_back(last);
        atoms.push_back(dollsym(last.word.w_sym->name));
        const bytes file = encoded(atoms);
        bytes dollar_reference = c.reference;
        dollar_reference[0] = static_cast<unsigned char>(dollar_reference[0] + (c.reference[0] < 0x70 ? 0xA0 : 0x20));
        bytes tail = c.reference;
        tail.insert(tail.end(), dollar_reference.begin(), dollar_reference.end());
        ASSERT_GE(file.size(), tail.size());
        EXPECT_EQ(bytes(file.end() - static_cast<long>(tail.size()), file.end()), tail);
        std::vector<atom> back;
        ASSERT_EQ(kel::patchfile_decode(file.data(), file.size(), "t", &back), kel::patchfile_status::ok);
        EXPECT_EQ(describe(back), describe(atoms));
    }
}

TEST(PatchfileBinary, LongNamesAreReadPastWhole)
{
    // The reader keeps 4095 characters of a name, and the symbol table keeps
    // fewer still; either way the record ends at the name's NUL.
    for (size_t length : {size_t{1999}, size_t{3000}, size_t{4095}, size_t{5000}}) {
        SCOPED_TRACE(length);
        const std::string longer(length, 'q');
        bytes hand = body({0x70});
        append_text(&hand, longer.c_str());
        hand.push_back(0x70);
        hand.push_back(0x5A);
        std::vector<atom> back;
        ASSERT_EQ(kel::patchfile_decode(hand.data(), hand.size(), "t", &back), kel::patchfile_status::ok);
        ASSERT_EQ(back.size(), 3u);
        EXPECT_EQ(back[0].word.w_sym, gensym(longer.c_str()));
        EXPECT_EQ(back[1].word.w_sym, back[0].word.w_sym);
        EXPECT_EQ(back[2].word.w_long, 10);
        const bytes again = encoded(back);
        EXPECT_EQ(again.size(), 4 + 1 + std::strlen(back[0].word.w_sym->name) + 1 + 1 + 1);
    }
}

TEST(PatchfileBinary, ReaderAcceptsEveryFormTheTableGives)
{
    // Forms the writer never makes but the format holds: semicolons and
    // commas with any low bits, long forms of small numbers.
    bytes file = body({0xAF, 0xB7, 0x11, 0x03, 0x14, 0x05, 0, 0, 0, 0xC0, 0xCF, 0x34, 0, 0, 0, 0});
    append_text(&file, "a");
    file.push_back(0xD2);
    file.push_back(0x00);
    file.push_back(0x00);
    std::vector<atom> back;
    ASSERT_EQ(kel::patchfile_decode(file.data(), file.size(), "t", &back), kel::patchfile_status::ok);
    EXPECT_EQ(describe(back), describe({semi(), comma(), L(3), L(5), dollar(0), dollar(15), S("a"), dollsym("a")}));
}

TEST(PatchfileBinary, FloatsKeepTheirBitsThroughABuffer)
{
    // A signalling NaN comes back as the quiet NaN a buffer holds; every
    // other value, infinities and negative zero included, keeps its bits.
    const struct {
        uint32_t stored;
        uint32_t read;
    } cases[] = {
        {0x3FC00000, 0x3FC00000}, {0x80000000, 0x80000000}, {0x7F800000, 0x7F800000}, {0xFF800000, 0xFF800000},
        {0x00000001, 0x00000001}, {0x7FC00000, 0x7FC00000}, {0x7F800001, 0x7FC00001}, {0xFF878DFF, 0xFFC78DFF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        const bytes file = body({0x24, static_cast<int>(c.stored & 0xFF), static_cast<int>(c.stored >> 8 & 0xFF),
                                 static_cast<int>(c.stored >> 16 & 0xFF), static_cast<int>(c.stored >> 24)});
        buffer_ptr b = new_buffer();
        ASSERT_EQ(kel::patchfile_read_bytes(b.get(), file.data(), file.size(), "f"), 0);
        const std::vector<atom> read = atoms_of(b.get());
        ASSERT_EQ(read.size(), 1u);
        uint32_t bits;
        std::memcpy(&bits, &read[0].word.w_float, sizeof bits);
        EXPECT_EQ(bits, c.read);
    }
}

TEST(PatchfileBinary, WriterRefusesAtomsTheFormCannotHold)
{
    const std::vector<atom> cases[] = {
        {S("a"), typed_atom(ATYPE_DOLLAR, 16)},
        {typed_atom(ATYPE_DOLLAR, -1)},
    };
    for (const auto &atoms : cases) {
        console_capture console;
        buffer_ptr b = buffer_of(atoms);
        bytes out;
        EXPECT_FALSE(kel::patchfile_encode(b.get(), &out));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(console.lines(), strings{check_failed_line("bf_putatom")});
    }
}

TEST(PatchfileBinary, DamagedFilesAreReadAsFarAsTheyAreSound)
{
    // Each case: the file, its one console line, and the atoms kept: the
    // whole messages before the damage, with symbol numbers out of range
    // read as symbol 0. Nothing kept: the file is refused.
    bytes unterminated = body({0x70, 'a', 'b', 'c'});
    const struct {
        const char *what;
        bytes file;
        std::string line;
        std::vector<atom> kept;
    } cases[] = {
        {"empty", {}, "f: error -39 reading file", {}},
        {"three bytes", {0x02, 0x00, 0x00}, "f: error -39 reading file", {}},
        {"old format", {0x00, 0x00, 0x00, 0x01, 0x70}, "f: can't read old format files", {}},
        {"version 3", {0x03, 0x00, 0x00, 0x00}, "f: bad magic number", {}},
        {"text", {'#', 'P', ' ', 'x'}, "f: bad magic number", {}},
        {"tag below 0x10", body({0x05}), "bad file byte 5", {}},
        {"tag 0xE0 in the first message", body({0x50, 0xE0}), "bad file byte 224", {}},
        {"tag 0xFF", body({0xFF}), "bad file byte 255", {}},
        {"kind 4", body({0x41}), "bad file byte 65", {}},
        {"kind 6", body({0x60}), "bad file byte 96", {}},
        {"kind 8", body({0x84}), "bad file byte 132", {}},
        {"stray bytes after whole messages",
         body({0x51, 0xA0, 0x52, 0xA0, 0x07, 0x41}),
         "bad file byte 7",
         {L(1), semi(), L(2), semi()}},
        {"a bad byte inside the second message",
         body({0x51, 0xA0, 0x52, 0xE0, 0x53, 0xA0}),
         "bad file byte 224",
         {L(1), semi()}},
        {"integer size 3", body({0x13, 1, 2, 3}), "f: bad data size 3 at offset 4", {}},
        {"integer size 0", body({0x10}), "f: bad data size 0 at offset 4", {}},
        {"symbol number size 8", body({0x38}), "f: bad data size 8 at offset 4", {}},
        {"float size 8", body({0x28, 0, 0, 0, 0, 0, 0, 0, 0}), "f: unknown floating-point size 8 at offset 4", {}},
        {"integer cut", body({0x12, 0x01}), "f: file ends inside the record at offset 4", {}},
        {"integer cut after good atoms",
         body({0x50, 0xA0, 0x14, 1, 2, 3}),
         "f: file ends inside the record at offset 6",
         {L(0), semi()}},
        {"float cut", body({0x24, 0, 0}), "f: file ends inside the record at offset 4", {}},
        {"symbol number cut", body({0x32, 0}), "f: file ends inside the record at offset 4", {}},
        {"first symbol numbered 1", body({0x71, 'a', 0}), "f: symbol number 1 out of range at offset 4", {}},
        {"symbol number beyond the table",
         body({0x70, 'a', 0, 0x72, 0xA0}),
         "f: symbol number 2 out of range at offset 7, read as symbol 0",
         {S("a"), S("a"), semi()}},
        {"negative symbol number",
         body({0x70, 'a', 0, 0x71, 'b', 0, 0x32, 0xFF, 0xFF, 0xA0}),
         "f: symbol number -1 out of range at offset 10, read as symbol 0",
         {S("a"), S("b"), S("a"), semi()}},
        {"huge $ symbol number",
         body({0xD4, 0, 0, 0, 0x80}),
         "f: symbol number -2147483648 out of range at offset 4",
         {}},
        {"name without end", unterminated, "f: symbol name runs past the end of the file at offset 4", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        console_capture console;
        buffer_ptr b = buffer_of({S("old"), semi()});
        EXPECT_EQ(kel::patchfile_read_bytes(b.get(), c.file.data(), c.file.size(), "f"), c.kept.empty() ? 1 : 0);
        EXPECT_EQ(describe(atoms_of(b.get())), describe(c.kept)) << "whole messages or nothing";
        EXPECT_EQ(kel::patchfile_last_read_partial(), !c.kept.empty());
        EXPECT_EQ(console.lines(), strings{error_line(c.line)});
    }
}

TEST(PatchfileBinary, EveryCutOfAGoodFileLoadsWholeMessages)
{
    const std::vector<atom> atoms = {S("kel"),  L(-40000), F(-2.5), dollsym("1-y"), L(300),
                                     dollar(2), S("kel"),  comma(), L(7),           semi()};
    const bytes file = encoded(atoms);
    for (size_t cut = 4; cut <= file.size(); cut++) {
        SCOPED_TRACE(cut);
        std::vector<atom> back;
        console_capture console;
        const kel::patchfile_status status = kel::patchfile_decode(file.data(), cut, "f", &back);
        if (status == kel::patchfile_status::ok) {
            ASSERT_LE(back.size(), atoms.size());
            EXPECT_EQ(describe(back), describe(std::vector<atom>(atoms.begin(), atoms.begin() + back.size())));
            EXPECT_TRUE(console.lines().empty());
        } else {
            // The whole messages before the cut.
            EXPECT_EQ(status, kel::patchfile_status::damaged);
            EXPECT_TRUE(back.empty() || back.back().type == ATYPE_SEMI);
            EXPECT_EQ(describe(back), describe(std::vector<atom>(atoms.begin(), atoms.begin() + back.size())));
            EXPECT_EQ(console.lines().size(), 1u);
        }
    }
}

// --- files ---

const std::vector<atom> &every_kind()
{
    static const std::vector<atom> atoms = {
        S("kel"),     S("v2"),          semi(),        S("#N"),    S("vpatcher"), L(0),      L(15),
        L(16),        L(255),           L(256),        L(-1),      L(-32768),     L(32768),  L(INT32_MIN),
        L(INT32_MAX), semi(),           S("#P"),       F(0.5),     F(-1234.5),    F(3.0e-5), S("a b"),
        S("x;y"),     S("$1"),          S("\\"),       S(""),      S("\xA5\xE9"), comma(),   dollar(0),
        dollar(9),    dollsym("1-vol"), dollsym("0x"), S("1-vol"), S("#P"),       semi(),
    };
    return atoms;
}

TEST_F(PatchfileTest, BinaryWriteThenReadGivesTheSameAtoms)
{
    buffer_ptr out = buffer_of(every_kind());
    console_capture console;
    ASSERT_EQ(binbuf_write(out.get(), "every.pat", path, 1), 0);
    buffer_ptr in = buffer_of({S("left over")});
    ASSERT_EQ(binbuf_read(in.get(), "every.pat", path, 1), 0);
    EXPECT_EQ(describe(atoms_of(in.get())), describe(every_kind()));
    EXPECT_TRUE(console.lines().empty());
    EXPECT_EQ(entries(), strings{"every.pat"}) << "no temporary file is left";
}

TEST_F(PatchfileTest, TextWriteThenReadGivesTheSameAtoms)
{
    // The float 3e-5 prints as 0.00003; the rest are exact in text.
    std::vector<atom> atoms = every_kind();
    for (atom &a : atoms)
        if (a.type == ATYPE_FLOAT && a.word.w_float < 0.001f && a.word.w_float > 0) a.word.w_float = 0.25f;
    buffer_ptr out = buffer_of(atoms);
    console_capture console;
    ASSERT_EQ(binbuf_write(out.get(), "every.txt", path, 0), 0);
    buffer_ptr in = new_buffer();
    ASSERT_EQ(binbuf_read(in.get(), "every.txt", path, 0), 0);
    EXPECT_EQ(describe(atoms_of(in.get())), describe(atoms));
    EXPECT_TRUE(console.lines().empty());
}

TEST_F(PatchfileTest, TextFileIsThePrintedBufferAndNothingElse)
{
    buffer_ptr out = buffer_of({S("kel"), S("v2"), semi(), S("#P"), S("connect"), L(0), L(0), L(1), L(0), semi()});
    ASSERT_EQ(binbuf_write(out.get(), "t.pat", path, 0), 0);
    const bytes file = get("t.pat");
    EXPECT_EQ(std::string(file.begin(), file.end()), "kel v2;\r\n#P connect 0 0 1 0;\r\n");

    put("c.txt", "#P connect 0 0 1 0;");
    buffer_ptr in = new_buffer();
    ASSERT_EQ(binbuf_read(in.get(), "c.txt", path, 0), 0);
    EXPECT_EQ(describe(atoms_of(in.get())), describe({S("#P"), S("connect"), L(0), L(0), L(1), L(0), semi()}));
}

TEST_F(PatchfileTest, BinaryFileOfKelV2IsExact)
{
    buffer_ptr out = buffer_of({S("kel"), S("v2"), semi()});
    ASSERT_EQ(binbuf_write(out.get(), "k.pat", path, 1), 0);
    EXPECT_EQ(get("k.pat"), body({0x70, 'k', 'e', 'l', 0, 0x71, 'v', '2', 0, 0xA0}));
}

TEST_F(PatchfileTest, ReadFailuresLeaveTheBufferEmpty)
{
    put("old.pat", bytes{0, 0, 0, 1, 0x70});
    put("bad.pat", body({0x05, 0x70, 'k', 'e', 'l', 0, 0xA0}));
    const struct {
        const char *name;
        short binary;
        long result;
        std::string line;
    } cases[] = {
        {"missing.pat", 0, -43, "missing.pat: can't load, error -43 (No such file or directory)"},
        {"missing.pat", 1, 1, "missing.pat: error -43 opening file"},
        {"old.pat", 1, 1, "old.pat: can't read old format files"},
        {"bad.pat", 1, 1, "bad file byte 5"},  // nothing sound before the damage
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        buffer_ptr b = buffer_of({S("old"), L(1), semi()});
        console_capture console;
        EXPECT_EQ(binbuf_read(b.get(), c.name, path, c.binary), c.result);
        EXPECT_EQ(b->count, 0);
        EXPECT_EQ(console.lines(), strings{error_line(c.line)});
        EXPECT_FALSE(kel::patchfile_last_read_partial());
    }
}

TEST_F(PatchfileTest, ADamagedFileIsReadAsFarAsItIsSoundAndMarkedPartial)
{
    put("stray.pat", body({0x70, 'k', 'e', 'l', 0, 0xA0, 0x05, 0x41}));
    put("good.pat", body({0x70, 'k', 'e', 'l', 0, 0xA0}));
    buffer_ptr b = new_buffer();
    {
        console_capture console;
        ASSERT_EQ(binbuf_read(b.get(), "stray.pat", path, 1), 0);
        EXPECT_EQ(describe(atoms_of(b.get())), describe({S("kel"), semi()}));
        EXPECT_EQ(console.lines(), strings{error_line("bad file byte 5")});
        EXPECT_TRUE(kel::patchfile_last_read_partial());
    }
    // The mark is the last read's: a sound read clears it.
    ASSERT_EQ(binbuf_read(b.get(), "good.pat", path, 1), 0);
    EXPECT_FALSE(kel::patchfile_last_read_partial());
}

TEST_F(PatchfileTest, RecognitionByContent)
{
    bytes binary = body({0x70, 'k', 'e', 'l', 0, 0x71, 'v', '2', 0, 0xA0});
    bytes unnamed_binary = body({0x55, 0xA0});  // version 2, but no symbol 0 first
    const struct {
        const char *name;
        bytes content;
        long type;
    } cases[] = {
        {"b.txt", binary, FILETYPE_PATCHER},  // content wins over the extension
        {"b.xyz", binary, FILETYPE_PATCHER},
        {"t.klb", bytes{'k', 'e', 'l', ' ', 'v', '2', ';', '\r', '\n'}, FILETYPE_TEXT},
        {"t.xyz", bytes{'\t', '#', 'N', ' ', 0xA5, '\n'}, FILETYPE_TEXT},
        {"late.xyz", bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 0x01},
         FILETYPE_TEXT},                              // only the first 16 bytes count
        {"u.klb", unnamed_binary, FILETYPE_PATCHER},  // neither: the name decides
        {"u.txt", unnamed_binary, FILETYPE_TEXT},
        {"u.xyz", unnamed_binary, 0},
        {"z.kle", bytes{0x7F, 'E', 'L', 'F'}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        put(c.name, c.content);
        EXPECT_EQ(patchfile_type(c.name, path), c.type);
    }
    EXPECT_EQ(patchfile_type("nothing-here.pat", path), 0);

    buffer_ptr b = new_buffer();
    long type = 0;
    ASSERT_EQ(patchfile_read(b.get(), "b.txt", path, &type), 0);
    EXPECT_EQ(type, FILETYPE_PATCHER);
    EXPECT_EQ(describe(atoms_of(b.get())), describe({S("kel"), S("v2"), semi()}));
    ASSERT_EQ(patchfile_read(b.get(), "t.klb", path, &type), 0);
    EXPECT_EQ(type, FILETYPE_TEXT);
    EXPECT_EQ(describe(atoms_of(b.get())), describe({S("kel"), S("v2"), semi()}));
    ASSERT_EQ(patchfile_read(b.get(), "u.klb", path, &type), 0);
    EXPECT_EQ(type, FILETYPE_PATCHER);
    EXPECT_EQ(describe(atoms_of(b.get())), describe({L(5), semi()}));
}

TEST_F(PatchfileTest, FailedWriteLeavesTheTargetAsItWas)
{
    put("keep.pat", std::string("good contents"));
    buffer_ptr b = buffer_of({S("a"), typed_atom(ATYPE_DOLLAR, 99), semi()});
    console_capture console;
    EXPECT_EQ(binbuf_write(b.get(), "keep.pat", path, 1), 1);
    const bytes after = get("keep.pat");
    EXPECT_EQ(std::string(after.begin(), after.end()), "good contents");
    EXPECT_EQ(entries(), strings{"keep.pat"});
    EXPECT_EQ(console.lines(), strings{check_failed_line("bf_putatom")});
}

TEST_F(PatchfileTest, WriteIntoAFolderThatRefusesLeavesTheTarget)
{
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    put("keep.pat", std::string("good contents"));
    ASSERT_EQ(::chmod(root.c_str(), 0500), 0);
    buffer_ptr b = buffer_of({S("kel"), semi()});
    console_capture console;
    EXPECT_EQ(binbuf_write(b.get(), "keep.pat", path, 0), 1);
    ASSERT_EQ(::chmod(root.c_str(), 0700), 0);
    const bytes after = get("keep.pat");
    EXPECT_EQ(std::string(after.begin(), after.end()), "good contents");
    EXPECT_EQ(console.lines(), strings{error_line("keep.pat: error -54 creating file")});
}

// Only a regular file the user may write is replaced: a folder, a FIFO or a
// read-only file under the name stays as it is (the superuser included), and
// no temporary file is left beside it.
TEST_F(PatchfileTest, WhatIsNotAWritableRegularFileIsNeverReplaced)
{
    std::filesystem::create_directory(at("dir.pat"));
    ASSERT_EQ(::mkfifo(at("fifo.pat").c_str(), 0644), 0);
    put("ro.pat", std::string("read only"));
    ASSERT_EQ(::chmod(at("ro.pat").c_str(), 0444), 0);
    const struct {
        const char *name;
        const char *says;
    } cases[] = {
        {"dir.pat", "dir.pat: not a regular file, nothing written"},
        {"fifo.pat", "fifo.pat: not a regular file, nothing written"},
        {"ro.pat", "ro.pat: the file is read-only, nothing written"},
    };
    buffer_ptr b = buffer_of({S("kel"), semi()});
    for (const auto &c : cases) {
        for (short binary : {short{0}, short{1}}) {
            SCOPED_TRACE(c.name);
            console_capture console;
            EXPECT_EQ(binbuf_write(b.get(), c.name, path, binary), 1);
            EXPECT_EQ(console.lines(), strings{error_line(c.says)});
            EXPECT_EQ(entries(), (strings{"dir.pat", "fifo.pat", "ro.pat"}));
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(at("dir.pat")));
    EXPECT_TRUE(std::filesystem::is_fifo(at("fifo.pat")));
    const bytes kept = get("ro.pat");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "read only");
}

// A save killed before its rename leaves its hidden temporary; the next
// save of that file removes it, and nothing else that looks alike.
TEST_F(PatchfileTest, TheNextSaveRemovesATemporaryAKilledSaveLeft)
{
    put("song.pat", std::string("old"));
    put(".song.pat.41", std::string("left by a killed save"));
    put(".song.pat.notmine", std::string("someone else's"));
    put(".other.pat.7", std::string("another file's"));
    buffer_ptr b = buffer_of({S("kel"), semi()});
    ASSERT_EQ(binbuf_write(b.get(), "song.pat", path, 0), 0);
    EXPECT_EQ(entries(), (strings{".other.pat.7", ".song.pat.notmine", "song.pat"}));
}

TEST_F(PatchfileTest, ReplacingKeepsLinksAndPermissions)
{
    put("real.pat", std::string("old text that is longer than the new"));
    ASSERT_EQ(::chmod(at("real.pat").c_str(), 0640), 0);
    std::filesystem::create_symlink("real.pat", at("link.pat"));
    buffer_ptr b = buffer_of({S("new"), semi()});
    ASSERT_EQ(binbuf_write(b.get(), "link.pat", path, 0), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(at("link.pat")));
    const bytes after = get("real.pat");
    EXPECT_EQ(std::string(after.begin(), after.end()), "new;\r\n");
    struct stat st;
    ASSERT_EQ(::stat(at("real.pat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(entries(), (strings{"link.pat", "real.pat"}));
}

TEST_F(PatchfileTest, WritesByFullNameAndIntoSubFolders)
{
    std::filesystem::create_directory(at("sub"));
    buffer_ptr b = buffer_of({S("kel"), semi()});
    ASSERT_EQ(binbuf_write(b.get(), at("full.pat").c_str(), 0, 1), 0);
    ASSERT_EQ(binbuf_write(b.get(), "./sub/inner.pat", path, 1), 0);
    EXPECT_EQ(get("full.pat"), body({0x70, 'k', 'e', 'l', 0, 0xA0}));
    EXPECT_EQ(get("sub/inner.pat"), body({0x70, 'k', 'e', 'l', 0, 0xA0}));
    EXPECT_EQ(entries(), (strings{"full.pat", "sub"}));
}

TEST_F(PatchfileTest, BinaryReadClearsTheGrowthFailureFlag)
{
    {
        buffer_ptr victim = new_buffer();
        std::vector<atom> many(200, L(1));
        console_capture console;
        kel::toolbox::handles_fail_nth_alloc(1);
        EXPECT_EQ(binbuf_insert(victim.get(), nullptr, 200, many.data()), 1);
        kel::toolbox::handles_fail_nth_alloc(0);
        ASSERT_TRUE(kel::binbuf_growth_failed());
    }
    put("k.pat", body({0x70, 'k', 'e', 'l', 0, 0xA0}));
    buffer_ptr b = new_buffer();
    ASSERT_EQ(binbuf_read(b.get(), "k.pat", path, 1), 0);
    EXPECT_FALSE(kel::binbuf_growth_failed());
}

TEST_F(PatchfileTest, MemoryRunningOutLoadsWholeOrNothing)
{
    std::vector<atom> atoms;
    for (int i = 0; i < 3000; i++) atoms.push_back(L(i));
    atoms.push_back(semi());
    buffer_ptr out = buffer_of(atoms);
    ASSERT_EQ(binbuf_write(out.get(), "big.pat", path, 1), 0);
    long refused = 0;
    for (long n = 1; n <= 6; n++) {
        SCOPED_TRACE(n);
        buffer_ptr b = new_buffer();
        console_capture console;
        kel::toolbox::handles_fail_nth_alloc(n);
        const long result = binbuf_read(b.get(), "big.pat", path, 1);
        kel::toolbox::handles_fail_nth_alloc(0);
        if (result == 0)
            EXPECT_EQ(b->count, static_cast<long>(atoms.size()));
        else
            EXPECT_EQ(b->count, 0);
        refused += result != 0;
    }
    EXPECT_GT(refused, 0);
}

TEST_F(PatchfileTest, ReadToHandle)
{
    put("r.txt", std::string("some text\r\n"));
    kel_handle h = nullptr;
    long size = -1;
    ASSERT_EQ(readtohandle("r.txt", path, &h, &size), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::string(*h, static_cast<size_t>(size)), "some text\r\n");
    sysmem_freehandle(h);

    console_capture console;
    EXPECT_EQ(readtohandle("none.txt", path, &h, &size), 1);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(console.lines(), strings{error_line("none.txt: can't open")});
}

// --- evaluation from memory ---

struct recorder {
    object header;
    std::vector<std::string> *seen;
};

void *recorder_anything(recorder *x, symbol *s, long argc, atom *argv)
{
    std::string line = s->name;
    for (long i = 0; i < argc; i++) line.append(1, ' ').append(atom_string(&argv[i]));
    x->seen->push_back(line);
    return x;
}

TEST(PatchfileSinglefast, EvaluatesTheDecodedAtoms)
{
    static kel_class *c = [] {
        kel_class *made = class_new("pfrecorder", nullptr, nullptr, sizeof(recorder), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&recorder_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    std::vector<std::string> seen;
    auto *r = static_cast<recorder *>(object_alloc(c));
    r->seen = &seen;
    symbol *name = gensym("pf-singlefast-receiver");
    name->thing = &r->header;

    const bytes good = encoded({S("pf-singlefast-receiver"), S("go"), dollar(1), L(300), comma(), S("again"), semi()});
    const bytes damaged = [&] {
        bytes b = good;
        b.push_back(0xEE);
        return b;
    }();
    atom args[2] = {L(77), L(5)};
    for (const bytes *file : {&good, &damaged}) {
        kel_handle h = sysmem_newhandle(static_cast<long>(file->size()));
        std::memcpy(*h, file->data(), file->size());
        seen.clear();
        console_capture console;
        void *result = bf_singlefast(h, static_cast<long>(file->size()), 1, args);
        if (file == &good) {
            EXPECT_EQ(result, r);
            EXPECT_EQ(seen, (strings{"go 5 300", "again"}));
            EXPECT_TRUE(console.lines().empty());
        } else {
            EXPECT_EQ(result, nullptr);
            EXPECT_TRUE(seen.empty()) << "nothing of a damaged buffer is evaluated";
            EXPECT_EQ(console.lines(), strings{error_line("bad file byte 238")});
        }
        sysmem_freehandle(h);
    }
    name->thing = nullptr;
    freeobject(r);
}

// --- box lines ---

std::string printed(binbuf *x)
{
    kel_handle h = sysmem_newhandle(0);
    long size = 0;
    EXPECT_EQ(binbuf_totext(x, h, &size), 0);
    std::string text(*h, static_cast<size_t>(size));
    sysmem_freehandle(h);
    return text;
}

std::vector<atom> head_atoms() { return {S("#P"), S("newex"), L(10), L(20), L(50), L(196617)}; }

TEST(PatchfileSavebox, BoxTextSurvivesTheFileAndTheRebuild)
{
    // Box text as typed, the line as it is printed in a text file.
    const struct {
        const char *typed;
        const char *line;
    } cases[] = {
        {"pack 0 $1", "#P newex 10 20 50 196617 pack 0 \\$1;\r\n"},
        {"route a\\;b c\\,d", "#P newex 10 20 50 196617 route a\\\\\\;b c\\\\\\,d;\r\n"},
        {"; r 1, 2", "#P newex 10 20 50 196617 \\; r 1 \\, 2;\r\n"},
        {"f $1-x 2.5", "#P newex 10 20 50 196617 f \\$1-x 2.5;\r\n"},
        {"\\$12 \\\\", "#P newex 10 20 50 196617 \\\\$12 \\\\\\\\;\r\n"},
        {"\"a b\"", "#P newex 10 20 50 196617 \"a b\";\r\n"},
        {"", "#P newex 10 20 50 196617;\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        kel_handle text = sysmem_newhandle(static_cast<long>(std::strlen(c.typed)));
        std::memcpy(*text, c.typed, std::strlen(c.typed));
        atombuf *box = atombuf_new(0, nullptr);
        ASSERT_EQ(atombuf_text(&box, text, static_cast<long>(std::strlen(c.typed))), 0);
        sysmem_freehandle(text);

        buffer_ptr file = new_buffer();
        const std::vector<atom> head = head_atoms();
        ASSERT_EQ(atombuf_savebox(file.get(), static_cast<long>(head.size()), head.data(), box), 0);
        EXPECT_EQ(printed(file.get()), c.line);

        // The same line through a binary and a text file, then rebuilt as
        // a box by the box-text rule.
        std::vector<atom> line = atoms_of(file.get());
        bytes binary = encoded(line);
        std::vector<atom> back;
        ASSERT_EQ(kel::patchfile_decode(binary.data(), binary.size(), "t", &back), kel::patchfile_status::ok);
        EXPECT_EQ(describe(back), describe(line));
        std::vector<atom> text_atoms(back.begin() + static_cast<long>(head.size()), back.end() - 1);
        atombuf *rebuilt = atombuf_new(0, nullptr);
        ASSERT_EQ(atombuf_replace(&rebuilt, nullptr, static_cast<long>(text_atoms.size()), text_atoms.data()), 0);
        EXPECT_EQ(describe(std::vector<atom>(rebuilt->argv, rebuilt->argv + rebuilt->argc)),
                  describe(std::vector<atom>(box->argv, box->argv + box->argc)));
        atombuf_free(rebuilt);
        atombuf_free(box);
    }
}

TEST(PatchfileSavebox, HashDigitBecomesAFileArgument)
{
    atombuf *box = atombuf_new(2, nullptr);
    box->argv[0] = S("metro");
    box->argv[1] = S("#1");
    buffer_ptr file = new_buffer();
    const std::vector<atom> head = head_atoms();
    ASSERT_EQ(atombuf_savebox(file.get(), static_cast<long>(head.size()), head.data(), box), 0);
    atombuf_free(box);
    EXPECT_EQ(printed(file.get()), "#P newex 10 20 50 196617 metro $1;\r\n");
    const std::vector<atom> line = atoms_of(file.get());
    EXPECT_EQ(line[line.size() - 2].type, ATYPE_DOLLAR);
}

TEST(PatchfileSavebox, MessageBoxContentsFromABuffer)
{
    buffer_ptr contents = buffer_of({S("set"), L(3), comma(), S("bang"), semi(), S("r"), dollar(2), dollsym("1-vol")});
    buffer_ptr file = new_buffer();
    const std::vector<atom> head = {S("#P"), S("message"), L(1), L(2), L(3), L(4)};
    ASSERT_EQ(binbuf_savebox(file.get(), static_cast<long>(head.size()), head.data(), contents.get()), 0);
    EXPECT_EQ(printed(file.get()), "#P message 1 2 3 4 set 3 \\, bang \\; r \\$2 \\$1-vol;\r\n");
}

TEST(PatchfileSavebox, LongBoxesAreCutAt256TextAtoms)
{
    const struct {
        long count;
        bool cut;
    } cases[] = {{256, false}, {257, true}, {400, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        std::vector<atom> text(static_cast<size_t>(c.count), L(7));
        const std::vector<atom> head = head_atoms();
        for (bool from_buffer : {false, true}) {
            buffer_ptr file = new_buffer();
            console_capture console;
            if (from_buffer) {
                buffer_ptr contents = buffer_of(text);
                ASSERT_EQ(binbuf_savebox(file.get(), 6, head.data(), contents.get()), 0);
            } else {
                atombuf *box = atombuf_new(c.count, text.data());
                ASSERT_EQ(atombuf_savebox(file.get(), 6, head.data(), box), 0);
                atombuf_free(box);
            }
            EXPECT_EQ(file->count, 6 + 256 + 1 - (c.cut ? 0 : 256 - c.count));
            const std::string line =
                from_buffer ? "binbuf_savebox: buffer truncated" : "atombuf_savebox: buffer truncated";
            EXPECT_EQ(console.lines(), c.cut ? strings{warning_line(line)} : strings{});
        }
    }
}

TEST(PatchfileSavebox, ObjectAtomsAreLeftOut)
{
    buffer_ptr other = new_buffer();
    atombuf *box = atombuf_new(3, nullptr);
    box->argv[0] = S("a");
    atom_setobj(&box->argv[1], other.get());
    box->argv[2] = L(2);
    buffer_ptr file = new_buffer();
    console_capture console;
    ASSERT_EQ(atombuf_savebox(file.get(), 0, nullptr, box), 0);
    atombuf_free(box);
    EXPECT_EQ(printed(file.get()), "a 2;\r\n");
    EXPECT_EQ(console.lines(), strings{check_failed_line("binbuf_dump")});
}

}  // namespace
