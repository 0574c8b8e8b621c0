// key and keyup: every instance reports each key event, right to left.
#include <gtest/gtest.h>

#include "object_support.h"

namespace kel::test {
namespace {

class KeyObjects : public ObjectTest {};

// One event through each entry: character 'a' (0x61), key code 0x26,
// modifiers 0x0100.
TEST_F(KeyObjects, TwoObjectsReportOnePressRightToLeftAndAFreedOneStops)
{
    const struct {
        const char *cls;
        long (*report)(long key, long modifiers);
    } entries[] = {
        {"key", [](long key, long modifiers) { return plug_dokey(key, 0, modifiers); }},
        {"keyup", [](long key, long modifiers) { return plug_dokeyup(key, modifiers); }},
    };
    for (const auto &e : entries) {
        SCOPED_TRACE(e.cls);
        object *first = make(e.cls);
        object *second = make(e.cls);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        ASSERT_EQ(outlet_count(first), 3);
        const char *tags[2][3] = {{"1char", "1code", "1mods"}, {"2char", "2code", "2mods"}};
        for (int k = 0; k < 3; k++) {
            rec_.attach(first, k, tags[0][k]);
            rec_.attach(second, k, tags[1][k]);
        }
        g_log.clear();
        EXPECT_EQ(e.report(0x2661, 0x10100), 1);  // the modifier word is 16 bits
        // Each point reaches both objects (the newest first) before the next
        // point sends.
        EXPECT_EQ(g_log, "2mods@0 256 | 1mods@0 256 | 2code@0 38 | 1code@0 38 | 2char@0 97 | 1char@0 97");
        forget(first);
        g_log.clear();
        e.report(0x0d0a, 0);
        EXPECT_EQ(g_log, "2mods@0 0 | 2code@0 13 | 2char@0 10");
        forget(second);
    }
}

TEST_F(KeyObjects, PressesAndReleasesGoToTheirOwnClass)
{
    object *down = make("key");
    object *up = make("keyup");
    rec_.attach(down, 0, "down");
    rec_.attach(up, 0, "up");
    g_log.clear();
    plug_dokey('x', 0, 0);
    plug_dokeyup('y', 0);
    EXPECT_EQ(g_log, "down@0 120 | up@0 121");
}

}  // namespace
}  // namespace kel::test
