#include "objects/preset.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/clocks.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/patchfile.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/calls.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/outlets.h"
#include "objects/controls_support.h"
#include "objects/objects.h"

namespace kel {
namespace {

constexpr long slot_number_max = 2048;
constexpr long append_line_atoms = 40;
constexpr long recall_args_max = 64;  // copied on the stack for a recall
constexpr long default_width = 47, default_height = 27;

struct slot_record {
    short state = 0;  // 0 empty, 1 filled, -1 loaded and not yet resolved
    short kind = 0;   // 1 stored through the left outlet, 2 from every box
    std::vector<atom> atoms;
};

// A request to store (true) or clear slot n (-1: all), made away from the
// main thread and carried out there in order.
struct request {
    bool store;
    long n;
};

struct preset_box {
    box b;
    std::vector<slot_record> *slots;
    short current;   // the last slot recalled or stored (0: none)
    short recalled;  // the slot just recalled
    bool busy;       // a recall replays
    symbol *name;
    bool embed;
    qelem *redraw;
    std::vector<request> *requests;
    std::vector<box *> *scratch;  // the boxes a store visits
    // Every object a slot has named since the preset was made (some may
    // have gone since): a box leaving any patcher is looked for in the
    // slots only when its object is here.
    std::unordered_set<const void *> *named;
    outlet *preset_out;
    outlet *slot_out;
    outlet *exclude_out;
};

kel_class *g_class = nullptr;
std::vector<preset_box *> g_live;  // every preset not yet freed
std::mutex g_requests_lock;

bool alive(const preset_box *x) { return std::find(g_live.begin(), g_live.end(), x) != g_live.end(); }

preset_box *as_preset(box *b)
{
    return b && g_class && object_class(b) == g_class ? reinterpret_cast<preset_box *>(b) : nullptr;
}

atom semi_atom()
{
    atom a;
    std::memset(&a, 0, sizeof a);
    a.type = ATYPE_SEMI;
    return a;
}

void redraw_later(preset_box *x)
{
    if (x->redraw) qelem_set(x->redraw);
}

void note_named(preset_box *x, slot_record &slot)
{
    try {
        for (const atom &a : slot.atoms)
            if (a.type == ATYPE_OBJ && a.word.w_obj) x->named->insert(a.word.w_obj);
    } catch (const std::bad_alloc &) {
        // Without the record a leaving box could be missed: forget the slot.
        memory_set_low(true);
        for (atom &a : slot.atoms)
            if (a.type == ATYPE_OBJ) a.word.w_obj = nullptr;
    }
}

// Grows the slot list to n slots; false when memory ran out.
bool grow(preset_box *x, long n)
{
    try {
        if (static_cast<long>(x->slots->size()) < n) x->slots->resize(static_cast<size_t>(n));
        return true;
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return false;
    }
}

// --- storing ---

bool has_connections(outlet *o)
{
    for (connection *c = o ? o->connections : nullptr; c; c = c->next)
        if (c->receiver) return true;
    return false;
}

bool excluded(const preset_box *x, const box *b)
{
    for (patchcord *c = x->b.cords_out; c; c = c->next_out)
        if (c->outlet == 2 && c->dst == b) return true;
    return false;
}

bool in_patcher(patcher *p, box *b)
{
    for (box *k = p->boxes; k; k = k->next)
        if (k == b) return true;
    return false;
}

void store_now(preset_box *x, long n)
{
    static symbol *const preset = gensym("preset");
    patcher *p = x->b.owner;
    if (x->busy || !p || n < 1 || n > slot_number_max || !grow(x, n)) return;
    slot_record &slot = (*x->slots)[static_cast<size_t>(n - 1)];
    slot.atoms.clear();
    x->busy = true;  // nothing stored may store or recall this preset meanwhile
    std::vector<atom> *was = preset_buffer_exchange(&slot.atoms);
    if (has_connections(x->preset_out)) {
        outlet_anything(x->preset_out, preset, 0, nullptr);
        if (!alive(x)) {  // the preset went with what its outlet reached
            preset_buffer_exchange(was);
            return;
        }
        slot.kind = 1;
    } else {
        std::vector<box *> &boxes = *x->scratch;
        boxes.clear();
        try {
            for (box *b = p->boxes; b; b = b->next)
                if (!is_newobj_box(b) && b != &x->b && zgetfn(b, preset) && !excluded(x, b)) boxes.push_back(b);
        } catch (const std::bad_alloc &) {
            memory_set_low(true);
        }
        const unsigned long changes = p->changes;
        for (box *b : boxes) {
            // A method that took boxes away leaves the others to be checked.
            if (p->changes != changes && !in_patcher(p, b)) continue;
            if (kel_method fn = zgetfn(b, preset)) call_bang(fn, b);
            if (!alive(x)) {
                preset_buffer_exchange(was);
                return;
            }
        }
        slot.kind = 2;
    }
    preset_buffer_exchange(was);
    x->busy = false;
    note_named(x, slot);
    slot.state = 1;
    x->current = static_cast<short>(n);
    redraw_later(x);
}

void clear_now(preset_box *x, long n)
{
    if (x->busy) return;
    if (n < 0) {
        for (slot_record &s : *x->slots) {
            s.atoms.clear();
            s.state = 0;
            s.kind = 0;
        }
    } else if (n >= 1 && n <= static_cast<long>(x->slots->size())) {
        slot_record &s = (*x->slots)[static_cast<size_t>(n - 1)];
        s.atoms.clear();
        s.state = 0;
        s.kind = 0;
    }
    redraw_later(x);
}

// The redraw element: carries out what other threads asked for.
void redraw_fn(preset_box *x)
{
    std::vector<request> todo;
    {
        std::lock_guard<std::mutex> hold(g_requests_lock);
        todo.swap(*x->requests);
    }
    for (const request &r : todo) {
        if (!alive(x)) return;
        if (r.store)
            store_now(x, r.n);
        else
            clear_now(x, r.n);
    }
}

// Stores and clears run at once on the main thread; from anywhere else each
// request waits, in order, for the main thread.
void perform(preset_box *x, bool store, long n)
{
    if (on_main_thread() && !in_isr()) {
        if (store)
            store_now(x, n);
        else
            clear_now(x, n);
        return;
    }
    try {
        std::lock_guard<std::mutex> hold(g_requests_lock);
        x->requests->push_back({store, n});
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return;
    }
    qelem_set(x->redraw);
}

// The slot a `store` or `clear` names: 0 is the current slot (1 when there
// is none); out of range or while a recall replays, 0 (nothing).
long requested_slot(preset_box *x, symbol *s, long argc, atom *argv)
{
    if (argc > 0 && !is_number_atom(argv[0])) {
        error("preset: bad arguments for message \"%s\"", s->name);
        return 0;
    }
    long n = argc > 0 ? atom_getlong(&argv[0]) : 0;
    if (x->busy || n < 0 || n > slot_number_max) return 0;
    if (n == 0) n = x->current > 0 ? x->current : 1;
    return n;
}

void *preset_store_method(preset_box *x, symbol *s, long argc, atom *argv)
{
    if (long n = requested_slot(x, s, argc, argv)) perform(x, true, n);
    return nullptr;
}

void *preset_clear(preset_box *x, symbol *s, long argc, atom *argv)
{
    if (long n = requested_slot(x, s, argc, argv)) perform(x, false, n);
    return nullptr;
}

void *preset_clearall(preset_box *x)
{
    if (!x->busy) perform(x, false, -1);
    return nullptr;
}

// --- recalling ---

long message_end(const std::vector<atom> &atoms, long i)
{
    const long n = static_cast<long>(atoms.size());
    while (i < n && atoms[static_cast<size_t>(i)].type != ATYPE_SEMI) i++;
    return i;
}

void recall(preset_box *x, long n)
{
    patcher *p = x->b.owner;
    if (n <= 0 || x->busy || !p || p->freeing || n > static_cast<long>(x->slots->size())) return;
    const slot_record &slot = (*x->slots)[static_cast<size_t>(n - 1)];
    if (slot.state != 1) return;
    x->busy = true;
    {
        lockout_scope lockout;
        outlet_int(x->slot_out, n);
    }
    if (!alive(x)) return;
    // The slot's atoms stay where they are: nothing may store, clear or
    // append while busy, and a box leaving only marks its messages dead.
    const std::vector<atom> &atoms = slot.atoms;
    const long count = static_cast<long>(atoms.size());
    for (long i = 0; i < count;) {
        const long end = message_end(atoms, i);
        const atom *m = atoms.data() + i;
        const long len = end - i;
        i = end + 1;
        // A message kept as loaded (its box was not found) or whose object
        // left the patcher is skipped.
        if (len < 3 || m[0].type != ATYPE_OBJ || !m[0].word.w_obj || m[1].type != ATYPE_SYM || m[2].type != ATYPE_SYM)
            continue;
        object *to = m[0].word.w_obj;
        if (!object_valid(to)) continue;
        if (object_classname(to) != m[1].word.w_sym) {
            error("wow, wrong class");
            continue;
        }
        // The method gets a copy (of all but the longest messages): what it
        // does to its arguments stays out of the slot.
        atom args[recall_args_max];
        const long nargs = len - 3;
        atom *argv = const_cast<atom *>(m + 3);
        if (nargs <= recall_args_max) argv = std::copy(m + 3, m + len, args) - nargs;
        typedmess(to, m[2].word.w_sym, nargs, argv);
        if (!alive(x)) return;  // the preset went with what the message did
    }
    x->busy = false;
    x->recalled = static_cast<short>(n);
    x->current = static_cast<short>(n);
    redraw_later(x);
}

void *recall_int(preset_box *x, long n)
{
    recall(x, n);
    return nullptr;
}

void *recall_float(preset_box *x, double f)
{
    recall(x, float_to_long(f));
    return nullptr;
}

void *preset_recall_current(preset_box *x)
{
    if (x->current > 0) recall(x, x->current);
    return nullptr;
}

void *preset_anything(preset_box *x, symbol *, long, atom *) { return preset_recall_current(x); }

// --- objects leaving ---

// Marks dead every message of x for obj (or its box).
void forget(preset_box *x, box *b, object *obj)
{
    for (slot_record &s : *x->slots)
        for (atom &a : s.atoms)
            if (a.type == ATYPE_OBJ && a.word.w_obj && (a.word.w_obj == obj || a.word.w_obj == &b->header))
                a.word.w_obj = nullptr;
}

// A box leaves p (or its object is replaced): every preset that named its
// object forgets it, wherever the preset is (a preset's left outlet may
// reach into a subpatcher). The presets of a patcher being freed go with
// it and are left alone.
void object_leaving(patcher *p, box *b, object *obj)
{
    if (!p) return;
    for (preset_box *x : g_live) {
        if (&x->b == b || (x->b.owner == p && p->freeing)) continue;
        if (x->named->count(obj) || x->named->count(&b->header)) forget(x, b, obj);
    }
}

// --- resolving ---

// The boxes of a patcher by number and by (class, top, left), built once
// for all the messages resolved together.
struct box_finder {
    patcher *p;
    std::vector<box *> numbered;
    std::map<std::tuple<symbol *, long, long>, box *> placed;
    bool built = false;

