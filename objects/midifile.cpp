// MIDI sequences and their file forms (see midifile.h for the event layout
// and the invariants of a sequence).
#include "objects/midifile.h"

#include <cstring>
#include <new>
#include <utility>

#include "kel/kel.h"
#include "kernel/core/atoms.h"

namespace kel {

// --- the sequence ---

void midi_sequence_init(midi_sequence *s)
{
    std::memset(&s->first, 0, sizeof s->first);
    s->last = &s->first;
    s->used = 0;
}

void midi_sequence_clear(midi_sequence *s)
{
    midi_chunk *c = s->first.next;
    while (c) {
        midi_chunk *next = c->next;
        sysmem_freeptr(c);
        c = next;
    }
    midi_sequence_init(s);
}

bool midi_sequence_empty(const midi_sequence *s) { return s->last == &s->first && s->used == 0; }

long midi_sequence_count(const midi_sequence *s)
{
    long n = 0;
    for (const midi_chunk *c = &s->first; c != s->last; c = c->next) n += midi_chunk_events;
    return n + s->used;
}

void midi_sequence_swap(midi_sequence *a, midi_sequence *b)
{
    const bool a_in_first = a->last == &a->first;
    const bool b_in_first = b->last == &b->first;
    std::swap(a->first, b->first);
    std::swap(a->used, b->used);
    std::swap(a->last, b->last);
    if (a_in_first) b->last = &b->first;
    if (b_in_first) a->last = &a->first;
}

bool midi_sequence_append(midi_sequence *s, const midi_event &e)
{
    if (s->used == midi_chunk_events) {
        auto *c = static_cast<midi_chunk *>(sysmem_newptrclear(static_cast<long>(sizeof(midi_chunk))));
        if (!c) return false;
        s->last->next = c;
        s->last = c;
        s->used = 0;
    }
    s->last->events[s->used++] = e;
    return true;
}

bool midi_sequence_append_after(midi_sequence *s, uint64_t delta, const uint8_t bytes[4])
{
    midi_event e{};
    while (delta > static_cast<uint64_t>(midi_delta_max)) {
        e.delta = static_cast<uint16_t>(midi_delta_max);
        e.bytes[0] = midi_null_status;
        if (!midi_sequence_append(s, e)) return false;
        delta -= static_cast<uint64_t>(midi_delta_max);
    }
    e.delta = static_cast<uint16_t>(delta);
    std::memcpy(e.bytes, bytes, 4);
    return midi_sequence_append(s, e);
}

midi_event *midi_sequence_back(midi_sequence *s) { return s->used ? &s->last->events[s->used - 1] : nullptr; }

midi_cursor midi_sequence_begin(const midi_sequence *s) { return {s, const_cast<midi_chunk *>(&s->first), 0}; }

namespace {

// Builds a sequence from a reader: time given in whole milliseconds waits
// until the next event takes it; system-exclusive bytes are packed four to
// an event. Bounded: the events reach at most midi_time_max, so that no
// input makes a reader allocate without bound (a long gap is one null event
// per 65535 ms; every other event stands for input read).
class sequence_builder {
public:
    explicit sequence_builder(midi_sequence *s) : s_(s) {}

    void add_time(uint64_t ms)
    {
        pending_ += ms;
        total_ += ms;
        if (total_ > midi_time_max) limited_ = true;
    }

    // False when the limit or memory is reached.
    bool event(const uint8_t bytes[4])
    {
        if (!close_sysex()) return false;
        return append(bytes);
    }
    // A null event carrying the time waiting, if any.
    bool null_event()
    {
        if (!pending_) return true;
        if (!close_sysex()) return false;
        const uint8_t null_bytes[4] = {midi_null_status, 0, 0, 0};
        return append(null_bytes);
    }
    bool sysex_open() const { return open_; }
    // One byte of a system-exclusive message; a new message when none is
    // open (b is then 240), a new continuation event when new_event.
    bool sysex_byte(uint8_t b, bool new_event)
    {
        if (!open_ || new_event || slot_ == 4) {
            uint8_t bytes[4] = {b, 0, 0, 0};
            if (!append(bytes)) return false;
            open_ = true;
            slot_ = 1;
        } else {
            midi_sequence_back(s_)->bytes[slot_++] = b;
        }
        if (b == 0xF7) open_ = false;
        return true;
    }
    bool close_sysex() { return !open_ || sysex_byte(0xF7, false); }
    bool finish()
    {
        if (!close_sysex()) return false;
        return null_event();
    }
    // The reading stopped at the time limit (not for want of memory).
    bool limited() const { return limited_; }

private:
    bool append(const uint8_t bytes[4])
    {
        if (limited_ || !midi_sequence_append_after(s_, pending_, bytes)) return false;
        pending_ = 0;
        return true;
    }

