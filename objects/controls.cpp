#include "objects/controls.h"

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

constexpr long default_size = 15;
constexpr long flash_ms = 150;
constexpr long slider_default_range = 128;
constexpr long range_max = 1024, mult_max = 1024;

enum class control_kind { button, toggle, slider };

struct control_box {
    box b;
    control_kind kind;
    qelem *redraw;
    outlet *out;
    control_line line;
    // button
    bool flashing;
    bool pressed;
    kel_clock *flash_clock;
    // toggle and slider
    int32_t value;
    // slider
    int32_t range;
    int32_t min;
    int32_t mult;
    bool dragging;
    int32_t drag_from;
};

kel_class *g_button = nullptr;
kel_class *g_toggle = nullptr;
kel_class *g_slider = nullptr;

control_box *as_control(box *b)
{
    kel_class *c = object_class(b);
    return c && (c == g_button || c == g_toggle || c == g_slider) ? reinterpret_cast<control_box *>(b) : nullptr;
}

void redraw_fn(control_box *) {}  // nothing is drawn headless

void redraw(control_box *x)
{
    if (x->redraw) qelem_set(x->redraw);
}

// A new value for a toggle or slider: dependents hear `modified` when it
// changed.
void take_value(control_box *x, int32_t v)
{
    static symbol *const modified = gensym("modified");
    const bool differs = v != x->value;
    x->value = v;
    redraw(x);
    if (differs) object_notify(x, modified, nullptr);
}

void control_free(control_box *x)
{
    box_detach(&x->b);
    if (x->redraw) qelem_free(x->redraw);
    x->redraw = nullptr;
    if (x->flash_clock) freeobject(x->flash_clock);
    x->flash_clock = nullptr;
}

// --- button ---

void flash_end(control_box *x)
{
    x->flashing = false;
    redraw(x);
}

void flash(control_box *x)
{
    if (!x->flashing) {
        x->flashing = true;
        redraw(x);
    }
    if (x->flash_clock) clock_delay(x->flash_clock, flash_ms);
}

void *button_bang(control_box *x)
{
    flash(x);
    outlet_bang(x->out);
    return nullptr;
}

void *button_int(control_box *x, long) { return button_bang(x); }
void *button_float(control_box *x, double) { return button_bang(x); }
void *button_anything(control_box *x, symbol *, long, atom *) { return button_bang(x); }

// Pressed until the mouse comes up: headless, the button is pressed while
// it sends, and the flash ends with the release.
void *button_click(control_box *x)
{
    x->pressed = true;
    redraw(x);
    outlet_bang(x->out);
    x->pressed = false;
    if (x->flash_clock) clock_unset(x->flash_clock);
    flash_end(x);
    return nullptr;
}

void button_set_color(control_box *x, symbol *, long argc, atom *argv)
{
    const long n = argc > 0 ? atom_getlong(argv) : -1;
    if (n < 0 || n > 15) return;
    x->b.flags = static_cast<unsigned short>((x->b.flags & ~BOX_COLOR_MASK) | (n << BOX_COLOR_SHIFT));
    redraw(x);
}

void *button_color(control_box *x, long n)
{
    atom a = int_atom(n);
    defer(x, as_method(&button_set_color), nullptr, 1, &a);
    return nullptr;
}

// --- toggle ---

void *toggle_int(control_box *x, long n)
{
    take_value(x, wrap32(n));
    outlet_int(x->out, x->value);
    return nullptr;
}

void *toggle_float(control_box *x, double f) { return toggle_int(x, float_to_long(f)); }

void *toggle_bang(control_box *x) { return toggle_int(x, x->value ? 0 : 1); }

void *toggle_click(control_box *x) { return toggle_bang(x); }

void *value_set(control_box *x, long n)
{
    take_value(x, wrap32(n));
    return nullptr;
}

// --- slider ---

