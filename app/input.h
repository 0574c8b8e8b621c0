// Message lines: typed on standard input (interactive runs) or given with
// --send.
#pragma once

#include <string>

namespace kel::app {

// Starts a thread that reads standard input line by line; each line is
// evaluated on the main thread as a line of a message file: a receiver's
// name, then the message (`kel quit`, `metro-on 1`). On a terminal the line
// is edited (with history, where kel was built with line editing) and the
// end of input (Ctrl-D) quits; the end of any other input only ends the
// reading.
void input_start();

// Puts the terminal back as input_start found it (shutdown): a line being
// edited when kel quits does not leave the terminal in editing mode.
void input_stop();

// Evaluates one line (UTF-8) as a typed line is evaluated. Main thread.
void input_evaluate(const std::string &line);

}  // namespace kel::app
