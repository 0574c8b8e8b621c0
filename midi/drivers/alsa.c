/* alsa: a MIDI driver on the ALSA sequencer.
 *
 * One sequencer client named "kel". Ports "in" and "out" are made at setup;
 * createinport/createoutport make more, deleteinport/deleteoutport remove
 * those. An input thread decodes the events that reach the input ports and
 * puts each on the input queue as one packet, stamped when the scheduler
 * takes it off. Output encodes the bytes of each send into events sent at
 * once to the port's subscribers.
 *
 * The driver message connect joins a kel port to another client's port,
 * named as the sequencer names it ("CLIENT:PORT", a client name or number):
 *   midi driver connect in "Keyboard:0"
 * An input port is fed by the other port; an output port feeds it.
 *
 * When the sequencer cannot be opened the driver refuses to be installed,
 * and reports "alsa: can't open the sequencer: REASON" when MIDI is first
 * used.
 */
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "alsa_codec.h"
#include "kel/kel.h"
#include "kel/midi.h"

#define ALSA_MAX_PORTS 64
#define ALSA_SYSEX_BUFFER 4096

typedef struct alsa {
    mididriver d;
    snd_seq_t *seq;
    snd_midi_event_t *encoder;
    snd_midi_event_t *decoder;
    pthread_mutex_t send_lock;
    /* The port table is changed on the main thread and read by the input
     * thread, both under ports_lock; the input thread puts a packet on the
     * queue under it too, so a port taken out of the table is never used. */
    pthread_mutex_t ports_lock;
    midiport *ports[ALSA_MAX_PORTS]; /* both directions; refnum is the sequencer port */
    pthread_t thread;
    int thread_running;
    volatile int stopping;
} alsa;

static kel_class *alsa_class;

struct send_target {
    alsa *x;
    int port;
};

static void send_event(snd_seq_event_t *ev, void *arg)
{
    struct send_target *t = (struct send_target *)arg;
    snd_seq_ev_set_source(ev, t->port);
    snd_seq_ev_set_subs(ev);
    snd_seq_ev_set_direct(ev);
    snd_seq_event_output_direct(t->x->seq, ev);
}

static void alsa_send(object *driver, midiport *port, long kind, long status, long data1, long data2)
{
    alsa *x = (alsa *)driver;
    unsigned char bytes[3];
    long n = alsa_codec_message_bytes(kind, status, data1, data2, bytes);
    struct send_target t;
    if (!x->seq || n <= 0) return;
    t.x = x;
    t.port = (int)port->refnum;
    pthread_mutex_lock(&x->send_lock);
    alsa_codec_encode(x->encoder, bytes, n, send_event, &t);
    pthread_mutex_unlock(&x->send_lock);
}

static midiport *port_of(alsa *x, int seq_port, long direction)
{
    int i;
    for (i = 0; i < ALSA_MAX_PORTS; i++)
        if (x->ports[i] && x->ports[i]->refnum == seq_port && x->ports[i]->direction == direction) return x->ports[i];
    return NULL;
}

static void *input_thread(void *arg)
{
    alsa *x = (alsa *)arg;
    int count = snd_seq_poll_descriptors_count(x->seq, POLLIN);
    struct pollfd fds[8];
    unsigned char bytes[ALSA_SYSEX_BUFFER];
    if (count > 8) count = 8;
    snd_seq_poll_descriptors(x->seq, fds, (unsigned int)count, POLLIN);
    while (!x->stopping) {
        snd_seq_event_t *ev = NULL;
        if (poll(fds, (nfds_t)count, 100) <= 0) continue;
        while (!x->stopping && snd_seq_event_input(x->seq, &ev) >= 0 && ev) {
            long n = alsa_codec_decode(x->decoder, ev, bytes, (long)sizeof bytes);
            midiport *port;
            pthread_mutex_lock(&x->ports_lock);
            port = port_of(x, ev->dest.port, MIDI_INPUT);
            if (port && port->enabled && n > 0) sysmidi_enqbigpacket(port, bytes, n, 0, 1);
            pthread_mutex_unlock(&x->ports_lock);
            if (snd_seq_event_input_pending(x->seq, 0) <= 0) break;
        }
    }
    return NULL;
}

/* The library's own reports go to standard error; ours go to the console. */
static void quiet(const char *file, int line, const char *function, int err, const char *fmt, ...)
{
    (void)file;
    (void)line;
    (void)function;
    (void)err;
    (void)fmt;
}

