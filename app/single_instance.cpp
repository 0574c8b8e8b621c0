#include "app/single_instance.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/shell.h"
#include "kel/kel.h"
#include "kernel/core/guarded.h"
#include "platform/files.h"

namespace kel::app {
namespace {

constexpr char magic[4] = {'k', 'e', 'l', '1'};
constexpr std::size_t header_size = 8;
// How long either side waits for the other's next bytes.
constexpr int peer_timeout_ms = 2000;

int g_listener = -1;
std::string g_socket;  // the socket's name while this run listens
std::thread *g_acceptor = nullptr;
long g_peer = 0;
qelem *g_arrival = nullptr;

// Names received, not yet opened (the acceptor adds, the main thread takes).
std::mutex &g_lock = *new std::mutex;
std::vector<std::string> &g_arrived = *new std::vector<std::string>;

std::uint64_t name_hash(const std::string &text)
{
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    return h;
}

bool is_private_folder(const std::string &folder)
{
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 077) == 0;
}

// $XDG_RUNTIME_DIR when it names a folder; else kel-UID in the temporary
// folder, made 0700 and refused unless it is the user's own and private.
std::string socket_folder()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (runtime && runtime[0] == '/' && stat(runtime, &info) == 0 && S_ISDIR(info.st_mode)) return runtime;
    const std::string folder = platform::join(platform::temporary_folder(), "kel-" + std::to_string(getuid()));
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    return is_private_folder(folder) ? folder : std::string();
}

void set_timeout(int fd)
{
    timeval t{peer_timeout_ms / 1000, (peer_timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

// True when the peer of fd runs as this user; its pid in *pid.
bool same_user(int fd, long *pid)
{
    ucred who{};
    socklen_t size = sizeof who;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &who, &size) != 0 || who.uid != getuid()) return false;
    *pid = who.pid;
    return true;
}

bool send_all(int fd, const std::string &bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += std::size_t(n);
    }
    return true;
}

sockaddr_un address_of(const std::string &name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    return address;
}

// On the main thread, at the queue service: opens what arrived, in order.
void open_arrived(void *)
{
    std::vector<std::string> names;
    {
        std::lock_guard guard(g_lock);
        names.swap(g_arrived);
    }
    for (const std::string &name : names) guarded("kel", [&] { open_document_named(name); });
}

// Reads one message from a connected peer and answers "1" when it was taken.
void serve(int fd)
{
    long pid = 0;
    if (!same_user(fd, &pid)) return;
    set_timeout(fd);
    std::string received;
    char chunk[1024];
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        received.append(chunk, std::size_t(n));
        std::string name;
        switch (forward_message_parse(received.data(), received.size(), &name)) {
        case forward_parse::more:
            continue;
        case forward_parse::refused:
            send_all(fd, "0");
            return;
        case forward_parse::complete:
            if (!name.empty()) {
                std::lock_guard guard(g_lock);
                g_arrived.push_back(std::move(name));
                qelem_set(g_arrival);
            }
            send_all(fd, "1");
            return;
        }
    }
}

void accept_launches(int listener)
{
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // shut down
        }
        serve(fd);
        close(fd);
    }
}

// Hands document to the kel listening on fd; true when it took it.
bool forward(int fd, const std::string &document)
{
    set_timeout(fd);
    if (!send_all(fd, forward_message(document))) return false;
    char answer = 0;
    ssize_t n;
    do n = recv(fd, &answer, 1, 0);
    while (n < 0 && errno == EINTR);
    return n == 1 && answer == '1';
}

// A socket file that nobody accepts on, left by a run that died: removed
// when it is the user's own socket.
void remove_stale(const std::string &name)
{
    struct stat info {};
    if (lstat(name.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == getuid()) unlink(name.c_str());
}

bool listen_on(const std::string &name)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address = address_of(name);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return false;
    }
    g_listener = fd;
    g_socket = name;
    g_arrival = qelem_new(nullptr, reinterpret_cast<kel_method>(&open_arrived));
    g_acceptor = new std::thread(&accept_launches, fd);
    return true;
}

}  // namespace

std::string forward_message(const std::string &name)
{
    std::string message(magic, sizeof magic);
    const auto size = std::uint32_t(name.size());
    for (int shift = 24; shift >= 0; shift -= 8) message += char((size >> shift) & 0xff);
    return message + name;
}

forward_parse forward_message_parse(const char *data, std::size_t size, std::string *name)
{
    if (std::memcmp(data, magic, std::min(size, sizeof magic)) != 0) return forward_parse::refused;
    if (size < header_size) return forward_parse::more;
    std::uint32_t length = 0;
    for (std::size_t i = sizeof magic; i < header_size; i++)
        length = (length << 8) | static_cast<unsigned char>(data[i]);
    if (length > forward_name_limit) return forward_parse::refused;
    if (size < header_size + length) return forward_parse::more;
    if (size > header_size + length) return forward_parse::refused;
    if (std::memchr(data + header_size, '\0', length)) return forward_parse::refused;
    name->assign(data + header_size, length);
    return forward_parse::complete;
}

instance_role single_instance_start(const std::string &key, const std::string &document)
{
    if (document.size() > forward_name_limit) return instance_role::alone;
    const std::string folder = socket_folder();
    if (folder.empty()) return instance_role::alone;
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(name_hash(key)));
    const std::string name = platform::join(folder, std::string("kel-") + hash + ".sock");
    if (name.size() >= sizeof(sockaddr_un::sun_path)) return instance_role::alone;
    // Twice: a launch that started at the same moment may bind between our
    // connect and our bind; the second round then reaches it.
    for (int round = 0; round < 2; round++) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return instance_role::alone;
        sockaddr_un address = address_of(name);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            // A socket of another user is neither trusted nor taken over.
            const bool forwarded = same_user(fd, &g_peer) && forward(fd, document);
            close(fd);
            return forwarded ? instance_role::forwarded : instance_role::alone;
        }
        const int why = errno;
        close(fd);
        if (why == ECONNREFUSED)
            remove_stale(name);
        else if (why != ENOENT)
            return instance_role::alone;
        if (listen_on(name)) return instance_role::first;
        if (errno != EADDRINUSE) return instance_role::alone;
    }
    return instance_role::alone;
}

long single_instance_peer() { return g_peer; }

void single_instance_stop()
{
    if (g_listener < 0) return;
    shutdown(g_listener, SHUT_RDWR);
    g_acceptor->join();
    delete g_acceptor;
    g_acceptor = nullptr;
    close(g_listener);
    g_listener = -1;
    unlink(g_socket.c_str());
    g_socket.clear();
    qelem_free(g_arrival);
    g_arrival = nullptr;
}

}  // namespace kel::app
