// seq [FILE]: records MIDI bytes with their arrival times and plays them
// back at a chosen speed or in step with external ticks; reads and writes
// Standard MIDI Files and the text form.
//
// Invariants: recording and playing never run at once; while playing, the
// cursor is on the event the clock is set for (or, externally synced, the
// event waiting for ticks), and cursor_ms is that event's recorded time.
// An event plays at origin_time + (cursor_ms - origin_ms) × 1024 / speed:
// each time is computed from the sum of the recorded deltas, never by adding
// scaled deltas one to the next, so that no rounding accumulates.
#include "objects/seq.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <strings.h>

#include "kel/kel.h"
#include "kernel/core/atoms.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/text/patchfile.h"
#include "objects/objects.h"

namespace kel {

namespace {

// The recorded time a tick of external sync stands for: 48 ticks a second.
constexpr double ms_per_tick = 1000.0 / 48.0;
constexpr double sync_window = 40.0;

double now()
{
    double t;
    clock_getftime(&t);
    return t;
}

void play(sequencer *s);

void clock_fired(sequencer *s) { play(s); }

// --- recording ---

bool record_event(sequencer *s, const uint8_t bytes[4])
{
    // The delta is the whole ms since the time the events add up to: the
    // fraction stays in the next delta instead of being lost.
    const double t = now();
    uint64_t delta = 0;
    if (t > s->last_time) {
        delta = static_cast<uint64_t>(t - s->last_time);
        s->last_time += static_cast<double>(delta);
    }
    if (midi_sequence_append_after(&s->events, delta, bytes)) return true;
    error("%s: out of memory", s->who);
    return false;
}

void record_sysex_byte(sequencer *s, uint8_t b)
{
    midi_event *back = midi_sequence_back(&s->events);
    if (s->sysex_slot > 0 && s->sysex_slot < 4 && back) {
        back->bytes[s->sysex_slot++] = b;
    } else {
        const uint8_t bytes[4] = {b, 0, 0, 0};
        midi_event e{};
        std::memcpy(e.bytes, bytes, 4);
        const bool stored = s->sysex_slot == 0 ? record_event(s, bytes) : midi_sequence_append(&s->events, e);
        if (!stored) {
            // Out of memory: the message ends here, unstored; nothing is
            // written into the event before it.
            if (s->sysex_slot) error("%s: out of memory", s->who);
            s->record_sysex = false;
            s->sysex_slot = 0;
            return;
        }
        s->sysex_slot = 1;
    }
    if (b == 0xF7) {
        s->record_sysex = false;
        s->sysex_slot = 0;
    }
}

// --- playing ---

double event_time(const sequencer *s)
{
    return s->origin_time + (static_cast<double>(s->cursor_ms) - s->origin_ms) * 1024.0 / s->speed;
}

void play_event(sequencer *s, const midi_event &e)
{
    const uint8_t status = e.bytes[0];
    if (status == midi_null_status) return;
    if (s->play_sysex || status == 0xF0) {
        s->play_sysex = true;
        for (uint8_t b : e.bytes) {
            s->emit(s->owner, b);
            if (b == 0xF7) {
                s->play_sysex = false;
                break;
            }
        }
        return;
    }
    if (status < 0x80) return;
    const int n = midi_message_length(status);
    for (int k = 0; k < n; k++) s->emit(s->owner, e.bytes[k]);
}

// Schedules the event at the cursor, or (externally synced) leaves it
// waiting when it falls after the deadline the ticks set.
void schedule(sequencer *s)
{
    const double t = event_time(s);
    if (s->external) {
        if (t < s->deadline)
            clock_fset(s->clock, std::max(t, now()));
        else
            clock_unset(s->clock);
        return;
    }
    clock_fset(s->clock, t);
}

void play(sequencer *s)
{
    if (!s->playing) return;
    const unsigned long generation = s->generation;
    for (;;) {
        play_event(s, *midi_cursor_event(s->cursor));
        if (s->generation != generation || !s->playing) return;
        midi_cursor_next(&s->cursor);
        if (midi_cursor_done(s->cursor)) {
            s->playing = false;
            s->generation++;
            if (s->end_out) outlet_bang(s->end_out);
            return;
        }
        const uint16_t delta = midi_cursor_event(s->cursor)->delta;
        s->cursor_ms += delta;
        if (delta) break;
    }
    schedule(s);
}

// --- files ---

bool has_suffix(const char *name, const char *suffix)
{
    char found[MAX_FILENAME_CHARS] = {};
    fileformat_suffix(name, found);
    return strcasecmp(found, suffix) == 0;
}

enum class file_form { smf, headerless, text, none };

file_form classify(const char *name, short path, const std::vector<uint8_t> &bytes)
{
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "MThd", 4) == 0) return file_form::smf;
    if (has_suffix(name, ".mid") || has_suffix(name, ".midi") || has_suffix(name, ".smf")) return file_form::headerless;
    long type = 0;
    const long text = FILETYPE_TEXT;
    if (has_suffix(name, ".txt") || (fileformat_sniff(name, path, &text, 1, &type) && type == FILETYPE_TEXT))
        return file_form::text;
    return file_form::none;
}

