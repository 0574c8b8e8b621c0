// The engine's start: the kernel, then the built-in object families. What
// runs patches (the program, the tests, the fuzz targets, the benchmarks)
// starts here; kernel_init alone brings up a kernel that knows no objects.
#pragma once

namespace kel {

// Brings up the kernel, then every built-in object family. Safe to call more
// than once; false when a step fails.
bool engine_init();

// Stops what engine_init and a run started, in order: the timers (then
// after_scheduler, when given), every patcher, the temporary copies of
// files, the quit tasks, the externals, the temporary folder.
void engine_shutdown(void (*after_scheduler)() = nullptr);

}  // namespace kel
