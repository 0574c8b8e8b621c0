// Outlets, inlets and proxies: delivery, conversion, spreading, connecting,
// flattening through subpatcher inlets and outlets, and the depth guard.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>

#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/depth.h"
#include "kernel/wires/outlets.h"
#include "kernel/wires/wire_pairs.h"

namespace {

using kel::test::check_failed_line;
using kel::test::console_capture;
using kel::test::error_line;
using kel::test::warning_line;

std::vector<std::string> g_log;

void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void note(const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_log.push_back(text);
}

// A receiver that notes what reaches it, named so the log tells who got it.
struct node {
    object header;
    const char *name;
    outlet *out;
    outlet *out2;
    long inlet_number;  // set by proxies
    long seen_inlet;    // what proxy_getinlet answered inside a method
};

#define FN(f) reinterpret_cast<kel_method>(&(f))

void *node_bang(node *x)
{
    note("%s bang", x->name);
    outlet_bang(x->out);
    return nullptr;
}
void *node_int(node *x, long n)
{
    note("%s int %ld", x->name, n);
    outlet_int(x->out, n);
    return nullptr;
}
void *node_float(node *x, double f)
{
    note("%s float %g", x->name, f);
    return nullptr;
}
void *node_in1(node *x, long n)
{
    note("%s in1 %ld", x->name, n);
    return nullptr;
}
void *node_in2(node *x, long n)
{
    note("%s in2 %ld", x->name, n);
    return nullptr;
}
void *node_ft1(node *x, double f)
{
    note("%s ft1 %g", x->name, f);
    return nullptr;
}
void *node_foo(node *x, symbol *s, long argc, atom *)
{
    note("%s %s %ld", x->name, s->name, argc);
    return nullptr;
}
void *node_list(node *x, symbol *s, long argc, atom *argv)
{
    std::string text = std::string(x->name) + " " + s->name;
    for (long i = 0; i < argc; i++) text += std::string(" ") + atom_string(argv + i);
    note("%s", text.c_str());
    return nullptr;
}

// Full: int, float, bang, in1, in2, ft1, foo; no list method.
kel_class *node_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("node", nullptr, nullptr, sizeof(node), nullptr, 0);
        class_addmethod(made, FN(node_bang), "bang", 0);
        class_addmethod(made, FN(node_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, FN(node_float), "float", ATYPE_FLOAT, 0);
        class_addmethod(made, FN(node_in1), "in1", ATYPE_LONG, 0);
        class_addmethod(made, FN(node_in2), "in2", ATYPE_LONG, 0);
        class_addmethod(made, FN(node_ft1), "ft1", ATYPE_FLOAT, 0);
        class_addmethod(made, FN(node_foo), "foo", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// With a list method.
kel_class *lister_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("lister", nullptr, nullptr, sizeof(node), nullptr, 0);
        class_addmethod(made, FN(node_list), "list", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// Only a bang method: ints and floats are not understood.
kel_class *banger_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("banger", nullptr, nullptr, sizeof(node), nullptr, 0);
        class_addmethod(made, FN(node_bang), "bang", 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

node *make(const char *name, kel_class *c = node_class())
{
    auto *x = static_cast<node *>(object_alloc(c));
    x->name = name;
    x->out = nullptr;
    x->out2 = nullptr;
    x->inlet_number = 0;
    x->seen_inlet = -1;
    return x;
}

TEST(Outlets, DeliveryIsDepthFirstInListOrder)
{
    node *src = make("src");
    src->out = intout(src);
    node *b = make("b"), *c = make("c"), *d = make("d");
    c->out = intout(c);
    outlet_add(c->out, d);
    outlet_add(src->out, b);
    outlet_add(src->out, c);  // joins the front of the list
    g_log.clear();
    EXPECT_EQ(outlet_int(src->out, 7), 1);
    EXPECT_EQ(g_log, (std::vector<std::string>{"c int 7", "d int 7", "b int 7"}));
    for (node *x : {src, b, c, d}) freeobject(x);
}

TEST(Outlets, TypedOutletsUseTheMethodCachedAtConnectTime)
{
    console_capture console;
    node *src = make("src");
    node *banger = make("banger", banger_class());
    outlet *typed = intout(src);
    outlet *untyped = outlet_new(src, nullptr);
    outlet_add(typed, banger);
    outlet_add(untyped, banger);
    g_log.clear();
    outlet_int(typed, 3);  // no int method: nothing, silently
    EXPECT_TRUE(console.lines().empty());
    outlet_int(untyped, 3);  // the lookup path reports it
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("banger: doesn't understand \"int\"")});
    outlet_bang(untyped);
    EXPECT_EQ(g_log, std::vector<std::string>{"banger bang"});
    freeobject(src);
    freeobject(banger);
}

// Untyped outlets keep what they found in the receiver's table per
// connection; a class that gains methods later (its table growing in place
// or moving), or a receiver moved onto another table, must be seen at once.
TEST(Outlets, UntypedConnectionsSeeMethodsAddedAfterConnecting)
{
    console_capture console;
    kel_class *late = class_new("late", nullptr, nullptr, sizeof(node), nullptr, 0);
    class_register(gensym("nobox"), late);
    node *src = make("src");
    node *early = make("early", late);
    outlet *untyped = outlet_new(src, nullptr);
    outlet_add(untyped, early);
    g_log.clear();

    outlet_int(untyped, 1);
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("late: doesn't understand \"int\"")});
    // Enough methods for the table to outgrow its first allocation and move.
    class_addmethod(late, FN(node_int), "int", ATYPE_LONG, 0);
    outlet_int(untyped, 2);
    class_addmethod(late, FN(node_in1), "in1", ATYPE_LONG, 0);
    class_addmethod(late, FN(node_in2), "in2", ATYPE_LONG, 0);
    class_addmethod(late, FN(node_ft1), "ft1", ATYPE_FLOAT, 0);
    class_addmethod(late, FN(node_foo), "foo", ATYPE_GIMME, 0);
    class_addmethod(late, FN(node_list), "list", ATYPE_GIMME, 0);
    class_addmethod(late, FN(node_bang), "bang", 0);
    outlet_bang(untyped);
    outlet_float(untyped, 1.5);  // still none: reported
    class_addmethod(late, FN(node_float), "float", ATYPE_FLOAT, 0);
    outlet_float(untyped, 2.5);
    atom pair[2];
    atom_setlong(pair, 4);
    atom_setlong(pair + 1, 5);
    outlet_list(untyped, gensym("list"), 2, pair);
    EXPECT_EQ(g_log, (std::vector<std::string>{"early int 2", "early bang", "early float 2.5", "early list 4 5"}));
    EXPECT_EQ(console.lines(), (std::vector<std::string>{error_line("late: doesn't understand \"int\""),
                                                         error_line("late: doesn't understand \"float\"")}));

    // The receiver itself moved onto another class's table.
    early->header.messlist = banger_class()->messlist + 1;
    g_log.clear();
    outlet_int(untyped, 6);
    outlet_bang(untyped);
    EXPECT_EQ(g_log, std::vector<std::string>{"early bang"});
    EXPECT_EQ(console.lines().back(), error_line("banger: doesn't understand \"int\""));
    freeobject(src);
    freeobject(early);
}

TEST(Outlets, AtomsChooseTheirMessage)
{
    node *src = make("src");
    outlet *o = outlet_new(src, nullptr);
    node *all = make("all");
    node *lister = make("lister", lister_class());
    outlet_add(o, all);
    atom a[3];
    atom_setlong(a, 4);
    g_log.clear();
    outlet_atoms(o, 1, a);
    atom_setfloat(a, 1.5);
    outlet_atoms(o, 1, a);
    atom_setsym(a, gensym("foo"));
    outlet_atoms(o, 1, a);
    atom_setlong(a + 1, 2);
    outlet_atoms(o, 2, a);  // foo 2
    EXPECT_EQ(g_log, (std::vector<std::string>{"all int 4", "all float 1.5", "all foo 0", "all foo 1"}));
    outlet_rm(o, all);
    outlet_add(o, lister);
    g_log.clear();
    atom_setlong(a, 1);
    atom_setsym(a + 1, gensym("x"));
    outlet_atoms(o, 2, a);
    EXPECT_EQ(g_log, std::vector<std::string>{"lister list 1 x"});
    EXPECT_EQ(outlet_atoms(o, 0, a), 0);
    for (node *x : {src, all, lister}) freeobject(x);
}

TEST(Inlets, ConversionTable)
{
    console_capture console;
    node *owner = make("owner");
    inlet *ft = floatin(owner, 1);
    inlet *in2 = intin(owner, 2);
    inlet *foo = inlet_new(owner, "foo");
    inlet *any = inlet_new(owner, nullptr);
    atom args[2];
    atom_setlong(args, 1);
    atom_setlong(args + 1, 2);
    g_log.clear();

    struct step {
        inlet *to;
        const char *selector;
        std::vector<atom> atoms;
    };
    atom f29, i5;
    atom_setfloat(&f29, 2.9);
    atom_setlong(&i5, 5);
    const step steps[] = {
        {in2, "float", {f29}},    // truncated: in2 2
        {in2, "int", {i5}},       // in2 5
        {ft, "int", {i5}},        // ft1 5
        {ft, "float", {f29}},     // ft1 2.9
        {foo, "foo", {i5}},       // foo with its arguments
        {any, "int", {i5}},       // as if to the leftmost inlet
        {any, "foo", {}},         // likewise
        {in2, "bang", {}},        // refused
        {in2, "list", {i5, i5}},  // refused
        {in2, "foo", {}},         // refused
        {ft, "int", {}},          // typed dispatch of the inlet itself: missing argument
    };
    for (const step &s : steps) {
        std::vector<atom> atoms = s.atoms;
        typedmess(s.to, gensym(s.selector), static_cast<long>(atoms.size()), atoms.data());
    }
    EXPECT_EQ(g_log, (std::vector<std::string>{"owner in2 2", "owner in2 5", "owner ft1 5", "owner ft1 2.9",
                                               "owner foo 1", "owner int 5", "owner foo 0"}));
    EXPECT_EQ(console.lines(), (std::vector<std::string>{error_line("inlet: bang: wrong message int"),
                                                         error_line("inlet: list: wrong message or type"),
                                                         error_line("inlet: wrong message or type"),
                                                         error_line("inlet: missing arguments for message \"int\"")}));
    freeobject(owner);
}

TEST(Inlets, NumberedInletsOutOfRangeAndMissingTargets)
{
    console_capture console;
    node *owner = make("owner", banger_class());
    EXPECT_EQ(intin(owner, 0), nullptr);
    EXPECT_EQ(floatin(owner, 10), nullptr);
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"\xA5 external object error:", "inlet 0 out of range",
                                                         "\xA5 external object error:", "inlet 10 out of range"}));
    console_capture later;
    EXPECT_NE(intin(owner, 3), nullptr);  // made, but the owner has no in3: reported now
    EXPECT_EQ(later.lines(), std::vector<std::string>{error_line("banger: doesn't understand \"in3\"")});
    freeobject(owner);
}