// The named file, found in folder or on the search path, read whole.
bool load_file(const char *name, short folder, char *file, short *path, std::vector<uint8_t> *out)
{
    std::snprintf(file, MAX_PATH_CHARS, "%s", name);
    sysfile *f = nullptr;
    if (path_opensysfile(file, folder, &f, 1) == 0) {
        *path = folder;
    } else {
        long type = 0;
        if (locatefile_extended(file, path, &type, nullptr, 0) != 0 || path_opensysfile(file, *path, &f, 1) != 0)
            return false;
    }
    char *data = nullptr;
    const long err = sysfile_readtoptr(f, &data);
    long size = 0;
    sysfile_geteof(f, &size);
    sysfile_close(f);
    if (err || !data) return false;
    bool ok = true;
    try {
        out->assign(data, data + size);
    } catch (...) {
        ok = false;
    }
    sysmem_freeptr(data);
    return ok;
}

// Takes the events read: what runs stops, the old events go.
void replace_events(sequencer *s, midi_sequence *fresh)
{
    sequencer_stop(s);
    midi_sequence_swap(&s->events, fresh);
    midi_sequence_clear(fresh);
}

bool read_text_form(sequencer *s, const char *name, const char *file, short path)
{
    post("%s: reading %s", s->who, name);
    binbuf *b = binbuf_new();
    if (!b) return false;
    std::vector<atom> atoms;
    bool ok = binbuf_read(b, file, path, 0) == 0;
    if (!ok) {
        error("%s: read failed", name);
    } else {
        long index = 0, offset = 0;
        atom a;
        try {
            while (binbuf_getatom(b, &index, &offset, &a) == 0) atoms.push_back(a);
        } catch (...) {
            ok = false;
            error("%s: read failed", name);
        }
    }
    freeobject(b);
    if (!ok) return false;
    midi_sequence fresh;
    midi_sequence_init(&fresh);
    if (!midi_text_read(atoms.data(), static_cast<long>(atoms.size()), &fresh)) {
        error("bad MIDI file (truncated)");
        return false;
    }
    replace_events(s, &fresh);
    return true;
}

}  // namespace

// --- the shared routines ---

bool sequencer_init(sequencer *s, object *owner, const char *who, sequencer_emit emit, outlet *end_out)
{
    std::memset(s, 0, sizeof *s);
    s->owner = owner;
    s->who = who;
    s->emit = emit;
    s->end_out = end_out;
    s->speed = 1024;
    midi_sequence_init(&s->events);
    s->clock = clock_new(s, as_method(&clock_fired));
    return s->clock != nullptr;
}

void sequencer_free(sequencer *s)
{
    if (s->clock) freeobject(reinterpret_cast<object *>(s->clock));
    s->clock = nullptr;
    midi_sequence_clear(&s->events);
}

