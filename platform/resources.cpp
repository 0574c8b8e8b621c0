// The resource manager: open resource files, lookup, enumeration, writing.
//
// Invariants:
//   - the chain holds the open files in the order they were opened; the
//     current file is one of them, or 0 when the chain is empty;
//   - each open file keeps its whole image in memory; a resource records where
//     its data lies in the image, checked against the image size when parsed;
//   - a resource has at most one handle; g_owners maps every such handle back
//     to its file and resource, and the handle carries kHandleResource until
//     the file lets go of it.
#include "platform/resources.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kel::toolbox {

namespace {

constexpr char kMagic[4] = {'K', 'R', 'E', 'S'};
constexpr std::uint16_t kVersion = 1;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kMinEntrySize = 4 + 2 + 1 + 4;

struct Resource {
    ResType type;
    short id;
    std::string name;
    std::size_t offset;  // of the data in the file image
    std::size_t length;
    Handle handle = nullptr;
    bool loaded = false;  // the handle holds the data (not the empty stand-in)
};

struct ResFile {
    short ref;
    std::string image;
    std::vector<Resource> resources;
    std::vector<ResType> types;  // distinct, in order of first appearance
};

struct Owner {
    ResFile *file;
    std::size_t index;
};

std::vector<std::unique_ptr<ResFile>> g_chain;
std::unordered_map<Handle, Owner> g_owners;
short g_current = 0;
short g_error = noErr;
bool g_load = true;
short g_last_ref = 0;
long g_fail_write_after = -1;

short set_error(short err)
{
    g_error = err;
    return err;
}

// Position of ref in the chain, or -1.
long chain_index(short ref)
{
    for (std::size_t i = 0; i < g_chain.size(); ++i)
        if (g_chain[i]->ref == ref) return static_cast<long>(i);
    return -1;
}

ResFile *current_file()
{
    long i = chain_index(g_current);
    return i < 0 ? nullptr : g_chain[static_cast<std::size_t>(i)].get();
}

// Bounds-checked little-endian reading of a file image.
class Reader {
public:
    explicit Reader(std::string_view bytes) : p_(bytes.data()), left_(bytes.size()) {}

    bool bytes(std::size_t n, std::string_view *out)
    {
        if (n > left_) return false;
        *out = std::string_view(p_, n);
        p_ += n;
        left_ -= n;
        return true;
    }
    bool u8(std::uint8_t *out)
    {
        std::string_view b;
        if (!bytes(1, &b)) return false;
        *out = static_cast<std::uint8_t>(b[0]);
        return true;
    }
    bool u16(std::uint16_t *out)
    {
        std::string_view b;
        if (!bytes(2, &b)) return false;
        *out = static_cast<std::uint16_t>(byte(b, 0) | byte(b, 1) << 8);
        return true;
    }
    bool u32(std::uint32_t *out)
    {
        std::string_view b;
        if (!bytes(4, &b)) return false;
        *out = byte(b, 0) | byte(b, 1) << 8 | byte(b, 2) << 16 | byte(b, 3) << 24;
        return true;
    }
    std::size_t left() const { return left_; }
    std::size_t offset_in(const std::string &image) const { return static_cast<std::size_t>(p_ - image.data()); }

private:
    static std::uint32_t byte(std::string_view b, std::size_t i) { return static_cast<unsigned char>(b[i]); }
    const char *p_;
    std::size_t left_;
};

// Fills file->resources and file->types from file->image; false if malformed.
bool parse_image(ResFile *file)
{
    Reader in(file->image);
    std::string_view magic;
    std::uint16_t version, flags;
    std::uint32_t count;
    if (!in.bytes(4, &magic) || magic != std::string_view(kMagic, 4)) return false;
    if (!in.u16(&version) || version != kVersion) return false;
    if (!in.u16(&flags) || flags != 0) return false;
    if (!in.u32(&count)) return false;
    // Reserve only what the bytes present could hold, whatever count claims.
    if (count > in.left() / kMinEntrySize) return false;
    file->resources.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view type_chars, name, data;
        std::uint16_t id;
        std::uint8_t name_length;
        std::uint32_t data_length;
        if (!in.bytes(4, &type_chars) || !in.u16(&id) || !in.u8(&name_length) || !in.bytes(name_length, &name) ||
            !in.u32(&data_length))
            return false;
        const std::size_t offset = in.offset_in(file->image);
        if (!in.bytes(data_length, &data)) return false;
        ResType type = 0;
        for (char c : type_chars) type = type << 8 | static_cast<unsigned char>(c);
        file->resources.push_back(Resource{type, static_cast<short>(id), std::string(name), offset, data_length});
    }
    if (in.left() != 0) return false;

