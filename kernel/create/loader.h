// External object libraries: loading a library found on the search path,
// running its main inside a class under construction, and unloading them all
// at quit.
#pragma once

#include <string>
#include <vector>

#include "kel/base.h"

namespace kel {

// Loads the library filename in folder path, found for the typed name, and
// runs its main. True when main ran (the class it defined is registered);
// failures are reported with their console texts.
bool loader_load_external(symbol *typed, symbol *filename, short path);

// An external class loaded from a library, in the order loaded: the full
// name of the folder of its library, or, for a library taken from a
// collective, no folder and the flag.
struct loaded_external {
    std::string class_name;
    std::string folder;
    bool from_collective = false;
};
const std::vector<loaded_external> &loader_externals();

// Releases every loaded library, newest first.
void loader_unload_all();

}  // namespace kel