void sequencer_stop(sequencer *s)
{
    if (s->recording && s->record_sysex) {
        error("%s: incomplete sysex", s->who);
        record_sysex_byte(s, 0xF7);
    }
    if (s->playing && s->play_sysex) {
        error("%s: incomplete sysex", s->who);
        s->play_sysex = false;
        s->emit(s->owner, 0xF7);
    }
    s->recording = s->record_sysex = false;
    s->sysex_slot = 0;
    s->position = 0;
    s->incomplete = false;
    s->playing = s->play_sysex = false;
    s->generation++;
    if (s->clock) clock_unset(s->clock);
}

void sequencer_record(sequencer *s, bool append)
{
    sequencer_stop(s);
    if (!append) midi_sequence_clear(&s->events);
    s->recording = true;
    s->last_time = now();
}

void sequencer_start(sequencer *s, long n)
{
    sequencer_stop(s);
    s->external = n < 0;
    s->speed = n <= 0 ? 1024 : static_cast<double>(n);
    if (midi_sequence_empty(&s->events)) return;
    s->cursor = midi_sequence_begin(&s->events);
    s->cursor_ms = midi_cursor_event(s->cursor)->delta;
    s->origin_time = now();
    s->origin_ms = 0;
    s->ticks = 0;
    s->last_tick = s->origin_time;
    s->deadline = s->origin_time;
    s->playing = true;
    if (!s->external) schedule(s);
}

void sequencer_tick(sequencer *s)
{
    if (!s->playing || !s->external) return;
    const double t = now();
    if (s->ticks > 0) s->speed = 21333.0 / std::clamp(t - s->last_tick, 2.0, 1200.0);
    s->last_tick = t;
    // The tick count is where the music stands: the events of the next
    // 40 ms at the speed the ticks show are scheduled from it.
    s->origin_ms = static_cast<double>(s->ticks) * ms_per_tick;
    s->origin_time = t;
    s->deadline = t + sync_window;
    s->ticks++;
    schedule(s);
}

void sequencer_byte(sequencer *s, long byte)
{
    if (!s->recording || byte < 0 || byte > 255 || byte == midi_null_status) return;
    const auto b = static_cast<uint8_t>(byte);
    if (s->record_sysex) {
        if (b < 0x80 || b == 0xF0 || b == 0xF7) {
            record_sysex_byte(s, b);
            return;
        }
        error("%s: unterminated sysex", s->who);
        record_sysex_byte(s, 0xF7);
    }
    if (b >= 0x80) {
        if (s->incomplete) error("midiseq: truncated midi message");
        s->incomplete = false;
        if (b == 0xF0) {
            s->position = 0;
            s->record_sysex = true;
            s->sysex_slot = 0;
            record_sysex_byte(s, b);
            return;
        }
        s->message[0] = b;
        s->position = 1;
        s->expected = midi_message_length(b);
        s->incomplete = s->expected > 1;
    } else {
        if (s->position == 0 || s->expected <= 1) return;
        s->message[s->position++] = b;
        s->incomplete = true;
    }
    if (s->position == s->expected) {
        const uint8_t bytes[4] = {s->message[0], s->message[1], s->message[2], 0};
        record_event(s, bytes);
        s->position = 1;
        s->incomplete = false;
    }
}

void sequencer_delay(sequencer *s, long n)
{
    if (midi_sequence_empty(&s->events)) {
        warning("%s: empty", s->who);
        return;
    }
    if (n >= midi_delta_max) {
        error("%s: delay limited to 65535", s->who);
        n = midi_delta_max;
    }
    midi_sequence_begin(&s->events).chunk->events[0].delta = static_cast<uint16_t>(std::max(n, 0L));
}

