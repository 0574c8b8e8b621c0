// Scripting: the patcher message `script KEYWORD args...`, which edits a
// patcher by messages: boxes are made and named, wired, moved, hidden and
// deleted through their names in the patcher's own table (kernel/patcher/patcher_names.h).
//
// A command checks its arguments before it changes anything: fewer than its
// table lists, or of other types, and it is ignored without a message. Then
// each box argument is looked up; an unknown name posts "script: KEYWORD: no
// variable NAME" and the command stops. So a command runs whole or not at all.
//
// Deleting is lazy: the box leaves the patcher at once (name, cords, place in
// the list) but is freed from the low-priority queue, because the object that
// asked for the deletion is often still running: the message box that sent
// the command, the thispatcher that passed it on, or the box being deleted.
#include "kernel/patcher/patcher_script.h"
#include "kernel/core/atoms.h"
#include "kernel/core/locks.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/clocks.h"
#include "kel/console.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/binding_scope.h"
#include "kernel/core/guarded.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_names.h"

namespace kel {
namespace {

// The default look of boxes made by newdefault: the font word of 9-point
// text, and a width that fits the text.
constexpr long default_font = 196617;
constexpr long default_position = 10;

long default_width(long characters)
{
    long width = 6 * characters + 14;
    return width < 30 ? 30 : width;
}

struct script_call {
    patcher *p;
    symbol *keyword;
    long argc;
    atom *argv;
    box *boxes[2];  // the box arguments, in order
};

using command_fn = void (*)(script_call &call);

// Argument letters: b a box name, s a symbol, l an integer.
struct command {
    const char *keyword;
    const char *args;
    command_fn run;
};

symbol *sym_of(const atom &a) { return a.word.w_sym; }

long long_of(const atom &a) { return a.word.w_long; }

// The box of p that made is, or null.
box *box_in(patcher *p, void *made)
{
    if (!made || !object_valid_checked(made)) return nullptr;
    for (box *b = p->boxes; b; b = b->next)
        if (&b->header == made) return b;
    return nullptr;
}

// What a box argument's messages reach: its object, or the box without one.
object *target_of(box *b) { return b->obj ? b->obj : &b->header; }

bool is_of_class(box *b, symbol *cls)
{
    object *x = target_of(b);
    if (!object_valid(x)) return false;
    if (object_classname(x) == cls) return true;
    kel_class *c = class_findbyname(sym_box, cls);
    return c && c == object_class(x);
}

// The box's text is exactly cls followed by the atoms.
bool text_is(box *b, symbol *cls, long argc, const atom *argv)
{
    atombuf *text = box_text(b);
    if (!text || text->argc != argc + 1 || text->argv[0].type != ATYPE_SYM || text->argv[0].word.w_sym != cls)
        return false;
    for (long k = 0; k < argc; k++)
        if (!atom_same(text->argv[k + 1], argv[k])) return false;
    return true;
}

void name_box(patcher *p, box *b, symbol *name) { patcher_uniqueboxname(p, b, name); }

// Sends atoms as a message: a leading symbol is the selector, one number is
// int or float, several are a list.
void send_atoms(object *to, long argc, atom *argv)
{
    if (argc < 1) return;
    if (argv[0].type == ATYPE_SYM) {
        typedmess(to, argv[0].word.w_sym, argc - 1, argv + 1);
    } else if (argc == 1 && argv[0].type == ATYPE_LONG) {
        typedmess(to, sym_int, 1, argv);
    } else if (argc == 1 && argv[0].type == ATYPE_FLOAT) {
        typedmess(to, sym_float, 1, argv);
    } else if (argv[0].type == ATYPE_LONG || argv[0].type == ATYPE_FLOAT) {
        typedmess(to, sym_list, argc, argv);
    }
}

// Sends the creation message to p with the scripting flag set; the box it
// answers, or null after "instantiating object via scripting: name=NAME".
box *script_create(patcher *p, symbol *name, symbol *selector, long argc, atom *argv)
{
    void *made;
    {
        binding_scope box_binding(bindings().B, binding_scope::if_alive);
        const bool was = p->scripting;
        p->scripting = true;
        made = typedmess(p, selector, argc, argv);
        p->scripting = was;
    }
    box *b = box_in(p, made);
    if (!b) error("instantiating object via scripting: name=%s", name->name);
    return b;
}

void free_detached(void *b, symbol *, long, atom *) { freeobject(b); }

// --- the commands ---

void cmd_new(script_call &c)
{
    symbol *name = sym_of(c.argv[0]);
    if (box *b = script_create(c.p, name, sym_of(c.argv[1]), c.argc - 2, c.argv + 2)) name_box(c.p, b, name);
}

struct recorded_cord {
    box *other;  // null: the cord joined the replaced box to itself
    bool leaving;
    short outlet, inlet;
    short npoints;
    short x[cord_points_max], y[cord_points_max];
    long flags;
};

void record_cord(std::vector<recorded_cord> *out, box *old, patchcord *c, bool leaving)
{
    recorded_cord r{};
    box *other = leaving ? c->dst : c->src;
    r.other = other == old ? nullptr : other;
    r.leaving = leaving;
    r.outlet = c->outlet;
    r.inlet = c->inlet;
    r.npoints = c->npoints;
    std::memcpy(r.x, c->x, sizeof r.x);
    std::memcpy(r.y, c->y, sizeof r.y);
    r.flags = c->color | (c->hidden ? CORD_FLAG_HIDDEN : 0);
    out->push_back(r);
}

void cmd_replace(script_call &c)
{
    patcher *p = c.p;
    symbol *name = sym_of(c.argv[0]);
    box *old = boxnames_find(p, name);
    // The new box is made first: when it cannot be made, the old one stays.
    box *b = script_create(p, name, sym_of(c.argv[1]), c.argc - 2, c.argv + 2);
    if (!b) return;
    if (!old || old == b || old->owner != p) {
        name_box(p, b, name);
        return;
    }
    std::vector<recorded_cord> cords;
    try {
        for (patchcord *k = old->cords_out; k; k = k->next_out) record_cord(&cords, old, k, true);
        // A cord from the box to itself is recorded once, as leaving.
        for (patchcord *k = old->cords_in; k; k = k->next_in)
            if (k->src != old) record_cord(&cords, old, k, false);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);  // the new box goes without the old one's cords
        cords.clear();
    }
    box_take_place(b, old);
    script_delete_box(p, old);
    name_box(p, b, name);
    for (const recorded_cord &r : cords) {
        box *other = r.other ? r.other : b;
        if (other->owner != p || b->owner != p) continue;
        box *src = r.leaving ? b : other;
        box *dst = r.leaving ? other : b;
        patchcord *made = patcher_connect_boxes(p, src, r.outlet, dst, r.inlet, false, r.flags);
        if (made && r.npoints > 1) {
            short end_x = made->x[made->npoints], end_y = made->y[made->npoints];
            made->npoints = r.npoints;
            for (int k = 1; k < r.npoints && k < cord_points_max - 1; k++) {
                made->x[k] = r.x[k];
                made->y[k] = r.y[k];
            }
            made->x[made->npoints] = end_x;
            made->y[made->npoints] = end_y;
        }
    }
}

void cmd_newdefault(script_call &c)
{
    symbol *name = sym_of(c.argv[0]);
    long x = default_position, y = default_position;
    long at = 1;
    if (c.argc >= 3 && c.argv[1].type == ATYPE_LONG && c.argv[2].type == ATYPE_LONG) {
        x = long_of(c.argv[1]);
        y = long_of(c.argv[2]);
        at = 3;
    }
    if (c.argc <= at || c.argv[at].type != ATYPE_SYM) return;
    patcher *p = c.p;
    const bool was = p->scripting;
    p->scripting = true;
    box *b = patcher_newdefault(p, x, y, sym_of(c.argv[at]), c.argc - at - 1, c.argv + at + 1);
    p->scripting = was;
    if (!b) {
        error("instantiating object via scripting: name=%s", name->name);
        return;
    }
    name_box(p, b, name);
}

void cmd_class(script_call &c)
{
    symbol *cls = sym_of(c.argv[1]);
    for (box *b = c.p->boxes; b; b = b->next) {
        if (is_of_class(b, cls) && text_is(b, cls, c.argc - 2, c.argv + 2)) {
            name_box(c.p, b, sym_of(c.argv[0]));
            return;
        }
    }
}

void cmd_nth(script_call &c)
{
    symbol *cls = sym_of(c.argv[1]);
    const long n = long_of(c.argv[2]);
    long seen = 0;
    for (box *b = c.p->boxes; b && n > 0; b = b->next) {
        if (is_of_class(b, cls) && ++seen == n) {
            name_box(c.p, b, sym_of(c.argv[0]));
            return;
        }
    }
    error("script: instance %ld of %s not found", n, cls->name);
}

// Headless, nothing is ever selected: there is no box to name.
void cmd_selected(script_call &) {}

void cmd_connect(script_call &c)
{
    long color = c.argc > 4 && c.argv[4].type == ATYPE_LONG ? long_of(c.argv[4]) : 0;
    patcher_connectobj(c.p, c.boxes[0], long_of(c.argv[1]), c.boxes[1], long_of(c.argv[3]), 1, color & 0xFF);
}

void cmd_connectcolor(script_call &c)
{
    patcher_colorconnectobj(c.p, c.boxes[0], long_of(c.argv[1]), c.boxes[1], long_of(c.argv[3]), long_of(c.argv[4]));
}

void cmd_disconnect(script_call &c)
{
    patcher_disconnectobj(c.p, c.boxes[0], long_of(c.argv[1]), c.boxes[1], long_of(c.argv[3]));
}

void cmd_move(script_call &c) { box_move(c.boxes[0], long_of(c.argv[1]), long_of(c.argv[2])); }

void cmd_offset(script_call &c)
{
    box *b = c.boxes[0];
    box_move(b, b->rect.left + long_of(c.argv[1]), b->rect.top + long_of(c.argv[2]));
}

void cmd_offsetfrom(script_call &c)
{
    const box_rect &from = c.boxes[1]->rect;
    const bool corner = long_of(c.argv[2]) != 0;
    box_move(c.boxes[0], (corner ? from.right : from.left) + long_of(c.argv[3]),
             (corner ? from.bottom : from.top) + long_of(c.argv[4]));
}

void cmd_size(script_call &c) { box_resize(c.boxes[0], long_of(c.argv[1]), long_of(c.argv[2])); }

void set_flag(box *b, unsigned short flag, bool on)
{
    if (on)
        b->flags |= flag;
    else
        b->flags &= static_cast<unsigned short>(~flag);
}

void cmd_hide(script_call &c) { set_flag(c.boxes[0], BOX_FLAG_HIDDEN, true); }
void cmd_show(script_call &c) { set_flag(c.boxes[0], BOX_FLAG_HIDDEN, false); }
void cmd_ignoreclick(script_call &c) { set_flag(c.boxes[0], BOX_FLAG_NOCLICK, true); }
void cmd_respondtoclick(script_call &c) { set_flag(c.boxes[0], BOX_FLAG_NOCLICK, false); }
void cmd_bringtofront(script_call &c) { box_order(c.boxes[0], true); }
void cmd_sendtoback(script_call &c) { box_order(c.boxes[0], false); }
void cmd_background(script_call &c) { set_flag(c.boxes[0], BOX_FLAG_BACKGROUND, long_of(c.argv[1]) != 0); }
void cmd_delete(script_call &c) { script_delete_box(c.p, c.boxes[0]); }

void cmd_send(script_call &c)
{
    if (c.argc < 2) return;
    send_atoms(target_of(c.boxes[0]), c.argc - 1, c.argv + 1);
}

void cmd_sendbox(script_call &c)
{
    if (c.argc < 2) return;
    send_atoms(&c.boxes[0]->header, c.argc - 1, c.argv + 1);
}

void script_run(patcher *p, symbol *keyword, long argc, atom *argv);

void cmd_hidden(script_call &c)
{
    building_state &bs = building();
    const bool was = bs.hidden_mode;
    bs.hidden_mode = true;
    script_run(c.p, sym_of(c.argv[0]), c.argc - 1, c.argv + 1);
    bs.hidden_mode = was;
}

void cmd_comment(script_call &) {}

const command g_commands[] = {
    {"new", "ss", &cmd_new},
    {"replace", "ss", &cmd_replace},
    {"newdefault", "s", &cmd_newdefault},
    {"class", "ss", &cmd_class},
    {"nth", "ssl", &cmd_nth},
    {"selected", "s", &cmd_selected},
    {"connect", "blbl", &cmd_connect},
    {"connectcolor", "blbll", &cmd_connectcolor},
    {"disconnect", "blbl", &cmd_disconnect},
    {"move", "bll", &cmd_move},
    {"offset", "bll", &cmd_offset},
    {"offsetfrom", "bblll", &cmd_offsetfrom},
    {"size", "bll", &cmd_size},
    {"hide", "b", &cmd_hide},
    {"show", "b", &cmd_show},
    {"ignoreclick", "b", &cmd_ignoreclick},
    {"respondtoclick", "b", &cmd_respondtoclick},
    {"bringtofront", "b", &cmd_bringtofront},
    {"sendtoback", "b", &cmd_sendtoback},
    {"background", "bl", &cmd_background},
    {"delete", "b", &cmd_delete},
    {"send", "b", &cmd_send},
    {"sendbox", "b", &cmd_sendbox},
    {"hidden", "s", &cmd_hidden},
    {"comment", "", &cmd_comment},
};

const command *find_command(symbol *keyword)
{
    for (const command &c : g_commands)
        if (std::strcmp(c.keyword, keyword->name) == 0) return &c;
    return nullptr;
}

void script_run(patcher *p, symbol *keyword, long argc, atom *argv)
{
    const command *cmd = find_command(keyword);
    if (!cmd) {
        error("patcher: unknown script keyword %s", keyword->name);
        return;
    }
    const long listed = static_cast<long>(std::strlen(cmd->args));
    if (argc < listed) return;
    for (long k = 0; k < listed; k++) {
        const short wanted = cmd->args[k] == 'l' ? ATYPE_LONG : ATYPE_SYM;
        if (argv[k].type != wanted) return;
    }
    script_call call{p, keyword, argc, argv, {nullptr, nullptr}};
    int found = 0;
    for (long k = 0; k < listed; k++) {
        if (cmd->args[k] != 'b') continue;
        symbol *name = sym_of(argv[k]);
        box *b = boxnames_find(p, name);
        if (!b) {
            error("script: %s: no variable %s", keyword->name, name->name);
            return;
        }
        call.boxes[found++] = b;
    }
    cmd->run(call);
}

void *patcher_script_method(patcher *p, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) return nullptr;
    script_run(p, argv[0].word.w_sym, argc - 1, argv + 1);
    return nullptr;
}

}  // namespace

