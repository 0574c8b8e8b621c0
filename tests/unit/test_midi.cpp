// The MIDI manager: the parser with a listener on every list, the input
// queue, ports deleted while their packets wait, the manager's messages
// and their error texts, and the preferences files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kel/midi.h"
#include "kernel/files/preferences.h"
#include "kernel/time/scheduler.h"
#include "midi/midi_manager.h"
#include "midi/queue.h"
#include "object_support.h"
#include "temp_dir.h"

namespace {

using strings = std::vector<std::string>;
using bytes = std::vector<unsigned char>;
using kel::test::console_capture;
using kel::test::error_line;

strings g_log;

// --- a listener on one list ---

struct listener {
    object ob;
    long list;
};

const char *const list_names[] = {"notein", "polyin", "ctlin",   "pgmin", "touchin",
                                  "bendin", "midiin", "sysexin", "rtin"};

void listener_input1(listener *x, midiport *port, long channel, long value)
{
    std::ostringstream line;
    line << list_names[x->list] << " " << port->name->name << " ";
    if (x->list >= MIDI_LIST_MIDIIN)
        line << std::hex << value;
    else
        line << channel << " " << value;
    g_log.push_back(line.str());
}

void listener_input2(listener *x, midiport *port, long channel, long a, long b)
{
    g_log.push_back(std::string(list_names[x->list]) + " " + port->name->name + " " + std::to_string(channel) + " " +
                    std::to_string(a) + " " + std::to_string(b));
}

void listener_deleted(listener *x, midiport *port)
{
    g_log.push_back(std::string(list_names[x->list]) + " told " + port->name->name + " deleted");
}

kel_class *listener_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("midi_test_listener", nullptr, nullptr, sizeof(listener), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&listener_input1), "input1", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&listener_input2), "input2", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&listener_deleted), "inportdeleted", ATYPE_CANT, 0);
        class_register(nullptr, k);
        return k;
    }();
    return c;
}

listener *listen_on(long list)
{
    auto *x = static_cast<listener *>(object_alloc(listener_class()));
    x->list = list;
    EXPECT_EQ(sysmidi_listen(list, &x->ob), 0);
    return x;
}

void unlisten_free(listener *x)
{
    sysmidi_unlisten(-1, &x->ob);
    freeobject(x);
}

// --- a driver: ports "in1" (offset 0), "in2" (offset 16), "out1" ---

struct test_driver {
    mididriver d;
    long refuse;
    long keep_ports;  // deleteinport answers 0
};

long g_refuse_next = 0;

void driver_send(object *, midiport *port, long kind, long status, long data1, long data2)
{
    g_log.push_back("send " + std::string(port->name->name) + " " + std::to_string(kind) + " " +
                    std::to_string(status) + " " + std::to_string(data1) + " " + std::to_string(data2));
}

void driver_info(test_driver *x)
{
    x->d.accept = !x->refuse;
    x->d.send = &driver_send;
}

void driver_setup(test_driver *x)
{
    midiport *in1 = sysmidi_createport(sysmidi_uniqueid(), 0, gensym("in1"), &x->d.header, MIDI_INPUT,
                                       MIDI_PORT_ENABLED | MIDI_PORT_SAVED);
    midiport *in2 = sysmidi_createport(sysmidi_uniqueid(), 0, gensym("in2"), &x->d.header, MIDI_INPUT,
                                       MIDI_PORT_ENABLED | MIDI_PORT_SAVED);
    sysmidi_createport(sysmidi_uniqueid(), 0, gensym("out1"), &x->d.header, MIDI_OUTPUT, MIDI_PORT_ENABLED);
    in1->abbrev = 'a';
    in2->abbrev = 'b';
    in2->offset = 16;
    in2->running_channel = 16;
}

void driver_create(test_driver *x, symbol *s, long, atom *argv)
{
    g_log.push_back(std::string("driver ") + s->name + " " + argv[0].word.w_sym->name);
    sysmidi_createport(sysmidi_uniqueid(), 0, argv[0].word.w_sym, &x->d.header,
                       s == gensym("createinport") ? MIDI_INPUT : MIDI_OUTPUT,
                       MIDI_PORT_ENABLED | MIDI_PORT_DYNAMIC | MIDI_PORT_SAVED);
}

