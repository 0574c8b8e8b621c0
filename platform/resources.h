// Resources kept in data files.
//
// A resource is a block of bytes identified by a four-character type and a
// signed 16-bit id, with an optional name. Resource files are opened into a
// chain; one of them is the current file. GetResource searches the current
// file, then the files opened before it, newest first; the Get1... calls and
// the enumeration calls look at the current file only.
//
// File format, version 1. Integers are little-endian.
//
//     offset  size  field
//     0       4     magic: the bytes "KRES"
//     4       2     version: 1
//     6       2     flags: 0 (no flags are defined; readers reject others)
//     8       4     entry count N
//     12            N entries, back to back:
//                     4  type: its four characters in reading order
//                        ("TEXT" is 54 45 58 54, readable in a dump)
//                     2  id (signed)
//                     1  name length L (0 when unnamed)
//                     L  name (Mac Roman)
//                     4  data length D
//                     D  data
//
// Nothing may follow the last entry, and no two entries share a type and id.
// A file that breaks any of these rules, or ends inside an entry, is refused
// whole with mapReadErr; parsing never reads outside the file's bytes.
//
// The data of a resource keeps the layout of its type, byte for byte. For
// 'STR#' that is a 16-bit big-endian count followed by that many
// length-prefixed strings (a length byte, then the characters) - the layout
// such lists have always had, so that old lists are stored unchanged.
//
// Handles: the handle a Get... call returns belongs to its open file. The same
// resource returns the same handle until ReleaseResource or CloseResFile frees
// it; DetachResource hands it to the caller, who then disposes of it. Never
// DisposeHandle a handle still owned by a file.
//
// Not thread-safe: the resource manager is used from the main thread only.
// Its state (the chain, the current file, ResError, ResLoad) is global.
#ifndef KEL_PLATFORM_RESOURCES_H
#define KEL_PLATFORM_RESOURCES_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace kel::toolbox {

using ResType = std::uint32_t;

// 'TEXT' from "TEXT": the first character in the high byte.
constexpr ResType res_type(const char (&code)[5])
{
    return static_cast<ResType>(static_cast<unsigned char>(code[0])) << 24 |
           static_cast<ResType>(static_cast<unsigned char>(code[1])) << 16 |
           static_cast<ResType>(static_cast<unsigned char>(code[2])) << 8 |
           static_cast<ResType>(static_cast<unsigned char>(code[3]));
}
// The four characters of type, for messages.
std::string res_type_name(ResType type);

constexpr ResType kStringListType = res_type("STR#");

// Resource error codes (classic values).
inline constexpr short ioErr = -36;          // the file could not be read or written
inline constexpr short tmfoErr = -42;        // too many resource files open
inline constexpr short fnfErr = -43;         // no such file
inline constexpr short resNotFound = -192;   // no such resource, or the handle is not a resource
inline constexpr short resFNotFound = -193;  // no open resource file with that reference number
inline constexpr short mapReadErr = -199;    // the file is not a well-formed resource file

// Opens the resource file at path, reading it whole, and makes it the current
// file. Returns its reference number (> 0), or -1 with ResError set (fnfErr,
// ioErr, mapReadErr, tmfoErr, memFullErr). Every call opens a new reference,
// even for a file already open.
short OpenResFile(const std::string &path);
// Closes ref and frees every handle it still owns. When ref was current, the
// file opened before it becomes current (else the newest still open, else none).
void CloseResFile(short ref);
// The current file; 0 when no file is open.
short CurResFile();
// Makes ref current; resFNotFound leaves the current file unchanged.
void UseResFile(short ref);
// The result of the last resource call.
short ResError();

// While off, Get... calls return a handle of size 0 instead of loading the
// data; GetResInfo, HomeResFile and the other calls still know the resource,
// and LoadResource (or a later Get... call with loading on) fills that same
// handle. On by default.
void SetResLoad(bool load);

// Null (ResError resNotFound) when absent.
Handle GetResource(ResType type, short id);
Handle Get1Resource(ResType type, short id);
Handle GetNamedResource(ResType type, const std::string &name);
Handle Get1NamedResource(ResType type, const std::string &name);
// Fills a handle that was returned while loading was off.
void LoadResource(Handle h);
// Frees h and forgets it; the next Get... call loads the resource afresh.
void ReleaseResource(Handle h);
// Gives h to the caller, who must DisposeHandle it; the file forgets it.
void DetachResource(Handle h);
// The reference number of the file that owns h; -1 (resNotFound) if none.
short HomeResFile(Handle h);
// The identity of a resource handle. Any output pointer may be null. For a
// handle that is not a resource, ResError is resNotFound and nothing is written.
void GetResInfo(Handle h, short *id, ResType *type, std::string *name);

// Enumeration of the current file. Types come in the order of their first
// resource in the file, resources of a type in file order; indices start at 1.
short Count1Types();
void Get1IndType(ResType *type, short index);  // *type = 0 when out of range
short Count1Resources(ResType type);
Handle Get1IndResource(ResType type, short index);

// The index-th string (from 1) of the 'STR#' resource list_id, found as
// GetResource would find it, copied to buffer as a length-prefixed string
// (buffer holds 256 bytes). Length 0 when the list or the string is absent,
// or the list is malformed (ResError resNotFound). Does not load the list
// into a handle.
void GetIndString(unsigned char *buffer, short list_id, short index);

// Writing resource files (tools and tests).

struct ResourceEntry {
    ResType type;
    short id;
    std::string name;  // at most 255 characters
    std::string data;
};

// Writes entries, in order, as a resource file at path. The file is first
// written in full to a temporary file beside it and then renamed over path,
// so path holds either its old contents or the new ones, never a part.
// False (nothing changed at path) for an entry with a name over 255
// characters or a duplicate type and id, or when the file cannot be written.
bool write_resource_file(const std::string &path, const std::vector<ResourceEntry> &entries);

// The data of a 'STR#' resource holding strings (each cut to 255 characters;
// at most 65535 strings).
std::string make_string_list(const std::vector<std::string> &strings);

// Test hook: the next write_resource_file fails after writing bytes bytes of
// its temporary file, as if the disk were full. Negative turns it off.
void resources_fail_write_after(long bytes);

}  // namespace kel::toolbox

#endif  // KEL_PLATFORM_RESOURCES_H