TEST(Inlets, CheckinAcceptsCompatibleTypes)
{
    node *owner = make("owner");
    inlet *i_int = intin(owner, 1);
    inlet *i_float = floatin(owner, 1);
    inlet *i_bang = inlet_new(owner, "bang");
    inlet *i_any = inlet_new(owner, nullptr);
    struct {
        inlet *i;
        symbol *s;
        long refuses;
    } const cases[] = {
        {i_int, gensym("int"), 0},   {i_int, gensym("float"), 0}, {i_int, gensym("list"), 0},
        {i_int, gensym("bang"), 1},  {i_float, gensym("int"), 0}, {i_float, gensym("list"), 0},
        {i_float, gensym("foo"), 1}, {i_bang, gensym("bang"), 0}, {i_bang, gensym("int"), 1},
        {i_bang, gensym("list"), 1}, {i_any, gensym("int"), 0},   {i_any, gensym("whatever"), 0},
    };
    for (const auto &c : cases) EXPECT_EQ(inlet_checkin(c.i, c.s), c.refuses) << c.s->name;
    freeobject(owner);
}

TEST(Connect, RefusedByCheckinAndDuplicates)
{
    console_capture console;
    node *src = make("src");
    node *dst = make("dst");
    inlet *bang_only = inlet_new(dst, "bang");
    outlet *o = intout(src);
    EXPECT_EQ(outlet_add(o, bang_only), 1);
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{error_line("can't connect (node) to (node)"), "(doesn't match 'int)"}));
    g_log.clear();
    outlet_int(o, 1);
    EXPECT_TRUE(g_log.empty());

    console_capture twice;
    EXPECT_EQ(outlet_add(o, dst), 0);
    EXPECT_EQ(outlet_add(o, dst), 0);
    EXPECT_EQ(twice.lines(), std::vector<std::string>{warning_line("outlet_add: already in table")});
    outlet_int(o, 2);
    EXPECT_EQ(g_log, (std::vector<std::string>{"dst int 2", "dst int 2"}));
    outlet_rm(o, dst);
    outlet_rm(o, dst);
    console_capture missing;
    outlet_rm(o, dst);
    EXPECT_EQ(missing.lines(), std::vector<std::string>{check_failed_line("outlet_rm: wasn't in table")});
    freeobject(src);
    freeobject(dst);
}