    std::vector<std::pair<ResType, short>> keys;
    keys.reserve(file->resources.size());
    for (const Resource &r : file->resources) {
        keys.emplace_back(r.type, r.id);
        if (std::find(file->types.begin(), file->types.end(), r.type) == file->types.end())
            file->types.push_back(r.type);
    }
    std::sort(keys.begin(), keys.end());
    return std::adjacent_find(keys.begin(), keys.end()) == keys.end();
}

bool read_file(const std::string &path, std::string *image, short *err)
{
    // Non-blocking, so that opening a FIFO by mistake cannot hang; it is then
    // refused as not a regular file.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = (errno == ENOENT || errno == ENOTDIR) ? fnfErr : ioErr;
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *err = ioErr;
        return false;
    }
    image->resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < image->size()) {
        ssize_t n = ::read(fd, image->data() + done, image->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    // A file that changed size while being read is read as found: a shorter
    // image fails to parse, a longer one is cut where the size was taken.
    image->resize(done);
    return true;
}

short next_free_ref()
{
    for (int tries = 0; tries < 0x7FFF; ++tries) {
        g_last_ref = static_cast<short>(g_last_ref >= 0x7FFF ? 1 : g_last_ref + 1);
        if (chain_index(g_last_ref) < 0) return g_last_ref;
    }
    return -1;
}

// Marks h as owned by file's resource index, or lets go of it.
void adopt(Handle h, ResFile *file, std::size_t index)
{
    HSetState(h, static_cast<signed char>(HGetState(h) | kHandleResource));
    g_owners[h] = Owner{file, index};
}

void let_go(Handle h)
{
    HSetState(h, static_cast<signed char>(HGetState(h) & ~kHandleResource));
    g_owners.erase(h);
}

bool fill(Resource &r, const ResFile &file)
{
    SetHandleSize(r.handle, static_cast<long>(r.length));
    if (MemError() != noErr) {
        set_error(MemError());
        return false;
    }
    if (r.length > 0) std::memcpy(*r.handle, file.image.data() + r.offset, r.length);
    r.loaded = true;
    return true;
}

// The handle of file's resource index, made or loaded as ResLoad says.
Handle resource_handle(ResFile *file, std::size_t index)
{
    Resource &r = file->resources[index];
    set_error(noErr);
    if (r.handle == nullptr) {
        if (r.length > static_cast<std::size_t>(kMaxHandleSize)) {
            set_error(memFullErr);
            return nullptr;
        }
        r.handle = NewHandle(0);
        if (r.handle == nullptr) {
            set_error(MemError());
            return nullptr;
        }
        adopt(r.handle, file, index);
        r.loaded = false;
    }
    if (g_load && !r.loaded && !fill(r, *file)) return nullptr;
    return r.handle;
}

template <typename Match> Handle find_resource(bool current_only, Match match)
{
    long i = chain_index(g_current);
    if (i < 0) {
        set_error(resNotFound);
        return nullptr;
    }
    for (; i >= 0; --i) {
        ResFile *file = g_chain[static_cast<std::size_t>(i)].get();
        for (std::size_t k = 0; k < file->resources.size(); ++k)
            if (match(file->resources[k])) return resource_handle(file, k);
        if (current_only) break;
    }
    set_error(resNotFound);
    return nullptr;
}

const Owner *owner_of(Handle h)
{
    auto it = g_owners.find(h);
    if (it == g_owners.end()) {
        set_error(resNotFound);
        return nullptr;
    }
    set_error(noErr);
    return &it->second;
}

void put_u16(std::string &out, std::uint16_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void put_u32(std::string &out, std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(v >> shift & 0xFF));
}

// Writes all of data to fd; honours the write-failure test hook.
bool write_all(int fd, std::string_view data)
{
    std::size_t limit = data.size();
    const bool inject = g_fail_write_after >= 0;
    if (inject) limit = std::min(limit, static_cast<std::size_t>(g_fail_write_after));
    g_fail_write_after = -1;
    std::size_t done = 0;
    while (done < limit) {
        ssize_t n = ::write(fd, data.data() + done, limit - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return done == data.size();
}

bool serialise(const std::vector<ResourceEntry> &entries, std::string *out)
{
    if (entries.size() > 0xFFFFFFFFu) return false;
    std::vector<std::pair<ResType, short>> keys;
    keys.reserve(entries.size());
    std::size_t total = kHeaderSize;
    for (const ResourceEntry &e : entries) {
        if (e.name.size() > 255 || e.data.size() > 0xFFFFFFFFu) return false;
        keys.emplace_back(e.type, e.id);
        total += kMinEntrySize + e.name.size() + e.data.size();
    }
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) return false;

    out->reserve(total);
    out->append(kMagic, 4);
    put_u16(*out, kVersion);
    put_u16(*out, 0);
    put_u32(*out, static_cast<std::uint32_t>(entries.size()));
    for (const ResourceEntry &e : entries) {
        for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(e.type >> shift & 0xFF));
        put_u16(*out, static_cast<std::uint16_t>(e.id));
        out->push_back(static_cast<char>(e.name.size()));
        out->append(e.name);
        put_u32(*out, static_cast<std::uint32_t>(e.data.size()));
        out->append(e.data);
    }
    return true;
}

// The directory part of path, for syncing the rename.
std::string directory_of(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string res_type_name(ResType type)
{
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(type >> (24 - 8 * i) & 0xFF);
    return s;
}

short OpenResFile(const std::string &path)
{
    try {
        auto file = std::make_unique<ResFile>();
        short err = noErr;
        if (!read_file(path, &file->image, &err)) {
            set_error(err);
            return -1;
        }
        if (!parse_image(file.get())) {
            set_error(mapReadErr);
            return -1;
        }
        short ref = next_free_ref();
        if (ref < 0) {
            set_error(tmfoErr);
            return -1;
        }
        file->ref = ref;
        g_chain.push_back(std::move(file));
        g_current = ref;
        set_error(noErr);
        return ref;
    } catch (const std::bad_alloc &) {
        set_error(memFullErr);
        return -1;
    }
}

void CloseResFile(short ref)
{
    long i = chain_index(ref);
    if (i < 0) {
        set_error(resFNotFound);
        return;
    }
    auto at = g_chain.begin() + i;
    for (Resource &r : (*at)->resources) {
        if (r.handle == nullptr) continue;
        let_go(r.handle);
        DisposeHandle(r.handle);
    }
    g_chain.erase(at);
    if (g_current == ref) {
        if (i > 0)
            g_current = g_chain[static_cast<std::size_t>(i - 1)]->ref;
        else
            g_current = g_chain.empty() ? 0 : g_chain.back()->ref;
    }
    set_error(noErr);
}

short CurResFile()
{
    set_error(noErr);
    return g_current;
}

void UseResFile(short ref)
{
    if (chain_index(ref) < 0) {
        set_error(resFNotFound);
        return;
    }
    g_current = ref;
    set_error(noErr);
}

short ResError() { return g_error; }

void SetResLoad(bool load) { g_load = load; }

Handle GetResource(ResType type, short id)
{
    return find_resource(false, [&](const Resource &r) { return r.type == type && r.id == id; });
}

Handle Get1Resource(ResType type, short id)
{
    return find_resource(true, [&](const Resource &r) { return r.type == type && r.id == id; });
}

Handle GetNamedResource(ResType type, const std::string &name)
{
    return find_resource(false, [&](const Resource &r) { return r.type == type && r.name == name; });
}

Handle Get1NamedResource(ResType type, const std::string &name)
{
    return find_resource(true, [&](const Resource &r) { return r.type == type && r.name == name; });
}

void LoadResource(Handle h)
{
    const Owner *owner = owner_of(h);
    if (owner == nullptr) return;
    Resource &r = owner->file->resources[owner->index];
    if (!r.loaded) fill(r, *owner->file);
}

void ReleaseResource(Handle h)
{
    const Owner *owner = owner_of(h);
    if (owner == nullptr) return;
    Resource &r = owner->file->resources[owner->index];
    let_go(h);
    r.handle = nullptr;
    r.loaded = false;
    DisposeHandle(h);
}

void DetachResource(Handle h)
{
    const Owner *owner = owner_of(h);
    if (owner == nullptr) return;
    Resource &r = owner->file->resources[owner->index];
    let_go(h);
    r.handle = nullptr;
    r.loaded = false;
}

short HomeResFile(Handle h)
{
    const Owner *owner = owner_of(h);
    return owner == nullptr ? -1 : owner->file->ref;
}

void GetResInfo(Handle h, short *id, ResType *type, std::string *name)
{
    const Owner *owner = owner_of(h);
    if (owner == nullptr) return;
    const Resource &r = owner->file->resources[owner->index];
    if (id) *id = r.id;
    if (type) *type = r.type;
    if (name) *name = r.name;
}

short Count1Types()
{
    const ResFile *file = current_file();
    set_error(file ? noErr : resFNotFound);
    return file ? static_cast<short>(file->types.size()) : 0;
}

void Get1IndType(ResType *type, short index)
{
    const ResFile *file = current_file();
    ResType found = 0;
    if (file && index >= 1 && static_cast<std::size_t>(index) <= file->types.size())
        found = file->types[static_cast<std::size_t>(index - 1)];
    set_error(found ? noErr : resNotFound);
    if (type) *type = found;
}

short Count1Resources(ResType type)
{
    const ResFile *file = current_file();
    set_error(file ? noErr : resFNotFound);
    if (file == nullptr) return 0;
    long n = std::count_if(file->resources.begin(), file->resources.end(),
                           [&](const Resource &r) { return r.type == type; });
    return static_cast<short>(std::min(n, 0x7FFFL));
}

Handle Get1IndResource(ResType type, short index)
{
    ResFile *file = current_file();
    if (file != nullptr && index >= 1) {
        short seen = 0;
        for (std::size_t k = 0; k < file->resources.size(); ++k)
            if (file->resources[k].type == type && ++seen == index) return resource_handle(file, k);
    }
    set_error(resNotFound);
    return nullptr;
}

void GetIndString(unsigned char *buffer, short list_id, short index)
{
    buffer[0] = 0;
    // Find the list as GetResource would, without making a handle for it.
    std::string_view list;
    bool found = false;
    for (long i = chain_index(g_current); i >= 0 && !found; --i) {
        const ResFile &file = *g_chain[static_cast<std::size_t>(i)];
        for (const Resource &r : file.resources) {
            if (r.type != kStringListType || r.id != list_id) continue;
            if (r.loaded)
                list = std::string_view(*r.handle, static_cast<std::size_t>(GetHandleSize(r.handle)));
            else
                list = std::string_view(file.image).substr(r.offset, r.length);
            found = true;
            break;
        }
    }
    set_error(resNotFound);
    if (!found || list.size() < 2 || index < 1) return;
    const unsigned count = static_cast<unsigned char>(list[0]) << 8 | static_cast<unsigned char>(list[1]);
    if (static_cast<unsigned>(index) > count) return;
    std::size_t at = 2;
    for (short k = 1;; ++k) {
        if (at >= list.size()) return;
        const std::size_t length = static_cast<unsigned char>(list[at]);
        if (length > list.size() - at - 1) return;
        if (k == index) {
            buffer[0] = static_cast<unsigned char>(length);
            std::memcpy(buffer + 1, list.data() + at + 1, length);
            set_error(noErr);
            return;
        }
        at += 1 + length;
    }
}

bool write_resource_file(const std::string &path, const std::vector<ResourceEntry> &entries)
{
    std::string image;
    std::string temp;
    try {
        if (!serialise(entries, &image)) {
            g_fail_write_after = -1;
            set_error(paramErr);
            return false;
        }
        temp.reserve(path.size() + 32);
    } catch (const std::bad_alloc &) {
        g_fail_write_after = -1;
        set_error(memFullErr);
        return false;
    }

    int fd = -1;
    for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        g_fail_write_after = -1;
        set_error(ioErr);
        return false;
    }
    bool ok = write_all(fd, image) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        set_error(ioErr);
        return false;
    }
    // Make the rename itself durable; the file is complete either way.
    int dir = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    set_error(noErr);
    return true;
}

std::string make_string_list(const std::vector<std::string> &strings)
{
    const std::size_t count = std::min<std::size_t>(strings.size(), 0xFFFF);
    std::string out;
    out.push_back(static_cast<char>(count >> 8));
    out.push_back(static_cast<char>(count & 0xFF));
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = std::min<std::size_t>(strings[i].size(), 255);
        out.push_back(static_cast<char>(length));
        out.append(strings[i], 0, length);
    }
    return out;
}

void resources_fail_write_after(long bytes) { g_fail_write_after = bytes; }

}  // namespace kel::toolbox
