// Fuzz target: the resource file reader (platform/resources.h).
//
// The input is a resource file. A reference reader written here from the
// file format decides whether it is well formed; the resource manager must
// agree, refusing a malformed file whole with mapReadErr and leaving the
// chain as it was, and for a well-formed one:
//   - lookup, enumeration, GetResInfo and HomeResFile find every resource
//     with its type, id, name and data, in file order; absent ones are absent;
//   - with loading off a handle comes back empty and LoadResource fills it;
//     the same resource gives the same handle until it is released;
//   - GetIndString finds exactly the strings of each 'STR#' list that lie
//     inside it, loaded or not;
//   - a second open of the same file shadows the first until it is closed;
//   - writing the resources back out gives the input byte for byte (the
//     format has one spelling for each set of resources).
// Mutated bytes are rarely a well-formed file, so the input is also read as
// a recipe for one (recipe_entries below): that file, made by the writer,
// must read back as the recipe said and pass the same checks. The reader
// takes a path, so the files go to files of this process under $TMPDIR.
#include "platform/resources.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace kel::toolbox;

struct Entry {
    ResType type;
    short id;
    std::string name;
    std::string data;

    bool operator==(const Entry &) const = default;
};

class Cursor {
public:
    explicit Cursor(std::string_view bytes) : bytes_(bytes) {}
    bool take(std::size_t n, std::string_view *out)
    {
        if (bytes_.size() - at_ < n) return false;
        *out = bytes_.substr(at_, n);
        at_ += n;
        return true;
    }
    // A little-endian unsigned integer of n bytes.
    bool number(std::size_t n, std::uint32_t *out)
    {
        std::string_view b;
        if (!take(n, &b)) return false;
        *out = 0;
        for (std::size_t i = n; i-- > 0;) *out = *out << 8 | static_cast<unsigned char>(b[i]);
        return true;
    }
    bool at_end() const { return at_ == bytes_.size(); }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// The resources of a well-formed file, in file order; nothing when malformed.
std::optional<std::vector<Entry>> reference_read(std::string_view file)
{
    Cursor in(file);
    std::string_view magic;
    std::uint32_t version, flags, count;
    if (!in.take(4, &magic) || magic != "KRES" || !in.number(2, &version) || version != 1 || !in.number(2, &flags) ||
        flags != 0 || !in.number(4, &count))
        return std::nullopt;
    std::vector<Entry> entries;
    std::set<std::pair<ResType, short>> keys;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view type, name, data;
        std::uint32_t id, name_length, data_length;
        if (!in.take(4, &type) || !in.number(2, &id) || !in.number(1, &name_length) || !in.take(name_length, &name) ||
            !in.number(4, &data_length) || !in.take(data_length, &data))
            return std::nullopt;
        ResType code = 0;  // the first character in the high byte
        for (char c : type) code = code << 8 | static_cast<unsigned char>(c);
        const auto signed_id = static_cast<short>(static_cast<std::uint16_t>(id));
        if (!keys.emplace(code, signed_id).second) return std::nullopt;
        entries.push_back(Entry{code, signed_id, std::string(name), std::string(data)});
    }
    if (!in.at_end()) return std::nullopt;
    return entries;
}

// The index-th string of a 'STR#' list as GetIndString must give it: nothing
// when the index is outside the list's count or the string, or one before
// it, does not lie inside the list.
std::optional<std::string> reference_string(std::string_view list, long index)
{
    if (list.size() < 2 || index < 1) return std::nullopt;
    const long count = static_cast<unsigned char>(list[0]) << 8 | static_cast<unsigned char>(list[1]);
    if (index > count) return std::nullopt;
    std::size_t at = 2;
    for (long k = 1;; ++k) {
        if (at >= list.size()) return std::nullopt;
        const std::size_t length = static_cast<unsigned char>(list[at]);
        if (at + 1 + length > list.size()) return std::nullopt;
        if (k == index) return std::string(list.substr(at + 1, length));
        at += 1 + length;
    }
}

// How many strings of the list lie inside it, counted as reference_string walks.
long strings_inside(std::string_view list)
{
    long n = 0;
    while (n < 0x7FFF && reference_string(list, n + 1)) ++n;
    return n;
}

std::string contents(Handle h) { return std::string(*h, static_cast<std::size_t>(GetHandleSize(h))); }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The name of this process's scratch file with suffix; the files are removed
// at exit. The common stem is never freed, so that the exit handler still
// finds it.
std::string scratch_path(const char *suffix)
{
    static const std::string &stem = *[] {
        const char *dir = std::getenv("TMPDIR");
        auto *p = new std::string((dir && *dir ? std::string(dir) : std::string("/tmp")) + "/kel-fuzz-resources-" +
                                  std::to_string(::getpid()));
        std::atexit([] {
            for (const char *name : {"input", "input-copy", "recipe", "recipe-copy"})
                ::unlink(scratch_path(name).c_str());
        });
        return p;
    }();
    return stem + "-" + suffix;
}

