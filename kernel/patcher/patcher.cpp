// The patcher object: its class, making and finishing patchers (`vpatcher`,
// `pop`), the window state the headless window layer keeps, the open
// windows, freeing, and the list of live patchers.
#include "kernel/patcher/patcher.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/files/collective.h"
#include "kernel/patcher/loadbang.h"
#include "kernel/patcher/patcher_kept.h"
#include "kernel/patcher/patcher_names.h"
#include "kernel/patcher/patcher_script.h"

namespace kel {

// Boxes by number. by_age is oldest first, so box number n (newest first)
// is by_age[size - 1 - n]; it is built from the list when first used, and
// again after a box leaves or memory for it ran out.
struct box_index {
    std::vector<box *> by_age;
    bool valid = false;
};

namespace {

kel_class *g_patcher_class = nullptr;
patcher *g_live = nullptr;         // every live patcher, newest first
std::vector<patcher *> g_windows;  // open windows, front first
patcher *g_active = nullptr;       // g_windows' front as last reported to the active objects
building_state g_building;
unsigned long g_patcher_serial = 0;

// Where and how large the window layer makes a patcher that nothing sized.
constexpr short default_left = 20, default_top = 74;
constexpr short default_width = 600, default_height = 400;

short to_short(long v)
{
    if (v > 32767) return 32767;
    if (v < -32768) return -32768;
    return static_cast<short>(v);
}

void live_link(patcher *p)
{
    p->live_prev = nullptr;
    p->live_next = g_live;
    if (g_live) g_live->live_prev = p;
    g_live = p;
}

void live_unlink(patcher *p)
{
    if (p->live_prev)
        p->live_prev->live_next = p->live_next;
    else if (g_live == p)
        g_live = p->live_next;
    if (p->live_next) p->live_next->live_prev = p->live_prev;
    p->live_prev = p->live_next = nullptr;
}

// Leaves the index invalid (or absent) when memory for it ran out.
void index_rebuild(patcher *p)
{
    if (!p->index) p->index = new (std::nothrow) box_index;
    if (!p->index) return;
    p->index->by_age.clear();
    try {
        for (box *b = p->boxes; b; b = b->next) p->index->by_age.push_back(b);
    } catch (const std::bad_alloc &) {
        p->index->valid = false;
        return;
    }
    std::reverse(p->index->by_age.begin(), p->index->by_age.end());
    p->index->valid = true;
}

// --- constructors of the creation object ---

void *vpatcher_new(long left, long top, long right, long bottom, long)
{
    building_state &bs = building();
    if (bs.load_abort) return nullptr;
    patcher *p = bs.pending_patcher;
    if (p) {
        bs.pending_patcher = nullptr;
        p->window.left = to_short(left);
        p->window.top = to_short(top);
        p->window.right = to_short(right);
        p->window.bottom = to_short(bottom);
    } else {
        p = patcher_make(to_short(left), to_short(top), to_short(right), to_short(bottom));
    }
    if (!p) return nullptr;
    bindings().P->thing = &p->header;
    return p;
}

// `patcher` and `p` typed in an object box: an empty patcher in an open
// window of the default size.
void *patcher_new(symbol *)
{
    if (building().load_abort) return nullptr;
    patcher *p = patcher_make(default_left, default_top, default_left + default_width, default_top + default_height);
    if (p) patcher_show(p, true);
    return p;
}

// --- methods ---

void *patcher_pop_method(patcher *p, long show) { return patcher_pop(p, show); }

// `patcher` and `p` sent to a patcher: its window title.
void *patcher_title_method(patcher *p, symbol *, long argc, atom *argv)
{
    if (argc <= 0) {
        p->window.title = gensym("sub patch");
        return nullptr;
    }
    long length = atoms_totext_bounded(nullptr, 0, argc, argv);
    std::vector<char> text;
    try {
        text.resize(static_cast<size_t>(length) + 1);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);  // the title stays as it was
        return nullptr;
    }
    atoms_totext_bounded(text.data(), length + 1, argc, argv);
    size_t n = std::strlen(text.data());
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
    p->window.title = gensym(text.data());
    return nullptr;
}

void *patcher_window_method(patcher *p, symbol *, long argc, atom *argv)
{
    static symbol *const setfont = gensym("setfont"), *const linecount = gensym("linecount"),
                         *const size = gensym("size");
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("patcher: window: bad arguments");
        return nullptr;
    }
    symbol *keyword = argv[0].word.w_sym;
    if (keyword == setfont) {
        if (argc < 3 || argv[1].type != ATYPE_SYM || (argv[2].type != ATYPE_LONG && argv[2].type != ATYPE_FLOAT)) {
            error("patcher: window: bad arguments");
            return nullptr;
        }
        p->setfont_name = argv[1].word.w_sym;
        p->setfont_size = to_short(atom_getlong(&argv[2]));
    } else if (keyword == linecount) {
        if (argc < 2 || (argv[1].type != ATYPE_LONG && argv[1].type != ATYPE_FLOAT)) {
            error("patcher: window: bad arguments");
            return nullptr;
        }
        long n = atom_getlong(&argv[1]);
        p->load_linecount = to_short(n < 1 ? 1 : n);
    } else if (keyword == size) {
        // The window's rectangle: left top right bottom (thispatcher's saved
        // window lines).
        if (argc < 5) {
            error("patcher: window: bad arguments");
            return nullptr;
        }
        for (long k = 1; k < 5; k++) {
            if (argv[k].type != ATYPE_LONG && argv[k].type != ATYPE_FLOAT) {
                error("patcher: window: bad arguments");
                return nullptr;
            }
        }
        p->window.left = to_short(atom_getlong(&argv[1]));
        p->window.top = to_short(atom_getlong(&argv[2]));
        p->window.right = to_short(atom_getlong(&argv[3]));
        p->window.bottom = to_short(atom_getlong(&argv[4]));
    }
    // Every other keyword is a setting of the window layer, which keeps
    // nothing of it here.
    return nullptr;
}

