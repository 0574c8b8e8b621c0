#include "app/shell.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/console_out.h"
#include "app/crash_report.h"
#include "app/dialog_folders.h"
#include "app/input.h"
#include "app/receiver.h"
#include "app/settings.h"
#include "app/single_instance.h"
#include "app/standalone.h"
#include "app/startup_folder.h"
#include "kel/kel.h"
#include "kernel/core/guarded.h"
#include "kernel/core/settings.h"
#include "kernel/create/loader.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "kernel/files/preferences.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/quittasks.h"
#include "kernel/time/scheduler.h"
#include "midi/midi_manager.h"
#include "objects/engine.h"
#include "platform/files.h"

namespace kel::app {
namespace {

constexpr const char *application_name_text = "Kel";

const run_options *g_options = nullptr;
bool g_standalone = false;
std::string g_temporary_resource;  // the temporary resource file's name, while it exists
kel_clock *g_duration_clock = nullptr;
bool g_duration_pending = false;
int g_status = exit_ok;        // main thread
std::atomic<int> g_signal{0};  // the signal that asked for the quit, if one did

// How long an orderly quit may take, from the signal that asked for it to
// the end of the process.
constexpr int quit_grace_seconds = 2;

const char *signal_name(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

// Ends the process at once with 128 + signal after one line on standard
// error. Only calls that are safe whatever the other threads hold.
[[noreturn]] void exit_unserved(int signal)
{
    char line[128];
    int n = std::snprintf(line, sizeof line, "kel: %s: the engine did not stop within %d s; exiting\n",
                          signal_name(signal), quit_grace_seconds);
    if (n > 0) {
        ssize_t written = write(STDERR_FILENO, line, std::min<size_t>(n, sizeof line - 1));
        (void)written;
    }
    _exit(128 + signal);
}

// SIGINT, SIGTERM and SIGHUP are taken by one thread that waits for them:
// the first asks for an orderly quit, after which kel exits with 128 + its
// number; a second one ends the process at once. An orderly quit is served
// by the main thread, which may be stuck (an external's endless loop): when
// the process has not ended quit_grace_seconds after the first signal, it
// ends at once, as service managers and timeout(1) expect of a process they
// signalled.
void handle_signals(sigset_t signals)
{
    int first = 0;
    if (sigwait(&signals, &first) != 0) return;
    g_signal.store(first);
    sched_request_quit();
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += quit_grace_seconds;
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_sec--;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0) exit_unserved(first);
        int second = sigtimedwait(&signals, nullptr, &left);
        if (second > 0) _exit(128 + second);
        if (errno == EAGAIN) exit_unserved(first);
        // EINTR: another signal's handler ran; wait out the rest.
    }
}

// A signal that kel was started with ignored stays ignored (nohup's SIGHUP,
// a shell's SIGINT for background jobs): whoever started kel asked for that.
void start_signal_thread()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&signals, signal);
    }
    // Blocked before any other thread starts, so every thread inherits it.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(&handle_signals, signals).detach();
}

void duration_passed(void *)
{
    g_duration_pending = false;
    sched_request_quit();
}

// A batch run ends when nothing can happen any more: the queue is empty and
// no clock but the duration's own is pending (or the scheduler is stopped).
// A scheduler stopped because logical time stood still ends it as failed:
// the patch could never have finished.
void batch_idle()
{
    if (!queue_is_empty()) return;
    if (midi_pending()) return;  // MIDI packets still queued
    long pending = sched_pending_clocks() - (g_duration_pending ? 1 : 0);
    if (pending > 0 && !sched_state().stopped.load()) return;
    if (sched_state().stalled.load()) g_status = exit_failure;
    sched_request_quit();
}

// At the first turn of the main loop: the command-line document is loaded
// and its loadbang delivered, then the --send lines are evaluated in order.
// A document that cannot be loaded ends the run.
void open_command_line_document(void *, symbol *, long, atom *)
{
    guarded("kel", [] {
        if (!g_options->file.empty() && !open_document(*g_options)) {
            g_status = exit_failure;
            sched_request_quit();
            return;
        }
        for (const std::string &line : g_options->sends) input_evaluate(line);
    });
}

