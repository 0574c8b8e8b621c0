// Boxes: the box head, the kernel's box classes (object boxes, comments,
// inlet and outlet boxes, boxes kept by their layout, the placeholder
// object), the patcher messages that add boxes, re-creating an object box
// from new text, and detaching and freeing boxes.
//
// An object box evaluates its text as a message to the creation object and
// shows whatever that made; when nothing was made, a placeholder object
// stands in. The placeholder accepts every message and grows the outlets and
// inlets that cords ask for, so that a patch whose classes are missing here
// still loads, and saves again, with every box and cord.
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/binding_scope.h"
#include "kernel/core/classes.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_kept.h"
#include "kernel/patcher/patcher_records.h"
#include "kernel/wires/outlets.h"

namespace kel {
namespace {

kel_class *g_newobj_class = nullptr;
kel_class *g_comment_class = nullptr;
kel_class *g_kept_class = nullptr;
kel_class *g_inlet_box_class = nullptr;
kel_class *g_outlet_box_class = nullptr;
kel_class *g_bogus_class = nullptr;

std::vector<std::pair<symbol *, box_kind>> g_box_kinds;
object_leaving_fn g_object_leaving = nullptr;

constexpr short text_box_height = 15;
constexpr short default_port_size = 15;

short to_short(long v)
{
    if (v > 32767) return 32767;
    if (v < -32768) return -32768;
    return static_cast<short>(v);
}

bool is_number(const atom &a) { return a.type == ATYPE_LONG || a.type == ATYPE_FLOAT; }

void out_of_memory_while_loading()
{
    if (patcher_loading()) building().load_abort = 1;
}

// --- box names: the default keeper until the box-name module arrives ---

std::unordered_map<box *, symbol *> g_names;

void default_name_set(patcher *, box *b, symbol *name)
{
    if (!name || name == sym_empty) return;
    try {
        g_names[b] = name;
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
}

symbol *default_name_get(patcher *, box *b)
{
    auto it = g_names.find(b);
    return it == g_names.end() ? nullptr : it->second;
}

void default_name_remove(patcher *, box *b) { g_names.erase(b); }

box_naming g_naming{&default_name_set, &default_name_get, &default_name_remove, nullptr, nullptr};

// --- the placeholder object ---

void *bogus_accept(object *) { return nullptr; }
void *bogus_accept_int(object *, long) { return nullptr; }
void *bogus_accept_float(object *, double) { return nullptr; }
void *bogus_accept_gimme(object *, symbol *, long, atom *) { return nullptr; }

kel_class *bogus_class()
{
    if (g_bogus_class) return g_bogus_class;
    kel_class *c = class_new("bogus", nullptr, nullptr, sizeof(object), nullptr, 0);
    if (!c) return nullptr;
    class_addmethod(c, reinterpret_cast<kel_method>(&bogus_accept), "bang", 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&bogus_accept_int), "int", ATYPE_LONG, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&bogus_accept_float), "float", ATYPE_FLOAT, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&bogus_accept_gimme), "list", ATYPE_GIMME, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&bogus_accept_gimme), "anything", ATYPE_GIMME, 0);
    class_register(sym_nobox, c);
    g_bogus_class = c;
    return c;
}

// Attaches a placeholder to b (nothing when memory ran out).
void attach_placeholder(box *b)
{
    kel_class *c = bogus_class();
    b->obj = c ? static_cast<object *>(object_alloc(c)) : nullptr;
    b->flags |= BOX_FLAG_PLACEHOLDER;
    if (!b->obj) out_of_memory_while_loading();
}

void attach_object(box *b, object *x)
{
    b->obj = x;
    b->flags &= static_cast<unsigned short>(~BOX_FLAG_PLACEHOLDER);
    if (is_patcher(x)) reinterpret_cast<patcher *>(x)->container = b;
}

// --- the box classes' common methods ---

void *box_color_method(box *b, long n)
{
    b->flags = static_cast<unsigned short>((b->flags & ~BOX_COLOR_MASK) | ((n & 0xF) << BOX_COLOR_SHIFT));
    return nullptr;
}

void newobj_free(newobj_box *nb)
{
    box_detach(&nb->b);
    object *x = nb->b.obj;
    nb->b.obj = nullptr;
    if (x && x != &nb->b.header && object_valid(x)) freeobject(x);
    if (nb->text) atombuf_free(nb->text);
    nb->text = nullptr;
    if (nb->kept) freeobject(nb->kept);
    nb->kept = nullptr;
}

void comment_free(comment_box *cb)
{
    box_detach(&cb->b);
    if (cb->text) atombuf_free(cb->text);
    cb->text = nullptr;
}

void kept_free(kept_box *kb)
{
    box_detach(&kb->b);
    object *x = kb->b.obj;
    kb->b.obj = nullptr;
    if (x && x != &kb->b.header && object_valid(x)) freeobject(x);
    if (kb->layout) atombuf_free(kb->layout);
    kb->layout = nullptr;
}

void port_free(port_box *pb)
{
    box_detach(&pb->b);
    if (pb->layout) atombuf_free(pb->layout);
    pb->layout = nullptr;
}

// The save methods of these classes live with the saver.
kel_class *make_box_class(const char *name, kel_method free_method, long size, bool noinlet, kel_method psave)
{
    kel_class *c = class_new(name, nullptr, free_method, size, nullptr, 0);
    if (!c) return nullptr;
    c->noinlet = noinlet ? 1 : 0;
    class_addmethod(c, reinterpret_cast<kel_method>(&box_color_method), "color", ATYPE_LONG, 0);
    class_addmethod(c, psave, "psave", ATYPE_CANT, 0);
    class_register(sym_nobox, c);
    return c;
}

