// Text encoding at the system's edges.
//
// Text inside the kernel is Mac Roman, one byte a character. It is converted
// to UTF-8 where it leaves the program (console, file names, command line)
// and from UTF-8 where it comes in, through our own 256-entry table: the
// standard mapping (0xA5 BULLET U+2022, 0xC6 INCREMENT U+2206, 0xCA NO-BREAK
// SPACE, 0xDB EURO SIGN, 0xF0 the private-use U+F8FF; 0x00-0x7F ASCII).
// The system's converters do not all agree with it, so none is used.
//
// Length-prefixed strings hold a length byte and at most 255 characters.
//
// Thread-safe.
#ifndef KEL_PLATFORM_MACROMAN_H
#define KEL_PLATFORM_MACROMAN_H

#include <string>
#include <string_view>

namespace kel::toolbox {

// The Unicode code point of the Mac Roman character c.
char32_t macroman_to_unicode(unsigned char c);

std::string macroman_to_utf8(std::string_view text);
// Appends the conversion of text to out; allocates nothing when out already
// has the capacity.
void macroman_to_utf8(std::string_view text, std::string &out);

// Each character Mac Roman cannot hold becomes '?', and so does each
// malformed piece of UTF-8 (a truncated sequence, an overlong form, a
// surrogate, a stray continuation byte, a code point past U+10FFFF): the
// longest start of a valid sequence counts as one piece, and conversion goes
// on at the byte that broke it. Besides the table's own code points, U+2126
// OHM SIGN, U+03BC GREEK SMALL MU and U+0394 GREEK CAPITAL DELTA are taken as
// the Mac Roman omega, micro and increment, forms other converters produce.
std::string utf8_to_macroman(std::string_view text);

// Whether text is well-formed UTF-8 (plain ASCII is).
bool is_utf8(std::string_view text);

// File names at the file-system edge, converted one component (the text
// between slashes) at a time. The system's names are UTF-8 and any name it
// holds must be reachable, so the kernel holds a component in Mac Roman only
// when Mac Roman spells it exactly and the Mac Roman bytes are not
// themselves well-formed UTF-8; every other component keeps the system's
// bytes. The two forms never meet, so kernel_name_to_os tells them apart by
// the same test, and each name the system gives comes back exactly:
// kernel_name_to_os(os_name_to_kernel(n)) == n for every well-formed n. A
// kernel component that is UTF-8 (typed, or read from a file written in
// UTF-8) names the file of those bytes; any other is read as Mac Roman.
std::string os_name_to_kernel(std::string_view os);
std::string kernel_name_to_os(std::string_view kernel);

// Console text as UTF-8: Mac Roman, except that a word (a run of bytes
// between spaces, tabs and line ends) that is well-formed UTF-8 passes
// unchanged, so that a file name the kernel holds in the system's bytes is
// shown once and as it is. Mac Roman text reads the same unless one of its
// words happens to be well-formed UTF-8 with bytes past 0x7F, which takes an
// accented capital or a symbol right before an accented letter (the bytes
// D2 82, an opening quote and C cedilla, are one). Appends to out.
void console_text_to_utf8(std::string_view text, std::string &out);

// Copies the NUL-terminated string c to the length-prefixed string p (room
// for 256 bytes), cut to 255 characters. A null c gives the empty string.
// c and p may overlap (in-place conversion).
void ASI_CopyCtoP(const char *c, unsigned char *p);
// Copies the length-prefixed string p to the NUL-terminated c (room for
// p[0] + 1 bytes). p and c may overlap.
void ASI_CopyPtoC(const unsigned char *p, char *c);

}  // namespace kel::toolbox

#endif  // KEL_PLATFORM_MACROMAN_H
