// Path names: the three separator styles, path_nameconform, and the
// conversions between (folder id, file name), full names and file references.
//
// A name is read as one of five forms, whatever style it is written in:
//   relative   ":a:b", "./a/b", ".\a\b"     (from some folder)
//   root       "^:a:b", "/a/b", "\a\b"      (from the root of the system volume)
//   vendor     "VND:a:b", "VND:/a/b"        (from the support folder)
//   volume     "Disk:a:b", "C:/a/b"         (another volume)
//   plain      "a", "a/b"                   (none of the above)
// This system has one volume, the root, and it has no name: full names are
// root names, and "/home/me/x.pat" is both the slash-style full name and the
// operating-system name (in the kernel's form of names, platform/macroman.h).
#include <unistd.h>

#include <climits>
#include <cstring>

#include "kel/console.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/files/path.h"
#include "kernel/files/path_private.h"
#include "platform/files.h"
#include "platform/macroman.h"

namespace kel {
namespace {

struct style_forms {
    char separator;
    const char *relative_prefix;
    const char *root_prefix;
    const char *volume_suffix;  // after the volume's name
};

constexpr style_forms colon_style = {':', ":", "^:", ":"};
constexpr style_forms slash_style = {'/', "./", "/", ":/"};
constexpr style_forms backslash_style = {'\\', ".\\", "\\", ":\\"};

const style_forms &forms_of(long style)
{
    switch (style) {
    case PATH_STYLE_COLON:
        return colon_style;
    case PATH_STYLE_BACKSLASH:
        return backslash_style;
    default:
        return slash_style;  // PATH_STYLE_NATIVE is slash here, like every other value
    }
}

std::string with_separator(const std::string &rest, char separator)
{
    std::string out = rest;
    for (char &c : out)
        if (is_separator(c)) c = separator;
    return out;
}

bool is_vendor_volume(const std::string &volume)
{
    return volume.size() == 3 && (volume[0] == 'V' || volume[0] == 'v') && volume[1] == 'N' && volume[2] == 'D';
}

// The name below a folder, when full (slash style) is that folder or inside
// it: "" for the folder itself.
bool inside(const std::string &full, const std::string &folder, std::string *below)
{
    if (folder.empty()) return false;
    if (full == folder) {
        below->clear();
        return true;
    }
    const std::string prefix = folder == "/" ? folder : folder + "/";
    if (full.compare(0, prefix.size(), prefix) != 0) return false;
    *below = full.substr(prefix.size());
    return true;
}

// The slash-style full name of a relative, root or vendor name; false for the
// other forms, which have none here, and for vendor names without a support
// folder.
bool absolute_of(const name_parts &parts, std::string *full)
{
    const std::string rest = with_separator(parts.rest, '/');
    std::string base;
    switch (parts.kind) {
    case name_kind::relative:
        base = path_application_name();
        break;
    case name_kind::root:
        base = "/";
        break;
    case name_kind::vendor:
        base = path_support_name();
        if (base.empty()) return false;
        break;
    default:
        return false;
    }
    if (base.empty()) return false;
    *full = rest.empty() ? base : base == "/" ? "/" + rest : base + "/" + rest;
    return true;
}

std::string conform(const std::string &source, long style, long type, bool *ok)
{
    *ok = true;
    const style_forms &forms = forms_of(style);
    const name_parts parts = classify_name(source);
    if (type < PATH_TYPE_ABSOLUTE || type > PATH_TYPE_SUPPORT ||
        (type == PATH_TYPE_ABSOLUTE && parts.kind != name_kind::relative && parts.kind != name_kind::root &&
         parts.kind != name_kind::vendor)) {
        // The name keeps its form (a volume name is already absolute, a plain
        // one has no place to be made absolute from).
        const std::string rest = with_separator(parts.rest, forms.separator);
        switch (parts.kind) {
        case name_kind::relative:
            return forms.relative_prefix + rest;
        case name_kind::root:
            return forms.root_prefix + rest;
        case name_kind::vendor:
        case name_kind::volume:
            return parts.volume + forms.volume_suffix + rest;
        case name_kind::plain:
            return rest;
        }
    }
    std::string full;
    if (!absolute_of(parts, &full)) {
        *ok = false;
        return {};
    }
    std::string below;
    switch (type) {
    case PATH_TYPE_ABSOLUTE:
        return forms.root_prefix + with_separator(full.substr(1), forms.separator);
    case PATH_TYPE_RELATIVE:
        if (!inside(full, path_application_name(), &below)) break;
        return forms.relative_prefix + with_separator(below, forms.separator);
    case PATH_TYPE_ROOT:
        return forms.root_prefix + with_separator(full.substr(1), forms.separator);
    case PATH_TYPE_SUPPORT:
        if (!inside(full, path_support_name(), &below)) break;
        return std::string("VND") + forms.volume_suffix + with_separator(below, forms.separator);
    default:
        break;
    }
    *ok = false;
    return {};
}

}  // namespace

std::string os_name(const std::string &kernel) { return toolbox::kernel_name_to_os(kernel); }
std::string kernel_name(const std::string &os) { return toolbox::os_name_to_kernel(os); }

std::string os_name_in(const std::string &folder, const std::string &kernel)
{
    std::string os = platform::join(folder, os_name(kernel));
    // A name on disk that is not UTF-8 at all (written under another
    // encoding) is held as its own bytes, which read as Mac Roman: it is
    // reached as itself when its Mac Roman reading names nothing.
    if (!toolbox::is_utf8(kernel)) {
        platform::file_status st;
        std::string raw = platform::join(folder, kernel);
        if (platform::file_stat(os, &st) != 0 && platform::file_stat(raw, &st) == 0) return raw;
    }
    return os;
}

bool copy_out(const std::string &text, char *buffer, size_t size)
{
    if (!buffer || text.size() >= size) return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

long bounded_length(const char *name, size_t limit)
{
    if (!name) return -1;
    const size_t length = strnlen(name, limit);
    return length < limit ? static_cast<long>(length) : -1;
}

bool is_separator(char c) { return c == ':' || c == '/' || c == '\\'; }

name_parts classify_name(const std::string &name)
{
    name_parts parts;
    if (name.compare(0, 2, "./") == 0 || name.compare(0, 2, ".\\") == 0) {
        parts.kind = name_kind::relative;
        parts.rest = name.substr(2);
        return parts;
    }
    if (!name.empty() && name[0] == ':') {
        parts.kind = name_kind::relative;
        parts.rest = name.substr(1);
        return parts;
    }
    if (!name.empty() && (name[0] == '/' || name[0] == '\\' || name[0] == '^')) {
        parts.kind = name_kind::root;
        parts.rest = name.substr(name[0] == '^' && name.size() > 1 && name[1] == ':' ? 2 : 1);
        return parts;
    }
    const size_t first = name.find_first_of(":/\\");
    if (first != std::string::npos && first > 0 && name[first] == ':') {
        parts.volume = name.substr(0, first);
        parts.kind = is_vendor_volume(parts.volume) ? name_kind::vendor : name_kind::volume;
        size_t rest = first + 1;
        if (rest < name.size() && (name[rest] == '/' || name[rest] == '\\')) ++rest;
        parts.rest = name.substr(rest);
        return parts;
    }
    parts.rest = name;
    return parts;
}

std::string last_name_component(const std::string &name)
{
    const size_t last = name.find_last_of(":/\\");
    return last == std::string::npos ? name : name.substr(last + 1);
}

bool full_name_to_os(const std::string &name, std::string *os)
{
    // An operating-system name is taken as it is: its components may hold
    // ':' and '\', which are ordinary characters here.
    if (!name.empty() && name[0] == '/') {
        *os = os_name_in("/", name.substr(1));
        return true;
    }
    std::string full;
    if (!absolute_of(classify_name(name), &full)) return false;
    *os = os_name_in("/", full.substr(1));
    return true;
}

bool file_os_name(short path, const char *name, std::string *os)
{
    if (!name) return false;
    const std::string file = name;
    const name_parts parts = classify_name(file);
    if (parts.kind == name_kind::root || parts.kind == name_kind::vendor) return full_name_to_os(file, os);
    std::string folder;
    if (!path_folder_of(path, &folder)) return false;
    if (parts.kind == name_kind::relative)
        *os = os_name_in(folder, with_separator(parts.rest, '/'));
    else  // a plain name, or one that only looks like another volume's ("a:b" is a file name here)
        *os = os_name_in(folder, file);
    return true;
}

std::string full_kernel_name(const std::string &os) { return kernel_name(os); }

std::string path_kernel_name_of(std::string os_name)
{
    if (!os_name.empty() && os_name.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) os_name = std::string(cwd) + "/" + os_name;
    }
    return toolbox::os_name_to_kernel(os_name);
}

}  // namespace kel