    void build()
    {
        built = true;
        for (box *b = p->boxes; b; b = b->next) {
            numbered.push_back(b);
            if (!b->obj || !object_valid(b->obj)) continue;
            auto key = std::make_tuple(object_classname(b->obj), static_cast<long>(b->rect.top),
                                       static_cast<long>(b->rect.left));
            placed.emplace(key, b);  // the first box (newest) with these keeps the place
        }
    }

    object *find(long number, long top, long left, symbol *cls)
    {
        if (!built) build();
        if (number >= 0 && number < static_cast<long>(numbered.size())) {
            box *b = numbered[static_cast<size_t>(number)];
            if (b->obj && object_valid(b->obj)) {
                symbol *has = object_classname(b->obj);
                static symbol *const s_number = gensym("number"), *const s_flonum = gensym("flonum");
                if (has == cls || (cls == s_number && has == s_flonum)) return b->obj;
            }
        }
        auto it = placed.find(std::make_tuple(cls, top, left));
        return it == placed.end() ? nullptr : it->second->obj;
    }
};

// Resolves every loaded slot: each message's box number, top and left
// become its object. A message whose box is not found stays as it was
// loaded, to be written back when the patcher is saved.
void resolve(preset_box *x)
{
    patcher *p = x->b.owner;
    if (!p) return;
    box_finder finder{p, {}, {}, false};
    try {
        for (slot_record &slot : *x->slots) {
            if (slot.state != -1) continue;
            std::vector<atom> out;
            out.reserve(slot.atoms.size());
            const long count = static_cast<long>(slot.atoms.size());
            for (long i = 0; i < count;) {
                const long end = message_end(slot.atoms, i);
                const atom *m = slot.atoms.data() + i;
                const long len = end - i;
                i = end + 1;
                if (len <= 0) continue;
                const bool loaded = len >= 4 && is_number_atom(m[0]) && is_number_atom(m[1]) && is_number_atom(m[2]) &&
                                    m[3].type == ATYPE_SYM;
                object *found = nullptr;
                if (loaded)
                    found = finder.find(atom_getlong(&m[0]), atom_getlong(&m[1]), atom_getlong(&m[2]), m[3].word.w_sym);
                if (found) {
                    atom head[2];
                    atom_setobj(&head[0], found);
                    atom_setsym(&head[1], object_classname(found));
                    out.insert(out.end(), head, head + 2);
                    out.insert(out.end(), m + 4, m + len);
                } else if (m[0].type != ATYPE_OBJ) {
                    error("no %s object for preset", loaded ? m[3].word.w_sym->name : "?");
                    out.insert(out.end(), m, m + len);
                } else {
                    continue;  // a loaded slot never names an object by pointer
                }
                out.push_back(semi_atom());
            }
            slot.atoms.swap(out);
            note_named(x, slot);
            slot.state = 1;
        }
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
    redraw_later(x);
}

void *preset_loadbang(preset_box *x)
{
    resolve(x);
    return nullptr;
}

// --- loaded lines ---

// The atoms of an append line after the slot and kind, read as box text
// (";" a separator, "$1" a dollar argument), onto the end of out.
bool read_box_text(long argc, atom *argv, std::vector<atom> *out)
{
    atombuf *text = atombuf_new(0, nullptr);
    if (!text) return false;
    if (argc > 0 && atombuf_replace(&text, nullptr, argc, argv)) {
        atombuf_free(text);
        return false;
    }
    try {
        out->insert(out->end(), text->argv, text->argv + text->argc);
    } catch (const std::bad_alloc &) {
        atombuf_free(text);
        memory_set_low(true);
        return false;
    }
    atombuf_free(text);
    return true;
}

// Applies `append slot kind atoms...` to slots: the first time a slot is
// touched it is emptied and marked loaded. False (nothing changed) for a
// damaged line.
bool apply_append(std::vector<slot_record> *slots, long argc, atom *argv)
{
    if (argc < 2 || !is_number_atom(argv[0]) || !is_number_atom(argv[1])) return false;
    const long n = atom_getlong(&argv[0]), kind = atom_getlong(&argv[1]);
    if (n < 1 || n > slot_number_max || (kind != 1 && kind != 2)) return false;
    // Only what a file can hold: never an object pointer.
    for (long i = 2; i < argc; i++) {
        const short t = argv[i].type;
        if (t != ATYPE_LONG && t != ATYPE_FLOAT && t != ATYPE_SYM && t != ATYPE_SEMI && t != ATYPE_COMMA &&
            t != ATYPE_DOLLAR && t != ATYPE_DOLLSYM)
            return false;
    }
    std::vector<atom> atoms;
    if (!read_box_text(argc - 2, argv + 2, &atoms)) return false;
    try {
        if (static_cast<long>(slots->size()) < n) slots->resize(static_cast<size_t>(n));
        slot_record &slot = (*slots)[static_cast<size_t>(n - 1)];
        if (slot.state != -1) {
            slot.atoms.clear();
            slot.state = -1;
        }
        slot.kind = static_cast<short>(kind);
        slot.atoms.insert(slot.atoms.end(), atoms.begin(), atoms.end());
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return false;
    }
    return true;
}

void *preset_append(preset_box *x, symbol *, long argc, atom *argv)
{
    if (x->busy) return nullptr;
    if (!apply_append(x->slots, argc, argv)) error("preset: bad append line");
    return nullptr;
}

void *preset_name(preset_box *x, symbol *s)
{
    x->name = s;
    return nullptr;
}

void *preset_embed(preset_box *x, long n)
{
    x->embed = n != 0;
    return nullptr;
}

// --- writing slots ---

// Box numbers (newest 0) and places of the objects of p.
struct box_numbers {
    std::unordered_map<const object *, std::pair<long, const box *>> of;

    explicit box_numbers(patcher *p)
    {
        long k = 0;
        for (box *b = p ? p->boxes : nullptr; b; b = b->next, k++) {
            of.emplace(&b->header, std::make_pair(k, b));
            if (b->obj) of.emplace(b->obj, std::make_pair(k, b));
        }
    }
};

bool writable(const atom &a)
{
    switch (a.type) {
    case ATYPE_LONG:
    case ATYPE_FLOAT:
    case ATYPE_SYM:
    case ATYPE_SEMI:
    case ATYPE_COMMA:
    case ATYPE_DOLLAR:
    case ATYPE_DOLLSYM:
        return true;
    default:
        return false;
    }
}

// Writes slot n as "#X append n kind atoms..." lines of at most about 40
// atoms, a long slot continuing on further lines (mid-message).
void write_slot(binbuf *dest, long n, const slot_record &slot, const box_numbers &numbers)
{
    static symbol *const X = gensym("#X"), *const append = gensym("append");
    const atom head[4] = {sym_atom(X), sym_atom(append), int_atom(n), int_atom(slot.kind)};
    std::vector<atom> line;
    auto flush = [&] {
        if (line.empty()) return;
        atombuf *text = atombuf_new(static_cast<long>(line.size()), line.data());
        if (!text || atombuf_savebox(dest, 4, head, text)) memory_set_low(true);
        if (text) atombuf_free(text);
        line.clear();
    };
    const long count = static_cast<long>(slot.atoms.size());
    for (long i = 0; i < count;) {
        const long end = message_end(slot.atoms, i);
        const atom *m = slot.atoms.data() + i;
        const long len = end - i;
        i = end + 1;
        // Messages of objects that left the patcher are not written.
        if (len <= 0 || (m[0].type == ATYPE_OBJ && !m[0].word.w_obj)) continue;
        for (long k = 0; k < len; k++) {
            const atom &a = m[k];
            if (k == 0 && a.type == ATYPE_OBJ) {
                auto it = numbers.of.find(a.word.w_obj);
                const long number = it == numbers.of.end() ? -1 : it->second.first;
                const box *b = it == numbers.of.end() ? nullptr : it->second.second;
                line.push_back(int_atom(number));
                line.push_back(int_atom(b ? b->rect.top : 0));
                line.push_back(int_atom(b ? b->rect.left : 0));
            } else if (writable(a)) {
                line.push_back(a);
            } else {
                check_failed("preset_save");
                continue;
            }
            if (static_cast<long>(line.size()) >= append_line_atoms) flush();
        }
        line.push_back(semi_atom());
        if (static_cast<long>(line.size()) >= append_line_atoms) flush();
    }
    flush();
}

void write_head(preset_box *x, binbuf *dest)
{
    const atom head[] = {sym_atom(gensym("#N")), sym_atom(gensym("vpreset")),
                         int_atom(static_cast<long>(x->slots->size()))};
    save_message(dest, 3, head);
    if (x->name && x->name != sym_empty) {
        const atom line[] = {sym_atom(gensym("#X")), sym_atom(gensym("name")), sym_atom(x->name)};
        save_message(dest, 3, line);
    }
}

void write_slots(preset_box *x, binbuf *dest, long only)
{
    box_numbers numbers(x->b.owner);
    for (size_t k = 0; k < x->slots->size(); k++) {
        const long n = static_cast<long>(k) + 1;
        const slot_record &slot = (*x->slots)[k];
        if ((only > 0 && n != only) || slot.state == 0) continue;
        write_slot(dest, n, slot, numbers);
    }
}

void *preset_psave(preset_box *x, binbuf *dest)
{
    try {
        write_head(x, dest);
        if (x->embed) {
            write_slots(x, dest, 0);
        } else {
            const atom line[] = {sym_atom(gensym("#X")), sym_atom(gensym("embed")), int_atom(0)};
            save_message(dest, 3, line);
        }
        const box_rect &r = x->b.rect;
        const long ints[] = {r.left, r.top, r.right - r.left, r.bottom - r.top};
        atom head[16];
        const long n = box_line_head(&x->b, false, gensym("preset"), 4, ints, head);
        save_message(dest, n, head);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
    return nullptr;
}

void *preset_pstate(preset_box *, binbuf *) { return nullptr; }

void *preset_color(preset_box *x, long n)
{
    x->b.flags = static_cast<unsigned short>((x->b.flags & ~BOX_COLOR_MASK) | ((n & 0xF) << BOX_COLOR_SHIFT));
    redraw_later(x);
    return nullptr;
}
void *preset_nothing(preset_box *) { return nullptr; }

void *preset_assist(preset_box *, void *, long message, long n, char *text)
{
    if (!text) return nullptr;
    const char *what = "recall a slot; store, clear";
    if (message == 2) {
        what = n == 0   ? "to the objects whose state is stored"
               : n == 1 ? "the slot recalled"
                        : "objects connected here are left out of stores";
    }
    std::strncpy(text, what, 59);
    text[59] = '\0';
    return nullptr;
}

// --- preset files ---

// The slot and file name of `read` and `write`: [slot] [name].
void file_arguments(long argc, atom *argv, long *slot, symbol **name)
{
    *slot = 0;
    *name = nullptr;
    long i = 0;
    if (i < argc && is_number_atom(argv[i])) *slot = atom_getlong(&argv[i++]);
    if (i < argc && argv[i].type == ATYPE_SYM && argv[i].word.w_sym != sym_empty) *name = argv[i].word.w_sym;
}

long four_char_type(symbol *s)
{
    const char *c = s->name;
    return KEL_FOURCC(c[0], c[1], c[2], c[3]);
}

bool has_type_name(const preset_box *x) { return x->name && x->name != sym_empty && std::strlen(x->name->name) >= 4; }

// Applies the lines of a preset file to a copy of the slots; false, with
// nothing applied, when any line is not a preset line or is damaged.
bool apply_file(preset_box *x, binbuf *b, long slot, std::vector<slot_record> *slots, symbol **name, bool *embed)
{
    static symbol *const N = gensym("#N"), *const X = gensym("#X"), *const vpreset = gensym("vpreset"),
                         *const name_s = gensym("name"), *const embed_s = gensym("embed"),
                         *const append = gensym("append");
    *slots = *x->slots;
    if (slot > 0 && slot <= static_cast<long>(slots->size())) {
        slot_record &s = (*slots)[static_cast<size_t>(slot - 1)];
        s = slot_record{};
    } else if (slot <= 0) {
        for (slot_record &s : *slots) s = slot_record{};
    }
    std::vector<atom> message;
    long index = 0, offset = 0;
    atom a;
    bool seen_head = false;
    auto finish = [&]() -> bool {
        if (message.empty()) return true;
        const long argc = static_cast<long>(message.size());
        atom *m = message.data();
        bool ok = false;
        if (argc >= 2 && m[0].type == ATYPE_SYM && m[1].type == ATYPE_SYM) {
            if (m[0].word.w_sym == N && m[1].word.w_sym == vpreset && !seen_head) {
                seen_head = true;
                const long n = argc > 2 && is_number_atom(m[2]) ? atom_getlong(&m[2]) : 1;
                ok = n >= 0 && n <= slot_number_max;
                if (ok && static_cast<long>(slots->size()) < n) slots->resize(static_cast<size_t>(n));
            } else if (seen_head && m[0].word.w_sym == X) {
                symbol *what = m[1].word.w_sym;
                if (what == name_s && argc == 3 && m[2].type == ATYPE_SYM) {
                    *name = m[2].word.w_sym;
                    ok = true;
                } else if (what == embed_s && argc == 3 && is_number_atom(m[2])) {
                    *embed = atom_getlong(&m[2]) != 0;
                    ok = true;
                } else if (what == append) {
                    ok = apply_append(slots, argc - 2, m + 2);
                }
            }
        }
        message.clear();
        return ok;
    };
    while (binbuf_getatom(b, &index, &offset, &a) == 0) {
        if (a.type == ATYPE_SEMI) {
            if (!finish()) return false;
        } else {
            message.push_back(a);
        }
    }
    return finish() && seen_head;
}

void do_read(preset_box *x, symbol *, long argc, atom *argv)
{
    if (!alive(x)) return;
    long slot = 0;
    symbol *name = nullptr;
    file_arguments(argc, argv, &slot, &name);
    if (!name) {
        error("preset: read: no file name (there is no file dialog here)");
        return;
    }
    if (x->busy) return;
    static const long patcher_types[2] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    char file[MAX_FILENAME_CHARS];
    std::strncpy(file, name->name, sizeof file - 1);
    file[sizeof file - 1] = '\0';
    short path = 0;
    long type = 0;
    // The search path, for the type the name gives, then for patcher
    // files; then the folder of the preset's patcher.
    const short home = x->b.owner ? x->b.owner->path : 0;
    fileinfo info;
    bool found = false;
    if (has_type_name(x)) {
        const long named_type = four_char_type(x->name);
        found = locatefile_extended(file, &path, &type, &named_type, 1) == 0;
        if (!found) std::strncpy(file, name->name, sizeof file - 1);  // the lookup may have changed it
    }
    if (!found) found = locatefile_extended(file, &path, &type, patcher_types, 2) == 0;
    if (!found && home && path_fileinfo(file, home, &info) == 0) {
        path = home;
        found = true;
    }
    if (!found) {
        error("preset: %s not found", name->name);
        return;
    }
    binbuf *b = binbuf_new();
    if (!b) return;
    std::vector<slot_record> slots;
    symbol *new_name = x->name;
    bool embed = x->embed;
    bool ok = false;
    try {
        ok = patchfile_read(b, file, path, nullptr) == 0 && apply_file(x, b, slot, &slots, &new_name, &embed);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
    freeobject(b);
    if (!ok) {
        error("%s: preset read failed", name->name);
        return;
    }
    x->slots->swap(slots);
    x->name = new_name;
    x->embed = embed;
    if (x->current > static_cast<long>(x->slots->size())) x->current = 0;
    lockout_scope lockout;
    resolve(x);
}

void do_write(preset_box *x, symbol *, long argc, atom *argv)
{
    if (!alive(x)) return;
    long slot = 0;
    symbol *name = nullptr;
    file_arguments(argc, argv, &slot, &name);
    if (!name) {
        error("preset: write: no file name (there is no file dialog here)");
        return;
    }
    const bool binary = has_type_name(x) && four_char_type(x->name) != FILETYPE_TEXT;
    binbuf *b = binbuf_new();
    if (!b) return;
    bool ok = false;
    try {
        write_head(x, b);
        write_slots(x, b, slot);
        const short home = x->b.owner ? x->b.owner->path : 0;
        ok = binbuf_write(b, name->name, home ? home : path_getdefault(), binary ? 1 : 0) == 0;
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
    freeobject(b);
    if (!ok) error("%s: preset write failed", name->name);
}

void *preset_read(preset_box *x, symbol *s, long argc, atom *argv)
{
    defer(x, as_method(&do_read), s, static_cast<short>(argc), argv);
    return nullptr;
}

void *preset_write(preset_box *x, symbol *s, long argc, atom *argv)
{
    defer(x, as_method(&do_write), s, static_cast<short>(argc), argv);
    return nullptr;
}

// --- life ---

void preset_free(preset_box *x)
{
    g_live.erase(std::remove(g_live.begin(), g_live.end(), x), g_live.end());
    // Freed while one of its slots is being stored: nothing more goes there.
    std::vector<atom> *current = preset_buffer_exchange(nullptr);
    bool ours = false;
    if (x->slots)
        for (slot_record &s : *x->slots) ours = ours || current == &s.atoms;
    if (!ours) preset_buffer_exchange(current);
    box_detach(&x->b);
    // A preset never taken by a `preset` line is still bound to #X.
    if (bindings().X->thing == &x->b.header) bindings().X->thing = nullptr;
    if (x->redraw) qelem_free(x->redraw);
    x->redraw = nullptr;
    delete x->slots;
    delete x->requests;
    delete x->scratch;
    delete x->named;
    x->named = nullptr;
    x->slots = nullptr;
    x->requests = nullptr;
    x->scratch = nullptr;
}

// A preset record with n slots, in no patcher yet.
preset_box *preset_alloc(long n)
{
    auto *x = g_class ? static_cast<preset_box *>(object_alloc(g_class)) : nullptr;
    if (!x) return nullptr;
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(preset_box) - sizeof(object));
    x->name = sym_empty;
    x->embed = true;
    if (n < 1) n = 1;
    if (n > slot_number_max) n = slot_number_max;
    x->slots = new (std::nothrow) std::vector<slot_record>();
    x->requests = new (std::nothrow) std::vector<request>();
    x->scratch = new (std::nothrow) std::vector<box *>();
    x->named = new (std::nothrow) std::unordered_set<const void *>();
    bool ok = x->slots && x->requests && x->scratch && x->named;
    if (ok) {
        try {
            x->slots->resize(static_cast<size_t>(n));
            g_live.push_back(x);
        } catch (const std::bad_alloc &) {
            ok = false;
        }
    }
    if (ok) {
        x->redraw = qelem_new(x, as_method(&redraw_fn));
        x->exclude_out = outlet_new(x, nullptr);
        x->slot_out = outlet_new(x, nullptr);
        x->preset_out = outlet_new(x, nullptr);
        ok = x->redraw && x->exclude_out && x->slot_out && x->preset_out;
    }
    if (!ok) {
        memory_set_low(true);
        freeobject(x);
        return nullptr;
    }
    return x;
}

// `#N vpreset n`: a preset of n slots, bound to #X so that the "#X" lines
// after it reach it, and taken by the `preset` line that follows.
void *vpreset_new(long n)
{
    preset_box *x = preset_alloc(n);
    if (!x) return nullptr;
    // Typed into an object box, it is that box's object, and no `preset`
    // line may take it.
    if (load_making_record()) bindings().X->thing = &x->b.header;
    return x;
}

// The `preset` line: left top width height. It takes the preset bound to
// #X when that one is in no patcher yet; otherwise it makes one.
box *make_from_line(patcher *p, symbol *, long argc, atom *argv)
{
    object *bound = bindings().X->thing;
    preset_box *x = nullptr;
    // Only the preset the `#N vpreset` line just made, which nothing else
    // took since (a `newobj` line would have).
    if (bound && bound == g_newest_object && object_class(bound) == g_class &&
        !reinterpret_cast<preset_box *>(bound)->b.owner)
        x = reinterpret_cast<preset_box *>(bound);
    bindings().X->thing = nullptr;
    if (x) g_newest_object = nullptr;
    if (!x) x = preset_alloc(1);
    if (!x) {
        if (patcher_loading()) building().load_abort = 1;
        return nullptr;
    }
    const bool placed = argc >= 2 && argv[0].type == ATYPE_LONG && argv[1].type == ATYPE_LONG;
    const long left = placed ? argv[0].word.w_long : 50, top = placed ? argv[1].word.w_long : 50;
    const long width = number_at(argc, argv, 2, default_width), height = number_at(argc, argv, 3, default_height);
    box_new(&x->b, p, 0, clamp_short(left), clamp_short(top), clamp_short(left + width), clamp_short(top + height));
    return &x->b;
}

}  // namespace

bool preset_init()
{
    if (!g_class) {
        const short CANT = ATYPE_CANT, G = ATYPE_GIMME;
        g_class = define_class(
            "preset", nullptr, as_method(&preset_free), sizeof(preset_box), class_home::nobox,
            {{as_method(&recall_int), "int", ATYPE_LONG},    {as_method(&recall_float), "float", ATYPE_FLOAT},
             {as_method(&preset_recall_current), "bang"},    {as_method(&preset_anything), "list", G},
             {as_method(&preset_anything), "anything", G},   {as_method(&preset_store_method), "store", G},
             {as_method(&preset_clear), "clear", G},         {as_method(&preset_clearall), "clearall"},
             {as_method(&preset_name), "name", ATYPE_SYM},   {as_method(&preset_embed), "embed", ATYPE_LONG},
             {as_method(&preset_read), "read", G},           {as_method(&preset_write), "write", G},
             {as_method(&preset_append), "append", G},       {as_method(&preset_loadbang), "loadbang"},
             {as_method(&preset_psave), "psave", CANT},      {as_method(&preset_pstate), "pstate", CANT},
             {as_method(&preset_nothing), "click", CANT},    {as_method(&preset_nothing), "update", CANT},
             {as_method(&preset_nothing), "info", CANT},     {as_method(&preset_assist), "assist", CANT},
             {as_method(&preset_color), "color", ATYPE_LONG}});
        if (!g_class) return false;
    }
    box_kind kind;
    kind.make = &make_from_line;
    kind.box_class = g_class;
    patcher_register_box_kind(gensym("preset"), kind);
    patcher_set_object_leaving(&object_leaving);
    return creation_provide("vpreset", as_method(&vpreset_new));
}

void preset_click_slot(box *b, long n, bool shift)
{
    preset_box *x = as_preset(b);
    if (!x || n < 1) return;
    if (shift) {
        if (n <= slot_number_max) store_now(x, n);
    } else if (n <= static_cast<long>(x->slots->size()) && (*x->slots)[static_cast<size_t>(n - 1)].state == 1) {
        recall(x, n);
    }
}

preset_slot_info preset_slot(box *b, long n)
{
    preset_slot_info info{-2, 0, 0, 0};
    preset_box *x = as_preset(b);
    if (!x || n < 1 || n > static_cast<long>(x->slots->size())) return info;
    const slot_record &s = (*x->slots)[static_cast<size_t>(n - 1)];
    info.state = s.state;
    info.kind = s.kind;
    const long count = static_cast<long>(s.atoms.size());
    for (long i = 0; i < count;) {
        const long end = message_end(s.atoms, i);
        if (end > i) {
            const atom &head = s.atoms[static_cast<size_t>(i)];
            if (head.type == ATYPE_OBJ) {
                if (head.word.w_obj) info.resolved++;
            } else {
                info.unresolved++;
            }
        }
        i = end + 1;
    }
    return info;
}

long preset_slot_count(box *b)
{
    preset_box *x = as_preset(b);
    return x ? static_cast<long>(x->slots->size()) : 0;
}

}  // namespace kel
