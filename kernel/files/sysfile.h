// The sysfile record, and the constructors the path layer and collectives use.
//
// Invariants: a sysfile is exactly one of
//   - a plain file: fd >= 0, no memory; the position is the descriptor's;
//   - a region: fd >= 0, flag region; the descriptor's position stays within
//     base .. base + length (every read, write and seek is clamped there);
//   - a memory file: fd < 0, memory != null; 0 <= position <= length.
// A sysfile owns its descriptor; what it does with its memory on close is
// told by the flags.
#pragma once

#include <cstdint>

#include "kel/base.h"
#include "kel/sysfile.h"

struct sysfile {
    int fd;            // the open descriptor, -1 for memory files
    int32_t flags;     // kel::sysfile_flag_ bits
    int64_t base;      // start of a region inside the file
    int64_t length;    // region length, or the memory's length
    int64_t position;  // position of a memory file
    char **memory;     // holder of the memory: the caller's handle, or one made here
    int64_t capacity;  // a pointer's block size (a handle's block is its own size)
    object *owner;     // told fclose on close
};

namespace kel {

inline constexpr int32_t sysfile_flag_region = 0x1;
inline constexpr int32_t sysfile_flag_resource = 0x4;   // memory is a resource: released as one
inline constexpr int32_t sysfile_flag_borrowed = 0x20;  // memory is the caller's: never freed here
inline constexpr int32_t sysfile_flag_holder = 0x40;    // the holder was made here: freed on close

}  // namespace kel

// A plain file over fd, which it takes: fd is closed with the file, and at
// once when no record can be made. Null for a descriptor that is not open.
extern "C" sysfile *sysfile_open_os(int fd);

// A region of length bytes at base inside fd's file, positioned at its start;
// it takes fd as sysfile_open_os does. Null for a negative base or length.
extern "C" sysfile *sysfile_open_region(int fd, long base, long length);
