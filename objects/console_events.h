// error, key and keyup: console errors and key events as messages.
#pragma once

namespace kel {

// Provides `error`, `key` and `keyup` to the creation object.
bool console_events_init();

}  // namespace kel
