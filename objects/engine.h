// The engine's start: the kernel, then the built-in object families. What
// runs patches (the program, the tests, the fuzz targets, the benchmarks)
// starts here; kernel_init alone brings up a kernel that knows no objects.
#pragma once

namespace kel {

// Brings up the kernel, then every built-in object family. Safe to call more
// than once; false when a step fails.
bool engine_init();

}  // namespace kel
