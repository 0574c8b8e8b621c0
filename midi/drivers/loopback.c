/* loopback: a MIDI driver whose output ports lead back to its input ports.
 *
 * Ports "loop1" (abbreviation a) and "loop2" (b), each both ways, are made
 * at setup; createinport/createoutport make more, which deleteinport and
 * deleteoutport remove again (the two fixed ports stay). Bytes sent to an
 * output port are put on the input queue for the input port of the same
 * name, in the sending thread, stamped when the scheduler takes them off:
 * under virtual time a patch that sends and listens runs the same way
 * every time.
 *
 * The driver message inject puts any packet on an input port:
 *   midi driver inject PORT [stamp MS] BYTE...
 */
#include <pthread.h>
#include <string.h>

#include "kel/kel.h"
#include "kel/midi.h"

#define LOOP_MAX_PORTS 64

/* The port tables change on the main thread and are read by whichever
 * thread sends (the scheduler's in overdrive): both under lock. */
typedef struct loopback {
    mididriver d;
    pthread_mutex_t lock;
    midiport *in[LOOP_MAX_PORTS];
    midiport *out[LOOP_MAX_PORTS];
} loopback;

static kel_class *loopback_class;

static midiport *find(midiport **ports, symbol *name)
{
    int i;
    for (i = 0; i < LOOP_MAX_PORTS; i++)
        if (ports[i] && ports[i]->name == name) return ports[i];
    for (i = 0; i < LOOP_MAX_PORTS; i++)
        if (ports[i] && name->name[0] && !name->name[1] && ports[i]->abbrev == (unsigned char)name->name[0])
            return ports[i];
    return NULL;
}

static int add(midiport **ports, midiport *p)
{
    int i;
    for (i = 0; i < LOOP_MAX_PORTS; i++)
        if (!ports[i]) {
            ports[i] = p;
            return 1;
        }
    return 0;
}

static void loopback_send(object *driver, midiport *port, long kind, long status, long data1, long data2)
{
    loopback *x = (loopback *)driver;
    unsigned char bytes[3];
    long n = 1;
    midiport *in;
    bytes[0] = (unsigned char)status;
    if (kind == MIDI_SEND_MESSAGE && status >= 0x80 && status < 0xF0) {
        bytes[1] = (unsigned char)(data1 & 0x7F);
        bytes[2] = (unsigned char)(data2 & 0x7F);
        n = ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 2 : 3;
    }
    pthread_mutex_lock(&x->lock);
    in = find(x->in, port->name);
    if (in && in->enabled) sysmidi_enqbigpacket(in, bytes, n, 0, 1);
    pthread_mutex_unlock(&x->lock);
}

static void loopback_info(loopback *x)
{
    x->d.accept = 1;
    x->d.send = loopback_send;
}

static void make_pair(loopback *x, const char *name, short abbrev)
{
    midiport *in = sysmidi_createport(sysmidi_uniqueid(), 0, gensym(name), &x->d.header, MIDI_INPUT,
                                      MIDI_PORT_ENABLED | MIDI_PORT_SAVED);
    midiport *out = sysmidi_createport(sysmidi_uniqueid(), 0, gensym(name), &x->d.header, MIDI_OUTPUT,
                                       MIDI_PORT_ENABLED | MIDI_PORT_SAVED);
    pthread_mutex_lock(&x->lock);
    if (in) {
        in->abbrev = abbrev;
        add(x->in, in);
    }
    if (out) {
        out->abbrev = abbrev;
        add(x->out, out);
    }
    pthread_mutex_unlock(&x->lock);
}

static void loopback_setup(loopback *x)
{
    make_pair(x, "loop1", 'a');
    make_pair(x, "loop2", 'b');
}

static void create(loopback *x, long direction, long argc, atom *argv)
{
    midiport *p;
    int added;
    if (argc < 1 || argv[0].type != ATYPE_SYM) return;
    p = sysmidi_createport(sysmidi_uniqueid(), 0, argv[0].word.w_sym, &x->d.header, direction,
                           MIDI_PORT_ENABLED | MIDI_PORT_DYNAMIC | MIDI_PORT_SAVED);
    if (!p) return;
    pthread_mutex_lock(&x->lock);
    added = add(direction ? x->in : x->out, p);
    pthread_mutex_unlock(&x->lock);
    if (!added) {
        p->marked = 1;
        sysmidi_deletemarked(direction);
    }
}