void *patcher_origin_method(patcher *p, long x, long y)
{
    p->origin_x = to_short(x);
    p->origin_y = to_short(y);
    return nullptr;
}

void *patcher_setbglock_method(patcher *p, long flag)
{
    p->bglock = flag != 0;
    return nullptr;
}

void *patcher_filename_method(patcher *p, symbol *name, long path, long form)
{
    patcher_set_file(p, name, static_cast<short>(path), static_cast<short>(form));
    return nullptr;
}

void *patcher_front_method(patcher *p)
{
    patcher_show(p, true);
    return nullptr;
}

// A double-click on a subpatcher opens its window.
void *patcher_dblclick_method(patcher *p)
{
    patcher_show(p, true);
    return nullptr;
}

// Enables or disables the MIDI objects of p and of every subpatcher in it.
void patcher_setrock(patcher *p, bool enabled)
{
    p->rock_disabled = !enabled;
    for (box *b = p->boxes; b; b = b->next)
        if (is_patcher(b->obj) && b->obj != &p->header) patcher_setrock(reinterpret_cast<patcher *>(b->obj), enabled);
}

void *patcher_setrock_method(patcher *p, long enabled)
{
    patcher_setrock(p, enabled != 0);
    return nullptr;
}

void *patcher_invis_method(patcher *p)
{
    if (!p->window.visible) return nullptr;
    patcher_show(p, false);
    patcher_closebang(p);
    return nullptr;
}

void *patcher_loadbang_method(patcher *p)
{
    patcher_loadbang(p);
    return nullptr;
}

// A collective opened p as one of its start-up patchers: p remembers its id
// and whether the application may close it (a window matter; headless, it is
// only recorded).
void *patcher_frontcoll_method(patcher *p, object *collective, long cant_close)
{
    p->collective = collective_id_of(collective);
    p->cant_close = cant_close != 0;
    return nullptr;
}

// A patcher in a box is that box's one subpatcher.
void *patcher_subpatcher_method(patcher *p, long index, void *) { return index == 0 ? p : nullptr; }

