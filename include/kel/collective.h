/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: collectives.
 *
 * A collective is one file that bundles patchers, external object libraries
 * and support files. While one is open, every file lookup asks the open
 * collectives, in opening order, before any folder; a file found there has
 * the collective's id (a positive number) as its path id, and the path
 * functions open it as they open any file.
 *
 * A collective stays open while references to it are held: the opener's own
 * (from xpcoll_open or xpcoll_opensysfile) and one per file opened inside it.
 * Releasing the last frees it.
 */
#ifndef KEL_COLLECTIVE_H
#define KEL_COLLECTIVE_H

#include "kel/base.h"
#include "kel/sysfile.h"

KEL_BEGIN_C

typedef struct xpcoll xpcoll;

/* Called, instead of the default handling, for each start-up patcher a
 * collective loads. */
typedef void (*xpcoll_client_fn)(void *client, xpcoll *collective, void *patcher);

/* Opens the collective file (name, path) of type "kl@c" and reads its
 * directory; with load non-zero, loads it (xpcoll_load). NULL after an
 * error: "NAME: error opening file" or "NAME: error N making directory". */
KEL_API xpcoll *xpcoll_open(const char *name, short path, long type, short load, short value, long data);
/* A collective on an already open file, which it takes (closed with the
 * collective, or at once on failure). For the types "kelc", "kl@c" and
 * "klfr" the file holds a directory; any other type makes the whole file one
 * entry named name (lower-cased), of that type, loaded by xpcoll_load. */
KEL_API xpcoll *xpcoll_opensysfile(sysfile *f, const char *name, long type, short load, short value, long data);
/* Extracts its support libraries, opens its start-up patchers ("init..."
 * text entries) and the entries marked to load, each once. */
KEL_API void xpcoll_load(xpcoll *x, short value, long data);
KEL_API void xpcoll_reference(xpcoll *x);
KEL_API void xpcoll_dereference(xpcoll *x);
KEL_API void xpcoll_setclientcallback(xpcoll *x, void *client, xpcoll_client_fn fn);

KEL_END_C

#endif
