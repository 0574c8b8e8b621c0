// Start-up, the run, and the orderly shutdown of the kel program.
#pragma once

#include "app/options.h"

namespace kel::app {

// Runs kel with the options until it quits; returns the exit status.
int run(const run_options &options);

// Opens the command-line document (on the main thread, from the queue) and,
// when asked, saves its top-level patcher before its loadbang.
void open_document(const run_options &options);

}  // namespace kel::app
