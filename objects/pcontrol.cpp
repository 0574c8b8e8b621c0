// pcontrol: opens, closes, enables and loads patchers from inside a patch.
// Every message is carried out later, at low priority, so a patcher it
// closes or loads never changes under the message that asked for it.
#include "objects/pcontrol.h"

#include <cstring>
#include <new>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "objects/objects.h"

namespace kel {
namespace {

struct pcontrol_object {
    object header;
    outlet *out;
    patcher *where;  // the patcher it was made in, or null
};

method_entry *g_pcontrol_class = nullptr;

// The objects its box's outlet is drawn to. A cord into a subpatcher ends
// at the subpatcher itself, while the outlet's connections (flattened
// through the subpatcher's inlets) reach only the objects inside it. They
// are gathered first, since a receiver may change the cords.
std::vector<object *> wired_objects(pcontrol_object *x)
{
    std::vector<object *> out;
    if (!x->where || !object_valid(x->where)) return out;
    box *b = patcher_box_of(x->where, &x->header);
    try {
        for (patchcord *c = b ? b->cords_out : nullptr; c; c = c->next_out)
            if (c->dst && object_valid(c->dst->obj)) out.push_back(c->dst->obj);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);  // the objects gathered so far hear it
    }
    return out;
}

// Sends s, with flag as its argument when it has one, to every wired object
// that has the method; any other is left alone.
void pcontrol_tell(pcontrol_object *x, symbol *s, const long *flag)
{
    for (object *r : wired_objects(x)) {
        if (!object_valid(r) || !zgetfn(r, s)) continue;
        if (flag)
            object_method(r, s, *flag);
        else
            object_method(r, s);
    }
}

void pcontrol_do_enable(pcontrol_object *x, symbol *, long argc, atom *argv)
{
    const long flag = argc > 0 && atom_getfloat(argv) != 0 ? 1 : 0;
    static symbol *const setrock = gensym("setrock");
    pcontrol_tell(x, setrock, &flag);
}

void pcontrol_do_open(pcontrol_object *x, symbol *, long, atom *) { pcontrol_tell(x, sym_dblclick, nullptr); }

void pcontrol_do_close(pcontrol_object *x, symbol *, long, atom *)
{
    static symbol *const wclose = gensym("wclose");
    pcontrol_tell(x, wclose, nullptr);
}

// Loads the file named by the first atom with the rest as its arguments,
// shown ("load") or hidden ("shroud").
void pcontrol_do_load(pcontrol_object *, symbol *s, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) return;
    char name[MAX_FILENAME_CHARS];
    std::strncpy(name, argv[0].word.w_sym->name, sizeof name - 1);
    name[sizeof name - 1] = '\0';
    static const long types[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    short path = 0;
    long type = 0;
    if (locatefile_extended(name, &path, &type, types, 2) != 0) {
        error("%s: can't find file", argv[0].word.w_sym->name);
        return;
    }
    void *loaded = intload(name, path, 0, argc - 1, argv + 1, 1);
    if (!loaded || !is_patcher(loaded)) return;
    static symbol *const shroud = gensym("shroud");
    patcher_show(static_cast<patcher *>(loaded), s != shroud);
}

void pcontrol_later(pcontrol_object *x, void (*fn)(pcontrol_object *, symbol *, long, atom *), symbol *s, long argc,
                    atom *argv)
{
    defer_low(x, as_method(fn), s, static_cast<short>(argc), argv);
}

void *pcontrol_enable(pcontrol_object *x, symbol *s, long argc, atom *argv)
{
    pcontrol_later(x, &pcontrol_do_enable, s, argc, argv);
    return nullptr;
}

void *pcontrol_open(pcontrol_object *x)
{
    pcontrol_later(x, &pcontrol_do_open, nullptr, 0, nullptr);
    return nullptr;
}

void *pcontrol_close(pcontrol_object *x)
{
    pcontrol_later(x, &pcontrol_do_close, nullptr, 0, nullptr);
    return nullptr;
}

void *pcontrol_load(pcontrol_object *x, symbol *s, long argc, atom *argv)
{
    pcontrol_later(x, &pcontrol_do_load, s, argc, argv);
    return nullptr;
}

// Accepted without effect: help files are a matter of the editing
// environment.
void *pcontrol_help(pcontrol_object *, symbol *, long, atom *) { return nullptr; }

void *pcontrol_new(symbol *, long, atom *)
{
    bool ready = define_builder_class(&g_pcontrol_class, "pcontrol", as_method(&pcontrol_new), nullptr,
                                      sizeof(pcontrol_object), {ATYPE_GIMME}, [] {
                                          addmess(as_method(&pcontrol_enable), "enable", ATYPE_GIMME, 0);
                                          addmess(as_method(&pcontrol_open), "open", 0);
                                          addmess(as_method(&pcontrol_close), "close", 0);
                                          addmess(as_method(&pcontrol_load), "load", ATYPE_GIMME, 0);
                                          addmess(as_method(&pcontrol_load), "shroud", ATYPE_GIMME, 0);
                                          addmess(as_method(&pcontrol_help), "help", ATYPE_GIMME, 0);
                                      });
    if (!ready) return nullptr;
    auto *x = static_cast<pcontrol_object *>(newobject(g_pcontrol_class));
    if (!x) return nullptr;
    x->out = outlet_new(x, nullptr);
    object *current = bindings().P->thing;
    x->where = is_patcher(current) ? reinterpret_cast<patcher *>(current) : nullptr;
    return x;
}

}  // namespace

bool pcontrol_init() { return creation_provide("pcontrol", as_method(&pcontrol_new)); }

}  // namespace kel
