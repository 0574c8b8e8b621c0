#include "kernel/core/locks.h"

namespace kel {

std::recursive_mutex &global_lock()
{
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace kel
