// pcontrol: opens, closes, enables and loads patchers from inside a patch.
#pragma once

namespace kel {

// Provides `pcontrol` to the creation object.
bool pcontrol_init();

}  // namespace kel
