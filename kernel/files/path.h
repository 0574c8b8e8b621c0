// Search paths and file lookup: what the rest of the kernel and the
// application use besides the exported functions of kel/path.h.
//
// Where things live on this system (the choices behind path_init):
//   - application folder: the folder of the running executable
//     (/proc/self/exe). Neither it nor its tree is searched by itself (it is
//     a build tree, or a folder of other programs).
//   - support folder (the "VND" volume): the first folder that exists of
//     <application>/kel, <application>/../kel (beside a build or unpacked
//     program), <application>/../share/kel (the installed data of a program
//     installed under a prefix), and kel inside each folder of
//     $XDG_DATA_DIRS (default /usr/local/share, /usr/share).
//   - library folder: <prefix>/lib/kel, where an installed program finds the
//     externals installed with it (path_library_folder).
//   - temporary copies (path_copytotempfile): $TMPDIR, else /tmp.
// The search path starts empty and the program fills it (path_search_start)
// from folders the user named or chose by placing a file; no tree is walked
// that nobody named. The file-system root is never walked: a tree built
// from "/" is refused.
#pragma once

#include <string>
#include <vector>

#include "kel/base.h"
#include "kel/path.h"

// Wraps an open operating-system file descriptor in a sysfile that owns it
// (closing the sysfile closes the descriptor; when no record can be made the
// descriptor is closed at once and the answer is NULL). Defined by the
// file-handle module, kernel/sysfile.cpp.
extern "C" sysfile *sysfile_open_os(int fd);

namespace kel {

// How path_init finds its folders; empty strings mean "as documented above".
struct path_setup {
    std::string application_folder;  // operating-system name (UTF-8)
    std::string support_folder;      // a folder to use as the support folder
    bool standalone = false;         // the support folder's tree is not searched
};

// (Re)builds the path state: the built-in file types and sniffers, the
// application and support folders, the five lists empty, empty preference
// strings, the path cache off and freed. Path ids handed out before stay
// valid. False when the application folder cannot be found.
bool path_init(const path_setup &setup = {});

// The folders the search path starts with, in this order: the first two
// without their sub-folders, the others each with its sub-folders.
struct search_folders {
    std::string document;            // the folder of the command-line document, or ""
    std::string working;             // the working folder, or ""
    std::vector<std::string> named;  // --path folders, then those of KEL_PATH
    std::string user;                // the per-user folder, or ""
    std::string library;             // the installed library folder, or ""
};
// The per-user folder ($XDG_DATA_HOME/kel, else ~/.local/share/kel), the
// library folder, and the folders of KEL_PATH appended to named.
void search_folders_from_environment(search_folders *folders);
// The installed library folder: <prefix>/lib/kel beside an installed program
// (one in a folder named "bin"), else the one of the prefix the program was
// built for.
std::string path_library_folder();
// Appends the folders to the search path as permanent entries, in order. A
// folder already there keeps its place. A named folder that is not a folder
// is reported ("DIR: no such folder"); the others are skipped without a word
// when missing (a missing document is reported when it is opened; the
// per-user and library folders are optional).
void path_search_start(const search_folders &folders);

// A file-system name as the kernel names files: a relative name made full
// against the working folder, in the kernel's form of file names.
std::string path_kernel_name_of(std::string os_name);

// Deletes every copy made by path_copytotempfile since start-up (the
// shutdown sequence calls this after stopping the scheduler).
void path_shutdown();

// Standalone application: set at start-up. While a standalone application
// does not search for missing files, lookups end with the collectives.
void path_set_standalone(bool standalone, bool search_missing_files);
bool path_standalone();
// A standalone program that does not search for missing files: lookups end
// with the collectives (and say "NAME: no such file in collective").
bool path_standalone_collective_only();
// The `usesearchpath` option of a standalone application: adds the support
// and application trees to the search path (the only way they get there).
void path_add_application_trees();

// The default path made aside, to be put in use later without allocating:
// a load makes at its start the default path it puts back at its end.
struct default_path_aside {
    short path = 0;
    path_node *head = nullptr;  // the list's folders
    object *cache = nullptr;    // their cache, when the default path has one
    bool made = false;          // false: memory ran out making it
    bool changes = false;       // false: path_setdefault(path, 0) would change nothing
};
// Makes aside what path_setdefault(path, 0) would make now; false (with the
// memory-low flag up) when memory ran out.
bool path_default_prepare(short path, default_path_aside *aside);
// Puts what was made in use as path_setdefault(path, 0) would, freeing the
// default path it replaces. Allocates nothing, unless the path cache was
// turned on or off meanwhile: then it calls path_setdefault. Does nothing
// for what could not be made.
void path_default_install(default_path_aside *aside);

// The five lists.
path_list *path_list_search();
path_list *path_list_startup();
path_list *path_list_action();
path_list *path_list_help();
path_list *path_list_default();

// The full names of the application and support folders, in Mac Roman
// slash style ("" when there is no support folder).
std::string path_application_name();
std::string path_support_name();

// The id of an operating-system folder name (links followed), allocated when
// new; 0 when it is not a folder or the table is full.
short path_id_of_folder(const std::string &os_name);
// The operating-system name of a folder id; false for ids not in the table.
bool path_folder_of(short path, std::string *os_name);
// The table's slots and the highest in use (tests).
long path_table_capacity();
long path_table_used();

// --- the application receiver's commands ---

// setsearchpath n folder / sethelppath folder / setactionpath folder: a
// folder that is not empty is added with its sub-folders as permanent
// entries; the folder is stored as the preference either way.
void path_setsearchpath(long n, symbol *folder);
void path_sethelppath(symbol *folder);
void path_setactionpath(symbol *folder);
// sendapppath receiver: the application folder's full name as a message
// without arguments to the object bound to receiver.
void path_sendapppath(symbol *receiver);
// pathtest name n: posts "result is %d" and "filename is %s and vol is %d".
void path_pathtest(symbol *name, long n);
// enablepathcache flag / getenablepathcache.
void path_cache_enable(bool on);
bool path_cache_enabled();
// paths: posts the lists.
void path_post_lists();
// fileformat extension type [nosub] [description].
void fileformat_command(long argc, atom *argv);
// definesniffer type bytes...: integers, one-character symbols, "*" any.
void fileformat_definesniffer(long argc, atom *argv);
// formats: one line per registered format.
void fileformat_post_all();

}  // namespace kel
