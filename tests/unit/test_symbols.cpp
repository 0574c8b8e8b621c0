// The symbol table: identity, the static table, the length cut, context
// rewriting, unique names and concurrent creation.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/core/random.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "memory_pressure.h"

namespace {

TEST(Symbols, EqualTextGivesTheSameRecord)
{
    symbol *a = gensym("frobnicate");
    EXPECT_EQ(a, gensym("frobnicate"));
    EXPECT_STREQ(a->name, "frobnicate");
    EXPECT_EQ(a->thing, nullptr);
    // Agreeing in the first eight characters, which is all the hash reads.
    symbol *b = gensym("abcdefgh_one");
    symbol *c = gensym("abcdefgh_two");
    EXPECT_NE(b, c);
    EXPECT_EQ(kel::symbol_hash("abcdefgh_one"), kel::symbol_hash("abcdefgh_two"));
    EXPECT_EQ(gensym(""), kel::sym_empty);
    EXPECT_EQ(gensym(nullptr), kel::sym_empty);
}

TEST(Symbols, StaticNamesAreTheStaticRecords)
{
    EXPECT_EQ(kel::symbols_static_count(), 514);
    struct {
        long index;
        const char *name;
    } const cases[] = {{0, "kel"}, {1, "new"}, {2, "#N"}, {147, "bang"}, {506, "parentpatcher"}, {513, ""}};
    for (const auto &c : cases) {
        symbol *s = kel::symbols_static_at(c.index);
        ASSERT_NE(s, nullptr) << c.name;
        EXPECT_STREQ(s->name, c.name);
        EXPECT_EQ(gensym(c.name), s) << c.name;
    }
    EXPECT_EQ(gensym("bang"), kel::sym_bang);
    EXPECT_EQ(gensym("poly~"), kel::symbols_static_at(505));
    // Every static name finds its own record, whatever probing it took.
    for (long i = 0; i < kel::symbols_static_count(); i++) {
        symbol *s = kel::symbols_static_at(i);
        EXPECT_EQ(gensym(s->name), s) << s->name;
    }
}

TEST(Symbols, StaticTableProbesFromTheHash)
{
    // The hash: 4 times each of the first eight characters as signed bytes,
    // reduced to 16 bits.
    EXPECT_EQ(kel::symbol_hash(""), 0);
    EXPECT_EQ(kel::symbol_hash("a"), 4 * 97);
    EXPECT_EQ(kel::symbol_hash("abcdefghij"), kel::symbol_hash("abcdefgh"));
    EXPECT_EQ(kel::symbol_hash("\xA5"), static_cast<uint16_t>(4 * -91));
    // A static record sits at its hash slot or, after a collision, at the
    // next free slot found by walking forward with wrap-around.
    for (long i = 0; i < kel::symbols_static_count(); i++) {
        symbol *s = kel::symbols_static_at(i);
        long home = kel::symbol_hash(s->name) % 1973;
        long slot = kel::symbols_static_slot(s);
        ASSERT_GE(slot, 0);
        long distance = (slot - home + 1973) % 1973;
        for (long k = 0; k < distance; k++) {
            symbol *before = nullptr;
            for (long j = 0; j < kel::symbols_static_count(); j++)
                if (kel::symbols_static_slot(kel::symbols_static_at(j)) == (home + k) % 1973)
                    before = kel::symbols_static_at(j);
            ASSERT_NE(before, nullptr) << s->name << " skipped an empty slot";
        }
    }
    // "bang" and "#N": their slots are the hash slots when nothing earlier
    // in the stored order took them.
    EXPECT_EQ(kel::symbols_static_slot(gensym("kel")), kel::symbol_hash("kel") % 1973);
}

TEST(Symbols, LongNamesStandForTheirFirst1999Characters)
{
    std::string long_name(2500, 'q');
    long_name[0] = 'L';
    symbol *s = gensym(long_name.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::strlen(s->name), 1999u);
    EXPECT_EQ(gensym(long_name.substr(0, 1999).c_str()), s);
    EXPECT_EQ(gensym(long_name.c_str()), s);  // the long text again: still one record
    EXPECT_NE(gensym(long_name.substr(0, 1998).c_str()), s);
}

TEST(Symbols, ContextRewritesThreeDashes)
{
    utils_setcontext(nullptr, 7);
    short was = utils_usecontext(1);
    struct {
        const char *typed;
        const char *looked_up;
    } const cases[] = {
        {"---a", "007a"}, {"---", "007"}, {"----a", "----a"}, {"--a", "--a"}, {"a---", "a---"}, {"---x y", "007x y"},
    };
    for (const auto &c : cases) EXPECT_STREQ(gensym(c.typed)->name, c.looked_up) << c.typed;
    utils_setcontext(nullptr, 12345);
    EXPECT_STREQ(gensym("---a")->name, "345a");
    EXPECT_EQ(utils_usecontext(0), 1);
    EXPECT_STREQ(gensym("---a")->name, "---a");
    utils_usecontext(was);
    utils_setcontext(nullptr, 0);
}

TEST(Symbols, UniqueNamesHaveTheirFormAndAreReused)
{
    symbol *first = symbol_unique();
    symbol *second = symbol_unique();
    ASSERT_EQ(std::strlen(first->name), 10u);
    EXPECT_EQ(first->name[0], 'u');
    for (int i = 1; i < 10; i++) EXPECT_TRUE(first->name[i] >= '0' && first->name[i] <= '9') << first->name;
    EXPECT_NE(first, second);
    // The counter is the last six digits.
    EXPECT_EQ(std::atol(second->name + 4), std::atol(first->name + 4) + 1);

    // Up to 10000 slated names nothing is reused; beyond, the oldest first.
    std::vector<symbol *> slated;
    for (int i = 0; i < 10001; i++) {
        char name[16];
        std::snprintf(name, sizeof name, "u999%06d", i);
        slated.push_back(gensym(name));
        kel::symbol_unique_slate(slated.back());
    }
    EXPECT_EQ(kel::symbol_unique_reuse_count(), 10001);
    kel::test::console_capture console;
    kel::g_developer = true;
    EXPECT_EQ(symbol_unique(), slated[0]);
    kel::g_developer = false;
    EXPECT_EQ(console.lines(), std::vector<std::string>{"symbol_unique: reusing u999000000"});
    EXPECT_EQ(kel::symbol_unique_reuse_count(), 10000);
    symbol *fresh = symbol_unique();  // 10000 left: not more than 10000, so a new one
    EXPECT_NE(std::strncmp(fresh->name, "u999", 4), 0);
}

TEST(Symbols, TwoThreadsMakingOneNewNameGetOneRecord)
{
    for (int round = 0; round < 50; round++) {
        std::string name = "race_" + std::to_string(round);
        symbol *seen[2] = {};
        std::thread a([&] { seen[0] = gensym(name.c_str()); });
        std::thread b([&] { seen[1] = gensym(name.c_str()); });
        a.join();
        b.join();
        ASSERT_EQ(seen[0], seen[1]) << name;
    }
    // Many names from two threads at once, crossing a doubling of the chains.
    std::vector<symbol *> made[2];
    auto make = [&](int t) {
        for (int i = 0; i < 20000; i++) made[t].push_back(gensym(("pair_" + std::to_string(i)).c_str()));
    };
    std::thread a(make, 0), b(make, 1);
    a.join();
    b.join();
    EXPECT_EQ(made[0], made[1]);
}

TEST(Symbols, ExhaustedMemoryChangesNothing)
{
    symbol *s = nullptr;
    int made = 0;
    long before = 0;
    {
        kel::test::memory_exhausted exhausted;
        before = kel::symbols_total_count();
        // The blocks in use may still hold a few names; then nothing is left.
        for (int i = 0; i < 400 && (s = gensym(("starved_" + std::to_string(i)).c_str())); i++) made++;
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(kel::symbols_total_count(), before + made);
    }
    // The name that failed is made once memory is back, exactly once.
    std::string name = "starved_" + std::to_string(made);
    symbol *later = gensym(name.c_str());
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(later, gensym(name.c_str()));
    EXPECT_EQ(kel::symbols_total_count(), before + made + 1);
}

TEST(Symbols, Statistics)
{
    long total = kel::symbols_total_count();
    gensym("statistics_new_name");
    EXPECT_EQ(kel::symbols_total_count(), total + 1);
    gensym("statistics_new_name");
    EXPECT_EQ(kel::symbols_total_count(), total + 1);
    kel::test::console_capture console;
    kel::symbols_post_statistics();
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"514 static symbols", std::to_string(total + 1) + " symbols in memory"}));
}

