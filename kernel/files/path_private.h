// What the path sources (path.cpp, path_names.cpp, path_types.cpp,
// path_lookup.cpp, path_cache.cpp, path_files.cpp) share among themselves.
//
// Names cross the system's edge here: the operating system's names are
// UTF-8; the kernel holds a name in Mac Roman where Mac Roman spells it
// exactly and in the system's own bytes otherwise (os_name / kernel_name,
// lossless both ways, platform/macroman.h). Folders are kept by their
// operating-system names.
#pragma once

#include <string>
#include <vector>

#include "kel/base.h"
#include "kel/path.h"
#include "kernel/files/path.h"
#include "platform/files.h"

namespace kel {

// --- text at the edge ---
std::string os_name(const std::string &kernel);
std::string kernel_name(const std::string &os);
// The operating-system name of the kernel name `kernel` inside folder (an
// operating-system name).
std::string os_name_in(const std::string &folder, const std::string &kernel);
// Copies text into a buffer of size bytes; false (buffer untouched) when it
// does not fit.
bool copy_out(const std::string &text, char *buffer, size_t size);
// The length of name when it is NUL-terminated within limit bytes, else -1.
long bounded_length(const char *name, size_t limit);

// --- names (path_names.cpp) ---
enum class name_kind { plain, relative, root, vendor, volume };
struct name_parts {
    name_kind kind = name_kind::plain;
    std::string volume;  // for volume and vendor names
    std::string rest;    // after the prefix or volume, separators unchanged
};
name_parts classify_name(const std::string &name);
bool is_separator(char c);
// The last component of a name in any style.
std::string last_name_component(const std::string &name);
// A full name in any style that names a place on this system, as an
// operating-system name; false for anything else (a plain or relative name,
// a volume this system does not have).
bool full_name_to_os(const std::string &name, std::string *os);
// The operating-system name of (name, path): a full name as above; a
// relative name from the folder; a plain name inside the folder. False for
// an unknown folder id or an unconvertible name.
bool file_os_name(short path, const char *name, std::string *os);
// Kernel full name (slash style, Mac Roman) of an operating-system name.
std::string full_kernel_name(const std::string &os);

// --- the path table and state (path.cpp) ---
bool path_is_root_folder(const std::string &os_name);
std::string application_os_folder();
std::string support_os_folder();
// Whether list holds a node for path.
bool list_contains(const path_list *list, short path);

// --- file types (path_types.cpp) ---
void fileformat_init();
bool type_in_list(long type, const long *types, short count);
// The extensions registered for the listed types (for every type when count
// is 0), nosub ones left out, each once, in the order of the list and then
// of registration.
std::vector<std::string> extensions_for(const long *types, short count);
// The type of a regular file: from its name's extension when that maps to
// one type; by its first bytes among the extension's types when it maps to
// several (the first registered when none matches); by every sniffer when
// the extension is not registered (0 when none matches).
long file_type_of(const std::string &os_path);
// Sniffing by operating-system name.
bool sniff_os_file(const std::string &os_path, const long *types, short count, long *outtype);
// The name with a registered, not-nosub extension cut off.
std::string strip_registered_extension(const std::string &name);

// --- the path cache (path_cache.cpp) ---
enum class cache_which { search, default_path };
bool cache_exists(cache_which which);
void cache_create(cache_which which);
void cache_free(cache_which which);
// Enters the files of one folder.
void cache_add_folder(cache_which which, short path);
// A cache made aside, not in use (null when memory ran out); entering a
// folder's files into it; putting it in use, which answers the one it
// replaces (either may be null).
object *cache_make();
void cache_enter_folder(object *cache, short path);
object *cache_swap(cache_which which, object *cache);
// Looks a plain file name up: found gives the folder, the type and the name
// of the file (which has an extension appended, or is a link's target).
bool cache_lookup(cache_which which, const std::string &name, const long *types, short count, short *outpath,
                  long *outtype, std::string *found);

// --- files (path_files.cpp) ---
void tempcopies_delete_all();

}  // namespace kel
