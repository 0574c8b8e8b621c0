// Message lines typed on standard input (interactive runs).
#pragma once

namespace kel::app {

// Starts a thread that reads standard input line by line; each line is
// evaluated on the main thread as a line of a message file: a receiver's
// name, then the message (`kel quit`, `metro-on 1`).
void input_start();

}  // namespace kel::app
