// The crash report: on a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT), once, a backtrace goes to Logs/<application name>.crash in the
// preferences folder (overwritten), the console's waiting output is
// flushed, the quit tasks run (bounded by an alarm: the fault may have left
// a lock held), one line goes to standard error, and the process ends by the
// same signal (status 128 + signal in a shell).
#pragma once

#include <string>

namespace kel::app {

// Installs the handlers; the report goes to Logs/NAME.crash in
// prefs_folder, both folders made when a report is written. An empty
// prefs_folder: no report file, the rest as usual.
void crash_report_install(const std::string &prefs_folder, const std::string &application_name);

}  // namespace kel::app
