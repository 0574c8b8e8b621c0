// The console on standard output: every line, in order, as UTF-8.
#pragma once

namespace kel::app {

// Installs the sink. Text is converted from the kernel's Mac Roman as it
// arrives and written through stdio; the console's redraw, which runs on the
// main thread, flushes it, so a posting thread never waits for the output.
void console_to_stdout();

// Ends the last line and flushes (shutdown).
void console_out_finish();

}  // namespace kel::app
