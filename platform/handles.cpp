// Relocatable memory handles on the C heap.
//
// Each handle is a heap record {data, size, capacity, state}; the Handle given
// out is the address of the record's data field, which serves as the master
// pointer. The record itself never moves, so a Handle stays valid until
// DisposeHandle; only the block behind it moves.
//
// Invariant: size <= capacity, and data points to a block of capacity bytes
// (never null, even for size 0, so that memcpy(*h, src, 0) is well defined).
// capacity exceeds size only after a locked handle shrank in place.
#include "platform/handles.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define KEL_HANDLES_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEL_HANDLES_ASAN 1
#endif
#endif

#ifdef KEL_HANDLES_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kel::toolbox {

namespace {

constexpr std::uint32_t kLiveMagic = 0x4B48444Cu;

struct HandleRecord {
    char *data;  // the master pointer: must stay the first member
    long size;
    long capacity;
    signed char state;
    std::uint32_t magic;
};
static_assert(offsetof(HandleRecord, data) == 0, "a Handle is the address of the record's data field");

#ifdef KEL_HANDLES_ASAN
// Under AddressSanitizer an unlocked handle moves on every resize, so a copy of
// *h kept across a resize points into freed memory and is reported at its first
// use, instead of working by luck whenever the allocator resized in place.
constexpr bool kAlwaysMove = true;
void poison(const char *p, long n)
{
    if (n > 0) ASAN_POISON_MEMORY_REGION(p, static_cast<size_t>(n));
}
void unpoison(const char *p, long n)
{
    if (n > 0) ASAN_UNPOISON_MEMORY_REGION(p, static_cast<size_t>(n));
}
#else
constexpr bool kAlwaysMove = false;
void poison(const char *, long) {}
void unpoison(const char *, long) {}
#endif

thread_local short g_mem_error = noErr;
thread_local long g_fail_countdown = 0;

short set_error(short err)
{
    g_mem_error = err;
    return err;
}

bool injected_failure() { return g_fail_countdown > 0 && --g_fail_countdown == 0; }

HandleRecord *record_of(Handle h)
{
    auto *rec = reinterpret_cast<HandleRecord *>(h);
    assert(rec->magic == kLiveMagic && "not a live handle (disposed, or not made by NewHandle)");
    return rec;
}

// A block of size bytes; never null for a successful allocation of 0 bytes.
char *allocate_block(long size)
{
    void *p = std::malloc(static_cast<size_t>(size));
    if (p == nullptr && size == 0) p = std::malloc(1);
    return static_cast<char *>(p);
}

Handle new_handle(long size, bool clear)
{
    if (size < 0) {
        set_error(paramErr);
        return nullptr;
    }
    if (size > kMaxHandleSize || injected_failure()) {
        set_error(memFullErr);
        return nullptr;
    }
    auto *rec = static_cast<HandleRecord *>(std::malloc(sizeof(HandleRecord)));
    char *data = rec ? allocate_block(size) : nullptr;
    if (data == nullptr) {
        std::free(rec);
        set_error(memFullErr);
        return nullptr;
    }
    if (clear) std::memset(data, 0, static_cast<size_t>(size));
    *rec = HandleRecord{data, size, size, 0, kLiveMagic};
    set_error(noErr);
    return &rec->data;
}

}  // namespace

Handle NewHandle(long size) { return new_handle(size, false); }

Handle NewHandleClear(long size) { return new_handle(size, true); }