void write_scratch(const std::string &path, std::string_view bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot create the scratch file under $TMPDIR");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        FUZZ_CHECK(n > 0, "cannot write the scratch file under $TMPDIR");
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void check_resource(Handle h, const Entry &e, short ref, bool loaded)
{
    FUZZ_CHECK(h != nullptr && ResError() == noErr, "a resource of the file is not found");
    FUZZ_CHECK(HomeResFile(h) == ref, "HomeResFile is not the file that holds the resource");
    short id = 0;
    ResType type = 0;
    std::string name = "unset";
    GetResInfo(h, &id, &type, &name);
    FUZZ_CHECK(id == e.id && type == e.type && name == e.name, "GetResInfo differs from the file");
    if (loaded)
        FUZZ_CHECK(contents(h) == e.data, "a resource's data differs from the file");
    else
        FUZZ_CHECK(GetHandleSize(h) == 0, "a handle got while loading is off is not empty");
}

void check_strings(const Entry &e)
{
    if (e.type != kStringListType) return;
    const long inside = strings_inside(e.data);
    std::vector<long> indices = {-32768, -1, 0, inside, inside + 1, inside + 2, 32767};
    for (long i = 1; i <= std::min(inside, 40L); ++i) indices.push_back(i);
    for (long index : indices) {
        if (index < -32768 || index > 32767) continue;
        unsigned char buffer[256];
        std::memset(buffer, 0xEE, sizeof buffer);
        GetIndString(buffer, e.id, static_cast<short>(index));
        const std::optional<std::string> expected = reference_string(e.data, index);
        if (expected) {
            FUZZ_CHECK(ResError() == noErr, "GetIndString did not find a string inside its list");
            FUZZ_CHECK(buffer[0] == expected->size() &&
                           std::memcmp(buffer + 1, expected->data(), expected->size()) == 0,
                       "GetIndString gave the wrong string");
        } else {
            FUZZ_CHECK(ResError() == resNotFound && buffer[0] == 0,
                       "GetIndString gave a string that is not inside its list");
        }
    }
}

// An id that type has no resource with in entries.
short absent_id(const std::vector<Entry> &entries, ResType type)
{
    std::set<short> used;
    for (const Entry &e : entries)
        if (e.type == type) used.insert(e.id);
    short id = 128;
    while (used.count(id)) ++id;
    return id;
}

void check_well_formed(const std::string &path, std::string_view input, const std::vector<Entry> &entries)
{
    const short ref = OpenResFile(path);
    FUZZ_CHECK(ref > 0 && ResError() == noErr, "a well-formed file was refused");
    FUZZ_CHECK(CurResFile() == ref, "the file just opened is not current");

    // Loading off: empty handles that know their resource, then filled.
    std::vector<Handle> handles;
    SetResLoad(false);
    for (const Entry &e : entries) {
        Handle h = Get1Resource(e.type, e.id);
        check_resource(h, e, ref, false);
        check_strings(e);
        handles.push_back(h);
    }
    SetResLoad(true);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        LoadResource(handles[i]);
        check_resource(handles[i], entries[i], ref, true);
        FUZZ_CHECK(GetResource(entries[i].type, entries[i].id) == handles[i], "the same resource gave a second handle");
        check_strings(entries[i]);
    }

    // Enumeration of the current file.
    std::vector<ResType> types;
    for (const Entry &e : entries)
        if (std::find(types.begin(), types.end(), e.type) == types.end()) types.push_back(e.type);
    FUZZ_CHECK(Count1Types() == static_cast<short>(types.size()), "Count1Types differs from the file");
    for (std::size_t t = 0; t <= types.size() + 1; ++t) {
        ResType type = 1;
        Get1IndType(&type, static_cast<short>(t));
        const ResType expected = t >= 1 && t <= types.size() ? types[t - 1] : 0;
        FUZZ_CHECK(type == expected, "Get1IndType differs from the order of the file");
    }
    for (ResType type : types) {
        short k = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].type != type) continue;
            FUZZ_CHECK(Get1IndResource(type, ++k) == handles[i], "Get1IndResource differs from the order of the file");
        }
        FUZZ_CHECK(Count1Resources(type) == k, "Count1Resources differs from the file");
        FUZZ_CHECK(Get1IndResource(type, static_cast<short>(k + 1)) == nullptr && ResError() == resNotFound,
                   "Get1IndResource found a resource past the last");
        FUZZ_CHECK(GetResource(type, absent_id(entries, type)) == nullptr && ResError() == resNotFound,
                   "GetResource found a resource the file does not have");
    }
    for (const Entry &e : entries) {
        if (e.name.empty()) continue;
        const auto first = std::find_if(entries.begin(), entries.end(), [&](const Entry &other) {
            return other.type == e.type && other.name == e.name;
        });
        FUZZ_CHECK(GetNamedResource(e.type, e.name) == handles[static_cast<std::size_t>(first - entries.begin())],
                   "GetNamedResource is not the first resource of that type and name");
    }

    // Released and detached handles: the file loads the resource afresh.
    if (!entries.empty()) {
        ReleaseResource(handles.front());
        handles.front() = Get1Resource(entries.front().type, entries.front().id);
        check_resource(handles.front(), entries.front(), ref, true);

        Handle detached = handles.back();
        DetachResource(detached);
        FUZZ_CHECK(HomeResFile(detached) == -1 && ResError() == resNotFound, "a detached handle still has a file");
        FUZZ_CHECK(contents(detached) == entries.back().data, "detaching changed the data");
        DisposeHandle(detached);
        handles.back() = GetResource(entries.back().type, entries.back().id);
        check_resource(handles.back(), entries.back(), ref, true);
    }

    // A second open of the same file comes first in the chain until closed.
    const short second = OpenResFile(path);
    FUZZ_CHECK(second > 0 && second != ref && CurResFile() == second, "a second open did not give a new current file");
    for (const Entry &e : entries) check_resource(GetResource(e.type, e.id), e, second, true);
    UseResFile(ref);
    FUZZ_CHECK(CurResFile() == ref, "UseResFile did not change the current file");
    if (!entries.empty())
        FUZZ_CHECK(HomeResFile(GetResource(entries.front().type, entries.front().id)) == ref,
                   "GetResource did not look in the current file first");
    UseResFile(second);
    CloseResFile(second);
    FUZZ_CHECK(ResError() == noErr && CurResFile() == ref, "closing the newest file did not make the older current");

    // Written back, the resources spell the same file.
    const std::string copy = path + "-copy";
    std::vector<ResourceEntry> out;
    for (const Entry &e : entries) out.push_back(ResourceEntry{e.type, e.id, e.name, e.data});
    FUZZ_CHECK(write_resource_file(copy, out), "the resources of a well-formed file could not be written");
    FUZZ_CHECK(read_file(copy) == input, "writing the resources back gave other bytes");

    CloseResFile(ref);
    FUZZ_CHECK(ResError() == noErr && CurResFile() == 0, "the chain is not empty after closing every file");
}

