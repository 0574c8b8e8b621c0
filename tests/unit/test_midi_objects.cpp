// The MIDI objects: their arguments and outlet layouts, what the output
// objects hand to a driver's send routine, the byte formatters, tcin, and
// the objects' lives while ports come and go.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/midi.h"
#include "kernel/files/preferences.h"
#include "midi/midi_manager.h"
#include "midi/midi_objects.h"
#include "object_support.h"
#include "temp_dir.h"

namespace kel::test {
namespace {

using bytes = std::vector<unsigned char>;

std::string describe_all(const std::vector<atom> &args)
{
    std::string text;
    for (const atom &a : args) text.append(" ").append(describe(a));
    return text;
}

// --- a driver: input ports "in1" (a, offset 0) and "in2" (b, offset 16);
// output ports "out1" (a, offset 0) and "out2" (b, offset 16) unless
// g_no_outputs; dynamic ports on request ---

struct objects_driver {
    mididriver d;
};

bool g_no_outputs = false;

void objects_driver_send(object *, midiport *port, long kind, long status, long data1, long data2)
{
    note("send %s %ld %ld %ld %ld", port->name->name, kind, status, data1, data2);
}

void objects_driver_info(objects_driver *x)
{
    x->d.accept = 1;
    x->d.send = &objects_driver_send;
}

midiport *make_port(objects_driver *x, const char *name, long direction, short abbrev, short offset, long flags)
{
    midiport *p = sysmidi_createport(sysmidi_uniqueid(), 0, gensym(name), &x->d.header, direction, flags);
    if (p) {
        p->abbrev = abbrev;
        p->offset = offset;
        p->running_channel = offset;
    }
    return p;
}

void objects_driver_setup(objects_driver *x)
{
    make_port(x, "in1", MIDI_INPUT, 'a', 0, MIDI_PORT_ENABLED);
    make_port(x, "in2", MIDI_INPUT, 'b', 16, MIDI_PORT_ENABLED);
    if (g_no_outputs) return;
    make_port(x, "out1", MIDI_OUTPUT, 'a', 0, MIDI_PORT_ENABLED);
    make_port(x, "out2", MIDI_OUTPUT, 'b', 16, MIDI_PORT_ENABLED);
}

void objects_driver_create(objects_driver *x, symbol *s, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) return;
    const long direction = s == gensym("createinport") ? MIDI_INPUT : MIDI_OUTPUT;
    make_port(x, argv[0].word.w_sym->name, direction, 'x', 32, MIDI_PORT_ENABLED | MIDI_PORT_DYNAMIC);
}

void objects_driver_delete(objects_driver *, midiport *port, long *ok)
{
    port->marked = 1;
    *ok = 1;
}

kel_class *objects_driver_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("midiobjectsdriver", nullptr, nullptr, sizeof(objects_driver), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&objects_driver_info), "mididriverinfo", 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&objects_driver_setup), "setup", 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&objects_driver_create), "createinport", ATYPE_GIMME, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&objects_driver_create), "createoutport", ATYPE_GIMME, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&objects_driver_delete), "deleteinport", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&objects_driver_delete), "deleteoutport", ATYPE_CANT, 0);
        class_register(nullptr, k);
        return k;
    }();
    return c;
}

// Sends "selector args" to the manager, as "midi ..." to kel would.
void to_manager(const char *text)
{
    atom argv[16];
    long argc = 0;
    binbuf_parse_text(text, std::strlen(text), &argc, argv, 16);
    ASSERT_GT(argc, 0);
    typedmess(gensym("#SM")->thing, argv[0].word.w_sym, argc - 1, argv + 1);
}

void inject(const char *port, const bytes &b)
{
    midiport *p = sysmidi_nametoport(gensym(port), MIDI_INPUT);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(sysmidi_enqbigpacket(p, b.data(), long(b.size()), 0, 1), 0);
    while (midi_poll_one(0)) {
    }
}

