// The SVG writer: whatever text it is given, what it writes is well-formed
// XML holding that text, or U+FFFD where the text holds what XML cannot.
#include <gtest/gtest.h>

#include <string>

#include "app/svg_writer.h"

namespace {

struct escape_case {
    const char *name;
    std::string in;
    std::string out;
};

class XmlEscape : public ::testing::TestWithParam<escape_case> {};

TEST_P(XmlEscape, Text)
{
    std::string out;
    kel::app::xml_escape(GetParam().in, out);
    EXPECT_EQ(out, GetParam().out);
}

const std::string fffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(Cases, XmlEscape,
                         ::testing::Values(escape_case{"plain", "metro 100", "metro 100"},
                                           escape_case{"markup", "<a href='x'>\"&\"</a>",
                                                       "&lt;a href=&apos;x&apos;&gt;&quot;&amp;&quot;&lt;/a&gt;"},
                                           escape_case{"cdata_end", "]]>", "]]&gt;"},
                                           escape_case{"entity_stays_text", "&amp;", "&amp;amp;"},
                                           escape_case{"utf8_kept", "caf\xC3\xA9 \xE2\x80\xA2 \xF0\x9F\x8E\xB9",
                                                       "caf\xC3\xA9 \xE2\x80\xA2 \xF0\x9F\x8E\xB9"},
                                           escape_case{"tab_and_line_ends_kept", "a\tb\nc\rd", "a\tb\nc\rd"},
                                           escape_case{"control_characters",
                                                       std::string("a\x01"
                                                                   "b\x1B"
                                                                   "c",
                                                                   5),
                                                       "a" + fffd + "b" + fffd + "c"},
                                           escape_case{"nul", std::string("a\0b", 3), "a" + fffd + "b"},
                                           escape_case{"noncharacters", "\xEF\xBF\xBE\xEF\xBF\xBF", fffd + fffd},
                                           escape_case{"stray_continuation", "a\x80z", "a" + fffd + "z"},
                                           escape_case{"truncated_sequence", "a\xE2\x80", "a" + fffd + fffd},
                                           escape_case{"truncated_before_markup", "\xC3<", fffd + "&lt;"},
                                           escape_case{"overlong_slash", "\xC0\xAF", fffd + fffd},
                                           escape_case{"overlong_three_bytes", "\xE0\x80\xBC", fffd + fffd + fffd},
                                           escape_case{"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
                                           escape_case{"past_u10ffff", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
                                           escape_case{"latin1_byte", "caf\xE9", "caf" + fffd}),
                         [](const ::testing::TestParamInfo<escape_case> &row) { return std::string(row.param.name); });

TEST(UrlPathEscape, KeepsSafeBytesAndEncodesTheRest)
{
    std::string out;
    kel::app::url_path_escape("sub/a b#c?d%\"<>&'\xC3\xA9-_.~", out);
    EXPECT_EQ(out, "sub/a%20b%23c%3Fd%25%22%3C%3E%26%27%C3%A9-_.~");
}

TEST(AppendNumber, IntegersAndTwoDecimals)
{
    struct {
        double in;
        const char *out;
    } cases[] = {{0, "0"},        {-3, "-3"},           {2.5, "2.5"}, {1.005, "1"},
                 {0.125, "0.13"}, {1e300 * 1e300, "0"}, {-0.001, "0"}};
    for (const auto &c : cases) {
        std::string out;
        kel::app::append_number(out, c.in);
        EXPECT_EQ(out, c.out) << c.in;
    }
}

TEST(SvgWriter, ElementsAttributesAndText)
{
    std::string out;
    kel::app::svg_writer w(out);
    w.begin("g").attr("class", "a\"b");
    w.begin("title").text("<x>").end("title");
    w.begin("rect").attr("x", 3L).attr("y", 1.5).empty();
    w.begin("text").end("text");
    w.end("g");
    EXPECT_EQ(out, "<g class=\"a&quot;b\"><title>&lt;x&gt;</title>\n<rect x=\"3\" y=\"1.5\"/>\n<text></text>\n</g>\n");
}

}  // namespace
