// Standalone programs: a copy (or hard link) of kel named NAME with a
// collective NAME.klf beside it runs that collective as its program.
#pragma once

#include <string>

namespace kel::app {

// The operating-system name of the collective named like the running
// program in its folder, or empty when there is none (a plain kel).
std::string standalone_collective_name();

// Opens the collective without loading it, then loads its start-up
// patchers (their loadbang delivered). The program holds it open until
// shutdown. False after a console error.
bool standalone_open(const std::string &os_name);

}  // namespace kel::app
