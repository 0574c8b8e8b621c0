// The file-type registry and the content sniffers.
//
// Invariants: formats keep their registration order and no (extension,
// type) pair appears twice; every format's ambiguity count is the number of
// other types registered under its extension; there is at most one sniffer
// per type.
//
// Files carry no type here: the type of a file is worked out from its name's
// extension and, where the extension maps to several types or to none, from
// its first bytes (file_type_of).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "kel/atoms.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/files/path.h"
#include "kernel/files/path_private.h"
#include "platform/files.h"

namespace kel {
namespace {

constexpr long max_sniffer_bytes = 4096;

struct format_entry {
    std::string extension;  // lower case, with its dot
    long type;
    bool nosub;
    symbol *description;
    long ambiguous;
};

struct sniffer {
    long type;
    long bytecount;
    fileformat_test test;
    std::vector<short> pattern;  // empty for a sniffer with a test of its own
};

std::vector<format_entry> g_formats;
std::vector<sniffer> g_sniffers;

std::string lower(std::string text)
{
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string type_name(long type)
{
    std::string name(4, ' ');
    for (int i = 0; i < 4; i++) name[static_cast<size_t>(i)] = static_cast<char>((type >> (24 - 8 * i)) & 0xFF);
    return name;
}

// The extension of a name: from the last '.' of its last component.
std::string suffix_of(const std::string &name)
{
    const std::string leaf = last_name_component(name);
    const size_t dot = leaf.rfind('.');
    return dot == std::string::npos ? std::string() : leaf.substr(dot);
}

long pattern_test(const unsigned char *data, long count, const short *pattern, long length)
{
    if (!pattern || count < length) return 0;
    for (long i = 0; i < length; i++)
        if (pattern[i] != -1 && pattern[i] != data[i]) return 0;
    return 1;
}

// Text: the first bytes (up to 16) are all printable characters - every Mac
// Roman character from the space up, except DEL - or whitespace.
long text_test(const unsigned char *data, long count, const short *, long)
{
    if (count < 1) return 0;
    for (long i = 0; i < count; i++) {
        const unsigned char c = data[i];
        const bool printable =
            (c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
        if (!printable) return 0;
    }
    return 1;
}

// A binary patcher: version 2, then the short tag of symbol 0.
long patcher_test(const unsigned char *data, long count, const short *, long)
{
    static const unsigned char start[] = {0x02, 0x00, 0x00, 0x00, 0x70};
    return count >= 5 && std::memcmp(data, start, 5) == 0;
}

// A pattern written as characters, '?' for any byte.
std::vector<short> pattern_of(const char *text)
{
    std::vector<short> pattern;
    for (const char *c = text; *c; c++) pattern.push_back(*c == '?' ? -1 : static_cast<unsigned char>(*c));
    return pattern;
}

void update_ambiguity(const std::string &extension)
{
    const long count = std::count_if(g_formats.begin(), g_formats.end(),
                                     [&](const format_entry &f) { return f.extension == extension; });
    for (format_entry &f : g_formats)
        if (f.extension == extension) f.ambiguous = count - 1;
}

std::vector<const format_entry *> formats_of_extension(const std::string &extension)
{
    std::vector<const format_entry *> found;
    const std::string key = lower(extension);
    for (const format_entry &f : g_formats)
        if (f.extension == key) found.push_back(&f);
    return found;
}

short install(long type, long bytecount, fileformat_test test, const short *pattern)
{
    if (bytecount <= 0 || bytecount > max_sniffer_bytes || (!test && !pattern)) return -1;
    for (const sniffer &s : g_sniffers)
        if (s.type == type) return -1;  // the first sniffer of a type stays
    sniffer s{type, bytecount, test ? test : &pattern_test, {}};
    if (pattern) s.pattern.assign(pattern, pattern + bytecount);
    g_sniffers.push_back(std::move(s));
    return 0;
}

}  // namespace

void fileformat_init()
{
    g_formats.clear();
    g_sniffers.clear();
    const struct {
        const char *extension;
        const char *type;
        bool nosub;
        const char *description;
    } formats[] = {
        {".txt", "TEXT", false, ""},           {".kle", "iLaF", false, ""}, {".exe", "APPL", false, "Application"},
        {".pat", "kelb", false, ""},           {".klb", "kelb", false, ""}, {".pat", "TEXT", false, ""},
        {".klf", "kl@c", false, "Collective"}, {".help", "kelb", true, ""}, {".help", "TEXT", true, ""},
    };
    for (const auto &f : formats) fileformat_register(f.extension, fileformat_type(f.type), f.nosub, f.description);

    install(FILETYPE_TEXT, 16, &text_test, nullptr);
    install(FILETYPE_PATCHER, 16, &patcher_test, nullptr);
    const struct {
        const char *type;
        const char *pattern;
    } patterns[] = {
        {"AIFF", "FORM????AIF"}, {"NxTS", ".snd"}, {"WAVE", "RIFF????WAVE"},
        {"Midi", "MThd"},        {"GIFf", "GIF"},  {"MooV", "????moov"},
    };
    for (const auto &p : patterns) {
        const std::vector<short> pattern = pattern_of(p.pattern);
        install(fileformat_type(p.type), static_cast<long>(pattern.size()), nullptr, pattern.data());
    }
    // JPEG: the start-of-image marker followed by the next marker's 0xFF.
    const short jpeg[] = {0xFF, 0xD8, 0xFF};
    install(fileformat_type("JPEG"), 3, nullptr, jpeg);
    const std::vector<short> collective = pattern_of("kl@c");
    install(FILETYPE_COLLECTIVE, 4, nullptr, collective.data());
}

bool type_in_list(long type, const long *types, short count)
{
    if (count <= 0 || !types) return true;
    return std::find(types, types + count, type) != types + count;
}

std::vector<std::string> extensions_for(const long *types, short count)
{
    std::vector<std::string> out;
    auto add = [&](const format_entry &f) {
        if (!f.nosub && std::find(out.begin(), out.end(), f.extension) == out.end()) out.push_back(f.extension);
    };
    if (count <= 0 || !types) {
        for (const format_entry &f : g_formats) add(f);
        return out;
    }
    for (short i = 0; i < count; i++)
        for (const format_entry &f : g_formats)
            if (f.type == types[i]) add(f);
    return out;
}

bool sniff_os_file(const std::string &os_path, const long *types, short count, long *outtype)
{
    std::vector<const sniffer *> candidates;
    if (count <= 0 || !types) {
        for (const sniffer &s : g_sniffers) candidates.push_back(&s);
    } else {
        for (short i = 0; i < count; i++)
            for (const sniffer &s : g_sniffers)
                if (s.type == types[i]) candidates.push_back(&s);
    }
    long needed = 0;
    for (const sniffer *s : candidates) needed = std::max(needed, s->bytecount);
    if (needed == 0) return false;
    std::vector<unsigned char> data(static_cast<size_t>(needed));
    long got = 0;
    if (platform::read_leading_bytes(os_path, data.data(), needed, &got) != 0) return false;
    for (const sniffer *s : candidates) {
        const long count_here = std::min(got, s->bytecount);
        if (s->test(data.data(), count_here, s->pattern.empty() ? nullptr : s->pattern.data(), s->bytecount)) {
            if (outtype) *outtype = s->type;
            return true;
        }
    }
    return false;
}

long file_type_of(const std::string &os_path)
{
    const std::vector<const format_entry *> formats = formats_of_extension(suffix_of(kernel_name(os_path)));
    std::vector<long> types;
    for (const format_entry *f : formats)
        if (std::find(types.begin(), types.end(), f->type) == types.end()) types.push_back(f->type);
    if (types.size() == 1) return types[0];
    long type = 0;
    if (types.empty()) return sniff_os_file(os_path, nullptr, 0, &type) ? type : 0;
    if (sniff_os_file(os_path, types.data(), static_cast<short>(types.size()), &type)) return type;
    return types[0];
}

std::string strip_registered_extension(const std::string &name)
{
    char buffer[MAX_PATH_CHARS];
    if (!copy_out(name, buffer, sizeof buffer)) return name;
    fileformat_stripsuffix(buffer, nullptr, 0);
    return buffer;
}

void fileformat_command(long argc, atom *argv)
{
    if (argc < 2 || !argv || argv[0].type != ATYPE_SYM || argv[1].type != ATYPE_SYM) return;
    long nosub = 0;
    const char *description = "";
    for (long i = 2; i < argc; i++) {
        if (argv[i].type == ATYPE_LONG)
            nosub = argv[i].word.w_long;
        else if (argv[i].type == ATYPE_FLOAT)
            nosub = static_cast<long>(argv[i].word.w_float);
        else if (argv[i].type == ATYPE_SYM)
            description = argv[i].word.w_sym->name;
    }
    fileformat_register(argv[0].word.w_sym->name, fileformat_type(argv[1].word.w_sym->name), nosub ? 1 : 0,
                        description);
}

void fileformat_definesniffer(long argc, atom *argv)
{
    if (argc < 2 || !argv || argv[0].type != ATYPE_SYM) return;
    std::vector<short> pattern;
    for (long i = 1; i < argc; i++) {
        const atom &a = argv[i];
        if (a.type == ATYPE_LONG) {
            pattern.push_back(static_cast<short>(a.word.w_long & 0xFF));
        } else if (a.type == ATYPE_SYM && std::strcmp(a.word.w_sym->name, "*") == 0) {
            pattern.push_back(-1);
        } else if (a.type == ATYPE_SYM && std::strlen(a.word.w_sym->name) == 1) {
            pattern.push_back(static_cast<unsigned char>(a.word.w_sym->name[0]));
        } else {
            return;  // a pattern with a byte it cannot read is not installed at all
        }
    }
    install(fileformat_type(argv[0].word.w_sym->name), static_cast<long>(pattern.size()), nullptr, pattern.data());
}

void fileformat_post_all()
{
    for (const format_entry &f : g_formats)
        post("%s -> %s, nosub %ld, ambiguous %d", f.extension.c_str(), type_name(f.type).c_str(),
             static_cast<long>(f.nosub), static_cast<int>(f.ambiguous));
}

}  // namespace kel

using namespace kel;

KEL_API long fileformat_type(const char *name)
{
    char code[4] = {' ', ' ', ' ', ' '};
    if (name)
        for (int i = 0; i < 4 && name[i]; i++) code[i] = name[i];
    return KEL_FOURCC(code[0], code[1], code[2], code[3]);
}

KEL_API short fileformat_register(const char *extension, long type, short nosub, const char *description)
{
    if (!extension || !extension[0] || bounded_length(extension, MAX_FILENAME_CHARS) < 0) return -1;
    try {
        std::string key = lower(extension);
        if (key[0] != '.') key.insert(0, 1, '.');
        for (const format_entry &f : g_formats)
            if (f.extension == key && f.type == type) return 0;
        g_formats.push_back({key, type, nosub != 0, gensym(description ? description : ""), 0});
        update_ambiguity(key);
        return 0;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("fileformat_register");
        return -1;
    }
}

KEL_API void fileformat_suffix(const char *name, char *suffix)
{
    if (!suffix) return;
    suffix[0] = '\0';
    if (!name || bounded_length(name, MAX_PATH_CHARS) < 0) return;
    guarded("fileformat_suffix", [&] {
        const std::string found = suffix_of(name);
        if (!copy_out(found, suffix, MAX_FILENAME_CHARS))
            copy_out(found.substr(0, MAX_FILENAME_CHARS - 1), suffix, MAX_FILENAME_CHARS);
    });
}

KEL_API long fileformat_stripsuffix(char *name, const long *typelist, short numtypes)
{
    const long length = bounded_length(name, MAX_PATH_CHARS);
    if (length <= 0) return 0;
    return guarded("fileformat_stripsuffix", 0L, [&]() -> long {
        const std::string suffix = suffix_of(name);
        // A name that is all extension keeps it.
        if (suffix.empty() || suffix == last_name_component(name)) return 0;
        bool registered = false;
        for (const format_entry *f : formats_of_extension(suffix)) {
            if (!type_in_list(f->type, typelist, numtypes)) continue;
            if (f->nosub) return 0;
            registered = true;
        }
        if (!registered) return 0;
        name[length - static_cast<long>(suffix.size())] = '\0';
        return static_cast<long>(suffix.size());
    });
}

KEL_API short fileformat_installsniffer(long type, long bytecount, fileformat_test test, const short *pattern)
{
    try {
        return install(type, bytecount, test, pattern);
    } catch (const std::bad_alloc &) {
        report_out_of_memory("fileformat_installsniffer");
        return -1;
    }
}

KEL_API short fileformat_sniff(const char *name, short path, const long *typelist, short numtypes, long *outtype)
{
    try {
        std::string os;
        if (!file_os_name(path, name, &os)) return 0;
        return sniff_os_file(os, typelist, numtypes, outtype) ? 1 : 0;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("fileformat_sniff");
        return 0;
    }
}

KEL_API void typelist_make(long *types, short *numtypes, long flags)
{
    short n = 0;
    if (types) {
        if (flags & 2) types[n++] = FILETYPE_EXTERNAL;
        if (flags & 1) {
            types[n++] = FILETYPE_PATCHER;
            types[n++] = FILETYPE_TEXT;
        }
        if (flags & 4) types[n++] = FILETYPE_COLLECTIVE;
    }
    if (numtypes) *numtypes = n;
}
