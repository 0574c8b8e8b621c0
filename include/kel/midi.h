/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: MIDI ports, drivers and the input listener lists.
 *
 * One MIDI manager (bound to the symbol "#SM") owns the drivers, the input
 * and output port lists and one input queue. Drivers are objects loaded from
 * the "mididrivers" folder; they declare ports with sysmidi_createport and
 * put input into the queue with sysmidi_enqbigpacket from any thread. The
 * scheduler takes one packet off the queue each pass of its poll, parses it
 * per port (running status, system exclusive) and hands the result to the
 * objects on the listener lists.
 *
 * Everything here runs on the main thread unless it says otherwise.
 */
#ifndef KEL_MIDI_H
#define KEL_MIDI_H

#include "kel/base.h"
#include "kel/binbuf.h"

KEL_BEGIN_C

/* Port creation flags. */
#define MIDI_PORT_ENABLED 1 /* the port starts enabled */
#define MIDI_PORT_DYNAMIC 2 /* made by a createinport/createoutport message */
#define MIDI_PORT_SAVED 4   /* its settings are written to the driver's preferences file */

/* Directions, as sysmidi_createport and the lookups take them. */
#define MIDI_OUTPUT 0
#define MIDI_INPUT 1

/* The flag of an input packet without a timestamp: it is stamped with the
 * scheduler's time when it is taken off the queue. */
#define MIDI_STAMP_NOW 0x80

struct midiport;

/* Called for every packet of the port, before it is parsed, on the thread
 * that takes packets off the queue. */
typedef void (*midi_input_hook)(struct midiport *port, const unsigned char *data, long length);

/* A port. Made and freed by the manager; the driver that asked for it keeps
 * the pointer until it deletes the port (sysmidi_deletemarked). */
typedef struct midiport {
    symbol *name;          /* shown to the user and used in messages */
    struct object *driver; /* the driver that owns the port */
    long refnum;           /* the driver's own value */
    long id;               /* unique, from sysmidi_uniqueid; packets name their port by it */
    short abbrev;          /* the one-letter code objects name the port by (0: none) */
    short offset;          /* channels of this port are offset+1 .. offset+16 */
    char enabled;          /* creation flag bit 0; changed by portenable */
    char dynamic;          /* bit 1 */
    char saved;            /* bit 2 */
    char marked;           /* set before the port is deleted */
    char direction;        /* MIDI_INPUT or MIDI_OUTPUT */
    /* Parse state of an input port, kept across packets. */
    signed char running_kind; /* (status >> 4) & 7 of the running status; -1: none */
    char sysex;               /* inside a system-exclusive message */
    char pending;             /* data bytes of the current channel message seen */
    short running_channel;    /* offset + (status & 15) */
    unsigned char data1;      /* the first data byte while the second is awaited */
    midi_input_hook input_hook;
    struct midiport *next;
} midiport;

/* Kinds of sysmidi_send: a channel message (status, data1, data2; program
 * change and channel pressure ignore data2), or one raw byte in status
 * (MIDI_SEND_BYTE), or one byte of a system-exclusive message in status. */
#define MIDI_SEND_MESSAGE 0
#define MIDI_SEND_BYTE 1
#define MIDI_SEND_SYSEX 2

typedef void (*midi_send_routine)(struct object *driver, midiport *port, long kind, long status, long data1,
                                  long data2);

/* The record every driver object begins with. In its mididriverinfo method
 * (no arguments) a driver sets accept to 1 to be installed (0: it is freed),
 * and sets send. The manager sends it afterwards, when it has them:
 *   setup                       make its fixed ports
 *   openports                   once, before the first MIDI input object
 *   portenable (port, previous) a port's enabled flag changed
 *   createinport / createoutport (gimme: name ...) make a dynamic port
 *   deleteinport / deleteoutport (port, long *ok) mark a port for deletion
 *                               and answer *ok = 1, or *ok = 0 to keep it
 *   saveprefs (binbuf *)        add its own lines to its preferences file
 *   stop                        kel is quitting: stop input threads
 * Its preferences file "midi@NAME.txt" (NAME its class name) is read with
 * "#MD" bound to it, after setup. */
typedef struct mididriver {
    object header;
    long accept;
    midi_send_routine send;
} mididriver;

/* --- ports --- */

/* Appends a port to the input list (direction non-zero) or the output list;
 * flags are MIDI_PORT_*. NULL when the name is taken in that list or memory
 * is exhausted. */