kel_class *newobj_class()
{
    if (!g_newobj_class)
        g_newobj_class = make_box_class("newobj", reinterpret_cast<kel_method>(&newobj_free), sizeof(newobj_box), false,
                                        reinterpret_cast<kel_method>(&newobj_psave));
    return g_newobj_class;
}

kel_class *comment_class()
{
    if (!g_comment_class)
        g_comment_class = make_box_class("comment", reinterpret_cast<kel_method>(&comment_free), sizeof(comment_box),
                                         true, reinterpret_cast<kel_method>(&comment_psave));
    return g_comment_class;
}

kel_class *kept_class()
{
    if (!g_kept_class)
        g_kept_class = make_box_class("keptbox", reinterpret_cast<kel_method>(&kept_free), sizeof(kept_box), true,
                                      reinterpret_cast<kel_method>(&kept_psave));
    return g_kept_class;
}

kel_class *inlet_box_class()
{
    if (!g_inlet_box_class)
        g_inlet_box_class = make_box_class("patchinlet", reinterpret_cast<kel_method>(&port_free), sizeof(port_box),
                                           true, reinterpret_cast<kel_method>(&port_psave));
    return g_inlet_box_class;
}

kel_class *outlet_box_class()
{
    if (!g_outlet_box_class)
        g_outlet_box_class = make_box_class("patchoutlet", reinterpret_cast<kel_method>(&port_free), sizeof(port_box),
                                            true, reinterpret_cast<kel_method>(&port_psave));
    return g_outlet_box_class;
}

// A new box record of class c in p, with every field after the head
// cleared; null (and the load-abort flag when loading) when memory ran out.
template <class T> T *alloc_box(kel_class *c, patcher *p, long flags, long left, long top, long right, long bottom)
{
    auto *x = c ? static_cast<T *>(object_alloc(c)) : nullptr;
    if (!x) {
        out_of_memory_while_loading();
        return nullptr;
    }
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(T) - sizeof(object));
    box_new(&x->b, p, flags, to_short(left), to_short(top), to_short(right), to_short(bottom));
    return x;
}

// --- object boxes ---

// An object that a box already shows is never taken by a second box: a
// patcher in a box has its container, and a box made through the creation
// object is the newest box of p (or shows what that box shows).
bool shown_already(patcher *p, object *x)
{
    if (is_patcher(x) && reinterpret_cast<patcher *>(x)->container) return true;
    // Nor does a patcher ever go into a box inside itself (the patcher just
    // popped may still sit in the newest-object slot when a newobj message
    // arrives later, from a script).
    int depth = 0;
    for (patcher *q = p; q && depth < 256; q = patcher_parentpatcher(q), depth++)
        if (&q->header == x) return true;
    return p->boxes && (&p->boxes->header == x || p->boxes->obj == x);
}

// Evaluates the box's text as a message to the creation object and attaches
// what it made, or a placeholder.
void newobj_instantiate(patcher *p, newobj_box *nb)
{
    const binding_symbols &s = bindings();
    binding_scope patcher_binding(s.P, &p->header);
    s.B->thing = &nb->b.header;
    g_newest_object = nullptr;
    long lockout = lockout_set(1);
    // `p name...` makes an empty patcher (its constructor ignores the
    // name), which then takes the whole text as its title below.
    const bool subpatcher = nb->text && (atombuf_misc(nb->text) & 1);
    if (subpatcher)
        typedmess(creation_object(), nb->text->argv[0].word.w_sym, 0, nullptr);
    else if (nb->text && nb->text->argc > 0)
        atombuf_eval(nb->text, 0, nullptr, creation_object());
    lockout_set(lockout);
    object *made = g_newest_object;
    g_newest_object = nullptr;
    // What a constructor just answered is an object or null: the cheap
    // check of the header suffices. A box the text made for itself (a
    // message box, say) stays a box of its own.
    if (object_valid(made) && made != &nb->b.header && !shown_already(p, made)) {
        attach_object(&nb->b, made);
        // A patcher made by typing `p name` takes the name as its title.
        if (is_patcher(made) && subpatcher)
            typedmess(made, nb->text->argv[0].word.w_sym, nb->text->argc - 1, nb->text->argv + 1);
    } else {
        attach_placeholder(&nb->b);
    }
}

newobj_box *make_newobj_box(patcher *p, const long layout[4], long argc, atom *argv)
{
    short lines = p->load_linecount < 1 ? 1 : p->load_linecount;
    long height = text_box_height * (lines > 50 ? 50 : lines);
    auto *nb =
        alloc_box<newobj_box>(newobj_class(), p, 0, layout[0], layout[1], layout[0] + layout[2], layout[1] + height);
    if (!nb) return nullptr;
    nb->b.obj = nullptr;
    nb->font = static_cast<int32_t>(layout[3]);
    nb->font_name = patcher_font_name(p, nb->font);
    nb->linecount = lines;
    nb->text = atombuf_new(0, nullptr);
    if (!nb->text || atombuf_replace(&nb->text, nullptr, argc, argv) != 0) out_of_memory_while_loading();
    return nb;
}

void *patcher_newex(patcher *p, symbol *, long argc, atom *argv)
{
    long layout[4];
    if (!text_box_layout(argc, argv, layout)) {
        error("TETextBox: bad args");
        return nullptr;
    }
    if (building().load_abort) return nullptr;
    newobj_box *nb = make_newobj_box(p, layout, argc - 4, argv + 4);
    if (!nb) return nullptr;
    newobj_instantiate(p, nb);
    return nb;
}

