// Message boxes: the class `message` and the `vmessage` constructor.
//
// Evaluating the box sends its text as messages: the first out of its
// outlet (the outlet is the evaluation's target, and answers every message
// by sending it on), each one after a semicolon to the receiver it names.
// What arrives in the box fills $1 .. $9 first.
#include "objects/msgbox.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/patchfile.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/locks.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "objects/objects.h"

namespace kel {
namespace {

constexpr short box_height = 15;
constexpr long slots_max = 9;
constexpr size_t recent_max = 16;
constexpr long numbers_max = 16;  // the longest text of numbers sent without evaluation

// Blocks replaced while the box was being evaluated, freed when its
// outermost evaluation returns: the evaluation reads them.
struct retired_blocks {
    std::vector<atombuf *> contents;
    std::vector<std::pair<atom *, long>> slots;
};

struct messagebox {
    box b;
    atombuf *contents;
    atom *slots;
    long nslots;
    char pressed;
    outlet *out;
    int32_t font;
    symbol *font_name;
    int evaluating;
    retired_blocks *retired;
};

kel_class *g_class = nullptr;
std::vector<symbol *> g_recent;  // most recent first

messagebox *as_messagebox(box *b) { return reinterpret_cast<messagebox *>(b); }

void free_slots(atom *slots, long n)
{
    if (slots) freebytes(slots, n * static_cast<long>(sizeof(atom)));
}

void retire_contents(messagebox *x, atombuf *old)
{
    if (!old) return;
    if (x->evaluating) {
        try {
            if (!x->retired) x->retired = new retired_blocks;
            x->retired->contents.push_back(old);
            return;
        } catch (const std::bad_alloc &) {
            // Keeping it alive matters more than giving it back.
            return;
        }
    }
    atombuf_free(old);
}

void retire_slots(messagebox *x, atom *old, long n)
{
    if (!old) return;
    if (x->evaluating) {
        try {
            if (!x->retired) x->retired = new retired_blocks;
            x->retired->slots.emplace_back(old, n);
            return;
        } catch (const std::bad_alloc &) {
            return;
        }
    }
    free_slots(old, n);
}

void free_retired(messagebox *x)
{
    if (!x->retired) return;
    for (atombuf *a : x->retired->contents) atombuf_free(a);
    for (const auto &s : x->retired->slots) free_slots(s.first, s.second);
    delete x->retired;
    x->retired = nullptr;
}

// The highest $ number the contents use: the slot count.
long slots_needed(const atombuf *contents)
{
    long n = 0;
    for (long i = 0; contents && i < contents->argc; i++) {
        const atom &a = contents->argv[i];
        long k = 0;
        if (a.type == ATYPE_DOLLAR)
            k = a.word.w_long;
        else if (a.type == ATYPE_DOLLSYM && a.word.w_sym && a.word.w_sym->name[0] >= '0' &&
                 a.word.w_sym->name[0] <= '9')
            k = a.word.w_sym->name[0] - '0';
        if (k > n) n = k;
    }
    return n > slots_max ? slots_max : n;
}

// After every change of contents: the slot count follows the contents,
// the values of the slots that remain are kept, new ones hold 0.
void resize_slots(messagebox *x)
{
    long n = slots_needed(x->contents);
    if (n == x->nslots) return;
    atom *slots = n ? static_cast<atom *>(getbytes(n * static_cast<long>(sizeof(atom)))) : nullptr;
    if (n && !slots) return;  // the old slots stay; nothing is lost
    long keep = std::min(n, x->nslots);
    for (long i = 0; i < n; i++) {
        if (i < keep)
            slots[i] = x->slots[i];
        else
            atom_setlong(&slots[i], 0);
    }
    retire_slots(x, x->slots, x->nslots);
    x->slots = slots;
    x->nslots = n;
}

// Text of numbers alone is one message that needs no evaluation: it goes
// straight out of the outlet, as the outlet's own methods would send it when
// the evaluation handed it over. False for any other text.
bool send_numbers(messagebox *x)
{
    const atombuf *contents = x->contents;
    const long count = contents ? contents->argc : 0;
    if (count < 1 || count > numbers_max) return false;
    atom message[numbers_max];
    for (long i = 0; i < count; i++) {
        message[i] = contents->argv[i];  // a copy: a receiver may replace the text
        if (message[i].type != ATYPE_LONG && message[i].type != ATYPE_FLOAT) return false;
    }
    if (count > 1)
        outlet_list(x->out, sym_list, count, message);
    else if (message[0].type == ATYPE_LONG)
        outlet_int(x->out, message[0].word.w_long);
    else
        outlet_float(x->out, message[0].word.w_float);
    return true;
}

void evaluate(messagebox *x)
{
    x->evaluating++;
    if (!send_numbers(x)) atombuf_eval(x->contents, x->nslots, x->slots, x->out);
    if (--x->evaluating == 0 && x->retired) free_retired(x);
}

// --- methods ---

void *message_bang(messagebox *x)
{
    evaluate(x);
    return nullptr;
}

void *message_int(messagebox *x, long n)
{
    if (x->nslots > 0) atom_setlong(&x->slots[0], n);
    evaluate(x);
    return nullptr;
}

void *message_float(messagebox *x, double f)
{
    if (x->nslots > 0) atom_setfloat(&x->slots[0], f);
    evaluate(x);
    return nullptr;
}

void *message_symbol(messagebox *x, symbol *s)
{
    if (x->nslots > 0) atom_setsym(&x->slots[0], s);
    evaluate(x);
    return nullptr;
}

void *message_list(messagebox *x, symbol *, long argc, atom *argv)
{
    long n = std::min(argc, x->nslots);
    for (long i = 0; i < n; i++) x->slots[i] = argv[i];
    evaluate(x);
    return nullptr;
}

enum class edit { replace, append, prepend };

void change_contents(messagebox *x, edit how, long argc, atom *argv)
{
    std::lock_guard guard(global_lock());
    atombuf *old = x->contents;
    // While the box is being evaluated the old contents must outlive this
    // change: the edit is made on a copy.
    atombuf *work = x->evaluating ? atombuf_new(old ? old->argc : 0, old ? old->argv : nullptr) : old;
    if (!work) return;
    long failed = 0;
    switch (how) {
    case edit::replace:
        failed = atombuf_replace(&work, nullptr, argc, argv);
        break;
    case edit::append:
        failed = atombuf_append(&work, nullptr, argc, argv);
        break;
    case edit::prepend:
        failed = atombuf_prepend(&work, nullptr, argc, argv);
        break;
    }
    if (failed) {
        if (work != old) atombuf_free(work);
        return;
    }
    x->contents = work;
    if (x->evaluating) retire_contents(x, old);
    // Drawing the new contents is the window layer's business; nothing is
    // drawn here.
    resize_slots(x);
}

void *message_set(messagebox *x, symbol *, long argc, atom *argv)
{
    change_contents(x, edit::replace, argc, argv);
    return nullptr;
}

void *message_append(messagebox *x, symbol *, long argc, atom *argv)
{
    change_contents(x, edit::append, argc, argv);
    return nullptr;
}

void *message_prepend(messagebox *x, symbol *, long argc, atom *argv)
{
    change_contents(x, edit::prepend, argc, argv);
    return nullptr;
}

void *message_color(messagebox *x, long n)
{
    x->b.flags = static_cast<unsigned short>((x->b.flags & ~BOX_COLOR_MASK) | ((n & 0xF) << BOX_COLOR_SHIFT));
    return nullptr;
}

// A click shows the pressed look until the button comes up; there is no
// mouse here, so the box is pressed only while it sends.
void *message_click(messagebox *x)
{
    x->pressed = 1;
    evaluate(x);
    x->pressed = 0;
    return nullptr;
}

void *message_update(messagebox *) { return nullptr; }

void *message_psave(messagebox *x, binbuf *dest)
{
    patcher *p = x->b.owner;
    if (!p) return nullptr;
    patcher_save_font(p, dest, x->font, x->font_name);
    const box_rect &r = x->b.rect;
    long ints[] = {r.left, r.top, r.right - r.left, x->font};
    atom head[16];
    long n = box_line_head(&x->b, false, gensym("message"), 4, ints, head);
    atombuf_savebox(dest, n, head, x->contents);
    return nullptr;
}

void *message_pstate(messagebox *x, binbuf *dest)
{
    atom head;
    atom_setsym(&head, gensym("message"));
    atombuf_savebox(dest, 1, &head, x->contents);
    return nullptr;
}

void remember_text(symbol *text)
{
    auto it = std::find(g_recent.begin(), g_recent.end(), text);
    if (it != g_recent.end()) {
        g_recent.erase(it);
    } else if (g_recent.size() >= recent_max) {
        g_recent.pop_back();
    }
    g_recent.insert(g_recent.begin(), text);
}

// Text editing of the box ended.
void *message_eval(messagebox *x, long edited)
{
    if (!edited) return nullptr;
    resize_slots(x);
    kel_handle h = sysmem_newhandle(0);
    long size = 0;
    if (h && atombuf_totext(x->contents, h, &size) == 0) {
        guarded("message", [&] {
            std::string text(*h, static_cast<size_t>(size));
            if (symbol *s = gensym(text.c_str())) remember_text(s);
        });
    }
    if (h) sysmem_freehandle(h);
    return nullptr;
}

void message_free(messagebox *x)
{
    box_detach(&x->b);
    free_retired(x);
    if (x->contents) atombuf_free(x->contents);
    x->contents = nullptr;
    free_slots(x->slots, x->nslots);
    x->slots = nullptr;
    x->nslots = 0;
}

// `vmessage` sent to the creation object: [patcher] left top width font text.
void *vmessage_new(symbol *, long argc, atom *argv)
{
    patcher *p = nullptr;
    long first = 0;
    if (argc > 0 && argv[0].type == ATYPE_OBJ && is_patcher(argv[0].word.w_obj)) {
        p = reinterpret_cast<patcher *>(argv[0].word.w_obj);
        first = 1;
    } else if (object *current = bindings().P->thing; is_patcher(current)) {
        p = reinterpret_cast<patcher *>(current);
    }
    if (!p) return nullptr;
    long layout[4];
    if (!text_box_layout(argc - first, argv + first, layout)) {
        error("TETextBox: bad args");
        return nullptr;
    }
    return messagebox_new(p, layout[0], layout[1], layout[2], layout[3], argc - first - 4, argv + first + 4);
}

// A message line of a patcher file, whose layout the patcher has checked.
box *make_from_line(patcher *p, symbol *, long argc, atom *argv)
{
    long layout[4];
    if (!text_box_layout(argc, argv, layout)) return nullptr;
    return messagebox_new(p, layout[0], layout[1], layout[2], layout[3], argc - 4, argv + 4);
}

}  // namespace

kel_class *messagebox_class()
{
    if (g_class) return g_class;
    const short CANT = ATYPE_CANT, G = ATYPE_GIMME;
    kel_class *c = define_class("message", nullptr, as_method(&message_free), sizeof(messagebox), class_home::nobox,
                                {{as_method(&message_bang), "bang"},
                                 {as_method(&message_int), "int", ATYPE_LONG},
                                 {as_method(&message_float), "float", ATYPE_FLOAT},
                                 {as_method(&message_symbol), "symbol", ATYPE_SYM},
                                 {as_method(&message_list), "list", G},
                                 {as_method(&message_set), "set", G},
                                 {as_method(&message_append), "append", G},
                                 {as_method(&message_prepend), "prepend", G},
                                 {as_method(&message_color), "color", ATYPE_LONG},
                                 {as_method(&message_click), "click", CANT},
                                 {as_method(&message_update), "update", CANT},
                                 {as_method(&message_psave), "psave", CANT},
                                 {as_method(&message_pstate), "pstate", CANT},
                                 {as_method(&message_eval), "eval", CANT}});
    if (!c) return nullptr;
    g_class = c;
    return c;
}

bool messagebox_init()
{
    kel_class *c = messagebox_class();
    if (!c) return false;
    box_kind kind;
    kind.make = &make_from_line;
    kind.box_class = c;
    kind.text = &messagebox_contents;
    patcher_register_box_kind(gensym("message"), kind);
    return creation_provide("vmessage", as_method(&vmessage_new));
}

box *messagebox_new(patcher *p, long left, long top, long width, long font, long argc, atom *argv)
{
    kel_class *c = messagebox_class();
    auto *x = c ? static_cast<messagebox *>(object_alloc(c)) : nullptr;
    if (!x) return nullptr;
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(messagebox) - sizeof(object));
    auto clamp = [](long v) { return static_cast<short>(v > 32767 ? 32767 : v < -32768 ? -32768 : v); };
    box_new(&x->b, p, 0, clamp(left), clamp(top), clamp(left + width), clamp(top + box_height));
    x->b.obj = &x->b.header;
    x->font = static_cast<int32_t>(font);
    x->font_name = patcher_font_name(p, font);
    x->contents = atombuf_new(0, nullptr);
    if (x->contents) atombuf_replace(&x->contents, nullptr, argc, argv);
    x->out = outlet_new(x, nullptr);
    resize_slots(x);
    if (!x->contents || !x->out) {
        patcher_deleteobj(p, &x->b);
        return nullptr;
    }
    // A following "#X" line of the file addresses this box.
    bindings().X->thing = &x->b.header;
    return &x->b;
}

atombuf *messagebox_contents(box *b)
{
    return object_class(b) == messagebox_class() ? as_messagebox(b)->contents : nullptr;
}

long messagebox_slot_count(box *b) { return object_class(b) == messagebox_class() ? as_messagebox(b)->nslots : 0; }

std::vector<symbol *> messagebox_recent_texts() { return g_recent; }

void messagebox_recent_clear() { g_recent.clear(); }

}  // namespace kel
