// tcin: MIDI time code from the midiin list. Quarter frames (0xF1 nn: nn's
// high nibble the piece 0..7, its low nibble the piece's value) make a
// whole time once pieces 0 to 7 have come in order; a full-frame message
// (F0 7F dev 01 01 hh mm ss ff F7) is a whole time at once. Each whole time
// goes out as the frame rate (24, 25, 29 for 29.97 drop-frame, 30) on the
// right outlet, then the list hours minutes seconds frames on the left.
// A time made of quarter frames is the time of its piece 0, as sent.
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "midi/midi_objects.h"
#include "midi/objects_support.h"
#include "objects/objects.h"

namespace kel::midi {
namespace {

method_entry *g_tcin_class = nullptr;

constexpr long full_frame_length = 10;  // F0 7F dev 01 01 hh mm ss ff F7
constexpr long rates[4] = {24, 25, 29, 30};

struct tcin_object {
    object header;
    midiport *port;  // null: every port
    long enabled;
    long quarter;            // an 0xF1 awaits its data byte
    long pieces;             // bit k: piece k came, in order since piece 0
    unsigned char value[8];  // the pieces' nibbles
    long sysex_length;       // bytes of a possible full-frame message seen; 0: none
    unsigned char sysex[full_frame_length];
    outlet *time;
    outlet *rate;
};

void tcin_output(tcin_object *x, long hours_and_rate, long minutes, long seconds, long frames)
{
    atom time[4];
    atom_setlong(&time[0], hours_and_rate & 0x1F);
    atom_setlong(&time[1], minutes & 0x3F);
    atom_setlong(&time[2], seconds & 0x3F);
    atom_setlong(&time[3], frames & 0x1F);
    outlet_int(x->rate, rates[(hours_and_rate >> 5) & 3]);
    outlet_list(x->time, sym_list, 4, time);
}

void tcin_quarter(tcin_object *x, long data)
{
    const long piece = (data >> 4) & 7;
    x->value[piece] = static_cast<unsigned char>(data & 15);
    if (piece == 0)
        x->pieces = 1;
    else if (x->pieces == (1L << piece) - 1)
        x->pieces |= 1L << piece;
    else
        x->pieces = 0;  // out of order: wait for the next piece 0
    if (x->pieces != 0xFF) return;
    x->pieces = 0;
    const unsigned char *v = x->value;
    tcin_output(x, v[6] | v[7] << 4, v[4] | v[5] << 4, v[2] | v[3] << 4, v[0] | v[1] << 4);
}

void tcin_sysex(tcin_object *x, long b)
{
    static constexpr int fixed[5] = {0xF0, 0x7F, -1, 0x01, 0x01};  // -1: any device
    const long at = x->sysex_length;
    if (at < 5 && fixed[at] >= 0 && b != fixed[at]) {
        x->sysex_length = 0;
        return;
    }
    x->sysex[at] = static_cast<unsigned char>(b);
    x->sysex_length = at + 1;
    if (x->sysex_length < full_frame_length) return;
    x->sysex_length = 0;
    if (b != 0xF7) return;
    const unsigned char *m = x->sysex;
    tcin_output(x, m[5], m[6], m[7], m[8]);
}

void tcin_input1(tcin_object *x, midiport *port, long, long b)
{
    if (!x->enabled || (x->port && port != x->port)) return;
    if (x->quarter) {
        x->quarter = 0;
        if (b < 0x80) {
            tcin_quarter(x, b);
            return;
        }
    }
    if (b == 0xF1) {
        x->quarter = 1;
        x->sysex_length = 0;
        return;
    }
    if (b == 0xF0) x->sysex_length = 0;
    if (b == 0xF0 || x->sysex_length > 0) tcin_sysex(x, b);
}

void *tcin_enable(tcin_object *x, long n)
{
    x->enabled = n != 0;
    return nullptr;
}

void tcin_bind(tcin_object *x, symbol *name)
{
    midiport *p = sysmidi_nametoport(name, MIDI_INPUT);
    if (!p)
        error("tcin: no MIDI input port %s", name->name);
    else
        x->port = p;
}

void *tcin_port(tcin_object *x, symbol *, long argc, atom *argv)
{
    if (argc < 1)
        x->port = nullptr;
    else if (argv[0].type == ATYPE_SYM)
        tcin_bind(x, argv[0].word.w_sym);
    else
        error("tcin: port: bad argument");
    return nullptr;
}

void *tcin_anything(tcin_object *x, symbol *s, long, atom *)
{
    tcin_bind(x, s);
    return nullptr;
}

void tcin_port_deleted(tcin_object *x, midiport *port)
{
    if (x->port == port) x->port = nullptr;
}

void *tcin_dblclick(tcin_object *) { return nullptr; }

void tcin_free(tcin_object *x) { sysmidi_unlisten(MIDI_LIST_MIDIIN, &x->header); }

void *tcin_new(symbol *, long argc, atom *argv)
{
    const bool ready = define_builder_class(&g_tcin_class, "tcin", as_method(&tcin_new), as_method(&tcin_free),
                                            sizeof(tcin_object), {ATYPE_GIMME}, [] {
                                                addmess(as_method(&tcin_input1), "input1", ATYPE_CANT, 0);
                                                addmess(as_method(&tcin_enable), "enable", ATYPE_LONG, 0);
                                                addmess(as_method(&tcin_port), "port", ATYPE_GIMME, 0);
                                                addmess(as_method(&tcin_anything), "anything", ATYPE_GIMME, 0);
                                                addmess(as_method(&tcin_port_deleted), "inportdeleted", ATYPE_CANT, 0);
                                                addmess(as_method(&tcin_dblclick), "dblclick", 0);
                                            });
    if (!ready) return nullptr;
    sysmidi_touch();
    sysmidi_openports();
    midiport *port = nullptr;
    for (long i = 0; i < argc; i++) {
        if (argv[i].type != ATYPE_SYM || port) {
            error("tcin: extra argument ignored");
            continue;
        }
        port = sysmidi_nametoport(argv[i].word.w_sym, MIDI_INPUT);
        if (!port) error("tcin: no MIDI input port %s: listening on all ports", argv[i].word.w_sym->name);
    }
    auto *x = static_cast<tcin_object *>(newobject(g_tcin_class));
    if (!x) return nullptr;
    x->port = port;
    x->enabled = 1;
    x->quarter = 0;
    x->pieces = 0;
    x->sysex_length = 0;
    for (unsigned char &v : x->value) v = 0;
    x->rate = intout(x);
    x->time = listout(x);
    if (sysmidi_listen(MIDI_LIST_MIDIIN, &x->header) != 0) error("tcin: out of memory: it hears nothing");
    return x;
}

}  // namespace

bool tcin_init() { return creation_provide("tcin", as_method(&tcin_new)); }

}  // namespace kel::midi
