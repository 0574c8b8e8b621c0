#include "kernel/files/collective.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/files/path.h"
#include "kernel/files/path_private.h"
#include "kernel/files/sysfile.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/resources.h"

namespace kel {
namespace {

constexpr long code(const char (&c)[5])
{
    return static_cast<long>((static_cast<uint32_t>(static_cast<unsigned char>(c[0])) << 24) |
                             (static_cast<uint32_t>(static_cast<unsigned char>(c[1])) << 16) |
                             (static_cast<uint32_t>(static_cast<unsigned char>(c[2])) << 8) |
                             static_cast<uint32_t>(static_cast<unsigned char>(c[3])));
}

constexpr long type_dlst = code("dlst"), type_dire = code("dire");
constexpr long type_external = code("iLaF"), type_old_external = code("xdll");
constexpr long type_support = code("aPcs"), type_text = code("TEXT");
constexpr long file_types_with_directory[] = {code("kelc"), code("kl@c"), code("klfr")};
constexpr short first_id = 10;
constexpr short last_id = collective_embedded - 1;  // the next would be the embedded marker

// A refused directory: a chunk that passes the end of its parent or of the
// file, or one too small to be a chunk.
constexpr long err_truncated = SYSFILE_ERR_EOF;
// A chunk that is not what its place requires.
constexpr long err_malformed = toolbox::paramErr;

using name_index = std::unordered_map<std::string, xpcentry *>;

kel_class *g_coll_class = nullptr;
kel_class *g_entry_class = nullptr;
std::vector<xpcoll *> g_open;  // in opening order
short g_next_id = first_id;
bool g_dump = false;
bool g_cant_close_toplevel = false;
collective_patcher_opener g_opener = nullptr;
std::string g_temporary;  // the folder extracted libraries go into, once made
bool g_temporary_failed = false;

uint32_t be32(const unsigned char *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// A four-character code as dump text: its characters, "<zero>" for 0.
std::string code_text(long value)
{
    if (value == 0) return "<zero>";
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>((static_cast<uint32_t>(value) >> shift) & 0xFF);
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text;
}

void append_format(std::string *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append_format(std::string *out, const char *format, ...)
{
    if (!out) return;
    char line[600];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    *out += line;
}

std::string lower(const std::string &name)
{
    std::string s = name;
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// One chunk inside a parent's data: false when it does not fit.
struct chunk {
    long type;
    const unsigned char *data;
    size_t size;  // of the data
};
long next_chunk(const unsigned char *at, size_t left, chunk *out, size_t *used)
{
    if (left < 8) return err_truncated;
    const uint32_t size = be32(at + 4);
    if (size < 8 || size > left) return err_truncated;
    *out = {static_cast<long>(be32(at)), at + 8, size - 8};
    *used = size;
    return 0;
}

long read_string(const chunk &c, std::string *out)
{
    const void *end = std::memchr(c.data, 0, c.size);
    if (!end) return err_malformed;  // a string must end inside its chunk
    out->assign(reinterpret_cast<const char *>(c.data), static_cast<const unsigned char *>(end) - c.data);
    return 0;
}

long read_int(const chunk &c, long *out)
{
    if (c.size < 4) return err_truncated;
    *out = static_cast<long>(be32(c.data));
    return 0;
}

long read_entry(const chunk &dire, collective_field_set *e, std::string *dump)
{
    size_t at = 0;
    while (at < dire.size) {
        chunk f;
        size_t used = 0;
        if (long err = next_chunk(dire.data + at, dire.size - at, &f, &used)) return err;
        at += used;
        long err = 0;
        if (f.type == code("fnam")) {
            if (!(err = read_string(f, &e->name))) append_format(dump, "  filename: %s\n", e->name.c_str());
        } else if (f.type == code("type")) {
            if (!(err = read_int(f, &e->type))) {
                if (e->type == type_old_external) e->type = type_external;
                append_format(dump, "  filetype: %s\n", code_text(e->type).c_str());
            }
        } else if (f.type == code("of32")) {
            if (!(err = read_int(f, &e->offset))) append_format(dump, "  offset: %ld\n", e->offset);
        } else if (f.type == code("sz32")) {
            if (!(err = read_int(f, &e->size))) append_format(dump, "  size: %ld\n", e->size);
        } else if (f.type == code("flag")) {
            if (!(err = read_int(f, &e->flags))) append_format(dump, "  item flags: %lx\n", e->flags);
        } else if (f.type == code("vers")) {
            if (!(err = read_int(f, &e->version))) append_format(dump, "  version: %ld\n", e->version);
        } else if (f.type == code("crea")) {
            if (!(err = read_int(f, &e->creator)))
                append_format(dump, "  creator type: %s\n", code_text(e->creator).c_str());
        } else if (f.type == code("cvrs")) {
            if (!(err = read_int(f, &e->creator_version)))
                append_format(dump, "  creator version: %d\n", static_cast<int>(e->creator_version));
        } else if (f.type == code("auth")) {
            if (!(err = read_string(f, &e->author))) append_format(dump, "  author info: %s\n", e->author.c_str());
        } else if (f.type == code("cksm")) {
            if (!(err = read_int(f, &e->checksum))) append_format(dump, "  checksum: %ld\n", e->checksum);
        } else if (f.type == code("comp")) {
            if (!(err = read_int(f, &e->compression))) append_format(dump, "  compression data: %lx\n", e->compression);
        } else if (f.type == code("rsrc")) {
            if (!(err = read_int(f, &e->resource_type)))
                append_format(dump, "  resource type: %s\n", code_text(e->resource_type).c_str());
        } else if (f.type == code("rsid")) {
            if (!(err = read_int(f, &e->resource_id)))
                append_format(dump, "  resource id: %d\n", static_cast<int>(e->resource_id));
        } else if (f.type == code("rnam")) {
            if (!(err = read_string(f, &e->resource_name)))
                append_format(dump, "  resource name: %s\n", e->resource_name.c_str());
        }
        if (err) return err;
    }
    return 0;
}

// The reader over a collective's own file.
long seek_file(void *context, int64_t at)
{
    return sysfile_setpos(static_cast<sysfile *>(context), SYSFILE_FROM_START, static_cast<long>(at));
}
long read_file(void *context, long count, void *buffer)
{
    long got = count;
    if (long err = sysfile_read(static_cast<sysfile *>(context), &got, buffer)) return err;
    return got == count ? 0 : err_truncated;
}
long read_from_file(sysfile *f, int64_t at, long count, void *buffer)
{
    if (long err = seek_file(f, at)) return err;
    return read_file(f, count, buffer);
}

// --- the objects ---

std::vector<xpcentry *> entries_of(const xpcoll *x)
{
    std::vector<xpcentry *> out;
    const long n = x->entries ? linklist_getsize(x->entries) : 0;
    out.resize(static_cast<size_t>(n));
    if (n > 0) linklist_makearray(x->entries, reinterpret_cast<void **>(out.data()), n);
    return out;
}

name_index *index_of(const xpcoll *x) { return static_cast<name_index *>(x->by_name); }

void coll_free(xpcoll *x)
{
    g_open.erase(std::remove(g_open.begin(), g_open.end(), x), g_open.end());
    if (x->entries) {
        for (xpcentry *e : entries_of(x)) freeobject(e);
        linklist_chuck(x->entries);
        x->entries = nullptr;
    }
    delete index_of(x);
    x->by_name = nullptr;
    if (x->file) {
        sysfile *f = x->file;
        x->file = nullptr;
        sysfile_close(f);
    }
}

void coll_fclose(xpcoll *x) { xpcoll_dereference(x); }

// The entry named name in x (letter case aside), hidden or not, of a listed
// type (any when count is 0); null when none.
xpcentry *entry_named(const xpcoll *x, const std::string &lowered, const long *types, short count, bool hidden_too)
{
    const name_index *index = index_of(x);
    if (!index) return nullptr;
    auto it = index->find(lowered);
    for (xpcentry *e = it == index->end() ? nullptr : it->second; e; e = e->same_name) {
        if (!hidden_too && (e->flags & collective_flag_hidden)) continue;
        if (type_in_list(e->type, types, count)) return e;
    }
    return nullptr;
}

xpcoll *open_collective(short id)
{
    for (xpcoll *x : g_open)
        if (x->id == id) return x;
    return nullptr;
}

xpcentry *make_entry(xpcoll *x, const collective_field_set &f)
{
    auto *e = static_cast<xpcentry *>(object_alloc(g_entry_class));
    if (!e) return nullptr;
    std::memset(reinterpret_cast<char *>(e) + sizeof(object), 0, sizeof(xpcentry) - sizeof(object));
    e->collective = x;
    e->name = gensym(lower(f.name).c_str());
    e->stored_name = gensym(f.name.c_str());
    // The window is kept inside the collective, without 32-bit wrapping.
    const auto offset = static_cast<int64_t>(static_cast<uint32_t>(f.offset));
    const auto size = static_cast<int64_t>(static_cast<uint32_t>(f.size));
    const int64_t start = std::min(offset, x->length);
    e->offset = static_cast<long>(start);
    e->size = static_cast<long>(std::min(size, x->length - start));
    e->type = f.type;
    e->flags = f.flags;
    e->version = f.version;
    e->creator = f.creator;
    e->creator_version = f.creator_version;
    e->author = f.author.empty() ? nullptr : gensym(f.author.c_str());
    e->checksum = f.checksum;
    e->compression = f.compression;
    e->resource_type = f.resource_type;
    e->resource_id = f.resource_id;
    e->resource_name = f.resource_name.empty() ? nullptr : gensym(f.resource_name.c_str());
    return e;
}

// Appends the entry and indexes it after the entries of its name.
bool add_entry(xpcoll *x, xpcentry *e)
{
    name_index *index = index_of(x);
    auto [it, fresh] = index->try_emplace(e->name->name, e);
    if (!fresh) {
        xpcentry *last = it->second;
        while (last->same_name) last = last->same_name;
        last->same_name = e;
    }
    return linklist_append(x->entries, e) >= 0;
}

// How the dump names a collective: its address and name, "55d0 (app.klf)".
std::string who(const xpcoll *x)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(x)));
    return std::string(text) + " (" + x->name->name + ")";
}

// A new collective over f (taken), in the open list with the opener's
// reference; null after the error is reported (f closed).
xpcoll *make_collective(sysfile *f, const char *name, short path)
{
    if (g_next_id > last_id) {  // ids are never handed out twice
        error("%s: error opening file", name);
        sysfile_close(f);
        return nullptr;
    }
    auto *x = static_cast<xpcoll *>(object_alloc(g_coll_class));
    if (!x) {
        sysfile_close(f);
        return nullptr;
    }
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(xpcoll) - sizeof(object));
    x->name = gensym(name);
    x->path = path;
    x->file = f;
    x->references = 1;
    x->entries = linklist_new();
    x->by_name = new (std::nothrow) name_index;
    long length = 0;
    if (!x->entries || !x->by_name || sysfile_geteof(f, &length) != 0) {
        freeobject(x);
        return nullptr;
    }
    x->length = length;
    x->id = g_next_id++;
    g_open.push_back(x);
    return x;
}

long read_directory(xpcoll *x)
{
    std::vector<collective_field_set> fields;
    std::string dump;
    const collective_source source{x->file, &seek_file, &read_file};
    const long err = collective_read_directory(source, x->length, &fields, g_dump ? &dump : nullptr, who(x));
    // Debug output, not the console.
    if (!dump.empty()) std::fputs(dump.c_str(), stderr);
    if (err) return err;
    for (const collective_field_set &f : fields) {
        xpcentry *e = make_entry(x, f);
        if (!e) return toolbox::memFullErr;
        if (!add_entry(x, e)) {
            freeobject(e);
            return toolbox::memFullErr;
        }
    }
    return 0;
}

void open_entry_as_patcher(xpcoll *x, xpcentry *e)
{
    void *made = g_opener ? g_opener(e->stored_name->name, x->id) : nullptr;
    if (x->client_fn) {
        x->client_fn(x->client, x, made);
    } else if (made) {
        static symbol *const frontcoll = gensym("frontcoll");
        atom a[2];
        atom_setobj(&a[0], x);
        atom_setlong(&a[1], path_standalone() && g_cant_close_toplevel ? 1 : 0);
        typedmess(static_cast<object *>(made), frontcoll, 2, a);
    }
}

// A name that is one plain file-name component: what may be written into
// the temporary folder.
bool plain_component(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

// The entry's bytes; false when they cannot be read.
bool entry_bytes(const xpcentry *e, std::string *out)
{
    try {
        out->resize(static_cast<size_t>(e->size));
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return false;
    }
    return e->size == 0 || read_from_file(e->collective->file, e->offset, e->size, out->data()) == 0;
}

void extract_support_library(xpcoll *x, xpcentry *e)
{
    const std::string name = e->name->name;
    const std::string folder = collective_temporary_folder();
    std::string bytes;
    if (folder.empty() || !plain_component(name) || !entry_bytes(e, &bytes) ||
        platform::write_replacing(os_name_in(folder, name), bytes.data(), bytes.size()) != 0)
        error("%s: can't read library %s", x->name->name, e->stored_name->name);
}

}  // namespace

long collective_read_directory(const collective_source &source, int64_t length,
                               std::vector<collective_field_set> *entries, std::string *dump, const std::string &who)
{
    const char *tag = who.c_str();
    // The header chunk: its data holds 4 bytes, then the directory offset.
    unsigned char head[16];
    if (long err = source.seek(source.context, 0)) {
        append_format(dump, "xpcoll %s error %ld seeking to zero\n", tag, err);
        return err;
    }
    long err = length < 16 ? err_truncated : source.read(source.context, 16, head);
    const uint32_t head_size = err ? 0 : be32(head + 4);
    if (!err && (head_size < 16 || head_size > length)) err = err_truncated;
    if (err) {
        append_format(dump, "xpcoll %s error %ld getting header\n", tag, err);
        return err;
    }
    const int64_t directory = be32(head + 12);
    append_format(dump, "xpcoll %s reading directory: starts at offset %" PRId64 "\n", tag, directory);
    err = directory > length - 8 ? err_truncated : source.seek(source.context, directory);
    if (err) {
        append_format(dump, "xpcoll %s error %ld seeking to %" PRId64 "\n", tag, err, directory);
        return err;
    }
    unsigned char top[8];
    if ((err = source.read(source.context, 8, top))) {
        append_format(dump, "xpcoll %s error %ld getting directory chunk\n", tag, err);
        return err;
    }
    const long top_type = static_cast<long>(be32(top));
    if (top_type != type_dlst) {
        append_format(dump, "the first chunk is %s, not dlst, bailing\n", code_text(top_type).c_str());
        return err_malformed;
    }
    const uint32_t list_size = be32(top + 4);
    std::vector<unsigned char> list;
    err = list_size < 8 || list_size > length - directory ? err_truncated : 0;
    if (!err) {
        try {
            list.resize(list_size - 8);
        } catch (const std::bad_alloc &) {
            memory_set_low(true);
            return toolbox::memFullErr;
        }
        if (!list.empty()) err = source.read(source.context, static_cast<long>(list.size()), list.data());
    }
    if (err) {
        append_format(dump, "xpcoll %s error %ld getting directory chunk\n", tag, err);
        return err;
    }
    try {
        size_t at = 0;
        while (at < list.size()) {
            chunk c;
            size_t used = 0;
            if ((err = next_chunk(list.data() + at, list.size() - at, &c, &used))) return err;
            at += used;
            append_format(dump, "--- chunk type %s:\n", code_text(c.type).c_str());
            if (c.type != type_dire) continue;
            collective_field_set e;
            if ((err = read_entry(c, &e, dump))) return err;
            append_format(dump, "-------\n");
            entries->push_back(std::move(e));
        }
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return toolbox::memFullErr;
    }
    append_format(dump, "---- end of directory for %s\n", tag);
    return 0;
}

bool collective_is_open(short id) { return id > 0 && open_collective(id) != nullptr; }

short collective_id_of(object *x)
{
    return g_coll_class && object_valid(x) && object_class(x) == g_coll_class ? reinterpret_cast<xpcoll *>(x)->id : 0;
}

short collective_find(const char *name, short id, const long *types, short count, long *type, std::string *stored_name)
{
    if (g_open.empty() || !name) return collective_not_found;
    const std::string lowered = lower(name);
    for (xpcoll *x : g_open) {
        if (id && x->id != id) continue;
        if (xpcentry *e = entry_named(x, lowered, types, count, false)) {
            if (type) *type = e->type;
            if (stored_name) *stored_name = e->stored_name->name;
            return x->id;
        }
    }
    return collective_not_found;
}

namespace {

// The entry a path function names by (collective id, name), hidden or not.
xpcentry *entry_at(short id, const char *name, const long *types = nullptr, short count = 0)
{
    xpcoll *x = name ? open_collective(id) : nullptr;
    return x ? entry_named(x, lower(name), types, count, true) : nullptr;
}

// The entry's bytes in an anonymous file: 0 and its descriptor, or an error.
short entry_memory_file(const xpcentry *e, int *fd)
{
    std::string bytes;
    if (!entry_bytes(e, &bytes)) return toolbox::ioErr;
    return platform::toolbox_error(platform::memory_file(bytes.data(), bytes.size(), fd));
}

}  // namespace

short collective_entry_info(short id, const char *name, fileinfo_extended *info)
{
    xpcentry *e = entry_at(id, name);
    if (!e) return toolbox::fnfErr;
    *info = {};
    info->info.type = e->type;
    info->size = e->size;
    return 0;
}

short collective_open_entry(short id, const char *name, sysfile **out)
{
    xpcentry *e = entry_at(id, name);
    if (!e) return toolbox::fnfErr;
    xpcoll *x = e->collective;
    int fd = -1;
    sysfile *f = nullptr;
    if (x->path != collective_embedded) {
        // The collective's file opened again, seen through the entry's window.
        if (short err = path_openfile(x->name->name, x->path, &fd, PATH_PERM_READ)) return err;
        f = sysfile_open_region(fd, e->offset, e->size);
    } else {
        if (short err = entry_memory_file(e, &fd)) return err;
        f = sysfile_open_region(fd, 0, e->size);  // seeks stay inside the entry here too
    }
    if (!f) return toolbox::memFullErr;
    xpcoll_reference(x);
    sysfile_setobject(f, x);  // its closing releases the reference
    *out = f;
    return 0;
}

short collective_open_entry_fd(short id, const char *name, int *fd)
{
    xpcentry *e = entry_at(id, name);
    return e ? entry_memory_file(e, fd) : toolbox::fnfErr;
}

bool collective_extract_external(short id, const char *name, std::string *os_file)
{
    static const long external[] = {type_external};
    xpcentry *e = entry_at(id, name, external, 1);
    const std::string folder = collective_temporary_folder();
    std::string bytes;
    if (!e || folder.empty() || !entry_bytes(e, &bytes)) return false;
    return platform::write_new_file(folder, "kle", "", bytes.data(), bytes.size(), os_file) == 0;
}

void collective_set_patcher_opener(collective_patcher_opener opener) { g_opener = opener; }
void collective_set_cant_close_toplevel(bool on) { g_cant_close_toplevel = on; }
void collective_set_dump(bool on) { g_dump = on; }

void collective_ids_restart()
{
    if (g_open.empty()) g_next_id = first_id;
}
bool collective_dump() { return g_dump; }

bool collective_init()
{
    if (!g_coll_class) {
        kel_class *c =
            class_new("xpcoll", nullptr, reinterpret_cast<kel_method>(&coll_free), sizeof(xpcoll), nullptr, 0);
        if (!c) return false;
        class_addmethod(c, reinterpret_cast<kel_method>(&coll_fclose), "fclose", ATYPE_CANT, 0);
        if (class_register(sym_nobox, c) != ERR_NONE) return false;
        g_coll_class = c;
    }
    if (!g_entry_class) {
        kel_class *c = class_new("xpcentry", nullptr, nullptr, sizeof(xpcentry), nullptr, 0);
        if (!c || class_register(sym_nobox, c) != ERR_NONE) return false;
        g_entry_class = c;
    }
    return true;
}

void collective_shutdown()
{
    while (!g_open.empty()) freeobject(g_open.back());
    if (!g_temporary.empty()) platform::remove_tree(g_temporary);
    g_temporary.clear();
    g_temporary_failed = false;
}

std::string collective_temporary_folder()
{
    if (g_temporary.empty() && !g_temporary_failed) {
        if (platform::make_private_folder(platform::temporary_folder(), "kel-", &g_temporary) != 0) {
            g_temporary_failed = true;
            g_temporary.clear();
            post("xpcoll: Unable to GetTempPath().");
        }
    }
    return g_temporary;
}

}  // namespace kel

