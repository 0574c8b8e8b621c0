#include "platform/dynlib.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

namespace kel::platform {

struct dynlib {
    void *handle;
    std::string path;
};

namespace {

using native_header = ElfW(Ehdr);
using native_segment = ElfW(Phdr);
using native_section = ElfW(Shdr);
using native_symbol = ElfW(Sym);

// Reads parts of a file by offset; only the headers and tables a question
// needs are read, never the whole library.
class file_reader {
public:
    explicit file_reader(const std::string &path) : in_(path, std::ios::binary | std::ios::ate)
    {
        if (in_) size_ = static_cast<uint64_t>(in_.tellg());
    }
    bool open() const { return static_cast<bool>(in_); }
    uint64_t size() const { return size_; }
    bool read(uint64_t offset, void *out, uint64_t n)
    {
        if (offset > size_ || size_ - offset < n) return false;
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        return static_cast<bool>(in_.read(static_cast<char *>(out), static_cast<std::streamsize>(n)));
    }
    template <typename T> bool read_at(uint64_t offset, T *out) { return read(offset, out, sizeof(T)); }

private:
    std::ifstream in_;
    uint64_t size_ = 0;
};

bool native_elf(file_reader &f, native_header *h)
{
    return f.read_at(0, h) && std::memcmp(h->e_ident, ELFMAG, SELFMAG) == 0 &&
           h->e_ident[EI_CLASS] == (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32);
}

}  // namespace

std::string library_file_problem(const std::string &path)
{
    file_reader f(path);
    if (!f.open()) return "";  // the loader's own words say why
    native_header h{};
    if (!f.read_at(0, &h) || std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0)
        return "not a code library (the file does not begin like one)";
    if (h.e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32))
        return "built for another kind of machine";
    if (h.e_type != ET_DYN) return "not a code library (an object file or a program)";
    // Mapping a segment that lies past the end of the file kills the process
    // with a bus error when it is touched: a cut-short file is refused here.
    uint64_t needed = uint64_t(h.e_phoff) + uint64_t(h.e_phnum) * h.e_phentsize;
    bool program = false;
    for (unsigned i = 0; i < h.e_phnum; i++) {
        native_segment s{};
        if (!f.read_at(h.e_phoff + uint64_t(i) * h.e_phentsize, &s)) break;
        if (s.p_type == PT_INTERP) program = true;
        if (s.p_type == PT_LOAD && s.p_offset + s.p_filesz > needed) needed = s.p_offset + s.p_filesz;
    }
    if (h.e_shnum && uint64_t(h.e_shoff) + uint64_t(h.e_shnum) * h.e_shentsize > needed)
        needed = uint64_t(h.e_shoff) + uint64_t(h.e_shnum) * h.e_shentsize;
    if (needed > f.size())
        return "the file is cut short (" + std::to_string(f.size()) + " bytes of " + std::to_string(needed) + ")";
    if (program) return "a program, not a code library";
    return "";
}

bool symbol_hidden_in_file(const std::string &path, const char *name)
{
    file_reader f(path);
    native_header h{};
    if (!f.open() || !native_elf(f, &h)) return false;
    const uint64_t length = std::strlen(name) + 1;  // with its terminating NUL
    std::vector<char> text(length);
    for (unsigned i = 0; i < h.e_shnum; i++) {
        native_section table{}, strings{};
        if (!f.read_at(h.e_shoff + uint64_t(i) * h.e_shentsize, &table) || table.sh_type != SHT_SYMTAB ||
            !table.sh_entsize || !f.read_at(h.e_shoff + uint64_t(table.sh_link) * h.e_shentsize, &strings))
            continue;
        for (uint64_t k = 0; k < table.sh_size / table.sh_entsize; k++) {
            native_symbol sym{};
            if (!f.read_at(table.sh_offset + k * table.sh_entsize, &sym)) break;
            if (sym.st_shndx == SHN_UNDEF || sym.st_name >= strings.sh_size) continue;
            if (!f.read(strings.sh_offset + sym.st_name, text.data(), length) ||
                std::memcmp(text.data(), name, length) != 0)
                continue;
            // A hidden symbol ends up local in the linked library.
            const bool exported =
                ELF64_ST_BIND(sym.st_info) != STB_LOCAL && ELF64_ST_VISIBILITY(sym.st_other) == STV_DEFAULT;
            if (!exported) return true;
        }
    }
    return false;
}

dynlib *dynlib_open(const std::string &path, int *error_code, std::string *message)
{
    if (std::string problem = library_file_problem(path); !problem.empty()) {
        if (error_code) *error_code = -1;
        if (message) *message = problem;
        return nullptr;
    }
    errno = 0;
    // Local binding: the library's own symbols never stand in for another
    // library's, and its main never shadows anybody's.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error_code) *error_code = errno ? errno : -1;
        if (message) {
            const char *text = dlerror();
            *message = text ? text : "";
        }
        return nullptr;
    }
    return new dynlib{handle, path};
}

void *dynlib_own_symbol(dynlib *lib, const char *name)
{
    if (!lib) return nullptr;
    dlerror();
    void *address = dlsym(lib->handle, name);
    if (!address) return nullptr;
    // dlsym also searches the library's dependencies: keep the symbol only
    // when the object that defines it is the library itself.
    Dl_info info{};
    struct link_map *map = nullptr;
    if (!dladdr(address, &info) || dlinfo(lib->handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
    if (!info.dli_fname || !map->l_name || std::strcmp(info.dli_fname, map->l_name) != 0) return nullptr;
    return address;
}

void dynlib_close(dynlib *lib)
{
    if (!lib) return;
    dlclose(lib->handle);
    delete lib;
}

}  // namespace kel::platform
