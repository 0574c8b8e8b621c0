// Object-system start-up.
#pragma once

namespace kel {

// Brings up the kernel in order: the symbol table, the shared random
// generator, the class namespaces and the container classes. Safe to call
// more than once; false when the class namespaces cannot be made.
bool kernel_init();

}  // namespace kel
