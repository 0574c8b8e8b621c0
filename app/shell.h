// Start-up, the run, and the orderly shutdown of the kel program.
#pragma once

#include <string>

#include "app/options.h"

struct patcher;

namespace kel::app {

// Runs kel with the options until it quits; returns the exit status.
int run(const run_options &options);

// Loads the command-line document (main thread) with its loadbang delivered,
// unless the options convert it. Null, after a console error, when the file
// cannot be found, read or loaded whole.
patcher *load_document(const run_options &options);
// Opens the command-line document to run it: a patcher file as
// load_document does, or a collective (known by its contents), which is
// opened and loaded and stays open until shutdown. False after a console
// error.
bool open_document(const run_options &options);
// The same for any document named as on the command line (a document
// another launch handed over). Main thread.
bool open_document_named(const std::string &document);

// Loads the command-line document without running it and saves it as the
// options say. False, after a console error, when it cannot be loaded or a
// save cannot be written.
bool convert_document(const run_options &options);

}  // namespace kel::app
