// External object libraries: loading a library found on the search path,
// running its main inside a class under construction, and unloading them all
// at quit.
#pragma once

#include "kel/base.h"

namespace kel {

// Loads the library filename in folder path, found for the typed name, and
// runs its main. True when main ran (the class it defined is registered);
// failures are reported with their console texts.
bool loader_load_external(symbol *typed, symbol *filename, short path);

// Releases every loaded library, newest first.
void loader_unload_all();

}  // namespace kel
