// The console on standard output: every line, in order, as UTF-8.
#pragma once

namespace kel::app {

// Installs the sink. Text is converted from the kernel's Mac Roman as it
// arrives and each line goes out with its newline and is flushed at once, so
// that a reader of the output sees a line as soon as it is posted and a
// process that dies loses nothing it posted.
void console_to_stdout();

// Ends the last line and flushes (shutdown).
void console_out_finish();

}  // namespace kel::app