class MidiObjects : public ObjectTest {
protected:
    void SetUp() override
    {
        ObjectTest::SetUp();
        preferences_set_folder(std::filesystem::canonical(prefs.path()).string());
        ASSERT_TRUE(midi_objects_init());
        driver = static_cast<object *>(object_alloc(objects_driver_class()));
        ASSERT_TRUE(midi_install_driver(driver));
    }
    void TearDown() override
    {
        for (object *x : made_) freeobject(x);
        made_.clear();
        midi_stop();
        g_no_outputs = false;
        preferences_set_folder("");
        ObjectTest::TearDown();
    }
    // Makes the object and a recorder on each of its outlets, tagged o0, o1, ...
    object *make_recorded(const char *text)
    {
        object *x = make(text);
        if (!x) return nullptr;
        static const char *const tags[] = {"o0", "o1", "o2", "o3", "o4", "o5", "o6", "o7"};
        for (int k = 0; k < outlet_count(x) && k < 8; k++) rec_.attach(x, k, tags[k]);
        return x;
    }
    temp_dir prefs{"kel-midi-objects-prefs"};
    object *driver = nullptr;
};

// --- arguments ---

struct input_args_case {
    const char *cls;
    bool filtered;
    std::vector<atom> args;
    const char *port;  // null: none
    long channel;
    long filter;
    const char *error;  // null: none
};

TEST_F(MidiObjects, InputArguments)
{
    const input_args_case cases[] = {
        {"notein", false, {}, nullptr, 0, -1, nullptr},
        {"notein", false, {L(3)}, nullptr, 3, -1, nullptr},
        {"notein", false, {L(0)}, nullptr, 0, -1, nullptr},
        {"notein", false, {L(-4)}, nullptr, 0, -1, nullptr},
        {"notein", false, {L(32)}, nullptr, 32, -1, nullptr},  // absolute: in2's channel 16
        {"notein", false, {L(33)}, nullptr, 0, -1, nullptr},   // beyond 16 x 2 ports: all
        {"notein", false, {F(2.7)}, nullptr, 2, -1, nullptr},
        {"notein", false, {S("b")}, "in2", 0, -1, nullptr},
        {"notein", false, {S("in2"), L(3)}, "in2", 3, -1, nullptr},
        {"notein", false, {S("b"), L(19)}, "in2", 3, -1, nullptr},  // relative to the port
        {"notein", false, {S("zz"), L(5)}, nullptr, 5, -1, "notein: no MIDI input port zz: listening on all ports"},
        {"notein", false, {L(1), L(2)}, nullptr, 1, -1, "notein: extra argument ignored"},
        {"ctlin", true, {L(7)}, nullptr, 0, 7, nullptr},
        {"ctlin", true, {L(7), L(2)}, nullptr, 2, 7, nullptr},
        {"ctlin", true, {S("a"), L(7), L(2)}, "in1", 2, 7, nullptr},
        {"ctlin", true, {L(200)}, nullptr, 0, -1, nullptr},
        {"ctlin", true, {L(-1), L(5)}, nullptr, 5, -1, nullptr},
        {"polyin", true, {L(60), L(17)}, nullptr, 17, 60, nullptr},
    };
    for (const input_args_case &c : cases) {
        console_capture console;
        const midi::midi_args got = midi::parse_input_args(c.cls, c.filtered, long(c.args.size()), c.args.data());
        const std::string what = std::string(c.cls) + " " + describe_all(c.args);
        EXPECT_EQ(got.port ? got.port->name->name : std::string("none"), c.port ? c.port : "none") << what;
        EXPECT_EQ(got.channel, c.channel) << what;
        EXPECT_EQ(got.filter, c.filter) << what;
        if (c.error)
            EXPECT_EQ(console.last(), error_line(c.error)) << what;
        else
            EXPECT_TRUE(console.lines().empty()) << what;
    }
}

