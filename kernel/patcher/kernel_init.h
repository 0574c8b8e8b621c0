// Kernel start-up: every layer of the kernel, bottom up. The built-in
// objects come one step above (engine_init).
#pragma once

namespace kel {

// Brings up the kernel in order: the symbol table, the shared random
// generator, the container classes and the class namespaces, the wires and
// message buffers, the registry and attributes, the creation object, the
// patcher, loadbang and the scheduler (which runs the console's redraws).
// Safe to call more than once; false when a step fails (memory ran out).
bool kernel_init();

}  // namespace kel
