// The object registry: registering and finding by namespace and name, holders
// and freeobject, name conflicts, unique names and their reuse, attaching
// clients and notifying them.
#include "kel/registry.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "call_log.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "memory_pressure.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::g_log;
using kel::test::note;

// --- things to register: they say when they are freed ---

struct thing {
    object header;
    long id;
};

void thing_free(thing *x) { note("free %ld", x->id); }

// The copy a thing still held under another name answers when it must take
// a new name as well.
void *thing_newcopy(thing *x)
{
    note("newcopy %ld", x->id);
    auto *copy = static_cast<thing *>(object_alloc(object_class(x)));
    copy->id = x->id + 100;
    return copy;
}

kel_class *make_class(const char *name)
{
    kel_class *c = class_new(name, nullptr, reinterpret_cast<kel_method>(&thing_free), sizeof(thing), nullptr, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&thing_newcopy), "newcopy", ATYPE_CANT, 0);
    return c;
}

kel_class *thing_class()
{
    static kel_class *c = make_class("registry_thing");
    return c;
}

kel_class *other_class()
{
    static kel_class *c = make_class("registry_other");
    return c;
}

thing *new_thing(long id, kel_class *c = thing_class())
{
    auto *x = static_cast<thing *>(object_alloc(c));
    x->id = id;
    return x;
}

// --- clients: they note what they hear ---

struct client;
using notify_action = void (*)(client *self, object *sender);

struct client {
    object header;
    const char *tag;
    notify_action action;  // run after noting, for clients that act on what they hear
    client *other;
};

void *client_notify(client *x, symbol *name, symbol *message, object *sender, void *data)
{
    note("%s: %s %s from %ld%s", x->tag, name->name, message->name, reinterpret_cast<thing *>(sender)->id,
         data ? " with data" : "");
    if (x->action) x->action(x, sender);
    return nullptr;
}

kel_class *client_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("registry_client", nullptr, nullptr, sizeof(client), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&client_notify), "notify", ATYPE_CANT, 0);
        return k;
    }();
    return c;
}

// Each test gets its own namespace: registrations of one test never meet
// another's.
class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_log.clear();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        space = gensym((std::string("registry_test_") + info->name()).c_str());
    }
    void TearDown() override
    {
        for (client *c : clients_) freeobject(c);
    }

    client *new_client(const char *tag, notify_action action = nullptr)
    {
        auto *c = static_cast<client *>(object_alloc(client_class()));
        c->tag = tag;
        c->action = action;
        c->other = nullptr;
        clients_.push_back(c);
        return c;
    }

    symbol *space = nullptr;

private:
    std::vector<client *> clients_;
};

TEST_F(Registry, RegisterFindAndUnregister)
{
    thing *x = new_thing(1);
    EXPECT_EQ(object_register(space, gensym("a"), x), x);
    EXPECT_EQ(object_findregistered(space, gensym("a")), x);
    EXPECT_EQ(object_findregistered(space, gensym("b")), nullptr);
    EXPECT_EQ(object_findregistered(gensym("registry_elsewhere"), gensym("a")), nullptr);
    EXPECT_EQ(object_findregistered(space, gensym("")), nullptr) << "the empty name never matches";

    symbol *found_space = nullptr, *found_name = nullptr;
    EXPECT_EQ(object_findregisteredbyptr(&found_space, &found_name, x), 0);
    EXPECT_EQ(found_space, space);
    EXPECT_EQ(found_name, gensym("a"));

    EXPECT_EQ(object_unregister(x), 0);
    EXPECT_EQ(object_findregistered(space, gensym("a")), nullptr);
    EXPECT_EQ(object_findregisteredbyptr(&found_space, &found_name, x), -1);
    EXPECT_EQ(object_unregister(x), 0) << "an object never registered is no longer registered";
    EXPECT_EQ(g_log, "") << "unregistering does not free";
    freeobject(x);
    EXPECT_EQ(g_log, "free 1");
}

