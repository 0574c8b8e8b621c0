/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: file handles and asynchronous file access.
 *
 * A sysfile is an open file, a region (a window onto part of a larger file, as
 * a file inside a collective is read) or a block of memory presented as a file.
 * Files are opened by name through the path functions; the memory files are
 * made here. One thread at a time may use a sysfile.
 *
 * Results: 0 on success; a positive number is the system's error number
 * (errno); -1 is a bad argument, a file that is gone, or memory that cannot
 * be had; SYSFILE_ERR_EOF (-39) is the end of a region.
 */
#ifndef KEL_SYSFILE_H
#define KEL_SYSFILE_H

#include "kel/base.h"
#include "kel/memory.h"

KEL_BEGIN_C

typedef struct sysfile sysfile;

/* The end of a region was reached: reading or writing at or past it. */
#define SYSFILE_ERR_EOF (-39)

/* Modes of sysfile_setpos. */
enum {
    SYSFILE_POS_NONE = 0, /* does nothing */
    SYSFILE_FROM_START = 1,
    SYSFILE_FROM_END = 2, /* offsets are counted back from the end */
    SYSFILE_FROM_CURRENT = 3
};

/* Line-break flags of the text functions: the first set bit chooses the
 * break that every CR, LF and CR LF pair becomes. No bit: bytes as they are. */
enum {
    SYSFILE_TEXT_NATIVE = 1, /* the system's own break: LF here, CR LF on Windows */
    SYSFILE_TEXT_CR = 2,
    SYSFILE_TEXT_CRLF = 4,
    SYSFILE_TEXT_LF = 8
};

/* Flag of sysfile_openhandle: the block is a resource, released as one when
 * the file is closed. */
#define SYSFILE_MEMORY_RESOURCE 0x4

/* Reads up to *count bytes at the current position and advances it; *count
 * becomes the number read (fewer at the end of the file; 0 and
 * SYSFILE_ERR_EOF at or past the end of a region). */
KEL_API long sysfile_read(sysfile *f, long *count, void *buffer);
/* Writes *count bytes at the current position; *count becomes the number
 * written. Memory files cannot be written (EBADF); a region takes bytes only
 * up to its end (SYSFILE_ERR_EOF when none fit). */
KEL_API long sysfile_write(sysfile *f, long *count, const void *buffer);
/* The current position, from the start of the file, region or memory. */
KEL_API long sysfile_getpos(sysfile *f, long *position);
/* Moves the position (a SYSFILE_POS_ or SYSFILE_FROM_ mode; other modes: -1).
 * Memory files and regions keep it within 0 .. length: each offset is
 * clamped there, and an offset from the end counts as at most 0. */
KEL_API long sysfile_setpos(sysfile *f, long mode, long offset);
/* The size: the length of a region or of memory, else the file's size. */
KEL_API long sysfile_geteof(sysfile *f, long *size);
/* A file is cut (or extended) to size and positioned there. Memory: the
 * length becomes size, -1 when size exceeds the block; a position beyond it
 * is pulled back. A region cannot change its size (-1). */
KEL_API long sysfile_seteof(sysfile *f, long size);

/* A new handle (or heap pointer, freed with sysmem_freeptr) holding the whole
 * file, region or memory; the caller owns it. -1 when the block cannot be
 * had; *out is NULL on any failure. */
KEL_API long sysfile_readtohandle(sysfile *f, kel_handle *out);
KEL_API long sysfile_readtoptr(sysfile *f, char **out);
/* Copies count bytes from src to dst in chunks of 1024; count 0 copies the
 * whole of src from its start. SYSFILE_ERR_EOF when src ended before count
 * bytes. */
KEL_API long sysfile_spoolcopy(sysfile *src, sysfile *dst, long count);

/* Reads the file from the current position into text (resized to fit): at
 * most maximum bytes when maximum > 0, converting line breaks by flags. The
 * handle's lock state is left as it was found. */
KEL_API long sysfile_readtextfile(sysfile *f, kel_handle text, long maximum, long flags);
/* Writes text (less a final NUL byte) at the current position, converting
 * line breaks by flags, then cuts the file there: a shorter text replaces a
 * longer one completely. */
KEL_API long sysfile_writetextfile(sysfile *f, kel_handle text, long flags);

