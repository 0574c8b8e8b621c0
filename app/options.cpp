#include "app/options.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "platform/files.h"

#ifndef KEL_VERSION
#define KEL_VERSION "0"
#endif

namespace kel::app {
namespace {

const char *const help_footer = R"(Standard input (without --batch): each line is a message, a receiver's name
and then the message, as a line of a message file:
  kel quit           quit
  kel resume         restart the scheduler after a runaway message loop stopped it
  counter-in 5       the int 5 to the object bound to counter-in (e.g. r counter-in)
On a terminal Ctrl-D quits; at the end of piped input kel runs on until quit,
--duration or a signal.

Examples:
  kel patch.pat                          run until quit or Ctrl-C
  kel -b --virtual-time patch.pat        run to the end at once, deterministically
  kel -b -s 'counter-in 5' patch.pat     send a message once the loadbang has run
  kel -d 5000 -p ~/patches patch.pat     run for five seconds with more abstractions
  kel --save patch.txt.pat patch.pat     convert to the text form without running
  kel --render patch.svg patch.pat       draw the patch as a picture without running it

Exit status:
  0    quit, --duration passed, or a batch run ended
  1    FILE cannot be found, read or loaded; a --path folder is missing;
       --save or --render cannot write OUT (an old OUT is kept); start-up failed;
       a batch run stopped because clocks kept time from moving on
  2    a mistake on the command line
  128+N  an orderly shutdown on signal N (SIGINT 130, SIGTERM 143, SIGHUP 129)
)";

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "kel: %s\nRun 'kel --help' for the options.\n", what.c_str());
    return exit_usage;
}

// A number of milliseconds from the command line: a finite decimal (or
// exponent) number from 0 up. Out of range values are named with the range,
// as a reader writes it.
bool parse_milliseconds(const std::string &text, double &out, std::string &problem)
{
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(begin, &end);
    if (end == begin || *end != '\0' || std::isnan(value)) {
        problem = "'" + text + "' is not a number of milliseconds";
        return false;
    }
    if (errno == ERANGE || std::isinf(value) || value < 0) {
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g", DBL_MAX);
        // An underflow toward zero is taken as zero, not refused.
        if (errno == ERANGE && std::fabs(value) <= DBL_MIN) {
            out = 0;
            return true;
        }
        problem = text + " is out of range (0 to " + bound + ")";
        return false;
    }
    out = value;
    return true;
}

}  // namespace

std::string default_prefs_folder()
{
    const std::string config = platform::user_config_folder();
    return config.empty() ? std::string() : platform::join(config, "kel");
}

int parse_options(int argc, const char *const *argv, run_options &out)
{
    CLI::App cli{"kel: runs a patcher.", "kel"};
    cli.set_help_flag("-h,--help", "print this help and exit");
    cli.set_version_flag("-V,--version", "kel " KEL_VERSION, "print the version and exit");
    cli.footer(help_footer);
    std::string duration;
    cli.add_option("FILE", out.file, "a patcher file (text or binary), opened after start-up");
    cli.add_flag("-b,--batch", out.batch,
                 "headless run: quit when no clock is pending and the queue is empty, on the message quit to kel, "
                 "or when --duration has passed");
    cli.add_flag("--virtual-time", out.virtual_time,
                 "logical time jumps to the next due clock (no real waiting; deterministic)");
    cli.add_option("-d,--duration", duration, "quit after MS milliseconds of scheduler time")->type_name("MS");
    cli.add_option("-p,--path", out.paths, "add DIR and its sub-folders to the search path (repeatable)")
        ->type_name("DIR")
        ->allow_extra_args(false);
    cli.add_option("-s,--send", out.sends,
                   "after FILE has loaded and its loadbang ran, send MESSAGE to the object bound to NAME, as a typed "
                   "input line would (repeatable, in order)")
        ->type_name("'NAME MESSAGE...'")
        ->allow_extra_args(false);
    cli.add_option("--prefs", out.prefs, "the preferences folder (default: $XDG_CONFIG_HOME/kel, else ~/.config/kel)")
        ->type_name("DIR");
    cli.add_option("--midi", out.midi, "install only these MIDI drivers (comma-separated, e.g. alsa,loopback), or none")
        ->type_name("NAMES");
    cli.add_flag("--verbose", out.verbose, "the verbose setting on from start-up");
    auto *save = cli.add_option("--save", out.save,
                                "convert: load FILE without running it (no loadbang, no clocks), save its top-level "
                                "patcher to OUT in text form, and exit")
                     ->type_name("OUT");
    auto *save_binary = cli.add_option("--save-binary", out.save_binary, "the same in binary form")->type_name("OUT");
    save->excludes(save_binary);
    cli.add_option("--render", out.render,
                   "draw: load FILE without running it, draw its top-level patcher to OUT as an SVG picture, and "
                   "exit")
        ->type_name("OUT");
    cli.add_option("--render-dir", out.render_dir,
                   "draw the patcher and each of its subpatchers into DIR, one SVG file each, linked from their "
                   "boxes (with --render, the top-level picture goes to OUT)")
        ->type_name("DIR");
    cli.add_flag("--render-hidden", out.render_hidden, "draw hidden boxes and cords too");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(cli.help().c_str(), stdout);
        return exit_ok;
    } catch (const CLI::CallForVersion &) {
        std::puts("kel " KEL_VERSION);
        return exit_ok;
    } catch (const CLI::ParseError &e) {
        return usage_error(e.what());
    }
    if (!duration.empty() || cli.count("--duration")) {
        std::string problem;
        if (!parse_milliseconds(duration, out.duration, problem)) return usage_error("--duration: " + problem);
    }
    for (const std::string &send : out.sends)
        if (send.find_first_not_of(" \t") == std::string::npos)
            return usage_error("--send: '" + send + "' names no receiver");
    if (out.rendering() && out.file.empty()) return usage_error("--render and --render-dir need a FILE");
    if (out.converting() && out.file.empty()) return usage_error("--save and --save-binary need a FILE");
    if (out.render_hidden && !out.rendering()) return usage_error("--render-hidden needs --render or --render-dir");
    if (out.prefs.empty()) out.prefs = default_prefs_folder();
    return -1;
}

}  // namespace kel::app