int32_t slider_output_value(const control_box *x)
{
    // mult x value + min in 32-bit wrapping arithmetic.
    const uint32_t product = static_cast<uint32_t>(x->mult) * static_cast<uint32_t>(x->value);
    return static_cast<int32_t>(product + static_cast<uint32_t>(x->min));
}

void *slider_bang(control_box *x)
{
    outlet_int(x->out, slider_output_value(x));
    return nullptr;
}

void *slider_int(control_box *x, long n)
{
    take_value(x, wrap32(n));
    return slider_bang(x);
}

void *slider_float(control_box *x, double f) { return slider_int(x, float_to_long(f)); }

void *slider_size(control_box *x, long n)
{
    x->range = static_cast<int32_t>(n < 1 ? 1 : n > range_max ? range_max : n);
    if (x->value >= x->range) take_value(x, x->range - 1);
    x->b.rect.bottom = clamp_short(x->b.rect.top + x->range + 7);
    box_relayout(&x->b);
    redraw(x);
    return nullptr;
}

void *slider_min(control_box *x, long n)
{
    x->min = wrap32(n);
    return nullptr;
}

void *slider_mult(control_box *x, long n)
{
    x->mult = static_cast<int32_t>(n < -mult_max ? -mult_max : n > mult_max ? mult_max : n);
    return nullptr;
}

void *slider_click(control_box *x)
{
    x->dragging = true;
    x->drag_from = x->value < 0 ? 0 : x->value >= x->range ? x->range - 1 : x->value;
    return nullptr;
}

// --- toggle and slider: presets and the value interface ---

void *value_preset(control_box *x)
{
    preset_int(x, x->value);
    return nullptr;
}

long value_getvalueof(control_box *x, long *ac, atom **av)
{
    if (!ac || !av) return ERR_GENERIC;
    if (!*ac || !*av) {
        *av = static_cast<atom *>(getbytes(static_cast<long>(sizeof(atom))));
        if (!*av) return ERR_GENERIC;
    }
    *ac = 1;
    atom_setlong(*av, x->value);
    return ERR_NONE;
}

// Nothing to set from no atoms.
long value_setvalueof(control_box *x, long ac, atom *av)
{
    if (ac <= 0 || !av) return ERR_NONE;
    const long n = atom_getlong(av);
    if (x->kind == control_kind::slider)
        slider_int(x, n);
    else
        toggle_int(x, n);
    return ERR_NONE;
}

void *control_nothing(control_box *) { return nullptr; }

// A toggle's or slider's colour index: written after its line as "#B color".
void *value_color(control_box *x, long n)
{
    x->b.flags = static_cast<unsigned short>((x->b.flags & ~BOX_COLOR_MASK) | ((n & 0xF) << BOX_COLOR_SHIFT));
    redraw(x);
    return nullptr;
}

// --- lines ---

// Line atoms after the kind: left top size, then the kind's own.
void *control_psave(control_box *x, binbuf *dest)
{
    static symbol *const button = gensym("button"), *const toggle = gensym("toggle"), *const slider = gensym("slider");
    const box_rect &r = x->b.rect;
    control_line_set(&x->line, 0, int_atom(r.left));
    control_line_set(&x->line, 1, int_atom(r.top));
    control_line_set(&x->line, 2, int_atom(r.right - r.left));
    atom absent[control_line_max];
    for (atom &a : absent) a = int_atom(0);
    absent[0] = absent[1] = int_atom(50);
    absent[2] = int_atom(default_size);
    // A setting keeps the atom the line gave while that atom still means
    // the value in force (a range of 0 read as 1 stays 0).
    auto keep_or_set = [x](long i, long value, long (*meaning)(long)) {
        const atom &a = x->line.atoms[i];
        if (i < x->line.count && is_number_atom(a) && meaning(atom_getlong(&a)) == value) return;
        control_line_set(&x->line, i, int_atom(value));
    };
    symbol *kind = toggle;
    if (x->kind == control_kind::button) {
        kind = button;
        keep_or_set(3, (x->b.flags & BOX_COLOR_MASK) >> BOX_COLOR_SHIFT,
                    [](long n) { return n >= 0 && n <= 15 ? n : 0L; });
    } else if (x->kind == control_kind::slider) {
        kind = slider;
        keep_or_set(3, x->range, [](long n) { return n < 1 ? 1L : n > range_max ? range_max : n; });
        keep_or_set(4, x->min, [](long n) { return static_cast<long>(wrap32(n)); });
        keep_or_set(5, x->mult, [](long n) { return n < -mult_max ? -mult_max : n > mult_max ? mult_max : n; });
        absent[3] = int_atom(slider_default_range);
        absent[5] = int_atom(1);
    }
    control_line_save(&x->b, dest, kind, &x->line, 8, absent);
    return nullptr;
}

