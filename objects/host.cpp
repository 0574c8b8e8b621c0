// Hosting: the C API through which a program that links the kel library
// starts the engine, opens patcher files, runs them and stops.
#include "kel/host.h"

#include <unistd.h>

#include <climits>
#include <new>
#include <string>

#include "kel/kel.h"
#include "kernel/core/console.h"
#include "kernel/files/path.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/scheduler.h"
#include "objects/engine.h"
#include "platform/macroman.h"

namespace kel {
namespace {

enum class host_state { idle, running, stopped };
host_state g_state = host_state::idle;

// The console's lines for the host: gathered until their newline, then
// handed over in UTF-8. The sink must not throw.
struct host_console {
    kel_console_line line = nullptr;
    void *context = nullptr;
    std::string pending;  // the kernel's text of the line so far
    std::string utf8;
};
host_console g_console;

void console_text(void *, const char *bytes, size_t length)
{
    try {
        g_console.pending.append(bytes, length);
    } catch (const std::bad_alloc &) {
        // The line is cut short rather than lost.
    }
}

void console_newline(void *)
{
    if (g_console.line) {
        try {
            g_console.utf8.clear();
            toolbox::console_text_to_utf8(g_console.pending, g_console.utf8);
            g_console.line(g_console.context, g_console.utf8.c_str());
        } catch (const std::bad_alloc &) {
            g_console.line(g_console.context, g_console.pending.c_str());
        }
    }
    g_console.pending.clear();
}

void console_redraw(void *) {}

kel_clock *g_run_end = nullptr;

void run_ended(void *) { sched_request_quit(); }

}  // namespace
}  // namespace kel

using namespace kel;

KEL_API long kel_host_start(kel_console_line console, void *context, int virtual_time)
{
    if (g_state != host_state::idle) return ERR_GENERIC;
    g_console.line = console;
    g_console.context = context;
    static const console_sink sink{&console_text, &console_newline, nullptr, &console_redraw};
    console_set_sink(&sink);
    if (!engine_init() || !path_init()) return ERR_GENERIC;
    // As the program's: the working folder, KEL_PATH, the per-user and the
    // installed library folders.
    search_folders folders;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) folders.working = cwd;
    search_folders_from_environment(&folders);
    path_search_start(folders);
    if (virtual_time) {
        sched_set_virtual_time(true);
    } else {
        sched_start_timer();
        event_timer_start();
    }
    g_run_end = clock_new(nullptr, reinterpret_cast<kel_method>(&run_ended));
    if (!g_run_end) return ERR_GENERIC;
    g_state = host_state::running;
    return ERR_NONE;
}

KEL_API long kel_host_add_folder(const char *folder)
{
    if (g_state != host_state::running || !folder) return ERR_GENERIC;
    return path_addnamed(path_list_search(), path_kernel_name_of(folder).c_str(), 1, 1) == 0 ? ERR_NONE : ERR_GENERIC;
}

KEL_API void *kel_host_open(const char *filename)
{
    if (g_state != host_state::running || !filename) return nullptr;
    short path = 0;
    char file[PATH_MAX];
    if (path_frompathname(path_kernel_name_of(filename).c_str(), &path, file) != 0) {
        error("%s: error opening file", filename);
        return nullptr;
    }
    message_event_start();
    return fileload(file, path);
}

KEL_API void kel_host_run(double ms)
{
    if (g_state != host_state::running) return;
    // The run ends by a clock of its own, so that it ends at that scheduler
    // time in real and in virtual time alike; a quit sent by a patch ends it
    // too.
    clock_fdelay(g_run_end, ms < 0 ? 0 : ms);
    main_loop();
    clock_unset(g_run_end);
    sched_state().quit_requested.store(false);
}

KEL_API void kel_host_stop(void)
{
    if (g_state != host_state::running) return;
    g_state = host_state::stopped;
    freeobject(g_run_end);
    g_run_end = nullptr;
    engine_shutdown();
    console_finish();
    if (!g_console.pending.empty()) console_newline(nullptr);
}
