#include "objects/engine.h"

#include "kernel/patcher/kernel_init.h"
#include "objects/objects.h"

namespace kel {

bool engine_init() { return kernel_init() && objects_init(); }

}  // namespace kel