void *patcher_newobj(patcher *p, symbol *, long argc, atom *argv)
{
    long layout[4];
    if (!text_box_layout(argc, argv, layout)) {
        error("TETextBox: bad args");
        return nullptr;
    }
    object *made = g_newest_object;
    g_newest_object = nullptr;
    const bool usable = object_valid_checked(made) && !shown_already(p, made);
    binbuf *lines = load_take_pending_lines();
    // Without a box, what the `#N` line made would belong to nothing.
    newobj_box *nb = building().load_abort ? nullptr : make_newobj_box(p, layout, argc - 4, argv + 4);
    if (!nb) {
        if (lines) freeobject(lines);
        if (usable) freeobject(made);
        return nullptr;
    }
    if (usable) {
        attach_object(&nb->b, made);
        box_take_before(&nb->b, lines);  // records kept after the "#N" line that made the object
        atombuf *text = nb->text;
        if (is_patcher(made) && text && text->argc > 0 && text->argv[0].type == ATYPE_SYM)
            typedmess(made, text->argv[0].word.w_sym, text->argc - 1, text->argv + 1);
    } else {
        attach_placeholder(&nb->b);
        nb->kept = lines;
    }
    return nb;
}

// --- message boxes and comments ---

box *make_kept_box(patcher *p, symbol *kind, bool user, long left, long top, long right, long bottom, long argc,
                   atom *argv);
const box_kind *find_box_kind(symbol *kind);

// The message box is a kind of the object layer; until it registers, its
// lines are kept with their layout.
void *patcher_message(patcher *p, symbol *kind, long argc, atom *argv)
{
    long layout[4];
    if (!text_box_layout(argc, argv, layout)) {
        error("TETextBox: bad args");
        return nullptr;
    }
    if (building().load_abort) return nullptr;
    box *b = nullptr;
    if (const box_kind *k = find_box_kind(kind))
        b = k->make(p, kind, argc, argv);
    else
        b = make_kept_box(p, kind, false, layout[0], layout[1], layout[0] + layout[2], layout[1] + text_box_height,
                          argc, argv);
    if (!b) out_of_memory_while_loading();
    return b;
}

box *make_comment(patcher *p, long argc, atom *argv)
{
    long layout[4];
    if (!text_box_layout(argc, argv, layout)) {
        error("TETextBox: bad args");
        return nullptr;
    }
    if (building().load_abort) return nullptr;
    auto *cb = alloc_box<comment_box>(comment_class(), p, 0, layout[0], layout[1], layout[0] + layout[2],
                                      layout[1] + text_box_height);
    if (!cb) return nullptr;
    cb->b.obj = nullptr;
    cb->font = static_cast<int32_t>(layout[3]);
    cb->font_name = patcher_font_name(p, cb->font);
    cb->text = atombuf_new(0, nullptr);
    if (!cb->text || atombuf_replace(&cb->text, nullptr, argc - 4, argv + 4) != 0) out_of_memory_while_loading();
    return &cb->b;
}

void *patcher_comment(patcher *p, symbol *, long argc, atom *argv) { return make_comment(p, argc, argv); }

// --- inlet and outlet boxes ---

// The box of p that stands for the patcher's inlet i (or outlet o).
port_box *inlet_box_of(patcher *p, inlet *i)
{
    for (box *b = p->boxes; b; b = b->next)
        if ((b->flags & BOX_FLAG_INLET) && reinterpret_cast<port_box *>(b)->container_inlet == i)
            return reinterpret_cast<port_box *>(b);
    return nullptr;
}

port_box *outlet_box_of(patcher *p, outlet *o)
{
    for (box *b = p->boxes; b; b = b->next)
        if ((b->flags & BOX_FLAG_OUTLET) && reinterpret_cast<port_box *>(b)->container_outlet == o)
            return reinterpret_cast<port_box *>(b);
    return nullptr;
}

// Moves the patcher's inlet i (just made, at the head of the chain) before
// the first inlet whose box's left edge is at or right of its box's own.
// Answers its position.
long place_container_inlet(patcher *p, inlet *i, short left)
{
    inlet **chain = &p->header.inlets;
    *chain = i->next;  // out of the head
    long position = 0;
    inlet **at = chain;
    for (; *at; at = &(*at)->next, position++) {
        port_box *other = inlet_box_of(p, *at);
        if (other && other->b.rect.left >= left) break;
    }
    i->next = *at;
    *at = i;
    return position;
}

long place_container_outlet(patcher *p, outlet *o, short left)
{
    outlet **chain = &p->header.outlets;
    *chain = o->next;
    long position = 0;
    outlet **at = chain;
    for (; *at; at = &(*at)->next, position++) {
        port_box *other = outlet_box_of(p, *at);
        if (other && other->b.rect.left >= left) break;
    }
    o->next = *at;
    *at = o;
    return position;
}

// left, top [size [more integers]]: left and top not both integers put the
// box at 50, 50; the size is 15 when missing.
void small_box_layout(long argc, const atom *argv, long *left, long *top, long *size)
{
    if (argc >= 2 && argv[0].type == ATYPE_LONG && argv[1].type == ATYPE_LONG) {
        *left = argv[0].word.w_long;
        *top = argv[1].word.w_long;
    } else {
        *left = 50;
        *top = 50;
    }
    *size = argc >= 3 && is_number(argv[2]) ? atom_getlong(&argv[2]) : default_port_size;
}

