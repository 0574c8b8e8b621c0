// The MIDI manager: the object bound to "#SM", its drivers, the input and
// output port lists, the input queue and the MIDI preferences.
//
// Invariants: the port lists are in creation order and change only on the
// main thread, under the port lock, which the thread taking packets off the
// queue holds while it parses one (so a port is never freed under the
// parser); a packet names its port by id, so packets of a port that went
// are dropped when they come off the queue. Lock order: the port lock, then
// the listener lock, then the kernel's locks.
#include "midi/manager.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include <sys/stat.h>

#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/clocks.h"
#include "kel/console.h"
#include "kel/creation.h"
#include "kel/path.h"
#include "kel/preferences.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/locks.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/files/path.h"
#include "kernel/time/scheduler.h"
#include "midi/listeners.h"
#include "midi/midi_manager.h"
#include "midi/parser.h"

// The records drivers read and write are promised to them.
static_assert(offsetof(midiport, name) == 0, "midiport: the name comes first");
static_assert(offsetof(midiport, abbrev) == 4 * sizeof(void *), "midiport layout is promised to drivers");
static_assert(offsetof(mididriver, header) == 0, "mididriver: a driver is an object first");
static_assert(offsetof(mididriver, accept) == sizeof(object), "mididriver layout is promised to drivers");

namespace kel::midi {

manager_state &state()
{
    static manager_state s;
    return s;
}

namespace {

using plain_fn = void (*)(object *);
constexpr double stale_stamp_ms = 1000.0;
constexpr const char *default_driver_name = "midi_mme";

bool is_default(object *driver) { return object_classname(driver) == gensym(default_driver_name); }

KEL_CALLS_THROUGH_CAST void call_plain(object *driver, const char *selector)
{
    if (kel_method m = zgetfn(driver, gensym(selector))) reinterpret_cast<plain_fn>(m)(driver);
}

void recount()
{
    manager_state &s = state();
    long in = 0, out = 0;
    for (midiport *p = s.inports; p; p = p->next) in++;
    for (midiport *p = s.outports; p; p = p->next) out++;
    s.in_channels = 16 * in;
    s.out_channels = 16 * out;
}

void post_held(const std::string &text) { error("%s", text.c_str()); }

}  // namespace

void preferences_changed()
{
    manager_state &s = state();
    if (s.reading_preferences || !s.prefs_qelem) return;
    s.prefs_dirty = true;
    qelem_set(s.prefs_qelem);
}

midiport *port_by_name(symbol *name, long direction)
{
    manager_state &s = state();
    for (midiport *p = direction ? s.inports : s.outports; p; p = p->next)
        if (p->name == name) return p;
    return nullptr;
}

midiport *port_at(long index, long direction)
{
    if (index < 0) return nullptr;
    manager_state &s = state();
    for (midiport *p = direction ? s.inports : s.outports; p; p = p->next)
        if (index-- == 0) return p;
    return nullptr;
}

object *driver_by_name(symbol *name)
{
    for (object *d : state().drivers)
        if (object_classname(d) == name) return d;
    return nullptr;
}

object *default_driver()
{
    manager_state &s = state();
    for (object *d : s.drivers)
        if (is_default(d)) return d;
    return s.drivers.empty() ? nullptr : s.drivers.front();
}

bool take_one(double start)
{
    manager_state &s = state();
    if (!s.queue) return false;
    if (s.queue->has_dropped()) {
        const auto now = std::chrono::steady_clock::now();
        if (now - s.last_drop_report >= std::chrono::seconds(1)) {
            s.last_drop_report = now;
            if (s.drop_qelem) qelem_set(s.drop_qelem);
        }
    }
    if (s.queue->empty()) return false;
    std::lock_guard<std::recursive_mutex> hold(s.port_lock);
    packet_view packet;
    if (!s.queue->peek(&packet)) return false;
    midiport *port = nullptr;
    for (midiport *p = s.inports; p; p = p->next)
        if (p->id == long(packet.port_id)) {
            port = p;
            break;
        }
    double stamp = (packet.flags & MIDI_STAMP_NOW) ? start : packet.timestamp;
    if (!(start - stamp <= stale_stamp_ms)) stamp = start;
    if (port) {
        if (verbose()) post("got data %ld bytes port %ld", long(packet.length), long(packet.port_id));
        if (port->input_hook) port->input_hook(port, packet.data, long(packet.length));
        sched_set_now(stamp);
        parse_packet(port, packet.data, long(packet.length));
    }
    s.queue->consume();
    return true;
}

}  // namespace kel::midi

