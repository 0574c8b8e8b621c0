// The kel receiver's commands about paths and files: the search-path
// commands, file formats and sniffers, patchers opened under a name, and
// URLs and reference pages opened with the desktop's handler.
#include <map>
#include <string>

#include "app/launch.h"
#include "app/receiver_internal.h"
#include "kernel/core/objects.h"
#include "kernel/create/creation.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "kernel/time/scheduler.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

void receiver_pathtest(receiver *, symbol *name, long n) { path_pathtest(name, n); }
void receiver_sendapppath(receiver *, symbol *to) { path_sendapppath(to); }
void receiver_setsearchpath(receiver *, long n, symbol *folder) { path_setsearchpath(n, folder); }
void receiver_sethelppath(receiver *, symbol *folder) { path_sethelppath(folder); }
void receiver_setactionpath(receiver *, symbol *folder) { path_setactionpath(folder); }
void receiver_enablepathcache(receiver *, long on) { path_cache_enable(on != 0); }
void receiver_dumpxpcolls(receiver *, long on) { collective_set_dump(on != 0); }
void receiver_paths(receiver *) { path_post_lists(); }
void receiver_objectfile(receiver *, symbol *name, symbol *file) { creation_map_name(name, file); }
void receiver_fileformat(receiver *, symbol *, long argc, atom *argv) { fileformat_command(argc, argv); }
void receiver_definesniffer(receiver *, symbol *, long argc, atom *argv) { fileformat_definesniffer(argc, argv); }
void receiver_formats(receiver *) { fileformat_post_all(); }

// --- patchers opened under a name ---

// The names openfile bound, each to the patcher it opened; closefile frees
// only a patcher found here and still bound to its name.
std::map<symbol *, object *> &opened_files()
{
    static auto *map = new std::map<symbol *, object *>;
    return *map;
}

void receiver_openfile(receiver *, symbol *name, symbol *file)
{
    if (name->thing) {
        error("openfile: %s: symbol in use", name->name);
        return;
    }
    char found[MAX_PATH_CHARS];
    snprintf(found, sizeof found, "%s", file->name);
    short path = 0;
    long type = 0;
    const long types[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    if (locatefile_extended(found, &path, &type, types, 2) != 0) {
        error("openfile: %s: file not found", file->name);
        return;
    }
    auto *p = static_cast<object *>(fileload(found, path));
    if (!p) return;  // the load reported why
    // The name may have been taken while the patcher loaded (by one of its
    // own objects): it is then left as it is, and the patcher stays open.
    if (name->thing) return;
    name->thing = p;
    opened_files()[name] = p;
}

void receiver_closefile(receiver *, symbol *name)
{
    auto it = opened_files().find(name);
    if (it == opened_files().end() || name->thing != it->second || !object_valid_checked(it->second)) {
        if (it != opened_files().end()) opened_files().erase(it);
        error("closefile: no patcher associated with %s", name->name);
        return;
    }
    object *p = it->second;
    opened_files().erase(it);
    name->thing = nullptr;
    freeobject(p);
}

// --- the desktop's handler ---

// A timer or a driver poll must not wait for another program: from there
// the work is deferred to the main thread.
bool must_defer() { return in_isr() || !on_main_thread(); }

void do_launchbrowser(receiver *, symbol *url, long, atom *) { launch_url(url->name); }

void receiver_launchbrowser(receiver *x, symbol *url)
{
    if (must_defer())
        defer_low(x, as_receiver_method(&do_launchbrowser), url, 0, nullptr);
    else
        launch_url(url->name);
}

void do_htmlref(receiver *, symbol *name, long, atom *)
{
    const std::string page = std::string(name->name) + ".html";
    char found[MAX_PATH_CHARS];
    snprintf(found, sizeof found, "%s", page.c_str());
    short path = 0;
    long type = 0;
    std::string folder;
    if (page.size() >= MAX_FILENAME_CHARS || locatefile_extended(found, &path, &type, nullptr, 0) != 0 ||
        !path_folder_of(path, &folder)) {
        post("Kel could not locate %s.html", name->name);
        post("Please make sure that the html object ");
        post("reference is in the Kel search path.");
        return;
    }
    launch_url(folder + "/" + toolbox::kernel_name_to_os(found));
}

void receiver_htmlref(receiver *x, symbol *name)
{
    if (must_defer())
        defer_low(x, as_receiver_method(&do_htmlref), name, 0, nullptr);
    else
        do_htmlref(x, name, 0, nullptr);
}

}  // namespace

void receiver_add_files(kel_class *c)
{
    class_addmethod(c, as_receiver_method(&receiver_pathtest), "pathtest", ATYPE_SYM, ATYPE_DEFLONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_sendapppath), "sendapppath", ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_setsearchpath), "setsearchpath", ATYPE_LONG, ATYPE_DEFSYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_sethelppath), "sethelppath", ATYPE_DEFSYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_setactionpath), "setactionpath", ATYPE_DEFSYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_enablepathcache), "enablepathcache", ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_dumpxpcolls), "dumpxpcolls", ATYPE_DEFLONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_paths), "paths", 0);
    class_addmethod(c, as_receiver_method(&receiver_objectfile), "objectfile", ATYPE_SYM, ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_fileformat), "fileformat", ATYPE_GIMME, 0);
    class_addmethod(c, as_receiver_method(&receiver_definesniffer), "definesniffer", ATYPE_GIMME, 0);
    class_addmethod(c, as_receiver_method(&receiver_formats), "formats", 0);
    class_addmethod(c, as_receiver_method(&receiver_openfile), "openfile", ATYPE_SYM, ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_closefile), "closefile", ATYPE_SYM, 0);
    for (const char *name : {"launchbrowser", "launch_browser"})
        class_addmethod(c, as_receiver_method(&receiver_launchbrowser), name, ATYPE_SYM, 0);
    for (const char *name : {"htmlref", "html_ref"})
        class_addmethod(c, as_receiver_method(&receiver_htmlref), name, ATYPE_SYM, 0);
}

}  // namespace kel::app
