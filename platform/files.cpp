#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "platform/datetime.h"
#include "platform/resources.h"

namespace kel::platform {
namespace {

entry_kind kind_of(mode_t mode)
{
    if (S_ISREG(mode)) return entry_kind::file;
    if (S_ISDIR(mode)) return entry_kind::folder;
    return entry_kind::other;
}

bool is_folder(const std::string &path)
{
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What a name leads to (links followed): kind, identity, size and times.
int target_stat(const std::string &path, file_status *out)
{
#if defined(STATX_BTIME)
    struct statx sx;
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        out->kind = kind_of(sx.stx_mode);
        out->identity.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        out->identity.inode = sx.stx_ino;
        out->modified = sx.stx_mtime.tv_sec;
        out->created = out->modified;
        if (sx.stx_mask & STATX_BTIME) {
            out->identity.birth = static_cast<std::int64_t>(sx.stx_btime.tv_sec) * 1000000000 + sx.stx_btime.tv_nsec;
            out->created = sx.stx_btime.tv_sec;
        }
        out->size = out->kind == entry_kind::file ? static_cast<std::int64_t>(sx.stx_size) : 0;
        return 0;
    }
    if (errno != ENOSYS) return errno;
#endif
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    out->kind = kind_of(st.st_mode);
    out->identity.device = static_cast<std::uint64_t>(st.st_dev);
    out->identity.inode = static_cast<std::uint64_t>(st.st_ino);
    out->modified = out->created = static_cast<std::int64_t>(st.st_mtime);
    out->size = out->kind == entry_kind::file ? static_cast<std::int64_t>(st.st_size) : 0;
    return 0;
}

}  // namespace

int file_stat(const std::string &path, file_status *out)
{
    *out = file_status{};
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    out->link = S_ISLNK(st.st_mode);
    if (int err = target_stat(path, out)) {
        if (!out->link) return err;
        *out = file_status{};  // a broken link, or a loop of links
        out->link = true;
    }
    return 0;
}

int folder_names(const std::string &path, bool hidden, std::vector<std::string> *out)
{
    out->clear();
    DIR *dir = ::opendir(path.c_str());
    if (!dir) return errno;
    while (const dirent *e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (!hidden && name[0] == '.') continue;
        out->push_back(name);
    }
    ::closedir(dir);
    std::sort(out->begin(), out->end());
    return 0;
}

int canonical_path(const std::string &path, std::string *out)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) return errno;
    *out = resolved.get();
    return 0;
}

std::string executable_folder()
{
    std::string exe;
    if (canonical_path("/proc/self/exe", &exe) != 0) return {};
    return parent_folder(exe);
}

std::string temporary_folder()
{
    const char *tmp = std::getenv("TMPDIR");
    if (tmp && *tmp == '/') {
        std::string canonical;
        if (canonical_path(tmp, &canonical) == 0 && is_folder(canonical)) return canonical;
    }
    return "/tmp";
}

std::vector<std::string> data_folders()
{
    const char *dirs = std::getenv("XDG_DATA_DIRS");
    const std::string all = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string one = all.substr(start, end - start);
        // Relative entries are invalid in the variable and are ignored.
        if (!one.empty() && one[0] == '/') out.push_back(one);
        start = end + 1;
    }
    return out;
}

namespace {

// $HOME, else the account's home; empty when there is neither.
std::string home_folder()
{
    std::string home;
    if (const char *variable = std::getenv("HOME"); variable && *variable) {
        home = variable;
    } else {
        struct passwd entry;
        struct passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    return home;
}

}  // namespace

std::string user_data_folder()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return data;
    const std::string home = home_folder();
    return home.empty() ? std::string() : join(home, ".local/share");
}

std::string user_config_folder()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/') return config;
    const std::string home = home_folder();
    return home.empty() ? std::string() : join(home, ".config");
}

std::vector<std::string> split_folder_list(const std::string &list)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) out.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

