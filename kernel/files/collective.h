// Collectives: the reader of the file format, the collective and entry
// objects, the open list, and what the path functions and the loader ask of
// them.
//
// Format: a tree of chunks (four-character type, 32-bit big-endian size
// counting its 8 header bytes, then data). The header chunk "kl@c" at 0
// holds 4 bytes and the directory offset; the directory is one "dlst" chunk
// of "dire" chunks, each a list of field chunks. Every size and offset is
// checked against its parent and the file before it is used: a directory
// that does not hold together is refused whole.
//
// Invariants: a collective is in the open list from its opening until it is
// freed; ids count up from 10 and are never handed out twice; an entry's
// window (offset, size) lies inside the collective; each file handle opened
// on an entry holds a reference to its collective until it is closed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kel/base.h"
#include "kel/collective.h"
#include "kel/linklist.h"
#include "kel/path.h"
#include "kel/sysfile.h"

struct xpcentry;

struct xpcoll {
    object header;
    symbol *name;
    linklist *entries;  // xpcentry objects, in directory order
    short id;           // the pseudo path id
    short path;         // the folder holding the file, or collective_embedded
    sysfile *file;
    short load_value;
    long load_data;
    short loading;
    long references;
    void *client;
    xpcoll_client_fn client_fn;
    // Beyond the fields above: the bytes the collective spans, and its
    // entries by lower-cased name (the first of each name; entries of one
    // name chain through same_name).
    int64_t length;
    void *by_name;
};

struct xpcentry {
    object header;
    xpcoll *collective;
    symbol *name;  // lower-cased
    long offset;
    long type;
    long size;
    long resource_type;
    symbol *resource_name;
    long flags;
    long resource_id;
    long version;
    symbol *author;
    long creator;
    long creator_version;
    long compression;
    long checksum;
    symbol *stored_name;
    xpcentry *same_name;  // the next entry of the same lower-cased name
};

namespace kel {

// The path field of a collective inside an open file or a block of memory.
inline constexpr short collective_embedded = 0x7FFF;
inline constexpr long collective_flag_load = 0x1;
inline constexpr long collective_flag_hidden = 0x2;
// The answer of a lookup that found nothing (0xFFFF as a 16-bit value).
inline constexpr short collective_not_found = -1;

// --- the directory, as read from bytes ---

struct collective_field_set {
    std::string name;
    long type = 0, offset = 0, size = 0, flags = 0, version = 0, creator = 0, creator_version = 0;
    long checksum = 0, compression = 0, resource_type = 0, resource_id = 0;
    std::string author, resource_name;
};

// Where a directory is read from: seek(at) and read(count, buffer), each
// answering 0 or an error code (a read that comes short is an error).
struct collective_source {
    void *context;
    long (*seek)(void *context, int64_t at);
    long (*read)(void *context, long count, void *buffer);
};
// Reads the directory of a collective of `length` bytes: 0 and the entries,
// or the error code. With dump set, the dump's lines are appended to it,
// naming the collective as `who` ("ADDRESS (NAME)").
long collective_read_directory(const collective_source &source, int64_t length,
                               std::vector<collective_field_set> *entries, std::string *dump, const std::string &who);

// --- lookups (the path functions and the loader) ---

// True for the id of an open collective.
bool collective_is_open(short id);
// The id of a collective object; 0 for anything else.
short collective_id_of(object *x);
// The first entry, in opening order and then directory order, that is not
// hidden, whose name matches (letter case aside) and whose type is listed
// (any when count is 0), in the collective id or in all when id is 0. Its
// collective's id and its type and stored name; collective_not_found.
short collective_find(const char *name, short id, const long *types, short count, long *type, std::string *stored_name);
// The entry's information: its type and size (the collective's dates).
short collective_entry_info(short id, const char *name, fileinfo_extended *info);
// The entry as a file handle that holds a reference to its collective: a
// window onto the collective's file when it lies in a folder, otherwise onto
// an anonymous file holding the entry's bytes.
short collective_open_entry(short id, const char *name, sysfile **out);
// The entry as a descriptor of an anonymous file holding its bytes.
short collective_open_entry_fd(short id, const char *name, int *fd);
// The external library entry (type "iLaF") written to a new file in the
// temporary folder; its operating-system name. False after an error.
bool collective_extract_external(short id, const char *name, std::string *os_file);

// --- the program's hooks and state ---

// Opens an entry as a patcher: installed by the patcher layer; answers the
// patcher made, or null.
using collective_patcher_opener = void *(*)(const char *name, short id);
void collective_set_patcher_opener(collective_patcher_opener opener);
// The `frontcoll` flag of a standalone application that may not close its
// top-level patchers.
void collective_set_cant_close_toplevel(bool on);
// For test harnesses that open collectives by the million: with none open,
// ids start again from 10 (a program never does this: an id is never handed
// out twice while it runs).
void collective_ids_restart();
// The directory dump (dumpxpcolls), written to standard error.
void collective_set_dump(bool on);
bool collective_dump();
// The kernel classes "xpcoll" and "xpcentry".
bool collective_init();
// Frees every open collective, whatever references remain, and removes the
// temporary folder and what was extracted into it.
void collective_shutdown();
// The temporary folder extracted libraries go into: made on first use, only
// this user may enter it; "" when none could be made.
std::string collective_temporary_folder();

}  // namespace kel
