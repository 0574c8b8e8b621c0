#include <climits>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "app/shell.h"
#include "kel/kel.h"
#include "kernel/core/console.h"
#include "kernel/patcher/loadbang.h"
#include "kernel/patcher/patcher.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

// A command-line file name as the kernel names files: one pair of
// surrounding double quotes taken off, made full against the working
// folder, in Mac Roman.
std::string kernel_name(std::string name)
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    if (!name.empty() && name.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) name = std::string(cwd) + "/" + name;
    }
    return toolbox::utf8_to_macroman(name);
}

// The operating system's name of a command-line file name (quotes off).
std::string system_name(std::string name)
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    return name;
}

// The loader keeps what a file that ends inside a patcher built, after the
// error below. For the command-line document that is a file cut short: it
// is not run, and not converted, as if it had not loaded. The loader answers
// only with the patcher, so the error it posted for this very file is looked
// for among the console lines the load added.
bool load_cut_short(const char *file, long lines_before)
{
    const std::string report = std::string("\xA5 error: ") + file + ": file ends inside a patcher";
    long lines_after = console_line_count();
    // The store drops its oldest lines when it is full: then every line is
    // looked at.
    for (long k = lines_after >= lines_before ? lines_before : 0; k < lines_after; k++)
        if (console_line(k) == report) return true;
    return false;
}

// Saves p to out in text or binary form. The new contents go to a file
// beside out that then takes its place, so that a save that fails leaves an
// old out as it was. out's folder must exist.
bool save_document(patcher *p, const std::string &out, bool binary)
{
    std::string target = system_name(out);
    size_t slash = target.rfind('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) {
        error("%s: error parsing path", out.c_str());
        return false;
    }
    std::string temporary = target.substr(0, target.size() - base.size()) + "." + base + ".kel-" +
                            std::to_string(static_cast<long>(getpid()));
    std::string name = kernel_name(temporary);
    size_t kernel_slash = name.rfind('/');
    std::string folder = kernel_slash ? name.substr(0, kernel_slash) : "/";
    std::string file = name.substr(kernel_slash + 1);
    short path = 0;
    char ignored[PATH_MAX];
    if (path_frompathname(folder.c_str(), &path, ignored) != 0) {
        error("%s: error parsing path", out.c_str());
        return false;
    }
    bool saved = patcher_write(p, file.c_str(), path, binary ? 1 : 0) == 0;
    struct stat old {};
    if (saved && stat(target.c_str(), &old) == 0) chmod(temporary.c_str(), old.st_mode & 07777);
    if (saved && std::rename(temporary.c_str(), target.c_str()) != 0) saved = false;
    if (!saved) {
        unlink(temporary.c_str());
        error("%s: could not be written", out.c_str());
    }
    return saved;
}

}  // namespace

patcher *load_document(const run_options &options)
{
    std::string name = kernel_name(options.file);
    short path = 0;
    char file[PATH_MAX];
    if (path_frompathname(name.c_str(), &path, file) != 0) {
        error("%s: error opening file", options.file.c_str());
        return nullptr;
    }
    long lines_before = console_line_count();
    loadbang_suspend();
    auto *p = static_cast<patcher *>(fileload(file, path));
    if (p && load_cut_short(file, lines_before)) {
        freeobject(&p->header);
        p = nullptr;
    }
    // A document that is not run gets no loadbang: its queue, and that of
    // anything a failed load left, is dropped. Resuming delivers the rest.
    if (!p || options.converting()) loadbang_clearqueue();
    loadbang_resume();
    if (!p) error("%s: error opening file", options.file.c_str());
    return p;
}

bool convert_document(const run_options &options)
{
    patcher *p = load_document(options);
    if (!p) return false;
    bool saved = true;
    if (!options.save.empty()) saved = save_document(p, options.save, false);
    if (!options.save_binary.empty()) saved = save_document(p, options.save_binary, true) && saved;
    return saved;
}

}  // namespace kel::app