TEST_F(MidiObjects, OutputArguments)
{
    const input_args_case cases[] = {
        {"noteout", false, {}, nullptr, 1, -1, nullptr},
        {"noteout", false, {L(999)}, nullptr, 999, -1, nullptr},  // clamped when sent
        {"noteout", false, {S("b"), L(3)}, "out2", 3, -1, nullptr},
        {"ctlout", false, {S("zz")}, nullptr, 1, -1, "ctlout: no MIDI output port zz: sending by channel"},
    };
    for (const input_args_case &c : cases) {
        console_capture console;
        const midi::midi_args got = midi::parse_output_args(c.cls, long(c.args.size()), c.args.data());
        const std::string what = std::string(c.cls) + " " + describe_all(c.args);
        EXPECT_EQ(got.port ? got.port->name->name : std::string("none"), c.port ? c.port : "none") << what;
        EXPECT_EQ(got.channel, c.channel) << what;
        if (c.error)
            EXPECT_EQ(console.last(), error_line(c.error)) << what;
        else
            EXPECT_TRUE(console.lines().empty()) << what;
    }
}

// --- outlet layouts ---

TEST_F(MidiObjects, InletsAndOutletsOfEveryClass)
{
    const struct {
        const char *text;
        int inlets;
        int outlets;
    } cases[] = {
        {"notein", 0, 3},        {"notein 3", 0, 2},    {"notein b", 0, 3},  {"notein zz", 0, 3}, {"polyin", 0, 3},
        {"polyin 60", 0, 2},     {"polyin 60 2", 0, 1}, {"ctlin", 0, 3},     {"ctlin 7", 0, 2},   {"ctlin 7 1", 0, 1},
        {"ctlin a 200 1", 0, 2}, {"pgmin", 0, 2},       {"pgmin 1", 0, 1},   {"touchin", 0, 2},   {"bendin b 16", 0, 1},
        {"midiin", 0, 1},        {"sysexin a", 0, 1},   {"rtin", 0, 1},      {"tcin", 0, 2},      {"noteout", 2, 0},
        {"polyout", 2, 0},       {"ctlout", 2, 0},      {"pgmout", 1, 0},    {"touchout", 1, 0},  {"bendout", 1, 0},
        {"midiout", 0, 0},       {"midiformat", 6, 1},  {"midiparse", 0, 7},
    };
    for (const auto &c : cases) {
        console_capture console;
        object *x = make(c.text);
        ASSERT_NE(x, nullptr) << c.text;
        EXPECT_EQ(inlet_count(x), c.inlets) << c.text;
        EXPECT_EQ(outlet_count(x), c.outlets) << c.text;
    }
}

// --- input: what reaches each outlet, right to left ---

struct input_case {
    const char *text;
    const char *port;
    bytes packet;
    std::string expected;
};

TEST_F(MidiObjects, InputReachesTheOutletsRightToLeft)
{
    const input_case cases[] = {
        {"notein", "in1", {0x91, 60, 100}, "o2@0 2 | o1@0 100 | o0@0 60"},
        {"notein", "in2", {0x80, 60, 100}, "o2@0 17 | o1@0 0 | o0@0 60"},
        {"notein b", "in2", {0x92, 61, 1}, "o2@0 3 | o1@0 1 | o0@0 61"},
        {"notein b", "in1", {0x92, 61, 1}, ""},
        {"notein b 3", "in2", {0x92, 61, 1}, "o1@0 1 | o0@0 61"},
        {"notein b 3", "in2", {0x93, 61, 1}, ""},
        {"notein 19", "in2", {0x92, 61, 1}, "o1@0 1 | o0@0 61"},  // no port: the absolute channel
        {"notein 3", "in2", {0x92, 61, 1}, ""},
        {"ctlin", "in1", {0xB0, 7, 99}, "o2@0 1 | o1@0 7 | o0@0 99"},
        {"ctlin 7", "in1", {0xB0, 7, 99, 8, 98}, "o1@0 1 | o0@0 99"},
        {"polyin 60 1", "in1", {0xA0, 60, 5, 61, 6}, "o0@0 5"},
        {"pgmin", "in1", {0xC0, 0}, "o1@0 1 | o0@0 1"},
        {"pgmin", "in1", {0xC0, 127}, "o1@0 1 | o0@0 128"},
        {"touchin b", "in2", {0xDF, 9}, "o1@0 16 | o0@0 9"},
        {"bendin", "in1", {0xE0, 127, 64}, "o1@0 1 | o0@0 64"},
        {"midiin a", "in1", {0x90, 60, 0xF8, 1}, "o0@0 144 | o0@0 60 | o0@0 1"},
        {"rtin", "in2", {0x90, 0xFA, 60, 1}, "o0@0 250"},
        {"sysexin", "in1", {0xF0, 1, 0xF8, 2, 0xF7, 3}, "o0@0 240 | o0@0 1 | o0@0 2 | o0@0 247"},
    };
    for (const input_case &c : cases) {
        object *x = make_recorded(c.text);
        ASSERT_NE(x, nullptr) << c.text;
        g_log.clear();
        inject(c.port, c.packet);
        EXPECT_EQ(g_log, c.expected) << c.text << " from " << c.port;
        forget(x);
        inject("in1", {0x80, 0, 0});  // ends any running status
    }
}

