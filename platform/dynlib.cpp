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

// The whole file, or false when it cannot be read.
bool read_file(const std::string &path, std::vector<char> *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

template <typename T> bool read_at(const std::vector<char> &bytes, uint64_t offset, T *out)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(out, bytes.data() + offset, sizeof(T));
    return true;
}

bool native_elf(const std::vector<char> &bytes, native_header *h)
{
    return read_at(bytes, 0, h) && std::memcmp(h->e_ident, ELFMAG, SELFMAG) == 0 &&
           h->e_ident[EI_CLASS] == (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32);
}

}  // namespace

std::string library_file_problem(const std::string &path)
{
    std::vector<char> bytes;
    if (!read_file(path, &bytes)) return "";  // the loader's own words say why
    native_header h{};
    if (!read_at(bytes, 0, &h) || std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0)
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
        if (!read_at(bytes, h.e_phoff + uint64_t(i) * h.e_phentsize, &s)) break;
        if (s.p_type == PT_INTERP) program = true;
        if (s.p_type == PT_LOAD && s.p_offset + s.p_filesz > needed) needed = s.p_offset + s.p_filesz;
    }
    if (h.e_shnum && uint64_t(h.e_shoff) + uint64_t(h.e_shnum) * h.e_shentsize > needed)
        needed = uint64_t(h.e_shoff) + uint64_t(h.e_shnum) * h.e_shentsize;
    if (needed > bytes.size())
        return "the file is cut short (" + std::to_string(bytes.size()) + " bytes of " + std::to_string(needed) + ")";
    if (program) return "a program, not a code library";
    return "";
}

bool symbol_hidden_in_file(const std::string &path, const char *name)
{
    std::vector<char> bytes;
    native_header h{};
    if (!read_file(path, &bytes) || !native_elf(bytes, &h)) return false;
    for (unsigned i = 0; i < h.e_shnum; i++) {
        native_section table{}, strings{};
        if (!read_at(bytes, h.e_shoff + uint64_t(i) * h.e_shentsize, &table) || table.sh_type != SHT_SYMTAB ||
            !table.sh_entsize || !read_at(bytes, h.e_shoff + uint64_t(table.sh_link) * h.e_shentsize, &strings))
            continue;
        for (uint64_t k = 0; k < table.sh_size / table.sh_entsize; k++) {
            native_symbol sym{};
            if (!read_at(bytes, table.sh_offset + k * table.sh_entsize, &sym)) break;
            if (sym.st_shndx == SHN_UNDEF || sym.st_name >= strings.sh_size) continue;
            const uint64_t at = strings.sh_offset + sym.st_name;
            if (at >= bytes.size()) continue;
            const char *text = bytes.data() + at;
            // A hidden symbol ends up local in the linked library.
            const bool exported =
                ELF64_ST_BIND(sym.st_info) != STB_LOCAL && ELF64_ST_VISIBILITY(sym.st_other) == STV_DEFAULT;
            if (std::strncmp(text, name, bytes.size() - at) == 0 && !exported) return true;
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
