// grab over a name: every object wired below the name's receivers, each
// checked again before it is called.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "object_support.h"

namespace kel::test {
namespace {

class GrabByName : public ObjectTest {};

// An object whose answer to an int frees another object first: the
// receive of the name that an earlier target's answer takes away.
struct freeing_target {
    object ob;
    outlet *out;
    object **victim;
};

void *freeing_target_int(freeing_target *x, long n)
{
    if (*x->victim) {
        freeobject(*x->victim);
        *x->victim = nullptr;
    }
    outlet_int(x->out, n + 1000);
    return nullptr;
}

kel_class *freeing_target_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("freeing_target", nullptr, nullptr, sizeof(freeing_target), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&freeing_target_int), "int", ATYPE_LONG, 0);
        return k;
    }();
    return c;
}

TEST_F(GrabByName, EveryObjectBelowEveryReceiverAnswersThroughTheGrab)
{
    object *grab = make("grab 1 many");
    ASSERT_NE(grab, nullptr);
    ASSERT_EQ(outlet_count(grab), 1);  // a named grab has no connecting outlet
    rec_.attach(grab, 0, "caught");
    std::string expected;
    // More receivers than fit the grab's list on the stack.
    for (int k = 0; k < 20; k++) {
        object *r = make("r many");
        object *plus = make(("+ " + std::to_string(k * 10)).c_str());
        rec_.attach(plus, 0, "direct");
        outlet_add(outlet_at(r, 0), plus);
        expected = "caught@0 " + std::to_string(k * 10 + 1) + (expected.empty() ? "" : " | ") + expected;
    }
    g_log.clear();
    send_text(grab, "int 1");
    EXPECT_EQ(g_log, expected);  // the newest receiver first; nothing out of the + objects' own cords
}

TEST_F(GrabByName, AReceiverFreedByAnEarlierAnswerIsNotCalled)
{
    object *grab = make("grab 1 doomed");
    rec_.attach(grab, 0, "caught");
    object *older = make("r doomed");
    object *plus = make("+ 5");
    outlet_add(outlet_at(older, 0), plus);
    object *victim = older;
    object *newer = make("r doomed");  // receivers of a name hear it newest first
    auto *first = static_cast<freeing_target *>(object_alloc(freeing_target_class()));
    first->out = intout(first);
    first->victim = &victim;
    outlet_add(outlet_at(newer, 0), first);
    std::erase(made_, older);  // freed by the answer
    g_log.clear();
    send_text(grab, "int 1");
    EXPECT_EQ(g_log, "caught@0 1001");
    EXPECT_EQ(victim, nullptr);
    freeobject(&first->ob);
}

}  // namespace
}  // namespace kel::test
