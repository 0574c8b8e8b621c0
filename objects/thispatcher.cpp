// thispatcher: every message it receives goes to the patcher it was made in
// (the patcher being built, #P, at its creation), so that a patch can script
// and query itself.
//
// Messages that change the window (`window`, `replace`, `patcher`), and every
// message that arrives inside a timer or driver poll, are passed on from the
// low-priority queue, never inside a scheduler poll; the others at once on
// the main thread. While its own saved lines load, the thispatcher is bound
// to #Q, and `window` lines addressed to #Q then apply at once; it keeps
// them, to write them back in their order when the patcher is saved.
#include "objects/thispatcher.h"

#include <new>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/atoms.h"
#include "kernel/core/classes.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/scheduler.h"
#include "objects/objects.h"

namespace kel {
namespace {

struct thispatcher {
    object header;
    patcher *where;        // null when made outside any patcher
    unsigned long serial;  // where's serial: the patcher is known to be alive by it
    outlet *out[2];
    long savewindow;
    binbuf *window_lines;  // the "#Q window" lines it was loaded with, or null
};

kel_class *g_class = nullptr;

symbol *bound_name()
{
    static symbol *const q = gensym("#Q");
    return q;
}

// Its patcher, when that is still alive.
patcher *patcher_of(thispatcher *x)
{
    if (!x->where) return nullptr;
    for (patcher *p = patcher_live_first(); p; p = p->live_next)
        if (p == x->where && p->serial == x->serial) return p;
    return nullptr;
}

void forward_now(thispatcher *x, symbol *s, long argc, atom *argv)
{
    if (patcher *p = patcher_of(x)) typedmess(p, s, argc, argv);
}

void keep_window_line(thispatcher *x, long argc, atom *argv)
{
    // A line that cannot be kept for lack of memory raises the memory-low
    // flag: the load does not give the file back whole.
    try {
        if (!x->window_lines) x->window_lines = binbuf_new();
        if (!x->window_lines) throw std::bad_alloc();
        std::vector<atom> line{sym_atom(gensym("window"))};
        line.insert(line.end(), argv, argv + argc);
        if (binbuf_insert(x->window_lines, nullptr, static_cast<long>(line.size()), line.data()) != 0)
            throw std::bad_alloc();
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
}

void *thispatcher_anything(thispatcher *x, symbol *s, long argc, atom *argv)
{
    static symbol *const window = gensym("window"), *const replace = gensym("replace"),
                         *const patcher_sym = gensym("patcher");
    if (argc > 32767) argc = 32767;
    const bool own_lines = bound_name()->thing == &x->header;
    if (own_lines && s == window) keep_window_line(x, argc, argv);
    const bool low = (s == window && !own_lines) || s == replace || s == patcher_sym || in_isr();
    auto fn = as_method(&forward_now);
    if (low)
        defer_low(x, fn, s, static_cast<short>(argc), argv);
    else
        defer(x, fn, s, static_cast<short>(argc), argv);
    return nullptr;
}

// Numbers and bang go on as messages of their own name, like any other.
void *thispatcher_bang(thispatcher *x) { return thispatcher_anything(x, sym_bang, 0, nullptr); }

void *thispatcher_int(thispatcher *x, long n)
{
    atom a;
    atom_setlong(&a, n);
    return thispatcher_anything(x, sym_int, 1, &a);
}

void *thispatcher_float(thispatcher *x, double f)
{
    atom a;
    atom_setfloat(&a, f);
    return thispatcher_anything(x, sym_float, 1, &a);
}

void *thispatcher_list(thispatcher *x, symbol *, long argc, atom *argv)
{
    return thispatcher_anything(x, sym_list, argc, argv);
}

void *thispatcher_savewindow(thispatcher *x, long flag)
{
    x->savewindow = flag;
    return nullptr;
}

void *thispatcher_end(thispatcher *x)
{
    if (bound_name()->thing == &x->header) bound_name()->thing = nullptr;
    return nullptr;
}

// The lines that make it again: "#N thispatcher;", the "window" lines it
// was loaded with, in their order, the window's rectangle when it saves the
// window (in place of a loaded "window size" line, else after the others),
// and "#Q end;" to let go of #Q.
void *thispatcher_save(thispatcher *x, binbuf *dest)
{
    static symbol *const size = gensym("size");
    symbol *q = bound_name();
    binbuf_vinsert(dest, "ss", gensym("#N"), gensym("thispatcher"));
    patcher *p = patcher_of(x);
    const bool window = x->savewindow && p;
    bool size_written = false;
    auto write_size = [&] {
        binbuf_vinsert(dest, "sssllll", q, gensym("window"), size, static_cast<long>(p->window.left),
                       static_cast<long>(p->window.top), static_cast<long>(p->window.right),
                       static_cast<long>(p->window.bottom));
        size_written = true;
    };
    if (x->window_lines) {
        long index = 0, offset = 0;
        atom a;
        std::vector<atom> line{sym_atom(q)};
        while (binbuf_getatom(x->window_lines, &index, &offset, &a) == 0) {
            if (a.type != ATYPE_SEMI) {
                line.push_back(a);
                continue;
            }
            const bool is_size = line.size() > 2 && line[2].type == ATYPE_SYM && line[2].word.w_sym == size;
            if (is_size && window && !size_written)
                write_size();
            else
                binbuf_insert(dest, nullptr, static_cast<long>(line.size()), line.data());
            line.resize(1);
        }
    }
    if (window) {
        if (!size_written) write_size();
        binbuf_vinsert(dest, "ssl", q, gensym("savewindow"), 1L);
    }
    binbuf_vinsert(dest, "ss", q, gensym("end"));
    return nullptr;
}

void thispatcher_free(thispatcher *x)
{
    thispatcher_end(x);
    if (x->window_lines) freeobject(x->window_lines);
    x->window_lines = nullptr;
}

void *thispatcher_new(symbol *, long, atom *)
{
    auto *x = static_cast<thispatcher *>(object_alloc(g_class));
    if (!x) return nullptr;
    object *current = bindings().P->thing;
    x->where = is_patcher(current) ? reinterpret_cast<patcher *>(current) : nullptr;
    x->serial = x->where ? x->where->serial : 0;
    x->savewindow = 0;
    x->window_lines = nullptr;
    x->out[1] = outlet_new(x, nullptr);
    x->out[0] = outlet_new(x, nullptr);
    bound_name()->thing = &x->header;
    return x;
}

}  // namespace

bool thispatcher_init()
{
    if (g_class) return true;
    const short L = ATYPE_LONG, F = ATYPE_FLOAT, G = ATYPE_GIMME;
    kel_class *c = define_class("thispatcher", as_method(&thispatcher_new), as_method(&thispatcher_free),
                                sizeof(thispatcher), class_home::box,
                                {{as_method(&thispatcher_bang), "bang"},
                                 {as_method(&thispatcher_int), "int", L},
                                 {as_method(&thispatcher_float), "float", F},
                                 {as_method(&thispatcher_list), "list", G},
                                 {as_method(&thispatcher_anything), "anything", G},
                                 {as_method(&thispatcher_savewindow), "savewindow", L},
                                 {as_method(&thispatcher_end), "end"},
                                 {as_method(&thispatcher_save), "save", ATYPE_CANT}},
                                ATYPE_GIMME);
    if (!c) return false;
    g_class = c;
    return creation_provide("thispatcher", as_method(&thispatcher_new));
}

}  // namespace kel
