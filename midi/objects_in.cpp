// The channel-message input objects: notein, polyin, ctlin, pgmin, touchin
// and bendin, each on its class's listener list.
//
// A listener bound to a port hears that port alone and reports channels
// relative to it (1 .. 16); a listener on no port hears every port and
// reports absolute channels (the port's offset plus 1 .. 16), and a channel
// it is given (even one above 16) filters on the absolute channel.
#include "kernel/create/creation.h"
#include "midi/midi_objects.h"
#include "midi/objects_support.h"
#include "objects/objects.h"

namespace kel::midi {
namespace {

struct input_class {
    const char *name;
    long list;
    bool two_values;  // a middle outlet
    bool filtered;    // takes a controller or key number
};

constexpr input_class input_classes[] = {
    {"notein", MIDI_LIST_NOTEIN, true, false},    {"polyin", MIDI_LIST_POLYIN, true, true},
    {"ctlin", MIDI_LIST_CTLIN, true, true},       {"pgmin", MIDI_LIST_PGMIN, false, false},
    {"touchin", MIDI_LIST_TOUCHIN, false, false}, {"bendin", MIDI_LIST_BENDIN, false, false},
};
constexpr int input_class_count = sizeof input_classes / sizeof input_classes[0];

method_entry *g_input_tables[input_class_count] = {};

struct channel_in {
    object header;
    long kind;       // index into input_classes
    midiport *port;  // the port listened to; null: every port
    long channel;    // 0: every channel; relative to port when bound, else absolute
    long filter;     // controller or key listened to; -1: every one
    long enabled;
    outlet *left;
    outlet *middle;       // null when filtered, or for a one-value class
    outlet *channel_out;  // null when listening to one channel
};

// The channel as this listener reports it, or 0 when the message is not
// for it.
inline long accept(const channel_in *x, const midiport *port, long channel)
{
    if (!x->enabled) return 0;
    if (x->port) {
        if (port != x->port) return 0;
        channel -= port->offset;
    }
    if (x->channel && channel != x->channel) return 0;
    return channel;
}

// notein: key (left), velocity (middle); polyin and ctlin: pressure or value
// (left), key or controller (middle). Right to left: channel first.
void in_input2(channel_in *x, midiport *port, long channel, long a, long b)
{
    channel = accept(x, port, channel);
    if (!channel) return;
    if (x->filter >= 0 && a != x->filter) return;
    const bool note = input_classes[x->kind].list == MIDI_LIST_NOTEIN;
    if (x->channel_out) outlet_int(x->channel_out, channel);
    if (x->middle) outlet_int(x->middle, note ? b : a);
    outlet_int(x->left, note ? a : b);
}

// pgmin reports programs 1 .. 128.
void in_input1(channel_in *x, midiport *port, long channel, long value)
{
    channel = accept(x, port, channel);
    if (!channel) return;
    if (x->channel_out) outlet_int(x->channel_out, channel);
    outlet_int(x->left, input_classes[x->kind].list == MIDI_LIST_PGMIN ? value + 1 : value);
}

void *in_enable(channel_in *x, long n)
{
    x->enabled = n != 0;
    return nullptr;
}

// Rebinding keeps the channel number: an absolute channel becomes the same
// channel of the new port.
void in_bind(channel_in *x, symbol *name)
{
    midiport *p = sysmidi_nametoport(name, MIDI_INPUT);
    if (!p) {
        error("%s: no MIDI input port %s", input_classes[x->kind].name, name->name);
        return;
    }
    if (x->channel) x->channel = ((x->channel - 1) & 15) + 1;
    x->port = p;
}

// port NAME binds to that port; port alone listens to every port.
void *in_port(channel_in *x, symbol *, long argc, atom *argv)
{
    if (argc < 1)
        x->port = nullptr;
    else if (argv[0].type == ATYPE_SYM)
        in_bind(x, argv[0].word.w_sym);
    else
        error("%s: port: bad argument", input_classes[x->kind].name);
    return nullptr;
}

void *in_anything(channel_in *x, symbol *s, long, atom *)
{
    in_bind(x, s);
    return nullptr;
}

// A deleted port leaves the listener on every port, with its channel number.
void in_port_deleted(channel_in *x, midiport *port)
{
    if (x->port == port) x->port = nullptr;
}

// The port menu needs a screen; headless the message is accepted.
void *in_dblclick(channel_in *) { return nullptr; }

void in_free(channel_in *x) { sysmidi_unlisten(input_classes[x->kind].list, &x->header); }

template <int K> void *in_new(symbol *, long argc, atom *argv)
{
    const input_class &info = input_classes[K];
    const bool ready = define_builder_class(&g_input_tables[K], info.name, as_method(&in_new<K>), as_method(&in_free),
                                            sizeof(channel_in), {ATYPE_GIMME}, [&] {
                                                if (info.two_values)
                                                    addmess(as_method(&in_input2), "input2", ATYPE_CANT, 0);
                                                else
                                                    addmess(as_method(&in_input1), "input1", ATYPE_CANT, 0);
                                                addmess(as_method(&in_enable), "enable", ATYPE_LONG, 0);
                                                addmess(as_method(&in_port), "port", ATYPE_GIMME, 0);
                                                addmess(as_method(&in_anything), "anything", ATYPE_GIMME, 0);
                                                addmess(as_method(&in_port_deleted), "inportdeleted", ATYPE_CANT, 0);
                                                addmess(as_method(&in_dblclick), "dblclick", 0);
                                            });
    if (!ready) return nullptr;
    sysmidi_touch();
    sysmidi_openports();
    const midi_args args = parse_input_args(info.name, info.filtered, argc, argv);
    auto *x = static_cast<channel_in *>(newobject(g_input_tables[K]));
    if (!x) return nullptr;
    x->kind = K;
    x->port = args.port;
    x->channel = args.channel;
    x->filter = info.filtered ? args.filter : -1;
    x->enabled = 1;
    // Outlets are made right to left: each new one becomes the leftmost.
    x->channel_out = x->channel ? nullptr : intout(x);
    x->middle = info.two_values && x->filter < 0 ? intout(x) : nullptr;
    x->left = intout(x);
    if (sysmidi_listen(info.list, &x->header) != 0) error("%s: out of memory: it hears nothing", info.name);
    return x;
}

template <int... K> bool provide_all(std::integer_sequence<int, K...>)
{
    return (creation_provide(input_classes[K].name, as_method(&in_new<K>)) && ...);
}

}  // namespace

bool objects_in_init() { return provide_all(std::make_integer_sequence<int, input_class_count>{}); }

}  // namespace kel::midi