void driver_delete(test_driver *x, midiport *port, long *ok)
{
    *ok = !x->keep_ports;
    if (*ok) port->marked = 1;
}

void driver_portenable(test_driver *, midiport *port, long previous)
{
    g_log.push_back("portenable " + std::string(port->name->name) + " was " + std::to_string(previous));
}

void driver_saveprefs(test_driver *, binbuf *b) { preferences_addraw(b, "ssl", gensym("#MD"), gensym("speed"), 3L); }

void driver_speed(test_driver *, long n) { g_log.push_back("speed " + std::to_string(n)); }

void *driver_new()
{
    auto *x = static_cast<test_driver *>(object_alloc(class_findbyname(nullptr, gensym("mididummy"))));
    x->refuse = g_refuse_next;
    x->keep_ports = 0;
    return x;
}

kel_class *driver_class()
{
    static kel_class *c = [] {
        kel_class *k =
            class_new("mididummy", reinterpret_cast<kel_method>(&driver_new), nullptr, sizeof(test_driver), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_info), "mididriverinfo", 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_setup), "setup", 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_create), "createinport", ATYPE_GIMME, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_create), "createoutport", ATYPE_GIMME, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_delete), "deleteinport", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_portenable), "portenable", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_saveprefs), "saveprefs", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_speed), "speed", ATYPE_LONG, 0);
        class_register(nullptr, k);
        return k;
    }();
    return c;
}

test_driver *install_driver()
{
    driver_class();
    auto *x = static_cast<test_driver *>(driver_new());
    return kel::midi_install_driver(&x->d.header) ? x : nullptr;
}

// Sends a message line to the manager, as "midi LINE" to kel would.
void to_manager(const char *text)
{
    atom argv[64];
    long argc = 0;
    kel::binbuf_parse_text(text, std::strlen(text), &argc, argv, 64);
    ASSERT_GT(argc, 0);
    typedmess(gensym("#SM")->thing, argv[0].word.w_sym, argc - 1, argv + 1);
}

void enqueue(const char *port, const bytes &b)
{
    midiport *p = sysmidi_nametoport(gensym(port), MIDI_INPUT);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(sysmidi_enqbigpacket(p, b.data(), long(b.size()), 0, 1), 0);
}

void drain()
{
    while (kel::midi_poll_one(0)) {
    }
}

// Every MIDI test writes its preferences files into a folder of its own.
class midi_prefs_folder {
public:
    midi_prefs_folder() { kel::preferences_set_folder(std::filesystem::canonical(dir.path()).string()); }
    ~midi_prefs_folder() { kel::preferences_set_folder(""); }
    std::string folder() const { return std::filesystem::canonical(dir.path()).string(); }

private:
    kel::test::temp_dir dir{"kel-midi-prefs"};
};

class Midi : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_log.clear();
        g_refuse_next = 0;
        driver = install_driver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override
    {
        for (listener *x : listeners) unlisten_free(x);
        kel::midi_stop();
    }
    void listen_all(bool sysexin, bool midiin)
    {
        for (long list = 0; list < MIDI_LIST_COUNT; list++) {
            if ((list == MIDI_LIST_SYSEXIN && !sysexin) || (list == MIDI_LIST_MIDIIN && !midiin)) continue;
            listeners.push_back(listen_on(list));
        }
    }
    midi_prefs_folder prefs;
    test_driver *driver = nullptr;
    std::vector<listener *> listeners;
};

// --- the parser ---

struct parse_case {
    const char *name;
    const char *port;
    std::vector<bytes> packets;
    bool sysexin;
    bool midiin;
    strings expected;
};

