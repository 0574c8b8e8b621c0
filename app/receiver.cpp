#include "app/receiver.h"

#include "kel/kel.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/depth.h"

namespace kel::app {
namespace {

struct receiver {
    object ob;
};

kel_class *g_receiver_class = nullptr;

void do_quit(receiver *, symbol *, long, atom *) { sched_request_quit(); }

// Quitting touches the whole application: it happens on the main thread, at
// the next queue service, whoever sent the message.
void receiver_quit(receiver *x) { defer_low(x, reinterpret_cast<kel_method>(&do_quit), nullptr, 0, nullptr); }

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

// The first line of every patcher file kel writes ("kel v2;"): accepted.
void receiver_version(receiver *) {}

}  // namespace

bool receiver_init()
{
    if (g_receiver_class) return true;
    kel_class *c = class_new("kel", nullptr, nullptr, sizeof(receiver), nullptr, 0);
    if (!c) return false;
    class_addmethod(c, reinterpret_cast<kel_method>(&receiver_quit), "quit", 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&receiver_resume), "resume", 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&receiver_version), "v2", 0);
    if (class_register(nullptr, c) != ERR_NONE) return false;
    auto *x = static_cast<receiver *>(object_alloc(c));
    if (!x) return false;
    gensym("kel")->thing = &x->ob;
    depth_set_overflow_handler(&stop_with_alert);
    sched_set_stall_handler(&stop_with_alert);
    g_receiver_class = c;
    return true;
}

}  // namespace kel::app