// While a file loads, a pair joined again and again is reported once (the
// warning, and for an inlet the duplicate source), and the repeats are
// counted in one line at the end; a nested period joins the outer one.
TEST(Connect, DuplicatesInAQuietPeriodAreReportedOncePerPairAndCounted)
{
    node *src = make("src");
    node *dst = make("dst");
    inlet *in1 = intin(dst, 1);
    outlet *o = intout(src);
    console_capture console;
    {
        kel::duplicate_reports_quiet load;
        for (int k = 0; k < 3; k++) EXPECT_EQ(outlet_add(o, dst), 0);
        {
            kel::duplicate_reports_quiet abstraction;
            for (int k = 0; k < 4; k++) EXPECT_EQ(outlet_add(o, in1), 0);
        }
        EXPECT_EQ(console.lines().size(), 3u);  // nothing told when the inner period ends
    }
    EXPECT_EQ(console.lines(), (std::vector<std::string>{warning_line("outlet_add: already in table"),
                                                         warning_line("outlet_add: already in table"),
                                                         check_failed_line("inlet_notify: already in table"),
                                                         warning_line("outlet_add: already in table, 3 more times")}));
    g_log.clear();
    outlet_int(o, 7);
    EXPECT_EQ(g_log.size(), 7u);

    // Outside a period every duplicate is reported again.
    console_capture again;
    EXPECT_EQ(outlet_add(o, dst), 0);
    EXPECT_EQ(again.lines(), std::vector<std::string>{warning_line("outlet_add: already in table")});

    // Each removal takes one connection; the inlet keeps hearing the outlet
    // until the last one into it goes, and then the inlet can be freed alone.
    for (int left = 3; left >= 0; left--) {
        g_log.clear();
        outlet_int(o, 1);
        EXPECT_EQ(std::count(g_log.begin(), g_log.end(), "dst in1 1"), left + 1);
        outlet_rm(o, in1);
    }
    console_capture none;
    g_log.clear();
    outlet_int(o, 2);
    EXPECT_EQ(g_log, std::vector<std::string>(4, "dst int 2"));
    freeobject(src);  // its outlet takes the four connections into dst with it
    freeobject(dst);
    EXPECT_TRUE(none.lines().empty());
}