TEST_F(Midi, ParsedInputReachesItsListeners)
{
    const parse_case cases[] = {
        {"note-on", "in1", {{0x90, 0x3C, 0x40}}, false, false, {"notein in1 1 60 64"}},
        {"running status across packets",
         "in1",
         {{0x90, 0x3C, 0x40}, {0x3E, 0x40}},
         false,
         false,
         {"notein in1 1 60 64", "notein in1 1 62 64"}},
        {"a message split over two packets", "in1", {{0x93, 0x3C}, {0x41}}, false, false, {"notein in1 4 60 65"}},
        {"every message of a packet",
         "in1",
         {{0x90, 0x3C, 0x40, 0x3E, 0x41}},
         false,
         false,
         {"notein in1 1 60 64", "notein in1 1 62 65"}},
        {"note-off as velocity 0", "in1", {{0x80, 0x3C, 0x40}}, false, false, {"notein in1 1 60 0"}},
        {"note-on velocity 0", "in1", {{0x9F, 0x3C, 0x00}}, false, false, {"notein in1 16 60 0"}},
        {"polyphonic pressure", "in1", {{0xA1, 0x3C, 0x22}}, false, false, {"polyin in1 2 60 34"}},
        {"control change", "in1", {{0xB0, 0x07, 0x64}}, false, false, {"ctlin in1 1 7 100"}},
        {"program change 0", "in1", {{0xC0, 0x00}}, false, false, {"pgmin in1 1 0"}},
        {"channel pressure, running",
         "in1",
         {{0xD2, 0x10, 0x11}},
         false,
         false,
         {"touchin in1 3 16", "touchin in1 3 17"}},
        {"bend as its high byte", "in1", {{0xE0, 0x7F, 0x40}}, false, false, {"bendin in1 1 64"}},
        {"a port with offset 16", "in2", {{0x91, 0x3C, 0x40}}, false, false, {"notein in2 18 60 64"}},
        {"real-time inside a message",
         "in1",
         {{0x90, 0x3C, 0xF8, 0x40}},
         false,
         true,
         {"midiin in1 90", "midiin in1 3c", "rtin in1 f8", "midiin in1 40", "notein in1 1 60 64"}},
        {"real-time alone", "in1", {{0xFA}}, false, true, {"rtin in1 fa"}},
        {"system exclusive to sysexin",
         "in1",
         {{0xF0, 0x7E, 0x3C}, {0x40, 0xF7}},
         true,
         false,
         {"sysexin in1 f0", "sysexin in1 7e", "sysexin in1 3c", "sysexin in1 40", "sysexin in1 f7"}},
        {"system exclusive data is never channel data",
         "in1",
         {{0x90, 0x3C, 0x40}, {0xF0, 0x3C, 0x40, 0xF7}, {0x3E, 0x40}},
         false,
         false,
         {"notein in1 1 60 64"}},
        {"a status byte ends an unterminated system exclusive",
         "in1",
         {{0xF0, 0x01}, {0x90, 0x3C, 0x40}},
         true,
         false,
         {"sysexin in1 f0", "sysexin in1 1", "notein in1 1 60 64"}},
        {"data without a status", "in1", {{0x3C, 0x40}}, false, false, {}},
    };
    listen_all(true, true);
    for (const parse_case &c : cases) {
        SCOPED_TRACE(c.name);
        // Every port starts each case without running status.
        for (const char *name : {"in1", "in2"}) {
            midiport *p = sysmidi_nametoport(gensym(name), MIDI_INPUT);
            p->running_kind = -1;
            p->sysex = 0;
            p->pending = 0;
        }
        for (listener *x : listeners) sysmidi_unlisten(-1, &x->ob);
        for (listener *x : listeners)
            if ((x->list != MIDI_LIST_SYSEXIN || c.sysexin) && (x->list != MIDI_LIST_MIDIIN || c.midiin))
                sysmidi_listen(x->list, &x->ob);
        g_log.clear();
        for (const bytes &b : c.packets) enqueue(c.port, b);
        drain();
        EXPECT_EQ(g_log, c.expected);
    }
}