void *patcher_parentpatcher_method(patcher *p) { return patcher_parentpatcher(p); }

void patcher_free_method(patcher *p)
{
    p->freeing = true;
    patcher_freebang(p);
    patcher_closebang(p);
    if (object_valid(p->owner_object))
        if (kel_method pclose = zgetfn(p->owner_object, gensym("pclose"))) call_pclose(pclose, p->owner_object, p);
    while (p->cords) cord_free(p, p->cords);
    while (p->boxes) patcher_deleteobj(p, p->boxes);
    boxnames_patcher_free(p);
    patcher_kept_free(p);
    patcher_show(p, false);

    const binding_symbols &b = bindings();
    if (b.P->thing == &p->header) b.P->thing = p->parent ? &p->parent->header : nullptr;
    if (g_newest_object == &p->header) g_newest_object = nullptr;
    building_state &bs = building();
    if (bs.pending_patcher == p) bs.pending_patcher = nullptr;
    loadbang_queue_remove(p);
    patcher_activate_forget(p);
    // The patchers inside p's boxes are gone already; any other that names
    // p as its parent forgets it.
    for (patcher *q = g_live; q && p->live_children > 0; q = q->live_next) {
        if (q->parent == p) {
            q->parent = nullptr;
            p->live_children--;
        }
    }
    if (p->parent) p->parent->live_children--;
    live_unlink(p);
    delete p->index;
    p->index = nullptr;
}

}  // namespace

const binding_symbols &bindings()
{
    static const binding_symbols symbols{gensym("#N"), gensym("#P"), gensym("#B"), gensym("#X")};
    return symbols;
}

building_state &building() { return g_building; }

kel_class *patcher_class()
{
    if (g_patcher_class) return g_patcher_class;
    kel_class *c =
        class_new("patcher", nullptr, reinterpret_cast<kel_method>(&patcher_free_method), sizeof(patcher), nullptr, 0);
    if (!c) return nullptr;
    // A patcher's inlets are all its inlet boxes': it has no leftmost inlet
    // of its own.
    c->noinlet = 1;
    auto add = [c](auto fn, const char *name, auto... types) {
        class_addmethod(c, reinterpret_cast<kel_method>(fn), name, static_cast<int>(types)..., 0);
    };
    add(&patcher_pop_method, "pop", ATYPE_DEFLONG);
    add(&patcher_title_method, "patcher", ATYPE_GIMME);
    add(&patcher_title_method, "p", ATYPE_GIMME);
    add(&patcher_window_method, "window", ATYPE_GIMME);
    add(&patcher_origin_method, "origin", ATYPE_LONG, ATYPE_LONG);
    add(&patcher_setbglock_method, "setbglock", ATYPE_LONG);
    add(&patcher_filename_method, "filename", ATYPE_SYM, ATYPE_LONG, ATYPE_DEFLONG);
    add(&patcher_front_method, "front");
    add(&patcher_front_method, "vis");
    add(&patcher_invis_method, "invis");
    add(&patcher_invis_method, "wclose");
    add(&patcher_dblclick_method, "dblclick");
    add(&patcher_setrock_method, "setrock", ATYPE_LONG);
    add(&patcher_loadbang_method, "loadbang");
    add(&patcher_frontcoll_method, "frontcoll", ATYPE_OBJ, ATYPE_LONG);
    add(&patcher_subpatcher_method, "subpatcher", ATYPE_CANT);
    add(&patcher_parentpatcher_method, "parentpatcher", ATYPE_CANT);
    patcher_boxes_addmethods(c);
    patcher_cords_addmethods(c);
    patcher_save_addmethods(c);
    patcher_script_addmethods(c);
    if (class_register(sym_nobox, c) != ERR_NONE) {
        class_free(c);
        return nullptr;
    }
    g_patcher_class = c;
    creation_provide("vpatcher", reinterpret_cast<kel_method>(&vpatcher_new));
    creation_provide("patcher", reinterpret_cast<kel_method>(&patcher_new));
    creation_provide("p", reinterpret_cast<kel_method>(&patcher_new));
    return c;
}