void patcher_script_addmethods(kel_class *c)
{
    class_addmethod(c, reinterpret_cast<kel_method>(&patcher_script_method), "script", ATYPE_GIMME, 0);
}

void script_delete_box(patcher *p, box *b)
{
    if (!p || !b || b->owner != p) return;
    // Leaving the patcher takes the name with it (whatever follows the name
    // hears that the box is going).
    {
        lockout_scope lockout;
        box_detach(b);
    }
    // Idle priority: the call has no owner, so that freeing the box inside
    // it does not take the running call away with the box's own qelems.
    static symbol *const idle = gensym("idlepriority");
    defer_low(b, reinterpret_cast<kel_method>(&free_detached), idle, 0, nullptr);
}

}  // namespace kel

using namespace kel;

KEL_API box *patcher_newdefault(patcher *p, long x, long y, symbol *cls, long argc, atom *argv)
{
    static symbol *const message = gensym("message"), *const comment = gensym("comment"),
                         *const newex = gensym("newex");
    static const char *const layout_kinds[] = {"button", "toggle", "slider", "inlet",
                                               "outlet", "preset", "number", "flonum"};
    if (!p || !cls || cls == sym_empty || argc < 0 || (argc > 0 && !argv)) return nullptr;
    std::vector<atom> line;
    try {
        atom a;
        atom_setlong(&a, x);
        line.push_back(a);
        atom_setlong(&a, y);
        line.push_back(a);
        for (const char *kind : layout_kinds) {
            if (cls == gensym(kind)) return box_in(p, typedmess(p, cls, 2, line.data()));
        }
        const bool text_box = cls == message || cls == comment;
        std::vector<atom> text;
        if (!text_box) {
            atom_setsym(&a, cls);
            text.push_back(a);
        }
        text.insert(text.end(), argv, argv + argc);
        long characters =
            text.empty() ? 0 : atoms_totext_bounded(nullptr, 0, static_cast<long>(text.size()), text.data());
        atom_setlong(&a, default_width(characters));
        line.push_back(a);
        atom_setlong(&a, default_font);
        line.push_back(a);
        line.insert(line.end(), text.begin(), text.end());
        return box_in(p, typedmess(p, text_box ? cls : newex, static_cast<long>(line.size()), line.data()));
    } catch (const std::bad_alloc &) {
        report_out_of_memory("patcher_newdefault");
        return nullptr;
    }
}
