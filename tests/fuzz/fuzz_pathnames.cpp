// Fuzz target: path names from outside (kel/path.h): path_nameconform, the
// separator and relative-name tests, and the file-name suffix functions.
//
// Input: byte 0 chooses the style, byte 1 the type, the rest is the name (up
// to its first NUL). The path layer is brought up on a scratch tree with an
// application and a support folder, so that every conversion type has folders
// to work with. Invariants:
//   - results stay inside their buffers and are NUL-terminated;
//   - between the slash and backslash styles the form of a name survives
//     conversion: converting to one and then to the other equals converting
//     straight to the other (also through the colon style, for every form but
//     a plain name, which reads as a volume name there);
//   - every successful conversion to a full, application-relative, root or
//     support name leads back to the same full name (trailing separators
//     aside);
//   - a suffix is the end of the name's last component and begins with '.';
//     stripping one cuts exactly the length it answers.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "kel/path.h"
#include "kernel/files/path.h"
#include "kernel/files/path_private.h"
#include "objects/engine.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::string g_scratch;

void remove_scratch()
{
    std::error_code ignored;
    if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ignored);
}

// Conversion into a buffer of exactly MAX_PATH_CHARS bytes (a heap block, so
// that a write past it is caught).
bool conform(const std::string &name, long style, long type, std::string *out)
{
    std::unique_ptr<char[]> buffer(new char[MAX_PATH_CHARS]);
    if (path_nameconform(name.c_str(), buffer.get(), style, type) != 0) return false;
    const void *end = std::memchr(buffer.get(), '\0', MAX_PATH_CHARS);
    FUZZ_CHECK(end != nullptr, "path_nameconform left its result unterminated");
    *out = buffer.get();
    return true;
}

// A full name without trailing separators: "/a/b/" and "/a/b" name one
// folder, and a name that is exactly a folder comes back without the slash.
std::string trimmed(std::string full)
{
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    return full;
}

std::string conformed(const std::string &name, long style, long type)
{
    std::string out;
    return conform(name, style, type, &out) ? out
                                            : std::string("\x01"
                                                          "failed");
}

void check_styles(const std::string &name)
{
    const bool plain = kel::classify_name(name).kind == kel::name_kind::plain;
    for (long via : {PATH_STYLE_SLASH, PATH_STYLE_BACKSLASH, PATH_STYLE_COLON}) {
        if (via == PATH_STYLE_COLON && plain) continue;
        std::string once;
        if (!conform(name, via, PATH_TYPE_KEEP, &once)) continue;  // too long for the buffer
        for (long to : {PATH_STYLE_SLASH, PATH_STYLE_BACKSLASH})
            FUZZ_CHECK(conformed(once, to, PATH_TYPE_KEEP) == conformed(name, to, PATH_TYPE_KEEP),
                       "converting through another style changed the name's form");
    }
    FUZZ_CHECK(conformed(name, PATH_STYLE_NATIVE, PATH_TYPE_KEEP) == conformed(name, PATH_STYLE_SLASH, PATH_TYPE_KEEP),
               "the native style is not the slash style");
}

void check_types(const std::string &name, long style)
{
    std::string full;
    const bool has_full = conform(name, PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE, &full);
    for (long type : {PATH_TYPE_ABSOLUTE, PATH_TYPE_RELATIVE, PATH_TYPE_ROOT, PATH_TYPE_SUPPORT}) {
        std::string out;
        if (!conform(name, style, type, &out)) continue;
        if (type == PATH_TYPE_RELATIVE)
            FUZZ_CHECK(path_nameisrelative(out.c_str()) == 1, "an application-relative name is not relative");
        if (type == PATH_TYPE_SUPPORT) FUZZ_CHECK(out.compare(0, 4, "VND:") == 0, "a support name is not on VND");
        // A plain name has no full form; a full name too long for the buffer
        // cannot be compared.
        if (!has_full || (type == PATH_TYPE_ABSOLUTE && kel::classify_name(name).kind == kel::name_kind::plain))
            continue;
        FUZZ_CHECK(trimmed(conformed(out, PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE)) == trimmed(full),
                   "a converted name does not lead back to the same full name");
    }
}

void check_separators(const std::string &name)
{
    const char separator = path_getseparator(name.c_str());
    FUZZ_CHECK(separator == ':' || separator == '/' || separator == '\\', "path_getseparator answered no separator");
    const short relative = path_nameisrelative(name.c_str());
    FUZZ_CHECK(relative == 0 || relative == 1, "path_nameisrelative is not a truth value");
}

void check_suffix(const std::string &name)
{
    std::unique_ptr<char[]> suffix(new char[MAX_FILENAME_CHARS]);
    fileformat_suffix(name.c_str(), suffix.get());
    const size_t length = strnlen(suffix.get(), MAX_FILENAME_CHARS);
    FUZZ_CHECK(length < MAX_FILENAME_CHARS, "fileformat_suffix left its result unterminated");
    const std::string found(suffix.get(), length);
    const size_t last_separator = name.find_last_of(":/\\");
    const std::string leaf = last_separator == std::string::npos ? name : name.substr(last_separator + 1);
    if (!found.empty()) {
        FUZZ_CHECK(found[0] == '.', "a suffix that does not begin with '.'");
        FUZZ_CHECK(found.find_first_of(":/\\") == std::string::npos, "a suffix with a separator");
        FUZZ_CHECK(leaf.find(found) != std::string::npos, "a suffix not taken from the last component");
    }

    std::unique_ptr<char[]> stripped(new char[name.size() + 1]);
    std::memcpy(stripped.get(), name.c_str(), name.size() + 1);
    const long cut = fileformat_stripsuffix(stripped.get(), nullptr, 0);
    FUZZ_CHECK(cut >= 0 && static_cast<size_t>(cut) <= name.size(), "stripsuffix answered an impossible length");
    FUZZ_CHECK(std::string(stripped.get()) + name.substr(name.size() - static_cast<size_t>(cut)) == name,
               "stripsuffix did not cut exactly what it answered");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kel-fuzz-paths-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    g_scratch = std::filesystem::canonical(pattern).string();
    std::atexit(&remove_scratch);
    std::filesystem::create_directories(g_scratch + "/app/sub");
    std::filesystem::create_directories(g_scratch + "/support/help");
    if (!kel::path_init({g_scratch + "/app", g_scratch + "/support", false})) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) return 0;
    const long style = data[0] % 6;  // 0..5: every style and one out of range
    const long type = data[1] % 6;   // 0..5: every type and one out of range
    const char *text = reinterpret_cast<const char *>(data + 2);
    const std::string name(text, strnlen(text, std::min<size_t>(size - 2, MAX_PATH_CHARS - 1)));
    std::string out;
    conform(name, style, type, &out);
    check_styles(name);
    check_types(name, style);
    check_separators(name);
    check_suffix(name);
    return 0;
}
