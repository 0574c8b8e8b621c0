/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: patchers, boxes, patch cords and loading patcher files.
 *
 * A patcher is an object holding a list of boxes (the most recently created
 * first) and the patch cords between their objects. A box usually shows one
 * object: the object made from an object box's text, or the box itself for
 * boxes that are their own object (message boxes, user-interface boxes of
 * externals, which embed a box as their first member). Patchers are built by
 * evaluating patcher files (kel/patchfile.h); the functions here load them,
 * wire and unwire boxes, and write a patcher back into a buffer.
 *
 * docs/patchers.md describes the building messages, the order in which an
 * outlet delivers to its cords, loadbang, and every console line.
 *
 * Everything here runs on the main thread.
 */
#ifndef KEL_PATCHER_H
#define KEL_PATCHER_H

#include "kel/base.h"
#include "kel/binbuf.h"

KEL_BEGIN_C

typedef struct patcher patcher;
struct patchcord;

/* Box flags: the low bits of box.flags. The top four bits hold the box's
 * color index (0: the default look). */
#define BOX_FLAG_HIDDEN 0x0001      /* made while the patcher's hidden mode was on */
#define BOX_FLAG_NOCLICK 0x0002     /* ignores clicks */
#define BOX_FLAG_BACKGROUND 0x0004  /* belongs to the background layer */
#define BOX_FLAG_PLACEHOLDER 0x0008 /* its object could not be made; a placeholder stands in */
#define BOX_FLAG_INLET 0x0010       /* stands for an inlet of the patcher's container box */
#define BOX_FLAG_OUTLET 0x0020      /* stands for an outlet of the patcher's container box */
#define BOX_COLOR_SHIFT 12
#define BOX_COLOR_MASK 0xF000

/* patcher_connectobj flags: the low 8 bits are the cord's color index. */
#define CORD_FLAG_HIDDEN 0x8000

typedef struct box_rect {
    short top;
    short left;
    short bottom;
    short right;
} box_rect;

/* The head every box begins with. A user-interface class embeds it as the
 * first member of its record and initialises it with box_new. */
typedef struct box {
    object header;
    patcher *owner;   /* the patcher whose list holds the box; NULL once detached */
    struct box *next; /* the next (older) box of the owner's list */
    box_rect rect;    /* in the patcher's coordinates */
    object *obj;      /* the object the box shows: the box itself, another object, or NULL */
    unsigned short flags;
    short save_number; /* set while the owner is being saved */
    /* Kept by the kernel: the cords that leave and that enter the box. */
    struct patchcord *cords_out;
    struct patchcord *cords_in;
} box;

/* --- wiring --- */

/* Connects outlet outn of src's object to inlet inn of dst's object
 * and draws a cord. flags: color index in the low 8 bits, CORD_FLAG_HIDDEN.
 * With check non-zero an existing connection, or a destination that refuses
 * the outlet's message type, is refused without a message. Answers p, or
 * NULL after an error. */
KEL_API patcher *patcher_connectobj(patcher *p, box *src, long outn, box *dst, long inn, long check, long flags);
/* Removes that connection and its cord. */
KEL_API void patcher_disconnectobj(patcher *p, box *src, long outn, box *dst, long inn);
/* Frees the box, its cords and its object. */
KEL_API void patcher_deleteobj(patcher *p, box *b);

/* --- walking and asking --- */

/* For every open patcher window, front first: fn(patcher, arg) for its
 * patcher, then depth-first for each subpatcher in it. A non-zero answer ends
 * the walk of that window's tree. */
KEL_API void patcher_eachdo(long (*fn)(patcher *p, void *arg), void *arg);
/* The patcher holding p's container box, else the answer of p's owner
 * object to `parentpatcher`, else NULL. */
KEL_API patcher *patcher_parentpatcher(patcher *p);
/* Accepted; nothing is kept that changes would mark. */
KEL_API void patcher_dirty(patcher *p);
/* Non-zero for a patcher; for an object box; when b is an object box whose
 * object has a method named s. */
KEL_API long ispatcher(void *x);
KEL_API long isnewex(void *b);
KEL_API long newex_knows(void *b, symbol *s);
/* x's subpatcher number *index (through its `subpatcher` method; NULL when
 * it has none); *index is incremented. */
KEL_API void *object_subpatcher(void *x, long *index, void *arg);

/* --- boxes of user-interface classes --- */

/* Initialises the head of a box and puts it at the front of p's list; the
 * rectangle is moved by the paste offsets; flags are BOX_FLAG_ values, and
 * the box is hidden when the patcher's hidden mode is on. The box is bound to
 * the symbol #B (the box just made). */
KEL_API void box_new(box *b, patcher *p, long flags, short left, short top, short right, short bottom);
/* The box is complete (nothing to draw here). */
KEL_API void box_ready(box *b);
/* Detaches the box from its patcher: frees its cords and leaves the list.
 * A user-interface class calls it from its free method; the record itself
 * is freed with the object. */