// Each patcher names its boxes in a namespace of its own: a namespace must
// not outlive its names, nor may a registration that fails for lack of
// memory leave anything behind.
TEST_F(Registry, NothingIsLeftOfANamespaceOnceItsNamesAreGone)
{
    using kel::test::pool_footprint;
    thing *x = new_thing(1), *y = new_thing(2);
    symbol *a = gensym("a"), *b = gensym("b");
    const pool_footprint before = pool_footprint::now();
    EXPECT_EQ(object_register(space, a, x), x);
    EXPECT_EQ(object_register(space, b, y), y);
    EXPECT_NE(pool_footprint::now(), before);
    EXPECT_EQ(object_unregister(x), 0);
    EXPECT_EQ(object_unregister(y), 0);
    EXPECT_EQ(pool_footprint::now(), before);

    kel::memory_fail_request(0, false);
    EXPECT_EQ(object_register(space, a, x), x);
    kel::memory_fail_request(-1, false);
    const long requests = kel::memory_requests_counted();
    EXPECT_EQ(object_unregister(x), 0);
    for (bool and_later : {false, true}) {
        for (long n = 1; n <= requests; n++) {
            SCOPED_TRACE(testing::Message() << "request " << n << (and_later ? " and later" : " alone"));
            console_capture console;
            kel::memory_fail_request(n, and_later);
            void *answer = object_register(space, a, x);
            kel::memory_fail_request(-1, false);
            kel::memory_set_low(false);
            EXPECT_EQ(object_findregistered(space, a), answer);
            if (answer) {
                EXPECT_EQ(object_unregister(x), 0);
            }
            EXPECT_EQ(pool_footprint::now(), before);
        }
    }
    EXPECT_EQ(g_log, "");
    freeobject(x);
    freeobject(y);
}

TEST_F(Registry, NullNamespaceIsNobox)
{
    thing *x = new_thing(1);
    symbol *name = gensym("registry_test_in_nobox");
    EXPECT_EQ(object_register(nullptr, name, x), x);
    EXPECT_EQ(object_findregistered(gensym("nobox"), name), x);
    EXPECT_EQ(object_findregistered(nullptr, name), x);
    freeobject(x);
    EXPECT_EQ(object_findregistered(nullptr, name), nullptr);
}

TEST_F(Registry, EmptyNameUnregistersAndAnswersTheObject)
{
    thing *x = new_thing(1);
    object_register(space, gensym("a"), x);
    EXPECT_EQ(object_register(space, gensym(""), x), x);
    EXPECT_EQ(object_findregistered(space, gensym("a")), nullptr);
    freeobject(x);
}

TEST_F(Registry, SameObjectSameNameAddsAHolder)
{
    thing *x = new_thing(1);
    EXPECT_EQ(object_register(space, gensym("a"), x), x);
    EXPECT_EQ(object_register(space, gensym("a"), x), x);
    EXPECT_EQ(object_unregister(x), -1) << "one holder is left";
    EXPECT_EQ(object_findregistered(space, gensym("a")), x);
    EXPECT_EQ(object_unregister(x), 0);
    EXPECT_EQ(object_findregistered(space, gensym("a")), nullptr);
    freeobject(x);
}

TEST_F(Registry, SecondObjectOfTheSameClassGetsTheFirstAndIsFreed)
{
    thing *first = new_thing(1);
    thing *second = new_thing(2);
    EXPECT_EQ(object_register(space, gensym("a"), first), first);
    EXPECT_EQ(object_register(space, gensym("a"), second), first);
    EXPECT_EQ(g_log, "free 2");

    g_log.clear();
    EXPECT_EQ(object_unregister(first), -1);
    EXPECT_EQ(object_findregistered(space, gensym("a")), first) << "the first stays registered";
    EXPECT_EQ(object_unregister(first), 0);
    EXPECT_EQ(object_findregistered(space, gensym("a")), nullptr);
    EXPECT_EQ(g_log, "");
    freeobject(first);
}

TEST_F(Registry, ObjectOfAnotherClassIsRefusedAndFreed)
{
    thing *first = new_thing(1);
    thing *stranger = new_thing(2, other_class());
    object_register(space, gensym("a"), first);
    EXPECT_EQ(object_register(space, gensym("a"), stranger), nullptr);
    EXPECT_EQ(g_log, "free 2");
    g_log.clear();
    EXPECT_EQ(object_unregister(first), 0) << "the first kept its single holder";
    freeobject(first);
}