box *make_port_box(patcher *p, bool is_inlet_box, long argc, atom *argv)
{
    long left, top, size;
    small_box_layout(argc, argv, &left, &top, &size);
    kel_class *c = is_inlet_box ? inlet_box_class() : outlet_box_class();
    auto *pb =
        alloc_box<port_box>(c, p, is_inlet_box ? BOX_FLAG_INLET : BOX_FLAG_OUTLET, left, top, left + size, top + size);
    if (!pb) return nullptr;
    pb->b.obj = &pb->b.header;
    pb->layout = atombuf_new(argc, argv);
    box *container = p->container && p->container->owner && !p->freeing ? p->container : nullptr;
    if (is_inlet_box) {
        outlet *inside = outlet_new(pb, nullptr);
        inlet *i = inside ? inlet_new(p, nullptr) : nullptr;
        if (i && !outlet_chain(inside, i)) {
            freeobject(i);
            i = nullptr;
        }
        if (!i) {
            out_of_memory_while_loading();
            return &pb->b;
        }
        long position = place_container_inlet(p, i, pb->b.rect.left);
        inlet_chain(i, inside);
        pb->container_inlet = i;
        if (container) {
            cords_shift_inlets(container, position, 1);
            box_relayout(container);
        }
    } else {
        inlet *inside = inlet_new(pb, nullptr);
        outlet *o = inside ? outlet_new(p, nullptr) : nullptr;
        if (o && !outlet_chain(o, inside)) {
            freeobject(o);
            o = nullptr;
        }
        if (!o) {
            out_of_memory_while_loading();
            return &pb->b;
        }
        long position = place_container_outlet(p, o, pb->b.rect.left);
        inlet_chain(inside, o);
        pb->container_outlet = o;
        if (container) {
            cords_shift_outlets(container, position, 1);
            box_relayout(container);
        }
    }
    return &pb->b;
}

long inlet_position(object *x, inlet *i)
{
    long n = 0;
    for (inlet *k = x->inlets; k; k = k->next, n++)
        if (k == i) return n;
    return -1;
}

long outlet_position(object *x, outlet *o)
{
    long n = 0;
    for (outlet *k = x->outlets; k; k = k->next, n++)
        if (k == o) return n;
    return -1;
}

// Removes the patcher inlet (outlet) that an inlet (outlet) box stands for,
// with the cords attached to it outside.
void remove_container_port(port_box *pb)
{
    patcher *p = pb->b.owner;
    box *container = p->container && p->container->owner && !p->freeing ? p->container : nullptr;
    if (inlet *i = pb->container_inlet) {
        long position = inlet_position(&p->header, i);
        if (container) {
            for (patchcord *c = container->cords_in; c;) {
                patchcord *next = c->next_in;
                if (c->inlet == position) cord_free(container->owner, c);
                c = next;
            }
            cords_shift_inlets(container, position + 1, -1);
        }
        outlet *inside = reinterpret_cast<outlet *>(i->receiver);
        freeobject(i);
        if (inside) inside->chain_inlet = nullptr;
        pb->container_inlet = nullptr;
    }
    if (outlet *o = pb->container_outlet) {
        long position = outlet_position(&p->header, o);
        if (container) {
            for (patchcord *c = container->cords_out; c;) {
                patchcord *next = c->next_out;
                if (c->outlet == position) cord_free(container->owner, c);
                c = next;
            }
            cords_shift_outlets(container, position + 1, -1);
        }
        freeobject(o);
        // The box's own inlet forwarded to that outlet: it now leads nowhere.
        for (inlet *i = pb->b.header.inlets; i; i = i->next) {
            i->flags &= static_cast<uint16_t>(~inlet_flag_chained);
            i->receiver = &pb->b.header;
        }
        pb->container_outlet = nullptr;
    }
    if (container) box_relayout(container);
}

// A cord number that followed a port from position `from` to `to`: the
// port itself moves, those between shift by one towards the gap it left.
short renumbered(short n, long from, long to)
{
    if (n == from) return static_cast<short>(to);
    if (from < to && n > from && n <= to) return static_cast<short>(n - 1);
    if (to < from && n >= to && n < from) return static_cast<short>(n + 1);
    return n;
}

// An inlet or outlet box moved: its patcher inlet (outlet) is taken out of
// the chain and put back by the rule of left edges; the container box's
// cords follow their inlets and outlets to their new numbers.
void port_box_moved(port_box *pb)
{
    patcher *p = pb->b.owner;
    box *container = p->container && p->container->owner && !p->freeing ? p->container : nullptr;
    bool renumbered_any = false;
    if (inlet *i = pb->container_inlet) {
        long from = inlet_position(&p->header, i);
        if (from >= 0) {
            for (inlet **at = &p->header.inlets; *at; at = &(*at)->next) {
                if (*at == i) {
                    *at = i->next;
                    break;
                }
            }
            i->next = p->header.inlets;
            p->header.inlets = i;
            long to = place_container_inlet(p, i, pb->b.rect.left);
            if (container && to != from) {
                for (patchcord *c = container->cords_in; c; c = c->next_in) c->inlet = renumbered(c->inlet, from, to);
                renumbered_any = true;
            }
        }
    }
    if (outlet *o = pb->container_outlet) {
        long from = outlet_position(&p->header, o);
        if (from >= 0) {
            for (outlet **at = &p->header.outlets; *at; at = &(*at)->next) {
                if (*at == o) {
                    *at = o->next;
                    break;
                }
            }
            o->next = p->header.outlets;
            p->header.outlets = o;
            long to = place_container_outlet(p, o, pb->b.rect.left);
            if (container && to != from) {
                for (patchcord *c = container->cords_out; c; c = c->next_out)
                    c->outlet = renumbered(c->outlet, from, to);
                renumbered_any = true;
            }
        }
    }
    if (container && renumbered_any) box_relayout(container);
}

