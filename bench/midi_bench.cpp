// MIDI input: a note put on the input queue, taken off as the scheduler
// poll takes it, parsed, and heard by one notein listener. Figures are per
// message.
#include <benchmark/benchmark.h>

#include "kel/kel.h"
#include "kel/midi.h"
#include "midi/midi_manager.h"

namespace {

struct bench_driver {
    mididriver d;
};

struct bench_listener {
    object ob;
    long heard;
};

void driver_info(bench_driver *x) { x->d.accept = 1; }

void heard(bench_listener *x, midiport *, long, long, long) { x->heard++; }

void BM_MidiInputNote(benchmark::State &state)
{
    kel_class *d = class_new("benchmididriver", nullptr, nullptr, sizeof(bench_driver), nullptr, 0);
    class_addmethod(d, reinterpret_cast<kel_method>(&driver_info), "mididriverinfo", 0);
    class_register(nullptr, d);
    kel_class *l = class_new("benchmidilistener", nullptr, nullptr, sizeof(bench_listener), nullptr, 0);
    class_addmethod(l, reinterpret_cast<kel_method>(&heard), "input2", ATYPE_CANT, 0);
    class_register(nullptr, l);

    auto *driver = static_cast<object *>(object_alloc(d));
    if (!kel::midi_install_driver(driver)) {
        state.SkipWithError("the driver was not installed");
        return;
    }
    midiport *port = sysmidi_createport(sysmidi_uniqueid(), 0, gensym("bench"), driver, MIDI_INPUT, MIDI_PORT_ENABLED);
    auto *x = static_cast<bench_listener *>(object_alloc(l));
    x->heard = 0;
    sysmidi_listen(MIDI_LIST_NOTEIN, &x->ob);
    const unsigned char note[] = {0x90, 0x3C, 0x40};
    for (auto _ : state) {
        sysmidi_enqbigpacket(port, note, 3, 0, 1);
        kel::midi_poll_one(0);
    }
    if (x->heard != static_cast<long>(state.iterations())) state.SkipWithError("a note was lost");
    state.SetItemsProcessed(state.iterations());
    sysmidi_unlisten(-1, &x->ob);
    freeobject(x);
    kel::midi_stop();
}
BENCHMARK(BM_MidiInputNote);

}  // namespace
