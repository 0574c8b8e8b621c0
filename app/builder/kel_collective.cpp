// kel-collective: writes a collective, one file that bundles patchers,
// external object libraries and support files so that an application runs
// from one package.
//
// The file is a tree of chunks (a four-character type, a 32-bit size that
// counts the 8 bytes of type and size, then the data), every integer 32-bit
// big-endian:
//
//   "kl@c" header, 16 bytes: 4 zero bytes, then the directory's offset
//   the entries' bytes, each from a multiple of 4, zero bytes between
//   "dlst" directory: one "dire" chunk per entry, in the order given, each a
//     sequence of fields: "fnam" (string), "type", "of32", "sz32", "flag"
//     (integers), then "vers" (integer) and "auth" (string) when given
//
// An integer field is 12 bytes; a string field holds the string, a NUL and
// zero bytes up to a multiple of 4.
//
// Nothing is left behind by a refusal: the output is written to a temporary
// file in its own folder and renamed into place only once it is complete, so
// an existing file of that name stays as it was until then.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#ifndef KEL_VERSION
#define KEL_VERSION "0"
#endif

namespace {

constexpr const char *program = "kel-collective";
constexpr int exit_refused = 1;
constexpr int exit_usage = 2;

// The reader's offsets and sizes are signed 32-bit numbers.
constexpr std::uint64_t max_file_size = 0x7FFFFFFF;
constexpr std::size_t max_name_length = 255;

constexpr std::uint32_t flag_load = 1;    // opened when the collective loads
constexpr std::uint32_t flag_hidden = 2;  // not found by name

const char usage_text[] = R"(usage: kel-collective [-v] OUT.klf [ENTRY-OPTIONS] FILE [[ENTRY-OPTIONS] FILE ...]

Writes the collective OUT.klf holding each FILE as an entry, in the order given.

Entry options apply to the next FILE only:
  -t, --type CODE        the entry's 4-character type (default: "iLaF" for an
                         ELF library, "kelb" for a binary patcher, else "TEXT")
  -n, --name NAME        the entry's name (default: the file's last path
                         component); one file-name component, at most 255
                         bytes, unique ignoring letter case
  -l, --load             opened when the collective loads
  -H, --hidden           not found by name
      --entry-version N  a version number (0 to 4294967295) for the entry
      --author TEXT      the entry's author

Options:
  -v, --verbose          one line per entry: name, type, flags, size
  -h, --help             print this help and exit
  -V, --version          print the version and exit
  --                     every later argument is a FILE

Exit status:
  0  the collective was written
  1  refused (an input cannot be read, a bad name or type, too big); no
     output file is left behind
  2  a mistake on the command line
)";

struct entry {
    std::string file;  // as given on the command line
    std::string name;
    bool name_given = false;  // by --name, even as an empty name (refused)
    std::string type;         // empty until given or found from the contents
    std::uint32_t flags = 0;
    std::optional<std::uint32_t> version;
    std::optional<std::string> author;
    std::vector<unsigned char> bytes;
    std::uint32_t offset = 0;
};

struct options {
    std::string out;
    std::vector<entry> entries;
    bool verbose = false;
};

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "%s: %s (run '%s --help' for the options)\n", program, what.c_str(), program);
    return exit_usage;
}

int refuse(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", program, what.c_str());
    return exit_refused;
}

// A decimal number from 0 to 2^32 - 1, the whole of the text.
std::optional<std::uint32_t> parse_u32(const std::string &text)
{
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFF) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

