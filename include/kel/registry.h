/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: the object registry and notification.
 *
 * An object may be registered under a name in a namespace (any symbol; NULL
 * means `nobox`). A registration counts its holders: registering the same
 * object under the same name again, or another object of the same class under
 * a name already taken, adds a holder; object_unregister and freeobject drop
 * one, and the object is only freed by freeobject once no holder is left.
 * Clients attached to a registered name hear every object_notify of that
 * object as the message `notify` (name, message, sender, data); they hear
 * `free` when the last holder lets go. All of it holds the global critical
 * section, so the scheduler thread may take part.
 */
#ifndef KEL_REGISTRY_H
#define KEL_REGISTRY_H

#include "kel/base.h"

KEL_BEGIN_C

/* Registers x under name in name_space and answers the registered object,
 * which may be another one: when the name is taken by an object of the same
 * class, that object gains a holder and is answered, and x is freed (unless
 * it is still held under another name). NULL when the name is taken by
 * another class (x is freed as above) or on misuse. A NULL name means a
 * fresh symbol_unique name; the empty name unregisters x and answers it. */
KEL_API void *object_register(symbol *name_space, symbol *name, void *x);
/* Drops one holder: 0 when x is no longer registered (or never was), -1 when
 * other holders keep it. The object itself is not freed. */
KEL_API long object_unregister(void *x);
/* The object registered under name, or NULL (the empty name never matches). */
KEL_API void *object_findregistered(symbol *name_space, symbol *name);
/* 0 and the namespace and name of x, or -1 when x is not registered. */
KEL_API long object_findregisteredbyptr(symbol **name_space, symbol **name, void *x);

/* Attaches client to a registered name and answers the registered object;
 * NULL when nothing is registered there. A client is attached once however
 * often it asks. */
KEL_API void *object_attach(symbol *name_space, symbol *name, void *client);
/* 0, or -1 when the name is not registered or client is not attached. */
KEL_API long object_detach(symbol *name_space, symbol *name, void *client);

/* Sends `notify` (registered name, message, x, data) to every client of x.
 * A client may detach itself, or others, while it is being notified. The
 * kernel sends `attr_modified` (data: the attribute) when an attribute is set
 * and `free` (data: NULL) when the last holder lets go. 0, or -1 for a NULL
 * object or message. */
KEL_API long object_notify(void *x, symbol *message, void *data);

KEL_END_C

#endif /* KEL_REGISTRY_H */
