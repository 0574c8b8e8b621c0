/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: outlets, inlets and proxies.
 *
 * An object creates its outlets and extra inlets from the rightmost to the
 * leftmost: each new one goes to the front of its chain. Sending on an outlet
 * calls every connected receiver, depth first, before it returns.
 */
#ifndef KEL_OUTLETS_H
#define KEL_OUTLETS_H

#include "kel/base.h"

KEL_BEGIN_C

typedef struct outlet outlet;
typedef struct inlet inlet;
typedef struct proxy proxy;

/* A new outlet of owner for messages named type (NULL: any message). */
KEL_API outlet *outlet_new(void *owner, const char *type);
KEL_API outlet *bangout(void *owner);
KEL_API outlet *intout(void *owner);
KEL_API outlet *floatout(void *owner);
KEL_API outlet *listout(void *owner);

/* Sending: 1 when the message went to every connection, 0 when the depth
 * guard stopped it. */
KEL_API long outlet_bang(outlet *o);
KEL_API long outlet_int(outlet *o, long n);
KEL_API long outlet_float(outlet *o, double x);
KEL_API long outlet_list(outlet *o, symbol *s, long argc, atom *argv);
KEL_API long outlet_anything(outlet *o, symbol *s, long argc, atom *argv);
/* One number as int/float, one symbol as a bare selector, a list starting
 * with a number as list, starting with a symbol as that selector. */
KEL_API long outlet_atoms(outlet *o, long argc, atom *argv);

/* Connecting: 0, or 1 when the receiver refuses the outlet's type. */
KEL_API long outlet_add(outlet *o, void *receiver);
KEL_API void outlet_rm(outlet *o, void *receiver);

/* Extra inlets. name/accepted NULL: any message, delivered as if to the
 * owner's leftmost inlet. */
KEL_API inlet *inlet_new(void *owner, const char *name);
KEL_API inlet *inlet4(void *owner, void *receiver, const char *accepted, const char *target);
KEL_API inlet *intin(void *owner, long n);   /* int to the owner's in1 .. in9 */
KEL_API inlet *floatin(void *owner, long n); /* float to the owner's ft1 .. ft9 */
KEL_API void inlet_to(inlet *i, void *receiver);
/* Non-zero when the inlet refuses messages named s. */
KEL_API long inlet_checkin(inlet *i, symbol *s);

/* A proxy: an inlet that forwards any message to its owner unchanged and lets
 * the owner ask, with proxy_getinlet, which inlet a message came through.
 * The proxy stores index in *stuff while its owner handles a message. */
KEL_API proxy *proxy_new(void *owner, long index, long *stuff);
KEL_API long proxy_getinlet(void *owner);

/* The standard delivery of a list to an object (spread over its inlets when
 * it has no list method). */
KEL_API void stdlist(void *receiver, symbol *s, long argc, atom *argv);

/* Sets the lockout flag; answers the previous value. */
KEL_API long lockout_set(long n);

KEL_END_C

#endif /* KEL_OUTLETS_H */
