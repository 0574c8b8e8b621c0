// Patchers: the patcher, box and cord records, and what the patcher modules
// (patcher, patcher_boxes, patcher_cords, patcher_load, patcher_save) share.
//
// Invariants:
//   - a patcher's box list is newest first and every box on it has owner ==
//     that patcher; box number n (as connect lines count) is the n-th box of
//     the list from its head;
//   - its cord list is newest first; every cord is also on its source box's
//     out list and its destination box's in list, and exists exactly as long
//     as the outlet connection it draws (made after it, removed before it);
//   - an outlet's connection list is kept in the order of its cords' inlet
//     ends: larger x first, for equal x larger y first, for equal points the
//     older cord first. Connections that no cord draws (made by objects
//     themselves) stay at the front;
//   - the inlets of a patcher object (its container box's inlets) are kept in
//     the order of the left edges of its inlet boxes, and its outlets in that
//     of its outlet boxes.
#pragma once

#include <string>

#include <cstdint>

#include "kel/base.h"
#include "kel/binbuf.h"
#include "kel/patcher.h"

struct patchcord {
    patchcord *next;  // the owner's list, newest first
    patchcord *prev;
    patchcord *next_out;  // the source box's out list
    patchcord *next_in;   // the destination box's in list
    box *src;
    box *dst;
    short outlet;
    short inlet;
    short npoints;  // segments: 1 for a straight cord, bend points + 1
    short x[12];    // start point, bend points, end point
    short y[12];
    uint8_t color;
    bool hidden;
    unsigned long serial;  // creation order, for cords with equal end points
};

namespace kel {

inline constexpr int cord_points_max = 12;
inline constexpr int cord_bends_max = cord_points_max - 2;

// What the headless window layer keeps of a patcher's window.
struct patcher_window {
    short left, top, right, bottom;  // screen pixels
    symbol *title;
    bool visible;
};

struct box_index;
struct patcher_names;

}  // namespace kel

struct patcher {
    object header;
    kel::patcher_window window;
    box *boxes;        // newest first
    patchcord *cords;  // newest first
    patcher *parent;   // the patcher being built when this one was made
    box *container;    // the box in another patcher whose object this is
    object *owner_object;
    short path;            // the folder of the file it was loaded from (0: none)
    symbol *filename;      // that file's name, or null
    short file_form;       // 0 text, 1 binary, 2 binary decoded directly
    bool damaged;          // read only in part from that file: saving over it keeps the original beside it
    bool cut_short;        // that file ended inside a patcher: what it built is kept, but it is not the whole patch
    int depth;             // 1 for a top-level patcher, its parent's + 1 for one made inside it
    bool reorder_pending;  // cords made while it loaded: their outlets are put in order when it is popped
    short origin_x, origin_y;
    bool bglock;
    bool from_file;  // an abstraction, or inside one: saved as its file's name
    bool freeing;
    bool skip_closebang;
    bool freebang_done;
    bool loadbang_queued;               // it waits in the loadbang queue
    bool loadbang_served;               // it has received loadbang at least once
    unsigned long loadbang_generation;  // the generation of the last one
    // The saver's state within one save.
    short save_font_number, save_font_size, save_linecount;
    // The loader's state: the `window setfont` and `window linecount` in force.
    symbol *setfont_name;
    short setfont_size;
    short load_linecount;
    short paste_x, paste_y;     // the kernel paste offsets when the patcher was made
    object *creation_box;       // #B when the patcher was made, restored by pop
    unsigned long changes;      // bumped whenever a box leaves the list
    kel::box_index *index;      // boxes by number; rebuilt when boxes leave
    kel::patcher_names *names;  // box names: namespace and watchers (patcher_names.cpp); null until used
    bool scripting;             // a `script` command is making a box (new, replace, newdefault)
    unsigned long serial;       // creation order among all patchers
    patcher *live_prev, *live_next;
    long live_children;  // live patchers whose parent this is
    short collective;    // the id of the collective that opened it as a start-up patcher (frontcoll), or 0
    bool cant_close;     // ... and said it may not be closed
    bool rock_disabled;  // `setrock 0` switched off the MIDI objects in it (and in its subpatchers)
};