TEST_F(Midi, ListenersLeavingDuringAWalkAreSkippedSafely)
{
    // A listener that takes every listener off its list when it hears.
    listeners.push_back(listen_on(MIDI_LIST_NOTEIN));
    listeners.push_back(listen_on(MIDI_LIST_NOTEIN));
    struct leaver {
        object ob;
    };
    static std::vector<listener *> *others;
    others = &listeners;
    static kel_class *c = [] {
        kel_class *k = class_new("midi_test_leaver", nullptr, nullptr, sizeof(leaver), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(+[](leaver *, midiport *, long, long, long) {
                            g_log.push_back("leaver");
                            for (listener *x : *others) sysmidi_unlisten(MIDI_LIST_NOTEIN, &x->ob);
                        }),
                        "input2", ATYPE_CANT, 0);
        class_register(nullptr, k);
        return k;
    }();
    auto *l = static_cast<leaver *>(object_alloc(c));
    ASSERT_EQ(sysmidi_listen(MIDI_LIST_NOTEIN, &l->ob), 0);
    enqueue("in1", {0x90, 0x3C, 0x40});
    drain();
    EXPECT_EQ(g_log, strings{"leaver"});
    sysmidi_unlisten(-1, &l->ob);
    freeobject(l);
}

// --- the queue ---

TEST(MidiQueue, PacketsComeOffWholeAndInOrder)
{
    struct queue_case {
        const char *name;
        size_t first_fill;  // bytes of packets put on and taken off first, to move the offsets
        size_t length;      // then packets of this length
        int count;
    };
    const queue_case cases[] = {
        {"wrap at the end", 149900, 40, 10},
        {"a packet longer than any slack near the end", 149000, 5000, 3},
        {"packets at the start", 0, 3, 100},
    };
    for (const queue_case &c : cases) {
        SCOPED_TRACE(c.name);
        auto q = std::make_unique<kel::midi::input_queue>();
        kel::midi::packet_view v;
        bytes filler(1000, 0x11);
        for (size_t moved = 0; moved + 1000 + 10 <= c.first_fill; moved += 1000 + 10) {
            ASSERT_TRUE(q->push(7, filler.data(), filler.size(), 0, true));
            ASSERT_TRUE(q->peek(&v));
            q->consume();
        }
        for (int i = 0; i < c.count; i++) {
            bytes b(c.length, static_cast<unsigned char>(i));
            ASSERT_TRUE(q->push(uint32_t(i), b.data(), b.size(), 100.0 + i, false)) << i;
        }
        for (int i = 0; i < c.count; i++) {
            ASSERT_TRUE(q->peek(&v));
            EXPECT_EQ(v.port_id, uint32_t(i));
            EXPECT_EQ(v.timestamp, 100.0 + i);
            ASSERT_EQ(v.length, c.length);
            EXPECT_EQ(bytes(v.data, v.data + v.length), bytes(c.length, static_cast<unsigned char>(i)));
            q->consume();
        }
        EXPECT_FALSE(q->peek(&v));
        EXPECT_TRUE(q->empty());
    }
}

TEST(MidiQueue, AFullQueueRefusesAndCountsTheBytes)
{
    auto q = std::make_unique<kel::midi::input_queue>();
    bytes big(10000, 0x22);
    int accepted = 0;
    while (q->push(1, big.data(), big.size(), 0, true)) accepted++;
    EXPECT_EQ(accepted, 14);
    EXPECT_EQ(q->take_dropped(), 10000u);
    EXPECT_FALSE(q->push(1, big.data(), 150000, 0, true));
    EXPECT_EQ(q->take_dropped(), 150000u);
    // Nothing accepted was overwritten.
    kel::midi::packet_view v;
    for (int i = 0; i < accepted; i++) {
        ASSERT_TRUE(q->peek(&v));
        EXPECT_EQ(bytes(v.data, v.data + v.length), big);
        q->consume();
    }
    EXPECT_TRUE(q->empty());
}

