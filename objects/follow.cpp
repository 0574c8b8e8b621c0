// follow [-o] [FILE] [SKIP] [WINDOW]: a score follower. The score is the
// note-ons (non-zero velocity) of a sequence recorded, read or played as
// `seq` does; incoming pitches are matched against it and the position
// reached goes out of the left outlet.
//
// Invariants while following: notes holds the score's note-ons in order,
// position (0..notes.size()) is the index of the next note expected, and
// the skipped list holds at most 16 notes passed over by earlier matches.
#include "objects/follow.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/atoms.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "objects/objects.h"
#include "objects/seq.h"

namespace kel {
namespace {

constexpr size_t skipped_max = 16;

struct score_note {
    uint64_t time;  // the sum of the recorded deltas up to it
    uint8_t bytes[3];
};

struct follow {
    object ob;
    sequencer s;
    outlet *position_out;
    outlet *pitch_out;
    bool octave;
    long skip;
    long window;
    short folder;
    // the byte parser
    uint8_t status;
    uint8_t data[2];
    int count;
    // following
    bool following;
    long position;
    uint64_t matched_time;
    std::vector<score_note> *notes;
    std::vector<score_note> *skipped;
};

kel_class *g_follow = nullptr;

bool is_note_on(const midi_event &e) { return (e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] != 0; }

bool matches(const follow *x, long played, uint8_t score)
{
    return score == played || (x->octave && (score == played + 12 || score == played - 12));
}

// --- the byte parser: the pitch of every note-on ---

void follow_in1(follow *x, long n)
{
    if (n < 0 || n > 255) return;
    const auto b = static_cast<uint8_t>(n);
    if (b >= 0xF8) return;  // real-time bytes interrupt nothing
    if (b >= 0x80) {
        x->status = b < 0xF0 ? b : 0;
        x->count = 0;
        return;
    }
    if (!x->status) return;
    x->data[x->count++] = b;
    if (x->count < midi_message_length(x->status) - 1) return;
    x->count = 0;
    if ((x->status & 0xF0) == 0x90 && x->data[1] != 0) outlet_int(x->pitch_out, x->data[0]);
}

void follow_emit(object *owner, long byte) { follow_in1(reinterpret_cast<follow *>(owner), byte); }

// --- following ---

bool collect_notes(follow *x)
{
    try {
        x->notes->clear();
        uint64_t time = 0;
        for (midi_cursor c = midi_sequence_begin(&x->s.events); !midi_cursor_done(c); midi_cursor_next(&c)) {
            const midi_event &e = *midi_cursor_event(c);
            time += e.delta;
            if (is_note_on(e)) x->notes->push_back({time, {e.bytes[0], e.bytes[1], e.bytes[2]}});
        }
        return true;
    } catch (const std::bad_alloc &) {
        error("follow: out of memory");
        return false;
    }
}

void stop_following(follow *x)
{
    x->following = false;
    x->skipped->clear();
}

void follow_follow(follow *x, long n)
{
    sequencer_stop(&x->s);
    stop_following(x);
    if (!collect_notes(x)) return;
    const auto count = static_cast<long>(x->notes->size());
    x->position = std::clamp(n, 0L, count);
    x->matched_time = x->position < count ? (*x->notes)[static_cast<size_t>(x->position)].time : 0;
    x->following = true;
    outlet_int(x->position_out, x->position);
}

void follow_next(follow *x)
{
    if (!x->following) {
        error("next: need to turn on follow");
        return;
    }
    const auto count = static_cast<long>(x->notes->size());
    if (x->position >= count) {
        post("end of score");
        return;
    }
    const score_note note = (*x->notes)[static_cast<size_t>(x->position)];
    for (uint8_t b : note.bytes) follow_in1(x, b);
    if (!x->following) return;
    x->matched_time = note.time;
    x->position++;
    if (x->position >= count) post("end of score");
    outlet_int(x->position_out, x->position);
}

void match(follow *x, long played)
{
    std::vector<score_note> &skipped = *x->skipped;
    // 1. A note skipped earlier may come late.
    const uint64_t window = static_cast<uint64_t>(x->window);
    for (size_t k = 0; k < skipped.size();) {
        if (skipped[k].time + window <= x->matched_time) {
            skipped.erase(skipped.begin() + static_cast<long>(k));
            continue;
        }
        if (matches(x, played, skipped[k].bytes[1])) {
            skipped.erase(skipped.begin() + static_cast<long>(k));
            return;
        }
        k++;
    }
    // 2. Forward from the position, passing over at most `skip` notes
    // before a time limit is fixed.
    std::vector<score_note> passed;
    const auto count = static_cast<long>(x->notes->size());
    bool limited = false;
    uint64_t limit = 0;
    long found = -1;
    for (long i = x->position; i < count; i++) {
        const score_note &note = (*x->notes)[static_cast<size_t>(i)];
        if (limited && note.time > limit) break;
        if (matches(x, played, note.bytes[1])) {
            found = i;
            break;
        }
        passed.push_back(note);
        if (!limited && static_cast<long>(passed.size()) > x->skip) {
            limited = true;
            limit = note.time + window;
        }
    }
    if (found < 0) return;
    // 3. The match: the notes passed over join the skipped list.
    x->matched_time = (*x->notes)[static_cast<size_t>(found)].time;
    for (const score_note &old : skipped) passed.push_back(old);
    if (passed.size() > skipped_max) passed.resize(skipped_max);
    skipped.swap(passed);
    const long from = x->position;
    x->position = found + 1;
    for (long p = from + 1; p <= x->position; p++) {
        outlet_int(x->position_out, p);
        if (!x->following) return;
    }
}

// --- messages ---

void follow_int(follow *x, long n)
{
    if (x->s.recording) {
        const long bytes[3] = {0x90, n & 0x7F, 60};
        for (long b : bytes) sequencer_byte(&x->s, b);
        return;
    }
    if (x->following) match(x, n);
}
void follow_float(follow *x, double f) { follow_int(x, float_to_long(f)); }
void follow_record(follow *x)
{
    stop_following(x);
    sequencer_record(&x->s, false);
}
void follow_append(follow *x)
{
    stop_following(x);
    sequencer_record(&x->s, true);
}
void follow_stop(follow *x)
{
    stop_following(x);
    sequencer_stop(&x->s);
}
void follow_start(follow *x, long n)
{
    stop_following(x);
    sequencer_start(&x->s, n);
}
void follow_bang(follow *x) { follow_start(x, 1024); }
void follow_delay(follow *x, long n) { sequencer_delay(&x->s, n); }
void follow_print(follow *x) { sequencer_print(&x->s); }
void follow_ignore(follow *) {}

void follow_do_read(follow *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("follow: read: no file name (there is no file dialog here)");
        return;
    }
    if (sequencer_read(&x->s, argv[0].word.w_sym->name, x->folder)) stop_following(x);
}
void follow_do_write(follow *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("follow: write: no file name (there is no file dialog here)");
        return;
    }
    sequencer_write(&x->s, argv[0].word.w_sym->name, x->folder);
}
void follow_read(follow *x, symbol *s, long argc, atom *argv)
{
    defer_low(x, as_method(&follow_do_read), s, static_cast<short>(std::min(argc, 1L)), argv);
}
void follow_write(follow *x, symbol *s, long argc, atom *argv)
{
    defer_low(x, as_method(&follow_do_write), s, static_cast<short>(std::min(argc, 1L)), argv);
}