    midi_sequence *s_;
    uint64_t pending_ = 0;
    uint64_t total_ = 0;
    bool open_ = false;
    int slot_ = 0;
    bool limited_ = false;
};

atom semi_atom()
{
    atom a{};
    a.type = ATYPE_SEMI;
    return a;
}

// A time in whole ms: an integer atom while it fits one.
atom time_atom(uint64_t ms)
{
    return ms <= INT32_MAX ? int_atom(static_cast<long>(ms)) : float_atom(static_cast<double>(ms));
}

uint32_t be32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// A variable-length quantity of at most four bytes ending before end.
bool read_vlq(const uint8_t *data, size_t end, size_t *pos, uint32_t *out)
{
    uint32_t v = 0;
    for (int k = 0; k < 4; k++) {
        if (*pos >= end) return false;
        const uint8_t b = data[(*pos)++];
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) {
            *out = v;
            return true;
        }
    }
    return false;
}

// The track's events (data[pos..end)) into the builder. mult / den turns a
// tick count into milliseconds: tempo / (division × 1000) for a metrical
// file, 1000 / ticks-per-second for a time-code file.
smf_result read_track(const uint8_t *data, size_t pos, size_t end, bool metrical, uint64_t division,
                      uint64_t ticks_per_second, sequence_builder *b)
{
    uint64_t mult = metrical ? 500000 : 1000;
    const uint64_t den = metrical ? division * 1000 : ticks_per_second;
    uint64_t carry = 0;
    uint8_t running = 0;
    while (pos < end) {
        uint32_t delta = 0;
        if (!read_vlq(data, end, &pos, &delta) || pos >= end) return smf_result::bad_file;
        const uint64_t num = delta * mult + carry;
        b->add_time(num / den);
        carry = num % den;
        const uint8_t status = data[pos];
        if (status == 0xFF) {
            uint32_t length = 0;
            pos++;
            if (pos >= end) return smf_result::bad_file;
            const uint8_t type = data[pos++];
            if (!read_vlq(data, end, &pos, &length) || length > end - pos) return smf_result::bad_file;
            running = 0;
            if (type == 0x51 && length == 3 && metrical) {
                const uint64_t tempo = (static_cast<uint64_t>(data[pos]) << 16) | (data[pos + 1] << 8) | data[pos + 2];
                if (tempo == 0) return smf_result::bad_file;
                mult = tempo;
            }
            pos += length;
            if (!b->null_event()) return smf_result::no_memory;
            if (type == 0x2F) break;
            continue;
        }
        if (status == 0xF0 || status == 0xF7) {
            uint32_t length = 0;
            pos++;
            if (!read_vlq(data, end, &pos, &length) || length > end - pos) return smf_result::bad_file;
            running = 0;
            const uint8_t *bytes = data + pos;
            pos += length;
            if (status == 0xF7 && !b->sysex_open()) {
                // An escape outside a system-exclusive message: one system
                // message is kept; anything else carries only its time.
                const uint8_t first = length ? bytes[0] : 0;
                bool single = first > 0xF0 && first != midi_null_status &&
                              length == static_cast<uint32_t>(midi_message_length(first));
                for (uint32_t k = 1; single && k < length; k++) single = bytes[k] < 0x80;
                if (single) {
                    uint8_t e[4] = {};
                    std::memcpy(e, bytes, length);
                    if (!b->event(e)) return smf_result::no_memory;
                }
                continue;
            }
            if (status == 0xF0) {
                if (!b->close_sysex() || !b->sysex_byte(0xF0, true)) return smf_result::no_memory;
            }
            bool new_event = status == 0xF7;
            for (uint32_t k = 0; k < length; k++) {
                uint8_t c = bytes[k];
                // A status inside the data ends the message.
                if (c >= 0x80) c = 0xF7;
                if (!b->sysex_byte(c, new_event)) return smf_result::no_memory;
                new_event = false;
                if (c == 0xF7) break;
            }
            continue;
        }
        if (status >= 0xF0) return smf_result::bad_file;  // a system status is not a track event
        uint8_t e[4] = {};
        if (status >= 0x80) {
            running = status;
            pos++;
        } else if (!running) {
            return smf_result::bad_file;
        }
        e[0] = running;
        const int length = midi_message_length(running);
        for (int k = 1; k < length; k++) {
            if (pos >= end || data[pos] >= 0x80) return smf_result::bad_file;
            e[k] = data[pos++];
        }
        if (!b->event(e)) return smf_result::no_memory;
    }
    return b->finish() ? smf_result::ok : smf_result::no_memory;
}

void put_vlq(std::vector<uint8_t> *out, uint32_t v)
{
    uint8_t bytes[4];
    int n = 0;
    bytes[n++] = v & 0x7F;
    while (v >>= 7) bytes[n++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
    while (n) out->push_back(bytes[--n]);
}

// The bytes an event stores of a system-exclusive message: up to and
// including a 247.
int sysex_bytes(const midi_event &e)
{
    for (int k = 0; k < 4; k++)
        if (e.bytes[k] == 0xF7) return k + 1;
    return 4;
}

}  // namespace

smf_result smf_read(const uint8_t *data, size_t size, bool headerless, midi_sequence *out, bool *header_accepted)
{
    *header_accepted = false;
    midi_sequence_clear(out);
    size_t pos = 0, end = size;
    bool metrical = true;
    uint64_t division = 96, ticks_per_second = 0;
    if (!headerless) {
        if (size < 14 || std::memcmp(data, "MThd", 4) != 0 || be32(data + 4) != 6) return smf_result::bad_header;
        const uint16_t format = be16(data + 8), tracks = be16(data + 10), div = be16(data + 12);
        if (format != 0) return smf_result::multi_track;
        if (tracks == 0) return smf_result::bad_header;
        if (div & 0x8000) {
            metrical = false;
            const int frames = -static_cast<int8_t>(div >> 8);
            ticks_per_second = static_cast<uint64_t>(frames) * (div & 0xFF);
            if (ticks_per_second == 0) return smf_result::bad_header;
        } else {
            division = div;
            if (division == 0) return smf_result::bad_header;
        }
        if (size < 22 || std::memcmp(data + 14, "MTrk", 4) != 0) return smf_result::bad_header;
        const uint32_t length = be32(data + 18);
        pos = 22;
        if (length > size - pos) return smf_result::bad_header;
        end = pos + length;
    }
    *header_accepted = true;
    sequence_builder b(out);
    smf_result r = read_track(data, pos, end, metrical, division, ticks_per_second, &b);
    // Bounded growth is a damaged file, not a shortage of memory.
    if (r == smf_result::no_memory && b.limited()) r = smf_result::bad_file;
    if (r != smf_result::ok) midi_sequence_clear(out);
    return r;
}

bool smf_write(const midi_sequence *s, std::vector<uint8_t> *out)
{
    try {
        static const uint8_t prologue[22] = {'M', 'T', 'h', 'd', 0,   0,   0,   6, 0, 0, 0,
                                             1,   0,   96,  'M', 'T', 'r', 'k', 0, 0, 0, 0};
        out->assign(prologue, prologue + sizeof prologue);
        // 0.192 ticks a millisecond: ticks = ms × 24 / 125, rounded on the
        // running total.
        uint64_t total_ms = 0, written = 0;
        auto put_delta = [&] {
            const uint64_t ticks = (total_ms * 48 + 125) / 250;
            uint64_t delta = ticks - written;
            written = ticks;
            // A gap beyond what a delta can hold waits in empty escapes.
            while (delta > 0x0FFFFFFF) {
                put_vlq(out, 0x0FFFFFFF);
                out->push_back(0xF7);
                out->push_back(0);
                delta -= 0x0FFFFFFF;
            }
            put_vlq(out, static_cast<uint32_t>(delta));
        };
        bool in_sysex = false;
        for (midi_cursor c = midi_sequence_begin(s); !midi_cursor_done(c); midi_cursor_next(&c)) {
            const midi_event &e = *midi_cursor_event(c);
            total_ms += e.delta;
            const uint8_t status = e.bytes[0];
            if (status == midi_null_status) continue;
            if (in_sysex || status == 0xF0) {
                const int n = sysex_bytes(e);
                put_delta();
                if (!in_sysex) {
                    out->push_back(0xF0);
                    put_vlq(out, static_cast<uint32_t>(n - 1));
                    out->insert(out->end(), e.bytes + 1, e.bytes + n);
                } else {
                    out->push_back(0xF7);
                    put_vlq(out, static_cast<uint32_t>(n));
                    out->insert(out->end(), e.bytes, e.bytes + n);
                }
                in_sysex = e.bytes[n - 1] != 0xF7;
                continue;
            }
            if (status < 0x80) continue;
            const int n = midi_message_length(status);
            put_delta();
            if (status > 0xF0) {
                out->push_back(0xF7);
                put_vlq(out, static_cast<uint32_t>(n));
            }
            out->insert(out->end(), e.bytes, e.bytes + n);
        }
        put_delta();
        const uint8_t end_of_track[3] = {0xFF, 0x2F, 0x00};
        out->insert(out->end(), end_of_track, end_of_track + 3);
        const auto length = static_cast<uint32_t>(out->size() - 22);
        for (int k = 0; k < 4; k++) (*out)[18 + static_cast<size_t>(k)] = static_cast<uint8_t>(length >> (24 - 8 * k));
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool midi_text_write(const midi_sequence *s, std::vector<atom> *out)
{
    try {
        uint64_t time = 0;
        bool in_sysex = false;
        for (midi_cursor c = midi_sequence_begin(s); !midi_cursor_done(c); midi_cursor_next(&c)) {
            const midi_event &e = *midi_cursor_event(c);
            time += e.delta;
            const uint8_t status = e.bytes[0];
            if (status == midi_null_status) continue;
            if (in_sysex || status == 0xF0) {
                if (!in_sysex) out->push_back(time_atom(time));
                const int n = sysex_bytes(e);
                for (int k = 0; k < n; k++) out->push_back(int_atom(e.bytes[k]));
                in_sysex = e.bytes[n - 1] != 0xF7;
                if (!in_sysex) out->push_back(semi_atom());
                continue;
            }
            if (status < 0x80) continue;
            out->push_back(time_atom(time));
            for (int k = 0; k < midi_message_length(status); k++) out->push_back(int_atom(e.bytes[k]));
            out->push_back(semi_atom());
        }
        if (in_sysex) {
            out->push_back(int_atom(0xF7));
            out->push_back(semi_atom());
        }
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool midi_text_read(const atom *argv, long argc, midi_sequence *out)
{
    midi_sequence_clear(out);
    sequence_builder b(out);
    uint64_t previous = 0;
    long at = 0;
    bool ok = true;
    while (ok && at < argc) {
        long stop = at;
        while (stop < argc && argv[stop].type != ATYPE_SEMI) stop++;
        const long n = stop - at;
        const atom *m = argv + at;
        at = stop + 1;
        if (n == 0) continue;
        ok = n >= 2 && (m[0].type == ATYPE_LONG || m[0].type == ATYPE_FLOAT);
        for (long k = 1; ok && k < n; k++)
            ok = m[k].type == ATYPE_LONG && m[k].word.w_long >= 0 && m[k].word.w_long <= 255;
        if (!ok) break;
        const double when = m[0].type == ATYPE_LONG ? static_cast<double>(m[0].word.w_long) : m[0].word.w_float;
        ok = when >= 0 && when < 1e15;
        if (!ok) break;
        const auto time = static_cast<uint64_t>(when);
        const auto status = static_cast<uint8_t>(m[1].word.w_long);
        if (time > previous) {
            b.add_time(time - previous);
            previous = time;
        }
        if (status == 0xF0) {
            ok = m[n - 1].word.w_long == 0xF7;
            for (long k = 2; ok && k < n - 1; k++) ok = m[k].word.w_long < 0x80;
            for (long k = 1; ok && k < n; k++) ok = b.sysex_byte(static_cast<uint8_t>(m[k].word.w_long), k == 1);
            continue;
        }
        ok = status >= 0x80 && status != midi_null_status && n - 1 == midi_message_length(status);
        for (long k = 2; ok && k < n; k++) ok = m[k].word.w_long < 0x80;
        if (!ok) break;
        uint8_t e[4] = {};
        for (long k = 1; k < n; k++) e[k - 1] = static_cast<uint8_t>(m[k].word.w_long);
        ok = b.event(e);
    }
    if (ok) ok = b.finish() && !b.limited();
    if (!ok) midi_sequence_clear(out);
    return ok;
}

}  // namespace kel