TEST_F(Registry, FreeobjectOfAnObjectOthersHoldOnlyDropsAHolder)
{
    thing *x = new_thing(1);
    object_register(space, gensym("a"), x);
    object_register(space, gensym("a"), x);

    freeobject(x);
    EXPECT_EQ(g_log, "") << "the free method did not run";
    EXPECT_TRUE(kel::object_valid(x));
    EXPECT_EQ(object_findregistered(space, gensym("a")), x);

    freeobject(x);
    EXPECT_EQ(g_log, "free 1");
    EXPECT_EQ(object_findregistered(space, gensym("a")), nullptr);
}

TEST_F(Registry, AnotherNameMovesTheRegistration)
{
    thing *x = new_thing(1);
    object_register(space, gensym("a"), x);
    EXPECT_EQ(object_register(space, gensym("b"), x), x);
    EXPECT_EQ(object_findregistered(space, gensym("a")), nullptr);
    EXPECT_EQ(object_findregistered(space, gensym("b")), x);
    freeobject(x);
}

TEST_F(Registry, AnotherNameWhileStillHeldRegistersACopy)
{
    thing *x = new_thing(1);
    object_register(space, gensym("a"), x);
    object_register(space, gensym("a"), x);
    auto *copy = static_cast<thing *>(object_register(space, gensym("b"), x));
    EXPECT_EQ(g_log, "newcopy 1");
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, x);
    EXPECT_EQ(copy->id, 101);
    EXPECT_EQ(object_findregistered(space, gensym("a")), x) << "the former holder keeps x";
    EXPECT_EQ(object_findregistered(space, gensym("b")), copy);
    g_log.clear();
    freeobject(copy);
    freeobject(x);
    EXPECT_EQ(g_log, "free 101 | free 1");
}

TEST_F(Registry, AnotherNamespaceIsRefusedWithAnError)
{
    thing *x = new_thing(1);
    object_register(space, gensym("a"), x);
    console_capture console;
    EXPECT_EQ(object_register(gensym("registry_elsewhere"), gensym("a"), x), nullptr);
    std::string expected = std::string("object_register: object already registered in ") + space->name +
                           ", cannot reregister in registry_elsewhere";
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line(expected)});
    EXPECT_EQ(object_findregistered(space, gensym("a")), x);
    EXPECT_EQ(g_log, "");
    freeobject(x);
}

TEST_F(Registry, VerboseModeReportsRegistrations)
{
    thing *x = new_thing(1);
    console_capture console;
    kel::g_developer = true;
    object_register(space, gensym("a"), x);
    object_register(space, gensym("a"), x);
    object_unregister(x);
    object_unregister(x);
    kel::g_developer = false;
    std::string in = std::string(" in ") + space->name;
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"registering: a" + in, "registering: a" + in,
                                                         "unregistering: a" + in + ". ref count now 1",
                                                         "unregistering: a" + in + ". ref count now 0"}));
    freeobject(x);
}

// --- unique names ---

