// The application receiver: the object bound to the symbol `kel`. Its
// methods are the system's configuration language (options and preferences
// files are messages to it). This file builds the class, answers the get
// commands, and holds the diagnostics, the forwarding commands and the
// debugging aids; the settings, the file commands and the window commands
// are added by their own files.
#include "app/receiver.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/receiver_internal.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "kernel/create/loader.h"
#include "kernel/time/clocks.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/depth.h"
#include "midi/midi_manager.h"
#include "platform/datetime.h"

namespace kel::app {
namespace {

kel_class *g_receiver_class = nullptr;
receiver *g_receiver = nullptr;

// Nested freeobject calls in progress, as their callers count them.
long g_freeing_depth = 0;

void do_quit(receiver *, symbol *, long, atom *) { sched_request_quit(); }

// Quitting touches the whole application: it happens on the main thread, at
// the next queue service, whoever sent the message.
void receiver_quit(receiver *x) { defer_low(x, as_receiver_method(&do_quit), nullptr, 0, nullptr); }

// The scheduler, stopped by the abort, a runaway message loop or clocks that
// kept logical time from moving, runs again;
// clocks dropped when it stopped stay dropped.
void receiver_resume(receiver *) { sched_restart(); }

// A runaway message loop, or clocks that keep logical time from moving, stop
// the scheduler with the alert; headless there is no menu to choose Resume
// from, so the next line says what to send.
void stop_with_alert(const char *alert)
{
    sched_halt(alert);
    post("kel: send \"kel resume\" (type it, or use --send) to restart the scheduler");
}

// --- accepted without effect ---
// Stored files and older programs send these ("kel v2;" begins every
// patcher file kel writes); each keeps its argument types so that a
// malformed line is still reported.
void ignore_none(receiver *) {}
void ignore_long(receiver *, long) {}
void ignore_four_longs(receiver *, long, long, long, long) {}
void ignore_two_symbols(receiver *, symbol *, symbol *) {}

// --- diagnostics ---

void receiver_debug(receiver *, long on)
{
    g_verbose.store(on != 0);
    post(on ? "turning on debugging" : "turning off debugging");
}

void receiver_counter(receiver *) { pool_post_totals(); }
void receiver_reset(receiver *) { pool_totals_reset(); }
void receiver_size(receiver *) { post("%ld symbols in memory", symbols_total_count()); }

// goto year month day: that day's date in seconds since 1904.
void receiver_goto(receiver *, long year, long month, long day)
{
    toolbox::DateTimeRec date{};
    date.year = short(year);
    date.month = short(month);
    date.day = short(day);
    unsigned long seconds = 0;
    toolbox::DateToSeconds(&date, &seconds);
    post("%lx", seconds);
}

void receiver_takedump(receiver *) { clocks_dump(); }

void receiver_externs(receiver *)
{
    post("Installed external objects:");
    for (const loaded_external &e : loader_externals()) {
        if (e.from_collective)
            post(" %s (installed from a collective)", e.class_name.c_str());
        else
            post(" %s/%s", e.folder.c_str(), e.class_name.c_str());
    }
}

void receiver_printsymvalue(receiver *, symbol *s)
{
    const auto value = reinterpret_cast<uintptr_t>(s->thing);
    post("%s value %lx (%ld)", s->name, static_cast<unsigned long>(value), static_cast<long>(value));
}

void receiver_test2floats(receiver *, double f1, double f2) { post("f1=%f, f2=%f", f1, f2); }
void receiver_test3floats(receiver *, double f1, double f2, double f3) { post("f1=%f, f2=%f, f3=%f", f1, f2, f3); }
void receiver_test4floats(receiver *, double f1, double f2, double f3, double f4)
{
    post("f1=%f, f2=%f, f3=%f, f4=%f", f1, f2, f3, f4);
}
void receiver_test5floats(receiver *, double f1, double f2, double f3, double f4, double f5)
{
    post("f1=%f, f2=%f, f3=%f, f4=%f, f5=%f", f1, f2, f3, f4, f5);
}

// --- forwarding ---

// Stored files guard lines for one platform with "system <platform>"; this
// one answers to "windows", the name the files it must read were written
// with.
symbol *platform_symbol() { return gensym("windows"); }

void resend_after(long skip, long argc, atom *argv)
{
    if (argc <= skip || argv[skip].type != ATYPE_SYM) return;
    receiver_resend(argv[skip].word.w_sym, argc - skip - 1, argv + skip + 1);
}

void receiver_system(receiver *, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM || argv[0].word.w_sym != platform_symbol()) return;
    resend_after(1, argc, argv);
}

void receiver_getsystem(receiver *, symbol *to) { reply_message(to, platform_symbol(), 0, nullptr); }

void receiver_runtime(receiver *, symbol *, long argc, atom *argv)
{
    if (argc < 1) return;
    const bool on = (argv[0].type == ATYPE_LONG && argv[0].word.w_long != 0) ||
                    (argv[0].type == ATYPE_FLOAT && argv[0].word.w_float != 0);
    if (on) resend_after(1, argc, argv);
}

// midi ...: the rest of the message goes to the MIDI manager, bound to "#SM"
// once MIDI is set up.
void receiver_midi(receiver *, symbol *, long argc, atom *argv)
{
    object *manager = gensym("#SM")->thing;
    if (argc < 1 || !object_valid_checked(manager)) return;
    if (argv[0].type == ATYPE_SYM)
        typedmess(manager, argv[0].word.w_sym, argc - 1, argv + 1);
    else if (argc > 1)
        typedmess(manager, sym_list, argc, argv);
    else
        typedmess(manager, argv[0].type == ATYPE_FLOAT ? sym_float : sym_int, 1, argv);
}

// midilist: posts the MIDI input and output ports.
void receiver_midilist(receiver *) { midi_list(); }

// --- debugging ---

// A real access fault, so that the crash handling runs as it would for a
// fault anywhere else. Pointer and store are both volatile: the compiler can
// neither see that the pointer is null nor drop the store as one that
// nothing reads.
void receiver_crash(receiver *)
{
    volatile int *volatile target = nullptr;
    *target = 0;
}

bool debugger_attached()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
    return false;
}