TEST(Connect, FreeingAnInletRemovesTheConnectionsIntoIt)
{
    node *src = make("src");
    node *dst = make("dst");
    src->out = intout(src);
    inlet *i = intin(dst, 1);
    outlet_add(src->out, i);
    freeobject(dst);  // its inlet goes, and with it the connection into it
    g_log.clear();
    node *other = make("other");
    outlet_add(src->out, other);
    outlet_int(src->out, 1);
    EXPECT_EQ(g_log, std::vector<std::string>{"other int 1"});
    freeobject(src);
    freeobject(other);
}

TEST(Connect, ReceiverDisconnectingItselfDuringASend)
{
    static outlet *shared = nullptr;
    struct self_remover {
        static void *on_int(node *x, long n)
        {
            note("%s int %ld", x->name, n);
            outlet_rm(shared, x);
            return nullptr;
        }
    };
    kel_class *c = class_new("self_remover", nullptr, nullptr, sizeof(node), nullptr, 0);
    class_addmethod(c, FN(self_remover::on_int), "int", ATYPE_LONG, 0);
    node *src = make("src");
    shared = intout(src);
    node *a = make("a", c), *b = make("b", c), *d = make("d", c);
    outlet_add(shared, a);
    outlet_add(shared, b);
    outlet_add(shared, d);
    g_log.clear();
    outlet_int(shared, 1);
    outlet_int(shared, 2);
    EXPECT_EQ(g_log, (std::vector<std::string>{"d int 1", "b int 1", "a int 1"}));
    for (node *x : {src, a, b, d}) freeobject(x);
    class_free(c);
}