// Parses the command line into *out. Returns -1 to go on, else the exit
// status (0 after --help or --version).
int parse(int argc, char **argv, options &out)
{
    entry next;               // the entry options seen since the last FILE
    std::string pending;      // the last entry option given, for a message
    bool only_files = false;  // after "--"
    bool have_out = false;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (!only_files && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                only_files = true;
                continue;
            }
            // An option with a value takes it from "--long=VALUE" or from the
            // next argument.
            std::string key = arg;
            std::optional<std::string> inline_value;
            if (arg.rfind("--", 0) == 0) {
                const std::size_t eq = arg.find('=');
                if (eq != std::string::npos) {
                    key = arg.substr(0, eq);
                    inline_value = arg.substr(eq + 1);
                }
            }
            auto value = [&](std::string &into) -> bool {
                if (inline_value) {
                    into = *inline_value;
                    return true;
                }
                if (i + 1 >= argc) return false;
                into = argv[++i];
                return true;
            };
            auto no_value = [&]() { return !inline_value; };
            if ((key == "-h" || key == "--help") && no_value()) {
                std::fputs(usage_text, stdout);
                return 0;
            }
            if ((key == "-V" || key == "--version") && no_value()) {
                std::puts("kel-collective " KEL_VERSION);
                return 0;
            }
            if ((key == "-v" || key == "--verbose") && no_value()) {
                out.verbose = true;
                continue;
            }
            if ((key == "-l" || key == "--load") && no_value()) {
                next.flags |= flag_load;
                pending = key;
                continue;
            }
            if ((key == "-H" || key == "--hidden") && no_value()) {
                next.flags |= flag_hidden;
                pending = key;
                continue;
            }
            if (key == "-t" || key == "--type") {
                if (!value(next.type)) return usage_error(key + " needs a CODE");
                pending = key;
                continue;
            }
            if (key == "-n" || key == "--name") {
                std::string name;
                if (!value(name)) return usage_error(key + " needs a NAME");
                next.name = name;
                next.name_given = true;
                pending = key;
                continue;
            }
            if (key == "--entry-version") {
                std::string text;
                if (!value(text)) return usage_error(key + " needs a number");
                next.version = parse_u32(text);
                if (!next.version) return usage_error(key + ": '" + text + "' is not a number from 0 to 4294967295");
                pending = key;
                continue;
            }
            if (key == "--author") {
                std::string text;
                if (!value(text)) return usage_error(key + " needs a TEXT");
                next.author = text;
                pending = key;
                continue;
            }
            return usage_error("unknown option '" + arg + "'");
        }
        if (!have_out) {
            if (!pending.empty()) return usage_error(pending + " comes before OUT; it applies to a FILE");
            out.out = arg;
            have_out = true;
            continue;
        }
        next.file = arg;
        if (!next.name_given) next.name = std::filesystem::path(arg).filename().string();
        out.entries.push_back(std::move(next));
        next = entry{};
        pending.clear();
    }
    if (!have_out) return usage_error("no OUT file");
    if (out.entries.empty()) return usage_error("no FILE to put in " + out.out);
    if (!pending.empty()) return usage_error(pending + " is followed by no FILE");
    return -1;
}

