/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel hosting: a program that links the kel library runs patches with it.
 *
 *   kel_host_start(print_line, NULL, 1);
 *   void *patch = kel_host_open("song.pat");
 *   kel_host_run(5000);   five seconds of scheduler time
 *   kel_host_stop();
 *
 * Every call is made on one thread, which becomes the engine's main thread;
 * the engine is started once per process. */
#ifndef KEL_HOST_H
#define KEL_HOST_H

#include "kel/base.h"

KEL_BEGIN_C

/* Receives each console line (posts, errors, print output) once it is
 * complete, in UTF-8, without its newline. */
typedef void (*kel_console_line)(void *context, const char *line);

/* Brings the engine up: the kernel, the built-in objects, the search path
 * (the working folder without its sub-folders, then with theirs the folders
 * of KEL_PATH, the per-user folder and the installed library folder, as for
 * the kel program). console may be NULL (lines
 * are then dropped). With virtual_time set, scheduler time jumps to the next
 * clock instead of waiting (runs are deterministic and take no real time);
 * otherwise it follows the system's clock. ERR_NONE, or ERR_GENERIC when a
 * step failed or the engine was already started. */
KEL_API long kel_host_start(kel_console_line console, void *context, int virtual_time);

/* Adds a folder and its sub-folders to the search path. ERR_NONE, or
 * ERR_GENERIC when there is no such folder. */
KEL_API long kel_host_add_folder(const char *folder);

/* Opens a patcher file (text or binary) by its file-system name, relative to
 * the working folder or full, and sends it loadbang. The patcher, or NULL
 * (the console says why). */
KEL_API void *kel_host_open(const char *filename);

/* Runs the engine for ms milliseconds of scheduler time: clocks fire, the
 * queue is serviced. Returns when the time has passed, or earlier when a
 * patch sent quit to kel. */
KEL_API void kel_host_run(double ms);

/* Frees every patcher, stops the timers, runs the quit tasks and unloads the
 * externals. The engine cannot be started again in this process. */
KEL_API void kel_host_stop(void);

KEL_END_C

#endif /* KEL_HOST_H */
