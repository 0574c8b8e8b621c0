#include "app/launch.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "kel/console.h"

extern char **environ;

namespace kel::app {

bool launch_url(const std::string &url)
{
    // The URL reaches the handler as one argument exactly as written:
    // spaces, quotes, ';' or "$(...)" in it are never seen by a shell.
    std::string program = "xdg-open";
    char *argv[] = {program.data(), const_cast<char *>(url.c_str()), nullptr};
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ);
    if (err != 0) {
        post("Kel could not launch URL. err = %d", err);
        return false;
    }
    // The handler may run for as long as it likes; a thread of its own
    // collects its exit so that it leaves no zombie behind.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace kel::app
