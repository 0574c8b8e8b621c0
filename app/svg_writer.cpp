#include "app/svg_writer.h"

#include <charconv>
#include <cmath>

namespace kel::app {
namespace {

// XML 1.0's Char production.
bool xml_char(char32_t c)
{
    if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
    if (c <= 0xD7FF) return true;
    if (c < 0xE000) return false;
    if (c <= 0xFFFD) return true;
    return c >= 0x10000 && c <= 0x10FFFF;
}

// Decodes one well-formed UTF-8 sequence at text[i]; answers its length, or
// 0 when the bytes there are not one (truncated, overlong, a surrogate,
// past U+10FFFF, a stray continuation byte).
size_t utf8_decode(std::string_view text, size_t i, char32_t *c)
{
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
        *c = b0;
        return 1;
    }
    size_t n;
    char32_t v, min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2, v = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3, v = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4, v = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *c = v;
    return n;
}

}  // namespace

void xml_escape(std::string_view utf8, std::string &out)
{
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    size_t i = 0;
    while (i < utf8.size()) {
        const char ch = utf8[i];
        switch (ch) {
        case '&':
            out += "&amp;";
            i++;
            continue;
        case '<':
            out += "&lt;";
            i++;
            continue;
        case '>':
            out += "&gt;";
            i++;
            continue;
        case '"':
            out += "&quot;";
            i++;
            continue;
        case '\'':
            out += "&apos;";
            i++;
            continue;
        default:
            break;
        }
        char32_t c = 0;
        const size_t n = utf8_decode(utf8, i, &c);
        if (n == 0) {
            out += replacement;
            i++;
        } else {
            if (xml_char(c))
                out.append(utf8.substr(i, n));
            else
                out += replacement;
            i += n;
        }
    }
}

void url_path_escape(std::string_view text, std::string &out)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || c == '/') {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
}

void append_number(std::string &out, long v)
{
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    out.append(text, ec == std::errc() ? end : text);
}

void append_number(std::string &out, double v)
{
    if (!std::isfinite(v)) v = 0;
    const double rounded = std::round(v * 100) / 100;
    if (rounded == std::floor(rounded) && std::fabs(rounded) < 1e15) {
        append_number(out, static_cast<long>(rounded));
        return;
    }
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, rounded, std::chars_format::fixed, 2);
    if (ec != std::errc()) return append_number(out, 0L);
    while (end > text && end[-1] == '0') end--;
    out.append(text, end);
}

svg_writer &svg_writer::begin(std::string_view tag)
{
    close_start();
    out_ += '<';
    out_ += tag;
    start_open_ = true;
    return *this;
}

void svg_writer::open_attr(std::string_view name)
{
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
}

svg_writer &svg_writer::attr(std::string_view name, std::string_view value)
{
    open_attr(name);
    xml_escape(value, out_);
    out_ += '"';
    return *this;
}

svg_writer &svg_writer::attr(std::string_view name, long value)
{
    open_attr(name);
    append_number(out_, value);
    out_ += '"';
    return *this;
}

svg_writer &svg_writer::attr(std::string_view name, double value)
{
    open_attr(name);
    append_number(out_, value);
    out_ += '"';
    return *this;
}

svg_writer &svg_writer::attr_raw(std::string_view name, std::string_view value)
{
    open_attr(name);
    out_ += value;
    out_ += '"';
    return *this;
}

void svg_writer::empty()
{
    out_ += "/>\n";
    start_open_ = false;
}

svg_writer &svg_writer::text(std::string_view utf8)
{
    close_start();
    xml_escape(utf8, out_);
    return *this;
}

void svg_writer::end(std::string_view tag)
{
    close_start();
    out_ += "</";
    out_ += tag;
    out_ += ">\n";
}

void svg_writer::raw(std::string_view text)
{
    close_start();
    out_ += text;
}

void svg_writer::close_start()
{
    if (!start_open_) return;
    out_ += '>';
    start_open_ = false;
}

}  // namespace kel::app