bool has_unique_form(const symbol *s)
{
    const char *n = s->name;
    if (n[0] != 'u' || std::strlen(n) != 10) return false;
    for (const char *p = n + 1; *p; p++)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

TEST_F(Registry, NoNameMeansAUniqueNameThatReturnsToTheReuseList)
{
    thing *x = new_thing(1);
    ASSERT_EQ(object_register(space, nullptr, x), x);
    symbol *name = nullptr;
    ASSERT_EQ(object_findregisteredbyptr(nullptr, &name, x), 0);
    EXPECT_TRUE(has_unique_form(name)) << name->name;

    long waiting = kel::symbol_unique_reuse_count();
    freeobject(x);
    EXPECT_EQ(kel::symbol_unique_reuse_count(), waiting + 1);

    // A caller registering that name by hand takes it off the list while it
    // is in use, and it goes back once, however often it is registered.
    thing *y = new_thing(2);
    object_register(space, name, y);
    EXPECT_EQ(kel::symbol_unique_reuse_count(), waiting);
    object_unregister(y);
    object_register(space, name, y);
    object_unregister(y);
    EXPECT_EQ(kel::symbol_unique_reuse_count(), waiting + 1);
    freeobject(y);
    kel::symbol_unique_unslate(name);  // the reuse list as other tests found it
}

TEST_F(Registry, AUniqueNameStillRegisteredElsewhereIsNotReused)
{
    symbol *name = symbol_unique();
    thing *here = new_thing(1);
    thing *there = new_thing(2);
    object_register(space, name, here);
    object_register(gensym("registry_elsewhere"), name, there);
    long waiting = kel::symbol_unique_reuse_count();
    freeobject(here);
    EXPECT_EQ(kel::symbol_unique_reuse_count(), waiting);
    freeobject(there);
    EXPECT_EQ(kel::symbol_unique_reuse_count(), waiting + 1);
    kel::symbol_unique_unslate(name);
}

TEST_F(Registry, OtherNamesDoNotGoToTheReuseList)
{
    long waiting = kel::symbol_unique_reuse_count();
    for (const char *name : {"u12345678", "x123456789", "u12345678a", "plain"}) {
        thing *x = new_thing(1);
        object_register(space, gensym(name), x);
        freeobject(x);
    }
    EXPECT_EQ(kel::symbol_unique_reuse_count(), waiting);
}

// --- attaching and notifying ---

TEST_F(Registry, AttachedClientsHearNotifications)
{
    thing *x = new_thing(7);
    client *a = new_client("a");
    client *b = new_client("b");
    EXPECT_EQ(object_attach(space, gensym("n"), a), nullptr) << "nothing registered there yet";
    object_register(space, gensym("n"), x);
    EXPECT_EQ(object_attach(space, gensym("n"), a), x);
    EXPECT_EQ(object_attach(space, gensym("n"), b), x);
    EXPECT_EQ(object_attach(space, gensym("n"), a), x) << "attaching again keeps one attachment";

    int data = 0;
    EXPECT_EQ(object_notify(x, gensym("changed"), &data), 0);
    EXPECT_EQ(g_log, "a: n changed from 7 with data | b: n changed from 7 with data");

    g_log.clear();
    EXPECT_EQ(object_detach(space, gensym("n"), a), 0);
    EXPECT_EQ(object_detach(space, gensym("n"), a), -1);
    EXPECT_EQ(object_detach(space, gensym("nobody"), b), -1);
    object_notify(x, gensym("changed"), nullptr);
    EXPECT_EQ(g_log, "b: n changed from 7");
    freeobject(x);
}

TEST_F(Registry, NotifyingAnUnregisteredObjectReachesNobody)
{
    thing *x = new_thing(1);
    EXPECT_EQ(object_notify(x, gensym("changed"), nullptr), 0);
    EXPECT_EQ(object_notify(nullptr, gensym("changed"), nullptr), -1);
    EXPECT_EQ(g_log, "");
    freeobject(x);
}

TEST_F(Registry, TheLastHolderLettingGoTellsEachClientFreeOnce)
{
    thing *x = new_thing(3);
    object_register(space, gensym("n"), x);
    object_register(space, gensym("n"), x);
    object_attach(space, gensym("n"), new_client("a"));
    object_attach(space, gensym("n"), new_client("b"));
    freeobject(x);
    EXPECT_EQ(g_log, "") << "a holder is left";
    freeobject(x);
    EXPECT_EQ(g_log, "a: n free from 3 | b: n free from 3 | free 3");
}

void detach_self(client *self, object *)
{
    object_detach(gensym("registry_test_ClientsMayDetachWhileBeingNotified"), gensym("n"), self);
}

void detach_other(client *self, object *)
{
    object_detach(gensym("registry_test_ClientsMayDetachWhileBeingNotified"), gensym("n"), self->other);
}

TEST_F(Registry, ClientsMayDetachWhileBeingNotified)
{
    thing *x = new_thing(1);
    object_register(space, gensym("n"), x);
    client *a = new_client("a", detach_self);
    client *b = new_client("b", detach_other);
    client *c = new_client("c");
    b->other = c;
    for (client *k : {a, b, c}) object_attach(space, gensym("n"), k);

    object_notify(x, gensym("first"), nullptr);
    EXPECT_EQ(g_log, "a: n first from 1 | b: n first from 1") << "c was detached before its turn";
    g_log.clear();
    object_notify(x, gensym("second"), nullptr);
    EXPECT_EQ(g_log, "b: n second from 1");
    freeobject(x);
}

void free_sender(client *, object *sender) { freeobject(sender); }

TEST_F(Registry, AClientMayFreeTheSenderWhileBeingNotified)
{
    thing *x = new_thing(4);
    object_register(space, gensym("n"), x);
    object_attach(space, gensym("n"), new_client("a", free_sender));
    object_attach(space, gensym("n"), new_client("b"));
    object_notify(x, gensym("changed"), nullptr);
    // a frees x: both hear `free` from the final unregistration (a's second
    // freeobject from there frees nothing), and b hears nothing more of a
    // registration that is gone.
    EXPECT_EQ(g_log, "a: n changed from 4 | a: n free from 4 | b: n free from 4 | free 4");
    EXPECT_EQ(object_findregistered(space, gensym("n")), nullptr);
}

void free_while_freeing(client *, object *sender) { freeobject(sender); }

TEST_F(Registry, FreeingAgainFromTheFreeNotificationDoesNotFreeTwice)
{
    thing *x = new_thing(5);
    object_register(space, gensym("n"), x);
    object_attach(space, gensym("n"), new_client("a", free_while_freeing));
    freeobject(x);
    EXPECT_EQ(g_log, "a: n free from 5 | free 5");
}

TEST_F(Registry, AClientFreedWithoutDetachingHearsNothingMore)
{
    thing *x = new_thing(6);
    object_register(space, gensym("n"), x);
    object_register(gensym("registry_elsewhere_too"), gensym("n"), new_thing(7));
    auto *gone = static_cast<client *>(object_alloc(client_class()));
    gone->tag = "gone";
    gone->action = nullptr;
    object_attach(space, gensym("n"), gone);
    object_attach(gensym("registry_elsewhere_too"), gensym("n"), gone);
    object_attach(space, gensym("n"), new_client("stays"));
    freeobject(gone);
    // The pool hands the same block to the next object of that size.
    client *next = new_client("next");
    object_notify(x, gensym("changed"), nullptr);
    EXPECT_EQ(g_log, "stays: n changed from 6");
    EXPECT_EQ(object_detach(space, gensym("n"), next), -1);
    freeobject(object_findregistered(gensym("registry_elsewhere_too"), gensym("n")));
    freeobject(x);
}

// An object of a box class speaks through its box too: clients attached to
// the box's name hear the object's notifications, with the box as sender.
struct boxed {
    object header;
    long id;
    hashtab *obex;
};

TEST_F(Registry, ABoxClassObjectNotifiesOnBehalfOfItsBox)
{
    static kel_class *c = [] {
        kel_class *k = class_new("registry_boxed", nullptr, nullptr, sizeof(boxed), nullptr, 0);
        class_obexoffset_set(k, offsetof(boxed, obex));
        k->flags |= CLASS_FLAG_BOX;
        return k;
    }();
    thing *box = new_thing(9);
    symbol *box_binding = gensym("#B");
    object *saved = box_binding->thing;
    box_binding->thing = &box->header;
    auto *x = static_cast<boxed *>(object_alloc(c));
    box_binding->thing = saved;
    x->id = 8;

    object_register(space, gensym("thebox"), box);
    object_register(space, gensym("theobject"), x);
    object_attach(space, gensym("thebox"), new_client("boxwatcher"));
    object_attach(space, gensym("theobject"), new_client("watcher"));
    object_notify(x, gensym("changed"), nullptr);
    EXPECT_EQ(g_log, "watcher: theobject changed from 8 | boxwatcher: thebox changed from 9");
    g_log.clear();
    object_notify(box, gensym("changed"), nullptr);
    EXPECT_EQ(g_log, "boxwatcher: thebox changed from 9");

    g_log.clear();
    freeobject(x);
    freeobject(box);
    EXPECT_EQ(g_log, "watcher: theobject free from 8 | boxwatcher: thebox free from 9 | free 9");
}

}  // namespace