namespace kel {

// --- the patcher object (patcher.cpp) ---

kel_class *patcher_class();
bool is_patcher(const void *x);

// The symbols the loader binds.
struct binding_symbols {
    symbol *N, *P, *B, *X;
};
const binding_symbols &bindings();

// The kernel-wide building state (one per process, main thread only).
struct building_state {
    bool hidden_mode = false;
    short paste_x = 0, paste_y = 0;      // added to every new box
    short load_abort = 0;                // set when memory ran out during a load
    patcher *pending_patcher = nullptr;  // taken by the next vpatcher
    short load_path = 0;                 // the folder of the file being loaded
    // Boxes one load may make, abstractions' included: a document that
    // would make more is refused before it exhausts memory.
    long load_boxes_max = 10'000'000;
    long load_boxes = 0;  // made so far by the load in progress
};
building_state &building();

// A new, empty patcher with that window rectangle, made as `vpatcher` makes
// one (parent: the current patcher). Null when memory ran out.
patcher *patcher_make(short left, short top, short right, short bottom);
// The n-th box from the newest (0), or null.
box *patcher_box_at(patcher *p, long n);
// The number of boxes in p.
long patcher_box_count(patcher *p);
// A box is joining or leaving p's list.
void patcher_index_add(patcher *p, box *b);
void patcher_index_drop(patcher *p);
// Finishes p as `pop` does.
patcher *patcher_pop(patcher *p, long show);
// The window title as text ("" when none).
const char *patcher_title(patcher *p);
// The folder and name of the file p comes from, set after loading.
void patcher_set_file(patcher *p, symbol *name, short path, short form);
// Marks p and every subpatcher in it as loaded from a file.
void patcher_mark_from_file(patcher *p);
// Shows p's window (puts it at the front of the open windows) or hides it.
// The front visible window is the active one: when that changes, the
// patcher losing it and the one gaining it tell their `active` objects.
void patcher_show(patcher *p, bool visible);
// The patcher whose window is active, or null.
patcher *patcher_active();
// Whether the MIDI objects in p are enabled (`setrock`); true by default.
bool patcher_enabled(const patcher *p);
// Every live patcher, newest first (live_next), and how many there are.
patcher *patcher_live_first();
long patcher_live_count();
// The serial of the newest patcher made so far (0 before any).
unsigned long patcher_serial_now();
// Frees every top-level patcher (those in no box and owned by no object);
// with them goes everything they contain. Called at shutdown.
void patcher_free_all();

// --- boxes (patcher_boxes.cpp) ---

void patcher_boxes_addmethods(kel_class *c);
bool is_newobj_box(const void *x);
// An inlet or outlet box of a subpatcher.
bool is_port_box(const void *x);
// The name of the `window setfont` line in force in p, when it names the
// font of this font word (the saver writes it back), else null.
symbol *patcher_font_name(patcher *p, long font_word);
// The box's text (object boxes, comments, message boxes), or null.
atombuf *box_text(box *b);
// Outlet n (0 leftmost) and inlet n (as connect lines number them) of x;
// null when missing. Counts of both.
outlet *object_outlet_at(object *x, long n);
object *object_inlet_at(object *x, long n);
long object_outlet_count(object *x);
long object_inlet_count(object *x);  // the leftmost one included when the class has it
// A placeholder grows outlets or inlets until n exists (at the right end,
// so numbers of existing ones stay). False when memory ran out.
bool placeholder_grow_outlets(object *x, long n);
bool placeholder_grow_inlets(object *x, long n);
// Leaves the patcher: cords freed, the box's container inlet or outlet
// removed, off the list, no symbol left bound to it. Idempotent.
void box_detach(box *b);
// The box holding x in p (x itself when it is a box of p), or null.
box *patcher_box_of(patcher *p, object *x);
// Replaces an object box's text and re-creates its object, keeping the
// cords the new object has outlets and inlets for.
void newex_retext(box *b, long argc, atom *argv);
// The placeholder of a box whose class was unknown keeps the lines that came
// with it ("#N class args;" and its "#X" data lines), to write them back.
void newobj_keep_lines(box *b, binbuf *lines);
binbuf *newobj_kept_lines(box *b);
// Gives b a placeholder object (it accepts every message, and grows the
// outlets and inlets cords ask for), as for a box whose class is unknown.
void box_attach_placeholder(box *b);
// An object whose class has the method `openports` (ATYPE_CANT, never
// called) grows outlets and inlets for cords as a placeholder does: a class
// whose ports are not known accepts the cords of the files that use it.
bool object_opens_ports(object *x);
// The description of inlet n (outlet n when is_outlet) of p: the text
// of the "#N comlet" line kept before its inlet (outlet) box, or null.
symbol *patcher_port_description(patcher *p, bool is_outlet, long n);

// A box kind of a module above the patcher (the message box, button,
// number, ...) registers here at start-up; until then such boxes are kept
// with their layout, and saved again unchanged.
struct box_kind {
    // Makes the box from the arguments of its patcher line (for the text
    // kinds, after the patcher checked the four layout numbers) and answers
    // it, in p's list; null when it could not be made.
    box *(*make)(patcher *p, symbol *kind, long argc, atom *argv) = nullptr;
    // The kind's box class, and its boxes' text for box_text (both may be
    // null: a kind without text).
    kel_class *box_class = nullptr;
    atombuf *(*text)(box *b) = nullptr;
    // The box line holds the colour index: no "#B color" line follows it.
    bool saves_color = false;
};
void patcher_register_box_kind(symbol *kind, const box_kind &kind_record);
// True when b's class is that of a kind whose line holds the colour index.
bool box_saves_own_color(box *b);

// The object a box shows is going: the box leaves its patcher (x: the
// object it shows, or the box itself), or an object box is about to free
// its object to make a new one. Called before anything is freed, so that
// what holds the object by pointer lets go of it. One watcher (presets).
using object_leaving_fn = void (*)(patcher *p, box *b, object *x);
void patcher_set_object_leaving(object_leaving_fn fn);

// The four numbers that begin the text-box kinds: left, top, width, font.
bool text_box_layout(long argc, const atom *argv, long out[4]);

// Box names: the seam for the box-name module. `objectname` lines call set;
// the saver asks get; a box leaving its patcher calls remove. Re-creating an
// object box calls object_leaving before its old object is freed and
// object_arrived once the new one is in place, so that whatever follows the
// box's name lets go of the old object in time. Until the module installs its
// own, names are only kept, so that they are saved again.
struct box_naming {
    void (*set)(patcher *p, box *b, symbol *name);
    symbol *(*get)(patcher *p, box *b);
    void (*remove)(patcher *p, box *b);
    void (*object_leaving)(patcher *p, box *b);
    void (*object_arrived)(patcher *p, box *b);
};
void patcher_set_box_naming(const box_naming &naming);
const box_naming &patcher_box_naming();

// Window-layer operations on a box that scripting uses. Moving keeps the
// size; moving or resizing re-lays the box's cords (and so the delivery order
// of the outlets feeding it); moving an inlet or outlet box re-sorts its
// patcher's inlets or outlets by the boxes' left edges, renumbering the cords
// of the container box to match.
void box_move(box *b, long left, long top);
void box_resize(box *b, long width, long height);
// Front: b becomes the newest box of its patcher (drawn last); back: the
// oldest. Box numbers, loadbang order and the save order follow the list.
void box_order(box *b, bool front);
// Puts b (just made, at the head of the list) where older stands: directly
// before it, so that once older leaves, b has older's place.
void box_take_place(box *b, box *older);

// --- cords (patcher_cords.cpp) ---

void patcher_cords_addmethods(kel_class *c);
// The connection step of connect, fasten and hook; the cord made, or null.
patchcord *patcher_connect_boxes(patcher *p, box *src, long outn, box *dst, long inn, bool check, long flags);
// Removes a cord and the connection it draws.
void cord_free(patcher *p, patchcord *c);
// The cord drawing that connection, or null.
patchcord *cord_find(box *src, long outn, box *dst, long inn);
// Recomputes the end points of every cord at b and re-sorts the outlets
// whose order may have changed (b's inlets or outlets changed).
void box_relayout(box *b);
// Rebuilds the delivery order of outlet n of src's object from its cords.
void outlet_reorder(box *src, long n);
// The inlet end of the cord that would enter inlet n of b (its x, y).
void cord_end_point(box *b, long n, short *x, short *y);
// Cords entering b at inlet `from` or to its right are renumbered by delta
// (an inlet was added or removed on the left of them); likewise for outlets.
void cords_shift_inlets(box *b, long from, long delta);
void cords_shift_outlets(box *b, long from, long delta);

// --- loading (patcher_load.cpp) ---

// True while a file is being loaded (the outermost load and any nested one).
bool patcher_loading();
// Puts the connections of every outlet of p's boxes that has cords in the
// order of their cords (what each cord made while p loaded left for later).
void patcher_reorder_outlets(patcher *p);
// "FILE:LINE: " for the line of a text patcher file being loaded now, for
// the reports of what that line could not do; empty outside a load and for
// binary files.
std::string patcher_load_position();
// The file being loaded now (innermost), or null.
const char *patcher_loading_file();
// The file whose load began the loads in progress (outermost), or null.
const char *patcher_loading_document();

// The deepest a patcher may be nested inside others (subpatchers and
// abstractions alike): the walks over patchers (saving, freeing, loadbang,
// names) recurse once per level, so a deeper file is refused when it loads.
inline constexpr int patcher_depth_max = 512;
// Takes the lines kept for an `#N` line whose object could not be made
// (null when there are none), for the placeholder of the next `newobj`. The
// `newobj` box answers from then on for what the line made, if anything.
binbuf *load_take_pending_lines();
// True while an "#N" line of a file is making its object (not while a
// box's text makes one).
bool load_making_record();
// Installs the abstraction loader in the creation object.
void patcher_load_init();

// --- saving (patcher_save.cpp) ---

void patcher_save_addmethods(kel_class *c);
// The serial of the save in progress (or the last one): each whole save of
// a patcher counts one.
unsigned long patcher_save_serial();
// Writes "#P window setfont" when the font of font_word differs from the
// last one written in p. name: the font's name as the file gave it (null:
// the name of its number).
void patcher_save_font(patcher *p, binbuf *dest, long font_word, symbol *name);
// The head of a box line: "#P" [hidden] [user] kind, then the integers.
// Answers the atom count written into head (room for 16).
long box_line_head(box *b, bool user, symbol *kind, long nints, const long *ints, atom *head);
// Appends atoms as one message: "#" symbols become $ arguments again, as
// binbuf_insert does, but with no limit on the count. False when dest
// could not grow.
bool save_message(binbuf *dest, long argc, const atom *argv);
// The patcher's saveto: "kel v2;", patcher_save, binbuf_write. 0, or 1
// after the failure was reported.
long patcher_write(patcher *p, const char *name, short path, short binary);

// --- font words ---

struct font_of_box {
    short number;
    short size;
};
font_of_box font_word_decode(long font_word);

}  // namespace kel
