#include "objects/number_box.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/clocks.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/preset.h"
#include "kel/registry.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "objects/controls_support.h"
#include "objects/objects.h"

namespace kel {
namespace {

constexpr short box_height = 15;
constexpr long default_width = 35;
constexpr unsigned flag_min = 0x1, flag_max = 0x2, flag_hex = 0x10, flag_drag_end = 0x40;
constexpr long typed_max = 40;

// Line atoms after the kind.
enum : long {
    at_left,
    at_top,
    at_width,
    at_font_size,
    at_min,
    at_max,
    at_flags,
    at_font,
    at_colours,
    line_full = at_colours + 12
};

// The four colours in line order (components 0 to 255 in the file, kept
// times 256): background, foreground, and the two `rgb2` and `rgb3` set.
constexpr int default_colours[4][3] = {{221, 221, 221}, {0, 0, 0}, {0, 0, 0}, {255, 255, 255}};
enum { colour_back, colour_fore, colour_2, colour_3 };

struct number_box {
    box b;
    bool floating;
    int32_t ivalue;
    float fvalue;
    int32_t imin, imax;
    float fmin, fmax;
    uint16_t flags;
    short font;
    short font_size;  // in effect (a line's size of 7 or less takes the patcher's)
    uint16_t colours[4][3];
    qelem *redraw;
    bool typing;
    char typed[typed_max + 1];
    long ntyped;
    bool dragging;
    double drag_from;
    outlet *value_out;
    outlet *bang_out;
    control_line line;
};

kel_class *g_number_class = nullptr;
kel_class *g_flonum_class = nullptr;

number_box *as_number(box *b)
{
    kel_class *c = object_class(b);
    return c && (c == g_number_class || c == g_flonum_class) ? reinterpret_cast<number_box *>(b) : nullptr;
}

symbol *kind_name(const number_box *x) { return gensym(x->floating ? "flonum" : "number"); }

void redraw_fn(number_box *) {}  // nothing is drawn headless

void changed(number_box *x)
{
    static symbol *const modified = gensym("modified");
    object_notify(x, modified, nullptr);
    if (x->redraw) qelem_set(x->redraw);
}

int32_t limit_int(const number_box *x, int32_t v)
{
    if ((x->flags & flag_min) && v < x->imin) return x->imin;
    if ((x->flags & flag_max) && v > x->imax) return x->imax;
    return v;
}

float limit_float(const number_box *x, float v)
{
    if ((x->flags & flag_min) && v < x->fmin) return x->fmin;
    if ((x->flags & flag_max) && v > x->fmax) return x->fmax;
    return v;
}

double value_of(const number_box *x)
{
    return x->floating ? static_cast<double>(x->fvalue) : static_cast<double>(x->ivalue);
}

void output(number_box *x)
{
    if (x->floating)
        outlet_float(x->value_out, x->fvalue);
    else
        outlet_int(x->value_out, x->ivalue);
}

void store_int(number_box *x, long n)
{
    if (x->floating)
        x->fvalue = limit_float(x, static_cast<float>(n));
    else
        x->ivalue = limit_int(x, wrap32(n));
    changed(x);
}

void store_float(number_box *x, double f)
{
    if (x->floating)
        x->fvalue = limit_float(x, static_cast<float>(f));
    else
        x->ivalue = limit_int(x, static_cast<int32_t>(float_to_long(f)));
    changed(x);
}

// Adds delta (a whole step, typed or dragged), wrapping as 32-bit integers
// do.
void step(number_box *x, long delta)
{
    if (x->floating)
        store_float(x, static_cast<double>(x->fvalue) + static_cast<double>(delta));
    else
        store_int(x, static_cast<long>(static_cast<int64_t>(x->ivalue) + delta));
}

void *number_int(number_box *x, long n)
{
    store_int(x, n);
    output(x);
    return nullptr;
}

void *number_float(number_box *x, double f)
{
    store_float(x, f);
    output(x);
    return nullptr;
}

void *number_bang(number_box *x)
{
    output(x);
    return nullptr;
}

void *number_set_int(number_box *x, long n)
{
    store_int(x, n);
    return nullptr;
}

void *number_set_float(number_box *x, double f)
{
    store_float(x, f);
    return nullptr;
}

// `min` and `max`: with a value the limit is set, and the other one, when
// set on the wrong side of it, follows; without one the limit goes.
void change_limit(number_box *x, bool is_min, long argc, atom *argv)
{
    static symbol *const min = gensym("min"), *const max = gensym("max");
    const unsigned bit = is_min ? flag_min : flag_max;
    const long index = is_min ? at_min : at_max;
    if (argc <= 0) {
        x->flags = static_cast<uint16_t>(x->flags & ~bit);
        control_line_set(&x->line, at_flags, int_atom(x->flags));
        return;
    }
    const atom &a = argv[0];
    if (!(a.type == ATYPE_LONG || (a.type == ATYPE_FLOAT && x->floating))) {
        if (a.type != ATYPE_FLOAT) {
            error("%s: bad arguments for message \"%s\"", kind_name(x)->name, (is_min ? min : max)->name);
        }
        return;  // a number box ignores a limit that is not an integer
    }
    x->flags = static_cast<uint16_t>(x->flags | bit);
    if (x->floating) {
        const float v = static_cast<float>(atom_getfloat(&a));
        if (is_min) {
            x->fmin = v;
            if ((x->flags & flag_max) && x->fmax < v) x->fmax = v;
        } else {
            x->fmax = v;
            if ((x->flags & flag_min) && x->fmin > v) x->fmin = v;
        }
        control_line_set(&x->line, index, float_atom(v));
        control_line_set(&x->line, at_min, float_atom(x->fmin));
        control_line_set(&x->line, at_max, float_atom(x->fmax));
    } else {
        const int32_t v = wrap32(atom_getlong(&a));
        if (is_min) {
            x->imin = v;
            if ((x->flags & flag_max) && x->imax < v) x->imax = v;
        } else {
            x->imax = v;
            if ((x->flags & flag_min) && x->imin > v) x->imin = v;
        }
        control_line_set(&x->line, at_min, int_atom(x->imin));
        control_line_set(&x->line, at_max, int_atom(x->imax));
    }
    control_line_set(&x->line, at_flags, int_atom(x->flags));
}

void *number_min(number_box *x, symbol *, long argc, atom *argv)
{
    change_limit(x, true, argc, argv);
    return nullptr;
}

void *number_max(number_box *x, symbol *, long argc, atom *argv)
{
    change_limit(x, false, argc, argv);
    return nullptr;
}

void *number_flags(number_box *x, long n)
{
    x->flags = static_cast<uint16_t>((static_cast<unsigned>(n) & ~(flag_min | flag_max) & 0xFFFF) |
                                     (x->flags & (flag_min | flag_max)));
    control_line_set(&x->line, at_flags, int_atom(x->flags));
    if (x->redraw) qelem_set(x->redraw);
    return nullptr;
}

// --- typing ---

void start_typing(number_box *x)
{
    x->typing = true;
    x->ntyped = 0;
    x->typed[0] = '\0';
}

void *number_select(number_box *x)
{
    defer(x, as_method(&start_typing), nullptr, 0, nullptr);
    return nullptr;
}

// Finishes typed input: the number typed is stored and sent.
void finish_typing(number_box *x)
{
    const bool pending = x->typing && x->ntyped > 0;
    x->typing = false;
    if (!pending) return;
    x->typed[x->ntyped] = '\0';
    errno = 0;
    if (x->floating) {
        const double f = std::strtod(x->typed, nullptr);
        store_float(x, std::isfinite(f) ? f : 0.0);
    } else {
        long long n = std::strtoll(x->typed, nullptr, (x->flags & flag_hex) ? 16 : 10);
        if (n > INT32_MAX) n = INT32_MAX;
        if (n < INT32_MIN) n = INT32_MIN;
        store_int(x, static_cast<long>(n));
    }
    x->ntyped = 0;
    output(x);
}

void *number_enter(number_box *x)
{
    finish_typing(x);
    return nullptr;
}

bool typable(const number_box *x, long c)
{
    if (c >= '0' && c <= '9') return true;
    if (c == '-') return x->ntyped == 0;
    if (c == '.') return x->floating && !std::memchr(x->typed, '.', static_cast<size_t>(x->ntyped));
    if (!x->floating && (x->flags & flag_hex)) return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    return false;
}

void *number_key(number_box *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || !is_number_atom(argv[0])) {
        error("%s: bad arguments for message \"key\"", kind_name(x)->name);
        return nullptr;
    }
    const long c = atom_getlong(&argv[0]);
    switch (c) {
    case 9:
        outlet_bang(x->bang_out);
        return nullptr;
    case 30:
    case 31:
        x->typing = false;
        x->ntyped = 0;
        step(x, c == 30 ? 1 : -1);
        output(x);
        return nullptr;
    case 3:
    case 13:
        finish_typing(x);
        return nullptr;
    case 8:
    case 127:
        if (x->typing && x->ntyped > 0) x->typed[--x->ntyped] = '\0';
        return nullptr;
    default:
        break;
    }
    if (!typable(x, c)) return nullptr;
    if (!x->typing) start_typing(x);
    if (x->ntyped >= typed_max) return nullptr;
    x->typed[x->ntyped++] = static_cast<char>(c);
    x->typed[x->ntyped] = '\0';
    return nullptr;
}

// --- the mouse ---

void *number_click(number_box *x)
{
    x->dragging = true;
    x->drag_from = value_of(x);
    return nullptr;
}

// --- presets and the value interface ---

void *number_preset(number_box *x)
{
    static symbol *const int_ = gensym("int"), *const float_ = gensym("float");
    if (x->floating)
        preset_store("ossf", x, kind_name(x), float_, static_cast<double>(x->fvalue));
    else
        preset_store("ossl", x, kind_name(x), int_, static_cast<long>(x->ivalue));
    return nullptr;
}

long number_getvalueof(number_box *x, long *ac, atom **av)
{
    if (!ac || !av) return ERR_GENERIC;
    if (!*ac || !*av) {
        *av = static_cast<atom *>(getbytes(static_cast<long>(sizeof(atom))));
        if (!*av) return ERR_GENERIC;
    }
    *ac = 1;
    if (x->floating)
        atom_setfloat(*av, x->fvalue);
    else
        atom_setlong(*av, x->ivalue);
    return ERR_NONE;
}

// Nothing to set from no atoms.
long number_setvalueof(number_box *x, long ac, atom *av)
{
    if (ac <= 0 || !av) return ERR_NONE;
    if (x->floating)
        number_float(x, atom_getfloat(av));
    else
        number_int(x, atom_getlong(av));
    return ERR_NONE;
}

// --- colours, font and drawing ---

void set_colour(number_box *x, int which, long r, long g, long b)
{
    const long rgb[3] = {r, g, b};
    for (int k = 0; k < 3; k++) {
        const long c = rgb[k] < 0 ? 0 : rgb[k] > 255 ? 255 : rgb[k];
        x->colours[which][k] = static_cast<uint16_t>(c * 256);
        control_line_set(&x->line, at_colours + which * 3 + k, int_atom(c));
    }
    if (x->redraw) qelem_set(x->redraw);
}

void *number_brgb(number_box *x, long r, long g, long b)
{
    set_colour(x, colour_back, r, g, b);
    return nullptr;
}
void *number_frgb(number_box *x, long r, long g, long b)
{
    set_colour(x, colour_fore, r, g, b);
    return nullptr;
}
void *number_rgb2(number_box *x, long r, long g, long b)
{
    set_colour(x, colour_2, r, g, b);
    return nullptr;
}
void *number_rgb3(number_box *x, long r, long g, long b)
{
    set_colour(x, colour_3, r, g, b);
    return nullptr;
}

void *number_color(number_box *x, long n)
{
    x->b.flags = static_cast<unsigned short>((x->b.flags & ~BOX_COLOR_MASK) | ((n & 0xF) << BOX_COLOR_SHIFT));
    if (x->redraw) qelem_set(x->redraw);
    return nullptr;
}

void *number_bfont(number_box *x, long font, long size)
{
    x->font = clamp_short(font);
    control_line_set(&x->line, at_font, int_atom(font));
    control_line_set(&x->line, at_font_size, int_atom(size));
    if (size > 7) x->font_size = clamp_short(size);
    if (x->redraw) qelem_set(x->redraw);
    return nullptr;
}

void *number_nothing(number_box *) { return nullptr; }

void *number_psave(number_box *x, binbuf *dest)
{
    const box_rect &r = x->b.rect;
    control_line_set(&x->line, at_left, int_atom(r.left));
    control_line_set(&x->line, at_top, int_atom(r.top));
    control_line_set(&x->line, at_width, int_atom(r.right - r.left));
    atom absent[line_full];
    absent[at_left] = int_atom(50);
    absent[at_top] = int_atom(50);
    absent[at_width] = int_atom(default_width);
    for (long i = at_font_size; i < at_colours; i++) absent[i] = int_atom(0);
    for (int c = 0; c < 4; c++)
        for (int k = 0; k < 3; k++) absent[at_colours + c * 3 + k] = int_atom(default_colours[c][k]);
    control_line_save(&x->b, dest, kind_name(x), &x->line, line_full, absent);
    return nullptr;
}

void number_free(number_box *x)
{
    box_detach(&x->b);
    if (x->redraw) qelem_free(x->redraw);
    x->redraw = nullptr;
}

box *make_from_line(patcher *p, symbol *kind, long argc, atom *argv)
{
    return number_box_new(p, kind == gensym("flonum"), argc, argv);
}

void *vnumber_new(symbol *s, long argc, atom *argv)
{
    long first = 0;
    patcher *p = control_target_patcher(argc, argv, &first);
    if (!p) return nullptr;
    return number_box_new(p, s == gensym("vflonum"), argc - first, argv + first);
}

kel_class *make_class(const char *name, bool floating)
{
    const short CANT = ATYPE_CANT, G = ATYPE_GIMME;
    kel_class *c = define_class(name, nullptr, as_method(&number_free), sizeof(number_box), class_home::nobox,
                                {{as_method(&number_int), "int", ATYPE_LONG},
                                 {as_method(&number_float), "float", ATYPE_FLOAT},
                                 {as_method(&number_bang), "bang"},
                                 {floating ? as_method(&number_set_float) : as_method(&number_set_int), "set",
                                  static_cast<short>(floating ? ATYPE_FLOAT : ATYPE_LONG)},
                                 {as_method(&number_min), "min", G},
                                 {as_method(&number_max), "max", G},
                                 {as_method(&number_flags), "flags", ATYPE_LONG},
                                 {as_method(&number_enter), "enter"},
                                 {as_method(&number_select), "select"},
                                 {as_method(&number_key), "key", G},
                                 {as_method(&number_click), "click", CANT},
                                 {as_method(&number_preset), "preset"},
                                 {as_method(&number_getvalueof), "getvalueof", CANT},
                                 {as_method(&number_setvalueof), "setvalueof", CANT},
                                 {as_method(&number_color), "color", ATYPE_LONG},
                                 {as_method(&number_nothing), "vis", CANT},
                                 {as_method(&number_nothing), "info", CANT},
                                 {as_method(&number_nothing), "clipregion", CANT},
                                 {as_method(&number_nothing), "update", CANT},
                                 {as_method(&number_psave), "psave", CANT}});
    if (!c) return nullptr;
    class_addmethod(c, as_method(&number_frgb), "frgb", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, as_method(&number_brgb), "brgb", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, as_method(&number_rgb2), "rgb2", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, as_method(&number_rgb3), "rgb3", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, as_method(&number_bfont), "bfont", ATYPE_LONG, ATYPE_LONG, 0);
    return c;
}

}  // namespace

