// pvar NAME [OUTLETS]: a stand-in for the box named NAME in the pvar's own
// patcher. What reaches its inlet goes to that box's object, looked up afresh
// for every message; what the object sends from its outlet i comes out of
// the pvar's outlet i as well.
//
// Invariants: the pvar is on its patcher's watcher list from creation until
// it is freed (or the patcher goes first); `attached` is the named box's
// object (or the box without one) exactly while a box of the patcher holds
// the name, and linked[i] is then the object's outlet i when that outlet is
// connected to the pvar's outlet i. The object's outlets are connected
// straight to the pvar's outlets, which pass on whatever they receive.
#include "objects/pvar.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_names.h"
#include "kernel/wires/depth.h"
#include "kernel/wires/outlets.h"
#include "objects/objects.h"

namespace kel {
namespace {

// More outlets than this are taken for a mistake in the box text.
constexpr long outlets_max = 1024;

struct pvar {
    object header;
    name_watcher watch;  // the patcher and the name followed
    long count;          // outlets
    outlet **outs;       // leftmost first
    outlet **linked;     // for each outlet: the attached object's outlet connected to it, or null
    object *attached;    // the named box's object (or the box), null while detached
    box *attached_box;
    bool not_yet_attached;
};

kel_class *g_class = nullptr;

pvar *of(name_watcher *w) { return reinterpret_cast<pvar *>(reinterpret_cast<char *>(w) - offsetof(pvar, watch)); }

const char *name_text(pvar *x) { return x->watch.name ? x->watch.name->name : ""; }

bool is_outlet_of(object *x, outlet *o)
{
    for (outlet *k = x->outlets; k; k = k->next)
        if (k == o) return true;
    return false;
}

// Takes the connections down. box_going: the named box is leaving its
// patcher (its object is still alive now and goes soon).
void pvar_detach(name_watcher *w, bool box_going)
{
    pvar *x = of(w);
    if (!x->attached) return;
    if (developer()) post(box_going ? "clearconnect %s" : "disconnect %s", name_text(x));
    for (long i = 0; i < x->count; i++) {
        if (x->linked[i] && is_outlet_of(x->attached, x->linked[i])) outlet_rm(x->linked[i], x->outs[i]);
        x->linked[i] = nullptr;
    }
    if (w->where) object_detach(boxnames_namespace(w->where), w->name, x);
    x->attached = nullptr;
    x->attached_box = nullptr;
}

void pvar_attach(name_watcher *w, box *b)
{
    pvar *x = of(w);
    if (x->attached) pvar_detach(w, false);
    object *target = b->obj ? b->obj : &b->header;
    if (developer()) post("pvar_connect %s", name_text(x));
    x->attached = target;
    x->attached_box = b;
    x->not_yet_attached = false;
    // A pvar that follows its own box passes nothing to itself.
    if (target != &x->header && object_valid(target)) {
        long i = 0;
        for (outlet *o = object_class(target)->tiny ? nullptr : target->outlets; o && i < x->count; o = o->next, i++)
            if (outlet_add(o, x->outs[i]) == 0) x->linked[i] = o;
    }
    // The registry tells the pvar when the name's registration goes without
    // the box leaving its patcher first (a box freed directly).
    if (w->where) object_attach(boxnames_namespace(w->where), w->name, x);
}

void *pvar_notify(pvar *x, symbol *, symbol *message, void *sender, void *)
{
    if (message == sym_free && x->attached && sender == x->attached_box) pvar_detach(&x->watch, true);
    return nullptr;
}

// The object of the box that has the name now, or null.
object *named_target(pvar *x)
{
    if (!x->watch.where) return nullptr;
    box *b = boxnames_find(x->watch.where, x->watch.name);
    if (!b) return nullptr;
    object *to = b->obj ? b->obj : &b->header;
    return to == &x->header || !object_valid(to) ? nullptr : to;
}

void forward(pvar *x, symbol *s, long argc, atom *argv)
{
    object *to = named_target(x);
    if (!to || !depth_enter()) return;
    typedmess(to, s, argc, argv);
    depth_exit();
}

void *pvar_bang(pvar *x)
{
    forward(x, sym_bang, 0, nullptr);
    return nullptr;
}

void *pvar_int(pvar *x, long n)
{
    atom a;
    atom_setlong(&a, n);
    forward(x, sym_int, 1, &a);
    return nullptr;
}

void *pvar_float(pvar *x, double f)
{
    atom a;
    atom_setfloat(&a, f);
    forward(x, sym_float, 1, &a);
    return nullptr;
}

void *pvar_list(pvar *x, symbol *, long argc, atom *argv)
{
    forward(x, sym_list, argc, argv);
    return nullptr;
}

void *pvar_anything(pvar *x, symbol *s, long argc, atom *argv)
{
    forward(x, s, argc, argv);
    return nullptr;
}

void *pvar_loadbang(pvar *x)
{
    if (x->attached || !x->watch.where || x->watch.name == sym_empty) return nullptr;
    if (developer()) post("pvar_loadbang %s", name_text(x));
    boxnames_attach_watcher(&x->watch);
    return nullptr;
}

void *pvar_setname(pvar *x, symbol *name)
{
    if (x->attached) pvar_detach(&x->watch, false);
    x->watch.name = name ? name : sym_empty;
    x->not_yet_attached = true;
    boxnames_attach_watcher(&x->watch);
    return nullptr;
}

// The editor's help text: message 1 asks about the inlet, 2 about outlet
// arg (from 0 at the left); the answer goes into text (at least 60 bytes).
void *pvar_assist(pvar *x, void *, long message, long arg, char *text)
{
    if (!text) return nullptr;
    const char *state = x->attached ? "Connected" : "Disconnected";
    char line[512];
    if (message == 1) {
        std::snprintf(line, sizeof line, "Messages for Object %s (%s)", name_text(x), state);
    } else if (message == 2 && arg >= 0 && arg < x->count) {
        std::snprintf(line, sizeof line, "Object %s (%s) output %ld (%s)", name_text(x), state, arg,
                      x->linked[arg] ? "In Use" : "Not In Use");
    } else {
        return nullptr;
    }
    // A long name is cut at the 60 bytes the caller provides.
    const size_t n = strnlen(line, 59);
    std::memcpy(text, line, n);
    text[n] = '\0';
    return nullptr;
}

void pvar_free(pvar *x)
{
    pvar_detach(&x->watch, false);
    boxnames_unwatch(&x->watch);
    if (x->outs) freebytes(x->outs, x->count * static_cast<long>(sizeof(outlet *)));
    if (x->linked) freebytes(x->linked, x->count * static_cast<long>(sizeof(outlet *)));
    x->outs = x->linked = nullptr;
}

void *pvar_new(symbol *, long argc, atom *argv)
{
    symbol *name = sym_empty;
    long count = 1;
    long k = 0;
    if (argc > 0 && argv[0].type == ATYPE_SYM) {
        name = argv[0].word.w_sym;
        k = 1;
    }
    if (argc > k && argv[k].type == ATYPE_LONG) count = argv[k].word.w_long;
    if (count < 0) {
        error("pvar: bad outlet count argument");
        count = 0;
    }
    if (count > outlets_max) count = outlets_max;
    auto *x = static_cast<pvar *>(object_alloc(g_class));
    if (!x) return nullptr;
    x->watch.where = nullptr;
    x->watch.name = name;
    x->watch.attach = &pvar_attach;
    x->watch.detach = &pvar_detach;
    x->count = 0;
    x->outs = x->linked = nullptr;
    x->attached = nullptr;
    x->attached_box = nullptr;
    x->not_yet_attached = true;
    if (count > 0) {
        const long bytes = count * static_cast<long>(sizeof(outlet *));
        x->outs = static_cast<outlet **>(getbytes(bytes));
        x->linked = static_cast<outlet **>(getbytes(bytes));
        if (!x->outs || !x->linked) {
            if (x->outs) freebytes(x->outs, bytes);
            if (x->linked) freebytes(x->linked, bytes);
            x->outs = x->linked = nullptr;
            freeobject(x);
            return nullptr;
        }
        x->count = count;
        for (long i = 0; i < count; i++) x->linked[i] = nullptr;
        // Outlets are made right to left: each new one becomes the leftmost.
        for (long i = count - 1; i >= 0; i--) x->outs[i] = outlet_new(x, nullptr);
    }
    object *current = bindings().P->thing;
    if (is_patcher(current)) boxnames_watch(reinterpret_cast<patcher *>(current), &x->watch);
    return x;
}

}  // namespace

bool pvar_init()
{
    if (g_class) return true;
    const short L = ATYPE_LONG, F = ATYPE_FLOAT, G = ATYPE_GIMME, CANT = ATYPE_CANT;
    kel_class *c = define_class("pvar", as_method(&pvar_new), as_method(&pvar_free), sizeof(pvar), class_home::box,
                                {{as_method(&pvar_bang), "bang"},
                                 {as_method(&pvar_int), "int", L},
                                 {as_method(&pvar_float), "float", F},
                                 {as_method(&pvar_list), "list", G},
                                 {as_method(&pvar_anything), "anything", G},
                                 {as_method(&pvar_loadbang), "loadbang"},
                                 {as_method(&pvar_setname), "setname", ATYPE_DEFSYM},
                                 {as_method(&pvar_assist), "assist", CANT},
                                 {as_method(&pvar_notify), "notify", CANT}},
                                ATYPE_GIMME);
    if (!c) return false;
    g_class = c;
    return creation_provide("pvar", as_method(&pvar_new));
}

}  // namespace kel
