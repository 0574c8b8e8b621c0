// The sequencer's playback and the Standard MIDI File reader.
//
// BM_SeqPlayback: 100,000 events played in virtual time into a counter
// (items are events). BM_SmfRead: a 1 MB format-0 file read into events
// (bytes are file bytes); the reader allocates one chunk per 16 events and
// nothing per event.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kel/kel.h"
#include "kernel/time/scheduler.h"
#include "objects/midifile.h"
#include "objects/seq.h"

namespace {

long g_bytes = 0;

void count_byte(object *, long) { g_bytes++; }

void BM_SeqPlayback(benchmark::State &state)
{
    constexpr long events = 100000;
    const double saved_now = kel::sched_now();
    kel::sched_place_time(0);
    kel::sequencer s;
    if (!kel::sequencer_init(&s, nullptr, "seq", &count_byte, nullptr)) {
        state.SkipWithError("no clock");
        return;
    }
    for (long k = 0; k < events; k++) {
        const uint8_t bytes[4] = {0xF8, 0, 0, 0};
        kel::midi_sequence_append_after(&s.events, 1 + static_cast<uint64_t>(k * 7919) % 37, bytes);
    }
    double t = 0;
    for (auto _ : state) {
        g_bytes = 0;
        kel::sched_set_now(t);
        kel::sequencer_start(&s, 1024);
        double next;
        // Other clocks of the engine may wait too: the run ends with playback.
        while (s.playing && kel::sched_next_clock_time(&next)) {
            kel::sched_place_time(next);
            kel::sched_poll();
            t = next;
        }
        if (g_bytes != events) state.SkipWithError("not every event played");
    }
    state.SetItemsProcessed(state.iterations() * events);
    kel::sequencer_free(&s);
    kel::sched_real_time();
    kel::sched_set_now(saved_now);
}
BENCHMARK(BM_SeqPlayback)->Unit(benchmark::kMillisecond);

void BM_SmfRead(benchmark::State &state)
{
    kel::midi_sequence s;
    kel::midi_sequence_init(&s);
    std::vector<uint8_t> file;
    for (long k = 0; file.size() < (1 << 20); k++) {
        const uint8_t bytes[4] = {static_cast<uint8_t>(0x90 | (k & 15)), static_cast<uint8_t>(k & 127), 64, 0};
        kel::midi_sequence_append_after(&s, static_cast<uint64_t>(k % 7) * 10, bytes);
        if (k % 4096 == 0 && !kel::smf_write(&s, &file)) break;
    }
    kel::smf_write(&s, &file);
    kel::midi_sequence_clear(&s);
    for (auto _ : state) {
        bool accepted = false;
        if (kel::smf_read(file.data(), file.size(), false, &s, &accepted) != kel::smf_result::ok)
            state.SkipWithError("the file did not read");
        benchmark::DoNotOptimize(s.used);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(file.size()));
    kel::midi_sequence_clear(&s);
}
BENCHMARK(BM_SmfRead)->Unit(benchmark::kMillisecond);

}  // namespace
