/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: small blocks, heap pointers and relocatable handles. */
#ifndef KEL_MEMORY_H
#define KEL_MEMORY_H

#include "kel/base.h"

KEL_BEGIN_C

/* A block of at least size bytes (1 .. 32767; larger sizes come from the
 * system heap), aligned to 8, not cleared; NULL when memory is exhausted.
 * Give it back with freebytes and the same size. */
KEL_API void *getbytes(long size);
KEL_API void freebytes(void *p, long size);

/* The system heap. */
KEL_API void *sysmem_newptr(long n);
KEL_API void *sysmem_newptrclear(long n);
KEL_API void sysmem_freeptr(void *p);
KEL_API void *sysmem_resizeptr(void *p, long n);
KEL_API void *sysmem_resizeptrclear(void *p, long n); /* the grown tail is cleared */
KEL_API long sysmem_ptrsize(void *p);
KEL_API void sysmem_copyptr(const void *src, void *dst, long n); /* overlapping copy */

/* Relocatable memory: a handle points to a pointer to the data, which may
 * move when the handle is resized while unlocked. */
typedef char **kel_handle;
KEL_API kel_handle sysmem_newhandle(long n);
KEL_API kel_handle sysmem_newhandleclear(long n);
KEL_API long sysmem_resizehandle(kel_handle h, long n); /* 0, or the memory error */
KEL_API long sysmem_handlesize(kel_handle h);
KEL_API void sysmem_freehandle(kel_handle h);
/* Locks (lock non-zero) or unlocks; returns non-zero when it was locked. */
KEL_API long sysmem_lockhandle(kel_handle h, long lock);
/* Appends n bytes from src: 0, -1 for a NULL argument or n == 0, or the
 * memory error when the handle cannot grow. */
KEL_API long sysmem_ptrandhand(const void *src, kel_handle h, long n);

KEL_END_C

#endif /* KEL_MEMORY_H */
