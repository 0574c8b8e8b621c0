// The asynchronous file worker's life cycle.
#pragma once

namespace kel {

// Stops the worker: the requests already queued are finished (their callbacks
// run), later ones are refused with -1, and the thread is joined. Does nothing
// when no worker runs; asyncfile_init may start a new one afterwards. Called
// from a callback, it only asks the worker to end once its queue is empty.
// asyncfile_init installs an exit hook that calls it, so no worker thread
// outlives the program's own exit.
void asyncfile_shutdown();

// Whether a worker is running and accepting requests.
bool asyncfile_running();

}  // namespace kel