TEST(MidiQueue, TwoProducerThreadsAndOneConsumer)
{
    auto q = std::make_unique<kel::midi::input_queue>();
    constexpr int per_thread = 20000;
    auto produce = [&](uint32_t id) {
        for (int i = 0; i < per_thread; i++) {
            unsigned char b[4];
            std::memcpy(b, &i, 4);
            while (!q->push(id, b, 4, 0, true)) std::this_thread::yield();
        }
    };
    std::thread a(produce, 1), b(produce, 2);
    int next[3] = {0, 0, 0};
    int got = 0;
    while (got < 2 * per_thread) {
        kel::midi::packet_view v;
        if (!q->peek(&v)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_TRUE(v.port_id == 1 || v.port_id == 2);
        ASSERT_EQ(v.length, 4u);
        int i = 0;
        std::memcpy(&i, v.data, 4);
        ASSERT_EQ(i, next[v.port_id]++);
        q->consume();
        got++;
    }
    a.join();
    b.join();
    q->take_dropped();
    EXPECT_TRUE(q->empty());
}

TEST_F(Midi, PacketsOfADeletedPortAreDropped)
{
    listen_all(false, false);
    to_manager("createinport dyn");
    enqueue("dyn", {0x90, 0x3C, 0x40});
    enqueue("in1", {0x90, 0x3D, 0x40});
    g_log.clear();
    to_manager("deleteinport dyn");
    drain();
    strings expected;
    for (const char *list : list_names)
        if (std::strcmp(list, "sysexin") && std::strcmp(list, "midiin"))
            expected.push_back(std::string(list) + " told dyn deleted");
    expected.push_back("notein in1 1 61 64");
    EXPECT_EQ(g_log, expected);
}

TEST_F(Midi, StampsAreKeptOrTakeThePollsTime)
{
    struct stamp_case {
        const char *name;
        bool now;
        double stamp;
        double poll;
        double seen;
    };
    const stamp_case cases[] = {
        {"stamped now", true, 0, 500, 500},
        {"a stamp kept", false, 1450, 1500, 1450},
        {"a stamp over a second old", false, 100, 1500, 1500},
    };
    static double seen = -1;
    static kel_class *c = [] {
        kel_class *k = class_new("midi_test_clock", nullptr, nullptr, sizeof(object), nullptr, 0);
        class_addmethod(
            k, reinterpret_cast<kel_method>(+[](object *, midiport *, long, long, long) { clock_getftime(&seen); }),
            "input2", ATYPE_CANT, 0);
        class_register(nullptr, k);
        return k;
    }();
    auto *x = static_cast<object *>(object_alloc(c));
    sysmidi_listen(MIDI_LIST_NOTEIN, x);
    midiport *in1 = sysmidi_nametoport(gensym("in1"), MIDI_INPUT);
    const unsigned char note[] = {0x90, 0x3C, 0x40};
    for (const stamp_case &sc : cases) {
        SCOPED_TRACE(sc.name);
        ASSERT_EQ(sysmidi_enqbigpacket(in1, note, 3, sc.stamp, sc.now), 0);
        ASSERT_TRUE(kel::midi_poll_one(sc.poll));
        EXPECT_EQ(seen, sc.seen);
    }
    sysmidi_unlisten(-1, x);
    freeobject(x);
}

TEST_F(Midi, BytesAFullQueueRefusedAreReportedOnTheMainThread)
{
    midiport *in1 = sysmidi_nametoport(gensym("in1"), MIDI_INPUT);
    bytes big(10000, 0x7F);
    while (sysmidi_enqbigpacket(in1, big.data(), long(big.size()), 0, 1) == 0) {
    }
    EXPECT_EQ(sysmidi_enqbigpacket(in1, big.data(), long(big.size()), 0, 1), -1);
    console_capture console;
    drain();
    for (int i = 0; i < 100 && !kel::queue_is_empty(); i++) kel::queue_service();
    EXPECT_EQ(console.lines(), strings{error_line("sysmidi: input queue full: 20000 bytes dropped")});
}

// --- the manager's messages ---

TEST_F(Midi, BadMessagesReportAndChangeNothing)
{
    struct error_case {
        const char *message;
        const char *expected;
    };
    const error_case cases[] = {
        {"abbrev innum", "sysmidi: abbrev: missing arguments"},
        {"abbrev innum x 3", "sysmidi: abbrev: bad arguments"},
        {"abbrev innum 9 3", "sysmidi: abbrev: bad arguments"},
        {"offset 1 2 3", "sysmidi: offset: bad arguments"},
        {"portabbrev innum", "sysmidi: portabbrev: missing arguments"},
        {"portabbrev innum nowhere 99", "sysmidi: portabbrev: no port nowhere"},
        {"portoffset outnum in1 16", "sysmidi: portoffset: no port in1"},
        {"portenable", "sysmidi: portenable: missing arguments"},
        {"portenable in1 x", "sysmidi: portenable: bad arguments"},
        {"portenable nowhere 0", "sysmidi: portenable: no port nowhere"},
        {"enable 0", "sysmidi: enable: missing arguments"},
        {"outenable 5 0", "sysmidi: outenable: bad arguments"},
        {"createinport", "sysmidi: createinport: missing arguments"},
        {"createinport 3", "sysmidi: createinport: bad arguments"},
        {"createinport in1", "sysmidi: createinport: port in1 already exists"},
        {"createoutport new nodriver", "sysmidi: createoutport: no driver nodriver"},
        {"deleteinport", "sysmidi: deleteinport: missing arguments"},
        {"deleteinport nowhere", "sysmidi: deleteinport: no port nowhere"},
        {"deleteoutport out1", "sysmidi: deleteoutport: driver doesn't delete ports"},
        {"inportinfo nowhere", "sysmidi: inportinfo: no port nowhere"},
        {"outportinfo in1", "sysmidi: outportinfo: no port in1"},
        {"driver 3", "sysmidi_driver: bad message"},
    };
    for (const error_case &c : cases) {
        SCOPED_TRACE(c.message);
        console_capture console;
        to_manager(c.message);
        EXPECT_EQ(console.lines(), strings{error_line(c.expected)});
    }
    EXPECT_EQ(sysmidi_numinports(), 2);
    EXPECT_EQ(sysmidi_numoutports(), 1);
    midiport *in1 = sysmidi_nametoport(gensym("in1"), MIDI_INPUT);
    EXPECT_EQ(in1->abbrev, 'a');
    EXPECT_EQ(in1->offset, 0);
    EXPECT_EQ(in1->enabled, 1);

    // A driver without dynamic ports.
    static kel_class *bare = [] {
        kel_class *k = class_new("midibare", nullptr, nullptr, sizeof(test_driver), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_info), "mididriverinfo", 0);
        class_register(nullptr, k);
        return k;
    }();
    auto *b = static_cast<test_driver *>(object_alloc(bare));
    b->refuse = 0;
    ASSERT_TRUE(kel::midi_install_driver(&b->d.header));
    {
        console_capture console;
        to_manager("createoutport more midibare");
        EXPECT_EQ(console.lines(),
                  strings{error_line("sysmidi: createoutport: midibare does not support dynamic port creation")});
    }

    driver->keep_ports = 1;
    to_manager("createinport keeper");
    console_capture console;
    to_manager("deleteinport keeper");
    EXPECT_EQ(console.lines(), strings{error_line("sysmidi: deleteinport: port keeper cannot be deleted")});
    EXPECT_EQ(sysmidi_numinports(), 3);
}