TEST_F(MidiObjects, EnableAndPortMessages)
{
    object *x = make_recorded("notein a");
    send_text(x, "enable 0");
    g_log.clear();
    inject("in1", {0x90, 60, 1});
    EXPECT_EQ(g_log, "");
    send_text(x, "enable 1");
    send_text(x, "b");  // any symbol rebinds
    inject("in1", {0x90, 61, 1});
    inject("in2", {0x90, 62, 1});
    EXPECT_EQ(g_log, "o2@0 1 | o1@0 1 | o0@0 62");
    console_capture console;
    send_text(x, "port nowhere");
    EXPECT_EQ(console.last(), error_line("notein: no MIDI input port nowhere"));
    send_text(x, "port");  // every port again
    g_log.clear();
    inject("in1", {0x90, 63, 1});
    EXPECT_EQ(g_log, "o2@0 1 | o1@0 1 | o0@0 63");
    send_text(x, "dblclick");
    EXPECT_EQ(console.lines().size(), 1u);  // accepted without a word
}

// --- output: what the driver's send routine is handed ---

struct output_case {
    const char *text;
    std::vector<std::pair<int, const char *>> messages;  // inlet, message
    std::string expected;
};

TEST_F(MidiObjects, OutputObjectsClipAndClamp)
{
    const output_case cases[] = {
        {"noteout", {{1, "int 100"}, {2, "int 3"}, {0, "int 60"}}, "send out1 0 146 60 100"},
        {"noteout", {{0, "list 200 -5 0"}}, "send out1 0 144 127 0"},
        {"noteout", {{0, "list 60 64 999"}}, "send out2 0 159 60 64"},
        {"noteout", {{0, "list 60 64 17"}}, "send out2 0 144 60 64"},
        {"noteout b 3", {{0, "int 61"}}, "send out2 0 146 61 0"},
        {"noteout b", {{2, "int 40"}, {0, "int 1"}}, "send out2 0 159 1 0"},  // bound: 1 .. 16
        {"noteout", {{0, "float 60.9"}}, "send out1 0 144 60 0"},
        {"polyout", {{0, "list 5 60 2"}}, "send out1 0 161 60 5"},
        {"ctlout", {{1, "int 7"}, {0, "int -3"}}, "send out1 0 176 7 0"},
        {"ctlout", {{0, "list 300 500 1"}}, "send out1 0 176 127 127"},
        {"pgmout",
         {{0, "int 1"}, {0, "int 128"}, {0, "int 0"}, {0, "int 999"}},
         "send out1 0 192 0 0 | send out1 0 192 127 0 | send out1 0 192 0 0 | send out1 0 192 127 0"},
        {"touchout", {{1, "int 0"}, {0, "int 50"}}, "send out1 0 208 50 0"},
        {"bendout", {{0, "list 200 32"}}, "send out2 0 239 0 127"},
        {"noteout", {{0, "enable 0"}, {0, "int 60"}, {0, "enable 1"}, {0, "int 61"}}, "send out1 0 144 61 0"},
        {"noteout a",
         {{0, "b"}, {0, "int 60"}, {0, "port"}, {2, "int 20"}, {0, "int 61"}},
         "send out2 0 144 60 0 | send out2 0 147 61 0"},
    };
    for (const output_case &c : cases) {
        object *x = make(c.text);
        ASSERT_NE(x, nullptr) << c.text;
        g_log.clear();
        for (const auto &[inlet, message] : c.messages) send_text(x, message, inlet);
        EXPECT_EQ(g_log, c.expected) << c.text;
        forget(x);
    }
}

