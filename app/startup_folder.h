// The start-up folder "init": patchers and external libraries loaded as
// the program starts, before the options files and again after them.
#pragma once

namespace kel::app {

// Loads every file of the first folder named "init" among the search
// path's folders that this run has not loaded yet: patchers ("kelb",
// "TEXT") with their loadbang, external libraries ("iLaX", "iLaF", "????");
// files of other types are told about with --verbose and skipped. A file
// is taken once per run, however often this runs.
void startup_folder_run();

}  // namespace kel::app