TEST_F(Midi, SettingsAndInfo)
{
    to_manager("portabbrev innum in1 122");
    to_manager("offset innum 0 32");
    to_manager("enable 1 0");
    to_manager("portenable out1 0 1");
    to_manager("driver speed 7");
    EXPECT_EQ(g_log, (strings{"portenable in2 was 1", "portenable out1 was 1", "speed 7"}));
    console_capture console;
    to_manager("inportinfo in1");
    to_manager("inportinfo in2");
    to_manager("revert");
    EXPECT_EQ(console.lines(), (strings{"sysmidi: inportinfo: in1: driver mididummy, abbrev z, offset 32, enabled 1, "
                                        "dynamic 0",
                                        "sysmidi: inportinfo: in2: driver mididummy, abbrev b, offset 16, enabled 0, "
                                        "dynamic 0",
                                        "sysmidi: revert"}));
    // A disabled port's driver is not asked to send.
    g_log.clear();
    sysmidi_send(sysmidi_nametoport(gensym("out1"), MIDI_OUTPUT), MIDI_SEND_MESSAGE, 0x90, 60, 64);
    EXPECT_TRUE(g_log.empty());
    to_manager("outenable 0 1");
    g_log.clear();
    sysmidi_send(sysmidi_nametoport(gensym("out1"), MIDI_OUTPUT), MIDI_SEND_MESSAGE, 0x90, 60, 64);
    EXPECT_EQ(g_log, strings{"send out1 0 144 60 64"});
}

