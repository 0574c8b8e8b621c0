// How late a 1 ms periodic clock fires, in real time, through the real main
// loop: first with clocks fired by the main thread (normal), then by the
// scheduler timer thread (overdrive), then a loaded patch whose `metro 1`
// runs in overdrive. One line per mode on stdout:
//
//   normal p50=<ms> p99=<ms> max=<ms>
//   overdrive p50=<ms> p99=<ms> max=<ms>
//   metro p50=<ms> p99=<ms> max=<ms>
//   midi p50=<ms> p99=<ms> max=<ms>
//   midi-overdrive p50=<ms> p99=<ms> max=<ms>
//
// Lateness is the real time at which the callback starts minus the time the
// firing was due. The due time is kept here, independently of the kernel:
// the first is one period after the clock is first set, and every firing
// adds one period, so a scheduler that loses time shows it as lateness.
// For the metro the callback is the bang reaching a small object of this
// program's own class in the patch, and the first bang is due when the
// metro is started (its first tick comes from the scheduler at once).
// For MIDI, another thread puts a note on the input queue every millisecond
// (as a driver's input thread does), and the lateness is the real time at
// which a notein listener hears it minus the time it was put on the queue.
//
// Usage: kel_jitter [seconds per mode, default 10]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "kel/kel.h"
#include "kel/midi.h"
#include "kel/sched.h"
#include "kernel/files/path.h"
#include "kernel/time/scheduler.h"
#include "midi/midi_manager.h"
#include "objects/engine.h"

namespace {

constexpr double period_ms = 1.0;

struct periodic {
    kel_clock *clock = nullptr;
    double due = 0;
    std::vector<double> lateness;  // touched only by the thread that fires clocks
    long rebased = 0;              // firings the kernel re-armed from the poll's time
    std::atomic<bool> done{false};
};

// The due time of the next firing. A firing within the slop sees the time it
// was due, and the delay counts from there. A firing later than that sees
// the poll's time: the series starts again from it, and so does the due
// time kept here.
void advance_due(periodic *p)
{
    double logical = kel::sched_now();
    if (std::fabs(logical - p->due) > 1e-6) {
        p->rebased++;
        p->due = logical;
    }
    p->due += period_ms;
}

void periodic_tick(periodic *p)
{
    p->lateness.push_back(systimer_gettime() - p->due);
    if (p->done.load(std::memory_order_relaxed)) return;
    advance_due(p);
    clock_fdelay(p->clock, period_ms);
}

void stop_tick(periodic *p)
{
    p->done.store(true, std::memory_order_relaxed);
    kel::sched_request_quit();
}

struct summary {
    double p50, p99, max;
};

// Nearest-rank percentiles.
summary summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto rank = [&v](double q) {
        size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::clamp<size_t>(i, 1, v.size()) - 1];
    };
    return {rank(0.50), rank(0.99), v.back()};
}

void report(const char *name, const periodic &p)
{
    summary s = summarise(p.lateness);
    std::printf("%s p50=%.3f p99=%.3f max=%.3f\n", name, s.p50, s.p99, s.max);
    std::fflush(stdout);
    if (p.rebased)
        std::fprintf(stderr, "kel_jitter: %s: %ld firings were later than the slop and restarted the series\n", name,
                     p.rebased);
}

// Runs the main loop for `seconds` with the periodic clock and prints the
// mode's line. False when the clock never fired.
bool run_mode(const char *name, bool overdrive, double seconds)
{
    periodic p;
    p.lateness.reserve(static_cast<size_t>(seconds * 1000.0 / period_ms) + 1000);
    p.clock = clock_new(&p, reinterpret_cast<kel_method>(&periodic_tick));
    kel_clock *stop = clock_new(&p, reinterpret_cast<kel_method>(&stop_tick));

    kel::sched_set_overdrive(overdrive);
    kel::sched_start_timer();
    kel::event_timer_start();
    // Neither timer fires clocks until the main loop runs, so the logical
    // time can be brought up to real time here and the series started.
    kel::sched_set_now(systimer_gettime());
    p.due = kel::sched_now() + period_ms;
    clock_fdelay(p.clock, period_ms);
    clock_fdelay(stop, seconds * 1000.0);
    kel::main_loop();
    // Joins both timer threads: after this nothing fires the clocks.
    kel::sched_shutdown();
    freeobject(p.clock);
    freeobject(stop);

    if (p.lateness.empty()) {
        std::fprintf(stderr, "kel_jitter: %s: the clock never fired\n", name);
        return false;
    }
    report(name, p);
    return true;
}