// --- boxes kept by their layout ---

box *make_kept_box(patcher *p, symbol *kind, bool user, long left, long top, long right, long bottom, long argc,
                   atom *argv)
{
    auto *kb = alloc_box<kept_box>(kept_class(), p, 0, left, top, right, bottom);
    if (!kb) return nullptr;
    kb->kind = kind;
    kb->user = user;
    kb->layout = atombuf_new(argc, argv);
    attach_placeholder(&kb->b);
    if (!kb->layout) out_of_memory_while_loading();
    return &kb->b;
}

const box_kind *find_box_kind(symbol *kind)
{
    for (const auto &k : g_box_kinds)
        if (k.first == kind) return k.second.make ? &k.second : nullptr;
    return nullptr;
}

long number_or(const atom *argv, long argc, long i, long fallback)
{
    return i < argc && is_number(argv[i]) ? atom_getlong(&argv[i]) : fallback;
}

// button, toggle, slider, inlet, outlet, preset, number, flonum, bpatcher,
// vpicture: the kind's own class when one is registered, else kept.
void *patcher_layout_box(patcher *p, symbol *kind, long argc, atom *argv)
{
    static symbol *const sym_inlet = gensym("inlet"), *const sym_outlet = gensym("outlet"),
                         *const sym_preset = gensym("preset"), *const sym_number = gensym("number"),
                         *const sym_flonum = gensym("flonum"), *const sym_bpatcher = gensym("bpatcher"),
                         *const sym_vpicture = gensym("vpicture");
    if (building().load_abort) return nullptr;
    if (kind == sym_bpatcher && argc < 6) {
        error("patcher: bpatcher: missing arguments");
        return nullptr;
    }
    if (const box_kind *k = find_box_kind(kind)) return k->make(p, kind, argc, argv);
    if (kind == sym_inlet || kind == sym_outlet) return make_port_box(p, kind == sym_inlet, argc, argv);

    long left = number_or(argv, argc, 0, 50), top = number_or(argv, argc, 1, 50);
    long right, bottom;
    if (kind == sym_number || kind == sym_flonum) {
        right = left + number_or(argv, argc, 2, 35);
        bottom = top + text_box_height;
    } else if (kind == sym_preset || kind == sym_bpatcher || kind == sym_vpicture) {
        right = left + number_or(argv, argc, 2, 15);
        bottom = top + number_or(argv, argc, 3, 15);
    } else {
        long size;
        small_box_layout(argc, argv, &left, &top, &size);
        right = left + size;
        bottom = top + size;
    }
    return make_kept_box(p, kind, false, left, top, right, bottom, argc, argv);
}

// `user` class args...: the class is made with the patcher as its first
// argument and puts its own box in the patcher; otherwise a placeholder
// keeps the class name and arguments.
void *patcher_user(patcher *p, symbol *, long argc, atom *argv)
{
    static symbol *const com = gensym("com");
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("patcher: user: bad arguments");
        return nullptr;
    }
    if (building().load_abort) return nullptr;
    symbol *cls = argv[0].word.w_sym;
    if (cls == com) return make_comment(p, argc - 1, argv + 1);

    std::vector<atom> args;
    try {
        args.resize(static_cast<size_t>(argc));
    } catch (const std::bad_alloc &) {
        out_of_memory_while_loading();
        return nullptr;
    }
    atom_setobj(&args[0], p);
    for (long i = 1; i < argc; i++) args[static_cast<size_t>(i)] = argv[i];
    object *made;
    box *before = p->boxes;
    {
        binding_scope patcher_binding(bindings().P, &p->header);
        g_newest_object = nullptr;
        typedmess(creation_object(), cls, argc, args.data());
        made = g_newest_object;
        g_newest_object = nullptr;
    }
    if (object_valid(made) && p->boxes != before && &p->boxes->header == made) return made;
    if (object_valid(made) && !patcher_box_of(p, made)) freeobject(made);  // not a box: nothing to show it
    long left = number_or(argv, argc, 1, 50), top = number_or(argv, argc, 2, 50);
    return make_kept_box(p, cls, true, left, top, left + number_or(argv, argc, 3, 15), top + text_box_height, argc - 1,
                         argv + 1);
}

// --- descriptions of inlets and outlets ---

// The editor's help text for a subpatcher's inlet (message 1) or outlet
// (message 2) number arg: the description its inlet or outlet box was given
// in the file. The answer goes into text (at least 60 bytes); nothing is
// written when there is none.
void *patcher_assist(patcher *p, void *, long message, long arg, char *text)
{
    if (!text || (message != 1 && message != 2)) return nullptr;
    symbol *description = patcher_port_description(p, message == 2, arg);
    if (!description) return nullptr;
    const size_t n = strnlen(description->name, 59);
    std::memcpy(text, description->name, n);
    text[n] = '\0';
    return nullptr;
}

// --- flags of the newest box, hidden mode, names ---

void *patcher_hidden(patcher *p, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) return nullptr;
    building_state &bs = building();
    bool was = bs.hidden_mode;
    bs.hidden_mode = true;
    void *result = typedmess(p, argv[0].word.w_sym, argc - 1, argv + 1);
    bs.hidden_mode = was;
    return result;
}

void *patcher_noclick(patcher *p)
{
    if (p->boxes) p->boxes->flags |= BOX_FLAG_NOCLICK;
    return nullptr;
}

void *patcher_background(patcher *p)
{
    if (p->boxes) p->boxes->flags |= BOX_FLAG_BACKGROUND;
    return nullptr;
}