bool is_patcher(const void *x) { return g_patcher_class && object_class(const_cast<void *>(x)) == g_patcher_class; }

patcher *patcher_make(short left, short top, short right, short bottom)
{
    building_state &bs = building();
    object *current = bindings().P->thing;
    patcher *parent = is_patcher(current) ? reinterpret_cast<patcher *>(current) : nullptr;
    const int depth = parent ? parent->depth + 1 : 1;
    if (depth > patcher_depth_max) {
        // Reported once for a load: every deeper level fails the same way.
        if (!bs.load_abort) {
            const char *file = patcher_loading_file();
            error("%s: patchers nested too deep", file ? file : "patcher");
        }
        if (patcher_loading()) bs.load_abort = 2;
        return nullptr;
    }
    kel_class *c = patcher_class();
    auto *p = c ? static_cast<patcher *>(object_alloc(c)) : nullptr;
    if (!p) {
        if (patcher_loading()) bs.load_abort = 1;
        return nullptr;
    }
    // Everything after the object header starts cleared.
    std::memset(reinterpret_cast<char *>(p) + sizeof(object), 0, sizeof(patcher) - sizeof(object));
    p->window.left = left;
    p->window.top = top;
    p->window.right = right;
    p->window.bottom = bottom;
    p->parent = parent;
    if (parent) parent->live_children++;
    p->depth = depth;
    p->path = bs.load_path;
    p->paste_x = bs.paste_x;
    p->paste_y = bs.paste_y;
    bs.paste_x = bs.paste_y = 0;
    p->save_font_number = -1;
    p->save_linecount = 1;
    p->load_linecount = 1;
    p->creation_box = bindings().B->thing;
    p->serial = ++g_patcher_serial;
    live_link(p);
    return p;
}

patcher *patcher_pop(patcher *p, long show)
{
    const binding_symbols &b = bindings();
    building_state &bs = building();
    b.P->thing = p->parent ? &p->parent->header : nullptr;
    b.B->thing = object_valid_checked(p->creation_box) ? p->creation_box : nullptr;
    if (show && !bs.load_abort) patcher_show(p, true);
    bs.paste_x = p->paste_x;
    bs.paste_y = p->paste_y;
    p->paste_x = p->paste_y = 0;
    p->setfont_name = nullptr;
    p->setfont_size = 0;
    if (p->reorder_pending) {
        try {
            patcher_reorder_outlets(p);
        } catch (const std::bad_alloc &) {
            memory_set_low(true);  // the order stays as the cords were made
        }
    }
    loadbang_queue_push(p);
    g_newest_object = &p->header;
    return p;
}

box *patcher_box_at(patcher *p, long n)
{
    if (!p || n < 0) return nullptr;
    if (!p->index || !p->index->valid) index_rebuild(p);
    if (!p->index || !p->index->valid) {  // no memory for the index: walk the list
        box *b = p->boxes;
        for (; b && n > 0; n--) b = b->next;
        return b;
    }
    const auto &v = p->index->by_age;
    if (n >= static_cast<long>(v.size())) return nullptr;
    return v[v.size() - 1 - static_cast<size_t>(n)];
}

long patcher_box_count(patcher *p)
{
    if (p->index && p->index->valid) return static_cast<long>(p->index->by_age.size());
    long n = 0;
    for (box *b = p->boxes; b; b = b->next) n++;
    return n;
}

void patcher_index_add(patcher *p, box *b)
{
    if (!p->index) p->index = new (std::nothrow) box_index;
    if (!p->index) return;
    if (!p->index->valid) return;  // rebuilt on next use, with b in it
    try {
        p->index->by_age.push_back(b);
    } catch (const std::bad_alloc &) {
        p->index->valid = false;
    }
}

void patcher_index_drop(patcher *p)
{
    p->changes++;
    if (p->index) p->index->valid = false;
}

const char *patcher_title(patcher *p)
{
    return p && p->window.title && p->window.title->name ? p->window.title->name : "";
}

