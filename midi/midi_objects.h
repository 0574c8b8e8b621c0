// The MIDI object classes: the input objects on the listener lists (notein,
// polyin, ctlin, pgmin, touchin, bendin; midiin, sysexin, rtin; tcin), the
// output objects (noteout, polyout, ctlout, pgmout, touchout, bendout;
// midiout) and the two byte formatters (midiformat, midiparse).
//
// Every MIDI object keeps an enable flag (the `enable` message): a cleared
// flag makes an input object ignore input and an output object send nothing.
#pragma once

#include "kel/midi.h"

namespace kel {

// Hands the nineteen constructors to the creation object. Safe to call
// again.
bool midi_objects_init();

namespace midi {

// What the arguments of an input or output object ask for:
//   [port] [number] [channel]   (ctlin, polyin: the number is the controller
//                                or key listened to)
//   [port] [channel]            (every other class)
// A symbol argument names the port (by name, or by abbreviation when it is
// one letter); numbers are taken in order.
struct midi_args {
    midiport *port = nullptr;  // the port named, or null (none named, or unknown)
    long channel = 0;          // 0: all channels (or, for outputs, the default 1)
    long filter = -1;          // controller or key listened to; -1: every one
};

// Input objects: a channel below 1 or above 16 x input ports means all
// channels; with a port, channel c becomes ((c - 1) & 15) + 1, relative to
// the port. Without a port, a channel is absolute (1 .. 16 x input ports).
// A filter outside 0..127 means none. A symbol that names no port, and an
// argument of another kind, are reported on the console naming cls and
// the argument; the object then listens on all ports.
midi_args parse_input_args(const char *cls, bool filtered, long argc, const atom *argv);

// Output objects: [port] [channel]. The channel is clamped when sent; with a
// port it is relative to the port (1 .. 16), without one absolute. An
// unknown port is reported and the object sends by channel.
midi_args parse_output_args(const char *cls, long argc, const atom *argv);

// The output port whose channels hold channel c (offset < c <= offset + 16),
// or null.
midiport *output_port_for_channel(long c);

}  // namespace midi
}  // namespace kel