// A lone connection is called without counting the send: what the receiver
// does to the outlet meanwhile (removing its cord, adding one, freeing the
// sender with its outlet) must not reach the sending frame. The sanitizer
// builds check that nothing freed is read.
TEST(Connect, ALoneReceiverMayRemoveAddOrFreeDuringTheSend)
{
    static node *sender = nullptr;
    static node *extra = nullptr;
    struct meddler {
        static void *on_int(node *x, long n)
        {
            note("%s int %ld", x->name, n);
            if (n == 1) outlet_rm(sender->out, x);
            if (n == 2) outlet_add(sender->out, extra);
            if (n == 3) {
                freeobject(sender);
                sender = nullptr;
            }
            return nullptr;
        }
    };
    kel_class *c = class_new("meddler", nullptr, nullptr, sizeof(node), nullptr, 0);
    class_addmethod(c, FN(meddler::on_int), "int", ATYPE_LONG, 0);
    node *m = make("m", c);
    extra = make("extra");
    g_log.clear();
    for (long n : {1L, 2L, 3L}) {
        sender = make("sender");
        sender->out = intout(sender);
        outlet_add(sender->out, m);
        EXPECT_EQ(outlet_int(sender->out, n), 1);
        if (n == 1) {
            EXPECT_EQ(sender->out->connections, nullptr) << "the cord went at once";
        }
        if (n == 2) {
            g_log.push_back("again");
            outlet_int(sender->out, 9);  // both now, the new cord first
        }
        if (sender) freeobject(sender);
    }
    EXPECT_EQ(g_log, (std::vector<std::string>{"m int 1", "m int 2", "again", "extra int 9", "m int 9", "m int 3"}));
    freeobject(m);
    freeobject(extra);
    class_free(c);
}

TEST(Stdlist, SpreadsAcrossInletsThenTheLeftmost)
{
    node *x = make("x");
    intin(x, 2);
    intin(x, 1);  // inlet 1 is the chain head
    atom a[3];
    struct {
        std::vector<atom> atoms;
        std::vector<std::string> expected;
    } cases[3];
    atom_setlong(a, 1);
    atom_setlong(a + 1, 2);
    atom_setlong(a + 2, 3);
    cases[0] = {{a[0], a[1], a[2]}, {"x in1 2", "x in2 3", "x int 1"}};
    atom sym;
    atom_setsym(&sym, gensym("s"));
    cases[1] = {{a[0], sym, a[2]}, {"x in2 3", "x int 1"}};  // a symbol uses up its inlet
    atom f;
    atom_setfloat(&f, 0.5);
    cases[2] = {{f, a[1]}, {"x in1 2", "x float 0.5"}};
    for (auto &c : cases) {
        g_log.clear();
        stdlist(x, gensym("list"), static_cast<long>(c.atoms.size()), c.atoms.data());
        EXPECT_EQ(g_log, c.expected);
    }
    g_log.clear();
    stdlist(x, gensym("list"), 0, a);
    EXPECT_TRUE(g_log.empty());
    freeobject(x);

    node *one = make("one");
    intin(one, 1);
    g_log.clear();
    stdlist(one, gensym("list"), 3, a);  // one extra inlet: the 3 is dropped
    EXPECT_EQ(g_log, (std::vector<std::string>{"one in1 2", "one int 1"}));
    freeobject(one);

    node *lister = make("lister", lister_class());
    g_log.clear();
    stdlist(lister, gensym("list"), 3, a);
    EXPECT_EQ(g_log, std::vector<std::string>{"lister list 1 2 3"});
    freeobject(lister);
}

