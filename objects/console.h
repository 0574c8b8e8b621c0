// The `print` class: every message it receives becomes a console line,
// prefixed by its label.
#pragma once

namespace kel {

// Provides `print` to the creation object.
bool print_init();

}  // namespace kel
