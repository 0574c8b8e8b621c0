#include "app/options.h"

#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>

#ifndef KEL_VERSION
#define KEL_VERSION "0"
#endif

namespace kel::app {

std::string default_prefs_folder()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config) return std::string(config) + "/kel";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/kel";
}

int parse_options(int argc, const char *const *argv, run_options &out)
{
    CLI::App cli{"kel: runs a patcher.", "kel"};
    cli.set_help_flag("--help", "print this help and exit");
    cli.set_version_flag("--version", "kel " KEL_VERSION, "print the version and exit");
    cli.add_option("FILE", out.file, "a patcher file (text or binary), opened after start-up");
    cli.add_flag("--batch", out.batch,
                 "headless run: quit when no clock is pending and the queue is empty, on the message quit to kel, "
                 "or when --duration has passed");
    cli.add_flag("--virtual-time", out.virtual_time,
                 "logical time jumps to the next due clock (no real waiting; deterministic)");
    cli.add_option("--duration", out.duration, "quit after MS milliseconds of scheduler time")
        ->type_name("MS")
        ->check(CLI::NonNegativeNumber);
    cli.add_option("--path", out.paths, "add DIR and its sub-folders to the search path (repeatable)")
        ->type_name("DIR")
        ->allow_extra_args(false);
    cli.add_option("--prefs", out.prefs, "the preferences folder (default: $XDG_CONFIG_HOME/kel, else ~/.config/kel)")
        ->type_name("DIR");
    cli.add_flag("--verbose", out.verbose, "the verbose setting on from start-up");
    auto *save =
        cli.add_option("--save", out.save, "as soon as FILE has loaded, save its top-level patcher to OUT in text form")
            ->type_name("OUT");
    auto *save_binary = cli.add_option("--save-binary", out.save_binary, "the same in binary form")->type_name("OUT");
    save->excludes(save_binary);
    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(cli.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion &) {
        std::puts("kel " KEL_VERSION);
        return 0;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "kel: %s\nRun with --help for the options.\n", e.what());
        return 2;
    }
    if ((!out.save.empty() || !out.save_binary.empty()) && out.file.empty()) {
        std::fprintf(stderr, "kel: --save and --save-binary need a FILE\nRun with --help for the options.\n");
        return 2;
    }
    if (out.prefs.empty()) out.prefs = default_prefs_folder();
    return -1;
}

}  // namespace kel::app
