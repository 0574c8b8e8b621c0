// Files, regions of files and memory behind one handle type, and the
// line-break conversion of the text functions.
#include "kernel/files/sysfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kel/classes.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "platform/handles.h"
#include "platform/resources.h"

namespace kel {
namespace {

constexpr long chunk_size = 1024;

bool is_memory(const sysfile *f) { return f->fd < 0; }
bool is_region(const sysfile *f) { return !is_memory(f) && (f->flags & sysfile_flag_region); }

sysfile *new_record()
{
    auto *f = static_cast<sysfile *>(getbytes(sizeof(sysfile)));
    if (!f) return nullptr;
    *f = sysfile{-1, 0, 0, 0, 0, nullptr, 0, nullptr};
    return f;
}

long os_error() { return errno ? errno : EIO; }

// The bytes the memory block holds now. The caller of sysfile_openhandle keeps
// the handle and may shrink it while the file is open; reads never go past it.
int64_t memory_block_size(const sysfile *f)
{
    if (f->flags & sysfile_flag_holder) return f->capacity;
    return toolbox::GetHandleSize(f->memory);
}

// Reads want bytes unless the file ends first; *got is what arrived.
long read_os(int fd, char *dst, int64_t want, int64_t *got)
{
    *got = 0;
    while (*got < want) {
        ssize_t r = ::read(fd, dst + *got, static_cast<size_t>(want - *got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return os_error();
        }
        if (r == 0) break;
        *got += r;
    }
    return 0;
}

long write_os(int fd, const char *src, int64_t want, int64_t *put)
{
    *put = 0;
    while (*put < want) {
        ssize_t r = ::write(fd, src + *put, static_cast<size_t>(want - *put));
        if (r < 0) {
            if (errno == EINTR) continue;
            return os_error();
        }
        if (r == 0) return EIO;
        *put += r;
    }
    return 0;
}

// The descriptor's position; -1 with errno set on failure.
int64_t os_position(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

// How many bytes of want fit between the region's current position and its
// end: SYSFILE_ERR_EOF at or past the end.
long region_room(const sysfile *f, int64_t want, int64_t *room)
{
    int64_t at = os_position(f->fd);
    if (at < 0) return os_error();
    int64_t end = f->base + f->length;
    if (at >= end) return SYSFILE_ERR_EOF;
    *room = std::min(want, end - at);
    return 0;
}

// A position within 0 .. length after moving offset from current: the sum
// saturates instead of overflowing.
int64_t clamp_move(int64_t current, int64_t offset, int64_t length)
{
    if (offset > length - current) return length;
    if (offset < -current) return 0;
    return current + offset;
}

// Reads up to size bytes from the start of f into dst; *got is what arrived
// (a short file or region yields fewer).
long read_whole(sysfile *f, char *dst, long size, long *got)
{
    *got = 0;
    if (size == 0) return 0;
    long err = sysfile_setpos(f, SYSFILE_FROM_START, 0);
    if (err) return err;
    long n = size;
    err = sysfile_read(f, &n, dst);
    if (err == SYSFILE_ERR_EOF) err = 0;
    *got = n;
    return err;
}

// --- line breaks ---

// The break that flags choose; length 0 leaves the bytes as they are.
struct line_break {
    char bytes[2];
    int length;
};

line_break break_for(long flags)
{
#ifdef _WIN32
    constexpr line_break native{{'\r', '\n'}, 2};
#else
    constexpr line_break native{{'\n', 0}, 1};
#endif
    if (flags & SYSFILE_TEXT_NATIVE) return native;
    if (flags & SYSFILE_TEXT_CR) return {{'\r', 0}, 1};
    if (flags & SYSFILE_TEXT_CRLF) return {{'\r', '\n'}, 2};
    if (flags & SYSFILE_TEXT_LF) return {{'\n', 0}, 1};
    return {{0, 0}, 0};
}

// Turns every CR, every LF and every CR LF pair into one break. The state
// carries over between pieces, so a pair split between two pieces is still
// one break.
class break_converter {
public:
    explicit break_converter(line_break b) : break_(b) {}

    // Converts n bytes into out, which has room for n * break length bytes;
    // returns the number of bytes written.
    long convert(const char *in, long n, char *out)
    {
        long o = 0;
        for (long i = 0; i < n; i++) {
            char c = in[i];
            if (c == '\r') {
                o = put_break(out, o);
                after_cr_ = true;
            } else if (c == '\n') {
                if (!after_cr_) o = put_break(out, o);
                after_cr_ = false;
            } else {
                out[o++] = c;
                after_cr_ = false;
            }
        }
        return o;
    }

private:
    long put_break(char *out, long o)
    {
        out[o++] = break_.bytes[0];
        if (break_.length == 2) out[o++] = break_.bytes[1];
        return o;
    }

    line_break break_;
    bool after_cr_ = false;
};

long read_text(sysfile *f, kel_handle text, long want, line_break lb)
{
    if (sysmem_resizehandle(text, want) != 0) return -1;
    long err = 0;
    if (lb.length == 0) {
        long n = want;
        if (want > 0) err = sysfile_read(f, &n, *text);
        if (err == SYSFILE_ERR_EOF) err = 0;
        toolbox::SetHandleSize(text, n);  // a shorter file leaves no stale bytes
        return err;
    }
    break_converter converter(lb);
    char chunk[chunk_size];
    long out = 0;
    long remaining = want;
    while (remaining > 0) {
        long n = std::min(chunk_size, remaining);
        err = sysfile_read(f, &n, chunk);
        if (err == SYSFILE_ERR_EOF) err = 0;
        if (n == 0) break;
        remaining -= n;
        long need = out + n * lb.length;
        long have = sysmem_handlesize(text);
        if (need > have) {
            // Two-byte breaks can double the text: grow with room to spare,
            // geometrically, so that a long text is not copied over and over.
            long grown = std::max(need + (lb.length == 2 ? 32 : 0), have + have / 2);
            if (sysmem_resizehandle(text, grown) != 0 && sysmem_resizehandle(text, need) != 0) {
                err = -1;
                break;
            }
        }
        out += converter.convert(chunk, n, *text + out);
        if (err) break;
    }
    toolbox::SetHandleSize(text, out);  // shrinking never fails
    return err;
}

// Writes the converted text in pieces whose conversion fits one chunk.
long write_text(sysfile *f, const char *text, long size, line_break lb)
{
    if (lb.length == 0) {
        long n = size;
        return size > 0 ? sysfile_write(f, &n, text) : 0;
    }
    break_converter converter(lb);
    char chunk[chunk_size];
    const long piece = chunk_size / 2;
    for (long at = 0; at < size; at += piece) {
        long n = converter.convert(text + at, std::min(piece, size - at), chunk);
        long err = sysfile_write(f, &n, chunk);
        if (err) return err;
    }
    return 0;
}

symbol *fclose_symbol()
{
    static symbol *s = gensym("fclose");
    return s;
}

}  // namespace
}  // namespace kel

using namespace kel;

extern "C" sysfile *sysfile_open_os(int fd)
{
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) return nullptr;
    sysfile *f = new_record();
    if (!f) {
        ::close(fd);
        return nullptr;
    }
    f->fd = fd;
    return f;
}

extern "C" sysfile *sysfile_open_region(int fd, long base, long length)
{
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) return nullptr;
    if (base < 0 || length < 0 || base > INT64_MAX - length || ::lseek(fd, base, SEEK_SET) < 0) {
        ::close(fd);
        return nullptr;
    }
    sysfile *f = sysfile_open_os(fd);
    if (!f) return nullptr;
    f->flags = sysfile_flag_region;
    f->base = base;
    f->length = length;
    return f;
}

