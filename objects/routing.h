// Routing and list objects: `route`, `select`/`sel`, `gate`, `switch`,
// `trigger`/`t`, `pack`/`list`, `unpack`, `swap`, `fswap`, `bangbang`/`b`,
// `change`, `bag` and `accum`.
#pragma once

namespace kel {

// Provides the constructors of the family to `#N`; each class is set up when
// its first instance is made.
bool routing_init();

}  // namespace kel
