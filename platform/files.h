// The file system as the kernel's path layer needs it.
//
// Every path here is an operating-system path: UTF-8 bytes exactly as the
// system stores them (the kernel converts its Mac Roman names at its own
// edge). Nothing here posts to the console; failures come back as errno
// values, which toolbox_error() maps to the classic file-system codes that
// messages and stored numbers use.
//
// A folder's identity is its device, inode and birth time: the same folder
// reached by two names (a symbolic link, a bind mount) has one identity, a
// renamed folder keeps it, and a new folder that reuses a deleted one's inode
// does not inherit it (on file systems that keep no birth time, device and
// inode alone).
//
// Thread-safe: no state is kept between calls.
#ifndef KEL_PLATFORM_FILES_H
#define KEL_PLATFORM_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace kel::toolbox {

// File-system error codes (classic values; ioErr, tmfoErr and fnfErr are in
// resources.h).
inline constexpr short dskFulErr = -34;      // no room left on the volume
inline constexpr short nsvErr = -35;         // no such volume
inline constexpr short bdNamErr = -37;       // a bad or too long name
inline constexpr short wPrErr = -44;         // the volume is read-only
inline constexpr short fBsyErr = -47;        // busy, or a folder that is not empty
inline constexpr short dupFNErr = -48;       // the name exists already
inline constexpr short permErr = -54;        // permission denied
inline constexpr short dirNFErr = -120;      // no such folder
inline constexpr short notAFileErr = -1302;  // a folder where a file was expected

}  // namespace kel::toolbox

namespace kel::platform {

struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t birth = 0;  // nanoseconds since 1970, 0 where not kept
    bool operator==(const file_identity &) const = default;
};

enum class entry_kind { missing, file, folder, other };

// What stat and lstat tell about one name.
struct file_status {
    bool link = false;                      // the name itself is a symbolic link
    entry_kind kind = entry_kind::missing;  // of the name, or of its target for a link (missing: broken link)
    file_identity identity;                 // of the target
    std::int64_t size = 0;                  // bytes (of the target)
    std::int64_t modified = 0;              // seconds since 1970 (of the target)
    std::int64_t created = 0;               // birth time where the file system keeps it, else modified
};

// 0, or the errno of lstat (ENOENT when the name does not exist). A broken
// link answers 0 with kind missing.
int file_stat(const std::string &path, file_status *out);

// The names in a folder (without "." and ".."), sorted by their bytes.
// Hidden names (beginning with '.') are left out unless asked for.
// 0 or the errno of opening the folder.
int folder_names(const std::string &path, bool hidden, std::vector<std::string> *out);

// The canonical absolute name: links resolved, no "." or ".." left.
// 0 or the errno (ENOENT for a broken link, ELOOP for a loop of links).
int canonical_path(const std::string &path, std::string *out);

// The folder holding the running executable (/proc/self/exe); empty when it
// cannot be read.
std::string executable_folder();
// $TMPDIR when it names a folder, else /tmp.
std::string temporary_folder();
// The folders of $XDG_DATA_DIRS in order (default /usr/local/share, /usr/share).
std::vector<std::string> data_folders();

// The per-user data folder: $XDG_DATA_HOME when it is an absolute name,
// else $HOME/.local/share (the account's home when HOME is not set); empty
// when there is no home either.
std::string user_data_folder();
// The per-user configuration folder: $XDG_CONFIG_HOME when it is an
// absolute name, else $HOME/.config (the account's home when HOME is not
// set); empty when there is no home either.
std::string user_config_folder();
// The entries of a colon-separated list of folders, in order; empty entries
// are left out.
std::vector<std::string> split_folder_list(const std::string &list);

// Opens a regular file (following links) with open(2) flags; O_CLOEXEC is
// always added. Anything else - a folder, a pipe, a device - is refused
// without blocking: a folder with EISDIR, the rest with EINVAL. 0 and *fd,
// or the errno.
int open_regular(const std::string &path, int flags, int mode, int *fd);
// Reads up to count leading bytes of a regular file; *got is how many came.
int read_leading_bytes(const std::string &path, unsigned char *buffer, long count, long *got);
// Copies the whole of one open file into another, from their current
// positions. 0 or the errno.
int copy_contents(int from, int to);
// Copies a regular file to a new file that must not exist yet (EEXIST when
// it does); the copy has the source's permissions. A failed copy leaves no
// file behind.
int copy_to_new_file(const std::string &from, const std::string &to);
// Replaces to with a copy of the regular file from, as a whole: the copy is
// written to a hidden temporary file beside to and renamed over it, so to
// holds either its old contents or the new ones. *renaming tells whether a
// failure came from that last rename.
int copy_replacing(const std::string &from, const std::string &to, bool *renaming);

int make_folder(const std::string &path);
// A new folder only this user may enter (0700), named prefix + six random
// characters inside parent. 0 and *out, or the errno.
int make_private_folder(const std::string &parent, const std::string &prefix, std::string *out);
// Removes the folder and everything in it without following a link: a link
// inside is removed, never what it points to. 0 or the first errno.
int remove_tree(const std::string &folder);
// Writes bytes as the whole of a file: a new one named prefix + six random
// characters inside folder (*out its name), or one replacing path as a whole
// (written beside it and renamed over it). The file is readable and
// executable by its owner only. 0 or the errno; a failure leaves no file.
int write_new_file(const std::string &folder, const std::string &prefix, const std::string &suffix, const void *bytes,
                   size_t size, std::string *out);
int write_replacing(const std::string &path, const void *bytes, size_t size);
// An anonymous file holding bytes, positioned at its start (no name in any
// folder). 0 and *fd, or the errno.
int memory_file(const void *bytes, size_t size, int *fd);
// Removes a file, a link (not its target) or an empty folder.
int remove_entry(const std::string &path);
int rename_entry(const std::string &from, const std::string &to);

// "/a/b/c" -> "/a/b" and "c"; "/c" -> "/" and "c". Trailing slashes are
// ignored.
std::string parent_folder(const std::string &path);
std::string last_component(const std::string &path);
// folder + "/" + name, without doubling the slash after "/".
std::string join(const std::string &folder, const std::string &name);

// The classic file-system code for an errno value (ioErr for the unlisted).
short toolbox_error(int err);

// Seconds since 1970 as local seconds since 1904 (the dates of the kernel's
// files, platform/datetime.h); 0 for times before 1904.
unsigned long local_seconds_since_1904(std::int64_t unix_seconds);

}  // namespace kel::platform

#endif  // KEL_PLATFORM_FILES_H