void sequencer_hook(sequencer *s, double factor)
{
    const double whole = std::trunc(factor);
    if (!(whole >= 0) || whole > 4294967295.0) {
        error("%s: hook: factor below 0", s->who);
        return;
    }
    const auto k = static_cast<uint64_t>(whole);
    bool fits = true;
    for (midi_cursor c = midi_sequence_begin(&s->events); fits && !midi_cursor_done(c); midi_cursor_next(&c))
        fits = midi_cursor_event(c)->delta * k <= static_cast<uint64_t>(midi_delta_max);
    if (fits) {
        for (midi_cursor c = midi_sequence_begin(&s->events); !midi_cursor_done(c); midi_cursor_next(&c))
            midi_cursor_event(c)->delta = static_cast<uint16_t>(midi_cursor_event(c)->delta * k);
        return;
    }
    // A delta beyond the 16-bit range keeps its excess in null events.
    midi_sequence fresh;
    midi_sequence_init(&fresh);
    for (midi_cursor c = midi_sequence_begin(&s->events); !midi_cursor_done(c); midi_cursor_next(&c)) {
        const midi_event &e = *midi_cursor_event(c);
        if (!midi_sequence_append_after(&fresh, e.delta * k, e.bytes)) {
            midi_sequence_clear(&fresh);
            error("%s: out of memory", s->who);
            return;
        }
    }
    replace_events(s, &fresh);
}

void sequencer_print(sequencer *s)
{
    if (midi_sequence_empty(&s->events)) {
        post("midiseq: no sequence");
        return;
    }
    post("midiseq:");
    bool in_sysex = false;
    for (midi_cursor c = midi_sequence_begin(&s->events); !midi_cursor_done(c); midi_cursor_next(&c)) {
        const midi_event &e = *midi_cursor_event(c);
        const long delta = e.delta;
        const uint8_t status = e.bytes[0];
        if (status == midi_null_status) {
            post("(%ld) (null)", delta);
            continue;
        }
        if (in_sysex || status == 0xF0) {
            std::string line = "(" + std::to_string(delta) + (in_sysex ? ")-> " : ") ");
            in_sysex = true;
            for (int k = 0; k < 4; k++) {
                if (k) line += " ";
                line += std::to_string(e.bytes[k]);
                if (e.bytes[k] == 0xF7) {
                    in_sysex = false;
                    break;
                }
            }
            post("%s", line.c_str());
            continue;
        }
        const int n = status < 0x80 ? 1 : midi_message_length(status);
        if (n >= 3)
            post("(%ld) %d %d %d", delta, e.bytes[0], e.bytes[1], e.bytes[2]);
        else if (n == 2)
            post("(%ld) %d %d", delta, e.bytes[0], e.bytes[1]);
        else
            post("(%ld) %d", delta, e.bytes[0]);
    }
}

bool sequencer_read(sequencer *s, const char *name, short folder)
{
    char file[MAX_PATH_CHARS];
    short path = 0;
    std::vector<uint8_t> bytes;
    if (!load_file(name, folder, file, &path, &bytes)) {
        error("%s: can't open", name);
        return false;
    }
    const file_form form = classify(file, path, bytes);
    if (form == file_form::none) {
        error("%s: not a MIDI file", name);
        return false;
    }
    if (form == file_form::text) return read_text_form(s, name, file, path);
    midi_sequence fresh;
    midi_sequence_init(&fresh);
    bool accepted = false;
    const smf_result r = smf_read(bytes.data(), bytes.size(), form == file_form::headerless, &fresh, &accepted);
    if (accepted) post("%s: reading: %s", s->who, name);
    switch (r) {
    case smf_result::ok:
        replace_events(s, &fresh);
        return true;
    case smf_result::multi_track:
        error("%s: sorry, I take single-track files only", name);
        break;
    default:
        error("%s: bad midi file", name);
        break;
    }
    midi_sequence_clear(&fresh);
    return false;
}

bool sequencer_write(sequencer *s, const char *name, short folder)
{
    post("writing: %s", name);
    bool ok = false;
    if (has_suffix(name, ".txt")) {
        std::vector<atom> atoms;
        binbuf *b = binbuf_new();
        ok = b && midi_text_write(&s->events, &atoms) &&
             patchfile_append(b, atoms.data(), static_cast<long>(atoms.size())) &&
             binbuf_write(b, name, folder, 0) == 0;
        if (b) freeobject(b);
    } else {
        std::vector<uint8_t> bytes;
        ok = smf_write(&s->events, &bytes) &&
             patchfile_replace(name, folder, reinterpret_cast<const char *>(bytes.data()), bytes.size()) == 0;
    }
    if (!ok) error("%s: can't create", name);
    return ok;
}

