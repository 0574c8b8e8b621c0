// MIDI sequences and their file forms: the event store `seq` and `follow`
// record into and play from, and the conversions between it and bytes (a
// Standard MIDI File) or atoms (the text form).
//
// An event is six bytes: a delta time in milliseconds since the previous
// event (unsigned 16 bits) and four bytes. bytes[0] is the status; 254 marks
// a null event that only carries time, also between the parts of a
// system-exclusive message. A system-exclusive message is stored
// raw, four bytes an event: its first event begins with 240, continuation
// events (delta 0) follow, and the message ends at the byte 247, wherever it
// falls; slots after the 247 are unused.
//
// Invariants of a sequence: events live in chunks of 16, the first chunk
// inside the sequence itself, further ones allocated and linked in order;
// every chunk before the last is full; `last` is the chunk being written and
// `used` (1..16, or 0 only while the sequence is empty) the events in it.
// Growing allocates one chunk per 16 events, nothing per event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kel/base.h"

namespace kel {

inline constexpr uint8_t midi_null_status = 0xFE;
inline constexpr long midi_delta_max = 65535;
inline constexpr int midi_chunk_events = 16;
// The longest sequence a reader makes (about 49.7 days): a file reaching
// further is damaged. It bounds the null events a file can make.
inline constexpr uint64_t midi_time_max = 0xFFFFFFFFULL;

struct midi_event {
    uint16_t delta;
    uint8_t bytes[4];
};
static_assert(sizeof(midi_event) == 6, "an event is six bytes");

struct midi_chunk {
    midi_event events[midi_chunk_events];
    midi_chunk *next;
};

struct midi_sequence {
    midi_chunk first;
    midi_chunk *last;
    int used;
};

// The message length (status included) of a system status 0xF0..0xFF,
// indexed by its low nibble; 0 for 0xF0, whose length is its 247.
inline constexpr uint8_t midi_system_length[16] = {0, 1, 3, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// The length (status included) of the message a status starts: 3, 2 for
// 0xC0..0xDF, the table above for system statuses.
inline int midi_message_length(uint8_t status)
{
    if (status >= 0xF0) return midi_system_length[status & 0x0F];
    return status >= 0xC0 && status < 0xE0 ? 2 : 3;
}

// An empty sequence. Every sequence is made by this and ended by
// midi_sequence_clear (which leaves it empty and reusable).
void midi_sequence_init(midi_sequence *s);
// Frees the extra chunks: the sequence is empty.
void midi_sequence_clear(midi_sequence *s);
bool midi_sequence_empty(const midi_sequence *s);
long midi_sequence_count(const midi_sequence *s);
// Exchanges the contents of two sequences.
void midi_sequence_swap(midi_sequence *a, midi_sequence *b);
// Appends one event; false (nothing appended) when memory runs out.
bool midi_sequence_append(midi_sequence *s, const midi_event &e);
// Appends an event delta milliseconds after the previous one: first a null
// event of 65535 ms for every full 65535 the delta holds beyond that limit.
bool midi_sequence_append_after(midi_sequence *s, uint64_t delta, const uint8_t bytes[4]);
// The last event appended, or null when empty.
midi_event *midi_sequence_back(midi_sequence *s);

// A position in a sequence: the chunk and the index in it.
struct midi_cursor {
    const midi_sequence *sequence;
    midi_chunk *chunk;
    int index;
};
midi_cursor midi_sequence_begin(const midi_sequence *s);
inline bool midi_cursor_done(const midi_cursor &c)
{
    return !c.chunk || (c.chunk == c.sequence->last && c.index >= c.sequence->used);
}
inline midi_event *midi_cursor_event(const midi_cursor &c) { return &c.chunk->events[c.index]; }
inline void midi_cursor_next(midi_cursor *c)
{
    if (++c->index >= midi_chunk_events && c->chunk != c->sequence->last) {
        c->chunk = c->chunk->next;
        c->index = 0;
    }
}

// --- Standard MIDI Files ---

enum class smf_result {
    ok,
    multi_track,  // the header is sound but the format is not 0
    bad_header,   // the header is damaged: nothing was read
    bad_file,     // the header was accepted, the track is damaged
    no_memory,
};

// Reads a Standard MIDI File (format 0) held in memory into *out, which must
// be empty. headerless: the bytes are the track's events alone, at division
// 96. On ok, *out holds the events; otherwise *out is left empty.
// Deltas become milliseconds exactly (64-bit rational arithmetic, the
// fraction carried), tempo changes apply from where they stand (ignored in a
// time-code file), other meta events add their time through a null event.
// *header_accepted tells whether the header passed (a caller announces the
// reading only then).
smf_result smf_read(const uint8_t *data, size_t size, bool headerless, midi_sequence *out, bool *header_accepted);

// Writes s as a format-0 file of one track at 96 ticks per beat and 120
// beats per minute: ticks = milliseconds × 0.192, rounded on the running
// total so that a file read back and written again keeps its ticks. Null
// events add their time to the next event; a system message other than
// system-exclusive goes out as an F7 escape. False when memory ran out.
bool smf_write(const midi_sequence *s, std::vector<uint8_t> *out);

// --- the text form: one message per event, the absolute time in ms first ---

// Appends the text form of s to out as atoms, a semicolon ending each
// message. False when memory ran out.
bool midi_text_write(const midi_sequence *s, std::vector<atom> *out);
// Reads the text form from atoms into *out (empty). False at the first
// malformed message, *out then empty.
bool midi_text_read(const atom *argv, long argc, midi_sequence *out);

}  // namespace kel