// --- proxies ---

struct proxied {
    object header;
    long in;
    proxy *p1;
    proxy *p2;
    outlet *to_p2;
    std::vector<long> seen;
};

void *proxied_int(proxied *x, long n)
{
    x->seen.push_back(proxy_getinlet(x));
    if (n == 1 && x->to_p2) outlet_int(x->to_p2, 2);  // nested: into inlet 2 from inside inlet 1
    if (n == 1) x->seen.push_back(proxy_getinlet(x));
    return nullptr;
}

void proxied_free(proxied *x)
{
    freeobject(x->p1);
    freeobject(x->p2);
    x->seen.~vector();
}

kel_class *proxied_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("proxied", nullptr, FN(proxied_free), sizeof(proxied), nullptr, 0);
        class_addmethod(made, FN(proxied_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

proxied *make_proxied()
{
    auto *x = static_cast<proxied *>(object_alloc(proxied_class()));
    new (&x->seen) std::vector<long>();
    x->to_p2 = nullptr;
    x->p2 = proxy_new(x, 2, &x->in);
    x->p1 = proxy_new(x, 1, &x->in);
    return x;
}

TEST(Proxies, NestedOnOneThread)
{
    proxied *x = make_proxied();
    node *src = make("src");
    x->to_p2 = intout(src);
    outlet_add(x->to_p2, x->p2);
    typedmess(x->p1, gensym("int"), 1,
              std::vector<atom>(1,
                                [] {
                                    atom a;
                                    atom_setlong(&a, 1);
                                    return a;
                                }())
                  .data());
    // In inlet 1, then inside the nested delivery to inlet 2, then back in 1.
    EXPECT_EQ(x->seen, (std::vector<long>{1, 2, 1}));
    EXPECT_EQ(proxy_getinlet(x), 0);  // afterwards, from the same thread
    EXPECT_EQ(x->in, 0);
    freeobject(src);
    freeobject(x);
}

TEST(Proxies, TwoThreadsEachSeeTheirOwnInlet)
{
    struct waiter {
        object header;
        proxy *p1;
        proxy *p2;
        long in;
        std::atomic<int> *stage;
        long answers[3];
    };
    struct methods {
        static void *on_int(waiter *x, long n)
        {
            if (n == 1) {
                x->stage->store(1);
                while (x->stage->load() != 2) std::this_thread::yield();
                x->answers[1] = proxy_getinlet(x);
            } else {
                x->answers[2] = proxy_getinlet(x);
            }
            return nullptr;
        }
    };
    kel_class *c = class_new("waiter", nullptr, nullptr, sizeof(waiter), nullptr, 0);
    class_addmethod(c, FN(methods::on_int), "int", ATYPE_LONG, 0);
    auto *x = static_cast<waiter *>(object_alloc(c));
    std::atomic<int> stage{0};
    x->stage = &stage;
    x->p2 = proxy_new(x, 2, &x->in);
    x->p1 = proxy_new(x, 1, &x->in);
    std::thread first([&] {
        atom a;
        atom_setlong(&a, 1);
        typedmess(x->p1, gensym("int"), 1, &a);
    });
    while (stage.load() != 1) std::this_thread::yield();
    atom a;
    atom_setlong(&a, 2);
    typedmess(x->p2, gensym("int"), 1, &a);  // while the other thread is inside inlet 1
    stage.store(2);
    first.join();
    EXPECT_EQ(x->answers[2], 2);
    EXPECT_EQ(x->answers[1], 1);
    freeobject(x->p1);
    freeobject(x->p2);
    freeobject(x);
    class_free(c);
}

TEST(Proxies, MissingOwnerMethodsAreReported)
{
    console_capture console;
    node *owner = make("owner", lister_class());
    long in = 5;
    proxy *p = proxy_new(owner, 3, &in);
    EXPECT_EQ(in, 0);
    typedmess(p, gensym("bang"), 0, nullptr);
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("lister doesn't understand \"bang\"")});
    atom a;
    atom_setlong(&a, 9);
    g_log.clear();
    typedmess(p, gensym("list"), 1, &a);
    EXPECT_EQ(g_log, std::vector<std::string>{"owner list 9"});
    freeobject(p);
    freeobject(owner);
}

