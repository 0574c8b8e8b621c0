/* The ALSA driver's codec: MIDI bytes to sequencer events and back,
 * through the library's own byte/event coder. Needs no sequencer. */
#ifndef KEL_MIDI_ALSA_CODEC_H
#define KEL_MIDI_ALSA_CODEC_H

#include <alsa/asoundlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The bytes of what the send routine is given (kind, status, data1, data2,
 * as in kel/midi.h): 1 to 3 bytes into out; 0 for a kind it does not know. */
long alsa_codec_message_bytes(long kind, long status, long data1, long data2, unsigned char out[3]);

/* Feeds bytes to the encoder; calls done(ev, arg) for every event
 * completed (a system-exclusive message completes at its 0xF7). The number
 * of events completed. */
long alsa_codec_encode(snd_midi_event_t *encoder, const unsigned char *bytes, long length,
                       void (*done)(snd_seq_event_t *ev, void *arg), void *arg);

/* The bytes of one event, each message with its status byte; the count, or
 * a negative number for an event that is no MIDI message. */
long alsa_codec_decode(snd_midi_event_t *decoder, const snd_seq_event_t *ev, unsigned char *out, long size);

#ifdef __cplusplus
}
#endif

#endif