box *control_new(patcher *p, control_kind kind, long argc, atom *argv)
{
    kel_class *c = kind == control_kind::button ? g_button : kind == control_kind::toggle ? g_toggle : g_slider;
    auto *x = c && p ? static_cast<control_box *>(object_alloc(c)) : nullptr;
    if (!x) {
        if (p && patcher_loading()) building().load_abort = 1;
        return nullptr;
    }
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(control_box) - sizeof(object));
    if (argc < 0 || !argv) argc = 0;
    x->kind = kind;
    control_line_take(&x->line, argc, argv);
    const bool placed = argc >= 2 && argv[0].type == ATYPE_LONG && argv[1].type == ATYPE_LONG;
    const long left = placed ? argv[0].word.w_long : 50, top = placed ? argv[1].word.w_long : 50;
    const long size = number_at(argc, argv, 2, default_size);
    long height = size;
    if (kind == control_kind::slider) {
        const long range = number_at(argc, argv, 3, slider_default_range);
        x->range = static_cast<int32_t>(range < 1 ? 1 : range > range_max ? range_max : range);
        x->min = wrap32(number_at(argc, argv, 4, 0));
        const long mult = number_at(argc, argv, 5, 1);
        x->mult = static_cast<int32_t>(mult < -mult_max ? -mult_max : mult > mult_max ? mult_max : mult);
        height = x->range + 7;
        // What the file gave, so that a line without them saves without them.
        if (argc < 4) control_line_set(&x->line, 3, int_atom(slider_default_range));
        if (argc < 6) control_line_set(&x->line, 5, int_atom(1));
    }
    box_new(&x->b, p, 0, clamp_short(left), clamp_short(top), clamp_short(left + size), clamp_short(top + height));
    if (kind == control_kind::button) {
        const long color = number_at(argc, argv, 3, 0);
        if (color >= 0 && color <= 15)
            x->b.flags = static_cast<unsigned short>(x->b.flags | (color << BOX_COLOR_SHIFT));
        x->flash_clock = clock_new(x, as_method(&flash_end));
    }
    x->redraw = qelem_new(x, as_method(&redraw_fn));
    x->out = outlet_new(x, nullptr);
    if (!x->redraw || !x->out || (kind == control_kind::button && !x->flash_clock)) {
        if (patcher_loading()) building().load_abort = 1;
        patcher_deleteobj(p, &x->b);
        return nullptr;
    }
    return &x->b;
}

control_kind kind_of(symbol *s)
{
    const char *name = s->name;
    if (name[0] == 'v') name++;
    if (std::strcmp(name, "button") == 0) return control_kind::button;
    if (std::strcmp(name, "toggle") == 0) return control_kind::toggle;
    return control_kind::slider;
}

box *make_from_line(patcher *p, symbol *kind, long argc, atom *argv)
{
    return control_new(p, kind_of(kind), argc, argv);
}

void *vcontrol_new(symbol *s, long argc, atom *argv)
{
    long first = 0;
    patcher *p = control_target_patcher(argc, argv, &first);
    if (!p) return nullptr;
    return control_new(p, kind_of(s), argc - first, argv + first);
}

}  // namespace

