// Fuzz target: text encoding at the edges (platform/macroman.h).
//
// The input is read both ways:
//   - as Mac Roman: converting to UTF-8 gives well-formed UTF-8 of exactly
//     one character per byte, and converting that back gives the input again;
//     appending to a string keeps what was there;
//   - as UTF-8 from outside: the result equals that of a reference decoder
//     written here independently - one byte per well-formed character (its Mac
//     Roman byte, or '?' when Mac Roman has none) and one '?' per malformed
//     piece, a piece being the longest start of some well-formed sequence
//     (at least one byte);
//   - as a C string: copying it to a length-prefixed string and back, in
//     place, gives its first 255 characters.
#include "platform/macroman.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "tests/fuzz/fuzz_check.h"

namespace {

using kel::toolbox::macroman_to_unicode;

constexpr char32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length

// Bytes of the sequence a lead byte begins; 0 when it cannot begin one.
std::size_t sequence_length(unsigned char lead)
{
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;  // continuation byte
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 0;
}

// The value bits of an n-byte sequence, ignoring whether it is well formed.
char32_t assemble(const unsigned char *bytes, std::size_t n)
{
    char32_t c = bytes[0] & (0xFFu >> (n + 1));
    for (std::size_t k = 1; k < n; ++k) c = c << 6 | (bytes[k] & 0x3Fu);
    return c;
}

bool well_formed(char32_t c, std::size_t n)
{
    return c >= kLowest[n] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
}

// True when the lead byte and k - 1 continuation bytes at bytes begin some
// well-formed n-byte sequence. The completions of such a start form a range
// of code points, and no range this narrow straddles an invalid stretch, so
// trying its two ends is enough.
bool begins_well_formed(const unsigned char *bytes, std::size_t k, std::size_t n)
{
    for (unsigned char fill : {0x80, 0xBF}) {
        unsigned char full[4];
        std::memcpy(full, bytes, k);
        std::memset(full + k, fill, n - k);
        if (well_formed(assemble(full, n), n)) return true;
    }
    return false;
}

struct Piece {
    std::size_t length;
    bool ok;
    char32_t code;  // when ok
};

Piece next_piece(const unsigned char *bytes, std::size_t left)
{
    const std::size_t n = sequence_length(bytes[0]);
    if (n == 0) return {1, false, 0};
    if (n == 1) return {1, true, bytes[0]};
    std::size_t have = 1;  // the lead, then the continuation bytes that follow it
    while (have < n && have < left && (bytes[have] & 0xC0) == 0x80) ++have;
    if (have == n) {
        const char32_t c = assemble(bytes, n);
        if (well_formed(c, n)) return {n, true, c};
    }
    for (std::size_t k = std::min(have, n - 1); k >= 2; --k)
        if (begins_well_formed(bytes, k, n)) return {k, false, 0};
    return {1, false, 0};
}

// Code point -> Mac Roman byte, from the forward table and the three other
// forms of omega, micro and increment that are accepted.
const std::unordered_map<char32_t, unsigned char> &reverse_table()
{
    static const auto table = [] {
        std::unordered_map<char32_t, unsigned char> t;
        for (unsigned b = 0; b < 256; ++b) {
            const bool fresh =
                t.emplace(macroman_to_unicode(static_cast<unsigned char>(b)), static_cast<unsigned char>(b)).second;
            FUZZ_CHECK(fresh, "two Mac Roman bytes map to one code point");
        }
        for (auto [code, byte] : {std::pair<char32_t, unsigned char>{0x2126, 0xBD}, {0x03BC, 0xB5}, {0x0394, 0xC6}})
            t.emplace(code, byte);
        return t;
    }();
    return table;
}

std::string reference_utf8_to_macroman(std::string_view text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const Piece piece = next_piece(bytes + at, text.size() - at);
        char byte = '?';
        if (piece.ok) {
            auto it = reverse_table().find(piece.code);
            if (it != reverse_table().end()) byte = static_cast<char>(it->second);
        }
        out.push_back(byte);
        at += piece.length;
    }
    return out;
}

// The number of characters of text when it is well-formed UTF-8, else -1.
long utf8_characters(std::string_view text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    long count = 0;
    for (std::size_t at = 0; at < text.size(); ++count) {
        const Piece piece = next_piece(bytes + at, text.size() - at);
        if (!piece.ok) return -1;
        at += piece.length;
    }
    return count;
}

void check_from_macroman(std::string_view input)
{
    const std::string utf8 = kel::toolbox::macroman_to_utf8(input);
    FUZZ_CHECK(utf8_characters(utf8) == static_cast<long>(input.size()),
               "Mac Roman -> UTF-8 is not well-formed UTF-8 of one character per byte");
    FUZZ_CHECK(kel::toolbox::utf8_to_macroman(utf8) == input, "Mac Roman -> UTF-8 -> Mac Roman changed the text");

    std::string appended = "prefix";
    kel::toolbox::macroman_to_utf8(input, appended);
    FUZZ_CHECK(appended == "prefix" + utf8, "appending conversion differs from the plain one");
}

void check_from_utf8(std::string_view input)
{
    const std::string roman = kel::toolbox::utf8_to_macroman(input);
    FUZZ_CHECK(roman.size() <= input.size(), "UTF-8 -> Mac Roman grew the text");
    FUZZ_CHECK(roman == reference_utf8_to_macroman(input), "UTF-8 -> Mac Roman differs from the reference decoder");
}

void check_length_prefixed(std::string_view input)
{
    const std::string c_string(input.substr(0, input.find('\0')));  // up to the first NUL
    const std::size_t length = std::min<std::size_t>(c_string.size(), 255);

    std::array<unsigned char, 257> buffer{};
    std::memcpy(buffer.data(), c_string.data(), std::min<std::size_t>(c_string.size(), 256));
    kel::toolbox::ASI_CopyCtoP(reinterpret_cast<const char *>(buffer.data()), buffer.data());  // in place
    FUZZ_CHECK(buffer[0] == length, "C -> length-prefixed string has the wrong length");
    FUZZ_CHECK(std::memcmp(buffer.data() + 1, c_string.data(), length) == 0,
               "C -> length-prefixed string changed the characters");

    kel::toolbox::ASI_CopyPtoC(buffer.data(), reinterpret_cast<char *>(buffer.data()));  // in place
    FUZZ_CHECK(std::string_view(reinterpret_cast<const char *>(buffer.data())) == c_string.substr(0, length),
               "length-prefixed -> C string is not the first 255 characters");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    check_from_macroman(input);
    check_from_utf8(input);
    check_length_prefixed(input);
    return 0;
}
