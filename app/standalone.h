// Standalone programs: a copy (or hard link) of kel named NAME with a
// collective NAME.klf beside it runs that collective as its program.
#pragma once

#include <string>

namespace kel::app {

// The operating-system name of the collective named like the running
// program in its folder, or empty when there is none (a plain kel).
std::string standalone_collective_name();

}  // namespace kel::app