KEL_API long sysfile_read(sysfile *f, long *count, void *buffer)
{
    if (!f || !count) return -1;
    long want = *count;
    *count = 0;
    int64_t room = want;
    if (is_region(f)) {
        if (long err = region_room(f, want, &room)) return err;
    }
    if (want < 0 || (want > 0 && !buffer)) return -1;
    if (room == 0) return 0;
    if (is_memory(f)) {
        int64_t end = std::min(f->length, memory_block_size(f));
        int64_t n = std::clamp<int64_t>(end - f->position, 0, want);
        if (n > 0) std::memcpy(buffer, *f->memory + f->position, static_cast<size_t>(n));
        f->position += n;
        *count = static_cast<long>(n);
        return 0;
    }
    int64_t got = 0;
    long err = read_os(f->fd, static_cast<char *>(buffer), room, &got);
    *count = static_cast<long>(got);
    return err;
}

KEL_API long sysfile_write(sysfile *f, long *count, const void *buffer)
{
    if (!f || !count) return -1;
    long want = *count;
    *count = 0;
    if (is_memory(f)) return EBADF;
    int64_t room = want;
    if (is_region(f)) {
        // The bytes past a region belong to other entries of the same file.
        if (long err = region_room(f, want, &room)) return err;
    }
    if (want < 0 || (want > 0 && !buffer)) return -1;
    if (room == 0) return 0;
    int64_t put = 0;
    long err = write_os(f->fd, static_cast<const char *>(buffer), room, &put);
    *count = static_cast<long>(put);
    return err;
}