// A --path folder that does not exist is a mistake kel stops on, before
// anything starts.
bool path_folders_exist(const run_options &o)
{
    bool all = true;
    for (const std::string &folder : o.paths) {
        struct stat info {};
        if (stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        error("%s: no such folder", folder.c_str());
        all = false;
    }
    return all;
}

// The search path the program starts with (docs/paths.md): the folder of
// the command-line document and the working folder, then --path, KEL_PATH,
// the per-user and the library folders.
void start_search_path(const run_options &o)
{
    search_folders folders;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) folders.working = cwd;
    if (!o.file.empty()) {
        // Named as the document is opened: one pair of surrounding quotes
        // off, relative to the working folder.
        std::string file = o.file;
        if (file.size() >= 2 && file.front() == '"' && file.back() == '"') file = file.substr(1, file.size() - 2);
        const size_t slash = file.rfind('/');
        folders.document = slash == std::string::npos ? folders.working : slash == 0 ? "/" : file.substr(0, slash);
    }
    folders.named = o.paths;
    search_folders_from_environment(&folders);
    path_search_start(folders);
}

// A start-up status: shown only with --verbose, and never by a standalone
// program (whose console is its own).
void status(const char *text)
{
    if (g_verbose.load() && !g_standalone) post("%s", text);
}

// Replays a file of the preferences folder (or the built-in defaults of
// that number when it is missing); the default path stays as it was.
void replay_preferences(const char *name, short defaults)
{
    const short before = path_getdefault();
    preferences_read(name, 0, defaults);
    path_setdefault(before, 0);
}

void bind_well_known_symbols()
{
    static symbol *const application_name = gensym(application_name_text);
    gensym("__#appname#__")->thing = reinterpret_cast<object *>(application_name);
    // No file dialogs headless: the filter slot is bound, with nothing to filter.
    gensym("Psst! Want a Filter Proc?")->thing = nullptr;
    gensym("__proxy_getinlet__")->thing = reinterpret_cast<object *>(&proxy_getinlet);
}

// "Kel Temp N": the kernel's temporary resource file, in the program's own
// temporary folder (so no other run competes for its number).
void make_temporary_resource_file()
{
    const std::string folder = collective_temporary_folder();
    if (folder.empty()) return;
    for (int n = 1; n < 1000; n++) {
        const std::string name =
            platform::join(folder, std::string(application_name_text) + " Temp " + std::to_string(n));
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd >= 0) {
            close(fd);
            g_temporary_resource = name;
        }
        return;
    }
}

// Brings everything up in order; false, after a console error naming the
// step that failed, when the program cannot run.
bool start_up(const run_options &o)
{
    g_verbose.store(o.verbose);
    auto failed = [](const char *step) {
        error("kel: start-up failed: %s", step);
        return false;
    };
    const std::string standalone_collective = standalone_collective_name();
    g_standalone = !standalone_collective.empty();
    status("Initializing Kernel");
    if (!engine_init()) return failed("the engine could not be brought up");
    if (!receiver_init()) return failed("the kel receiver could not be made");
    bind_well_known_symbols();
    status("Reading Preferences");
    status("Initializing Interface");
    path_setup setup;
    setup.standalone = g_standalone;
    if (!path_init(setup)) return failed("the search path could not be built");
    if (g_standalone) path_set_standalone(true, true);
    preferences_set_folder(o.prefs);
    start_search_path(o);
    make_temporary_resource_file();
    dialog_folders_start();
    replay_preferences("kelboxcolors.txt", 0);
    // A conversion runs nothing: no start-up folder, no timer, no clock, no
    // input, no standalone program.
    const bool runs = !o.converting();
    if (runs) {
        startup_folder_run();
        if (o.virtual_time)
            sched_set_virtual_time(true);
        else
            sched_start_timer();
    }
    // The options files: keloptions.txt, then (unless standalone)
    // runoptions.txt; a missing one gives the built-in defaults.
    replay_preferences("keloptions.txt", 333);
    if (g_standalone)
        settings().options["kelwindowvisible"] = 0;
    else
        replay_preferences("runoptions.txt", 334);
    if (!runs) return true;
    // After the options files, so that setoption nomidisetup 1 can skip it.
    status("Initializing MIDI");
    midi_start(midi_options_from(o.midi, settings().options["nomidisetup"] != 0));
    startup_folder_run();
    if (g_standalone) {
        status("Initializing Kernel");
        // Opened as a collective named on the command line is: its start-up
        // patchers run, and it stays open until shutdown.
        if (!open_document_named(standalone_collective)) return failed("the program's collective could not be opened");
    }
    if (o.duration >= 0) {
        g_duration_clock = clock_new(nullptr, reinterpret_cast<kel_method>(&duration_passed));
        if (!g_duration_clock) return failed("the duration clock could not be made");
        clock_fdelay(g_duration_clock, o.duration);
        g_duration_pending = true;
    }
    if (o.batch) main_loop_set_idle_hook(&batch_idle);
    if (!o.virtual_time) event_timer_start();
    if (!o.file.empty() || !o.sends.empty())
        defer_low(nullptr, reinterpret_cast<kel_method>(&open_command_line_document), nullptr, 0, nullptr);
    if (!o.batch) input_start();
    return true;
}