TEST_F(MidiObjects, WithoutOutputPortsNothingIsSent)
{
    midi_stop();
    g_no_outputs = true;
    driver = static_cast<object *>(object_alloc(objects_driver_class()));
    ASSERT_TRUE(midi_install_driver(driver));
    for (const char *text : {"noteout", "noteout 0", "noteout 999", "ctlout a", "bendout", "midiout"}) {
        object *x = make(text);
        ASSERT_NE(x, nullptr) << text;
        g_log.clear();
        send_text(x, "list 60 64 1");
        send_text(x, "list 144 60 64");
        EXPECT_EQ(g_log, "") << text;
    }
}

// A port deleted under a bound object: the object goes back to sending by
// channel, and once the last output port is gone it sends nothing.
TEST_F(MidiObjects, OutputPortsDeletedUnderBoundObjects)
{
    to_manager("createoutport extra");
    object *note = make("noteout extra 2");
    object *raw = make("midiout extra");
    ASSERT_NE(note, nullptr);
    g_log.clear();
    send_text(note, "int 60");
    send_text(raw, "list 144 61 1");
    EXPECT_EQ(g_log, "send extra 0 145 60 0 | send extra 0 144 61 1");
    to_manager("deleteoutport extra");
    g_log.clear();
    send_text(note, "int 62");
    send_text(raw, "list 144 63 1");
    EXPECT_EQ(g_log, "send out1 0 145 62 0 | send out1 0 144 63 1");
    to_manager("deleteoutport out1");
    to_manager("deleteoutport out2");
    g_log.clear();
    send_text(note, "int 64");
    send_text(raw, "list 144 65 1");
    EXPECT_EQ(g_log, "");
}

TEST_F(MidiObjects, InputPortsDeletedUnderBoundObjects)
{
    to_manager("createinport extra");
    make_recorded("notein extra 2");
    make_recorded("midiin extra");
    g_log.clear();
    inject("extra", {0x91, 60, 1});
    EXPECT_EQ(g_log, "o0@0 145 | o0@0 60 | o0@0 1 | o1@0 1 | o0@0 60");
    to_manager("deleteinport extra");
    g_log.clear();
    inject("in1", {0x91, 61, 1});  // every port now, on channel 2
    inject("in1", {0x92, 62, 1});
    EXPECT_EQ(g_log, "o0@0 145 | o0@0 61 | o0@0 1 | o1@0 1 | o0@0 61 | o0@0 146 | o0@0 62 | o0@0 1");
}

// --- a listener freed by another listener's output ---

struct freeing_receiver {
    object ob;
    object **victim;
};

void *freeing_receiver_int(freeing_receiver *x, long)
{
    if (*x->victim) {
        freeobject(*x->victim);
        *x->victim = nullptr;
    }
    return nullptr;
}

kel_class *freeing_receiver_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("midi_freeing_receiver", nullptr, nullptr, sizeof(freeing_receiver), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&freeing_receiver_int), "int", ATYPE_LONG, 0);
        return k;
    }();
    return c;
}

