// Fuzz target: MIDI input (random packets for random ports through the
// input queue and the parser).
//
// The input is a list of records: a port selector byte, a length byte, then
// that many bytes of MIDI. Selector 0..3 names one of four input ports (the
// last with channel offset 48); 4 deletes port 3 while its packets wait and
// makes it again; 5 drains the queue. For any input:
//   - every packet accepted comes off the queue once, whole;
//   - listeners hear channels inside their port's 16 and data bytes below
//     0x80; real-time bytes reach rtin only, and sysexin hears only
//     system-exclusive bytes;
//   - nothing is heard for a port after it was deleted.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kel/kel.h"
#include "kel/midi.h"
#include "kernel/files/path.h"
#include "midi/midi_manager.h"
#include "objects/engine.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct fuzz_driver {
    mididriver d;
};

struct fuzz_listener {
    object ob;
    long list;
};

midiport *g_ports[4] = {};
midiport *g_deleted = nullptr;  // a port deleted with packets waiting (its address, never read)
object *g_driver = nullptr;
long g_heard = 0;

void driver_info(fuzz_driver *x) { x->d.accept = 1; }

void port_deleted(fuzz_listener *, midiport *port) { g_deleted = port; }

void check_port(midiport *port)
{
    FUZZ_CHECK(port != g_deleted, "nothing is heard for a deleted port");
    bool known = false;
    for (midiport *p : g_ports) known = known || p == port;
    FUZZ_CHECK(known, "a listener hears one of the ports");
}

void heard1(fuzz_listener *x, midiport *port, long channel, long value)
{
    check_port(port);
    g_heard++;
    if (x->list == MIDI_LIST_RTIN) {
        FUZZ_CHECK(value >= 0xF8 && value <= 0xFF, "rtin hears real-time bytes");
    } else if (x->list == MIDI_LIST_MIDIIN) {
        FUZZ_CHECK(value >= 0 && value < 0xF8, "midiin hears every byte but real-time ones");
    } else if (x->list == MIDI_LIST_SYSEXIN) {
        FUZZ_CHECK(value < 0x80 || value == 0xF0 || value == 0xF7, "sysexin hears system-exclusive bytes");
    } else {
        FUZZ_CHECK(channel > port->offset && channel <= port->offset + 16, "the channel is the port's");
        FUZZ_CHECK(value >= 0 && value < 0x80, "a data byte");
    }
}

void heard2(fuzz_listener *, midiport *port, long channel, long a, long b)
{
    check_port(port);
    g_heard++;
    FUZZ_CHECK(channel > port->offset && channel <= port->offset + 16, "the channel is the port's");
    FUZZ_CHECK(a >= 0 && a < 0x80 && b >= 0 && b < 0x80, "data bytes");
}

template <typename T> kel_method as_method(T fn) { return reinterpret_cast<kel_method>(fn); }

midiport *make_port(const char *name, short offset)
{
    midiport *p = sysmidi_createport(sysmidi_uniqueid(), 0, gensym(name), g_driver, MIDI_INPUT, MIDI_PORT_ENABLED);
    FUZZ_CHECK(p, "a port");
    p->offset = offset;
    return p;
}

void drain()
{
    while (kel::midi_poll_one(0)) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    kel::path_init();
    kel_class *d = class_new("fuzzmididriver", nullptr, nullptr, sizeof(fuzz_driver), nullptr, 0);
    class_addmethod(d, as_method(&driver_info), "mididriverinfo", 0);
    class_register(nullptr, d);
    g_driver = static_cast<object *>(object_alloc(d));
    FUZZ_CHECK(kel::midi_install_driver(g_driver), "the driver is installed");
    g_ports[0] = make_port("f0", 0);
    g_ports[1] = make_port("f1", 16);
    g_ports[2] = make_port("f2", 32);
    g_ports[3] = make_port("f3", 48);
    kel_class *l = class_new("fuzzmidilistener", nullptr, nullptr, sizeof(fuzz_listener), nullptr, 0);
    class_addmethod(l, as_method(&heard1), "input1", ATYPE_CANT, 0);
    class_addmethod(l, as_method(&heard2), "input2", ATYPE_CANT, 0);
    class_addmethod(l, as_method(&port_deleted), "inportdeleted", ATYPE_CANT, 0);
    class_register(nullptr, l);
    for (long list = 0; list < MIDI_LIST_COUNT; list++) {
        auto *x = static_cast<fuzz_listener *>(object_alloc(l));
        x->list = list;
        FUZZ_CHECK(sysmidi_listen(list, &x->ob) == 0, "a listener joins");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    size_t at = 0;
    while (at + 2 <= size) {
        const unsigned selector = data[at] % 6;
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        if (selector == 4) {
            g_ports[3]->marked = 1;
            sysmidi_deletemarked(MIDI_INPUT);
            FUZZ_CHECK(g_deleted, "the listeners were told");
            drain();
            g_ports[3] = make_port("f3", 48);
            g_deleted = nullptr;
        } else if (selector == 5) {
            drain();
        } else if (length > 0) {
            const bool now = (length & 1) != 0;
            FUZZ_CHECK(sysmidi_enqbigpacket(g_ports[selector], data + at, long(length), 0, now) == 0,
                       "a short packet fits the queue");
        }
        at += length;
    }
    drain();
    FUZZ_CHECK(!kel::midi_pending(), "the queue is empty");
    return 0;
}