// Without a debugger a breakpoint trap would end the process: it is only
// raised when one is attached.
void receiver_debugbreak(receiver *)
{
    if (debugger_attached()) std::raise(SIGTRAP);
}

// Not a message: looked up by parts of the kernel that free objects. Adds
// change to the count of freeobject calls in progress and answers the count.
long receiver_within_freeobject(receiver *, long change)
{
    g_freeing_depth += change;
    return g_freeing_depth;
}

void reply_value(symbol *receiver_name, symbol *selector, const atom &value)
{
    atom a = value;
    reply_message(receiver_name, selector, 1, &a);
}

}  // namespace

void reply_message(symbol *receiver_name, symbol *selector, long argc, atom *argv)
{
    if (!receiver_name) return;
    object *target = receiver_name->thing;
    // Some names are bound to records that are not objects: only a live
    // object is asked for a method.
    if (!object_valid_checked(target)) return;
    if (!zgetfn(target, selector) && !zgetfn(target, sym_anything)) return;
    typedmess(target, selector, argc, argv);
}

void reply_int(symbol *receiver_name, long value)
{
    atom a;
    a.type = ATYPE_LONG;
    a.word.w_long = value;
    reply_value(receiver_name, sym_int, a);
}

void reply_float(symbol *receiver_name, double value)
{
    atom a;
    a.type = ATYPE_FLOAT;
    a.word.w_float = static_cast<float>(value);
    reply_value(receiver_name, sym_float, a);
}

void receiver_resend(symbol *selector, long argc, atom *argv)
{
    if (g_receiver) typedmess(&g_receiver->ob, selector, argc, argv);
}

bool receiver_init()
{
    if (g_receiver_class) return true;
    kel_class *c = class_new("kel", nullptr, nullptr, sizeof(receiver), nullptr, 0);
    if (!c) return false;
    class_addmethod(c, as_receiver_method(&receiver_quit), "quit", 0);
    class_addmethod(c, as_receiver_method(&receiver_resume), "resume", 0);

    for (const char *name : {"v2", "enabledspstatus", "start", "flange", "timerstats", "buildcollective"})
        class_addmethod(c, as_receiver_method(&ignore_none), name, 0);
    class_addmethod(c, as_receiver_method(&ignore_long), "stop", ATYPE_DEFLONG, 0);
    for (const char *name : {"int", "write", "granularity"})
        class_addmethod(c, as_receiver_method(&ignore_long), name, ATYPE_LONG, 0);
    for (const char *name : {"setfinderwindowsize", "setcollwindowsize"})
        class_addmethod(c, as_receiver_method(&ignore_four_longs), name, ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, ATYPE_LONG,
                        0);
    class_addmethod(c, as_receiver_method(&ignore_two_symbols), "buildplugin", ATYPE_SYM, ATYPE_DEFSYM, 0);

    class_addmethod(c, as_receiver_method(&receiver_debug), "debug", ATYPE_DEFLONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_counter), "counter", 0);
    class_addmethod(c, as_receiver_method(&receiver_reset), "reset", 0);
    class_addmethod(c, as_receiver_method(&receiver_size), "size", 0);
    class_addmethod(c, as_receiver_method(&receiver_goto), "goto", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_takedump), "takedump", 0);
    class_addmethod(c, as_receiver_method(&receiver_externs), "externs", 0);
    class_addmethod(c, as_receiver_method(&receiver_printsymvalue), "printsymvalue", ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_test2floats), "test2floats", ATYPE_FLOAT, ATYPE_FLOAT, 0);
    class_addmethod(c, as_receiver_method(&receiver_test3floats), "test3floats", ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT,
                    0);
    class_addmethod(c, as_receiver_method(&receiver_test4floats), "test4floats", ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT,
                    ATYPE_FLOAT, 0);
    class_addmethod(c, as_receiver_method(&receiver_test5floats), "test5floats", ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT,
                    ATYPE_FLOAT, ATYPE_FLOAT, 0);

    class_addmethod(c, as_receiver_method(&receiver_system), "system", ATYPE_GIMME, 0);
    class_addmethod(c, as_receiver_method(&receiver_getsystem), "getsystem", ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_runtime), "runtime", ATYPE_GIMME, 0);
    class_addmethod(c, as_receiver_method(&receiver_midi), "midi", ATYPE_GIMME, 0);
    class_addmethod(c, as_receiver_method(&receiver_midilist), "midilist", 0);

    class_addmethod(c, as_receiver_method(&receiver_crash), "crash", 0);
    class_addmethod(c, as_receiver_method(&receiver_debugbreak), "debugbreak", 0);
    class_addmethod(c, as_receiver_method(&receiver_within_freeobject), "within_freeobject", ATYPE_CANT, 0);

    receiver_add_settings(c);
    receiver_add_files(c);
    receiver_add_window(c);

    if (class_register(nullptr, c) != ERR_NONE) return false;
    auto *x = static_cast<receiver *>(object_alloc(c));
    if (!x) return false;
    gensym("kel")->thing = &x->ob;
    depth_set_overflow_handler(&stop_with_alert);
    sched_set_stall_handler(&stop_with_alert);
    g_receiver_class = c;
    g_receiver = x;
    return true;
}

}  // namespace kel::app