// The input read as a recipe for a well-formed file, entry after entry until
// it runs out:
//   1  type: 0-3 pick 'STR#', 'TEXT', 'DATA', 'ICN#'; any other value takes
//      the next four bytes as the type
//   2  id
//   1  name length L, then L bytes of name
//   1  data length D, then D bytes of data
// A piece cut short by the end of the input is kept as far as it goes; an
// entry whose type and id came earlier is left out.
std::vector<Entry> recipe_entries(std::string_view input)
{
    static constexpr ResType kTypes[] = {kStringListType, res_type("TEXT"), res_type("DATA"), res_type("ICN#")};
    std::size_t at = 0;
    const auto byte = [&]() -> unsigned char {
        return at < input.size() ? static_cast<unsigned char>(input[at++]) : 0;
    };
    const auto chars = [&](std::size_t n) {
        const std::string_view piece = input.substr(std::min(at, input.size()), n);
        at += piece.size();
        return std::string(piece);
    };
    std::vector<Entry> entries;
    std::set<std::pair<ResType, short>> keys;
    while (at < input.size()) {
        Entry e{};
        const unsigned char kind = byte();
        if (kind < std::size(kTypes)) {
            e.type = kTypes[kind];
        } else {
            for (int k = 0; k < 4; ++k) e.type = e.type << 8 | byte();
        }
        const unsigned char high = byte();
        e.id = static_cast<short>(static_cast<std::uint16_t>(high << 8 | byte()));
        e.name = chars(byte());
        e.data = chars(byte());
        if (keys.emplace(e.type, e.id).second) entries.push_back(std::move(e));
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    FUZZ_CHECK(CurResFile() == 0, "a resource file was left open by an earlier input");

    // The input as a file.
    const std::string path = scratch_path("input");
    write_scratch(path, input);
    if (const std::optional<std::vector<Entry>> entries = reference_read(input)) {
        check_well_formed(path, input, *entries);
    } else {
        FUZZ_CHECK(OpenResFile(path) == -1 && ResError() == mapReadErr,
                   "a malformed file was not refused with mapReadErr");
        FUZZ_CHECK(CurResFile() == 0, "a refused file joined the chain");
    }

    // The input as a recipe for a well-formed file.
    const std::vector<Entry> recipe = recipe_entries(input);
    std::vector<ResourceEntry> out;
    for (const Entry &e : recipe) out.push_back(ResourceEntry{e.type, e.id, e.name, e.data});
    const std::string recipe_path = scratch_path("recipe");
    FUZZ_CHECK(write_resource_file(recipe_path, out), "a well-formed set of resources could not be written");
    const std::string written = read_file(recipe_path);
    FUZZ_CHECK(reference_read(written) == recipe, "the writer's file does not hold what it was given");
    check_well_formed(recipe_path, written, recipe);
    return 0;
}
