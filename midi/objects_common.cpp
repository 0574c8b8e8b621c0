// Arguments of the MIDI objects, the port lookups they share, and the
// registration of every MIDI class.
#include <utility>

#include "kernel/create/creation.h"
#include "midi/midi_objects.h"
#include "midi/objects_support.h"

namespace kel::midi {
namespace {

// Takes the port named by a symbol argument; reports a name that is none.
bool take_port(const char *cls, symbol *name, long direction, midi_args *out)
{
    midiport *p = sysmidi_nametoport(name, direction);
    if (!p) {
        if (direction == MIDI_INPUT)
            error("%s: no MIDI input port %s: listening on all ports", cls, name->name);
        else
            error("%s: no MIDI output port %s: sending by channel", cls, name->name);
        return false;
    }
    out->port = p;
    return true;
}

long find_channel(midiport *port, void *arg)
{
    auto *want = static_cast<std::pair<long, midiport *> *>(arg);
    if (port->offset < want->first && want->first <= port->offset + 16) {
        want->second = port;
        return 1;
    }
    return 0;
}

long take_first(midiport *port, void *arg)
{
    *static_cast<midiport **>(arg) = port;
    return 1;
}

}  // namespace

midi_args parse_input_args(const char *cls, bool filtered, long argc, const atom *argv)
{
    midi_args out;
    long numbers[2] = {0, 0};
    int count = 0;
    bool port_asked = false;
    for (long i = 0; i < argc; i++) {
        long n = 0;
        if (argv[i].type == ATYPE_SYM && !port_asked) {
            port_asked = true;
            take_port(cls, argv[i].word.w_sym, MIDI_INPUT, &out);
        } else if (atom_number(argv[i], &n) && count < (filtered ? 2 : 1)) {
            numbers[count++] = n;
        } else {
            error("%s: extra argument ignored", cls);
        }
    }
    long channel = 0;
    if (filtered) {
        if (count >= 1 && numbers[0] >= 0 && numbers[0] <= 127) out.filter = numbers[0];
        if (count >= 2) channel = numbers[1];
    } else if (count >= 1) {
        channel = numbers[0];
    }
    if (channel < 1 || channel > 16 * sysmidi_numinports())
        channel = 0;
    else if (out.port)
        channel = ((channel - 1) & 15) + 1;
    out.channel = channel;
    return out;
}

midi_args parse_output_args(const char *cls, long argc, const atom *argv)
{
    midi_args out;
    bool port_asked = false;
    bool channel_given = false;
    for (long i = 0; i < argc; i++) {
        long n = 0;
        if (argv[i].type == ATYPE_SYM && !port_asked) {
            port_asked = true;
            take_port(cls, argv[i].word.w_sym, MIDI_OUTPUT, &out);
        } else if (atom_number(argv[i], &n) && !channel_given) {
            channel_given = true;
            out.channel = n;
        } else {
            error("%s: extra argument ignored", cls);
        }
    }
    if (!channel_given) out.channel = 1;
    return out;
}

midiport *output_port_for_channel(long c)
{
    std::pair<long, midiport *> want{c, nullptr};
    sysmidi_iterate(&find_channel, &want, MIDI_OUTPUT);
    return want.second;
}

midiport *first_output_port()
{
    midiport *p = nullptr;
    sysmidi_iterate(&take_first, &p, MIDI_OUTPUT);
    return p;
}

}  // namespace kel::midi

namespace kel {

bool midi_objects_init()
{
    static bool done = false;
    if (done) return true;
    if (!midi::objects_in_init() || !midi::objects_out_init() || !midi::objects_bytes_init() || !midi::tcin_init())
        return false;
    done = true;
    return true;
}

}  // namespace kel
