#include "objects/bpatcher.h"

#include <cstring>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/patcher.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "objects/objects.h"

namespace kel {
namespace {

// The box: its line's atoms after the kind (left top width height, the view
// offsets, the file name, the flags, the arguments) as they came, and the
// patcher loaded from the file as its object (a placeholder when the file
// could not be loaded).
struct bpatcher_box {
    box b;
    atombuf *layout;
};

kel_class *g_class = nullptr;

// Loads the patcher file `name` with the arguments as an abstraction; null
// (after "NAME: No such object") when it is found nowhere or cannot be
// loaded.
patcher *load_view(symbol *name, long argc, atom *argv)
{
    char found[MAX_FILENAME_CHARS];
    std::strncpy(found, name->name, sizeof found - 1);
    found[sizeof found - 1] = '\0';
    static const long types[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    short path = 0;
    long type = 0;
    void *loaded = nullptr;
    if (locatefile_extended(found, &path, &type, types, 2) == 0) loaded = intload(found, path, 0, argc, argv, 0);
    if (!loaded || !is_patcher(loaded)) {
        error("%s: No such object", name->name);
        return nullptr;
    }
    auto *p = static_cast<patcher *>(loaded);
    patcher_mark_from_file(p);
    p->window.title = gensym(found);
    // The patcher belongs to the box, not to the next object box line.
    if (g_newest_object == &p->header) g_newest_object = nullptr;
    return p;
}

void bpatcher_free(bpatcher_box *x)
{
    box_detach(&x->b);
    object *inside = x->b.obj;
    x->b.obj = nullptr;
    if (inside && inside != &x->b.header && object_valid(inside)) freeobject(inside);
    if (x->layout) atombuf_free(x->layout);
    x->layout = nullptr;
}

void *bpatcher_color(bpatcher_box *x, long n)
{
    x->b.flags = static_cast<unsigned short>((x->b.flags & ~BOX_COLOR_MASK) | ((n & 0xF) << BOX_COLOR_SHIFT));
    return nullptr;
}

// "#P [hidden] bpatcher" and the atoms of the line as they came.
void *bpatcher_psave(bpatcher_box *x, binbuf *dest)
{
    static symbol *const kind = gensym("bpatcher");
    atom head[16];
    long n = box_line_head(&x->b, false, kind, 0, nullptr, head);
    long count = x->layout ? x->layout->argc : 0;
    atom *line = static_cast<atom *>(sysmem_newptr((n + count) * static_cast<long>(sizeof(atom))));
    if (!line) {
        memory_set_low(true);
        return nullptr;
    }
    std::memcpy(line, head, static_cast<size_t>(n) * sizeof(atom));
    if (count) std::memcpy(line + n, x->layout->argv, static_cast<size_t>(count) * sizeof(atom));
    save_message(dest, n + count, line);
    sysmem_freeptr(line);
    return nullptr;
}

long layout_number(long argc, const atom *argv, long i)
{
    return i < argc && (argv[i].type == ATYPE_LONG || argv[i].type == ATYPE_FLOAT) ? atom_getlong(&argv[i]) : 0;
}

short clamp_short(long v) { return static_cast<short>(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

// A bpatcher line of a patcher file: left top width height, view offset x
// y, file name, flags, arguments (the patcher has checked there are six).
box *make_from_line(patcher *p, symbol *, long argc, atom *argv)
{
    auto *x = g_class ? static_cast<bpatcher_box *>(object_alloc(g_class)) : nullptr;
    if (!x) {
        if (patcher_loading()) building().load_abort = 1;
        return nullptr;
    }
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(bpatcher_box) - sizeof(object));
    const long left = layout_number(argc, argv, 0), top = layout_number(argc, argv, 1);
    box_new(&x->b, p, 0, clamp_short(left), clamp_short(top), clamp_short(left + layout_number(argc, argv, 2)),
            clamp_short(top + layout_number(argc, argv, 3)));
    x->layout = atombuf_new(argc, argv);
    if (!x->layout) {
        if (patcher_loading()) building().load_abort = 1;
        box_attach_placeholder(&x->b);
        return &x->b;
    }
    patcher *view = nullptr;
    if (argc > 6 && argv[6].type == ATYPE_SYM && argv[6].word.w_sym != sym_empty) {
        const long first_argument = 8;
        const long nargs = argc > first_argument ? argc - first_argument : 0;
        view = load_view(argv[6].word.w_sym, nargs, x->layout->argv + first_argument);
    }
    if (view) {
        x->b.obj = &view->header;
        view->container = &x->b;
        box_relayout(&x->b);
    } else {
        // A missing file keeps the box, and the cords to it, for saving.
        box_attach_placeholder(&x->b);
    }
    return &x->b;
}

// `bpatcher` typed in an object box: file name, arguments; the box shows
// the patcher loaded from the file as an abstraction would.
void *bpatcher_new(symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM || argv[0].word.w_sym == sym_empty) {
        error("bpatcher: no file name");
        return nullptr;
    }
    patcher *view = load_view(argv[0].word.w_sym, argc - 1, argv + 1);
    return view ? &view->header : nullptr;
}

}  // namespace

bool bpatcher_init()
{
    if (g_class) return true;
    kel_class *c = define_class(
        "bpatcher", nullptr, as_method(&bpatcher_free), sizeof(bpatcher_box), class_home::nobox,
        {{as_method(&bpatcher_color), "color", ATYPE_LONG}, {as_method(&bpatcher_psave), "psave", ATYPE_CANT}});
    if (!c) return false;
    c->noinlet = 1;
    g_class = c;
    box_kind kind;
    kind.make = &make_from_line;
    kind.box_class = c;
    patcher_register_box_kind(gensym("bpatcher"), kind);
    return creation_provide("bpatcher", as_method(&bpatcher_new));
}

}  // namespace kel