static void alsa_info(alsa *x)
{
    char text[256];
    int err;
    snd_lib_error_set_handler(quiet);
    err = snd_seq_open(&x->seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    x->d.send = alsa_send;
    if (err < 0) {
        x->seq = NULL;
        snprintf(text, sizeof text, "alsa: can't open the sequencer: %s", snd_strerror(err));
        sysmidi_report(text);
        x->d.accept = 0;
        return;
    }
    snd_seq_set_client_name(x->seq, "kel");
    if (snd_midi_event_new(ALSA_SYSEX_BUFFER, &x->encoder) < 0 ||
        snd_midi_event_new(ALSA_SYSEX_BUFFER, &x->decoder) < 0) {
        sysmidi_report("alsa: can't make the event coder");
        x->d.accept = 0;
        return;
    }
    x->d.accept = 1;
}

static midiport *make_port(alsa *x, symbol *name, long direction, long flags)
{
    unsigned int caps = direction ? (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE)
                                  : (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    int i, seq_port;
    midiport *p;
    for (i = 0; i < ALSA_MAX_PORTS && x->ports[i]; i++) {
    }
    if (i == ALSA_MAX_PORTS) return NULL;
    seq_port = snd_seq_create_simple_port(x->seq, name->name, caps,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (seq_port < 0) {
        error("alsa: can't make port %s: %s", name->name, snd_strerror(seq_port));
        return NULL;
    }
    p = sysmidi_createport(sysmidi_uniqueid(), seq_port, name, &x->d.header, direction, flags);
    if (!p) {
        snd_seq_delete_simple_port(x->seq, seq_port);
        return NULL;
    }
    pthread_mutex_lock(&x->ports_lock);
    x->ports[i] = p;
    pthread_mutex_unlock(&x->ports_lock);
    return p;
}

static void alsa_setup(alsa *x)
{
    make_port(x, gensym("in"), MIDI_INPUT, MIDI_PORT_ENABLED | MIDI_PORT_SAVED);
    make_port(x, gensym("out"), MIDI_OUTPUT, MIDI_PORT_ENABLED | MIDI_PORT_SAVED);
    x->stopping = 0;
    if (pthread_create(&x->thread, NULL, input_thread, x) == 0) x->thread_running = 1;
}

static void alsa_createinport(alsa *x, symbol *s, long argc, atom *argv)
{
    (void)s;
    if (argc > 0 && argv[0].type == ATYPE_SYM)
        make_port(x, argv[0].word.w_sym, MIDI_INPUT, MIDI_PORT_ENABLED | MIDI_PORT_DYNAMIC | MIDI_PORT_SAVED);
}

static void alsa_createoutport(alsa *x, symbol *s, long argc, atom *argv)
{
    (void)s;
    if (argc > 0 && argv[0].type == ATYPE_SYM)
        make_port(x, argv[0].word.w_sym, MIDI_OUTPUT, MIDI_PORT_ENABLED | MIDI_PORT_DYNAMIC | MIDI_PORT_SAVED);
}

static void delete_port(alsa *x, midiport *port, long *ok)
{
    int i;
    *ok = 0;
    if (!port->dynamic) return;
    pthread_mutex_lock(&x->ports_lock);
    for (i = 0; i < ALSA_MAX_PORTS; i++)
        if (x->ports[i] == port) x->ports[i] = NULL;
    pthread_mutex_unlock(&x->ports_lock);
    snd_seq_delete_simple_port(x->seq, (int)port->refnum);
    port->marked = 1;
    *ok = 1;
}

static void alsa_deleteinport(alsa *x, midiport *port, long *ok) { delete_port(x, port, ok); }
static void alsa_deleteoutport(alsa *x, midiport *port, long *ok) { delete_port(x, port, ok); }

/* connect KELPORT OTHER: OTHER as the sequencer names ports. */
static void alsa_connect(alsa *x, symbol *mine, symbol *other)
{
    snd_seq_addr_t addr;
    midiport *p = NULL;
    int i, err;
    for (i = 0; i < ALSA_MAX_PORTS && !p; i++)
        if (x->ports[i] && x->ports[i]->name == mine) p = x->ports[i];
    if (!p) {
        error("alsa: connect: no port %s", mine->name);
        return;
    }
    if ((err = snd_seq_parse_address(x->seq, &addr, other->name)) < 0) {
        error("alsa: connect: no port %s: %s", other->name, snd_strerror(err));
        return;
    }
    err = p->direction == MIDI_INPUT ? snd_seq_connect_from(x->seq, (int)p->refnum, addr.client, addr.port)
                                     : snd_seq_connect_to(x->seq, (int)p->refnum, addr.client, addr.port);
    if (err < 0) error("alsa: connect: %s to %s: %s", mine->name, other->name, snd_strerror(err));
}

static void alsa_stop(alsa *x)
{
    if (!x->thread_running) return;
    x->stopping = 1;
    pthread_join(x->thread, NULL);
    x->thread_running = 0;
}

static void *alsa_new(void)
{
    alsa *x = (alsa *)object_alloc(alsa_class);
    if (!x) return NULL;
    x->seq = NULL;
    x->encoder = x->decoder = NULL;
    memset(x->ports, 0, sizeof x->ports);
    x->thread_running = 0;
    x->stopping = 0;
    pthread_mutex_init(&x->send_lock, NULL);
    pthread_mutex_init(&x->ports_lock, NULL);
    return x;
}

static void alsa_free(alsa *x)
{
    alsa_stop(x);
    if (x->encoder) snd_midi_event_free(x->encoder);
    if (x->decoder) snd_midi_event_free(x->decoder);
    if (x->seq) snd_seq_close(x->seq);
    /* The library's configuration, cached by the first open (opened or not):
     * this driver is its only user in the process. */
    snd_config_update_free_global();
    pthread_mutex_destroy(&x->send_lock);
    pthread_mutex_destroy(&x->ports_lock);
}

int main(void)
{
    kel_class *c = class_new("alsa", (kel_method)alsa_new, (kel_method)alsa_free, (long)sizeof(alsa), (kel_method)0, 0);
    class_addmethod(c, (kel_method)alsa_info, "mididriverinfo", 0);
    class_addmethod(c, (kel_method)alsa_setup, "setup", 0);
    class_addmethod(c, (kel_method)alsa_createinport, "createinport", ATYPE_GIMME, 0);
    class_addmethod(c, (kel_method)alsa_createoutport, "createoutport", ATYPE_GIMME, 0);
    class_addmethod(c, (kel_method)alsa_deleteinport, "deleteinport", ATYPE_CANT, 0);
    class_addmethod(c, (kel_method)alsa_deleteoutport, "deleteoutport", ATYPE_CANT, 0);
    class_addmethod(c, (kel_method)alsa_connect, "connect", ATYPE_SYM, ATYPE_SYM, 0);
    class_addmethod(c, (kel_method)alsa_stop, "stop", 0);
    class_register(gensym("box"), c);
    alsa_class = c;
    return 0;
}