TEST_F(MidiObjects, AListenerFreedDuringTheWalkHearsNothingMore)
{
    object *victim = make_object("notein");
    ASSERT_NE(victim, nullptr);
    rec_.attach(victim, 0, "victim");
    object *killer = make_recorded("notein");  // newer: heard first
    auto *r = static_cast<freeing_receiver *>(object_alloc(freeing_receiver_class()));
    r->victim = &victim;
    outlet_add(outlet_at(killer, 2), r);
    g_log.clear();
    inject("in1", {0x90, 60, 1, 61, 2});
    EXPECT_EQ(victim, nullptr);
    EXPECT_EQ(g_log, "o2@0 1 | o1@0 1 | o0@0 60 | o2@0 1 | o1@0 2 | o0@0 61");
    forget(killer);
    freeobject(r);
}

// --- midiout: ints assembled into whole messages ---

TEST_F(MidiObjects, MidioutAssemblesWholeMessages)
{
    const struct {
        const char *name;
        const char *ints;
        std::string expected;
    } cases[] = {
        {"note", "list 144 60 64", "send out1 0 144 60 64"},
        {"running status", "list 144 60 64 62 0", "send out1 0 144 60 64 | send out1 0 144 62 0"},
        {"one data byte", "list 193 5 6", "send out1 0 193 5 0 | send out1 0 193 6 0"},
        {"cut short", "list 144 60 176 7 99", "send out1 0 176 7 99"},
        {"out of range", "list 144 300 -1 60 256 64", "send out1 0 144 60 64"},
        {"data without status", "list 60 64", ""},
        {"real time inside", "list 144 60 248 64", "send out1 1 248 0 0 | send out1 0 144 60 64"},
        {"system exclusive", "list 240 1 2 247",
         "send out1 2 240 0 0 | send out1 2 1 0 0 | send out1 2 2 0 0 | "
         "send out1 2 247 0 0"},
        {"quarter frame", "list 241 35", "send out1 1 241 0 0 | send out1 1 35 0 0"},
        {"song position", "list 242 1 2", "send out1 1 242 0 0 | send out1 1 1 0 0 | send out1 1 2 0 0"},
        {"tune request", "list 246 60", "send out1 1 246 0 0"},
        {"port b", "list 144 60 64", "send out2 0 144 60 64"},
    };
    for (const auto &c : cases) {
        object *x = make(std::string(c.name) == "port b" ? "midiout b" : "midiout");
        ASSERT_NE(x, nullptr);
        g_log.clear();
        send_text(x, c.ints);
        EXPECT_EQ(g_log, c.expected) << c.name;
        forget(x);
    }
}

// --- midiformat and midiparse ---

TEST_F(MidiObjects, MidiformatBytes)
{
    const struct {
        const char *text;
        int inlet;
        const char *message;
        std::string expected;
    } cases[] = {
        {"midiformat", 0, "list 60 100", "o0@0 144 | o0@0 60 | o0@0 100"},
        {"midiformat 2", 0, "int 60", "o0@0 145 | o0@0 60 | o0@0 0"},
        {"midiformat", 1, "list 200 61", "o0@0 160 | o0@0 61 | o0@0 127"},
        {"midiformat", 2, "list 100 7", "o0@0 176 | o0@0 7 | o0@0 100"},
        {"midiformat 16", 3, "int 5", "o0@0 207 | o0@0 5"},
        {"midiformat 99", 4, "int -1", "o0@0 223 | o0@0 0"},
        {"midiformat", 5, "int 90", "o0@0 224 | o0@0 0 | o0@0 90"},
        {"midiformat", 6, "int 3", ""},
    };
    for (const auto &c : cases) {
        object *x = make_recorded(c.text);
        ASSERT_NE(x, nullptr);
        g_log.clear();
        send_text(x, c.message, c.inlet);
        EXPECT_EQ(g_log, c.expected) << c.text << " inlet " << c.inlet;
        forget(x);
    }
    object *x = make_recorded("midiformat");
    send_text(x, "int 3", 6);
    send_text(x, "int 0", 6);  // clamped to 1
    g_log.clear();
    send_text(x, "int 9", 4);
    EXPECT_EQ(g_log, "o0@0 208 | o0@0 9");
}