using namespace kel;

KEL_API xpcoll *xpcoll_open(const char *name, short path, long type, short load, short value, long data)
{
    if (!name || !*name) return nullptr;
    if (type != 0 && type != FILETYPE_COLLECTIVE) {
        error("%s: error opening file", name);
        return nullptr;
    }
    sysfile *f = nullptr;
    if (path_opensysfile(name, path, &f, PATH_PERM_READ) != 0) {
        error("%s: error opening file", name);
        return nullptr;
    }
    xpcoll *x = make_collective(f, name, path);
    if (!x) return nullptr;
    if (long err = read_directory(x)) {
        error("%s: error %ld making directory", name, err);
        freeobject(x);
        return nullptr;
    }
    if (load) xpcoll_load(x, value, data);
    return x;
}

KEL_API xpcoll *xpcoll_opensysfile(sysfile *f, const char *name, long type, short load, short value, long data)
{
    if (!f) return nullptr;
    if (!name || !*name) {
        sysfile_close(f);
        return nullptr;
    }
    xpcoll *x = make_collective(f, name, collective_embedded);
    if (!x) return nullptr;
    const bool directory = std::find(std::begin(file_types_with_directory), std::end(file_types_with_directory),
                                     type) != std::end(file_types_with_directory);
    long err = 0;
    if (directory) {
        err = read_directory(x);
    } else {
        collective_field_set whole;
        whole.name = name;
        whole.type = type;
        whole.size = static_cast<long>(std::min<int64_t>(x->length, UINT32_MAX));
        whole.flags = collective_flag_load;
        xpcentry *e = make_entry(x, whole);
        if (!e || !add_entry(x, e)) {
            if (e) freeobject(e);
            err = toolbox::memFullErr;
        }
    }
    if (err) {
        error("%s: error %ld making directory", name, err);
        freeobject(x);
        return nullptr;
    }
    if (load) xpcoll_load(x, value, data);
    return x;
}

