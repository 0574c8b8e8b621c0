// Files by (name, path id): folder iteration, file information, opening,
// creating, deleting and copying, and the temporary copies deleted at
// shutdown.
//
// Invariant: every file path_copytotempfile made is in the list of
// temporary copies until path_shutdown deletes it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "kernel/files/path_private.h"
#include "platform/files.h"
#include "platform/resources.h"

struct path_folder {
    std::string os;
    std::vector<std::string> names;
    size_t next = 0;
    std::string last;  // the entry last returned, as an operating-system name
};

namespace kel {
namespace {

constexpr int temporary_name_attempts = 100;

std::vector<std::string> g_temporary_copies;

// The operating-system name of (name, path), or the error code to answer.
short resolve(const char *name, short path, std::string *os)
{
    if (!name || bounded_length(name, MAX_PATH_CHARS) < 0) return toolbox::bdNamErr;
    return file_os_name(path, name, os) ? 0 : toolbox::dirNFErr;
}

int open_flags(short perm)
{
    switch (perm) {
    case PATH_PERM_READ:
        return O_RDONLY;
    case PATH_PERM_WRITE:
        return O_WRONLY;
    default:
        return O_RDWR;
    }
}

short open_os(const char *name, short path, short perm, bool create, int *fd)
{
    std::string os;
    if (short err = resolve(name, path, &os)) return err;
    int err = 0;
    if (create) {
        err = platform::open_regular(os, O_RDWR | O_CREAT, 0666, fd);
    } else {
        err = platform::open_regular(os, open_flags(perm), 0, fd);
        // The default permission settles for reading where writing is refused.
        if (perm == PATH_PERM_DEFAULT && (err == EACCES || err == EROFS || err == EPERM))
            err = platform::open_regular(os, O_RDONLY, 0, fd);
    }
    return platform::toolbox_error(err);
}

// The sysfile takes the descriptor, also when it cannot be made.
short wrap_sysfile(int fd, sysfile **f)
{
    sysfile *file = sysfile_open_os(fd);
    if (!file) return toolbox::memFullErr;
    *f = file;
    return 0;
}

short info_of(const char *name, short path, fileinfo_extended *out)
{
    if (path > 0) return collective_entry_info(path, name, out);  // a file inside a collective
    std::string os;
    if (!name || bounded_length(name, MAX_PATH_CHARS) < 0 || !file_os_name(path, name, &os)) return -1;
    platform::file_status st;
    if (int err = platform::file_stat(os, &st)) return platform::toolbox_error(err);
    *out = {};
    if (st.link) out->info.flags |= FILEINFO_ALIAS;
    if (st.kind == platform::entry_kind::folder) {
        out->info.flags |= FILEINFO_FOLDER;
        out->info.type = FILETYPE_FOLDER;
    } else if (st.kind == platform::entry_kind::file) {
        std::string target = os;
        if (!st.link || platform::canonical_path(os, &target) == 0) out->info.type = file_type_of(target);
    }
    out->created = platform::local_seconds_since_1904(st.created);
    out->modified = platform::local_seconds_since_1904(st.modified);
    out->size = st.size;
    return 0;
}

}  // namespace

void tempcopies_delete_all()
{
    for (const std::string &copy : g_temporary_copies) platform::remove_entry(copy);
    g_temporary_copies.clear();
}

}  // namespace kel

using namespace kel;

// --- folders ---

KEL_API path_folder *path_openfolder(short path)
{
    try {
        std::string os;
        if (!path_folder_of(path, &os)) return nullptr;
        auto *folder = new path_folder;
        folder->os = os;
        if (platform::folder_names(os, false, &folder->names) != 0) {
            delete folder;
            return nullptr;
        }
        return folder;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_openfolder");
        return nullptr;
    }
}

KEL_API short path_foldernextfile(path_folder *folder, long *filetype, char *name, short *isfolder)
{
    if (!folder || !name) return 0;
    return guarded("path_foldernextfile", static_cast<short>(0), [&]() -> short {
        while (folder->next < folder->names.size()) {
            const std::string os = platform::join(folder->os, folder->names[folder->next++]);
            const std::string kernel = kernel_name(platform::last_component(os));
            platform::file_status st;
            // Links that lead nowhere, pipes and devices are not listed.
            if (kernel.size() >= MAX_FILENAME_CHARS || platform::file_stat(os, &st) != 0 ||
                (st.kind != platform::entry_kind::folder && st.kind != platform::entry_kind::file))
                continue;
            const bool is_folder = st.kind == platform::entry_kind::folder;
            long type = FILETYPE_FOLDER;
            if (!is_folder) {
                std::string target = os;
                type = !st.link || platform::canonical_path(os, &target) == 0 ? file_type_of(target) : 0;
            }
            copy_out(kernel, name, MAX_FILENAME_CHARS);
            if (filetype) *filetype = type;
            if (isfolder) *isfolder = is_folder ? 1 : 0;
            folder->last = os;
            return 1;
        }
        return 0;
    });
}

