// The byte objects: midiin, sysexin and rtin (input bytes as ints),
// midiout (ints to a port, assembled into whole messages), and the two
// formatters midiformat (messages to bytes) and midiparse (bytes to
// messages).
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "midi/midi_objects.h"
#include "midi/objects_support.h"
#include "objects/objects.h"

namespace kel::midi {
namespace {

// Data bytes after a status byte: channel messages by (status >> 4) - 8,
// system common messages by status - 0xF0 (0xF0 and 0xF7 are the
// system-exclusive bounds, 0xF4 and 0xF5 undefined).
constexpr int channel_data[8] = {2, 2, 2, 2, 1, 1, 2, 0};
constexpr int common_data[8] = {0, 1, 2, 1, 0, 0, 0, 0};

// Binds a port-taking byte object: a symbol argument names the port.
midiport *byte_object_port(const char *cls, long direction, long argc, const atom *argv)
{
    for (long i = 0; i < argc; i++) {
        if (argv[i].type != ATYPE_SYM) {
            error("%s: extra argument ignored", cls);
            continue;
        }
        midiport *p = sysmidi_nametoport(argv[i].word.w_sym, direction);
        if (p) return p;
        if (direction == MIDI_INPUT)
            error("%s: no MIDI input port %s: listening on all ports", cls, argv[i].word.w_sym->name);
        else
            error("%s: no MIDI output port %s: sending to the first port", cls, argv[i].word.w_sym->name);
        return nullptr;
    }
    return nullptr;
}

// --- midiin, sysexin, rtin ---

struct byte_class {
    const char *name;
    long list;
};

constexpr byte_class byte_classes[] = {
    {"midiin", MIDI_LIST_MIDIIN}, {"sysexin", MIDI_LIST_SYSEXIN}, {"rtin", MIDI_LIST_RTIN}};
constexpr int byte_class_count = 3;

method_entry *g_byte_tables[byte_class_count] = {};

struct byte_in {
    object header;
    long kind;
    midiport *port;  // null: every port
    long enabled;
    outlet *out;
};

void bytes_input1(byte_in *x, midiport *port, long, long value)
{
    if (!x->enabled || (x->port && port != x->port)) return;
    outlet_int(x->out, value);
}

void *bytes_enable(byte_in *x, long n)
{
    x->enabled = n != 0;
    return nullptr;
}

void bytes_bind(byte_in *x, symbol *name)
{
    midiport *p = sysmidi_nametoport(name, MIDI_INPUT);
    if (!p)
        error("%s: no MIDI input port %s", byte_classes[x->kind].name, name->name);
    else
        x->port = p;
}

void *bytes_port(byte_in *x, symbol *, long argc, atom *argv)
{
    if (argc < 1)
        x->port = nullptr;
    else if (argv[0].type == ATYPE_SYM)
        bytes_bind(x, argv[0].word.w_sym);
    else
        error("%s: port: bad argument", byte_classes[x->kind].name);
    return nullptr;
}

void *bytes_anything(byte_in *x, symbol *s, long, atom *)
{
    bytes_bind(x, s);
    return nullptr;
}

void bytes_port_deleted(byte_in *x, midiport *port)
{
    if (x->port == port) x->port = nullptr;
}

void *bytes_dblclick(byte_in *) { return nullptr; }

void bytes_free(byte_in *x) { sysmidi_unlisten(byte_classes[x->kind].list, &x->header); }

template <int K> void *bytes_new(symbol *, long argc, atom *argv)
{
    const byte_class &info = byte_classes[K];
    const bool ready = define_builder_class(&g_byte_tables[K], info.name, as_method(&bytes_new<K>),
                                            as_method(&bytes_free), sizeof(byte_in), {ATYPE_GIMME}, [] {
                                                addmess(as_method(&bytes_input1), "input1", ATYPE_CANT, 0);
                                                addmess(as_method(&bytes_enable), "enable", ATYPE_LONG, 0);
                                                addmess(as_method(&bytes_port), "port", ATYPE_GIMME, 0);
                                                addmess(as_method(&bytes_anything), "anything", ATYPE_GIMME, 0);
                                                addmess(as_method(&bytes_port_deleted), "inportdeleted", ATYPE_CANT, 0);
                                                addmess(as_method(&bytes_dblclick), "dblclick", 0);
                                            });
    if (!ready) return nullptr;
    sysmidi_touch();
    sysmidi_openports();
    midiport *port = byte_object_port(info.name, MIDI_INPUT, argc, argv);
    auto *x = static_cast<byte_in *>(newobject(g_byte_tables[K]));
    if (!x) return nullptr;
    x->kind = K;
    x->port = port;
    x->enabled = 1;
    x->out = intout(x);
    if (sysmidi_listen(info.list, &x->header) != 0) error("%s: out of memory: it hears nothing", info.name);
    return x;
}

// --- midiout ---

method_entry *g_midiout_class = nullptr;

struct midiout_object {
    object header;
    midiport *port;  // null: the first output port
    long enabled;
    long status;  // of the channel or system common message being assembled; 0: none
    long need;    // data bytes it takes
    long have;
    long data[2];
    long sysex;  // inside a system-exclusive message
};

// Channel messages go out whole, through the send routine's message kind;
// system common messages byte by byte once whole; system-exclusive bytes as
// they come; real-time bytes at once, wherever they fall.
void midiout_byte(midiout_object *x, long b)
{
    if (b < 0 || b > 255 || !x->enabled) return;
    midiport *port = x->port ? x->port : first_output_port();
    if (b >= 0xF8) {
        if (port) sysmidi_send(port, MIDI_SEND_BYTE, b, 0, 0);
        return;
    }
    if (b >= 0x80) {
        // A status byte drops a message it cuts short.
        x->have = 0;
        x->sysex = b == 0xF0;
        if (b == 0xF0 || b == 0xF7) {
            x->status = 0;
            if (port) sysmidi_send(port, MIDI_SEND_SYSEX, b, 0, 0);
            return;
        }
        x->status = b;
        x->need = b >= 0xF0 ? common_data[b - 0xF0] : channel_data[(b >> 4) - 8];
        if (x->need > 0) return;
        if (port) sysmidi_send(port, MIDI_SEND_BYTE, b, 0, 0);
        x->status = 0;  // a system common message without data keeps no running status
        return;
    }
    if (x->sysex) {
        if (port) sysmidi_send(port, MIDI_SEND_SYSEX, b, 0, 0);
        return;
    }
    if (!x->status) return;  // data without a status byte
    x->data[x->have++] = b;
    if (x->have < x->need) return;
    x->have = 0;
    if (x->status >= 0xF0) {
        if (port) {
            sysmidi_send(port, MIDI_SEND_BYTE, x->status, 0, 0);
            for (long i = 0; i < x->need; i++) sysmidi_send(port, MIDI_SEND_BYTE, x->data[i], 0, 0);
        }
        x->status = 0;
        return;
    }
    // A channel message keeps its status running for the data that follow.
    if (port) sysmidi_send(port, MIDI_SEND_MESSAGE, x->status, x->data[0], x->need > 1 ? x->data[1] : 0);
}

void *midiout_int(midiout_object *x, long n)
{
    midiout_byte(x, n);
    return nullptr;
}

void *midiout_float(midiout_object *x, double f)
{
    midiout_byte(x, static_cast<long>(f));
    return nullptr;
}

void *midiout_list(midiout_object *x, symbol *, long argc, atom *argv)
{
    for (long i = 0; i < argc; i++) {
        long n = 0;
        if (atom_number(argv[i], &n)) midiout_byte(x, n);
    }
    return nullptr;
}

void *midiout_enable(midiout_object *x, long n)
{
    x->enabled = n != 0;
    return nullptr;
}

void midiout_bind(midiout_object *x, symbol *name)
{
    midiport *p = sysmidi_nametoport(name, MIDI_OUTPUT);
    if (!p)
        error("midiout: no MIDI output port %s", name->name);
    else
        x->port = p;
}

void *midiout_port(midiout_object *x, symbol *, long argc, atom *argv)
{
    if (argc < 1)
        x->port = nullptr;
    else if (argv[0].type == ATYPE_SYM)
        midiout_bind(x, argv[0].word.w_sym);
    else
        error("midiout: port: bad argument");
    return nullptr;
}

void *midiout_anything(midiout_object *x, symbol *s, long, atom *)
{
    midiout_bind(x, s);
    return nullptr;
}

void midiout_port_deleted(midiout_object *x, midiport *port)
{
    if (x->port == port) x->port = nullptr;
}

void *midiout_dblclick(midiout_object *) { return nullptr; }

void midiout_free(midiout_object *x) { sysmidi_removeoutput(&x->header); }

void *midiout_new(symbol *, long argc, atom *argv)
{
    const bool ready =
        define_builder_class(&g_midiout_class, "midiout", as_method(&midiout_new), as_method(&midiout_free),
                             sizeof(midiout_object), {ATYPE_GIMME}, [] {
                                 addint(as_method(&midiout_int));
                                 addfloat(as_method(&midiout_float));
                                 addmess(as_method(&midiout_list), "list", ATYPE_GIMME, 0);
                                 addmess(as_method(&midiout_enable), "enable", ATYPE_LONG, 0);
                                 addmess(as_method(&midiout_port), "port", ATYPE_GIMME, 0);
                                 addmess(as_method(&midiout_anything), "anything", ATYPE_GIMME, 0);
                                 addmess(as_method(&midiout_port_deleted), "outportdeleted", ATYPE_CANT, 0);
                                 addmess(as_method(&midiout_dblclick), "dblclick", 0);
                             });
    if (!ready) return nullptr;
    sysmidi_touch();
    midiport *port = byte_object_port("midiout", MIDI_OUTPUT, argc, argv);
    auto *x = static_cast<midiout_object *>(newobject(g_midiout_class));
    if (!x) return nullptr;
    x->port = port;
    x->enabled = 1;
    x->status = 0;
    x->need = 0;
    x->have = 0;
    x->sysex = 0;
    if (sysmidi_addoutput(&x->header) != 0) error("midiout: out of memory: deleted ports are not reported");
    return x;
}

// --- midiformat ---
//
// Inlets: note (pitch velocity), polyphonic pressure (pressure key),
// control change (value controller), program (0..127), channel pressure,
// pitch bend (the most significant byte), channel (1..16). Every message
// goes out whole, status first, without running status.

method_entry *g_midiformat_class = nullptr;

constexpr long midiformat_inlets = 7;

struct midiformat_object {
    object header;
    long in;  // the inlet a message came through, set by the proxies
    long channel;
    long enabled;
    proxy *proxies[midiformat_inlets];  // proxies[k] stands for inlet k (1 .. 6)
    outlet *out;
};

void midiformat_emit(midiformat_object *x, long status, long count, long d1, long d2)
{
    if (!x->enabled) return;
    outlet_int(x->out, status + x->channel - 1);
    if (count > 0) outlet_int(x->out, clip(d1, 0, 127));
    if (count > 1) outlet_int(x->out, clip(d2, 0, 127));
}

// a and b: the message's first and second numbers (b is 0 for an int into a
// list inlet).
void midiformat_message(midiformat_object *x, long inlet, long a, long b)
{
    switch (inlet) {
    case 0:
        midiformat_emit(x, 0x90, 2, a, b);
        break;
    case 1:
        midiformat_emit(x, 0xA0, 2, b, a);
        break;
    case 2:
        midiformat_emit(x, 0xB0, 2, b, a);
        break;
    case 3:
        midiformat_emit(x, 0xC0, 1, a, 0);
        break;
    case 4:
        midiformat_emit(x, 0xD0, 1, a, 0);
        break;
    case 5:
        midiformat_emit(x, 0xE0, 2, 0, a);
        break;
    default:
        x->channel = clip(a, 1, 16);
        break;
    }
}

void *midiformat_int(midiformat_object *x, long n)
{
    midiformat_message(x, proxy_getinlet(x), n, 0);
    return nullptr;
}

void *midiformat_float(midiformat_object *x, double f)
{
    midiformat_message(x, proxy_getinlet(x), static_cast<long>(f), 0);
    return nullptr;
}

void *midiformat_list(midiformat_object *x, symbol *, long argc, atom *argv)
{
    long n[2] = {};
    long count = 0;
    for (long i = 0; i < argc && count < 2; i++)
        if (atom_number(argv[i], &n[count])) count++;
    if (count > 0) midiformat_message(x, proxy_getinlet(x), n[0], n[1]);
    return nullptr;
}

void *midiformat_enable(midiformat_object *x, long n)
{
    x->enabled = n != 0;
    return nullptr;
}

void midiformat_free(midiformat_object *x)
{
    for (long k = 1; k < midiformat_inlets; k++)
        if (x->proxies[k]) freeobject(x->proxies[k]);
}

void *midiformat_new(long channel)
{
    const bool ready =
        define_builder_class(&g_midiformat_class, "midiformat", as_method(&midiformat_new), as_method(&midiformat_free),
                             sizeof(midiformat_object), {ATYPE_DEFLONG}, [] {
                                 addint(as_method(&midiformat_int));
                                 addfloat(as_method(&midiformat_float));
                                 addmess(as_method(&midiformat_list), "list", ATYPE_GIMME, 0);
                                 addmess(as_method(&midiformat_enable), "enable", ATYPE_LONG, 0);
                             });
    if (!ready) return nullptr;
    auto *x = static_cast<midiformat_object *>(newobject(g_midiformat_class));
    if (!x) return nullptr;
    x->in = 0;
    x->channel = clip(channel, 1, 16);
    x->enabled = 1;
    x->proxies[0] = nullptr;
    for (long k = midiformat_inlets - 1; k >= 1; k--) x->proxies[k] = proxy_new(x, k, &x->in);
    x->out = intout(x);
    return x;
}

// --- midiparse ---
//
// Outlets, left to right: note (pitch velocity; a note-off with velocity 0),
// polyphonic pressure (pressure key), control change (value controller),
// program (0..127), channel pressure, pitch bend (the most significant
// byte), channel (1..16). The channel goes out first.

method_entry *g_midiparse_class = nullptr;

struct midiparse_object {
    object header;
    long status;  // the running status; 0: none
    long have;    // data bytes of the current message seen
    long data1;
    long sysex;
    long enabled;
    outlet *note;
    outlet *poly;
    outlet *control;
    outlet *program;
    outlet *touch;
    outlet *bend;
    outlet *channel;
};

void midiparse_pair(outlet *o, long a, long b)
{
    atom pair[2];
    atom_setlong(&pair[0], a);
    atom_setlong(&pair[1], b);
    outlet_list(o, sym_list, 2, pair);
}

void midiparse_deliver(midiparse_object *x, long data2)
{
    const long kind = (x->status >> 4) - 8;
    outlet_int(x->channel, (x->status & 15) + 1);
    switch (kind) {
    case 0:
        midiparse_pair(x->note, x->data1, 0);
        break;
    case 1:
        midiparse_pair(x->note, x->data1, data2);
        break;
    case 2:
        midiparse_pair(x->poly, data2, x->data1);
        break;
    case 3:
        midiparse_pair(x->control, data2, x->data1);
        break;
    case 4:
        outlet_int(x->program, x->data1);
        break;
    case 5:
        outlet_int(x->touch, x->data1);
        break;
    default:
        outlet_int(x->bend, data2);
        break;
    }
}

void *midiparse_int(midiparse_object *x, long b)
{
    if (b < 0 || b > 255 || !x->enabled) return nullptr;
    if (b >= 0xF8) return nullptr;  // real-time bytes pass over, wherever they fall
    if (b >= 0x80) {
        x->have = 0;
        if (b < 0xF0) {
            x->status = b;
            x->sysex = 0;
        } else {
            // System-exclusive and system common messages end the running status.
            x->status = 0;
            x->sysex = b == 0xF0;
        }
        return nullptr;
    }
    if (x->sysex || !x->status) return nullptr;
    const int need = channel_data[(x->status >> 4) - 8];
    if (need == 1) {
        x->data1 = b;
        midiparse_deliver(x, 0);
    } else if (x->have == 0) {
        x->data1 = b;
        x->have = 1;
    } else {
        x->have = 0;
        midiparse_deliver(x, b);
    }
    return nullptr;
}

void *midiparse_float(midiparse_object *x, double f) { return midiparse_int(x, static_cast<long>(f)); }

void *midiparse_list(midiparse_object *x, symbol *, long argc, atom *argv)
{
    for (long i = 0; i < argc; i++) {
        long n = 0;
        if (atom_number(argv[i], &n)) midiparse_int(x, n);
    }
    return nullptr;
}

void *midiparse_enable(midiparse_object *x, long n)
{
    x->enabled = n != 0;
    return nullptr;
}

void *midiparse_new()
{
    const bool ready = define_builder_class(&g_midiparse_class, "midiparse", as_method(&midiparse_new), nullptr,
                                            sizeof(midiparse_object), {}, [] {
                                                addint(as_method(&midiparse_int));
                                                addfloat(as_method(&midiparse_float));
                                                addmess(as_method(&midiparse_list), "list", ATYPE_GIMME, 0);
                                                addmess(as_method(&midiparse_enable), "enable", ATYPE_LONG, 0);
                                            });
    if (!ready) return nullptr;
    auto *x = static_cast<midiparse_object *>(newobject(g_midiparse_class));
    if (!x) return nullptr;
    x->status = 0;
    x->have = 0;
    x->data1 = 0;
    x->sysex = 0;
    x->enabled = 1;
    // Outlets are made right to left.
    x->channel = intout(x);
    x->bend = intout(x);
    x->touch = intout(x);
    x->program = intout(x);
    x->control = listout(x);
    x->poly = listout(x);
    x->note = listout(x);
    return x;
}

template <int... K> bool provide_bytes(std::integer_sequence<int, K...>)
{
    return (creation_provide(byte_classes[K].name, as_method(&bytes_new<K>)) && ...);
}

}  // namespace

bool objects_bytes_init()
{
    return provide_bytes(std::make_integer_sequence<int, byte_class_count>{}) &&
           creation_provide("midiout", as_method(&midiout_new)) &&
           creation_provide("midiformat", as_method(&midiformat_new)) &&
           creation_provide("midiparse", as_method(&midiparse_new));
}

}  // namespace kel::midi
