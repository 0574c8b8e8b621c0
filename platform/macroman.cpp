// Mac Roman <-> UTF-8.
//
// Invariant: kUpper and kReverse hold the same 128 pairs; kReverse is sorted
// by code point, so that encoding is a binary search.
#include "platform/macroman.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kel::toolbox {

namespace {

// Code points of 0x80..0xFF.
constexpr std::array<char16_t, 128> kUpper = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,  // 0x80
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,  // 0x88
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,  // 0x90
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,  // 0x98
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,  // 0xA0
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,  // 0xA8
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,  // 0xB0
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,  // 0xB8
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,  // 0xC0
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,  // 0xC8
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,  // 0xD0
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,  // 0xD8
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,  // 0xE0
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,  // 0xE8
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,  // 0xF0
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,  // 0xF8
};

struct Reverse {
    char16_t code;
    unsigned char byte;
};

// Code points other converters use for three Mac Roman characters.
constexpr Reverse kAliases[] = {{0x0394, 0xC6}, {0x03BC, 0xB5}, {0x2126, 0xBD}};

constexpr auto kReverse = [] {
    std::array<Reverse, 128 + std::size(kAliases)> table{};
    for (std::size_t i = 0; i < 128; ++i) table[i] = {kUpper[i], static_cast<unsigned char>(0x80 + i)};
    for (std::size_t i = 0; i < std::size(kAliases); ++i) table[128 + i] = kAliases[i];
    std::sort(table.begin(), table.end(), [](Reverse a, Reverse b) { return a.code < b.code; });
    return table;
}();

static_assert(std::adjacent_find(kReverse.begin(), kReverse.end(),
                                 [](Reverse a, Reverse b) { return a.code == b.code; }) == kReverse.end(),
              "two Mac Roman bytes share a code point");

constexpr std::size_t utf8_length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

char *put_utf8(char32_t c, char *out)
{
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | c >> 6);
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        // The table holds only code points of the Basic Multilingual Plane.
        *out++ = static_cast<char>(0xE0 | c >> 12);
        *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

unsigned char encode(char32_t c)
{
    if (c < 0x80) return static_cast<unsigned char>(c);
    auto it =
        std::lower_bound(kReverse.begin(), kReverse.end(), c, [](Reverse r, char32_t code) { return r.code < code; });
    return (it != kReverse.end() && it->code == c) ? it->byte : '?';
}

// Decodes one character from text at *at, advancing *at; a malformed piece
// returns the replacement marker kMalformed.
constexpr char32_t kMalformed = 0xFFFFFFFF;

char32_t decode(std::string_view text, std::size_t *at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(*at);
    ++*at;
    if (lead < 0x80) return lead;
    std::size_t more;
    char32_t c;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return kMalformed;  // continuation byte, C0/C1 overlong lead, F5..FF
    }
    for (std::size_t k = 0; k < more; ++k) {
        if (*at >= text.size()) return kMalformed;
        const unsigned char b = byte(*at);
        if (b < (k == 0 ? low : 0x80) || b > (k == 0 ? high : 0xBF)) return kMalformed;
        c = c << 6 | (b & 0x3F);
        ++*at;
    }
    return c;
}

}  // namespace

char32_t macroman_to_unicode(unsigned char c) { return c < 0x80 ? c : kUpper[c - 0x80]; }

void macroman_to_utf8(std::string_view text, std::string &out)
{
    std::size_t length = 0;
    for (char c : text) length += utf8_length(macroman_to_unicode(static_cast<unsigned char>(c)));
    const std::size_t start = out.size();
    out.resize(start + length);
    char *p = out.data() + start;
    for (char c : text) p = put_utf8(macroman_to_unicode(static_cast<unsigned char>(c)), p);
}

std::string macroman_to_utf8(std::string_view text)
{
    std::string out;
    macroman_to_utf8(text, out);
    return out;
}

std::string utf8_to_macroman(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const char32_t c = decode(text, &at);
        out.push_back(static_cast<char>(c == kMalformed ? '?' : encode(c)));
    }
    return out;
}

bool is_utf8(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size())
        if (decode(text, &at) == kMalformed) return false;
    return true;
}

namespace {

// Converts each component of a name (the pieces between slashes) by itself,
// so that a name joined from pieces in different forms converts exactly.
template <typename Convert> std::string each_component(std::string_view name, Convert convert)
{
    std::string out;
    out.reserve(name.size());
    std::size_t at = 0;
    for (;;) {
        const std::size_t slash = name.find('/', at);
        convert(name.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at), out);
        if (slash == std::string_view::npos) return out;
        out.push_back('/');
        at = slash + 1;
    }
}

bool is_ascii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string os_name_to_kernel(std::string_view os)
{
    return each_component(os, [](std::string_view component, std::string &out) {
        if (!is_ascii(component) && is_utf8(component)) {
            const std::string roman = utf8_to_macroman(component);
            // Not every name Mac Roman takes comes back as it was: '?' for
            // what it cannot spell, and the three alias code points.
            if (!is_utf8(roman) && macroman_to_utf8(roman) == component) {
                out.append(roman);
                return;
            }
        }
        out.append(component);
    });
}

std::string kernel_name_to_os(std::string_view kernel)
{
    return each_component(kernel, [](std::string_view component, std::string &out) {
        if (is_utf8(component))
            out.append(component);
        else
            macroman_to_utf8(component, out);
    });
}

void console_text_to_utf8(std::string_view text, std::string &out)
{
    const auto is_break = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = at;
        while (end < text.size() && !is_break(text[end])) ++end;
        if (end == at) ++end;  // a break passes as it is
        const std::string_view word = text.substr(at, end - at);
        if (is_utf8(word))
            out.append(word);
        else
            macroman_to_utf8(word, out);
        at = end;
    }
}

void ASI_CopyCtoP(const char *c, unsigned char *p)
{
    const std::size_t length = c == nullptr ? 0 : strnlen(c, 255);
    if (length > 0) std::memmove(p + 1, c, length);
    p[0] = static_cast<unsigned char>(length);
}

void ASI_CopyPtoC(const unsigned char *p, char *c)
{
    const std::size_t length = p[0];
    std::memmove(c, p + 1, length);
    c[length] = '\0';
}

}  // namespace kel::toolbox