KEL_API void xpcoll_load(xpcoll *x, short value, long data)
{
    if (!x) return;
    xpcoll_reference(x);
    const std::vector<xpcentry *> entries = entries_of(x);
    for (xpcentry *e : entries)
        if (e->type == type_support) extract_support_library(x, e);
    x->load_value = value;
    x->load_data = data;
    x->loading = 1;
    // Start-up patchers first, then the entries marked to load; each once.
    std::vector<xpcentry *> opened;
    auto open_once = [&](xpcentry *e) {
        if (std::find(opened.begin(), opened.end(), e) != opened.end()) return;
        opened.push_back(e);
        open_entry_as_patcher(x, e);
    };
    for (xpcentry *e : entries)
        if (e->type == type_text && std::strncmp(e->stored_name->name, "init", 4) == 0) open_once(e);
    for (xpcentry *e : entries)
        if (e->flags & collective_flag_load) open_once(e);
    x->loading = 0;
    xpcoll_dereference(x);
}

KEL_API void xpcoll_reference(xpcoll *x)
{
    if (x) x->references++;
}

KEL_API void xpcoll_dereference(xpcoll *x)
{
    if (x && --x->references <= 0) freeobject(x);
}

KEL_API void xpcoll_setclientcallback(xpcoll *x, void *client, xpcoll_client_fn fn)
{
    if (!x) return;
    x->client = client;
    x->client_fn = fn;
}