void *patcher_objectname(patcher *p, symbol *name)
{
    if (p->boxes && g_naming.set) g_naming.set(p, p->boxes, name);
    return nullptr;
}

// --- re-creating an object box ---

struct saved_cord {
    box *other;
    bool leaving;  // the cord left the re-created box
    short outlet, inlet;
    short npoints;
    short x[cord_points_max], y[cord_points_max];
    uint8_t color;
    bool hidden;
};

void save_cord(std::vector<saved_cord> *out, patchcord *c, bool leaving)
{
    saved_cord s{};
    s.other = leaving ? c->dst : c->src;
    s.leaving = leaving;
    s.outlet = c->outlet;
    s.inlet = c->inlet;
    s.npoints = c->npoints;
    std::memcpy(s.x, c->x, sizeof s.x);
    std::memcpy(s.y, c->y, sizeof s.y);
    s.color = c->color;
    s.hidden = c->hidden;
    out->push_back(s);
}

}  // namespace

void patcher_boxes_addmethods(kel_class *c)
{
    // The box classes exist from start-up, so that nothing is registered
    // while a patch loads.
    newobj_class();
    comment_class();
    kept_class();
    inlet_box_class();
    outlet_box_class();
    bogus_class();

    auto add = [c](auto fn, const char *name, auto... types) {
        class_addmethod(c, reinterpret_cast<kel_method>(fn), name, static_cast<int>(types)..., 0);
    };
    add(&patcher_newex, "newex", ATYPE_GIMME);
    add(&patcher_newobj, "newobj", ATYPE_GIMME);
    add(&patcher_message, "message", ATYPE_GIMME);
    add(&patcher_comment, "comment", ATYPE_GIMME);
    for (const char *kind :
         {"button", "toggle", "slider", "inlet", "outlet", "preset", "number", "flonum", "bpatcher", "vpicture"})
        add(&patcher_layout_box, kind, ATYPE_GIMME);
    add(&patcher_user, "user", ATYPE_GIMME);
    add(&patcher_hidden, "hidden", ATYPE_GIMME);
    add(&patcher_noclick, "noclick");
    add(&patcher_background, "background");
    add(&patcher_objectname, "objectname", ATYPE_SYM);
    add(&patcher_assist, "assist", ATYPE_CANT);
}

bool is_newobj_box(const void *x) { return g_newobj_class && object_class(const_cast<void *>(x)) == g_newobj_class; }

symbol *patcher_font_name(patcher *p, long font_word)
{
    if (!p->setfont_name || font_word_decode(font_word).size != p->setfont_size) return nullptr;
    return p->setfont_name;
}

bool is_port_box(const void *x)
{
    kel_class *c = object_class(const_cast<void *>(x));
    return c && (c == g_inlet_box_class || c == g_outlet_box_class);
}

atombuf *box_text(box *b)
{
    kel_class *c = object_class(b);
    if (c && c == g_newobj_class) return reinterpret_cast<newobj_box *>(b)->text;
    if (c && c == g_comment_class) return reinterpret_cast<comment_box *>(b)->text;
    for (const auto &k : g_box_kinds)
        if (c && c == k.second.box_class && k.second.text) return k.second.text(b);
    return nullptr;
}

outlet *object_outlet_at(object *x, long n)
{
    if (!object_valid(x) || n < 0) return nullptr;
    kel_class *c = object_class(x);
    if (c->tiny) return nullptr;
    outlet *o = x->outlets;
    for (; o && n > 0; n--) o = o->next;
    return o;
}

object *object_inlet_at(object *x, long n)
{
    if (!object_valid(x) || n < 0) return nullptr;
    kel_class *c = object_class(x);
    if (!c->noinlet) {
        if (n == 0) return x;
        n--;
    }
    if (c->tiny) return nullptr;
    inlet *i = x->inlets;
    for (; i && n > 0; n--) i = i->next;
    return reinterpret_cast<object *>(i);
}

long object_outlet_count(object *x)
{
    if (!object_valid(x) || object_class(x)->tiny) return 0;
    long n = 0;
    for (outlet *o = x->outlets; o; o = o->next) n++;
    return n;
}

long object_inlet_count(object *x)
{
    if (!object_valid(x)) return 0;
    kel_class *c = object_class(x);
    long n = c->noinlet ? 0 : 1;
    if (!c->tiny)
        for (inlet *i = x->inlets; i; i = i->next) n++;
    return n;
}

bool placeholder_grow_outlets(object *x, long n)
{
    while (object_outlet_count(x) <= n) {
        outlet *o = outlet_new(x, nullptr);
        if (!o) return false;
        // New outlets go to the right end, so that those already connected
        // keep their numbers.
        x->outlets = o->next;
        o->next = nullptr;
        outlet **tail = &x->outlets;
        while (*tail) tail = &(*tail)->next;
        *tail = o;
    }
    return true;
}

bool placeholder_grow_inlets(object *x, long n)
{
    while (object_inlet_count(x) <= n) {
        inlet *i = inlet_new(x, nullptr);
        if (!i) return false;
        x->inlets = i->next;
        i->next = nullptr;
        inlet **tail = &x->inlets;
        while (*tail) tail = &(*tail)->next;
        *tail = i;
    }
    return true;
}

