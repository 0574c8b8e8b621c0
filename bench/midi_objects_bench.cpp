// The MIDI objects: one note-on heard by 16 notein objects on different
// channels (through the input queue and the parser, per message), a note
// into noteout to a driver's send routine and through the loopback driver
// (per note), and midiparse (per byte, running status).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <system_error>

#include "bench/bench_support.h"
#include "kel/kel.h"
#include "kel/midi.h"
#include "kernel/files/preferences.h"
#include "kernel/wires/outlets.h"
#include "midi/midi_manager.h"
#include "midi/midi_objects.h"
#include "objects/engine.h"

namespace {

struct objects_bench_driver {
    mididriver d;
};

long g_sent = 0;

void count_send(object *, midiport *, long, long, long, long) { g_sent++; }

void objects_driver_info(objects_bench_driver *x)
{
    x->d.accept = 1;
    x->d.send = &count_send;
}

struct list_sink {
    object header;
    long heard;
};

void *list_sink_list(list_sink *x, symbol *, long, atom *)
{
    x->heard++;
    return nullptr;
}

list_sink *list_sink_new()
{
    static kel_class *c = [] {
        kel_class *made = class_new("bench_list_sink", nullptr, nullptr, sizeof(list_sink), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&list_sink_list), "list", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    auto *x = static_cast<list_sink *>(object_alloc(c));
    if (x) x->heard = 0;
    return x;
}

// A driver with one input and one output port, "bench" (abbreviation z).
object *install_bench_driver(midiport **in, midiport **out)
{
    static kel_class *c = [] {
        kel_class *made = class_new("objectsbenchdriver", nullptr, nullptr, sizeof(objects_bench_driver), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&objects_driver_info), "mididriverinfo", 0);
        class_register(nullptr, made);
        return made;
    }();
    auto *driver = static_cast<object *>(object_alloc(c));
    if (!kel::midi_install_driver(driver)) return nullptr;
    *in = sysmidi_createport(sysmidi_uniqueid(), 0, gensym("bench"), driver, MIDI_INPUT, MIDI_PORT_ENABLED);
    *out = sysmidi_createport(sysmidi_uniqueid(), 0, gensym("bench"), driver, MIDI_OUTPUT, MIDI_PORT_ENABLED);
    if (!*in || !*out) return nullptr;
    (*in)->abbrev = 'z';
    (*out)->abbrev = 'z';
    return driver;
}

object *make(const char *name, long argc, atom *argv)
{
    return static_cast<object *>(newinstance(gensym(name), argc, argv));
}

void BM_MidiNoteinFanout(benchmark::State &state)
{
    kel::engine_init();
    midiport *in = nullptr;
    midiport *out = nullptr;
    if (!kel::midi_objects_init() || !install_bench_driver(&in, &out)) {
        state.SkipWithError("no driver");
        return;
    }
    object *listeners[16];
    kel::bench::int_sink *sinks[16];
    for (long channel = 1; channel <= 16; channel++) {
        atom a;
        atom_setlong(&a, channel);
        listeners[channel - 1] = make("notein", 1, &a);
        sinks[channel - 1] = kel::bench::int_sink_new();
        outlet_add(listeners[channel - 1]->outlets, sinks[channel - 1]);
    }
    const unsigned char note[] = {0x95, 0x3C, 0x40};  // channel 6
    for (auto _ : state) {
        sysmidi_enqbigpacket(in, note, 3, 0, 1);
        kel::midi_poll_one(0);
    }
    if (sinks[5]->last != 0x3C) state.SkipWithError("the note was not heard");
    state.SetItemsProcessed(state.iterations());
    for (object *x : listeners) freeobject(x);
    for (auto *s : sinks) freeobject(s);
    kel::midi_stop();
}
BENCHMARK(BM_MidiNoteinFanout);

void BM_NoteoutSend(benchmark::State &state)
{
    kel::engine_init();
    midiport *in = nullptr;
    midiport *out = nullptr;
    if (!kel::midi_objects_init() || !install_bench_driver(&in, &out)) {
        state.SkipWithError("no driver");
        return;
    }
    atom args[2];
    atom_setsym(&args[0], gensym("z"));
    atom_setlong(&args[1], 1);
    object *noteout = make("noteout", 2, args);
    auto hot = reinterpret_cast<void *(*)(object *, long)>(getfn(noteout, gensym("int")));
    g_sent = 0;
    long pitch = 0;
    for (auto _ : state) {
        hot(noteout, pitch);
        pitch = (pitch + 1) & 127;
    }
    if (g_sent != static_cast<long>(state.iterations())) state.SkipWithError("a note was not sent");
    state.SetItemsProcessed(state.iterations());
    freeobject(noteout);
    kel::midi_stop();
}
BENCHMARK(BM_NoteoutSend);

// The same through the loopback driver (its library beside the benchmark's
// folder, as the build tree has it): its send routine puts each note on the
// input queue, which is emptied, untimed, every 4096 notes.
void BM_NoteoutLoopback(benchmark::State &state)
{
    kel::engine_init();
    // The folder the driver's preferences file is read from and written to.
    kel::bench::scratch_folder scratch;
    kel::preferences_set_folder(scratch.folder);
    std::error_code failed;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", failed);
    kel::midi_start_options options;
    options.only_named = true;
    options.names = {"loopback"};
    options.folder = (program.parent_path().parent_path() / "mididrivers").string();
    kel::midi_start(options);
    atom args[2];
    atom_setsym(&args[0], gensym("loop1"));
    atom_setlong(&args[1], 1);
    if (failed || !kel::midi_objects_init() || sysmidi_numoutports() < 1) {
        state.SkipWithError("the loopback driver was not found");
        kel::midi_stop();
        kel::preferences_set_folder("");
        return;
    }
    object *noteout = make("noteout", 2, args);
    object *heard = make("notein", 0, nullptr);
    kel::bench::int_sink *keys = kel::bench::int_sink_new();
    outlet_add(heard->outlets, keys);
    auto hot = reinterpret_cast<void *(*)(object *, long)>(getfn(noteout, gensym("int")));
    long pitch = 0;
    long sent = 0;
    for (auto _ : state) {
        hot(noteout, pitch);
        pitch = (pitch + 1) & 127;
        if (++sent % 4096 == 0) {
            state.PauseTiming();
            while (kel::midi_poll_one(0)) {
            }
            state.ResumeTiming();
        }
    }
    while (kel::midi_poll_one(0)) {
    }
    if (keys->last != ((pitch + 127) & 127)) state.SkipWithError("the last note did not come back");
    state.SetItemsProcessed(state.iterations());
    freeobject(noteout);
    freeobject(heard);
    freeobject(keys);
    kel::midi_stop();
    kel::preferences_set_folder("");
}
BENCHMARK(BM_NoteoutLoopback);

void BM_MidiparseByte(benchmark::State &state)
{
    kel::engine_init();
    if (!kel::midi_objects_init()) {
        state.SkipWithError("no MIDI objects");
        return;
    }
    object *parse = make("midiparse", 0, nullptr);
    list_sink *notes = list_sink_new();
    kel::bench::int_sink *channels = kel::bench::int_sink_new();
    outlet_add(parse->outlets, notes);
    outlet *o = parse->outlets;
    for (int k = 0; k < 6; k++) o = o->next;
    outlet_add(o, channels);
    auto byte = reinterpret_cast<void *(*)(object *, long)>(getfn(parse, gensym("int")));
    byte(parse, 0x90);
    long data = 0;
    for (auto _ : state) {
        byte(parse, data);
        data = (data + 1) & 127;
    }
    if (notes->heard != static_cast<long>(state.iterations() / 2)) state.SkipWithError("notes were lost");
    state.SetItemsProcessed(state.iterations());
    freeobject(parse);
    freeobject(notes);
    freeobject(channels);
}
BENCHMARK(BM_MidiparseByte);

}  // namespace
