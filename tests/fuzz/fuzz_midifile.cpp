// Fuzz target: the MIDI file forms (any bytes read as a Standard MIDI File,
// as a bare track, and as the text form).
//
// For any input:
//   - no reader reads past the input, crashes or grows without bound (the
//     sanitizers and the readers' time limit see to the first and last);
//   - a read that fails leaves the sequence empty;
//   - what a reader reads writes in both forms and reads back the same:
//     a Standard MIDI File written, read and written again is the same
//     file, and the text form reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kel/kel.h"
#include "objects/engine.h"
#include "objects/midifile.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct sequence {
    kel::midi_sequence s;
    sequence() { kel::midi_sequence_init(&s); }
    ~sequence() { kel::midi_sequence_clear(&s); }
    sequence(const sequence &) = delete;
    sequence &operator=(const sequence &) = delete;
};

bool same_atoms(const std::vector<atom> &a, const std::vector<atom> &b)
{
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); k++) {
        if (a[k].type != b[k].type) return false;
        if (a[k].type == ATYPE_LONG && a[k].word.w_long != b[k].word.w_long) return false;
        if (a[k].type == ATYPE_FLOAT && a[k].word.w_float != b[k].word.w_float) return false;
    }
    return true;
}

uint64_t duration(const kel::midi_sequence *s)
{
    uint64_t total = 0;
    for (kel::midi_cursor c = kel::midi_sequence_begin(s); !kel::midi_cursor_done(c); kel::midi_cursor_next(&c))
        total += kel::midi_cursor_event(c)->delta;
    return total;
}

void round_trip(const kel::midi_sequence *read)
{
    // Written at 96 ticks a beat, times move by up to 3 ms: a sequence at
    // the readers' time limit may not read back.
    if (duration(read) > kel::midi_time_max - 16) return;
    std::vector<uint8_t> first, second;
    FUZZ_CHECK(kel::smf_write(read, &first), "a sequence writes");
    sequence back;
    bool accepted = false;
    FUZZ_CHECK(kel::smf_read(first.data(), first.size(), false, &back.s, &accepted) == kel::smf_result::ok,
               "a written file reads");
    FUZZ_CHECK(kel::smf_write(&back.s, &second) && first == second, "a written file reads back the same");

    std::vector<atom> text, again;
    FUZZ_CHECK(kel::midi_text_write(read, &text), "the text form writes");
    sequence from_text;
    FUZZ_CHECK(kel::midi_text_read(text.data(), static_cast<long>(text.size()), &from_text.s),
               "the written text form reads");
    FUZZ_CHECK(kel::midi_text_write(&from_text.s, &again) && same_atoms(text, again),
               "the text form reads back the same");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    for (bool headerless : {false, true}) {
        sequence s;
        bool accepted = false;
        const kel::smf_result r = kel::smf_read(data, size, headerless, &s.s, &accepted);
        FUZZ_CHECK(r == kel::smf_result::ok || kel::midi_sequence_empty(&s.s), "a failed read leaves nothing");
        if (r == kel::smf_result::ok) round_trip(&s.s);
    }
    // The text form: the bytes as patch-format text.
    binbuf *b = binbuf_new();
    kel_handle h = sysmem_newhandle(static_cast<long>(size));
    if (b && h) {
        if (size) std::memcpy(*h, data, size);
        if (binbuf_text(b, h, static_cast<long>(size)) == 0) {
            std::vector<atom> atoms;
            long index = 0, offset = 0;
            atom a;
            while (binbuf_getatom(b, &index, &offset, &a) == 0) atoms.push_back(a);
            sequence s;
            if (kel::midi_text_read(atoms.data(), static_cast<long>(atoms.size()), &s.s))
                round_trip(&s.s);
            else
                FUZZ_CHECK(kel::midi_sequence_empty(&s.s), "a failed read leaves nothing");
        }
    }
    if (h) sysmem_freehandle(h);
    if (b) freeobject(b);
    return 0;
}
