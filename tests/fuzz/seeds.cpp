// Writes the seed inputs of the fuzz corpora:
//
//     kel_fuzz_seeds tests/fuzz/corpus
//
// fills tests/fuzz/corpus/<target>/ with the files below, replacing those of
// the same name and leaving other files (inputs the fuzzer found and someone
// kept) alone. Seeds are small on purpose: the fuzzer mutates them, and the
// ordinary test run replays them all.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/resources.h"

namespace {

namespace fs = std::filesystem;
using namespace kel::toolbox;

bool put(const fs::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

std::string get(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string le16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)}; }

std::string le32(unsigned long v) { return le16(v & 0xFFFF) + le16(v >> 16 & 0xFFFF); }

// One entry spelled by hand, for files the writer refuses to make.
std::string entry(const char (&type)[5], unsigned id, const std::string &name, const std::string &data)
{
    return std::string(type, 4) + le16(id) + static_cast<char>(name.size()) + name + le32(data.size()) + data;
}

bool resource_seeds(const fs::path &dir)
{
    const std::vector<ResourceEntry> mixed = {
        {res_type("STR#"), 128, "messages", make_string_list({"bang", "int", "float", "", "list"})},
        {res_type("TEXT"), 128, "", "hello, world"},
        {res_type("STR#"), -1, "", make_string_list({"\xA5 error"})},
        {res_type("TEXT"), -32768, "lowest", ""},
        {res_type("DATA"), 32767, "highest", std::string("\0\x01\x02\xFF", 4)},
    };
    const std::vector<ResourceEntry> one = {{res_type("ICN#"), 0, "", "x"}};

    // 'STR#' lists: one whose count claims more strings than it holds, one
    // whose last string runs past the end of its data, one cut inside its count.
    std::string short_list = make_string_list({"one", "two"});
    short_list[1] = 9;
    std::string cut_list = make_string_list({"one", "two"});
    cut_list.pop_back();
    const std::vector<ResourceEntry> lists = {{kStringListType, 1, "", short_list},
                                              {kStringListType, 2, "", cut_list},
                                              {kStringListType, 3, "", std::string(1, '\0')}};

    if (!write_resource_file((dir / "valid-mixed.res").string(), mixed) ||
        !write_resource_file((dir / "valid-empty.res").string(), {}) ||
        !write_resource_file((dir / "valid-one.res").string(), one) ||
        !write_resource_file((dir / "valid-string-lists-malformed.res").string(), lists))
        return false;
    const std::string valid = get(dir / "valid-mixed.res");

    const std::string header = "KRES" + le16(1) + le16(0);
    const std::pair<const char *, std::string> broken[] = {
        {"truncated-header.res", valid.substr(0, 10)},
        {"truncated-in-name.res", valid.substr(0, 20)},
        {"truncated-in-data.res", valid.substr(0, valid.size() - 1)},
        {"trailing-byte.res", valid + '\0'},
        {"bad-magic.res", "KREZ" + valid.substr(4)},
        {"bad-version.res", "KRES" + le16(2) + valid.substr(6)},
        {"bad-flags.res", "KRES" + le16(1) + le16(1) + valid.substr(8)},
        {"count-too-large.res", header + le32(0xFFFFFFFF) + entry("TEXT", 1, "", "a")},
        {"data-length-too-large.res", header + le32(1) + "TEXT" + le16(1) + '\0' + le32(0xFFFFFFF0) + "abc"},
        {"duplicate-type-and-id.res", header + le32(2) + entry("TEXT", 7, "a", "1") + entry("TEXT", 7, "b", "2")},
    };
    for (const auto &[name, bytes] : broken)
        if (!put(dir / name, bytes)) return false;
    return true;
}

bool macroman_seeds(const fs::path &dir)
{
    std::string all_bytes;
    for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
    const std::pair<const char *, std::string> seeds[] = {
        {"ascii.txt", "metro 500\n; toggle 1;\tbang"},
        // Mac Roman as the kernel holds it: all 256 bytes, in order.
        {"all-bytes.bin", all_bytes},
        // Well-formed UTF-8: characters of the table, the other forms of omega,
        // micro and increment, characters Mac Roman lacks, a four-byte one.
        {"utf8-valid.txt", "Caf\xC3\xA9 \xE2\x80\xA2 \xE2\x82\xAC \xEF\xA3\xBF \xE2\x84\xA6\xCE\xBC\xCE\x94 "
                           "\xE2\x88\x86\xCE\xA9\xC2\xB5 \xC3\x85\xC3\xB8 \xD0\x96 \xE4\xB8\xAD \xF0\x9F\x8E\xB9"},
        // Malformed pieces: truncated sequences in the middle and at the end,
        // overlong forms, surrogates, past U+10FFFF, stray continuation bytes,
        // bytes that never occur in UTF-8.
        {"utf8-truncated.txt", "a\xC3 b\xE2\x82 c\xF0\x9F\x8E d\xE2\x82"},
        {"utf8-overlong.txt", "\xC0\xAF \xC1\xBF \xE0\x80\xAF \xE0\x9F\xBF \xF0\x80\x80\xAF \xF0\x8F\xBF\xBF"},
        {"utf8-surrogates.txt", "\xED\xA0\x80 \xED\xBF\xBF \xED\x9F\xBF \xED\xA0\xBD\xED\xB8\x80"},
        {"utf8-out-of-range.txt", "\xF4\x8F\xBF\xBF \xF4\x90\x80\x80 \xF5\x80\x80\x80 \xF8\x88\x80\x80\x80"},
        {"utf8-stray.txt", "\x80\xBF \xFE\xFF \xC2\xC2\xA0 \xE2\x28\xA1 \xF0\x90\x28\xBC"},
    };
    for (const auto &[name, bytes] : seeds)
        if (!put(dir / name, bytes)) return false;
    return true;
}

