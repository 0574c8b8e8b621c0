// Preferences files: building them line by line, writing them whole, reading
// them back as messages, the built-in defaults, and the preferences folder.
//
// Invariants: the record bound to "__pref_resfile__" holds 0 or the path id
// the preferences folder had when it was last resolved; a preferences file
// on disk is only ever replaced by a rename of a complete new file, so
// readers see the old contents or the new ones, never a mixture. Nothing
// here posts: every failure is an answer.
#include "kernel/files/preferences.h"
#include "kernel/core/atoms.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/memory.h"
#include "kel/preferences.h"
#include "kel/symbols.h"
#include "kernel/core/symbols.h"
#include "kernel/files/path.h"
#include "kernel/text/binbuf.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/macroman.h"

namespace kel {
namespace {

// The application's own name: preferences_path of it is the folder itself.
constexpr const char *application_name = "kel";
constexpr size_t longest_file_name = 255;

// The built-in defaults by number, evaluated when a preferences file is
// missing. Every line is a message the application receiver accepts; a line
// it did not understand would be reported at every start-up.
struct default_text {
    short id;
    const char *text;
};
constexpr default_text default_texts[] = {
    // keloptions.txt: the scheduler's own settings.
    {333, "kel v2;\nkel setsleep 2;\nkel seteventinterval 2;\nkel setslop 25;\nkel setpollthrottle 30;\n"
          "kel setqueuethrottle 10;\n"},
    // runoptions.txt: a run's options.
    {334, "kel v2;\nkel setoption overdrive 0;\n"},
};

// The record bound to "__pref_resfile__". Like the path lists, it is a plain
// record, not an object: the room behind it is an object header of zeros, so
// a message sent to the name meets a dead magic instead of a read past it.
struct bound_folder {
    short path;
    unsigned char header_room[sizeof(object)];
};
bound_folder g_bound{};

std::string g_folder;  // the folder chosen with preferences_set_folder, or ""
bool g_chosen = false;

void bind_record() { gensym("__pref_resfile__")->thing = reinterpret_cast<object *>(&g_bound); }

std::string default_folder()
{
    const std::string config = platform::user_config_folder();
    return config.empty() ? std::string() : platform::join(config, application_name);
}

// Makes the folder and each missing folder above it, each only its owner
// may enter. 0 or the errno.
int make_private_tree(const std::string &os)
{
    if (os.empty()) return ENOENT;
    struct stat st;
    if (::stat(os.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT) return errno;
    const std::string parent = platform::parent_folder(os);
    if (!parent.empty() && parent != os)
        if (int err = make_private_tree(parent)) return err;
    if (::mkdir(os.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

// The preferences folder's id, made when missing. 0 or -1.
short resolve_folder(short *out)
{
    const std::string folder = preferences_folder();
    if (make_private_tree(folder) != 0) return -1;
    const short id = path_id_of_folder(folder);
    if (!id) return -1;
    bind_record();
    g_bound.path = id;
    *out = id;
    return 0;
}

// A name of something directly inside a folder, cut to 255 characters.
// False for a name that would reach outside it (a separator of any of the
// three name styles, "." or "..") and for no name at all.
bool plain_name(const char *name, std::string *out)
{
    if (!name || !*name) return false;
    std::string plain(name, ::strnlen(name, longest_file_name));
    if (plain == "." || plain == ".." || plain.find_first_of("/\\:") != std::string::npos) return false;
    *out = std::move(plain);
    return true;
}

// The operating-system name of the plain name in the folder path.
bool os_name_of(const char *name, short path, std::string *out)
{
    std::string plain, folder;
    if (!plain_name(name, &plain) || !path_folder_of(path, &folder)) return false;
    *out = platform::join(folder, toolbox::kernel_name_to_os(plain));
    return true;
}

// Makes room for argc more atoms in x, so that appending them cannot fail
// (and so cannot report a failure). False when the buffer cannot grow.
bool reserve(binbuf *x, const atom *argv, long argc)
{
    long data = 0;
    for (long i = 0; i < argc; i++) data += binbuf_data_size(argv[i].type);
    // The type region may grow by a quarter again as slack: twice its
    // rounded size is more than it can take.
    const long types = ((x->count + argc + 1 + 3) & ~3L) * 2 + 8;
    const long need = x->used + data + types + 1;
    const long block = sysmem_handlesize(x->storage);
    if (block >= need) return true;
    const long generous = block + block / 2;
    if (generous > need && sysmem_resizehandle(x->storage, generous) == 0) return true;
    return sysmem_resizehandle(x->storage, need) == 0;
}

// Appends one line: the head symbols, then the values of format, at most
// PREFERENCES_LINE_ATOMS atoms in all, then the semicolon.
long add_line(binbuf *x, symbol *first, symbol *second, const char *format, va_list args)
{
    if (!x || !format) return 1;
    atom line[PREFERENCES_LINE_ATOMS + 1];
    std::memset(line, 0, sizeof line);
    long n = 0;
    if (first) atom_setsym(&line[n++], first);
    if (second) atom_setsym(&line[n++], second);
    // A va_list handed on is used through a copy: the caller still ends its own.
    va_list values;
    va_copy(values, args);
    n += atoms_from_format(format, &values, line + n, PREFERENCES_LINE_ATOMS - n);
    va_end(values);
    if (n == 0) return 0;
    line[n++].type = ATYPE_SEMI;
    if (!reserve(x, line, n)) return 1;
    return binbuf_append_atoms(x, line, n) ? 0 : 1;
}

// Parses the text into a buffer and evaluates it with no arguments. False,
// with nothing evaluated, when memory ran out.
bool evaluate_text(const char *text, long size)
{
    kel_handle h = sysmem_newhandle(size > 0 ? size : 1);
    if (!h) return false;
    if (size > 0) std::memcpy(*h, text, static_cast<size_t>(size));
    binbuf *b = binbuf_new();
    const bool parsed = b && binbuf_text(b, h, size) == 0;
    sysmem_freehandle(h);
    if (parsed) binbuf_eval(b, 0, nullptr, nullptr);
    if (b) freeobject(b);
    return parsed;
}

// The whole of a regular file. 0 or the errno.
int read_file(const std::string &os, std::string *out)
{
    int fd = -1;
    if (int err = platform::open_regular(os, O_RDONLY, 0, &fd)) return err;
    char chunk[16384];
    int err = 0;
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) err = errno;
        if (got <= 0) break;
        out->append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return err;
}

short write_buffer(binbuf *x, const char *name, short path)
{
    std::string os;
    if (!os_name_of(name, path, &os)) return -1;
    // A link to a file is kept: the file it leads to is the one replaced.
    platform::file_status st;
    if (platform::file_stat(os, &st) == 0 && st.link && st.kind == platform::entry_kind::file) {
        std::string target;
        if (platform::canonical_path(os, &target) == 0) os = target;
    }
    // The text is given back however the write ends, also when memory for
    // the temporary file's name runs out.
    struct text_handle {
        kel_handle h = sysmem_newhandle(1);
        ~text_handle() { sysmem_freehandle(h); }
    } text;
    if (!text.h) return toolbox::memFullErr;
    long size = 0;
    if (binbuf_totext(x, text.h, &size) != 0) return toolbox::memFullErr;
    const int err = platform::write_replacing(os, *text.h, static_cast<size_t>(size));
    return err ? platform::toolbox_error(err) : 0;
}

short read_or_default(const char *name, short path, short default_id)
{
    std::string plain;
    if (!plain_name(name, &plain)) return -1;
    auto missing = [default_id]() -> short {
        if (!default_id) return -1;
        preferences_default(default_id);
        return 0;
    };
    if (path == 0 && resolve_folder(&path) != 0) return missing();
    std::string os;
    if (!os_name_of(plain.c_str(), path, &os)) return missing();
    std::string text;
    if (int err = read_file(os, &text)) return err == ENOENT ? missing() : platform::toolbox_error(err);
    return evaluate_text(text.data(), static_cast<long>(text.size())) ? 0 : toolbox::memFullErr;
}

}  // namespace

void preferences_set_folder(const std::string &os_folder)
{
    g_folder = os_folder;
    if (!g_folder.empty() && g_folder.front() != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) g_folder = platform::join(cwd, g_folder);
    }
    g_chosen = !g_folder.empty();
    g_bound.path = 0;
    bind_record();
}

std::string preferences_folder() { return g_chosen ? g_folder : default_folder(); }

}  // namespace kel

using namespace kel;

KEL_API short preferences_path(const char *name, short, short *path)
{
    if (!path) return -1;
    try {
        short folder = 0;
        if (resolve_folder(&folder) != 0) return -1;
        if (!name || !*name || std::strcmp(name, application_name) == 0) {
            *path = folder;
            return 0;
        }
        std::string plain;
        if (!plain_name(name, &plain)) return -1;
        return preferences_subpath((plain + " Files").c_str(), folder, 1, path) == 0 ? 0 : -1;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

KEL_API short preferences_subpath(const char *name, short parent, short create, short *path)
{
    if (!path) return -1;
    try {
        std::string os;
        if (!os_name_of(name, parent, &os)) return -1;
        platform::file_status st;
        if (platform::file_stat(os, &st) != 0 || st.kind == platform::entry_kind::missing) {
            if (!create) return -1;
            if (int err = platform::make_folder(os)) return platform::toolbox_error(err);
        } else if (st.kind != platform::entry_kind::folder) {
            return create ? toolbox::dupFNErr : -1;
        }
        const short id = path_id_of_folder(os);
        if (!id) return -1;
        *path = id;
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

KEL_API binbuf *preferences_open(void) { return binbuf_new(); }

KEL_API long preferences_add(binbuf *x, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const long result = add_line(x, gensym(application_name), nullptr, format, args);
    va_end(args);
    return result;
}

KEL_API long preferences_addoption(binbuf *x, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const long result = add_line(x, gensym(application_name), gensym("setoption"), format, args);
    va_end(args);
    return result;
}

KEL_API long preferences_addraw(binbuf *x, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const long result = add_line(x, nullptr, nullptr, format, args);
    va_end(args);
    return result;
}

KEL_API long preferences_addrect(binbuf *x, symbol *name, short a, short b, short c, short d)
{
    return preferences_add(x, "sllll", name, static_cast<long>(a), static_cast<long>(b), static_cast<long>(c),
                           static_cast<long>(d));
}

KEL_API short preferences_close(binbuf *x, const char *name, short path)
{
    if (!x) return -1;
    short result;
    try {
        result = write_buffer(x, name, path);
    } catch (const std::bad_alloc &) {
        result = toolbox::memFullErr;
    }
    freeobject(x);
    return result;
}

KEL_API short preferences_read(const char *name, short path, short default_id)
{
    try {
        return read_or_default(name, path, default_id);
    } catch (const std::bad_alloc &) {
        return toolbox::memFullErr;
    }
}

KEL_API void preferences_default(short id)
{
    for (const default_text &d : default_texts)
        if (d.id == id) evaluate_text(d.text, static_cast<long>(std::strlen(d.text)));
}
