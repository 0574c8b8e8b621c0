// The listener lists of MIDI input: one list per input class and the
// midiin, sysexin and rtin lists, plus the list of MIDI output objects.
//
// Invariants: a list is changed and walked only under the listener lock (a
// recursive lock: a listener may join or leave from inside a walk); a node
// left during a walk is only marked (its object cleared) and unlinked by
// the outermost walk when it ends, so that a walk never steps onto freed
// memory.
#pragma once

#include "kel/midi.h"

namespace kel::midi {

// One walk: calls input1 or input2 of every object on the list.
void listeners_input1(long list, midiport *port, long channel, long value);
void listeners_input2(long list, midiport *port, long channel, long a, long b);
bool listeners_any(long list);
// Tells every MIDI object that the port goes (inportdeleted/outportdeleted).
void listeners_port_deleted(midiport *port);
// Empties every list (kel quitting, tests).
void listeners_clear();

}  // namespace kel::midi