KEL_API short path_foldergetspec(path_folder *folder, fileref *ref)
{
    if (!folder || !ref || folder->last.empty()) return -1;
    return guarded("path_foldergetspec", static_cast<short>(-1), [&]() -> short {
        return copy_out(full_kernel_name(folder->last), ref->name, MAX_PATH_CHARS) ? 0 : -1;
    });
}

KEL_API void path_closefolder(path_folder *folder) { delete folder; }

// --- information ---

KEL_API short path_fileinfo(const char *name, short path, fileinfo *info)
{
    if (!info) return -1;
    return guarded("path_fileinfo", static_cast<short>(-1), [&]() -> short {
        fileinfo_extended extended{};
        const short err = info_of(name, path, &extended);
        if (!err) *info = extended.info;
        return err;
    });
}

KEL_API short path_extendedfileinfo(const char *name, short path, fileinfo_extended *info)
{
    if (!info) return -1;
    return guarded("path_extendedfileinfo", static_cast<short>(-1),
                   [&]() -> short { return info_of(name, path, info); });
}

KEL_API short path_setfileinfo(const char *name, short path, const fileinfo *info)
{
    (void)info;  // the type follows from the name and the contents here
    return guarded("path_setfileinfo", static_cast<short>(-1), [&]() -> short {
        fileinfo_extended extended{};
        return info_of(name, path, &extended);
    });
}

KEL_API short path_getmoddate(short path, unsigned long *date)
{
    if (!date) return -1;
    return guarded("path_getmoddate", static_cast<short>(-1), [&]() -> short {
        fileinfo_extended extended{};
        const short err = info_of("", path, &extended);
        if (!err) *date = extended.modified;
        return err;
    });
}

KEL_API short path_getfilemoddate(const char *name, short path, unsigned long *date)
{
    if (!date) return -1;
    return guarded("path_getfilemoddate", static_cast<short>(-1), [&]() -> short {
        fileinfo_extended extended{};
        const short err = info_of(name, path, &extended);
        if (!err) *date = extended.modified;
        return err;
    });
}

KEL_API short path_fileisresource(const char *name, short path)
{
    return guarded("path_fileisresource", static_cast<short>(0), [&]() -> short {
        std::string os;
        if (resolve(name, path, &os)) return 0;
        unsigned char magic[4];
        long got = 0;
        return platform::read_leading_bytes(os, magic, 4, &got) == 0 && got == 4 && magic[0] == 'K' &&
                       magic[1] == 'R' && magic[2] == 'E' && magic[3] == 'S'
                   ? 1
                   : 0;
    });
}

// --- temporary copies ---

KEL_API short path_copytotempfile(const char *name, short path, char *outname, short *outpath)
{
    if (!outname || !outpath) return -1;
    return guarded("path_copytotempfile", static_cast<short>(toolbox::memFullErr), [&]() -> short {
        std::string source;
        if (short err = resolve(name, path, &source)) return err;
        const std::string leaf = last_name_component(name);
        const size_t dot = leaf.rfind('.');
        const std::string extension = dot == std::string::npos ? std::string() : leaf.substr(dot);
        const std::string folder = platform::temporary_folder();
        for (int attempt = 0; attempt < temporary_name_attempts; attempt++) {
            symbol *unique = symbol_unique();
            if (!unique) return toolbox::memFullErr;
            const std::string copy_name = std::string(unique->name) + extension;
            if (copy_name.size() >= MAX_FILENAME_CHARS) return toolbox::bdNamErr;
            const std::string copy = os_name_in(folder, copy_name);
            const int err = platform::copy_to_new_file(source, copy);
            if (err == EEXIST) continue;  // a name someone else took: take another
            if (err) return platform::toolbox_error(err);
            g_temporary_copies.push_back(copy);
            const short copy_path = path_id_of_folder(folder);
            if (!copy_path) return toolbox::dirNFErr;  // still deleted at shutdown
            copy_out(copy_name, outname, MAX_FILENAME_CHARS);
            *outpath = copy_path;
            return 0;
        }
        return toolbox::dupFNErr;
    });
}