/* A memory file over a relocatable block that the caller keeps: closing the
 * file never frees it (unless flags hold SYSFILE_MEMORY_RESOURCE: then the
 * resource is released). Reads see the block's first GetHandleSize bytes. */
KEL_API long sysfile_openhandle(kel_handle h, long flags, sysfile **out);
/* A memory file over size bytes at p; p stays the caller's. */
KEL_API long sysfile_openptrsize(char *p, long size, long flags, sysfile **out);

/* Closes the file (or lets go of its memory), sends `fclose` to its owner
 * object, if any, and frees the record, whatever the result: 0, or the
 * system's error of the close. */
KEL_API long sysfile_close(sysfile *f);
/* The object told `fclose` (no arguments) when f is closed; NULL for none. */
KEL_API void sysfile_setobject(sysfile *f, void *owner);

/* --- asynchronous access: one worker thread serves a queue of requests --- */

/* The handle of a file opened by asyncfile_create. file becomes NULL once
 * the file is closed. */
typedef struct asyncfile {
    sysfile *file;
    void *user; /* the user value given to asyncfile_create */
} asyncfile;

/* Request types. */
enum {
    ASYNCFILE_READ = 1,
    ASYNCFILE_WRITE = 2,
    ASYNCFILE_CLOSE = 3,
    ASYNCFILE_GETEOF = 4,
    ASYNCFILE_SETEOF = 5,
    ASYNCFILE_STOP = 116 /* the worker's own: sent only when it is stopped */
};

/* Request flags. */
#define ASYNCFILE_SYNC 0x1 /* the caller waits until the request is finished */

typedef struct asyncfile_params asyncfile_params;
/* Called on the worker thread when a request is finished. */
typedef void (*asyncfile_callback)(asyncfile_params *p);

/* A request. The record must stay alive until its callback has run (or, for
 * a synchronous request, until the call returns). */
struct asyncfile_params {
    asyncfile *file;
    long request;  /* ASYNCFILE_ type, set by the call that queues it */
    long flags;    /* ASYNCFILE_SYNC */
    long count;    /* bytes to read or write */
    long done;     /* bytes read or written */
    void *buffer;  /* destination of a read, source of a write */
    long position; /* where to read or write; the size for GETEOF and SETEOF */
    asyncfile_callback callback;
    void *user;  /* free for the caller */
    long result; /* as the sysfile_ call's result; -1 when the file is not open */
};

/* Starts the worker (once; later calls do nothing while it runs). 0, or -1
 * and the console line "asyncfile thread could not be created: N". */
KEL_API long asyncfile_init(void);
/* Opens name in folder path for asynchronous access: permissions 2 (write)
 * and 3 (read and write) create the file with the given type, others open an
 * existing one. Starts the worker when needed. 0 and *out, or the path
 * layer's error (-1 when the worker cannot start or memory is short). */
KEL_API long asyncfile_create(const char *name, short path, short perm, long type, asyncfile **out, void *user);
/* Queue p as a read or write. -1 when it is refused: 4096 requests are
 * pending, or the worker is stopping or not running. Otherwise 0; with
 * ASYNCFILE_SYNC the call returns when the request is finished, with its
 * result. Called from a callback (on the worker thread), a synchronous request
 * is carried out at once. */
KEL_API long asyncfile_read(asyncfile_params *p);
KEL_API long asyncfile_write(asyncfile_params *p);
/* Synchronous size requests: the request's result, or -1 when refused. */
KEL_API long asyncfile_geteof(asyncfile *h, long *size);
KEL_API long asyncfile_seteof(asyncfile *h, long size);
/* Closes the file after every request queued before, then frees h; the
 * close's result. When the queue is full nothing happens and the answer is
 * -1: h is still the caller's. Only for handles made by asyncfile_create. */
KEL_API long asyncfile_close(asyncfile *h);

/* A request cleared to zero (NULL when memory is short), and its disposal. */
KEL_API asyncfile_params *asyncfile_params_new(void);
KEL_API void asyncfile_params_free(asyncfile_params *p);
/* Clears every field to zero. */
KEL_API void asyncfile_params_default(asyncfile_params *p);
/* Returns fn. */
KEL_API asyncfile_callback asyncfile_callback_new(asyncfile_callback fn);

KEL_END_C

#endif /* KEL_SYSFILE_H */
