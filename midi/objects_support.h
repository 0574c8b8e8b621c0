// What the MIDI object sources share: port lookups by name, clipping, and
// each source's part of midi_objects_init.
#pragma once

#include "kel/kel.h"
#include "kel/midi.h"

namespace kel::midi {

inline long clip(long v, long lo, long hi) { return v < lo ? lo : v > hi ? hi : v; }

// A number argument (an int, or a float truncated); false for anything else.
inline bool atom_number(const atom &a, long *n)
{
    if (a.type == ATYPE_LONG) {
        *n = a.word.w_long;
        return true;
    }
    if (a.type == ATYPE_FLOAT) {
        *n = static_cast<long>(a.word.w_float);
        return true;
    }
    return false;
}

// The first output port (midiout's default), or null when there is none.
midiport *first_output_port();

bool objects_in_init();
bool objects_out_init();
bool objects_bytes_init();
bool tcin_init();

}  // namespace kel::midi