TEST(MidiManager, NothingActsBeforeADriverIsInstalled)
{
    midi_prefs_folder prefs;
    kel::midi_start_options none;
    none.setup = false;
    kel::midi_start(none);
    console_capture console;
    typedmess(gensym("#SM")->thing, gensym("createinport"), 0, nullptr);
    atom a[2] = {kel::test::S("x"), kel::test::L(1)};
    typedmess(gensym("#SM")->thing, gensym("portenable"), 2, a);
    EXPECT_TRUE(console.lines().empty());
    EXPECT_EQ(sysmidi_numinports(), 0);
    kel::midi_stop();
}

TEST(MidiManager, ARefusingDriverIsFreed)
{
    midi_prefs_folder prefs;
    g_refuse_next = 1;
    EXPECT_EQ(install_driver(), nullptr);
    g_refuse_next = 0;
    EXPECT_EQ(sysmidi_numinports(), 0);
    kel::midi_stop();
}

TEST(MidiManager, ADriverNameHoldingASlashIsRefused)
{
    midi_prefs_folder prefs;
    static kel_class *c = [] {
        kel_class *k = class_new("mid/dummy", nullptr, nullptr, sizeof(test_driver), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_info), "mididriverinfo", 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&driver_setup), "setup", 0);
        class_register(nullptr, k);
        return k;
    }();
    auto *x = static_cast<test_driver *>(object_alloc(c));
    x->refuse = 0;
    EXPECT_FALSE(kel::midi_install_driver(&x->d.header));
    EXPECT_EQ(sysmidi_numinports(), 0);
    kel::midi_stop();
}

TEST(MidiManager, ReportsWaitUntilMidiIsUsed)
{
    midi_prefs_folder prefs;
    kel::midi_start_options none;
    none.setup = false;
    kel::midi_start(none);
    console_capture console;
    sysmidi_report("No midi driver folder or default driver");
    EXPECT_TRUE(console.lines().empty());
    sysmidi_touch();
    sysmidi_touch();
    EXPECT_EQ(console.lines(), strings{error_line("No midi driver folder or default driver")});
    kel::midi_stop();
}

TEST(MidiOptions, DriverNames)
{
    struct options_case {
        const char *names;
        bool nomidisetup;
        bool setup;
        bool only;
        strings drivers;
    };
    const options_case cases[] = {
        {"", false, true, false, {}},
        {"", true, false, false, {}},
        {"none", false, false, false, {}},
        {"loopback", false, true, true, {"loopback"}},
        {"alsa,loopback", false, true, true, {"alsa", "loopback"}},
        {"alsa,,loopback,", false, true, true, {"alsa", "loopback"}},
    };
    for (const options_case &c : cases) {
        SCOPED_TRACE(c.names);
        kel::midi_start_options o = kel::midi_options_from(c.names, c.nomidisetup);
        EXPECT_EQ(o.setup, c.setup);
        EXPECT_EQ(o.only_named, c.only);
        EXPECT_EQ(o.names, c.drivers);
    }
}

// --- the loopback driver, loaded as kel loads it ---

