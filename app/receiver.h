// The application receiver: the object bound to the symbol `kel`.
#pragma once

namespace kel::app {

// Makes the receiver and binds it (start-up).
bool receiver_init();

}  // namespace kel::app