bool controls_init()
{
    const short CANT = ATYPE_CANT, G = ATYPE_GIMME, L = ATYPE_LONG, F = ATYPE_FLOAT;
    if (!g_button)
        g_button = define_class("button", nullptr, as_method(&control_free), sizeof(control_box), class_home::nobox,
                                {{as_method(&button_bang), "bang"},
                                 {as_method(&button_int), "int", L},
                                 {as_method(&button_float), "float", F},
                                 {as_method(&button_anything), "list", G},
                                 {as_method(&button_anything), "anything", G},
                                 {as_method(&button_click), "click", CANT},
                                 {as_method(&button_color), "color", L},
                                 {as_method(&control_nothing), "update", CANT},
                                 {as_method(&control_psave), "psave", CANT}});
    if (!g_toggle)
        g_toggle = define_class("toggle", nullptr, as_method(&control_free), sizeof(control_box), class_home::nobox,
                                {{as_method(&toggle_bang), "bang"},
                                 {as_method(&toggle_int), "int", L},
                                 {as_method(&toggle_float), "float", F},
                                 {as_method(&value_set), "set", L},
                                 {as_method(&toggle_click), "click", CANT},
                                 {as_method(&value_color), "color", L},
                                 {as_method(&value_preset), "preset"},
                                 {as_method(&value_getvalueof), "getvalueof", CANT},
                                 {as_method(&value_setvalueof), "setvalueof", CANT},
                                 {as_method(&control_nothing), "update", CANT},
                                 {as_method(&control_psave), "psave", CANT}});
    if (!g_slider)
        g_slider = define_class("slider", nullptr, as_method(&control_free), sizeof(control_box), class_home::nobox,
                                {{as_method(&slider_bang), "bang"},
                                 {as_method(&slider_int), "int", L},
                                 {as_method(&slider_float), "float", F},
                                 {as_method(&value_set), "set", L},
                                 {as_method(&slider_size), "size", L},
                                 {as_method(&slider_min), "min", L},
                                 {as_method(&slider_mult), "mult", L},
                                 {as_method(&slider_click), "click", CANT},
                                 {as_method(&value_color), "color", L},
                                 {as_method(&value_preset), "preset"},
                                 {as_method(&value_getvalueof), "getvalueof", CANT},
                                 {as_method(&value_setvalueof), "setvalueof", CANT},
                                 {as_method(&control_nothing), "update", CANT},
                                 {as_method(&control_psave), "psave", CANT}});
    if (!g_button || !g_toggle || !g_slider) return false;
    box_kind kind;
    kind.make = &make_from_line;
    kind.saves_color = true;
    kind.box_class = g_button;
    patcher_register_box_kind(gensym("button"), kind);
    kind.saves_color = false;
    kind.box_class = g_toggle;
    patcher_register_box_kind(gensym("toggle"), kind);
    kind.box_class = g_slider;
    patcher_register_box_kind(gensym("slider"), kind);
    return creation_provide("vbutton", as_method(&vcontrol_new)) &&
           creation_provide("vtoggle", as_method(&vcontrol_new)) &&
           creation_provide("vslider", as_method(&vcontrol_new));
}

void control_drag(box *b, long up)
{
    control_box *x = as_control(b);
    if (!x || x->kind != control_kind::slider || !x->dragging) return;
    long v = static_cast<long>(x->drag_from) + up;
    if (v < 0) v = 0;
    if (v >= x->range) v = x->range - 1;
    if (v != x->value) slider_int(x, v);
}

void control_release(box *b)
{
    if (control_box *x = as_control(b)) x->dragging = false;
}

long control_value(box *b)
{
    control_box *x = as_control(b);
    return x ? x->value : 0;
}

long control_range(box *b)
{
    control_box *x = as_control(b);
    return x && x->kind == control_kind::slider ? x->range : 0;
}

bool button_flashing(box *b)
{
    control_box *x = as_control(b);
    return x && x->flashing;
}

}  // namespace kel
