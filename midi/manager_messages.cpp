// The sysmidi class: the messages of the MIDI manager, and the port lists
// as kel's midilist posts them.
#include <cstdio>
#include <cstring>
#include <string>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "midi/manager.h"
#include "midi/midi_manager.h"
#include "midi/parser.h"

namespace kel::midi {
namespace {

using gimme_fn = void (*)(sysmidi *, symbol *, long, atom *);

void missing(symbol *s) { error("sysmidi: %s: missing arguments", s->name); }
void bad(symbol *s) { error("sysmidi: %s: bad arguments", s->name); }
void no_port(symbol *s, symbol *name) { error("sysmidi: %s: no port %s", s->name, name->name); }

bool is_sym(const atom &a) { return a.type == ATYPE_SYM; }
bool is_number(const atom &a) { return a.type == ATYPE_LONG || a.type == ATYPE_FLOAT; }
long number(const atom &a) { return a.type == ATYPE_LONG ? a.word.w_long : long(a.word.w_float); }
long direction_of(symbol *which) { return which == gensym("innum") ? MIDI_INPUT : MIDI_OUTPUT; }

// Setting messages do nothing until a driver is installed.
bool no_driver() { return state().drivers.empty(); }

// Checks argc >= n and the argument kinds ('s' symbol, 'l' number); reports
// and answers false otherwise.
bool shaped(symbol *s, long argc, atom *argv, const char *kinds)
{
    const long n = long(std::strlen(kinds));
    if (argc < n) {
        missing(s);
        return false;
    }
    for (long i = 0; i < n; i++)
        if ((kinds[i] == 's' && !is_sym(argv[i])) || (kinds[i] == 'l' && !is_number(argv[i]))) {
            bad(s);
            return false;
        }
    return true;
}

void set_abbrev(midiport *p, long code)
{
    p->abbrev = short(code);
    preferences_changed();
}

void set_offset(midiport *p, long offset)
{
    std::lock_guard<std::recursive_mutex> hold(state().port_lock);
    p->offset = short(offset);
    parse_reset(p);
    preferences_changed();
}

KEL_CALLS_THROUGH_CAST void set_enabled(midiport *p, long enable)
{
    const long previous = p->enabled;
    p->enabled = enable ? 1 : 0;
    if (kel_method m = zgetfn(p->driver, gensym("portenable")))
        reinterpret_cast<void (*)(object *, midiport *, long)>(m)(p->driver, p, previous);
    preferences_changed();
}

void m_none(sysmidi *) {}
void m_revert(sysmidi *) { post("sysmidi: revert"); }

// abbrev / offset: innum|outnum, index, value.
void m_indexed(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (no_driver() || !shaped(s, argc, argv, "sll")) return;
    midiport *p = port_at(number(argv[1]), direction_of(argv[0].word.w_sym));
    if (!p) return bad(s);
    if (s == gensym("abbrev"))
        set_abbrev(p, number(argv[2]));
    else
        set_offset(p, number(argv[2]));
}

// portabbrev / portoffset: innum|outnum, port name, value.
void m_named(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (no_driver() || !shaped(s, argc, argv, "ssl")) return;
    midiport *p = port_by_name(argv[1].word.w_sym, direction_of(argv[0].word.w_sym));
    if (!p) return no_port(s, argv[1].word.w_sym);
    if (s == gensym("portabbrev"))
        set_abbrev(p, number(argv[2]));
    else
        set_offset(p, number(argv[2]));
}

// portenable: port name, enable, [direction: non-zero output].
void m_portenable(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (no_driver() || !shaped(s, argc, argv, "sl")) return;
    if (argc > 2 && !is_number(argv[2])) return bad(s);
    const long direction = (argc > 2 && number(argv[2])) ? MIDI_OUTPUT : MIDI_INPUT;
    midiport *p = port_by_name(argv[0].word.w_sym, direction);
    if (!p) return no_port(s, argv[0].word.w_sym);
    set_enabled(p, number(argv[1]));
}

// enable / outenable: index, enable.
void m_enable(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (no_driver() || !shaped(s, argc, argv, "ll")) return;
    midiport *p = port_at(number(argv[0]), s == gensym("outenable") ? MIDI_OUTPUT : MIDI_INPUT);
    if (!p) return bad(s);
    set_enabled(p, number(argv[1]));
}

// Asks driver to make a port named name in that direction.
void create_with(symbol *s, object *driver, long direction, long argc, atom *argv)
{
    symbol *selector = gensym(direction ? "createinport" : "createoutport");
    if (!zgetfn(driver, selector)) {
        error("sysmidi: %s: %s does not support dynamic port creation", s->name, object_classname(driver)->name);
        return;
    }
    typedmess(driver, selector, argc, argv);
    preferences_changed();
}

// createinport / createoutport: port name [, driver name].
void m_create(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (no_driver()) return;
    if (argc < 1) return missing(s);
    if (!is_sym(argv[0])) return bad(s);
    const long direction = s == gensym("createinport") ? MIDI_INPUT : MIDI_OUTPUT;
    symbol *name = argv[0].word.w_sym;
    if (port_by_name(name, direction)) {
        error("sysmidi: %s: port %s already exists", s->name, name->name);
        return;
    }
    object *driver = nullptr;
    if (argc > 1 && is_sym(argv[1])) {
        driver = driver_by_name(argv[1].word.w_sym);
        if (!driver) {
            error("sysmidi: %s: no driver %s", s->name, argv[1].word.w_sym->name);
            return;
        }
    } else {
        driver = default_driver();
    }
    create_with(s, driver, direction, 1, argv);
}

// createport innum|outnum NAME: the line a preferences file holds for a
// dynamic port; made by the driver whose file is being read ("#MD").
void m_createport(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (no_driver() || !shaped(s, argc, argv, "ss")) return;
    const long direction = direction_of(argv[0].word.w_sym);
    if (port_by_name(argv[1].word.w_sym, direction)) return;
    object *driver = gensym("#MD")->thing;
    bool installed = false;
    for (object *d : state().drivers) installed = installed || d == driver;
    if (!installed) driver = default_driver();
    create_with(s, driver, direction, 1, argv + 1);
}

// deleteinport / deleteoutport: port name.
KEL_CALLS_THROUGH_CAST void m_delete(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (no_driver()) return;
    if (argc < 1) return missing(s);
    if (!is_sym(argv[0])) return bad(s);
    const long direction = s == gensym("deleteinport") ? MIDI_INPUT : MIDI_OUTPUT;
    midiport *p = port_by_name(argv[0].word.w_sym, direction);
    if (!p) return no_port(s, argv[0].word.w_sym);
    kel_method m = zgetfn(p->driver, s);
    if (!m) {
        error("sysmidi: %s: driver doesn't delete ports", s->name);
        return;
    }
    long ok = 0;
    reinterpret_cast<void (*)(object *, midiport *, long *)>(m)(p->driver, p, &ok);
    if (!ok) {
        p->marked = 0;
        error("sysmidi: %s: port %s cannot be deleted", s->name, argv[0].word.w_sym->name);
        return;
    }
    p->marked = 1;
    sysmidi_deletemarked(direction);
    preferences_changed();
}

// driver selector args...: to every driver that has the method.
void m_driver(sysmidi *, symbol *, long argc, atom *argv)
{
    if (argc < 1 || !is_sym(argv[0])) {
        error("sysmidi_driver: bad message");
        return;
    }
    symbol *selector = argv[0].word.w_sym;
    for (object *d : std::vector<object *>(state().drivers))
        if (zgetfn(d, selector)) typedmess(d, selector, argc - 1, argv + 1);
}

std::string abbrev_text(const midiport *p)
{
    if (!p->abbrev) return "none";
    if (p->abbrev > 32 && p->abbrev < 127) return std::string(1, char(p->abbrev));
    return std::to_string(p->abbrev);
}

// inportinfo / outportinfo: port name.
void m_portinfo(sysmidi *, symbol *s, long argc, atom *argv)
{
    if (argc < 1) return missing(s);
    if (!is_sym(argv[0])) return bad(s);
    const long direction = s == gensym("inportinfo") ? MIDI_INPUT : MIDI_OUTPUT;
    midiport *p = port_by_name(argv[0].word.w_sym, direction);
    if (!p) {
        error("sysmidi: %s: no port %s", s->name, argv[0].word.w_sym->name);
        return;
    }
    post("sysmidi: %s: %s: driver %s, abbrev %s, offset %d, enabled %d, dynamic %d", s->name, p->name->name,
         object_classname(p->driver)->name, abbrev_text(p).c_str(), int(p->offset), int(p->enabled), int(p->dynamic));
}

void add_gimme(kel_class *c, gimme_fn fn, const char *name)
{
    class_addmethod(c, reinterpret_cast<kel_method>(fn), name, ATYPE_GIMME, 0);
}

}  // namespace

bool manager_make()
{
    manager_state &s = state();
    if (s.manager) return true;
    if (!s.manager_class) {
        kel_class *c = class_new("sysmidi", nullptr, nullptr, sizeof(sysmidi), nullptr, 0);
        if (!c) return false;
        for (const char *name : {"autosetup", "systemsetup", "open"})
            class_addmethod(c, reinterpret_cast<kel_method>(&m_none), name, 0);
        class_addmethod(c, reinterpret_cast<kel_method>(&m_revert), "revert", 0);
        class_addmethod(c, reinterpret_cast<kel_method>(&m_none), "driverselect", ATYPE_DEFSYM, 0);
        add_gimme(c, &m_indexed, "abbrev");
        add_gimme(c, &m_indexed, "offset");
        add_gimme(c, &m_named, "portabbrev");
        add_gimme(c, &m_named, "portoffset");
        add_gimme(c, &m_portenable, "portenable");
        add_gimme(c, &m_enable, "enable");
        add_gimme(c, &m_enable, "outenable");
        add_gimme(c, &m_create, "createinport");
        add_gimme(c, &m_create, "createoutport");
        add_gimme(c, &m_createport, "createport");
        add_gimme(c, &m_delete, "deleteinport");
        add_gimme(c, &m_delete, "deleteoutport");
        add_gimme(c, &m_driver, "driver");
        add_gimme(c, &m_portinfo, "inportinfo");
        add_gimme(c, &m_portinfo, "outportinfo");
        if (class_register(nullptr, c) != ERR_NONE) return false;
        s.manager_class = c;
    }
    // The queue outlives the manager: a poll that began before the input
    // hook was taken away may still look at it.
    if (!s.queue) s.queue.reset(new (std::nothrow) input_queue());
    if (!s.queue) return false;
    s.manager = static_cast<sysmidi *>(object_alloc(s.manager_class));
    if (!s.manager) return false;
    s.prefs_qelem = qelem_new(nullptr, reinterpret_cast<kel_method>(+[](void *) { midi_write_preferences(); }));
    s.drop_qelem = qelem_new(nullptr, reinterpret_cast<kel_method>(+[](void *) {
                                 const uint64_t bytes = state().queue ? state().queue->take_dropped() : 0;
                                 if (bytes)
                                     error("sysmidi: input queue full: %llu bytes dropped",
                                           static_cast<unsigned long long>(bytes));
                             }));
    gensym("#SM")->thing = &s.manager->ob;
    return true;
}

void manager_free()
{
    manager_state &s = state();
    if (s.prefs_qelem) qelem_free(s.prefs_qelem);
    if (s.drop_qelem) qelem_free(s.drop_qelem);
    s.prefs_qelem = s.drop_qelem = nullptr;
    if (s.manager) {
        if (gensym("#SM")->thing == &s.manager->ob) gensym("#SM")->thing = nullptr;
        freeobject(s.manager);
    }
    s.manager = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(s.port_lock);
        if (s.queue) s.queue->clear();
    }
    s.opened = false;
    s.touched = false;
    s.held.clear();
    s.in_channels = s.out_channels = 0;
}

}  // namespace kel::midi

namespace kel {

void midi_list()
{
    using namespace kel::midi;
    sysmidi_touch();
    for (long direction : {long(MIDI_INPUT), long(MIDI_OUTPUT)}) {
        midiport *head = direction ? state().inports : state().outports;
        const char *title = direction ? "MIDI input ports" : "MIDI output ports";
        if (!head) {
            post("%s: none", title);
            continue;
        }
        post("%s:", title);
        for (midiport *p = head; p; p = p->next)
            post("  %s (%s) channels %d-%d, %s%s", p->name->name, abbrev_text(p).c_str(), p->offset + 1, p->offset + 16,
                 object_classname(p->driver)->name, p->enabled ? "" : ", disabled");
    }
}

}  // namespace kel
