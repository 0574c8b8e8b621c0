#include "app/crash_report.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/time/quittasks.h"
#include "platform/files.h"

namespace kel::app {
namespace {

constexpr int fatal_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// The quit tasks get this long inside a fault before the process ends anyway.
constexpr unsigned quit_task_seconds = 2;
constexpr int frames_max = 64;

// Filled at installation: a fault allocates nothing.
char g_folder[4096];  // the preferences folder, made when a report is written
char g_logs[4096];    // its Logs folder
char g_report[4096];  // the report file's name, or ""
std::atomic<int> g_fatal{0};
// An alternate stack, so that a stack overflow still gets its report.
alignas(16) char g_stack[64 * 1024];

const char *signal_name(int signal)
{
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal";
    }
}

// Only async-signal-safe calls below, up to the quit tasks.
void write_text(int fd, const char *text) { (void)!write(fd, text, strlen(text)); }

void write_number(int fd, long n)
{
    char digits[24];
    int at = sizeof digits;
    digits[--at] = '\0';
    const bool negative = n < 0;
    unsigned long u = negative ? 0ul - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
    do digits[--at] = char('0' + u % 10);
    while ((u /= 10) && at > 1);
    if (negative) digits[--at] = '-';
    write_text(fd, digits + at);
}

[[noreturn]] void die_by(int signal)
{
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    sigaction(signal, &plain, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // a signal whose default is not to end the process
}

// The alarm that bounds the quit tasks: the process ends by the fault's signal.
void quit_tasks_overran(int) { die_by(g_fatal.load()); }

void write_report(int signal, void *address)
{
    if (!g_report[0]) return;
    mkdir(g_folder, 0700);
    mkdir(g_logs, 0700);
    int fd = open(g_report, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        g_report[0] = '\0';
        return;
    }
    write_text(fd, "kel crashed: ");
    write_text(fd, signal_name(signal));
    write_text(fd, " (signal ");
    write_number(fd, signal);
    write_text(fd, ") at address 0x");
    char hex[2 * sizeof(void *) + 1];
    auto value = reinterpret_cast<uintptr_t>(address);
    for (int i = int(sizeof hex) - 2; i >= 0; i--, value >>= 4) hex[i] = "0123456789abcdef"[value & 15];
    hex[sizeof hex - 1] = '\0';
    write_text(fd, hex);
    write_text(fd, ", process ");
    write_number(fd, long(getpid()));
    write_text(fd, "\nbacktrace:\n");
    void *frames[frames_max];
    const int count = backtrace(frames, frames_max);
    backtrace_symbols_fd(frames, count, fd);
    close(fd);
}

void on_fatal(int signal, siginfo_t *info, void *)
{
    int expected = 0;
    // Once: a fault inside the handling (a quit task's) ends the process.
    if (!g_fatal.compare_exchange_strong(expected, signal)) die_by(expected);
    write_report(signal, info ? info->si_addr : nullptr);
    // The quit tasks are not signal-safe: they may wait on a lock the fault
    // left held, so an alarm bounds them.
    struct sigaction overran {};
    overran.sa_handler = &quit_tasks_overran;
    sigemptyset(&overran.sa_mask);
    sigaction(SIGALRM, &overran, nullptr);
    alarm(quit_task_seconds);
    quittasks_run();
    alarm(0);
    write_text(STDERR_FILENO, "kel: crashed: ");
    write_text(STDERR_FILENO, signal_name(signal));
    if (g_report[0]) {
        write_text(STDERR_FILENO, "; report in ");
        write_text(STDERR_FILENO, g_report);
    }
    write_text(STDERR_FILENO, "\n");
    die_by(signal);
}

}  // namespace

void crash_report_install(const std::string &prefs_folder, const std::string &application_name)
{
    g_report[0] = '\0';
    const std::string logs = platform::join(prefs_folder, "Logs");
    const std::string report = platform::join(logs, application_name + ".crash");
    if (!prefs_folder.empty() && report.size() < sizeof g_report) {
        std::memcpy(g_folder, prefs_folder.c_str(), prefs_folder.size() + 1);
        std::memcpy(g_logs, logs.c_str(), logs.size() + 1);
        std::memcpy(g_report, report.c_str(), report.size() + 1);
    }
    // The first backtrace loads what it needs (it may allocate): done here,
    // not inside a fault.
    void *frame[1];
    backtrace(frame, 1);
    stack_t stack{};
    stack.ss_sp = g_stack;
    stack.ss_size = sizeof g_stack;
    sigaltstack(&stack, nullptr);
    struct sigaction fatal {};
    fatal.sa_sigaction = &on_fatal;
    fatal.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&fatal.sa_mask);
    for (int signal : fatal_signals) sigaction(signal, &fatal, nullptr);
}

}  // namespace kel::app
