// send, receive and value: names shared across objects, their lifetime, and
// what happens when a name is taken by something else.
#include <gtest/gtest.h>

#include "console_capture.h"
#include "memory_pressure.h"
#include "object_support.h"
#include "sched_support.h"

namespace {

using kel::test::error_line;
using kel::test::g_log;
using kel::test::make_object;
using kel::test::send_text;

using SendReceive = kel::test::ObjectTest;

TEST_F(SendReceive, EveryReceiveOfTheNameGetsWhatIsSent)
{
    object *s = make("s sr_a");
    send_text(s, "int 1");  // no receive yet: goes nowhere
    object *r1 = make("receive sr_a");
    object *r2 = make("r sr_a");
    object *other = make("r sr_b");
    ASSERT_TRUE(s && r1 && r2 && other);
    EXPECT_EQ(kel::test::inlet_count(r1), 0);
    rec_.attach(r1, 0, "r1");
    rec_.attach(r2, 0, "r2");
    rec_.attach(other, 0, "b");
    send_text(s, "int 2");
    send_text(s, "float 1.5");
    send_text(s, "list 1 foo");
    send_text(s, "hello 3");
    send_text(s, "bang");
    // The newest connection first: r2 before r1.
    EXPECT_EQ(g_log, "r2@0 2 | r1@0 2 | r2@0 f1.5 | r1@0 f1.5 | r2@0 list L:1 S:foo | r1@0 list L:1 S:foo | "
                     "r2@0 hello L:3 | r1@0 hello L:3 | r2@0 bang | r1@0 bang");
    // A message addressed to the name itself (a message box's "; sr_a 5").
    g_log.clear();
    atom five = kel::test::L(5);
    typedmess(gensym("sr_a")->thing, gensym("int"), 1, &five);
    EXPECT_EQ(g_log, "r2@0 5 | r1@0 5");
}

TEST_F(SendReceive, TheNameIsFreedWithItsLastUser)
{
    object *s = make("send sr_c");
    object *v = make("value sr_c 1 2");
    EXPECT_NE(gensym("sr_c")->thing, nullptr);
    forget(s);
    EXPECT_NE(gensym("sr_c")->thing, nullptr);
    forget(v);
    EXPECT_EQ(gensym("sr_c")->thing, nullptr);
    // A new value of the name starts with nothing stored.
    object *fresh = make("v sr_c");
    rec_.attach(fresh, 0, "v");
    send_text(fresh, "bang");
    EXPECT_EQ(g_log, "");
}

// Whatever allocation fails, an object of the family is made whole or not
// at all, and freeing it leaves the name as it found it.
TEST_F(SendReceive, MemoryRunningOutMakesNothingHalfWay)
{
    for (const char *text : {"send sr_mem", "receive sr_mem", "value sr_mem 1"}) {
        kel::memory_fail_request(0, false);
        object *x = make_object(text);
        kel::memory_fail_request(-1, false);
        ASSERT_NE(x, nullptr) << text;
        freeobject(x);
        const long requests = kel::memory_requests_counted();
        const kel::test::pool_footprint before = kel::test::pool_footprint::now();
        for (long n = 1; n <= requests; n++) {
            SCOPED_TRACE(testing::Message() << text << ": request " << n);
            kel::memory_fail_request(n, false);
            x = make_object(text);
            kel::memory_fail_request(-1, false);
            kel::memory_set_low(false);
            if (x) freeobject(x);
            EXPECT_EQ(gensym("sr_mem")->thing, nullptr);
            EXPECT_EQ(kel::test::pool_footprint::now(), before);
        }
    }
}

TEST_F(SendReceive, ValueIsSharedByEveryValueOfTheName)
{
    object *a = make("value sr_v 1 2");
    object *b = make("v sr_v");
    rec_.attach(a, 0, "a");
    rec_.attach(b, 0, "b");
    send_text(b, "bang");
    send_text(a, "symbol foo");
    send_text(b, "bang");
    object *c = make("v sr_v 5");  // arguments replace what the others see
    send_text(a, "bang");
    send_text(c, "set 7 8");
    send_text(a, "bang");
    send_text(b, "float 2.5");
    send_text(a, "bang");
    send_text(b, "list 3 4 5");
    send_text(a, "bang");
    send_text(c, "list sym 4");
    send_text(a, "bang");
    EXPECT_EQ(g_log, "b@0 list L:1 L:2 | b@0 symbol S:foo | a@0 5 | a@0 set L:7 L:8 | a@0 f2.5 | "
                     "a@0 list L:3 L:4 L:5 | a@0 sym L:4");
}

TEST_F(SendReceive, ANameHeldByAnotherObjectRefusesAll)
{
    kel_class *c = class_new("sr_holder", nullptr, nullptr, sizeof(object), nullptr, 0);
    auto *holder = static_cast<object *>(object_alloc(c));
    gensym("sr_taken")->thing = holder;
    kel::test::console_capture console;
    EXPECT_EQ(make("send sr_taken"), nullptr);
    EXPECT_EQ(make("receive sr_taken"), nullptr);
    EXPECT_EQ(make("value sr_taken"), nullptr);
    EXPECT_EQ(make("value"), nullptr);
    EXPECT_EQ(make("value 3"), nullptr);
    EXPECT_EQ(console.lines(), (kel::test::strings{error_line("send: sr_taken: already exists"),
                                                   error_line("receive: sr_taken: already exists"),
                                                   error_line("value: sr_taken: already exists"),
                                                   error_line("value: new: missing or bad arguments"),
                                                   error_line("value: new: missing or bad arguments")}));
    EXPECT_EQ(gensym("sr_taken")->thing, holder);
    gensym("sr_taken")->thing = nullptr;
    freeobject(holder);
}

TEST_F(SendReceive, AnUnnamedReceiveIsSetOnTheMainThread)
{
    object *r = make("receive");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(kel::test::inlet_count(r), 0);  // the left inlet takes "set"
    rec_.attach(r, 0, "r");
    object *s1 = make("s sr_d");
    object *s2 = make("s sr_e");
    send_text(s1, "int 1");
    send_text(r, "set sr_d");
    send_text(s1, "int 2");
    send_text(r, "set sr_e");
    send_text(s1, "int 3");
    send_text(s2, "int 4");
    send_text(r, "set");  // detaches
    send_text(s2, "int 5");
    EXPECT_EQ(g_log, "r@0 2 | r@0 4");
    // Taken names keep the old binding.
    kel_class *c = class_new("sr_holder2", nullptr, nullptr, sizeof(object), nullptr, 0);
    auto *holder = static_cast<object *>(object_alloc(c));
    gensym("sr_f")->thing = holder;
    send_text(r, "set sr_e");
    kel::test::console_capture console;
    send_text(r, "set sr_f");
    EXPECT_EQ(console.lines(), kel::test::strings{error_line("receive: sr_f: already exists")});
    send_text(s2, "int 6");
    EXPECT_EQ(g_log, "r@0 2 | r@0 4 | r@0 6");
    gensym("sr_f")->thing = nullptr;
    freeobject(holder);
}

// Frees the receive it was given on the first message it gets.
struct freer {
    object ob;
    object *victim;
};

void freer_int(freer *x, long)
{
    if (x->victim) freeobject(x->victim);
    x->victim = nullptr;
}

TEST_F(SendReceive, AReceiveFreedWhileAMessageTravelsIsSafe)
{
    object *s = make("s sr_g");
    object *r1 = make_object("r sr_g");
    object *r2 = make("r sr_g");
    static kel_class *c = [] {
        kel_class *k = class_new("sr_freer", nullptr, nullptr, sizeof(freer), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&freer_int), "int", ATYPE_LONG, 0);
        return k;
    }();
    auto *f = static_cast<freer *>(object_alloc(c));
    f->victim = r1;
    outlet_add(kel::test::outlet_at(r2, 0), f);  // r2 gets it first and frees r1
    rec_.attach(r2, 0, "r2");
    send_text(s, "int 1");
    send_text(s, "int 2");
    EXPECT_EQ(g_log, "r2@0 1 | r2@0 2");
    freeobject(f);
}

}  // namespace
