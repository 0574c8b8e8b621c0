/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: storing an object's state into a preset.
 *
 * While a preset box stores a slot it sends `preset` to the objects whose
 * state the slot holds (those connected to its left outlet, or every box of
 * its patcher that has a `preset` method). Such a method describes its
 * object's state as one or more messages to itself, each appended to the
 * slot being stored with one of the functions below; recalling the slot
 * sends the messages back. Outside a store the functions do nothing.
 *
 * Each message begins with the object and its class name: a recall sends it
 * only while the object is still in its patcher and of that class.
 * docs/presets.md describes the preset box, its messages and its file lines.
 *
 * Everything here runs on the main thread.
 */
#ifndef KEL_PRESET_H
#define KEL_PRESET_H

#include "kel/base.h"

KEL_BEGIN_C

/* Appends (x, x's class name, int, n). */
KEL_API void preset_int(void *x, long n);
/* Appends (x, x's class name, set, n). */
KEL_API void preset_set(void *x, long n);
/* Appends one message built as binbuf_vinsert builds one: l a long, f a
 * double, s a symbol pointer, o an object pointer; other letters are
 * skipped; at most 32 atoms. The message should begin "os": the object and
 * its class name, then the selector and the arguments. */
KEL_API void preset_store(const char *format, ...);

KEL_END_C

#endif /* KEL_PRESET_H */