int open_regular(const std::string &path, int flags, int mode, int *fd)
{
    // O_NONBLOCK so that a pipe or a device cannot make the open wait; it is
    // cleared again once the file is known to be a regular file.
    const int opened = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
    if (opened < 0) return errno;
    struct stat st;
    int err = 0;
    if (::fstat(opened, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (::fcntl(opened, F_SETFL, ::fcntl(opened, F_GETFL) & ~O_NONBLOCK) != 0)
        err = errno;
    if (err) {
        ::close(opened);
        return err;
    }
    *fd = opened;
    return 0;
}

int read_leading_bytes(const std::string &path, unsigned char *buffer, long count, long *got)
{
    *got = 0;
    int fd = -1;
    if (int err = open_regular(path, O_RDONLY, 0, &fd)) return err;
    int err = 0;
    while (*got < count) {
        const ssize_t n = ::read(fd, buffer + *got, static_cast<size_t>(count - *got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        *got += n;
    }
    ::close(fd);
    return err;
}

int copy_contents(int from, int to)
{
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(from, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, block + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return errno;
            done += w;
        }
    }
}

namespace {

// Copies from into the open file to_fd with the source's permissions, and
// closes to_fd.
int fill_copy(const std::string &from, int to_fd)
{
    int from_fd = -1;
    int err = open_regular(from, O_RDONLY, 0, &from_fd);
    if (!err) {
        struct stat st;
        if (::fstat(from_fd, &st) != 0 || ::fchmod(to_fd, st.st_mode & 07777) != 0) err = errno;
        if (!err) err = copy_contents(from_fd, to_fd);
        ::close(from_fd);
    }
    if (::close(to_fd) != 0 && !err) err = errno;
    return err;
}

}  // namespace

int copy_to_new_file(const std::string &from, const std::string &to)
{
    const int to_fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (to_fd < 0) return errno;
    const int err = fill_copy(from, to_fd);
    if (err) ::unlink(to.c_str());
    return err;
}

int copy_replacing(const std::string &from, const std::string &to, bool *renaming)
{
    *renaming = false;
    std::string hidden = ".";
    hidden += last_component(to);
    hidden += ".XXXXXX";
    std::string temporary = join(parent_folder(to), hidden);
    const int to_fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (to_fd < 0) return errno;
    int err = fill_copy(from, to_fd);
    if (!err && ::rename(temporary.c_str(), to.c_str()) != 0) {
        err = errno;
        *renaming = true;
    }
    if (err) ::unlink(temporary.c_str());
    return err;
}

int make_folder(const std::string &path) { return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno; }

int make_private_folder(const std::string &parent, const std::string &prefix, std::string *out)
{
    std::string pattern = join(parent, prefix + "XXXXXX");
    if (!::mkdtemp(pattern.data())) return errno;  // mkdtemp makes it 0700
    *out = pattern;
    return 0;
}

int remove_tree(const std::string &folder)
{
    std::vector<std::string> names;
    int first = folder_names(folder, true, &names);
    for (const std::string &name : names) {
        const std::string path = join(folder, name);
        struct stat st;
        int err = ::lstat(path.c_str(), &st) != 0 ? errno : 0;
        if (!err) err = S_ISDIR(st.st_mode) ? remove_tree(path) : (::unlink(path.c_str()) == 0 ? 0 : errno);
        if (err && !first) first = err;
    }
    if (::rmdir(folder.c_str()) != 0 && !first) first = errno;
    return first;
}

namespace {

int write_and_close(int fd, const void *bytes, size_t size)
{
    const char *at = static_cast<const char *>(bytes);
    int err = 0;
    while (size > 0 && !err) {
        const ssize_t n = ::write(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    if (!err && ::fchmod(fd, 0700) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    return err;
}

}  // namespace

int write_new_file(const std::string &folder, const std::string &prefix, const std::string &suffix, const void *bytes,
                   size_t size, std::string *out)
{
    std::string pattern = join(folder, prefix + "XXXXXX" + suffix);
    const int fd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = write_and_close(fd, bytes, size);
    if (err) {
        ::unlink(pattern.c_str());
        return err;
    }
    *out = pattern;
    return 0;
}

int write_replacing(const std::string &path, const void *bytes, size_t size)
{
    std::string temporary = join(parent_folder(path), "." + last_component(path) + ".XXXXXX");
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int err = write_and_close(fd, bytes, size);
    if (!err && ::rename(temporary.c_str(), path.c_str()) != 0) err = errno;
    if (err) ::unlink(temporary.c_str());
    return err;
}

int memory_file(const void *bytes, size_t size, int *fd)
{
    const int made = ::memfd_create("kel-entry", MFD_CLOEXEC);
    if (made < 0) return errno;
    const char *at = static_cast<const char *>(bytes);
    size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(made, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(made);
            return err;
        }
        at += n;
        left -= static_cast<size_t>(n);
    }
    if (::lseek(made, 0, SEEK_SET) != 0) {
        const int err = errno;
        ::close(made);
        return err;
    }
    *fd = made;
    return 0;
}

int remove_entry(const std::string &path)
{
    if (::unlink(path.c_str()) == 0) return 0;
    if (errno == EISDIR || errno == EPERM) {
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ::rmdir(path.c_str()) == 0 ? 0 : errno;
        errno = EPERM;
    }
    return errno;
}

int rename_entry(const std::string &from, const std::string &to)
{
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::string parent_folder(const std::string &path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

std::string last_component(const std::string &path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string join(const std::string &folder, const std::string &name)
{
    if (folder.empty()) return name;
    if (name.empty()) return folder;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

short toolbox_error(int err)
{
    using namespace kel::toolbox;
    switch (err) {
    case 0:
        return noErr;
    case ENOENT:
        return fnfErr;
    case ENOTDIR:
        return dirNFErr;
    case EEXIST:
        return dupFNErr;
    case EACCES:
    case EPERM:
        return permErr;
    case EROFS:
        return wPrErr;
    case ENOSPC:
    case EDQUOT:
        return dskFulErr;
    case ENAMETOOLONG:
        return bdNamErr;
    case EISDIR:
        return notAFileErr;
    case EMFILE:
    case ENFILE:
        return tmfoErr;
    case ENOMEM:
        return memFullErr;
    case ELOOP:
        return fnfErr;
    case EBUSY:
    case ENOTEMPTY:
        return fBsyErr;
    default:
        return ioErr;
    }
}

unsigned long local_seconds_since_1904(std::int64_t unix_seconds)
{
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm local{};
    if (!::localtime_r(&t, &local)) return 0;
    toolbox::DateTimeRec date{};
    date.year = static_cast<short>(local.tm_year + 1900);
    date.month = static_cast<short>(local.tm_mon + 1);
    date.day = static_cast<short>(local.tm_mday);
    date.hour = static_cast<short>(local.tm_hour);
    date.minute = static_cast<short>(local.tm_min);
    date.second = static_cast<short>(local.tm_sec);
    unsigned long secs = 0;
    toolbox::DateToSeconds(&date, &secs);
    return secs;
}

}  // namespace kel::platform
