#include <climits>
#include <string>

#include <unistd.h>

#include "app/shell.h"
#include "kel/kel.h"
#include "kernel/patcher/patcher.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

// A command-line file name as the kernel names files: one pair of
// surrounding double quotes taken off, made full against the working
// folder, in the kernel's form of file names (platform/macroman.h).
std::string kernel_name(std::string name)
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    if (!name.empty() && name.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) name = std::string(cwd) + "/" + name;
    }
    return toolbox::os_name_to_kernel(name);
}

// Saves the document's top-level patcher to out in text or binary form. The
// file need not exist: its folder must.
void save_document(patcher *p, const std::string &out, bool binary)
{
    std::string name = kernel_name(out);
    size_t slash = name.rfind('/');
    std::string folder = slash ? name.substr(0, slash) : "/";
    std::string file = name.substr(slash + 1);
    short path = 0;
    char ignored[PATH_MAX];
    if (file.empty() || path_frompathname(folder.c_str(), &path, ignored) != 0) {
        error("%s: error parsing path", out.c_str());
        return;
    }
    patcher_write(p, file.c_str(), path, binary ? 1 : 0);
}

}  // namespace

void open_document(const run_options &options)
{
    std::string name = kernel_name(options.file);
    short path = 0;
    char file[PATH_MAX];
    if (path_frompathname(name.c_str(), &path, file) != 0) {
        error("%s: error opening file", options.file.c_str());
        return;
    }
    bool saving = !options.save.empty() || !options.save_binary.empty();
    // A save happens as soon as the file has loaded, before its loadbang.
    if (saving) loadbang_suspend();
    auto *p = static_cast<patcher *>(fileload(file, path));
    if (p && !options.save.empty()) save_document(p, options.save, false);
    if (p && !options.save_binary.empty()) save_document(p, options.save_binary, true);
    if (saving) loadbang_resume();
    if (!p) error("%s: error opening file", options.file.c_str());
}

}  // namespace kel::app