using namespace kel;

KEL_API short path_nameconform(const char *src, char *dst, long style, long type)
{
    if (!src || !dst) return -1;
    try {
        if (bounded_length(src, MAX_PATH_CHARS) < 0) return -1;
        bool ok = false;
        const std::string out = conform(src, style, type, &ok);
        return ok && copy_out(out, dst, MAX_PATH_CHARS) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_nameconform");
        return -1;
    }
}

KEL_API short path_nameisrelative(const char *name)
{
    if (!name) return 0;
    return name[0] == ':' || (name[0] == '.' && (name[1] == '/' || name[1] == '\\')) ? 1 : 0;
}

KEL_API char path_getseparator(const char *name)
{
    if (!name) return ':';
    const char *first = std::strpbrk(name, ":/\\");
    if (!first) return ':';
    if (*first == ':' && (first[1] == '/' || first[1] == '\\')) return first[1];
    return *first;
}

namespace {

short to_full_name(short path, const char *file, char *name, bool must_exist)
{
    if (!name) return -1;
    try {
        std::string os;
        if (!file_os_name(path, file ? file : "", &os)) return -1;
        if (must_exist) {
            platform::file_status st;
            if (platform::file_stat(os, &st) != 0) return -1;
        } else {
            // The folder must exist even when the file need not.
            platform::file_status st;
            if (platform::file_stat(platform::parent_folder(os), &st) != 0 || st.kind != platform::entry_kind::folder)
                return -1;
        }
        return copy_out(full_kernel_name(os), name, MAX_PATH_CHARS) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_topathname");
        return -1;
    }
}

}  // namespace

