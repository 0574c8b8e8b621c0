// The command line of the kel program.
#pragma once

#include <string>
#include <vector>

namespace kel::app {

struct run_options {
    std::string file;                // the command-line document, or empty
    bool batch = false;              // quit when nothing is left to do
    bool virtual_time = false;       // logical time jumps to the next due clock
    double duration = -1;            // quit after this many ms of scheduler time; < 0: no limit
    std::vector<std::string> paths;  // folders added to the search path with their trees
    std::vector<std::string> sends;  // "NAME MESSAGE...", sent in order after the document's loadbang
    std::string prefs;               // the preferences folder
    bool verbose = false;
    std::string midi;            // --midi: the MIDI drivers to install (comma-separated), "none", or empty: all
    std::string save;            // convert: save the document's top-level patcher here, text form
    std::string save_binary;     // ... binary form
    std::string render;          // draw the document's top-level patcher here (SVG)
    std::string render_dir;      // draw it and each of its subpatchers into this folder, one file each
    bool render_hidden = false;  // ... hidden boxes and cords included

    bool rendering() const { return !render.empty() || !render_dir.empty(); }
    bool converting() const { return !save.empty() || !save_binary.empty() || rendering(); }
};

// The exit statuses of kel.
inline constexpr int exit_ok = 0;       // quit, --duration, or the end of a batch run
inline constexpr int exit_failure = 1;  // the document or a --path folder missing, a failed save or start-up
inline constexpr int exit_usage = 2;    // a mistake on the command line
// An orderly shutdown on a signal ends with 128 + the signal's number.

// Parses the command line into out. Returns -1 when kel should run;
// otherwise the exit status, after printing what was asked for (--help,
// --version: standard output, 0) or the usage error (standard error, 2).
int parse_options(int argc, const char *const *argv, run_options &out);

// The default preferences folder: $XDG_CONFIG_HOME/kel (an absolute name
// only), else ~/.config/kel; empty when there is no home folder (the kernel
// then has no preferences folder and uses its built-in defaults).
std::string default_prefs_folder();

}  // namespace kel::app
