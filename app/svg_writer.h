// A small writer of SVG documents into a string.
//
// Everything that goes out through it is well-formed XML, whatever it is
// given: names of elements and attributes are the caller's constants; text
// and attribute values are UTF-8 that is escaped (& < > " '), with every
// malformed byte sequence and every code point XML 1.0 does not allow (the
// control characters but tab, line feed and carriage return; U+FFFE, U+FFFF)
// replaced by U+FFFD. So a file name or a box text cannot add markup.
#pragma once

#include <string>
#include <string_view>

namespace kel::app {

// Appends utf8 to out as XML character data (also usable in attribute
// values, in double or single quotes).
void xml_escape(std::string_view utf8, std::string &out);

// Appends text to out as the path of a relative URL: bytes other than
// letters, digits and - . _ ~ / are percent-encoded.
void url_path_escape(std::string_view text, std::string &out);

class svg_writer {
public:
    explicit svg_writer(std::string &out) : out_(out) {}
    svg_writer(const svg_writer &) = delete;
    svg_writer &operator=(const svg_writer &) = delete;

    // <tag ...: attributes follow until the element is closed by empty()
    // (<tag/>) or given content (text(), a child, or end()).
    svg_writer &begin(std::string_view tag);
    svg_writer &attr(std::string_view name, std::string_view value);
    svg_writer &attr(std::string_view name, long value);
    svg_writer &attr(std::string_view name, double value);
    // An attribute whose value the caller has already made safe (numbers
    // and constants joined), appended as it is.
    svg_writer &attr_raw(std::string_view name, std::string_view value);
    void empty();
    svg_writer &text(std::string_view utf8);
    void end(std::string_view tag);
    // Text appended as it is between elements (constants: a style sheet).
    void raw(std::string_view text);

private:
    // Starts an attribute: a space, the name and =" (the caller writes the
    // value and the closing quote).
    void open_attr(std::string_view name);
    void close_start();

    std::string &out_;
    bool start_open_ = false;
};

// Appends the decimal form of v (at most two decimals, no trailing zeros).
void append_number(std::string &out, double v);
void append_number(std::string &out, long v);

}  // namespace kel::app
