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

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/console_out.h"
#include "app/input.h"
#include "app/receiver.h"
#include "app/settings.h"
#include "kel/kel.h"
#include "kernel/core/guarded.h"
#include "kernel/core/settings.h"
#include "kernel/create/loader.h"
#include "kernel/files/path.h"
#include "kernel/files/preferences.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/quittasks.h"
#include "kernel/time/scheduler.h"
#include "midi/midi_manager.h"
#include "objects/engine.h"

namespace kel::app {
namespace {

const run_options *g_options = nullptr;
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

// Brings everything up; false, after a console error naming the step that
// failed, when the program cannot run.
bool start_up(const run_options &o)
{
    g_verbose.store(o.verbose);
    auto failed = [](const char *step) {
        error("kel: start-up failed: %s", step);
        return false;
    };
    if (!engine_init()) return failed("the engine could not be brought up");
    if (!path_init()) return failed("the search path could not be built");
    preferences_set_folder(o.prefs);
    start_search_path(o);
    if (!receiver_init()) return failed("the kel receiver could not be made");
    // The options files in the preferences folder, each replayed to the
    // receiver; a missing one gives the built-in defaults.
    preferences_read("keloptions.txt", 0, 333);
    preferences_read("runoptions.txt", 0, 334);
    // A conversion runs nothing: no timer, no clock, no input.
    if (o.converting()) return true;
    midi_start(midi_options_from(o.midi, settings().options["nomidisetup"] != 0));  // midi_start
    if (o.virtual_time)
        sched_set_virtual_time(true);
    else
        sched_start_timer();
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

void shut_down()
{
    input_stop();
    midi_stop();  // midi_stop
    engine_shutdown();
    console_out_finish();
}

}  // namespace

int run(const run_options &options)
{
    g_options = &options;
    start_signal_thread();
    console_to_stdout();
    if (!path_folders_exist(options)) {
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
