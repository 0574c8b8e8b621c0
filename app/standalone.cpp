#include "app/standalone.h"

#include <climits>

#include "kel/collective.h"
#include "kel/kel.h"
#include "kernel/files/path.h"
#include "kernel/patcher/loadbang.h"
#include "platform/files.h"

namespace kel::app {

std::string standalone_collective_name()
{
    std::string program;
    if (platform::canonical_path("/proc/self/exe", &program) != 0) return {};
    const std::string collective = program + ".klf";
    platform::file_status status;
    if (platform::file_stat(collective, &status) != 0 || status.kind != platform::entry_kind::file) return {};
    return collective;
}

bool standalone_open(const std::string &os_name)
{
    short path = 0;
    char file[PATH_MAX] = "";
    const std::string name = path_kernel_name_of(os_name);
    if (path_frompathname(name.c_str(), &path, file) != 0 || !file[0]) {
        error("%s: error opening file", name.c_str());
        return false;
    }
    xpcoll *collective = xpcoll_open(file, path, FILETYPE_COLLECTIVE, 0, 0, 0);
    if (!collective) return false;
    loadbang_suspend();
    xpcoll_load(collective, 0, 0);
    loadbang_resume();
    return true;
}

}  // namespace kel::app
