// The MIDI input parser: the bytes of one packet of an input port to the
// listener lists. The port keeps its running status, a half-received
// channel message and its system-exclusive flag from packet to packet.
#pragma once

#include "kel/midi.h"

namespace kel::midi {

// Real-time bytes (0xF8 and up) go to rtin and nowhere else; every other
// byte goes to midiin. A status byte 0x80..0xEF sets the running kind and
// channel (and ends an unterminated system-exclusive message); data bytes
// complete channel messages, as many as the packet holds. 0xF0 starts a
// system-exclusive message, whose bytes through 0xF7 go to sysexin and are
// never taken for channel data; other system common bytes end it and clear
// the running status.
void parse_packet(midiport *port, const unsigned char *data, long length);

// Back to no running status (a new port, or one re-enabled).
void parse_reset(midiport *port);

}  // namespace kel::midi