bool number_box_init()
{
    if (!g_number_class) g_number_class = make_class("number", false);
    if (!g_flonum_class) g_flonum_class = make_class("flonum", true);
    if (!g_number_class || !g_flonum_class) return false;
    box_kind kind;
    kind.make = &make_from_line;
    kind.box_class = g_number_class;
    patcher_register_box_kind(gensym("number"), kind);
    kind.box_class = g_flonum_class;
    patcher_register_box_kind(gensym("flonum"), kind);
    return creation_provide("vnumber", as_method(&vnumber_new)) && creation_provide("vflonum", as_method(&vnumber_new));
}

box *number_box_new(patcher *p, bool floating, long argc, atom *argv)
{
    kel_class *c = floating ? g_flonum_class : g_number_class;
    auto *x = c && p ? static_cast<number_box *>(object_alloc(c)) : nullptr;
    if (!x) {
        if (p && patcher_loading()) building().load_abort = 1;
        return nullptr;
    }
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(number_box) - sizeof(object));
    if (argc < 0 || !argv) argc = 0;
    x->floating = floating;
    control_line_take(&x->line, argc, argv);
    // The colours the line does not give have their default components, so
    // that saving writes them only when they were changed.
    for (int k = 0; k < 4; k++)
        for (int m = 0; m < 3; m++) {
            const long i = at_colours + k * 3 + m;
            if (i >= argc) control_line_set(&x->line, i, int_atom(default_colours[k][m]));
        }
    const bool placed = argc >= 2 && argv[0].type == ATYPE_LONG && argv[1].type == ATYPE_LONG;
    const long left = placed ? argv[0].word.w_long : 50, top = placed ? argv[1].word.w_long : 50;
    const long width = number_at(argc, argv, at_width, default_width);
    box_new(&x->b, p, 0, clamp_short(left), clamp_short(top), clamp_short(left + width), clamp_short(top + box_height));
    const long size = number_at(argc, argv, at_font_size, 0);
    x->font_size = static_cast<short>(size > 7 ? clamp_short(size) : p->setfont_size > 0 ? p->setfont_size : 9);
    x->font = clamp_short(number_at(argc, argv, at_font, 3));
    x->flags = static_cast<uint16_t>(number_at(argc, argv, at_flags, 0));
    const atom zero = int_atom(0);
    const atom &min = at_min < argc && is_number_atom(argv[at_min]) ? argv[at_min] : zero;
    const atom &max = at_max < argc && is_number_atom(argv[at_max]) ? argv[at_max] : zero;
    x->imin = wrap32(atom_getlong(&min));
    x->imax = wrap32(atom_getlong(&max));
    x->fmin = static_cast<float>(atom_getfloat(&min));
    x->fmax = static_cast<float>(atom_getfloat(&max));
    for (int k = 0; k < 4; k++)
        for (int m = 0; m < 3; m++) {
            const long comp = number_at(argc, argv, at_colours + k * 3 + m, default_colours[k][m]);
            x->colours[k][m] = static_cast<uint16_t>(comp * 256);
        }
    // The minimum when it is set and positive, else 0; then limited, so
    // that a maximum below 0 holds too.
    if (floating)
        x->fvalue = limit_float(x, (x->flags & flag_min) && x->fmin > 0 ? x->fmin : 0.0f);
    else
        x->ivalue = limit_int(x, (x->flags & flag_min) && x->imin > 0 ? x->imin : 0);
    x->redraw = qelem_new(x, as_method(&redraw_fn));
    x->bang_out = outlet_new(x, nullptr);
    x->value_out = outlet_new(x, nullptr);
    if (!x->redraw || !x->bang_out || !x->value_out) {
        if (patcher_loading()) building().load_abort = 1;
        patcher_deleteobj(p, &x->b);
        return nullptr;
    }
    return &x->b;
}

void number_box_drag(box *b, long up)
{
    number_box *x = as_number(b);
    if (!x || !x->dragging || up == 0) return;
    step(x, up);
    if (!(x->flags & flag_drag_end)) output(x);
}

void number_box_release(box *b)
{
    number_box *x = as_number(b);
    if (!x || !x->dragging) return;
    x->dragging = false;
    if ((x->flags & flag_drag_end) && value_of(x) != x->drag_from) output(x);
}

double number_box_value(box *b)
{
    number_box *x = as_number(b);
    return x ? value_of(x) : 0.0;
}

}  // namespace kel
