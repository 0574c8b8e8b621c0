// Quit tasks: functions that run once when the application quits.
#pragma once

namespace kel {

// Takes the newest task off the list and calls it, until none is left
// (tasks installed by a running task run too).
void quittasks_run();

}  // namespace kel