TEST(MidiLoopback, OutputComesBackAsInput)
{
    midi_prefs_folder prefs;
    kel::midi_start_options o;
    o.only_named = true;
    o.names = {"loopback"};
    o.folder = KEL_MIDI_DRIVERS_DIR;
    kel::midi_start(o);
    ASSERT_EQ(sysmidi_numinports(), 2);
    ASSERT_EQ(sysmidi_numoutports(), 2);
    g_log.clear();
    std::vector<listener *> ls = {listen_on(MIDI_LIST_NOTEIN), listen_on(MIDI_LIST_SYSEXIN),
                                  listen_on(MIDI_LIST_PGMIN)};
    midiport *out2 = sysmidi_nametoport(gensym("b"), MIDI_OUTPUT);
    ASSERT_NE(out2, nullptr);
    sysmidi_send(out2, MIDI_SEND_MESSAGE, 0x91, 60, 64);
    sysmidi_send(out2, MIDI_SEND_MESSAGE, 0xC0, 5, 0);
    for (long b : {0xF0, 0x7D, 0xF7}) sysmidi_send(out2, MIDI_SEND_SYSEX, b, 0, 0);
    to_manager("driver inject loop1 stamp 0 128 61 0");
    to_manager("createoutport loop3");
    to_manager("createinport loop3");
    sysmidi_send(sysmidi_nametoport(gensym("loop3"), MIDI_OUTPUT), MIDI_SEND_MESSAGE, 0x90, 62, 1);
    drain();
    EXPECT_EQ(g_log, (strings{"notein loop2 18 60 64", "pgmin loop2 17 5", "sysexin loop2 f0", "sysexin loop2 7d",
                              "sysexin loop2 f7", "notein loop1 1 61 0", "notein loop3 33 62 1"}));
    console_capture console;
    to_manager("deleteinport loop3");
    to_manager("deleteinport loop2");
    EXPECT_EQ(console.lines(), strings{error_line("sysmidi: deleteinport: port loop2 cannot be deleted")});
    EXPECT_EQ(sysmidi_numinports(), 2);
    for (listener *x : ls) unlisten_free(x);
    kel::midi_stop();
}

// --- preferences ---

std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    std::erase(text, '\r');
    return text;
}

TEST(MidiPreferences, WrittenAndReadBackWithADynamicPort)
{
    midi_prefs_folder prefs;
    const std::string folder = prefs.folder();
    ASSERT_NE(install_driver(), nullptr);
    to_manager("createinport dyn");
    to_manager("portabbrev innum dyn 100");
    to_manager("portoffset innum dyn 32");
    to_manager("portenable in2 0");
    kel::midi_write_preferences();
    EXPECT_EQ(file_text(folder + "/midi@mididummy.txt"), "kel midi driverselect \"\";\n"
                                                         "#SM portabbrev innum in1 97;\n"
                                                         "#SM portoffset innum in1 0;\n"
                                                         "#SM portenable in1 1 0;\n"
                                                         "#SM portabbrev innum in2 98;\n"
                                                         "#SM portoffset innum in2 16;\n"
                                                         "#SM portenable in2 0 0;\n"
                                                         "#SM createport innum dyn;\n"
                                                         "#SM portabbrev innum dyn 100;\n"
                                                         "#SM portoffset innum dyn 32;\n"
                                                         "#SM portenable dyn 1 0;\n"
                                                         "#MD speed 3;\n");
    kel::midi_stop();

    g_log.clear();
    ASSERT_NE(install_driver(), nullptr);
    kel::midi_read_preferences();
    midiport *dyn = sysmidi_nametoport(gensym("dyn"), MIDI_INPUT);
    ASSERT_NE(dyn, nullptr);
    EXPECT_TRUE(dyn->dynamic);
    EXPECT_EQ(dyn->abbrev, 100);
    EXPECT_EQ(dyn->offset, 32);
    EXPECT_EQ(sysmidi_nametoport(gensym("in2"), MIDI_INPUT)->enabled, 0);
    EXPECT_EQ(g_log, (strings{"portenable in1 was 1", "portenable in2 was 1", "driver createinport dyn",
                              "portenable dyn was 1", "speed 3"}));
    kel::midi_stop();
}

}  // namespace