bool same_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); i++) {
        auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

// The names and given types, before any file is read.
int check_entries(const std::vector<entry> &entries)
{
    for (std::size_t i = 0; i < entries.size(); i++) {
        const entry &e = entries[i];
        if (e.name.empty()) return refuse(e.file + ": the entry name is empty");
        if (e.name.size() > max_name_length) return refuse(e.file + ": the entry name is longer than 255 bytes");
        if (e.name.find_first_of("/\\:") != std::string::npos)
            return refuse(e.file + ": the entry name '" + e.name +
                          "' is not one file-name component (it holds '/', '\\' or ':')");
        for (std::size_t j = 0; j < i; j++) {
            if (!same_ignoring_case(entries[j].name, e.name)) continue;
            if (entries[j].name == e.name) return refuse("the entry name '" + e.name + "' is given twice");
            return refuse("the entry names '" + entries[j].name + "' and '" + e.name + "' differ only in letter case");
        }
    }
    return 0;
}

// The whole of a file, or a message; reading stops once more than `room`
// bytes have come.
std::optional<std::string> read_file(const std::string &file, std::vector<unsigned char> &bytes, std::uint64_t room)
{
    std::FILE *f = std::fopen(file.c_str(), "rb");
    if (!f) return file + ": " + std::strerror(errno);
    unsigned char block[65536];
    for (;;) {
        const std::size_t n = std::fread(block, 1, sizeof block, f);
        bytes.insert(bytes.end(), block, block + n);
        if (bytes.size() > room) break;
        if (n < sizeof block) break;
    }
    const bool failed = std::ferror(f);
    const int error = errno;
    std::fclose(f);
    if (failed) return file + ": " + std::strerror(error);
    return std::nullopt;
}

// The type an entry has when none is given, from its first bytes: the same
// tests the engine makes.
std::string type_of_contents(const std::vector<unsigned char> &bytes)
{
    static const unsigned char elf[] = {0x7F, 'E', 'L', 'F'};
    static const unsigned char patcher[] = {0x02, 0x00, 0x00, 0x00, 0x70};  // version 2, the tag of symbol 0
    if (bytes.size() >= sizeof elf && std::memcmp(bytes.data(), elf, sizeof elf) == 0) return "iLaF";
    if (bytes.size() >= sizeof patcher && std::memcmp(bytes.data(), patcher, sizeof patcher) == 0) return "kelb";
    return "TEXT";
}

std::uint64_t padded(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

// The bytes of a string field's data: the string, a NUL, zero bytes to a
// multiple of 4.
std::uint64_t string_field_size(const std::string &s) { return 8 + padded(s.size() + 1); }

std::uint64_t dire_size(const entry &e)
{
    std::uint64_t size = 8 + string_field_size(e.name) + 4 * 12;
    if (e.version) size += 12;
    if (e.author) size += string_field_size(*e.author);
    return size;
}

class chunk_writer {
public:
    std::vector<unsigned char> bytes;

    void u32(std::uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(v >> shift));
    }
    void code(const std::string &c) { bytes.insert(bytes.end(), c.begin(), c.begin() + 4); }
    void int_field(const char *type, std::uint32_t v)
    {
        code(type);
        u32(12);
        u32(v);
    }
    void string_field(const char *type, const std::string &s)
    {
        const std::uint64_t size = string_field_size(s);
        code(type);
        u32(static_cast<std::uint32_t>(size));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.insert(bytes.end(), size - 8 - s.size(), 0);
    }
};

// Writes all of `bytes`, then `pad` zero bytes.
bool put(std::FILE *f, const std::vector<unsigned char> &bytes, std::size_t pad = 0)
{
    static const unsigned char zeros[4] = {0, 0, 0, 0};
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return false;
    return pad == 0 || std::fwrite(zeros, 1, pad, f) == pad;
}

// The mode a new file gets from the process's umask (the temporary file is
// made readable by its owner alone).
mode_t new_file_mode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

int write_collective(const options &opt, const std::vector<unsigned char> &directory)
{
    namespace fs = std::filesystem;
    fs::path folder = fs::path(opt.out).parent_path();
    if (folder.empty()) folder = ".";
    std::string temp = (folder / ".kel-collective.XXXXXX").string();
    std::vector<char> pattern(temp.begin(), temp.end());
    pattern.push_back('\0');
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return refuse(opt.out + ": cannot make a file in " + folder.string() + ": " + std::strerror(errno));
    temp = pattern.data();
    std::FILE *f = ::fdopen(fd, "wb");
    if (!f) {
        const int error = errno;
        ::close(fd);
        std::remove(temp.c_str());
        return refuse(opt.out + ": " + std::strerror(error));
    }

    // The directory follows the last entry's padded bytes.
    const entry &last = opt.entries.back();
    chunk_writer header;
    header.code("kl@c");
    header.u32(16);
    header.u32(0);
    header.u32(static_cast<std::uint32_t>(last.offset + padded(last.bytes.size())));

    bool ok = put(f, header.bytes);
    for (const entry &e : opt.entries)
        if (ok) ok = put(f, e.bytes, padded(e.bytes.size()) - e.bytes.size());
    if (ok) ok = put(f, directory);
    ok = ok && std::fflush(f) == 0 && ::fchmod(fd, new_file_mode()) == 0 && ::fsync(fd) == 0;
    int error = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && std::rename(temp.c_str(), opt.out.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        std::remove(temp.c_str());
        return refuse(opt.out + ": " + std::strerror(error));
    }
    return 0;
}

std::string flag_names(std::uint32_t flags)
{
    if (flags == 0) return "-";
    std::string names;
    if (flags & flag_load) names = "load";
    if (flags & flag_hidden) names += names.empty() ? "hidden" : ",hidden";
    return names;
}

int run(options &opt)
{
    for (const entry &e : opt.entries)
        if (!e.type.empty() && e.type.size() != 4)
            return refuse(e.file + ": the type '" + e.type + "' is not 4 bytes long");
    if (const int status = check_entries(opt.entries)) return status;

    // The size of everything but the entries' bytes, then each entry's bytes
    // in turn: nothing is read past the largest file the reader can open.
    std::uint64_t total = 16 + 8;
    for (const entry &e : opt.entries) total += dire_size(e);
    if (total > max_file_size) return refuse(opt.out + ": the collective would be larger than 2147483647 bytes");
    for (entry &e : opt.entries) {
        if (const auto problem = read_file(e.file, e.bytes, max_file_size - total)) return refuse(*problem);
        total += padded(e.bytes.size());
        if (total > max_file_size) return refuse(opt.out + ": the collective would be larger than 2147483647 bytes");
        if (e.type.empty()) e.type = type_of_contents(e.bytes);
    }

    std::uint64_t offset = 16;
    for (entry &e : opt.entries) {
        e.offset = static_cast<std::uint32_t>(offset);
        offset += padded(e.bytes.size());
    }

    chunk_writer dir;
    std::uint64_t dlst_size = 8;
    for (const entry &e : opt.entries) dlst_size += dire_size(e);
    dir.code("dlst");
    dir.u32(static_cast<std::uint32_t>(dlst_size));
    for (const entry &e : opt.entries) {
        dir.code("dire");
        dir.u32(static_cast<std::uint32_t>(dire_size(e)));
        dir.string_field("fnam", e.name);
        dir.int_field("type", static_cast<std::uint32_t>(static_cast<unsigned char>(e.type[0])) << 24 |
                                  static_cast<std::uint32_t>(static_cast<unsigned char>(e.type[1])) << 16 |
                                  static_cast<std::uint32_t>(static_cast<unsigned char>(e.type[2])) << 8 |
                                  static_cast<std::uint32_t>(static_cast<unsigned char>(e.type[3])));
        dir.int_field("of32", e.offset);
        dir.int_field("sz32", static_cast<std::uint32_t>(e.bytes.size()));
        dir.int_field("flag", e.flags);
        if (e.version) dir.int_field("vers", *e.version);
        if (e.author) dir.string_field("auth", *e.author);
    }

    if (const int status = write_collective(opt, dir.bytes)) return status;
    if (opt.verbose)
        for (const entry &e : opt.entries)
            std::printf("%s\t%s\t%s\t%zu\n", e.name.c_str(), e.type.c_str(), flag_names(e.flags).c_str(),
                        e.bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    options opt;
    const int status = parse(argc, argv, opt);
    if (status >= 0) return status;
    return run(opt);
}
