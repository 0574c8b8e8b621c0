// The channel-message output objects: noteout, polyout, ctlout, pgmout,
// touchout and bendout.
//
// Inlets, left to right: the hot value, the second value (noteout velocity,
// polyout key, ctlout controller), the channel. Data bytes are clipped to
// 0..127. An object bound to a port sends on it, its channel clamped to
// 1 .. 16; an object on no port clamps its channel to 1 .. 16 x output
// ports and sends on the port whose channels hold it. With no output port
// at all nothing is sent.
#include "kernel/create/creation.h"
#include "midi/midi_objects.h"
#include "midi/objects_support.h"
#include "objects/objects.h"

namespace kel::midi {
namespace {

enum out_kind { NOTE, POLY, CTL, PGM, TOUCH, BEND };

struct output_class {
    const char *name;
    long status;
    bool two_values;  // a second value inlet
};

constexpr output_class output_classes[] = {
    {"noteout", 0x90, true}, {"polyout", 0xA0, true},   {"ctlout", 0xB0, true},
    {"pgmout", 0xC0, false}, {"touchout", 0xD0, false}, {"bendout", 0xE0, false},
};
constexpr int output_class_count = sizeof output_classes / sizeof output_classes[0];

method_entry *g_output_tables[output_class_count] = {};

struct channel_out {
    object header;
    long kind;       // out_kind
    long second;     // velocity, key or controller
    long channel;    // relative to port when bound, else absolute; clamped when sent
    midiport *port;  // null: the port is found by channel
    long enabled;
};

void out_send(channel_out *x, long value)
{
    if (!x->enabled) return;
    midiport *port = x->port;
    long channel;
    if (port) {
        channel = clip(x->channel, 1, 16);
    } else {
        const long ports = sysmidi_numoutports();
        if (ports < 1) return;
        channel = clip(x->channel, 1, 16 * ports);
        port = output_port_for_channel(channel);
        if (!port) return;
    }
    const long status = output_classes[x->kind].status + ((channel - 1) & 15);
    long data1 = 0;
    long data2 = 0;
    switch (x->kind) {
    case NOTE:
        data1 = clip(value, 0, 127);
        data2 = clip(x->second, 0, 127);
        break;
    case POLY:
    case CTL:
        data1 = clip(x->second, 0, 127);
        data2 = clip(value, 0, 127);
        break;
    case PGM:  // programs 1 .. 128 go out as 0 .. 127
        data1 = clip(value, 1, 128) - 1;
        break;
    case TOUCH:
        data1 = clip(value, 0, 127);
        break;
    default:  // BEND: the most significant byte; the least is 0
        data2 = clip(value, 0, 127);
        break;
    }
    sysmidi_send(port, MIDI_SEND_MESSAGE, status, data1, data2);
}

void *out_int(channel_out *x, long n)
{
    out_send(x, n);
    return nullptr;
}

void *out_float(channel_out *x, double f)
{
    out_send(x, static_cast<long>(f));
    return nullptr;
}

void *out_in1(channel_out *x, long n)
{
    if (output_classes[x->kind].two_values)
        x->second = n;
    else
        x->channel = n;
    return nullptr;
}

void *out_in2(channel_out *x, long n)
{
    x->channel = n;
    return nullptr;
}

// A list spreads over the inlets, right to left; its first number is sent.
void *out_list(channel_out *x, symbol *, long argc, atom *argv)
{
    const bool two = output_classes[x->kind].two_values;
    long n[3] = {};
    long count = 0;
    for (long i = 0; i < argc && count < (two ? 3 : 2); i++)
        if (atom_number(argv[i], &n[count])) count++;
    if (count < 1) return nullptr;
    if (two) {
        if (count > 2) x->channel = n[2];
        if (count > 1) x->second = n[1];
    } else if (count > 1) {
        x->channel = n[1];
    }
    out_send(x, n[0]);
    return nullptr;
}

void *out_enable(channel_out *x, long n)
{
    x->enabled = n != 0;
    return nullptr;
}

void out_bind(channel_out *x, symbol *name)
{
    midiport *p = sysmidi_nametoport(name, MIDI_OUTPUT);
    if (!p) {
        error("%s: no MIDI output port %s", output_classes[x->kind].name, name->name);
        return;
    }
    x->port = p;
}

// port NAME binds to that port; port alone sends by channel.
void *out_port(channel_out *x, symbol *, long argc, atom *argv)
{
    if (argc < 1)
        x->port = nullptr;
    else if (argv[0].type == ATYPE_SYM)
        out_bind(x, argv[0].word.w_sym);
    else
        error("%s: port: bad argument", output_classes[x->kind].name);
    return nullptr;
}

void *out_anything(channel_out *x, symbol *s, long, atom *)
{
    out_bind(x, s);
    return nullptr;
}

// A deleted port leaves the object sending by channel, with its channel
// number.
void out_port_deleted(channel_out *x, midiport *port)
{
    if (x->port == port) x->port = nullptr;
}

void *out_dblclick(channel_out *) { return nullptr; }

void out_free(channel_out *x) { sysmidi_removeoutput(&x->header); }

template <int K> void *out_new(symbol *, long argc, atom *argv)
{
    const output_class &info = output_classes[K];
    const bool ready = define_builder_class(&g_output_tables[K], info.name, as_method(&out_new<K>),
                                            as_method(&out_free), sizeof(channel_out), {ATYPE_GIMME}, [&] {
                                                addint(as_method(&out_int));
                                                addfloat(as_method(&out_float));
                                                addinx(as_method(&out_in1), 1);
                                                if (info.two_values) addinx(as_method(&out_in2), 2);
                                                addmess(as_method(&out_list), "list", ATYPE_GIMME, 0);
                                                addmess(as_method(&out_enable), "enable", ATYPE_LONG, 0);
                                                addmess(as_method(&out_port), "port", ATYPE_GIMME, 0);
                                                addmess(as_method(&out_anything), "anything", ATYPE_GIMME, 0);
                                                addmess(as_method(&out_port_deleted), "outportdeleted", ATYPE_CANT, 0);
                                                addmess(as_method(&out_dblclick), "dblclick", 0);
                                            });
    if (!ready) return nullptr;
    sysmidi_touch();
    const midi_args args = parse_output_args(info.name, argc, argv);
    auto *x = static_cast<channel_out *>(newobject(g_output_tables[K]));
    if (!x) return nullptr;
    x->kind = K;
    x->second = 0;
    x->channel = args.channel;
    x->port = args.port;
    x->enabled = 1;
    if (info.two_values) intin(x, 2);
    intin(x, 1);
    if (sysmidi_addoutput(&x->header) != 0) error("%s: out of memory: deleted ports are not reported", info.name);
    return x;
}

template <int... K> bool provide_all(std::integer_sequence<int, K...>)
{
    return (creation_provide(output_classes[K].name, as_method(&out_new<K>)) && ...);
}

}  // namespace

bool objects_out_init() { return provide_all(std::make_integer_sequence<int, output_class_count>{}); }

}  // namespace kel::midi
