// Opening a URL or a file with the desktop's handler (xdg-open).
#pragma once

#include <string>

namespace kel::app {

// Starts the handler with the URL as its one argument, never through a
// shell, and does not wait for it. When it cannot be started, posts
// "Kel could not launch URL. err = %d" with the system's error number and
// answers false. The handler's name is looked up on PATH.
bool launch_url(const std::string &url);

}  // namespace kel::app