void follow_free(follow *x)
{
    sequencer_free(&x->s);
    delete x->notes;
    delete x->skipped;
}

void *follow_new(symbol *, long argc, atom *argv)
{
    auto *x = static_cast<follow *>(object_alloc(g_follow));
    if (!x) return nullptr;
    x->octave = false;
    x->skip = 2;
    x->window = 150;
    x->status = 0;
    x->count = 0;
    x->following = false;
    x->position = 0;
    x->matched_time = 0;
    x->folder = path_getdefault();
    x->notes = new (std::nothrow) std::vector<score_note>;
    x->skipped = new (std::nothrow) std::vector<score_note>;
    intin(x, 1);
    x->pitch_out = intout(x);
    x->position_out = intout(x);
    if (!x->notes || !x->skipped || !sequencer_init(&x->s, &x->ob, "seq", &follow_emit, nullptr)) {
        freeobject(&x->ob);
        return nullptr;
    }
    long i = 0;
    if (i < argc && argv[i].type == ATYPE_SYM && argv[i].word.w_sym == gensym("-o")) {
        x->octave = true;
        i++;
    }
    symbol *file = nullptr;
    if (i < argc) {
        if (argv[i].type == ATYPE_SYM)
            file = argv[i].word.w_sym;
        else
            error("follow: bad filename");
        i++;
    }
    if (i < argc) {
        if (argv[i].type == ATYPE_LONG)
            x->skip = std::max<long>(argv[i].word.w_long, 0);
        else
            error("follow: third arg needs an integer");
        i++;
    }
    if (i < argc) {
        if (argv[i].type == ATYPE_LONG)
            x->window = std::max<long>(argv[i].word.w_long, 0);
        else
            error("follow: fourth arg needs an integer");
    }
    if (file && !sequencer_read(&x->s, file->name, x->folder)) error("follow: couldn't read %s", file->name);
    return x;
}

}  // namespace

bool follow_init()
{
    if (g_follow) return true;
    const short L = ATYPE_LONG, F = ATYPE_FLOAT, DL = ATYPE_DEFLONG, G = ATYPE_GIMME, none = ATYPE_NOTHING;
    g_follow = define_class("follow", as_method(&follow_new), as_method(&follow_free), sizeof(follow), class_home::box,
                            {{as_method(&follow_int), "int", L},
                             {as_method(&follow_float), "float", F},
                             {as_method(&follow_in1), "in1", L},
                             {as_method(&follow_record), "record", none},
                             {as_method(&follow_append), "append", none},
                             {as_method(&follow_stop), "stop", none},
                             {as_method(&follow_bang), "bang", none},
                             {as_method(&follow_start), "start", DL},
                             {as_method(&follow_delay), "delay", L},
                             {as_method(&follow_print), "print", none},
                             {as_method(&follow_follow), "follow", DL},
                             {as_method(&follow_next), "next", none},
                             {as_method(&follow_read), "read", G},
                             {as_method(&follow_write), "write", G},
                             {as_method(&follow_ignore), "dump", G}},
                            ATYPE_GIMME);
    return g_follow && creation_provide("follow", as_method(&follow_new));
}

}  // namespace kel