void patcher_set_file(patcher *p, symbol *name, short path, short form)
{
    p->filename = name;
    p->path = path;
    p->file_form = form;
    if (name) p->window.title = name;
}

void patcher_mark_from_file(patcher *p)
{
    p->from_file = true;
    for (box *b = p->boxes; b; b = b->next)
        if (is_patcher(b->obj)) patcher_mark_from_file(reinterpret_cast<patcher *>(b->obj));
}

void patcher_show(patcher *p, bool visible)
{
    for (auto it = g_windows.begin(); it != g_windows.end(); ++it) {
        if (*it == p) {
            g_windows.erase(it);
            break;
        }
    }
    p->window.visible = visible;
    if (visible) {
        try {
            g_windows.insert(g_windows.begin(), p);
        } catch (const std::bad_alloc &) {
            memory_set_low(true);  // not listed among the open windows
        }
    }
    patcher *front = g_windows.empty() ? nullptr : g_windows.front();
    if (front == g_active) return;
    patcher *was = g_active;
    g_active = front;
    // A patcher being freed has lost its boxes already: it tells no one.
    if (was && !was->freeing) patcher_activate(was, false);
    if (front && g_active == front) patcher_activate(front, true);
}

patcher *patcher_active() { return g_active; }

bool patcher_enabled(const patcher *p) { return !p->rock_disabled; }

patcher *patcher_live_first() { return g_live; }

unsigned long patcher_serial_now() { return g_patcher_serial; }

long patcher_live_count()
{
    long n = 0;
    for (patcher *p = g_live; p; p = p->live_next) n++;
    return n;
}

void patcher_free_all()
{
    for (;;) {
        patcher *top = nullptr;
        for (patcher *p = g_live; p && !top; p = p->live_next)
            if (!p->container && !p->owner_object && !p->freeing) top = p;
        if (!top) break;
        freeobject(top);
    }
    loadbang_clearqueue();
}

}  // namespace kel

using namespace kel;

namespace {

// Depth-first: p, then each subpatcher of its boxes' objects. True when fn
// asked to stop.
bool each_in_tree(patcher *p, long (*fn)(patcher *, void *), void *arg)
{
    if (fn(p, arg)) return true;
    for (box *b = p->boxes; b; b = b->next) {
        if (!object_valid(b->obj) || b->obj == &b->header) continue;
        long index = 0;
        while (void *sub = object_subpatcher(b->obj, &index, arg)) {
            if (is_patcher(sub) && each_in_tree(static_cast<patcher *>(sub), fn, arg)) return true;
            if (index > 255) break;  // an object answering forever
        }
    }
    return false;
}

}  // namespace

KEL_API void patcher_eachdo(long (*fn)(patcher *p, void *arg), void *arg)
{
    if (!fn) return;
    guarded("patcher_eachdo", [&] {
        const std::vector<patcher *> windows = g_windows;  // fn may open or close windows
        for (patcher *p : windows) {
            bool open = false;
            for (patcher *q : g_windows) open = open || q == p;
            if (open) each_in_tree(p, fn, arg);
        }
    });
}

KEL_API patcher *patcher_parentpatcher(patcher *p)
{
    if (!p) return nullptr;
    if (p->container && p->container->owner) return p->container->owner;
    if (object_valid(p->owner_object))
        if (kel_method fn = zgetfn(p->owner_object, gensym("parentpatcher")))
            return static_cast<patcher *>(call_query(fn, p->owner_object));
    return nullptr;
}

KEL_API void patcher_dirty(patcher *) {}

KEL_API long ispatcher(void *x) { return is_patcher(x) ? 1 : 0; }

KEL_API void *object_subpatcher(void *x, long *index, void *arg)
{
    if (!index || !object_valid(x)) return nullptr;
    kel_method fn = zgetfn(x, gensym("subpatcher"));
    if (!fn) return nullptr;
    void *sub = call_subpatcher(fn, x, *index, arg);
    (*index)++;
    return sub;
}