using namespace kel;
using namespace kel::midi;

KEL_API midiport *sysmidi_createport(long id, long refnum, symbol *name, object *driver, long direction, long flags)
{
    manager_state &s = state();
    if (!name || port_by_name(name, direction)) return nullptr;
    auto *p = new (std::nothrow) midiport{};
    if (!p) return nullptr;
    p->name = name;
    p->driver = driver;
    p->refnum = refnum;
    p->id = id;
    p->enabled = (flags & MIDI_PORT_ENABLED) ? 1 : 0;
    p->dynamic = (flags & MIDI_PORT_DYNAMIC) ? 1 : 0;
    p->saved = (flags & MIDI_PORT_SAVED) ? 1 : 0;
    p->direction = direction ? MIDI_INPUT : MIDI_OUTPUT;
    {
        // Channels number on across ports: a new port's 16 follow those of
        // the ports before it until its offset is set.
        std::lock_guard<std::recursive_mutex> hold(s.port_lock);
        midiport **at = direction ? &s.inports : &s.outports;
        short offset = 0;
        for (; *at; at = &(*at)->next) offset = short(offset + 16);
        p->offset = offset;
        parse_reset(p);
        *at = p;
    }
    recount();
    return p;
}

KEL_API void sysmidi_deletemarked(long direction)
{
    manager_state &s = state();
    for (;;) {
        midiport *gone = nullptr;
        {
            std::lock_guard<std::recursive_mutex> hold(s.port_lock);
            for (midiport **at = direction ? &s.inports : &s.outports; *at; at = &(*at)->next)
                if ((*at)->marked) {
                    gone = *at;
                    *at = gone->next;
                    break;
                }
        }
        if (!gone) break;
        recount();
        listeners_port_deleted(gone);
        delete gone;
    }
}

KEL_API midiport *sysmidi_idtoport(long id, long direction)
{
    manager_state &s = state();
    std::lock_guard<std::recursive_mutex> hold(s.port_lock);
    for (midiport *p = direction ? s.inports : s.outports; p; p = p->next)
        if (p->id == id) return p;
    return nullptr;
}

KEL_API midiport *sysmidi_nametoport(symbol *name, long direction)
{
    if (!name) return nullptr;
    if (midiport *p = port_by_name(name, direction)) return p;
    if (name->name[0] && !name->name[1])
        for (midiport *p = direction ? state().inports : state().outports; p; p = p->next)
            if (p->abbrev == static_cast<unsigned char>(name->name[0])) return p;
    return nullptr;
}

KEL_API void sysmidi_iterate(long (*fn)(midiport *, void *), void *arg, long direction)
{
    if (!fn) return;
    for (midiport *p = direction ? state().inports : state().outports; p;) {
        midiport *next = p->next;
        if (fn(p, arg)) return;
        p = next;
    }
}

KEL_API long sysmidi_numinports(void) { return state().in_channels / 16; }
KEL_API long sysmidi_numoutports(void) { return state().out_channels / 16; }

KEL_API symbol *sysmidi_indextoname(long index, long direction)
{
    midiport *p = port_at(index, direction);
    return p ? p->name : nullptr;
}

KEL_API long sysmidi_uniqueid(void) { return state().next_id.fetch_add(1, std::memory_order_relaxed); }

KEL_API void sysmidi_send(midiport *port, long kind, long status, long data1, long data2)
{
    if (!port || !port->enabled || !port->driver) return;
    auto *d = reinterpret_cast<mididriver *>(port->driver);
    if (d->send) d->send(port->driver, port, kind, status, data1, data2);
}

KEL_API void sysmidi_openports(void)
{
    manager_state &s = state();
    if (s.opened) return;
    s.opened = true;
    for (object *d : std::vector<object *>(s.drivers)) call_plain(d, "openports");
}