void box_detach(box *b)
{
    patcher *p = b->owner;
    if (!p) return;
    while (b->cords_out) cord_free(p, b->cords_out);
    while (b->cords_in) cord_free(p, b->cords_in);
    if (b->flags & (BOX_FLAG_INLET | BOX_FLAG_OUTLET)) {
        kel_class *c = object_class(b);
        if (c && (c == g_inlet_box_class || c == g_outlet_box_class))
            remove_container_port(reinterpret_cast<port_box *>(b));
    }
    if (g_naming.remove) g_naming.remove(p, b);
    if (g_object_leaving) g_object_leaving(p, b, b->obj ? b->obj : &b->header);
    box_kept_free(b);
    for (box **at = &p->boxes; *at; at = &(*at)->next) {
        if (*at == b) {
            *at = b->next;
            break;
        }
    }
    patcher_index_drop(p);
    b->owner = nullptr;
    b->next = nullptr;
    const binding_symbols &s = bindings();
    for (symbol *bound : {s.B, s.X})
        if (bound->thing == &b->header) bound->thing = nullptr;
    if (g_newest_object == &b->header) g_newest_object = nullptr;
}

box *patcher_box_of(patcher *p, object *x)
{
    if (!p || !x) return nullptr;
    for (box *b = p->boxes; b; b = b->next)
        if (&b->header == x || b->obj == x) return b;
    return nullptr;
}

void newex_retext(box *b, long argc, atom *argv)
{
    if (!is_newobj_box(b) || !b->owner) return;
    auto *nb = reinterpret_cast<newobj_box *>(b);
    patcher *p = b->owner;
    atombuf *text = atombuf_new(0, nullptr);
    if (!text || atombuf_replace(&text, nullptr, argc, argv) != 0) {
        if (text) atombuf_free(text);
        return;
    }
    long misc = atombuf_misc(text);
    // A subpatcher typed as `p name` keeps its contents and takes the new
    // title; one loaded from a file is made again from its file.
    if (is_patcher(b->obj) && (misc & 1) && !reinterpret_cast<patcher *>(b->obj)->from_file) {
        atombuf_free(nb->text);
        nb->text = text;
        typedmess(b->obj, text->argv[0].word.w_sym, text->argc - 1, text->argv + 1);
        return;
    }
    std::vector<saved_cord> cords;
    try {
        for (patchcord *c = b->cords_out; c; c = c->next_out) save_cord(&cords, c, true);
        for (patchcord *c = b->cords_in; c; c = c->next_in) save_cord(&cords, c, false);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);  // the new object goes without the old one's cords
        cords.clear();
    }
    while (b->cords_out) cord_free(p, b->cords_out);
    while (b->cords_in) cord_free(p, b->cords_in);
    // Whatever follows the box's name lets go of the old object before it
    // is freed, and takes the new one below.
    if (g_naming.object_leaving) g_naming.object_leaving(p, b);
    if (g_object_leaving && b->obj) g_object_leaving(p, b, b->obj);
    object *old = b->obj;
    b->obj = nullptr;
    if (old && object_valid(old)) freeobject(old);
    if (nb->kept) freeobject(nb->kept);
    nb->kept = nullptr;
    box_kept_free(b);  // the data lines were the old object's
    atombuf_free(nb->text);
    nb->text = text;
    if (misc & 2) {
        error("object box has comma or semicolon");
        attach_placeholder(b);
    } else {
        b->flags &= static_cast<unsigned short>(~BOX_FLAG_PLACEHOLDER);
        newobj_instantiate(p, nb);
    }
    if (g_naming.object_arrived && b->owner == p) g_naming.object_arrived(p, b);
    // The cords come back where the new object has their outlets and inlets.
    for (const saved_cord &s : cords) {
        if (!s.other->owner) continue;
        box *src = s.leaving ? b : s.other;
        box *dst = s.leaving ? s.other : b;
        if (!(src->flags & BOX_FLAG_PLACEHOLDER) && !object_outlet_at(src->obj, s.outlet)) continue;
        if (!(dst->flags & BOX_FLAG_PLACEHOLDER) && !object_inlet_at(dst->obj, s.inlet)) continue;
        long flags = s.color | (s.hidden ? CORD_FLAG_HIDDEN : 0);
        patchcord *c = patcher_connect_boxes(p, src, s.outlet, dst, s.inlet, false, flags);
        if (c && s.npoints > 1) {
            c->npoints = s.npoints;
            for (int k = 1; k < s.npoints && k < cord_points_max - 1; k++) {
                c->x[k] = s.x[k];
                c->y[k] = s.y[k];
            }
        }
    }
}

void newobj_keep_lines(box *b, binbuf *lines)
{
    if (!is_newobj_box(b)) {
        if (lines) freeobject(lines);
        return;
    }
    auto *nb = reinterpret_cast<newobj_box *>(b);
    if (nb->kept) freeobject(nb->kept);
    nb->kept = lines;
}

void box_attach_placeholder(box *b)
{
    if (b) attach_placeholder(b);
}

bool object_opens_ports(object *x)
{
    static symbol *const openports = gensym("openports");
    return x && object_valid(x) && zgetfn(x, openports) != nullptr;
}