// --- flattening ---

TEST(Flattening, ThroughAChainedInletAndAChainedOutlet)
{
    // A subpatcher box with inlet I; inside, the inlet object's outlet stands
    // for I. Outside, src sends into I; inside, t1 and t2 listen.
    console_capture console;
    node *box = make("box");
    inlet *i = inlet_new(box, nullptr);
    node *inside = make("inside");
    outlet *stands = outlet_new(inside, nullptr);
    kel::outlet_chain(stands, i);
    kel::inlet_chain(i, stands);

    node *t1 = make("t1"), *t2 = make("t2"), *src = make("src");
    src->out = intout(src);
    EXPECT_EQ(outlet_add(stands, t1), 0);   // nothing outside yet: remembered
    EXPECT_EQ(outlet_add(src->out, i), 0);  // src now reaches t1 directly
    EXPECT_EQ(outlet_add(stands, t2), 0);   // and t2 through I's sources
    g_log.clear();
    outlet_int(src->out, 5);
    EXPECT_EQ(g_log, (std::vector<std::string>{"t2 int 5", "t1 int 5"}));

    EXPECT_EQ(outlet_add(stands, i), 1);  // an inlet object's outlet connected to its own inlet
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("outlet loop")});

    outlet_rm(stands, t2);
    g_log.clear();
    outlet_int(src->out, 6);
    EXPECT_EQ(g_log, std::vector<std::string>{"t1 int 6"});
    outlet_rm(src->out, i);
    g_log.clear();
    outlet_int(src->out, 7);
    EXPECT_TRUE(g_log.empty());
    for (node *x : {src, t1, t2, inside, box}) freeobject(x);
}

// --- grab ---

TEST(Grab, TheGrabberCatchesTheAnswer)
{
    node *x = make("x");
    x->out = intout(x);
    node *listener = make("listener");
    outlet_add(x->out, listener);
    node *grabber = make("grabber");
    grabber->out = intout(grabber);
    node *catcher = make("catcher");
    outlet_add(grabber->out, catcher);
    atom a;
    atom_setlong(&a, 4);
    g_log.clear();
    kel::outlet_grab(&grabber->header, 1, &x->header, gensym("int"), 1, &a);
    EXPECT_EQ(g_log, (std::vector<std::string>{"x int 4", "catcher int 4"}));
    g_log.clear();
    outlet_int(x->out, 5);  // restored afterwards
    EXPECT_EQ(g_log, std::vector<std::string>{"listener int 5"});
    for (node *n : {x, listener, grabber, catcher}) freeobject(n);
}

// A target whose answer first changes the wiring (g_during_grab), then
// sends twice.
std::function<void()> g_during_grab;

void *changing_target_int(node *x, long n)
{
    if (g_during_grab) g_during_grab();
    outlet_int(x->out, n);
    outlet_int(x->out, n + 1);
    return nullptr;
}

kel_class *changing_target_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("changing_target", nullptr, nullptr, sizeof(node), nullptr, 0);
        class_addmethod(k, FN(changing_target_int), "int", ATYPE_LONG, 0);
        return k;
    }();
    return c;
}

