#include "kernel/create/loader.h"

#include <string>
#include <vector>

#include "kel/console.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kernel/core/binding_scope.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/core/settings.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "platform/dynlib.h"
#include "platform/macroman.h"

namespace kel {
namespace {

// Never destroyed: libraries stay loaded until the shutdown sequence unloads
// them, whatever the order in which static objects go at exit.
std::vector<platform::dynlib *> &libraries()
{
    static auto *list = new std::vector<platform::dynlib *>;
    return *list;
}

// What an external built with the SDK headers carries: the SDK version and
// the atom size it was compiled with.
struct sdk_stamp {
    long version;
    long atom_size;
};

std::vector<loaded_external> &externals()
{
    static auto *list = new std::vector<loaded_external>;
    return *list;
}

bool compatible(platform::dynlib *lib, symbol *typed)
{
    auto *stamp = static_cast<const sdk_stamp *>(platform::dynlib_own_symbol(lib, "kel_external_sdk"));
    if (stamp && stamp->version == KEL_SDK_VERSION && stamp->atom_size == static_cast<long>(sizeof(atom))) return true;
    if (stamp)
        error("%s: built for another kel (SDK version %ld, atom size %ld; this kel: %d, %ld)", typed->name,
              stamp->version, stamp->atom_size, KEL_SDK_VERSION, static_cast<long>(sizeof(atom)));
    else
        error("%s: not built with the kel SDK headers", typed->name);
    return false;
}

bool load_external(symbol *typed, symbol *filename, short path)
{
    // The folder by its exact system name: a name the kernel's character set
    // cannot spell must still load. A library inside a collective is loaded
    // from a copy in the temporary folder.
    std::string file, folder;
    const bool from_collective = collective_is_open(path);
    if (from_collective) {
        if (!collective_extract_external(path, filename->name, &file)) {
            error("Error %d loading external %s\n", -1, typed->name);
            return false;
        }
    } else if (path_folder_of(path, &folder)) {
        file = folder + "/" + toolbox::kernel_name_to_os(filename->name);
    } else {
        error("Error %d loading external %s\n", -1, typed->name);
        return false;
    }
    int code = 0;
    std::string message;
    libraries().reserve(libraries().size() + 1);  // keeping the library needs no more memory
    platform::dynlib *lib = platform::dynlib_open(file, &code, &message);
    if (!lib) {
        // The classic line, with the reason the system loader (or the check
        // before it) gave.
        if (message.empty())
            error("Error %d loading external %s", code, typed->name);
        else
            error("Error %d loading external %s: %s", code, typed->name, message.c_str());
        return false;
    }
    void *main_function = platform::dynlib_own_symbol(lib, "main");
    if (!main_function) {
        error("invalid external %s, undefined main\n", typed->name);
        if (platform::symbol_hidden_in_file(file, "main"))
            post("%s: main is in the library but not exported (built with -fvisibility=hidden?): declare it "
                 "__attribute__((visibility(\"default\")))",
                 typed->name);
        platform::dynlib_close(lib);
        return false;
    }
    if (!compatible(lib, typed)) {
        platform::dynlib_close(lib);
        return false;
    }
    libraries().push_back(lib);
    if (verbose()) post("%s: loading external %s", typed->name, file.c_str());
    // #I names the library whose main is running.
    binding_scope loading(gensym("#I"), reinterpret_cast<object *>(typed));
    class_builder_begin(typed, filename, path);
    // The library's resources would be opened around main here; on this
    // platform libraries carry none.
    call_library_main(main_function);
    kel_class *made = class_builder_finish();
    if (!made) {
        error("%s: the library's main made no class", typed->name);
        return true;
    }
    loaded_external entry;
    entry.class_name = made->name ? made->name->name : typed->name;
    entry.from_collective = from_collective;
    if (!from_collective) {
        char full[MAX_PATH_CHARS];
        if (path_topathname(path, "", full) == 0) entry.folder = full;
        while (entry.folder.size() > 1 && entry.folder.back() == '/') entry.folder.pop_back();
    }
    externals().push_back(std::move(entry));
    return true;
}

}  // namespace

bool loader_load_external(symbol *typed, symbol *filename, short path)
{
    if (memory_is_low()) return false;
    return guarded(typed->name, false, [&] { return load_external(typed, filename, path); });
}

const std::vector<loaded_external> &loader_externals() { return externals(); }

void loader_unload_all()
{
    std::vector<platform::dynlib *> &list = libraries();
    while (!list.empty()) {
        platform::dynlib_close(list.back());
        list.pop_back();
    }
    externals().clear();
}

}  // namespace kel
