#include "objects/drawn_boxes.h"

#include <cstring>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "objects/objects.h"

namespace kel {
namespace {

struct drawn_object {
    object header;
    symbol *file;  // picture: the image file it names (the empty symbol when none)
};

enum drawn_kind { picture, graphic, menubar, findwindow, onecopy, thisobject, timeline, kinds };

struct drawn_class {
    const char *name;
    kel_class *c;
    bool told;  // the verbose line was posted
};

drawn_class g_classes[kinds] = {{"picture", nullptr, false}, {"graphic", nullptr, false},
                                {"menubar", nullptr, false}, {"findwindow", nullptr, false},
                                {"onecopy", nullptr, false}, {"thisobject", nullptr, false},
                                {"timeline", nullptr, false}};

void *drawn_accept(drawn_object *) { return nullptr; }
void *drawn_accept_int(drawn_object *, long) { return nullptr; }
void *drawn_accept_float(drawn_object *, double) { return nullptr; }
void *drawn_accept_gimme(drawn_object *, symbol *, long, atom *) { return nullptr; }

// Never called: its presence lets cords grow the object's inlets and outlets.
void *drawn_openports(drawn_object *) { return nullptr; }

drawn_object *make(drawn_kind k)
{
    drawn_class &dc = g_classes[k];
    if (verbose() && !dc.told) {
        dc.told = true;
        post("%s: headless, does nothing", dc.name);
    }
    // The lines of a file that made it are kept with the next box instead.
    if (load_making_record() || !dc.c) return nullptr;
    auto *x = static_cast<drawn_object *>(object_alloc(dc.c));
    if (!x) return nullptr;
    x->file = sym_empty;
    return x;
}

void *picture_new(symbol *, long argc, atom *argv)
{
    drawn_object *x = make(picture);
    if (x && argc > 0 && argv[0].type == ATYPE_SYM) x->file = argv[0].word.w_sym;
    return x;
}

void *graphic_new(symbol *, long, atom *) { return make(graphic); }
void *menubar_new(long, long) { return make(menubar); }
void *findwindow_new() { return make(findwindow); }
void *onecopy_new() { return make(onecopy); }
void *thisobject_new(symbol *, long, atom *) { return make(thisobject); }
void *timeline_new(symbol *, long, atom *) { return make(timeline); }

}  // namespace

bool drawn_boxes_init()
{
    if (g_classes[0].c) return true;
    const short G = ATYPE_GIMME, CANT = ATYPE_CANT;
    for (drawn_class &dc : g_classes) {
        dc.c = define_class(dc.name, nullptr, nullptr, sizeof(drawn_object), class_home::nobox,
                            {{as_method(&drawn_accept), "bang"},
                             {as_method(&drawn_accept_int), "int", ATYPE_LONG},
                             {as_method(&drawn_accept_float), "float", ATYPE_FLOAT},
                             {as_method(&drawn_accept_gimme), "list", G},
                             {as_method(&drawn_accept_gimme), "anything", G},
                             {as_method(&drawn_openports), "openports", CANT}});
        if (!dc.c) return false;
    }
    return creation_provide("picture", as_method(&picture_new)) &&
           creation_provide("graphic", as_method(&graphic_new)) &&
           creation_provide("menubar", as_method(&menubar_new)) &&
           creation_provide("findwindow", as_method(&findwindow_new)) &&
           creation_provide("onecopy", as_method(&onecopy_new)) &&
           creation_provide("thisobject", as_method(&thisobject_new)) &&
           creation_provide("timeline", as_method(&timeline_new));
}

}  // namespace kel
