#include <climits>
#include <string>

#include "app/render.h"
#include "app/shell.h"
#include "kel/collective.h"
#include "kel/kel.h"
#include "kernel/files/path.h"
#include "kernel/patcher/loadbang.h"
#include "kernel/patcher/patcher.h"
#include "objects/opened.h"

namespace kel::app {
namespace {

// A command-line file name as the kernel names files: one pair of
// surrounding double quotes taken off, then as path_kernel_name_of.
std::string kernel_name(std::string name)
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    return path_kernel_name_of(name);
}

// Saves p to out in text or binary form. The file need not exist: its
// folder must. The kernel writes a new file beside out and renames it over
// out, so a save that fails leaves an old out as it was.
bool save_document(patcher *p, const std::string &out, bool binary)
{
    // The whole name goes to the path layer, which answers the folder (that
    // must exist) and the file's name in it (empty when out is a folder).
    std::string name = kernel_name(out);
    short path = 0;
    char file[PATH_MAX] = "";
    if (path_frompathname(name.c_str(), &path, file) != 0 || !file[0]) {
        error("%s: could not be written: no such folder, or a folder", out.c_str());
        return false;
    }
    if (patcher_write(p, file, path, binary ? 1 : 0) == 0) return true;
    error("%s: could not be written", out.c_str());
    return false;
}

// The document's file: its name in its folder. False after a console error.
bool document_file(const std::string &document, short *path, char *file)
{
    const std::string name = kernel_name(document);
    if (name.empty() || name.size() >= PATH_MAX) {
        error("%s: error parsing path", document.c_str());
        return false;
    }
    if (path_frompathname(name.c_str(), path, file) == 0) return true;
    error("%s: error opening file", document.c_str());
    return false;
}

bool is_collective(const char *file, short path)
{
    fileinfo info;
    return path_fileinfo(file, path, &info) == 0 && info.type == FILETYPE_COLLECTIVE;
}

// A document of a type the application does not open itself goes to the
// patch's `opened` objects; true when one of them took it.
bool offered_to_patch(const char *file, short path)
{
    fileinfo info;
    if (path_fileinfo(file, path, &info) != 0) return false;  // the load reports it
    const long t = info.type;
    if (t == FILETYPE_EXTERNAL || t == FILETYPE_PATCHER || t == FILETYPE_TEXT || t == FILETYPE_COLLECTIVE) return false;
    return opened_offer(file, path, t);
}

// Loads the patcher file document; with run false, nothing of it runs.
patcher *load_patcher_document(const std::string &document, bool run)
{
    short path = 0;
    char file[PATH_MAX];
    if (!document_file(document, &path, file)) return nullptr;
    if (!run && is_collective(file, path)) {
        error("%s: a collective is run, not converted", document.c_str());
        return nullptr;
    }
    loadbang_suspend();
    auto *p = static_cast<patcher *>(fileload(file, path));
    // The loader keeps what a file that ends inside a patcher built (after
    // its error). For the command-line document that is a file cut short:
    // it is not run, and not converted, as if it had not loaded.
    if (p && p->cut_short) {
        freeobject(&p->header);
        p = nullptr;
    }
    // A document that is not run gets no loadbang: its queue, and that of
    // anything a failed load left, is dropped. Resuming delivers the rest.
    if (!p || !run) loadbang_clearqueue();
    loadbang_resume();
    if (!p) error("%s: error opening file", document.c_str());
    return p;
}

}  // namespace

patcher *load_document(const run_options &options)
{
    return load_patcher_document(options.file, !options.converting());
}

bool open_document(const run_options &options) { return open_document_named(options.file); }

bool open_document_named(const std::string &document)
{
    short path = 0;
    char file[PATH_MAX];
    if (!document_file(document, &path, file)) return false;
    if (offered_to_patch(file, path)) return true;
    if (!is_collective(file, path)) return load_patcher_document(document, true) != nullptr;
    // The program's reference keeps it open, and its files found, while the
    // patchers it started run; shutdown frees it.
    xpcoll *collective = xpcoll_open(file, path, FILETYPE_COLLECTIVE, 0, 0, 0);
    if (!collective) return false;
    loadbang_suspend();
    xpcoll_load(collective, 0, 0);
    loadbang_resume();
    return true;
}

bool convert_document(const run_options &options)
{
    patcher *p = load_document(options);
    if (!p) return false;
    bool saved = true;
    if (!options.save.empty()) saved = save_document(p, options.save, false);
    if (!options.save_binary.empty()) saved = save_document(p, options.save_binary, true) && saved;
    if (options.rendering()) saved = render_document(p, options) && saved;
    return saved;
}

}  // namespace kel::app
