#include "objects/engine.h"

#include "kernel/create/loader.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "kernel/patcher/kernel_init.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/quittasks.h"
#include "kernel/time/scheduler.h"
#include "objects/objects.h"

namespace kel {

bool engine_init() { return kernel_init() && objects_init(); }

void engine_shutdown(void (*after_scheduler)())
{
    sched_shutdown();
    if (after_scheduler) after_scheduler();
    patcher_free_all();
    path_shutdown();
    quittasks_run();
    loader_unload_all();
    // Libraries extracted from collectives are removed once nothing runs them.
    collective_shutdown();
}

}  // namespace kel
