#include "midi/parser.h"

#include "midi/listeners.h"

namespace kel::midi {
namespace {

// Data bytes of a channel message by kind (status >> 4 & 7).
constexpr int data_bytes[8] = {2, 2, 2, 2, 1, 1, 2, 0};

void deliver(midiport *port, unsigned char data2)
{
    const long channel = port->running_channel + 1;
    const long a = port->data1;
    switch (port->running_kind) {
    case 0:
        listeners_input2(MIDI_LIST_NOTEIN, port, channel, a, 0);
        break;
    case 1:
        listeners_input2(MIDI_LIST_NOTEIN, port, channel, a, data2);
        break;
    case 2:
        listeners_input2(MIDI_LIST_POLYIN, port, channel, a, data2);
        break;
    case 3:
        listeners_input2(MIDI_LIST_CTLIN, port, channel, a, data2);
        break;
    case 4:
        listeners_input1(MIDI_LIST_PGMIN, port, channel, a);
        break;
    case 5:
        listeners_input1(MIDI_LIST_TOUCHIN, port, channel, a);
        break;
    case 6:
        // Only the most significant 7 bits of a bend reach bendin.
        listeners_input1(MIDI_LIST_BENDIN, port, channel, data2);
        break;
    default:
        break;
    }
}

}  // namespace

void parse_reset(midiport *port)
{
    port->running_kind = -1;
    port->running_channel = port->offset;
    port->pending = 0;
    port->sysex = 0;
}

void parse_packet(midiport *port, const unsigned char *data, long length)
{
    for (long i = 0; i < length; i++) {
        const unsigned char b = data[i];
        if (b >= 0xF8) {
            listeners_input1(MIDI_LIST_RTIN, port, 0, b);
            continue;
        }
        listeners_input1(MIDI_LIST_MIDIIN, port, 0, b);
        if (b < 0x80) {
            if (port->sysex) {
                listeners_input1(MIDI_LIST_SYSEXIN, port, 0, b);
                continue;
            }
            if (port->running_kind < 0) continue;
            const int need = data_bytes[port->running_kind];
            if (need == 1) {
                port->data1 = b;
                deliver(port, 0);
            } else if (port->pending == 0) {
                port->data1 = b;
                port->pending = 1;
            } else {
                port->pending = 0;
                deliver(port, b);
            }
            continue;
        }
        if (b == 0xF0) {
            port->sysex = 1;
            port->running_kind = -1;
            port->pending = 0;
            listeners_input1(MIDI_LIST_SYSEXIN, port, 0, b);
            continue;
        }
        if (b == 0xF7) {
            if (port->sysex) listeners_input1(MIDI_LIST_SYSEXIN, port, 0, b);
            port->sysex = 0;
            continue;
        }
        port->sysex = 0;
        port->pending = 0;
        if (b >= 0xF0) {
            port->running_kind = -1;
            continue;
        }
        port->running_kind = static_cast<signed char>((b >> 4) & 7);
        port->running_channel = static_cast<short>(port->offset + (b & 0x0F));
    }
}

}  // namespace kel::midi
