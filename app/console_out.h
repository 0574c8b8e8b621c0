// The console on standard output: every line, in order, as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kel::app {

// UTF-8 text as it is shown on a terminal: control characters other than tab
// (U+0000..U+001F, U+007F) as \xNN and those of U+0080..U+009F as \u00NN, so
// that text a patch prints cannot drive the terminal (ESC sequences, BEL).
// Into a pipe or a file the console's text goes unchanged.
std::string terminal_text(std::string_view utf8);

// Installs the sink. Text is converted from the kernel's Mac Roman as it
// arrives and each line goes out with its newline and is flushed at once, so
// that a reader of the output sees a line as soon as it is posted and a
// process that dies loses nothing it posted.
void console_to_stdout();

// Ends the last line and flushes (shutdown).
void console_out_finish();

}  // namespace kel::app
