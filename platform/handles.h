// Relocatable memory handles.
//
// A Handle is the address of a master pointer; the master pointer holds the
// address of the data. Code that keeps the Handle and dereferences it each
// time (*h) always finds the data, even after a resize has moved it.
//
// Invariants of every live handle:
//   - the data block holds at least GetHandleSize(h) bytes (it may be larger
//     after a locked handle was shrunk in place);
//   - while bit 7 of the state byte (kHandleLocked) is set, the master pointer
//     never changes: growth that does not fit the block fails with
//     memLockedErr and leaves data and size untouched;
//   - every call sets MemError(): 0 on success, a negative code on failure.
//     MemError is per thread.
//
// Ownership: the creator of a handle disposes of it with DisposeHandle,
// except for handles returned by the resource manager (resources.h), which
// belong to their open resource file until DetachResource.
//
// A handle may be used from any thread, by one thread at a time.
#ifndef KEL_PLATFORM_HANDLES_H
#define KEL_PLATFORM_HANDLES_H

namespace kel::toolbox {

using Handle = char **;

// Memory error codes. Their values are the classic ones, which stored error
// numbers and user-visible messages rely on.
inline constexpr short noErr = 0;
inline constexpr short paramErr = -50;       // a negative size, or a null source with a size
inline constexpr short memFullErr = -108;    // not enough memory
inline constexpr short nilHandleErr = -109;  // the handle is null
inline constexpr short memLockedErr = -117;  // a locked handle would have to move

// Bits of the state byte returned by HGetState.
inline constexpr signed char kHandleLocked = static_cast<signed char>(0x80);
inline constexpr signed char kHandlePurgeable = 0x40;  // kept as set; nothing is ever purged
inline constexpr signed char kHandleResource = 0x20;   // owned by an open resource file

// The largest handle: sizes are stored as 32-bit numbers in every file format
// the kernel writes. Larger requests fail with memFullErr.
constexpr long kMaxHandleSize = 0x7FFFFFFFL;

// A new unlocked handle of size bytes (0 is allowed); the contents are not
// cleared. Null on failure: paramErr for size < 0, memFullErr for a size
// above kMaxHandleSize or when memory is exhausted.
Handle NewHandle(long size);
// As NewHandle, with every byte cleared.
Handle NewHandleClear(long size);

// Resizes h; the first min(old, new) bytes survive. An unlocked handle may
// move; a locked handle only shrinks, or grows within its block, in place.
// Check MemError() afterwards: memFullErr, nilHandleErr, memLockedErr or
// paramErr; on failure the handle is unchanged.
void SetHandleSize(Handle h, long size);
// The size in bytes; 0 for a null handle (MemError nilHandleErr).
long GetHandleSize(Handle h);
// Frees h and its data. A null handle is a no-op.
void DisposeHandle(Handle h);

void HLock(Handle h);
void HUnlock(Handle h);
bool HIsLocked(Handle h);
// The state byte (kHandleLocked | kHandlePurgeable | kHandleResource). Save it,
// lock, work, then HSetState the saved byte to leave the handle as found.
signed char HGetState(Handle h);
void HSetState(Handle h, signed char state);

// Appends size bytes from ptr to h (the handle grows, so it may move).
// Returns the resulting MemError().
short PtrAndHand(const void *ptr, Handle h, long size);

// The result of the last handle call on this thread.
short MemError();

// Test hook: the count-th handle allocation (or growth) from now on this
// thread fails with memFullErr, as if memory were exhausted; 1 means the
// next one. 0 turns the hook off.
void handles_fail_nth_alloc(long count);

}  // namespace kel::toolbox

#endif  // KEL_PLATFORM_HANDLES_H