void SetHandleSize(Handle h, long size)
{
    if (h == nullptr) {
        set_error(nilHandleErr);
        return;
    }
    HandleRecord *rec = record_of(h);
    if (size < 0) {
        set_error(paramErr);
        return;
    }
    if (size > kMaxHandleSize) {
        set_error(memFullErr);
        return;
    }
    const bool locked = (rec->state & kHandleLocked) != 0;
    if (size == rec->size || (locked && size <= rec->capacity)) {
        // In place: the block already holds size bytes.
        if (size > rec->size)
            unpoison(rec->data + rec->size, size - rec->size);
        else
            poison(rec->data + size, rec->size - size);
        rec->size = size;
        set_error(noErr);
        return;
    }
    if (locked) {
        set_error(memLockedErr);
        return;
    }
    if (size > rec->size && injected_failure()) {
        set_error(memFullErr);
        return;
    }
    unpoison(rec->data, rec->capacity);
    char *moved;
    if (kAlwaysMove || size == 0) {
        // realloc(p, 0) is implementation-defined; a fresh block avoids it.
        moved = allocate_block(size);
        if (moved != nullptr) {
            std::memcpy(moved, rec->data, static_cast<size_t>(size < rec->size ? size : rec->size));
            std::free(rec->data);
        }
    } else {
        moved = static_cast<char *>(std::realloc(rec->data, static_cast<size_t>(size)));
    }
    if (moved == nullptr) {
        poison(rec->data + rec->size, rec->capacity - rec->size);
        set_error(memFullErr);
        return;
    }
    rec->data = moved;
    rec->size = size;
    rec->capacity = size;
    set_error(noErr);
}

long GetHandleSize(Handle h)
{
    if (h == nullptr) {
        set_error(nilHandleErr);
        return 0;
    }
    set_error(noErr);
    return record_of(h)->size;
}

void DisposeHandle(Handle h)
{
    if (h == nullptr) {
        set_error(noErr);
        return;
    }
    HandleRecord *rec = record_of(h);
    assert(!(rec->state & kHandleResource) &&
           "DisposeHandle on a resource handle: use ReleaseResource or DetachResource first");
    unpoison(rec->data, rec->capacity);
    std::free(rec->data);
    rec->magic = 0;
    std::free(rec);
    set_error(noErr);
}

void HLock(Handle h)
{
    if (h == nullptr) {
        set_error(nilHandleErr);
        return;
    }
    HandleRecord *rec = record_of(h);
    rec->state = static_cast<signed char>(rec->state | kHandleLocked);
    set_error(noErr);
}

void HUnlock(Handle h)
{
    if (h == nullptr) {
        set_error(nilHandleErr);
        return;
    }
    HandleRecord *rec = record_of(h);
    rec->state = static_cast<signed char>(rec->state & ~kHandleLocked);
    set_error(noErr);
}

bool HIsLocked(Handle h) { return (HGetState(h) & kHandleLocked) != 0; }

signed char HGetState(Handle h)
{
    if (h == nullptr) {
        set_error(nilHandleErr);
        return 0;
    }
    set_error(noErr);
    return record_of(h)->state;
}

void HSetState(Handle h, signed char state)
{
    if (h == nullptr) {
        set_error(nilHandleErr);
        return;
    }
    record_of(h)->state = state;
    set_error(noErr);
}

short PtrAndHand(const void *ptr, Handle h, long size)
{
    if (h == nullptr) return set_error(nilHandleErr);
    HandleRecord *rec = record_of(h);
    if (size < 0 || (ptr == nullptr && size > 0)) return set_error(paramErr);
    const long old_size = rec->size;
    if (size > kMaxHandleSize - old_size) return set_error(memFullErr);
    // The source may lie inside h itself, and the growth may move it.
    const char *src = static_cast<const char *>(ptr);
    const auto addr = reinterpret_cast<std::uintptr_t>(src);
    const auto base = reinterpret_cast<std::uintptr_t>(rec->data);
    const bool inside = addr >= base && addr < base + static_cast<std::uintptr_t>(old_size);
    const std::uintptr_t offset = addr - base;
    SetHandleSize(h, old_size + size);
    if (g_mem_error != noErr) return g_mem_error;
    if (inside) src = rec->data + offset;
    if (size > 0) std::memmove(rec->data + old_size, src, static_cast<size_t>(size));
    return noErr;
}

short MemError() { return g_mem_error; }

void handles_fail_nth_alloc(long count) { g_fail_countdown = count > 0 ? count : 0; }

}  // namespace kel::toolbox