// Once the scheduler has stopped: the MIDI drivers told to stop, and the
// temporary resource file deleted.
void after_scheduler_stopped()
{
    midi_stop();
    if (!g_temporary_resource.empty()) unlink(g_temporary_resource.c_str());
    g_temporary_resource.clear();
}

// The shutdown order: the remembered dialog folders written, then the
// engine stopped (scheduler, MIDI drivers, the temporary resource file, temporary copies,
// quit tasks newest first, externals newest first, the temporary folder).
void shut_down()
{
    input_stop();
    single_instance_stop();
    guarded("kel", [] { dialog_folders_finish(); });
    engine_shutdown(&after_scheduler_stopped);
    console_out_finish();
}

// An interactive run is the one engine of its preferences folder (and of
// its collective, for a standalone program): a second interactive launch
// hands its document over and ends. Batch runs and conversions neither
// listen nor forward: many run at once, and each must do its own work.
bool handed_over(const run_options &o)
{
    if (o.batch || o.converting()) return false;
    char cwd[PATH_MAX];
    const std::string working = getcwd(cwd, sizeof cwd) ? cwd : "";
    // Names go whole: the running kel has another working folder.
    auto full = [&](std::string name) {
        return name.empty() || name.front() == '/' || working.empty() ? name : platform::join(working, name);
    };
    std::string document = o.file;
    if (document.size() >= 2 && document.front() == '"' && document.back() == '"')
        document = document.substr(1, document.size() - 2);
    document = full(document);
    const std::string key = full(o.prefs) + '\n' + standalone_collective_name();
    if (single_instance_start(key, document) != instance_role::forwarded) return false;
    if (document.empty())
        std::fprintf(stderr, "kel: already running (process %ld)\n", single_instance_peer());
    else
        std::fprintf(stderr, "kel: %s: opened by the running kel (process %ld)\n", document.c_str(),
                     single_instance_peer());
    return true;
}

}  // namespace

int run(const run_options &options)
{
    g_options = &options;
    start_signal_thread();
    // After the signal thread: the thread that listens inherits its mask.
    if (handed_over(options)) return exit_ok;
    crash_report_install(options.prefs, application_name_text);
    console_to_stdout();
    if (!path_folders_exist(options)) {
        single_instance_stop();
        console_out_finish();
        return exit_failure;
    }
    if (!start_up(options)) {
        shut_down();
        return exit_failure;
    }
    if (options.converting()) {
        g_status = convert_document(options) ? exit_ok : exit_failure;
        shut_down();
        return g_status;
    }
    main_loop();
    shut_down();
    if (g_status != exit_ok) return g_status;
    if (int signal = g_signal.load()) return 128 + signal;
    return exit_ok;
}

}  // namespace kel::app