KEL_API midiport *sysmidi_createport(long id, long refnum, symbol *name, struct object *driver, long direction,
                                     long flags);
/* Removes every marked port of the list: every MIDI object is told
 * (inportdeleted / outportdeleted with the port), packets still queued for
 * it are dropped, and the record is freed. */
KEL_API void sysmidi_deletemarked(long direction);
KEL_API midiport *sysmidi_idtoport(long id, long direction);
/* The port by name, or by its one-letter abbreviation when name is one
 * letter; NULL when none. */
KEL_API midiport *sysmidi_nametoport(symbol *name, long direction);
/* Calls fn(port, arg) for every port of the list, in creation order; stops
 * when fn answers non-zero. */
KEL_API void sysmidi_iterate(long (*fn)(midiport *port, void *arg), void *arg, long direction);
KEL_API long sysmidi_numinports(void);
KEL_API long sysmidi_numoutports(void);
/* The name of the port at index (from 0) of the list; NULL past the end. */
KEL_API symbol *sysmidi_indextoname(long index, long direction);
/* A port id no port has had. Any thread. */
KEL_API long sysmidi_uniqueid(void);
/* Sends through the port's driver; nothing when the port is disabled or
 * its driver has no send routine. */
KEL_API void sysmidi_send(midiport *port, long kind, long status, long data1, long data2);
/* Sends openports to every driver, the first time only. */
KEL_API void sysmidi_openports(void);

/* --- input --- */

/* Puts one packet on the input queue: length bytes of data for port, with
 * the timestamp in scheduler milliseconds, or (stamp_now non-zero) to be
 * stamped when it is taken off. Any thread; never blocks on the scheduler.
 * 0, or -1 when it was refused (no manager, no such port, a length below 1
 * or beyond the queue, or the queue full: the bytes dropped are reported on
 * the console, at most once a second). */
KEL_API long sysmidi_enqbigpacket(midiport *port, const unsigned char *data, long length, double timestamp,
                                  long stamp_now);

/* --- listener lists ---
 *
 * MIDI input objects join one list each. The parser calls, on the thread
 * that takes packets off the queue:
 *   channel lists:  the object's "input2" method
 *                       void input2(object *x, midiport *port, long channel, long a, long b)
 *                   for NOTEIN (key, velocity; note-off velocity 0), POLYIN (key,
 *                   pressure), CTLIN (controller, value), and "input1"
 *                       void input1(object *x, midiport *port, long channel, long value)
 *                   for PGMIN (program 0..127), TOUCHIN (pressure), BENDIN (the
 *                   most significant 7 bits); channel is the port's offset plus the
 *                   status byte's channel plus 1;
 *   byte lists:     "input1" with channel 0 and one byte as value: MIDIIN every
 *                   byte but real-time ones, SYSEXIN the bytes of system-exclusive
 *                   messages (0xF0 .. 0xF7), RTIN real-time bytes (0xF8 and up).
 * Both methods are registered with ATYPE_CANT. An object on a list is also
 * told inportdeleted (port) when a port goes. Joining and leaving are safe
 * while the lists are walked, from the object's own methods included. */
enum {
    MIDI_LIST_NOTEIN = 0,
    MIDI_LIST_POLYIN,
    MIDI_LIST_CTLIN,
    MIDI_LIST_PGMIN,
    MIDI_LIST_TOUCHIN,
    MIDI_LIST_BENDIN,
    MIDI_LIST_MIDIIN,
    MIDI_LIST_SYSEXIN,
    MIDI_LIST_RTIN,
    MIDI_LIST_COUNT
};
/* Puts x at the head of the list; 0, or -1 (bad list, no input method,
 * memory exhausted). */
KEL_API long sysmidi_listen(long list, struct object *x);
/* Takes x off the list (every list when list is -1). */
KEL_API void sysmidi_unlisten(long list, struct object *x);
/* MIDI output objects register so that they are told outportdeleted (port). */
KEL_API long sysmidi_addoutput(struct object *x);
KEL_API void sysmidi_removeoutput(struct object *x);
/* Posts, once, the reports held back since start-up (no driver found, a
 * driver that could not start): a MIDI object calls it when made. */
KEL_API void sysmidi_touch(void);
/* A driver's report held back until MIDI is first used (posted at once
 * when it already is, or with the verbose setting on). */
KEL_API void sysmidi_report(const char *text);

KEL_END_C

#endif /* KEL_MIDI_H */