KEL_API long sysfile_getpos(sysfile *f, long *position)
{
    if (!f || !position) return -1;
    if (is_memory(f)) {
        *position = static_cast<long>(f->position);
        return 0;
    }
    int64_t at = os_position(f->fd);
    if (at < 0) return os_error();
    *position = static_cast<long>(at - (is_region(f) ? f->base : 0));
    return 0;
}

KEL_API long sysfile_setpos(sysfile *f, long mode, long offset)
{
    if (!f) return -1;
    if (mode == SYSFILE_POS_NONE) return 0;
    if (mode != SYSFILE_FROM_START && mode != SYSFILE_FROM_END && mode != SYSFILE_FROM_CURRENT) return -1;
    if (!is_memory(f) && !is_region(f)) {
        int whence = mode == SYSFILE_FROM_START ? SEEK_SET : mode == SYSFILE_FROM_END ? SEEK_END : SEEK_CUR;
        return ::lseek(f->fd, offset, whence) < 0 ? os_error() : 0;
    }
    int64_t length = f->length;
    int64_t target = 0;
    if (mode == SYSFILE_FROM_START) {
        target = std::clamp<int64_t>(offset, 0, length);
    } else if (mode == SYSFILE_FROM_END) {
        target = std::max<int64_t>(length + std::min<int64_t>(offset, 0), 0);
    } else {
        long current = 0;
        if (long err = sysfile_getpos(f, &current)) return err;
        target = clamp_move(std::clamp<int64_t>(current, 0, length), offset, length);
    }
    if (is_memory(f)) {
        f->position = target;
        return 0;
    }
    return ::lseek(f->fd, f->base + target, SEEK_SET) < 0 ? os_error() : 0;
}

KEL_API long sysfile_geteof(sysfile *f, long *size)
{
    if (!f || !size) return -1;
    if (is_memory(f) || is_region(f)) {
        *size = static_cast<long>(f->length);
        return 0;
    }
    struct stat st;
    if (::fstat(f->fd, &st) < 0) return os_error();
    *size = static_cast<long>(st.st_size);
    return 0;
}

KEL_API long sysfile_seteof(sysfile *f, long size)
{
    if (!f) return -1;
    if (is_memory(f)) {
        if (size < 0 || size > memory_block_size(f)) return -1;
        f->length = size;
        f->position = std::min<int64_t>(f->position, size);
        return 0;
    }
    // Cutting the file under a region would take the entries after it too.
    if (is_region(f)) return -1;
    if (::lseek(f->fd, size, SEEK_SET) < 0) return os_error();
    if (::ftruncate(f->fd, size) < 0) return os_error();
    return 0;
}

KEL_API long sysfile_readtohandle(sysfile *f, kel_handle *out)
{
    if (!out) return -1;
    *out = nullptr;
    long size = 0;
    if (!f) return -1;
    if (long err = sysfile_geteof(f, &size)) return err;
    kel_handle h = sysmem_newhandle(size);
    if (!h) return -1;
    long got = 0;
    if (long err = read_whole(f, *h, size, &got)) {
        sysmem_freehandle(h);
        return err;
    }
    if (got < size) toolbox::SetHandleSize(h, got);
    *out = h;
    return 0;
}

KEL_API long sysfile_readtoptr(sysfile *f, char **out)
{
    if (!out) return -1;
    *out = nullptr;
    long size = 0;
    if (!f) return -1;
    if (long err = sysfile_geteof(f, &size)) return err;
    auto *p = static_cast<char *>(sysmem_newptr(size));
    if (!p) return -1;
    long got = 0;
    if (long err = read_whole(f, p, size, &got)) {
        sysmem_freeptr(p);
        return err;
    }
    *out = p;
    return 0;
}