KEL_API long sysmidi_enqbigpacket(midiport *port, const unsigned char *data, long length, double timestamp,
                                  long stamp_now)
{
    manager_state &s = state();
    if (!s.queue || !port || !data || length < 1) return -1;
    if (!s.queue->push(uint32_t(port->id), data, size_t(length), timestamp, stamp_now != 0)) return -1;
    // The thread that polls may sleep with nothing else to do.
    sched_input_arrived();
    return 0;
}

KEL_API void sysmidi_touch(void)
{
    manager_state &s = state();
    if (s.touched) return;
    s.touched = true;
    for (const std::string &text : s.held) post_held(text);
    s.held.clear();
}

KEL_API void sysmidi_report(const char *text)
{
    if (!text) return;
    manager_state &s = state();
    if (s.touched || verbose())
        post_held(text);
    else
        s.held.emplace_back(text);
}

namespace kel {

bool midi_pending()
{
    manager_state &s = state();
    return s.queue && !s.queue->empty();
}

bool midi_poll_one(double start) { return take_one(start); }

KEL_CALLS_THROUGH_CAST bool midi_install_driver(object *driver)
{
    manager_state &s = state();
    if (!s.manager) manager_make();
    if (!driver) return false;
    kel_method info = zgetfn(driver, gensym("mididriverinfo"));
    if (info) reinterpret_cast<plain_fn>(info)(driver);
    symbol *name = object_classname(driver);
    if (!info || !reinterpret_cast<mididriver *>(driver)->accept || !name || std::strchr(name->name, '/')) {
        freeobject(driver);
        return false;
    }
    call_plain(driver, "setup");
    s.drivers.push_back(driver);
    sched_set_input_hook(&take_one, &midi_pending);
    return true;
}

namespace {

// Instantiates every external library of the folder as a driver, in name
// order, with "#SM_DI" bound to the manager while each is made.
void install_folder(short folder, const midi_start_options &options)
{
    std::vector<std::string> files;
    if (path_folder *f = path_openfolder(folder)) {
        char name[MAX_FILENAME_CHARS];
        long type = 0;
        short is_folder = 0;
        while (path_foldernextfile(f, &type, name, &is_folder))
            if (!is_folder && type == FILETYPE_EXTERNAL) files.emplace_back(name);
        path_closefolder(f);
    }
    symbol *binding = gensym("#SM_DI");
    for (const std::string &file : files) {
        const std::string base = file.substr(0, file.rfind('.'));
        if (options.only_named) {
            bool named = false;
            for (const std::string &n : options.names) named = named || n == base;
            if (!named) continue;
        }
        object *was = binding->thing;
        binding->thing = &state().manager->ob;
        loader_setpath(FILETYPE_EXTERNAL, folder);
        auto *driver = static_cast<object *>(newinstance(gensym(file.c_str()), 0, nullptr));
        binding->thing = was;
        if (driver) midi_install_driver(driver);
    }
}

// The "mididrivers" folder: on the search path, else in the support folder
// (where an installed kel keeps it), else beside the program (a build tree).
bool drivers_folder(short *folder)
{
    if (path_sysnameinpath("mididrivers", folder) == 0) return true;
    for (short base : {path_getsupportpath(), path_getapppath()}) {
        std::string os;
        if (!base || !path_folder_of(base, &os)) continue;
        os += "/mididrivers";
        struct stat st {};
        if (stat(os.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if ((*folder = path_id_of_folder(os)) != 0) return true;
    }
    return false;
}

void install_default(const midi_start_options &options)
{
    if (options.only_named) {
        bool named = false;
        for (const std::string &n : options.names) named = named || n == default_driver_name;
        if (!named) return;
    }
    char name[MAX_FILENAME_CHARS];
    std::strcpy(name, default_driver_name);
    short path = 0;
    long type = 0;
    const long types[] = {FILETYPE_EXTERNAL};
    if (locatefile_extended(name, &path, &type, types, 1) != 0) return;
    symbol *binding = gensym("#SM_DI");
    object *was = binding->thing;
    binding->thing = &state().manager->ob;
    loader_setpath(FILETYPE_EXTERNAL, path);
    auto *driver = static_cast<object *>(newinstance(gensym(name), 0, nullptr));
    binding->thing = was;
    if (driver) midi_install_driver(driver);
}

}  // namespace

void midi_read_preferences()
{
    manager_state &s = state();
    symbol *binding = gensym("#MD");
    s.reading_preferences = true;
    for (object *d : std::vector<object *>(s.drivers)) {
        object *was = binding->thing;
        binding->thing = d;
        const std::string file = std::string("midi@") + object_classname(d)->name + ".txt";
        preferences_read(file.c_str(), 0, 0);
        if (is_default(d)) preferences_read("kelmidiprefs.txt", 0, 0);
        binding->thing = was;
    }
    s.reading_preferences = false;
    recount();
}

KEL_CALLS_THROUGH_CAST void midi_write_preferences()
{
    manager_state &s = state();
    s.prefs_dirty = false;
    short folder = 0;
    if (preferences_path(nullptr, 0, &folder) != 0) return;
    symbol *manager = gensym("#SM");
    for (object *d : s.drivers) {
        binbuf *b = preferences_open();
        if (!b) return;
        preferences_add(b, "sss", gensym("midi"), gensym("driverselect"), gensym(""));
        for (long direction : {long(MIDI_INPUT), long(MIDI_OUTPUT)}) {
            symbol *which = gensym(direction ? "innum" : "outnum");
            for (midiport *p = direction ? s.inports : s.outports; p; p = p->next) {
                if (p->driver != d || !p->saved) continue;
                if (p->dynamic) preferences_addraw(b, "ssss", manager, gensym("createport"), which, p->name);
                preferences_addraw(b, "ssssl", manager, gensym("portabbrev"), which, p->name, long(p->abbrev));
                preferences_addraw(b, "ssssl", manager, gensym("portoffset"), which, p->name, long(p->offset));
                preferences_addraw(b, "sssll", manager, gensym("portenable"), p->name, long(p->enabled),
                                   direction ? 0L : 1L);
            }
        }
        if (kel_method m = zgetfn(d, gensym("saveprefs"))) reinterpret_cast<void (*)(object *, binbuf *)>(m)(d, b);
        const std::string file = std::string("midi@") + object_classname(d)->name + ".txt";
        preferences_close(b, file.c_str(), folder);
    }
}

void midi_start(const midi_start_options &options)
{
    manager_state &s = state();
    if (!s.manager && !manager_make()) return;
    if (!options.setup) return;
    short folder = 0;
    if (!options.folder.empty()) folder = path_id_of_folder(options.folder);
    if (folder || drivers_folder(&folder)) install_folder(folder, options);
    if (s.drivers.empty()) install_default(options);
    if (s.drivers.empty()) {
        sysmidi_report("No midi driver folder or default driver");
        return;
    }
    midi_read_preferences();
    recount();
}

void midi_stop()
{
    manager_state &s = state();
    sched_set_input_hook(nullptr, nullptr);
    // A packet being parsed on the scheduler thread is finished first.
    {
        std::lock_guard<std::recursive_mutex> hold(s.port_lock);
    }
    // A change made just before quitting is not lost.
    if (s.prefs_dirty) midi_write_preferences();
    for (object *d : s.drivers) call_plain(d, "stop");
    listeners_clear();
    std::vector<object *> drivers;
    drivers.swap(s.drivers);
    for (long direction : {long(MIDI_INPUT), long(MIDI_OUTPUT)}) {
        for (midiport *p = direction ? s.inports : s.outports; p; p = p->next) p->marked = 1;
        sysmidi_deletemarked(direction);
    }
    for (object *d : drivers) freeobject(d);
    manager_free();
}

midi_start_options midi_options_from(const std::string &names, bool nomidisetup)
{
    midi_start_options o;
    o.setup = !nomidisetup;
    if (names.empty()) return o;
    if (names == "none") {
        o.setup = false;
        return o;
    }
    o.only_named = true;
    size_t at = 0;
    while (at <= names.size()) {
        size_t comma = names.find(',', at);
        if (comma == std::string::npos) comma = names.size();
        if (comma > at) o.names.push_back(names.substr(at, comma - at));
        at = comma + 1;
    }
    return o;
}

}  // namespace kel