// --- opening, creating, deleting, copying ---

KEL_API short path_openfile(const char *name, short path, int *fd, short perm)
{
    if (!fd) return -1;
    return guarded("path_openfile", static_cast<short>(toolbox::memFullErr), [&]() -> short {
        if (path > 0) return collective_open_entry_fd(path, name, fd);
        return open_os(name, path, perm, false, fd);
    });
}

KEL_API short path_opensysfile(const char *name, short path, struct sysfile **f, short perm)
{
    if (!f) return -1;
    return guarded("path_opensysfile", static_cast<short>(toolbox::memFullErr), [&]() -> short {
        if (path > 0) return collective_open_entry(path, name, f);  // read only, whatever perm asks
        int fd = -1;
        if (short err = open_os(name, path, perm, false, &fd)) return err;
        return wrap_sysfile(fd, f);
    });
}

KEL_API short path_createfile(const char *name, short path, long type, int *fd)
{
    (void)type;  // implied by the name here
    if (!fd) return -1;
    return guarded("path_createfile", static_cast<short>(toolbox::memFullErr), [&]() -> short {
        const short err = open_os(name, path, PATH_PERM_READWRITE, true, fd);
        if (err) error("%s: error %d creating file", name ? name : "", err);
        return err;
    });
}

KEL_API short path_createsysfile(const char *name, short path, long type, struct sysfile **f)
{
    if (!f) return -1;
    int fd = -1;
    if (short err = path_createfile(name, path, type, &fd)) return err;
    return wrap_sysfile(fd, f);
}

KEL_API short path_createfolder(short path, const char *name, short *newpath)
{
    if (!name || !name[0]) return toolbox::bdNamErr;
    return guarded("path_createfolder", static_cast<short>(toolbox::memFullErr), [&]() -> short {
        std::string os;
        if (short err = resolve(name, path, &os)) return err;
        if (int err = platform::make_folder(os)) return platform::toolbox_error(err);
        const short id = path_id_of_folder(os);
        if (newpath) *newpath = id;
        return id ? 0 : toolbox::dirNFErr;
    });
}

KEL_API short path_deletefile(const char *name, short path)
{
    return guarded("path_deletefile", static_cast<short>(toolbox::memFullErr), [&]() -> short {
        std::string os;
        if (short err = resolve(name, path, &os)) return err;
        return platform::toolbox_error(platform::remove_entry(os));
    });
}

KEL_API short path_copyfile(short srcpath, const char *srcname, short dstpath, const char *dstname)
{
    return guarded("path_copyfile", static_cast<short>(toolbox::memFullErr), [&]() -> short {
        const char *target = dstname && dstname[0] ? dstname : srcname;
        std::string from, to;
        if (short err = resolve(srcname, srcpath, &from)) return err;
        if (short err = resolve(target, dstpath, &to)) return err;
        bool renaming = false;
        const short err = platform::toolbox_error(platform::copy_replacing(from, to, &renaming));
        if (err && renaming) error("%s: error %d renaming file", target, err);
        return err;
    });
}

// --- resource files ---

KEL_API short path_openresfile(const char *name, short path)
{
    return guarded("path_openresfile", static_cast<short>(-1), [&]() -> short {
        std::string os;
        if (resolve(name, path, &os)) return -1;
        return toolbox::OpenResFile(os);
    });
}

KEL_API short path_createresfile(const char *name, short path)
{
    return guarded("path_createresfile", static_cast<short>(-1), [&]() -> short {
        std::string os;
        if (resolve(name, path, &os)) return -1;
        platform::file_status st;
        if (platform::file_stat(os, &st) == ENOENT && !toolbox::write_resource_file(os, {})) {
            error("%s: error %d creating file", name, toolbox::ioErr);
            return -1;
        }
        return toolbox::OpenResFile(os);
    });
}

KEL_API short path_openressysfile(const char *name, short path, struct sysfile **f, short perm)
{
    return path_opensysfile(name, path, f, perm);
}

KEL_API short path_createressysfile(const char *name, short path, long type, struct sysfile **f)
{
    return path_createsysfile(name, path, type, f);
}