TEST_F(MidiObjects, MidiparseMessages)
{
    const struct {
        const char *name;
        const char *ints;
        std::string expected;
    } cases[] = {
        {"note", "list 145 60 100", "o6@0 2 | o0@0 list L:60 L:100"},
        {"note-off", "list 128 60 100", "o6@0 1 | o0@0 list L:60 L:0"},
        {"running status", "list 144 60 1 61 2", "o6@0 1 | o0@0 list L:60 L:1 | o6@0 1 | o0@0 list L:61 L:2"},
        {"poly", "list 160 60 5", "o6@0 1 | o1@0 list L:5 L:60"},
        {"control", "list 191 7 99", "o6@0 16 | o2@0 list L:99 L:7"},
        {"program", "list 192 5", "o6@0 1 | o3@0 5"},
        {"touch", "list 208 9", "o6@0 1 | o4@0 9"},
        {"bend", "list 224 1 90", "o6@0 1 | o5@0 90"},
        {"real time inside", "list 144 60 248 1", "o6@0 1 | o0@0 list L:60 L:1"},
        {"system exclusive passed over", "list 144 240 60 1 247 2", ""},
        {"status after system exclusive", "list 240 1 247 144 60 1", "o6@0 1 | o0@0 list L:60 L:1"},
        {"system common ends running status", "list 144 60 1 241 0 60 1", "o6@0 1 | o0@0 list L:60 L:1"},
        {"out of range", "list 144 300 60 -1 1", "o6@0 1 | o0@0 list L:60 L:1"},
        {"cut short", "list 144 60 176 7 1", "o6@0 1 | o2@0 list L:1 L:7"},
    };
    for (const auto &c : cases) {
        object *x = make_recorded("midiparse");
        ASSERT_NE(x, nullptr);
        g_log.clear();
        send_text(x, c.ints);
        EXPECT_EQ(g_log, c.expected) << c.name;
        forget(x);
    }
}

// --- tcin ---

TEST_F(MidiObjects, TcinTimes)
{
    const struct {
        const char *name;
        bytes packet;
        std::string expected;
    } cases[] = {
        {"quarter frames",
         {0xF1, 0x04, 0xF1, 0x10, 0xF1, 0x23, 0xF1, 0x30, 0xF1, 0x42, 0xF1, 0x50, 0xF1, 0x61, 0xF1, 0x72},
         "o1@0 25 | o0@0 list L:1 L:2 L:3 L:4"},
        {"drop-frame rate",
         {0xF1, 0x00, 0xF1, 0x10, 0xF1, 0x20, 0xF1, 0x30, 0xF1, 0x40, 0xF1, 0x50, 0xF1, 0x67, 0xF1, 0x75},
         "o1@0 29 | o0@0 list L:23 L:0 L:0 L:0"},
        {"without piece 0", {0xF1, 0x10, 0xF1, 0x20, 0xF1, 0x30, 0xF1, 0x40, 0xF1, 0x50, 0xF1, 0x60, 0xF1, 0x70}, ""},
        {"out of order",
         {0xF1, 0x00, 0xF1, 0x20, 0xF1, 0x10, 0xF1, 0x30, 0xF1, 0x40, 0xF1, 0x50, 0xF1, 0x60, 0xF1, 0x70},
         ""},
        {"full frame",
         {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x61, 0x0A, 0x0B, 0x0C, 0xF7},
         "o1@0 30 | o0@0 list L:1 L:10 L:11 L:12"},
        {"another universal message", {0xF0, 0x7F, 0x7F, 0x01, 0x02, 0x61, 0x0A, 0x0B, 0x0C, 0xF7}, ""},
        {"full frame cut short", {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x61, 0x0A, 0xF7}, ""},
    };
    for (const auto &c : cases) {
        object *x = make_recorded("tcin");
        ASSERT_NE(x, nullptr);
        g_log.clear();
        inject("in1", c.packet);
        EXPECT_EQ(g_log, c.expected) << c.name;
        forget(x);
    }
}

}  // namespace
}  // namespace kel::test