KEL_API short path_topathname(short path, const char *file, char *name) { return to_full_name(path, file, name, true); }

KEL_API short path_topotentialname(short path, const char *file, char *name)
{
    return to_full_name(path, file, name, false);
}

KEL_API short path_translate(short path, const char *file, char *name) { return to_full_name(path, file, name, false); }

KEL_API short path_frompathname(const char *name, short *path, char *filename)
{
    if (!name || !path || !filename) return -1;
    try {
        if (bounded_length(name, MAX_PATH_CHARS) < 0) return -1;
        std::string os;
        if (!full_name_to_os(name, &os)) return -1;
        platform::file_status st;
        if (platform::file_stat(os, &st) == 0 && st.kind == platform::entry_kind::folder) {
            const short id = path_id_of_folder(os);
            if (!id) return -1;
            *path = id;
            filename[0] = '\0';
            return 0;
        }
        const std::string leaf = kernel_name(platform::last_component(os));
        if (leaf.empty() || leaf == "." || leaf == ".." || leaf.size() >= MAX_FILENAME_CHARS) return -1;
        const short id = path_id_of_folder(platform::parent_folder(os));
        if (!id) return -1;
        *path = id;
        copy_out(leaf, filename, MAX_FILENAME_CHARS);
        return 0;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_frompathname");
        return -1;
    }
}

KEL_API short path_tospec(short path, const char *file, fileref *ref)
{
    if (!ref) return -1;
    return to_full_name(path, file, ref->name, false);
}

KEL_API short path_new(const fileref *ref)
{
    if (!ref || bounded_length(ref->name, MAX_PATH_CHARS) < 0) return 0;
    try {
        std::string os;
        return full_name_to_os(ref->name, &os) ? path_id_of_folder(os) : 0;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_new");
        return 0;
    }
}

KEL_API short genpath(const fileref *ref) { return path_new(ref); }

KEL_API short path_namefromspec(const fileref *ref, char *name)
{
    if (!ref || !name || bounded_length(ref->name, MAX_PATH_CHARS) < 0) return -1;
    return guarded("path_namefromspec", static_cast<short>(-1), [&]() -> short {
        const std::string leaf = platform::last_component(ref->name);
        if (leaf.empty() || leaf == "/") return -1;
        return copy_out(leaf, name, MAX_FILENAME_CHARS) ? 0 : -1;
    });
}

KEL_API short path_volumename(short path, char *name)
{
    return guarded("path_volumename", static_cast<short>(-1), [&]() -> short {
        std::string os;
        if (!path_folder_of(path, &os)) {
            error("path_volumename: ASI_HFSpec err %d", toolbox::dirNFErr);
            return -1;
        }
        if (name) name[0] = '\0';
        return 0;
    });
}