// --- the metro of a loaded patch ---

// The patch: `metro 1` started and stopped through the name kel_jitter_run,
// its bangs going to a probe of this program's class.
constexpr const char *metro_patch = "#N vpatcher 20 74 320 274;\n"
                                    "#P newex 20 20 100 196617 r kel_jitter_run;\n"
                                    "#P newex 20 50 50 196617 metro 1;\n"
                                    "#P newex 20 80 100 196617 kel_jitter_probe;\n"
                                    "#P connect 2 0 1 0;\n"
                                    "#P connect 1 0 0 0;\n"
                                    "#P pop;\n";

struct probe {
    object ob;
};

// The series the probes record into while the metro mode runs; it is
// touched only by the thread that fires clocks.
periodic *g_metro_series = nullptr;
kel_class *g_probe_class = nullptr;

void *probe_new() { return object_alloc(g_probe_class); }

void probe_bang(probe *)
{
    periodic *p = g_metro_series;
    if (!p) return;
    p->lateness.push_back(systimer_gettime() - p->due);
    advance_due(p);
}

bool probe_class_init()
{
    kel_class *c = class_new("kel_jitter_probe", reinterpret_cast<kel_method>(&probe_new), nullptr,
                             static_cast<long>(sizeof(probe)), nullptr, 0);
    if (!c) return false;
    class_addmethod(c, reinterpret_cast<kel_method>(&probe_bang), "bang", 0);
    g_probe_class = c;
    return class_register(gensym("box"), c) == 0;
}

// Sends a message to the name the patch's receive listens to, as a message
// box line "; kel_jitter_run sel" would.
void send_run(const char *selector)
{
    object *through = gensym("kel_jitter_run")->thing;
    if (through) typedmess(through, gensym(selector), 0, nullptr);
}

void stop_metro(periodic *p)
{
    send_run("stop");
    p->done.store(true, std::memory_order_relaxed);
    kel::sched_request_quit();
}

// Writes the patch into a fresh temporary folder and loads it with the
// kernel's loader. The folder is removed again at once.
void *load_metro_patch()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/kel_jitter.XXXXXX";
    if (!mkdtemp(folder.data())) return nullptr;
    std::string file = folder + "/jitter_metro.pat";
    void *loaded = nullptr;
    if (std::ofstream(file, std::ios::binary) << metro_patch) {
        short path = 0;
        char name[MAX_FILENAME_CHARS];
        if (path_frompathname(file.c_str(), &path, name) == 0) loaded = fileload(name, path);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return loaded;
}

// Runs the main loop in overdrive for `seconds` with the patch's metro
// started, and prints the metro's line.
bool run_metro(double seconds)
{
    // The loader recognises a patcher file through the file types the path
    // layer knows.
    if (!kel::path_init()) {
        std::fprintf(stderr, "kel_jitter: metro: the path layer did not start\n");
        return false;
    }
    if (!probe_class_init()) {
        std::fprintf(stderr, "kel_jitter: metro: the probe class could not be made\n");
        return false;
    }
    void *patch = load_metro_patch();
    if (!patch || !gensym("kel_jitter_run")->thing) {
        std::fprintf(stderr, "kel_jitter: metro: the patch did not load\n");
        if (patch) freeobject(patch);
        return false;
    }
    periodic p;
    p.lateness.reserve(static_cast<size_t>(seconds * 1000.0 / period_ms) + 1000);
    kel_clock *stop = clock_new(&p, reinterpret_cast<kel_method>(&stop_metro));

    kel::sched_set_overdrive(true);
    kel::sched_start_timer();
    kel::event_timer_start();
    kel::sched_set_now(systimer_gettime());
    // The metro's first bang is due now: "bang" schedules its tick with no
    // delay, and every tick schedules the next one period later.
    p.due = kel::sched_now();
    g_metro_series = &p;
    send_run("bang");
    clock_fdelay(stop, seconds * 1000.0);
    kel::main_loop();
    kel::sched_shutdown();
    g_metro_series = nullptr;
    freeobject(stop);
    freeobject(patch);

    if (p.lateness.empty()) {
        std::fprintf(stderr, "kel_jitter: metro: the metro never banged\n");
        return false;
    }
    report("metro", p);
    return true;
}