TEST(Grab, WiringChangedDuringTheCallIsSafe)
{
    struct change_case {
        const char *what;
        // What the target does first, given the grabber and its catcher.
        std::function<void(node *grabber, node *catcher)> change;
        std::vector<std::string> during;  // the log of the call
        bool grabber_freed;
        std::vector<std::string> after;  // 9 out of the target, then 7 out of the grabber while it lives
    };
    const std::vector<change_case> cases = {
        {"nothing",
         [](node *, node *) {},
         {"catcher int 4", "catcher int 5"},
         false,
         {"listener int 9", "catcher int 7"}},
        {"the catcher's cord removed: it hears nothing more",
         [](node *grabber, node *catcher) { outlet_rm(grabber->out, catcher); },
         {},
         false,
         {"listener int 9"}},
        {"the grabber freed: the target sends nowhere",
         [](node *grabber, node *) { freeobject(grabber); },
         {},
         true,
         {"listener int 9"}},
    };
    for (const change_case &k : cases) {
        SCOPED_TRACE(k.what);
        node *x = make("x", changing_target_class());
        x->out = intout(x);
        node *listener = make("listener");
        outlet_add(x->out, listener);
        node *grabber = make("grabber");
        grabber->out = intout(grabber);
        node *catcher = make("catcher");
        outlet_add(grabber->out, catcher);
        g_during_grab = [&] { k.change(grabber, catcher); };
        atom a;
        atom_setlong(&a, 4);
        g_log.clear();
        kel::outlet_grab(&grabber->header, 1, &x->header, gensym("int"), 1, &a);
        g_during_grab = nullptr;
        EXPECT_EQ(g_log, k.during);
        g_log.clear();
        outlet_int(x->out, 9);                              // the target's own cord is back
        if (!k.grabber_freed) outlet_int(grabber->out, 7);  // the grabber's list is whole
        EXPECT_EQ(g_log, k.after);
        for (node *n : {x, listener, catcher}) freeobject(n);
        if (!k.grabber_freed) freeobject(grabber);
    }
}

// --- the depth guard ---

const char *const overflow_alert = "Stack overflow. Choose Resume to restart the scheduler";

// Two objects whose outlets feed each other: every int comes straight back.
struct quiet_loop {
    static void *on_int(node *x, long n)
    {
        outlet_int(x->out, n);
        return nullptr;
    }
};

TEST(DepthGuard, FeedbackLoopStopsWithTheAlert)
{
    // Quiet receivers so the console holds just the alert.
    kel_class *c = class_new("looper", nullptr, nullptr, sizeof(node), nullptr, 0);
    class_addmethod(c, FN(quiet_loop::on_int), "int", ATYPE_LONG, 0);
    for (bool fan_out : {false, true}) {
        console_capture console;
        kel::sched_restart();
        node *a = make("a", c), *b = make("b", c), *d = make("d", c);
        a->out = intout(a);
        b->out = intout(b);
        d->out = intout(d);
        outlet_add(a->out, b);
        outlet_add(b->out, a);
        if (fan_out) {  // each level sends twice: the whole chain must be abandoned at once
            outlet_add(a->out, d);
            outlet_add(d->out, a);
        }
        outlet_int(a->out, 1);
        EXPECT_EQ(console.lines(), std::vector<std::string>{overflow_alert}) << "fan out " << fan_out;
        EXPECT_TRUE(kel::sched_state().stopped.load());
        EXPECT_EQ(kel::t_depth.depth, 0);
        EXPECT_FALSE(kel::t_depth.aborting);
        kel::sched_restart();
        outlet_rm(b->out, a);
        outlet_rm(a->out, b);
        EXPECT_EQ(outlet_int(a->out, 2), 1);  // sending works again
        for (node *x : {a, b, d}) freeobject(x);
    }
    class_free(c);
}

TEST(DepthGuard, EachThreadIsGuardedByItsOwnStack)
{
    kel_class *c = class_new("thread_looper", nullptr, nullptr, sizeof(node), nullptr, 0);
    class_addmethod(c, FN(quiet_loop::on_int), "int", ATYPE_LONG, 0);
    std::vector<std::string> lines;
    auto body = [&] {
        console_capture console;
        node *a = make("a", c), *b = make("b", c);
        a->out = intout(a);
        b->out = intout(b);
        outlet_add(a->out, b);
        outlet_add(b->out, a);
        outlet_int(a->out, 1);
        lines = console.lines();
        outlet_rm(b->out, a);
        freeobject(a);
        freeobject(b);
    };
    // A thread with a small stack of its own: the guard must use its region.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t thread;
    struct trampoline {
        static void *run(void *f)
        {
            (*static_cast<decltype(body) *>(f))();
            return nullptr;
        }
    };
    ASSERT_EQ(pthread_create(&thread, &attr, trampoline::run, &body), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(lines, std::vector<std::string>{overflow_alert});
    kel::sched_restart();
    class_free(c);
}

TEST(Lockout, SetAnswersThePreviousValue)
{
    long was = lockout_set(1);
    EXPECT_EQ(lockout_set(0), 1);
    lockout_set(was);
}

}  // namespace