TEST(Symbols, TheTableKnowsThePoolBlocksItHolds)
{
    long bytes = 0, blocks = 0;
    kel::symbols_pool_held(&bytes, &blocks);
    const kel::pool_totals before = kel::pool_totals_get();
    // More names than one block of records holds, none of them short.
    for (int i = 0; i < 400; i++) gensym(("held_by_the_table_" + std::to_string(i)).c_str());
    const kel::pool_totals after = kel::pool_totals_get();
    long bytes_now = 0, blocks_now = 0;
    kel::symbols_pool_held(&bytes_now, &blocks_now);
    EXPECT_GE(blocks_now - blocks, 3);
    EXPECT_EQ(blocks_now - blocks, (after.blocks_out - after.blocks_back) - (before.blocks_out - before.blocks_back));
    EXPECT_EQ(bytes_now - bytes, (after.handed_out - after.given_back) - (before.handed_out - before.given_back));
}

TEST(Random, SeededSequenceInRange)
{
    // Values stay inside 1 .. 2^31-2, and a seed fixes the sequence.
    kel::random_seed(1);
    for (int i = 0; i < 1000; i++) {
        long r = rerand();
        ASSERT_GE(r, 1);
        ASSERT_LE(r, 2147483646);
    }
    kel::random_seed(42);
    long a = rerand(), b = rerand();
    kel::random_seed(42);
    EXPECT_EQ(rerand(), a);
    EXPECT_EQ(rerand(), b);
}

}  // namespace