symbol *patcher_port_description(patcher *p, bool is_outlet, long n)
{
    static symbol *const comlet = gensym("comlet");
    if (!p || n < 0) return nullptr;
    port_box *pb = nullptr;
    long k = 0;
    if (is_outlet) {
        for (outlet *o = p->header.outlets; o && !pb; o = o->next, k++)
            if (k == n) pb = outlet_box_of(p, o);
    } else {
        for (inlet *i = p->header.inlets; i && !pb; i = i->next, k++)
            if (k == n) pb = inlet_box_of(p, i);
    }
    binbuf *lines = pb ? box_kept_before(&pb->b) : nullptr;
    if (!lines) return nullptr;
    // The last "#N comlet" line before the box is its description.
    symbol *found = nullptr;
    std::vector<atom> line;
    long index = 0, offset = 0;
    atom a;
    try {
        while (binbuf_getatom(lines, &index, &offset, &a) == 0) {
            if (a.type != ATYPE_SEMI) {
                line.push_back(a);
                continue;
            }
            if (line.size() >= 2 && line[0].type == ATYPE_SYM && line[0].word.w_sym == bindings().N &&
                line[1].type == ATYPE_SYM && line[1].word.w_sym == comlet) {
                char text[512];
                atoms_totext_bounded(text, sizeof text, static_cast<long>(line.size()) - 2, line.data() + 2);
                found = gensym(text);
            }
            line.clear();
        }
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
    return found;
}

binbuf *newobj_kept_lines(box *b) { return is_newobj_box(b) ? reinterpret_cast<newobj_box *>(b)->kept : nullptr; }

void box_move(box *b, long left, long top)
{
    if (!b || !b->owner) return;
    const long width = b->rect.right - b->rect.left, height = b->rect.bottom - b->rect.top;
    b->rect.left = to_short(left);
    b->rect.top = to_short(top);
    b->rect.right = to_short(b->rect.left + width);
    b->rect.bottom = to_short(b->rect.top + height);
    if (is_port_box(b)) port_box_moved(reinterpret_cast<port_box *>(b));
    box_relayout(b);
}

void box_resize(box *b, long width, long height)
{
    if (!b || !b->owner) return;
    b->rect.right = to_short(b->rect.left + (width < 0 ? 0 : width));
    b->rect.bottom = to_short(b->rect.top + (height < 0 ? 0 : height));
    box_relayout(b);
}

void box_order(box *b, bool front)
{
    patcher *p = b ? b->owner : nullptr;
    if (!p) return;
    box **at = &p->boxes;
    while (*at && *at != b) at = &(*at)->next;
    if (!*at) return;
    *at = b->next;
    b->next = nullptr;
    if (front) {
        b->next = p->boxes;
        p->boxes = b;
    } else {
        box **tail = &p->boxes;
        while (*tail) tail = &(*tail)->next;
        *tail = b;
    }
    patcher_index_drop(p);
}

void box_take_place(box *b, box *older)
{
    patcher *p = b ? b->owner : nullptr;
    if (!p || !older || older->owner != p || b == older) return;
    box **at = &p->boxes;
    while (*at && *at != b) at = &(*at)->next;
    if (!*at) return;
    *at = b->next;
    at = &p->boxes;
    while (*at && *at != older) at = &(*at)->next;
    if (!*at) at = &p->boxes;  // never: older is on the list
    b->next = *at;
    *at = b;
    patcher_index_drop(p);
}

bool text_box_layout(long argc, const atom *argv, long out[4])
{
    if (argc < 4) return false;
    for (int i = 0; i < 4; i++) {
        if (!is_number(argv[i])) return false;
        out[i] = atom_getlong(&argv[i]);
    }
    return true;
}

void patcher_register_box_kind(symbol *kind, const box_kind &kind_record)
{
    for (auto &k : g_box_kinds) {
        if (k.first == kind) {
            k.second = kind_record;
            return;
        }
    }
    g_box_kinds.emplace_back(kind, kind_record);
}

bool box_saves_own_color(box *b)
{
    kel_class *c = object_class(b);
    for (const auto &k : g_box_kinds)
        if (c && c == k.second.box_class) return k.second.saves_color;
    return false;
}

void patcher_set_object_leaving(object_leaving_fn fn) { g_object_leaving = fn; }

void patcher_set_box_naming(const box_naming &naming) { g_naming = naming; }

const box_naming &patcher_box_naming() { return g_naming; }

}  // namespace kel

using namespace kel;

KEL_API void box_new(box *b, patcher *p, long flags, short left, short top, short right, short bottom)
{
    if (!b || !p) return;
    building_state &bs = building();
    b->owner = p;
    b->next = p->boxes;
    p->boxes = b;
    b->rect.left = static_cast<short>(left + bs.paste_x);
    b->rect.top = static_cast<short>(top + bs.paste_y);
    b->rect.right = static_cast<short>(right + bs.paste_x);
    b->rect.bottom = static_cast<short>(bottom + bs.paste_y);
    b->obj = &b->header;  // a user-interface box is its own object
    b->flags = static_cast<unsigned short>(flags);
    if (bs.hidden_mode) b->flags |= BOX_FLAG_HIDDEN;
    b->save_number = 0;
    b->cords_out = nullptr;
    b->cords_in = nullptr;
    patcher_index_add(p, b);
    bindings().B->thing = &b->header;
    if (patcher_loading() && ++bs.load_boxes > bs.load_boxes_max && !bs.load_abort) {
        const char *file = patcher_loading_document();
        error("%s: more than %ld boxes", file ? file : "patcher", bs.load_boxes_max);
        bs.load_abort = 2;  // the load is cut short: nothing of it is kept
    }
}

KEL_API void box_ready(box *) {}

KEL_API void box_free(box *b)
{
    if (b) box_detach(b);
}

KEL_API void patcher_deleteobj(patcher *p, box *b)
{
    if (!p || !b || b->owner != p) return;
    lockout_scope lockout;
    box_detach(b);
    freeobject(b);
}

KEL_API long isnewex(void *b) { return is_newobj_box(b) ? 1 : 0; }

KEL_API long newex_knows(void *b, symbol *s)
{
    if (!is_newobj_box(b)) return 0;
    object *x = static_cast<box *>(b)->obj;
    return object_valid(x) && zgetfn(x, s) ? 1 : 0;
}
