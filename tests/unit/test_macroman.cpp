// Mac Roman <-> UTF-8 at the edges, and length-prefixed strings.
#include "platform/macroman.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace kel::toolbox {
namespace {

std::string all_bytes()
{
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i) s[static_cast<size_t>(i)] = static_cast<char>(i);
    return s;
}

TEST(MacRoman, EveryByteSurvivesARoundTrip)
{
    const std::string bytes = all_bytes();
    const std::string utf8 = macroman_to_utf8(bytes);
    EXPECT_EQ(utf8_to_macroman(utf8), bytes);
    // One character a byte, each on its own.
    for (int i = 0; i < 256; ++i) {
        const std::string one(1, static_cast<char>(i));
        EXPECT_EQ(utf8_to_macroman(macroman_to_utf8(one)), one) << i;
    }
}

TEST(MacRoman, KnownCharacters)
{
    struct Case {
        unsigned char byte;
        char32_t code;
        const char *utf8;
    };
    const Case cases[] = {
        {0x00, 0x0000, ""},  // checked by length below
        {0x41, 0x0041, "A"},
        {0x7F, 0x007F, "\x7F"},
        {0x80, 0x00C4, "Ä"},
        {0x8E, 0x00E9, "é"},
        {0xA5, 0x2022, "•"},  // the error bullet on the console
        {0xAA, 0x2122, "™"},
        {0xBD, 0x03A9, "Ω"},
        {0xC6, 0x2206, "∆"},
        {0xCA, 0x00A0, "\u00A0"},
        {0xDB, 0x20AC, "€"},
        {0xDE, 0xFB01, "ﬁ"},
        {0xF0, 0xF8FF, "\xEF\xA3\xBF"},
        {0xFF, 0x02C7, "ˇ"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        EXPECT_EQ(macroman_to_unicode(c.byte), c.code);
        const std::string utf8 = c.byte == 0 ? std::string(1, '\0') : std::string(c.utf8);
        EXPECT_EQ(macroman_to_utf8(std::string(1, static_cast<char>(c.byte))), utf8);
        EXPECT_EQ(utf8_to_macroman(utf8), std::string(1, static_cast<char>(c.byte)));
    }
    EXPECT_EQ(macroman_to_utf8("\xA5 error: x"), "• error: x");
}

TEST(MacRoman, AppendingReusesTheBuffer)
{
    std::string out = "prefix ";
    out.reserve(64);
    const char *const buffer = out.data();
    macroman_to_utf8("\xA5\xDB"
                     "a",
                     out);
    EXPECT_EQ(out, "prefix •€a");
    EXPECT_EQ(out.data(), buffer) << "appending within capacity reallocated";
    macroman_to_utf8("", out);
    EXPECT_EQ(out, "prefix •€a");
}

TEST(MacRoman, Utf8ThatMacRomanCannotHoldBecomesQuestionMarks)
{
    struct Case {
        const char *what;
        std::string utf8;
        std::string expected;
    };
    const Case cases[] = {
        // Valid UTF-8 outside the table.
        {"CJK", "日本", "??"},
        {"emoji (four bytes)", "a\U0001F600b", "a?b"},
        {"currency sign", "\u00A4", "?"},
        {"combining accent alone", "e\u0301", "e?"},
        {"highest code point", "\U0010FFFF", "?"},
        // Code points other converters give for three table characters.
        {"ohm sign", "\u2126", "\xBD"},
        {"micro as Greek mu", "\u03BC", "\xB5"},
        {"Greek capital delta", "\u0394", "\xC6"},
        // Malformed: each maximal valid start counts as one piece.
        {"stray continuation", "a\x80z", "a?z"},
        {"two stray continuations", "\x80\xBF", "??"},
        {"truncated two-byte at end", "a\xC3", "a?"},
        {"truncated three-byte at end", "\xE2\x82", "?"},
        {"truncated four-byte at end", "\xF0\x9F\x98", "?"},
        {"truncated then ASCII", "\xE2\x82z", "?z"},
        {"truncated then a full character", "\xE2\xC3\xA9", "?\x8E"},
        {"overlong slash (C0)", "\xC0\xAF", "??"},
        {"overlong C1", "\xC1\xBF", "??"},
        {"overlong three-byte", "\xE0\x80\xAF", "???"},
        {"overlong four-byte", "\xF0\x80\x80\xAF", "????"},
        {"high surrogate", "\xED\xA0\x80", "???"},
        {"low surrogate", "\xED\xBF\xBF", "???"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "????"},
        {"lead F5", "\xF5\x80\x80\x80", "????"},
        {"lead FF", "\xFF", "?"},
        {"valid after malformed", "\xFF\xC3\xA9\xE2\x80\xA2", "?\x8E\xA5"},
        {"NUL is kept", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(utf8_to_macroman(c.utf8), c.expected);
    }
}

// File names: held in Mac Roman where that is exact and cannot be taken for
// UTF-8, in the system's bytes otherwise, a component at a time; every name
// comes back as it was.
TEST(FileNames, KernelFormAndBack)
{
    struct Case {
        const char *what;
        std::string os;
        std::string kernel;
    };
    const Case cases[] = {
        {"ASCII", "/home/me/x.pat", "/home/me/x.pat"},
        {"Mac Roman spells it", "/tmp/caf\u00E9/n\u00E9.pat", "/tmp/caf\x8E/n\x8E.pat"},
        {"Japanese", "/tmp/日本.pat", "/tmp/日本.pat"},
        {"Cyrillic", "привет.pat", "привет.pat"},
        {"one component each way", "/Łódź/sub/café.pat", "/Łódź/sub/caf\x8E.pat"},
        {"Mac Roman bytes that read as UTF-8", "\u221A\u00A9", "\u221A\u00A9"},
        {"an alias code point has no exact Mac Roman", "\u2126", "\u2126"},
        {"emoji", "a\U0001F600.pat", "a\U0001F600.pat"},
        {"not UTF-8: its own bytes", "caf\xE9/x", "caf\xE9/x"},
        {"slashes only", "//", "//"},
        {"empty", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(os_name_to_kernel(c.os), c.kernel);
        if (is_utf8(c.os)) {
            EXPECT_EQ(kernel_name_to_os(c.kernel), c.os);
        }
    }
    // Kernel names from elsewhere: UTF-8 is taken as it is, anything else
    // as Mac Roman, a component at a time.
    EXPECT_EQ(kernel_name_to_os("n\xC3\xA9/n\x8E"), "n\u00E9/n\u00E9");
    // Every two-byte name round-trips (one or two characters, any bytes
    // that are UTF-8).
    for (int a = 0x20; a < 0x100; a++)
        for (int b = 0x20; b < 0x100; b++) {
            if (a == '/' || b == '/') continue;
            const std::string os{static_cast<char>(a), static_cast<char>(b)};
            if (!is_utf8(os)) continue;
            ASSERT_EQ(kernel_name_to_os(os_name_to_kernel(os)), os) << a << " " << b;
        }
}

// The console shows Mac Roman text, and names the kernel holds in the
// system's bytes once and as they are.
TEST(ConsoleText, MacRomanWithUtf8Words)
{
    struct Case {
        const char *what;
        std::string kernel;
        std::string shown;
    };
    const Case cases[] = {
        {"error bullet", "\xA5 error: x", "• error: x"},
        {"Mac Roman name", "caf\x8E.pat: error opening file", "café.pat: error opening file"},
        {"UTF-8 name after the bullet", "\xA5 error: /tmp/日本.pat: error opening file",
         "• error: /tmp/日本.pat: error opening file"},
        {"Cyrillic between Mac Roman words",
         "\xD2"
         "caf\x8E\xD3 привет \xA5",
         "“café” привет •"},
        {"quoted capital (not UTF-8 as a word)",
         "\xD2\x82"
         "a\xD3",
         "“Ça”"},
        {"tabs and line ends are breaks", "\x8E\tп\n\x8E\r", "é\tп\né\r"},
        {"empty", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string out;
        console_text_to_utf8(c.kernel, out);
        EXPECT_EQ(out, c.shown);
    }
}

TEST(MacRoman, NeverReadsPastTheInput)
{
    // The bytes after the view would complete each sequence.
    const std::string whole = "\xC3\xA9\xE2\x80\xA2\xF0\x9F\x98\x80";
    struct Case {
        std::size_t offset, length;
        std::string expected;
    };
    const Case cases[] = {{0, 1, "?"}, {2, 1, "?"}, {2, 2, "?"}, {5, 3, "?"}, {0, 2, "\x8E"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
        // A heap block of exactly the view's size, so that AddressSanitizer sees any overread.
        auto exact = std::make_unique<char[]>(c.length);
        std::memcpy(exact.get(), whole.data() + c.offset, c.length);
        EXPECT_EQ(utf8_to_macroman(std::string_view(exact.get(), c.length)), c.expected);
    }
}

TEST(PascalStrings, CopyCtoP)
{
    struct Case {
        std::string c;
        std::size_t length;
    };
    const Case cases[] = {
        {"", 0}, {"abc", 3}, {std::string(255, 'x'), 255}, {std::string(256, 'y'), 255}, {std::string(1000, 'z'), 255}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.c.size());
        unsigned char p[256];
        std::memset(p, 0xEE, sizeof p);
        ASI_CopyCtoP(c.c.c_str(), p);
        EXPECT_EQ(p[0], c.length);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(p) + 1, p[0]), c.c.substr(0, c.length));

        char back[257];
        ASI_CopyPtoC(p, back);
        EXPECT_EQ(std::string(back), c.c.substr(0, c.length));
    }
    unsigned char p[256] = {9};
    ASI_CopyCtoP(nullptr, p);
    EXPECT_EQ(p[0], 0);
}

TEST(PascalStrings, ConversionInPlace)
{
    char buffer[257] = "in place";
    ASI_CopyCtoP(buffer, reinterpret_cast<unsigned char *>(buffer));
    EXPECT_EQ(buffer[0], 8);
    EXPECT_EQ(std::string(buffer + 1, 8), "in place");
    ASI_CopyPtoC(reinterpret_cast<unsigned char *>(buffer), buffer);
    EXPECT_STREQ(buffer, "in place");
}

// Cross-check of the whole table against ICU's converter. They agree at every
// byte (glibc's iconv does not: it differs at 0xC6 and 0xF0).
TEST(MacRoman, TableAgreesWithIcu)
{
    const char *uconv = "/usr/bin/uconv";
    if (access(uconv, X_OK) != 0) GTEST_SKIP() << uconv << " is not installed (Debian package icu-devtools)";
    char input[] = "/tmp/kel-macroman-XXXXXX";
    const int fd = mkstemp(input);
    ASSERT_GE(fd, 0);
    const std::string bytes = all_bytes();
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);

    const std::string command = std::string(uconv) + " -f macintosh -t utf-8 " + input;
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string icu;
    char chunk[1024];
    for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) icu.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0);
    unlink(input);

    // Compare character by character, so that a failure names the byte.
    std::size_t at = 0;
    for (int i = 0; i < 256; ++i) {
        const std::string ours = macroman_to_utf8(std::string(1, static_cast<char>(i)));
        ASSERT_LE(at + ours.size(), icu.size()) << "ICU's output ends early at byte " << i;
        EXPECT_EQ(icu.substr(at, ours.size()), ours) << "byte 0x" << std::hex << i;
        at += ours.size();
    }
    EXPECT_EQ(at, icu.size());
}

}  // namespace
}  // namespace kel::toolbox