KEL_API long sysfile_spoolcopy(sysfile *src, sysfile *dst, long count)
{
    if (!src || !dst || count < 0) return -1;
    const bool whole = count == 0;
    if (whole) {
        if (long err = sysfile_geteof(src, &count)) return err;
        if (long err = sysfile_setpos(src, SYSFILE_FROM_START, 0)) return err;
    }
    char chunk[chunk_size];
    while (count > 0) {
        long n = std::min(chunk_size, count);
        long err = sysfile_read(src, &n, chunk);
        if (err == SYSFILE_ERR_EOF || (err == 0 && n == 0)) return whole ? 0 : SYSFILE_ERR_EOF;
        if (err) return err;
        long put = n;
        if ((err = sysfile_write(dst, &put, chunk))) return err;
        count -= n;
    }
    return 0;
}

KEL_API long sysfile_readtextfile(sysfile *f, kel_handle text, long maximum, long flags)
{
    if (!f || !text) return -1;
    long size = 0;
    if (long err = sysfile_geteof(f, &size)) return err;
    long want = maximum > 0 && maximum < size ? maximum : size;
    signed char state = toolbox::HGetState(text);
    toolbox::HUnlock(text);
    long err = read_text(f, text, want, break_for(flags));
    toolbox::HSetState(text, state);
    return err;
}

KEL_API long sysfile_writetextfile(sysfile *f, kel_handle text, long flags)
{
    if (!f || !text) return -1;
    if (is_memory(f)) return EBADF;
    long size = sysmem_handlesize(text);
    if (size > 0 && (*text)[size - 1] == '\0') size--;
    if (long err = write_text(f, *text, size, break_for(flags))) return err;
    if (is_region(f)) return 0;
    long at = 0;
    if (long err = sysfile_getpos(f, &at)) return err;
    return sysfile_seteof(f, at);
}

KEL_API long sysfile_openhandle(kel_handle h, long flags, sysfile **out)
{
    if (!out) return -1;
    *out = nullptr;
    if (!h) return -1;
    sysfile *f = new_record();
    if (!f) return -1;
    f->flags = (static_cast<int32_t>(flags) & ~(sysfile_flag_region | sysfile_flag_holder)) | sysfile_flag_borrowed;
    f->memory = h;
    f->length = toolbox::GetHandleSize(h);
    *out = f;
    return 0;
}

KEL_API long sysfile_openptrsize(char *p, long size, long flags, sysfile **out)
{
    if (!out) return -1;
    *out = nullptr;
    if (size < 0 || (!p && size > 0)) return -1;
    // The pointer needs a holder to stand where a handle's master pointer
    // would; the holder is ours, the pointer stays the caller's.
    auto **holder = static_cast<char **>(getbytes(sizeof(char *)));
    sysfile *f = holder ? new_record() : nullptr;
    if (!f) {
        if (holder) freebytes(holder, sizeof(char *));
        return -1;
    }
    *holder = p;
    f->flags = (static_cast<int32_t>(flags) & ~(sysfile_flag_region | sysfile_flag_resource | sysfile_flag_borrowed)) |
               sysfile_flag_holder;
    f->memory = holder;
    f->length = size;
    f->capacity = size;
    *out = f;
    return 0;
}

KEL_API long sysfile_close(sysfile *f)
{
    if (!f) return -1;
    long err = 0;
    if (is_memory(f)) {
        if (f->flags & sysfile_flag_resource)
            toolbox::ReleaseResource(f->memory);
        else if (f->flags & sysfile_flag_holder)
            freebytes(f->memory, sizeof(char *));
        else if (!(f->flags & sysfile_flag_borrowed))
            toolbox::DisposeHandle(f->memory);
    } else if (::close(f->fd) < 0) {
        // Even then the descriptor is gone: retrying could close another
        // thread's newly opened file.
        err = os_error();
    }
    if (f->owner) object_method(f->owner, fclose_symbol());
    freebytes(f, sizeof(sysfile));
    return err;
}

KEL_API void sysfile_setobject(sysfile *f, void *owner)
{
    if (f) f->owner = static_cast<object *>(owner);
}
