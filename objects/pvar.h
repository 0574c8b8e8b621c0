// pvar: a stand-in for a named box of its own patcher.
#pragma once

namespace kel {

// Makes the class and supplies its constructor to the creation object.
bool pvar_init();

}  // namespace kel