// --- the seq box ---

namespace {

struct seq {
    object ob;
    sequencer s;
    outlet *bytes_out;
    outlet *end_out;
    symbol *file;
    short folder;
};

kel_class *g_seq = nullptr;

void seq_emit(object *owner, long byte) { outlet_int(reinterpret_cast<seq *>(owner)->bytes_out, byte); }

void seq_int(seq *x, long n) { sequencer_byte(&x->s, n); }
void seq_float(seq *x, double f) { sequencer_byte(&x->s, float_to_long(f)); }
void seq_record(seq *x) { sequencer_record(&x->s, false); }
void seq_append(seq *x) { sequencer_record(&x->s, true); }
void seq_stop(seq *x) { sequencer_stop(&x->s); }
void seq_bang(seq *x) { sequencer_start(&x->s, 1024); }
void seq_start(seq *x, long n) { sequencer_start(&x->s, n); }
void seq_tick(seq *x) { sequencer_tick(&x->s); }
void seq_delay(seq *x, long n) { sequencer_delay(&x->s, n); }
void seq_hook(seq *x, double f) { sequencer_hook(&x->s, f); }
void seq_print(seq *x) { sequencer_print(&x->s); }
void seq_ignore(seq *) {}

void seq_do_read(seq *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("seq: read: no file name (there is no file dialog here)");
        return;
    }
    sequencer_read(&x->s, argv[0].word.w_sym->name, x->folder);
}

void seq_do_write(seq *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("seq: write: no file name (there is no file dialog here)");
        return;
    }
    sequencer_write(&x->s, argv[0].word.w_sym->name, x->folder);
}

void seq_read(seq *x, symbol *s, long argc, atom *argv)
{
    defer_low(x, as_method(&seq_do_read), s, static_cast<short>(std::min(argc, 1L)), argv);
}
void seq_write(seq *x, symbol *s, long argc, atom *argv)
{
    defer_low(x, as_method(&seq_do_write), s, static_cast<short>(std::min(argc, 1L)), argv);
}

void seq_free(seq *x) { sequencer_free(&x->s); }

void *seq_new(symbol *, long argc, atom *argv)
{
    auto *x = static_cast<seq *>(object_alloc(g_seq));
    if (!x) return nullptr;
    x->end_out = bangout(x);
    x->bytes_out = intout(x);
    x->folder = path_getdefault();
    x->file = argc > 0 && argv[0].type == ATYPE_SYM ? argv[0].word.w_sym : nullptr;
    if (!sequencer_init(&x->s, &x->ob, "seq", &seq_emit, x->end_out)) {
        freeobject(&x->ob);
        return nullptr;
    }
    if (x->file) sequencer_read(&x->s, x->file->name, x->folder);
    return x;
}

}  // namespace

bool seq_init()
{
    if (g_seq) return true;
    const short L = ATYPE_LONG, F = ATYPE_FLOAT, DL = ATYPE_DEFLONG, G = ATYPE_GIMME, none = ATYPE_NOTHING;
    g_seq = define_class("seq", as_method(&seq_new), as_method(&seq_free), sizeof(seq), class_home::box,
                         {{as_method(&seq_int), "int", L},
                          {as_method(&seq_float), "float", F},
                          {as_method(&seq_record), "record", none},
                          {as_method(&seq_append), "append", none},
                          {as_method(&seq_stop), "stop", none},
                          {as_method(&seq_bang), "bang", none},
                          {as_method(&seq_start), "start", DL},
                          {as_method(&seq_tick), "tick", none},
                          {as_method(&seq_delay), "delay", L},
                          {as_method(&seq_hook), "hook", F},
                          {as_method(&seq_print), "print", none},
                          {as_method(&seq_read), "read", G},
                          {as_method(&seq_write), "write", G},
                          {as_method(&seq_ignore), "dump", G},
                          {as_method(&seq_ignore), "ext", G}},
                         ATYPE_GIMME);
    return g_seq && creation_provide("seq", as_method(&seq_new));
}

}  // namespace kel