// --- MIDI input from another thread ---

struct midi_probe {
    object ob;
};

struct midi_driver {
    mididriver d;
};

constexpr size_t midi_slots = 16384;  // notes in flight are told apart by key and velocity
std::vector<std::atomic<double>> g_sent(midi_slots);
std::vector<double> *g_midi_lateness = nullptr;  // touched only by the thread that polls

void midi_heard(midi_probe *, midiport *, long, long key, long velocity)
{
    const size_t slot = static_cast<size_t>(key | (velocity << 7));
    if (g_midi_lateness) g_midi_lateness->push_back(systimer_gettime() - g_sent[slot].load());
}

void midi_driver_info(midi_driver *x) { x->d.accept = 1; }

void stop_midi(std::atomic<bool> *done)
{
    done->store(true);
    kel::sched_request_quit();
}

// Runs the main loop for `seconds` while a thread sends a note a
// millisecond, and prints the mode's line.
bool run_midi(const char *name, bool overdrive, double seconds)
{
    static midiport *port = nullptr;
    static kel_class *probe_class = nullptr;
    if (!port) {
        kel_class *d = class_new("kel_jitter_mididriver", nullptr, nullptr, sizeof(midi_driver), nullptr, 0);
        class_addmethod(d, reinterpret_cast<kel_method>(&midi_driver_info), "mididriverinfo", 0);
        class_register(nullptr, d);
        probe_class = class_new("kel_jitter_midiprobe", nullptr, nullptr, sizeof(midi_probe), nullptr, 0);
        class_addmethod(probe_class, reinterpret_cast<kel_method>(&midi_heard), "input2", ATYPE_CANT, 0);
        class_register(nullptr, probe_class);
        auto *driver = static_cast<object *>(object_alloc(d));
        if (!kel::midi_install_driver(driver)) return false;
        port = sysmidi_createport(sysmidi_uniqueid(), 0, gensym("jitter"), driver, MIDI_INPUT, MIDI_PORT_ENABLED);
        sysmidi_listen(MIDI_LIST_NOTEIN, static_cast<object *>(object_alloc(probe_class)));
    }
    std::vector<double> lateness;
    lateness.reserve(static_cast<size_t>(seconds * 1000.0) + 1000);
    g_midi_lateness = &lateness;
    std::atomic<bool> done{false};
    kel_clock *stop = clock_new(&done, reinterpret_cast<kel_method>(&stop_midi));

    kel::sched_set_overdrive(overdrive);
    kel::sched_start_timer();
    kel::event_timer_start();
    kel::sched_set_now(systimer_gettime());
    clock_fdelay(stop, seconds * 1000.0);
    std::thread sender([&done] {
        auto next = std::chrono::steady_clock::now();
        for (size_t i = 0; !done.load(); i++) {
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
            const size_t slot = i % midi_slots;
            const unsigned char note[] = {0x90, static_cast<unsigned char>(slot & 0x7F),
                                          static_cast<unsigned char>(slot >> 7)};
            g_sent[slot].store(systimer_gettime());
            sysmidi_enqbigpacket(port, note, 3, 0, 1);
        }
    });
    kel::main_loop();
    done.store(true);
    sender.join();
    kel::sched_shutdown();
    while (kel::midi_poll_one(kel::sched_now())) {
    }
    g_midi_lateness = nullptr;
    freeobject(stop);

    if (lateness.empty()) {
        std::fprintf(stderr, "kel_jitter: %s: no note was heard\n", name);
        return false;
    }
    periodic p;
    p.lateness = std::move(lateness);
    report(name, p);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 10.0;
    if (argc > 2 || (argc == 2 && !(std::strtod(argv[1], nullptr) > 0.0))) {
        std::fprintf(stderr, "usage: kel_jitter [seconds per mode, default 10]\n");
        return 2;
    }
    if (argc == 2) seconds = std::strtod(argv[1], nullptr);
    if (!kel::engine_init()) {
        std::fprintf(stderr, "kel_jitter: the kernel did not start\n");
        return 1;
    }
    bool ok = run_mode("normal", false, seconds);
    ok = run_mode("overdrive", true, seconds) && ok;
    ok = run_metro(seconds) && ok;
    ok = run_midi("midi", false, seconds) && ok;
    ok = run_midi("midi-overdrive", true, seconds) && ok;
    return ok ? 0 : 1;
}