KEL_API void box_free(box *b);

/* --- saving --- */

/* Appends p's contents as patcher file messages (from "#N vpatcher" to
 * "#P pop") to dest. */
KEL_API void patcher_save(patcher *p, binbuf *dest);

/* --- loading ---
 *
 * Each answers the patcher loaded (or NULL). Loadbang is delivered when the
 * outermost load ends, unless loadbang_suspend is in force. A document
 * (fileload, fileload_type, stringload) is evaluated with the arguments
 * "#0" .. "#9", which a later save writes back as the same $ arguments. */

/* The file name in path, its form recognised by its contents. */
KEL_API void *fileload(const char *name, short path);
/* type: FILETYPE_TEXT or FILETYPE_PATCHER, or 0 to let the file decide. */
KEL_API void *fileload_type(const char *name, short path, long type);
/* Finds the file on the search path, loads it and sends it `front`. */
KEL_API void *stringload(const char *name);
/* Loads with argc arguments ($1 .. $9; $0 symbols get a number of this
 * load's own); flag non-zero reports a file that is not a patcher. */
KEL_API void *intload(const char *name, short path, long ignored, long argc, atom *argv, long flag);

/* --- loadbang --- */

/* While suspended, loads neither clear nor deliver the loadbang queue;
 * resuming delivers it unless a load is in progress. */
KEL_API void loadbang_suspend(void);
KEL_API void loadbang_resume(void);
/* The override of the loadbang object's disabling keys (0 by default). */
KEL_API void noloadbangdisable_set(char flag);
KEL_API char noloadbangdisable_get(void);

/* --- box names --- */

/* Names b in p. When another box of p has the name: "NAME: name already in
 * use" and nothing changes; when b has it already, nothing changes.
 * Otherwise b's former name goes and the name (made unique) is registered;
 * the pvar objects of p that follow it attach to b. */
KEL_API void patcher_setboxname(patcher *p, box *b, symbol *name);
KEL_API void patcher_setboxname_nodirty(patcher *p, box *b, symbol *name);
/* Registers b under the name made unique in p ("amp", "amp[1]", ...) and
 * answers the name used; NULL when b cannot be named. */
KEL_API symbol *patcher_uniqueboxname(patcher *p, box *b, symbol *name);
/* 1 and *name when b is named in p, else 0 and *name NULL. */
KEL_API long patcher_boxname(patcher *p, box *b, symbol **name);
/* The box of p named name, or NULL. */
KEL_API box *patcher_getnamedbox(patcher *p, symbol *name);
/* Detaches the pvar objects following b's name, then unregisters it;
 * "patcher_deleteboxname: multiple named references" when the registry
 * reports other holders of b. */
KEL_API void patcher_deleteboxname(patcher *p, box *b);

/* Names through nested subpatchers. A path is a list of names: the first is
 * a box of p, each next one a box of the subpatcher the box before holds.
 * An element "NAME.N" (N a positive integer after the last ".") that names
 * no box addresses instance N (from 1) of the box NAME of class poly~.
 * The path forms take the names joined by "::" in one symbol. */
KEL_API box *patcher_resolvebox(patcher *p, symbol *path);
KEL_API object *patcher_resolveobj(patcher *p, symbol *path);
KEL_API patcher *patcher_resolvepatcher(patcher *p, symbol *path);
KEL_API box *patcher_resolvebox_symarray(patcher *p, long count, symbol **names);
KEL_API object *patcher_resolveobj_symarray(patcher *p, long count, symbol **names);
KEL_API patcher *patcher_resolvepatcher_symarray(patcher *p, long count, symbol **names);
/* Splits a "::" path into a new array of *count symbols (NULL for an empty
 * path or without memory); free it with patcher_namepath_symarray_free. */
KEL_API symbol **patcher_namepath_symarray_new(symbol *path, long *count);
KEL_API void patcher_namepath_symarray_free(symbol **names, long count);

/* --- scripting --- */

/* Sets the color index of the cord from outlet outn of src to inlet inn of
 * dst: "connectcolor: no outlet N", "connectcolor: no inlet N",
 * "connectcolor: unable to find connection". */
KEL_API void patcher_colorconnectobj(patcher *p, box *src, long outn, box *dst, long inn, long color);
/* A box of class cls with its default look, its top left corner at x, y:
 * the box kinds of the patcher (message, comment, button, toggle, slider,
 * inlet, outlet, preset, number, flonum) get their default layout; any
 * other name an object box whose text is cls and the arguments. Answers the
 * box made, or NULL. */
KEL_API box *patcher_newdefault(patcher *p, long x, long y, symbol *cls, long argc, atom *argv);

KEL_END_C

#endif /* KEL_PATCHER_H */