static void loopback_createinport(loopback *x, symbol *s, long argc, atom *argv)
{
    (void)s;
    create(x, MIDI_INPUT, argc, argv);
}

static void loopback_createoutport(loopback *x, symbol *s, long argc, atom *argv)
{
    (void)s;
    create(x, MIDI_OUTPUT, argc, argv);
}

/* Marks a dynamic port for deletion; the fixed ones stay. */
static void delete_port(loopback *x, midiport **ports, midiport *port, long *ok)
{
    int i;
    *ok = 0;
    if (!port->dynamic) return;
    pthread_mutex_lock(&x->lock);
    for (i = 0; i < LOOP_MAX_PORTS; i++)
        if (ports[i] == port) ports[i] = NULL;
    pthread_mutex_unlock(&x->lock);
    port->marked = 1;
    *ok = 1;
}

static void loopback_deleteinport(loopback *x, midiport *port, long *ok) { delete_port(x, x->in, port, ok); }
static void loopback_deleteoutport(loopback *x, midiport *port, long *ok) { delete_port(x, x->out, port, ok); }

static void loopback_inject(loopback *x, symbol *s, long argc, atom *argv)
{
    unsigned char bytes[1024];
    long n = 0, i = 1;
    double stamp = 0;
    long now = 1;
    midiport *port;
    (void)s;
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("loopback: inject: PORT [stamp MS] BYTE...");
        return;
    }
    port = find(x->in, argv[0].word.w_sym);
    if (!port) {
        error("loopback: inject: no port %s", argv[0].word.w_sym->name);
        return;
    }
    if (!port->enabled) return;
    if (argc > 2 && argv[1].type == ATYPE_SYM && argv[1].word.w_sym == gensym("stamp")) {
        stamp = argv[2].type == ATYPE_FLOAT ? argv[2].word.w_float : argv[2].word.w_long;
        now = 0;
        i = 3;
    }
    for (; i < argc && n < (long)sizeof bytes; i++) {
        long v = argv[i].type == ATYPE_FLOAT ? (long)argv[i].word.w_float : argv[i].word.w_long;
        if (argv[i].type != ATYPE_LONG && argv[i].type != ATYPE_FLOAT) continue;
        bytes[n++] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    if (n > 0) sysmidi_enqbigpacket(port, bytes, n, stamp, now);
}

static void *loopback_new(void)
{
    loopback *x = (loopback *)object_alloc(loopback_class);
    if (x) {
        memset(x->in, 0, sizeof x->in);
        memset(x->out, 0, sizeof x->out);
        pthread_mutex_init(&x->lock, NULL);
    }
    return x;
}

static void loopback_free(loopback *x) { pthread_mutex_destroy(&x->lock); }

int main(void)
{
    kel_class *c = class_new("loopback", (kel_method)loopback_new, (kel_method)loopback_free, (long)sizeof(loopback),
                             (kel_method)0, 0);
    class_addmethod(c, (kel_method)loopback_info, "mididriverinfo", 0);
    class_addmethod(c, (kel_method)loopback_setup, "setup", 0);
    class_addmethod(c, (kel_method)loopback_createinport, "createinport", ATYPE_GIMME, 0);
    class_addmethod(c, (kel_method)loopback_createoutport, "createoutport", ATYPE_GIMME, 0);
    class_addmethod(c, (kel_method)loopback_deleteinport, "deleteinport", ATYPE_CANT, 0);
    class_addmethod(c, (kel_method)loopback_deleteoutport, "deleteoutport", ATYPE_CANT, 0);
    class_addmethod(c, (kel_method)loopback_inject, "inject", ATYPE_GIMME, 0);
    class_register(gensym("box"), c);
    loopback_class = c;
    return 0;
}