std::string be32(unsigned long v)
{
    return {static_cast<char>(v >> 24 & 0xFF), static_cast<char>(v >> 16 & 0xFF), static_cast<char>(v >> 8 & 0xFF),
            static_cast<char>(v & 0xFF)};
}

std::string chunk(const std::string &type, const std::string &data) { return type + be32(data.size() + 8) + data; }

std::string name_field(const std::string &name)
{
    std::string data = name + '\0';
    while (data.size() % 4) data += '\0';
    return chunk("fnam", data);
}

// A collective: the header, the entries' bytes, then a directory of the
// given "dire" chunks (whose offsets count from the start of the file).
std::string collective(const std::string &body, const std::string &directory)
{
    return chunk("kl@c", be32(0) + be32(16 + body.size())) + body + chunk("dlst", directory);
}

std::string dire(const std::string &name, const char (&type)[5], unsigned long offset, unsigned long size,
                 unsigned long flags)
{
    return chunk("dire", name_field(name) + chunk("type", std::string(type, 4)) + chunk("of32", be32(offset)) +
                             chunk("sz32", be32(size)) + chunk("flag", be32(flags)));
}

bool collective_seeds(const fs::path &dir)
{
    const std::string patch = "#N vpatcher 20 74 620 474;\n#P newex 20 20 60 196617 print hi;\n#P pop;\n";
    const std::string two = collective(patch + "text!", dire("init.pat", "TEXT", 16, patch.size(), 1) +
                                                            dire("Notes.txt", "TEXT", 16 + patch.size(), 5, 0));
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"two-entries.klf", two},
        // Fields in another order, chunks of unknown types at both levels,
        // the old external type, a hidden entry and two names alike but for
        // their letter case.
        {"odd-fields.klf",
         collective("abcdefgh",
                    chunk("note", "skipped") +
                        chunk("dire", chunk("flag", be32(2)) + chunk("sz32", be32(4)) + chunk("zzzz", "?") +
                                          chunk("of32", be32(16)) + chunk("type", "xdll") + name_field("lib.kle")) +
                        dire("A.txt", "TEXT", 20, 4, 0) + dire("a.TXT", "TEXT", 16, 8, 0))},
        // Windows past the end, a string without its end, sizes below 8 and
        // past their parent, a directory that is not a list.
        {"far-window.klf", collective("xy", dire("far", "TEXT", 0xFFFFFFF0, 0x7FFFFFFF, 0))},
        {"no-nul.klf", collective("", chunk("dire", chunk("fnam", "abcd")))},
        {"small-size.klf", collective("", "dire" + be32(4))},
        {"past-parent.klf", collective("", chunk("dire", "fnam" + be32(400) + "x"))},
        {"not-dlst.klf", chunk("kl@c", be32(0) + be32(16)) + chunk("dirx", "")},
        {"header-only.klf", chunk("kl@c", be32(0) + be32(9999))},
    };
    for (const auto &[name, bytes] : seeds)
        if (!put(dir / name, bytes)) return false;
    return true;
}

bool tablefile_seeds(const fs::path &dir)
{
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"values.txt", "table 4 5 6 7;\n"},
        {"baggage.txt", "table 1 2 x 3;\n"},
        {"floats.txt", "table 1.5 -2.7 99999999999 -0;\n"},
        {"not-a-table.txt", "hello 1 2;\n"},
        {"empty-table.txt", "table;\n"},
        {"lines.txt", "table 1 2;\ntable 3;\n"},
    };
    for (const auto &[name, bytes] : seeds)
        if (!put(dir / name, bytes)) return false;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    std::error_code error;
    fs::create_directories(root / "fuzz_resources", error);
    fs::create_directories(root / "fuzz_macroman", error);
    fs::create_directories(root / "fuzz_collective", error);
    fs::create_directories(root / "fuzz_tablefile", error);
    if (!resource_seeds(root / "fuzz_resources") || !macroman_seeds(root / "fuzz_macroman") ||
        !collective_seeds(root / "fuzz_collective") || !tablefile_seeds(root / "fuzz_tablefile")) {
        std::fprintf(stderr, "kel_fuzz_seeds: cannot write the seeds under %s\n", root.c_str());
        return 1;
    }
    return 0;
}
