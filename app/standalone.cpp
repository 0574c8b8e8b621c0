#include "app/standalone.h"

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

}  // namespace kel::app
