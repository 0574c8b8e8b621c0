// The sequencer `seq`, and the recorder, player and file routines it shares
// with the score follower `follow`.
#pragma once

#include <cstdint>

#include "kel/base.h"
#include "kel/clocks.h"
#include "objects/midifile.h"

namespace kel {

// Where a player sends the bytes it plays.
using sequencer_emit = void (*)(object *owner, long byte);

// A sequence with its recorder and player, embedded in the object that owns
// it. Recording and playing exclude each other. `generation` changes with
// every stop and start, so that the player notices when what it sent made
// its owner stop or restart it.
struct sequencer {
    object *owner;
    const char *who;  // the prefix of its console lines
    midi_sequence events;
    kel_clock *clock;
    sequencer_emit emit;
    outlet *end_out;  // a bang when playback ends, or null
    unsigned long generation;

    bool recording;
    bool record_sysex;
    int sysex_slot;      // the next free byte slot of the open system-exclusive event
    uint8_t message[3];  // the message being assembled: the status kept (running status)
    int position;        // bytes of it so far; 0: no status
    int expected;        // its length
    bool incomplete;     // a status or data byte waits for the rest of its message
    double last_time;    // the recorded time the events so far add up to

    bool playing;
    bool play_sysex;
    midi_cursor cursor;
    uint64_t cursor_ms;  // the recorded time of the event at the cursor
    double speed;        // 1024 = the recorded speed
    double origin_time;  // logical time at which...
    double origin_ms;    // ...the recorded time origin_ms plays
    bool external;
    long ticks;
    double last_tick;
    double deadline;
};

// Sets up s for owner; false when the clock cannot be had.
bool sequencer_init(sequencer *s, object *owner, const char *who, sequencer_emit emit, outlet *end_out);
void sequencer_free(sequencer *s);

// The messages seq and follow share (see docs/objects.md).
void sequencer_record(sequencer *s, bool append);
void sequencer_stop(sequencer *s);
void sequencer_start(sequencer *s, long n);
void sequencer_tick(sequencer *s);
void sequencer_byte(sequencer *s, long byte);
void sequencer_delay(sequencer *s, long n);
void sequencer_hook(sequencer *s, double factor);
void sequencer_print(sequencer *s);
// Reads the named file (a Standard MIDI File or the text form), searched in
// folder, then the search path: the events are replaced only when the whole
// file reads. False after the error is posted.
bool sequencer_read(sequencer *s, const char *name, short folder);
// Writes the text form when the name ends in ".txt", else a Standard MIDI
// File, replacing the file whole. False after the error is posted.
bool sequencer_write(sequencer *s, const char *name, short folder);

bool seq_init();

}  // namespace kel
