// Preferences files: where the preferences folder is, for the program that
// chooses it. The exported functions are declared in kel/preferences.h.
#pragma once

#include <string>

namespace kel {

// Uses the folder (an operating-system name) as the preferences folder from
// now on; empty: the default, $XDG_CONFIG_HOME/kel (an absolute name only),
// else ~/.config/kel. Nothing is made until the folder is first asked for.
// Binds "__pref_resfile__" (its path id stays 0 until then).
void preferences_set_folder(const std::string &os_folder);
// The operating-system name of the preferences folder in use.
std::string preferences_folder();

}  // namespace kel
