#include "app/startup_folder.h"

#include <climits>
#include <set>
#include <string>

#include "kel/kel.h"
#include "kernel/core/settings.h"
#include "kernel/create/loader.h"
#include "kernel/files/path.h"
#include "kernel/patcher/loadbang.h"
#include "platform/files.h"

namespace kel::app {
namespace {

constexpr long type_external_x = KEL_FOURCC('i', 'L', 'a', 'X');
constexpr long type_unknown = KEL_FOURCC('?', '?', '?', '?');

// The full names of the files taken so far.
std::set<std::string> &taken()
{
    static std::set<std::string> names;
    return names;
}

// The id of the first folder of the search path named "init", or 0. The
// folders searched with their trees hold their sub-folders as entries of
// their own; a folder searched alone (the working folder) offers none.
short find_startup_folder()
{
    short path = 0;
    while (path_getnext(path_list_search(), &path) == 0 && path) {
        std::string os;
        if (path_folder_of(path, &os) && platform::last_component(os) == "init") return path;
    }
    return 0;
}

void verbose_status(const char *format, const char *name)
{
    if (verbose()) post(format, name);
}

void load_patcher(const char *name, short path)
{
    verbose_status("Patcher: %s", name);
    loadbang_suspend();
    object *p = static_cast<object *>(fileload(name, path));
    if (!p) loadbang_clearqueue();
    loadbang_resume();
}

void load_external(const char *name, short path)
{
    verbose_status("External: %s", name);
    std::string class_name = name;
    if (const size_t dot = class_name.rfind('.'); dot != std::string::npos && dot > 0) class_name.resize(dot);
    // A patcher of the folder may have loaded it already, by its class.
    for (const loaded_external &e : loader_externals())
        if (e.class_name == class_name) return;
    if (!loader_load_external(gensym(class_name.c_str()), gensym(name), path))
        verbose_status("Error loading external %s", name);
}

}  // namespace

void startup_folder_run()
{
    const short folder_path = find_startup_folder();
    if (!folder_path) return;
    path_folder *folder = path_openfolder(folder_path);
    if (!folder) return;
    std::string folder_name;
    path_folder_of(folder_path, &folder_name);
    long type = 0;
    char name[MAX_FILENAME_CHARS];
    short is_folder = 0;
    while (path_foldernextfile(folder, &type, name, &is_folder)) {
        if (is_folder) continue;
        if (!taken().insert(platform::join(folder_name, name)).second) continue;
        if (type == FILETYPE_PATCHER || type == FILETYPE_TEXT)
            load_patcher(name, folder_path);
        else if (type == FILETYPE_EXTERNAL || type == type_external_x || type == type_unknown)
            load_external(name, folder_path);
        else
            verbose_status("Unknown startup file: %s", name);
    }
    path_closefolder(folder);
}

}  // namespace kel::app
