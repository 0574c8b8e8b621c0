#include "platform/dynlib.h"

#include <cerrno>
#include <cstring>

#include <dlfcn.h>
#include <link.h>

namespace kel::platform {

struct dynlib {
    void *handle;
    std::string path;
};

dynlib *dynlib_open(const std::string &path, int *error_code, std::string *message)
{
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
