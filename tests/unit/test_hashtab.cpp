// Hash tables: slot counts, storing and replacing, ownership of values, keys
// in order, visiting, the printed summary and the message interface.
#include "kel/hashtab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "console_capture.h"
#include "kel/classes.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/hashtab.h"
#include "kernel/core/memory.h"

namespace {

// --- objects that say when they are freed ---

struct item {
    object header;
    long id;
    long bumps;
};

std::vector<long> g_freed;  // ids, in the order their free method ran

void item_free(item *x) { g_freed.push_back(x->id); }

void *item_bump(item *x, kel_word n)
{
    x->bumps += static_cast<long>(n);
    return nullptr;
}

kel_class *item_class()
{
    static kel_class *c = [] {
        kel_class *k =
            class_new("hashtab_test_item", nullptr, reinterpret_cast<kel_method>(&item_free), sizeof(item), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&item_bump), "bump", ATYPE_CANT, 0);
        return k;
    }();
    return c;
}

item *new_item(long id)
{
    auto *x = static_cast<item *>(object_alloc(item_class()));
    x->id = id;
    x->bumps = 0;
    return x;
}

// prefix followed by n in decimal.
std::string numbered(const char *prefix, long n)
{
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

void *val(intptr_t n) { return reinterpret_cast<void *>(n); }

symbol *key(const char *name) { return gensym(name); }

// The keys in the order getkeys writes them.
std::vector<std::string> keys_of(hashtab *x)
{
    long count = 0;
    symbol **keys = nullptr;
    EXPECT_EQ(hashtab_getkeys(x, &count, &keys), 0);
    std::vector<std::string> out;
    for (long i = 0; i < count; i++) out.push_back(keys[i]->name);
    if (keys) freebytes(keys, count * static_cast<long>(sizeof(symbol *)));
    return out;
}

class HashtabOwnership : public testing::Test {
protected:
    void SetUp() override { g_freed.clear(); }
};

// --- making ---

TEST(HashtabNew, SlotCountIsOddWithADefault)
{
    struct Case {
        long asked, slots;
    };
    for (Case c : {Case{0, 59}, Case{-5, 59}, Case{100, 101}, Case{101, 101}, Case{1, 1}, Case{2, 3}, Case{13, 13},
                   Case{8191, 8191}, Case{100000, 8191}}) {
        SCOPED_TRACE(c.asked);
        hashtab *x = hashtab_new(c.asked);
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(hashtab_getslotcount(x), c.slots);
        EXPECT_EQ(hashtab_getsize(x), 0);
        EXPECT_EQ(hashtab_chuck(x), 0);
    }
}

// --- storing and looking up ---

TEST(HashtabStore, LookupAnswersTheStoredValue)
{
    hashtab *x = hashtab_new(0);
    EXPECT_EQ(hashtab_store(x, key("alpha"), val(0x1000)), 0);
    EXPECT_EQ(hashtab_store_safe(x, key("beta"), val(0x2000)), 0);
    EXPECT_EQ(hashtab_store(x, key("gamma"), nullptr), 0);
    EXPECT_EQ(hashtab_getsize(x), 3);

    struct Case {
        const char *name;
        long answer;
        intptr_t value;
    };
    for (Case c : {Case{"alpha", 0, 0x1000}, Case{"beta", 0, 0x2000}, Case{"gamma", 0, 0}, Case{"delta", -1, 0},
                   Case{"", -1, 0}}) {
        SCOPED_TRACE(c.name);
        void *out = val(-1);
        EXPECT_EQ(hashtab_lookup(x, key(c.name), &out), c.answer);
        EXPECT_EQ(out, val(c.value));
        EXPECT_EQ(hashtab_lookup(x, key(c.name), nullptr), -1) << "no place for the answer";
    }
    EXPECT_EQ(hashtab_chuck(x), 0);
}

TEST(HashtabStore, SlotListsAreCountedWhileTheirTableLives)
{
    const long before = kel::hashtab_slot_lists();
    hashtab *x = hashtab_new(3);
    std::set<uintptr_t> slots;
    for (const char *name : {"one", "two", "three", "four"}) {
        EXPECT_EQ(hashtab_store(x, key(name), nullptr), 0);
        slots.insert(reinterpret_cast<uintptr_t>(key(name)) % 3);
        EXPECT_EQ(kel::hashtab_slot_lists(), before + static_cast<long>(slots.size())) << name;
    }
    hashtab_delete(x, key("one"));
    EXPECT_EQ(kel::hashtab_slot_lists(), before + static_cast<long>(slots.size())) << "kept while the table lives";
    EXPECT_EQ(hashtab_chuck(x), 0);
    EXPECT_EQ(kel::hashtab_slot_lists(), before);
}

TEST(HashtabStore, AStoreWithoutMemoryForItsSlotSaysSo)
{
    hashtab *x = hashtab_new(3);
    symbol *one = key("one"), *two = key("two");
    // Every request fails, whatever the pool holds free at this point.
    kel::memory_fail_request(1, true);
    EXPECT_EQ(hashtab_store(x, one, val(1)), -1);
    EXPECT_EQ(hashtab_store_safe(x, two, val(2)), -1);
    kel::memory_fail_request(-1, false);
    kel::memory_set_low(false);
    void *out = nullptr;
    EXPECT_EQ(hashtab_lookup(x, key("one"), &out), -1);
    EXPECT_EQ(hashtab_getsize(x), 0);
    EXPECT_EQ(hashtab_chuck(x), 0);
}

TEST(HashtabStore, ManyKeysInFewSlots)
{
    hashtab *x = hashtab_new(3);
    std::vector<std::string> names;
    for (int i = 0; i < 500; i++) names.push_back(numbered("key", i));
    for (int i = 0; i < 500; i++) hashtab_store(x, key(names[i].c_str()), val(i * 8 + 8));
    EXPECT_EQ(hashtab_getsize(x), 500);
    for (int i = 0; i < 500; i++) {
        void *out = nullptr;
        ASSERT_EQ(hashtab_lookup(x, key(names[i].c_str()), &out), 0) << names[i];
        EXPECT_EQ(out, val(i * 8 + 8));
    }
    for (int i = 0; i < 500; i += 2) EXPECT_EQ(hashtab_chuckkey(x, key(names[i].c_str())), 0);
    EXPECT_EQ(hashtab_getsize(x), 250);
    for (int i = 0; i < 500; i++) {
        void *out = nullptr;
        EXPECT_EQ(hashtab_lookup(x, key(names[i].c_str()), &out), i % 2 ? 0 : -1) << names[i];
    }
    hashtab_chuck(x);
}

// What replacing a stored value does to the old one.
TEST_F(HashtabOwnership, ReplacingFreesTheOldObjectUnlessSafe)
{
    struct Case {
        std::string name;
        bool safe;
        bool same;  // store the very value already stored
        bool freed;
    };
    const Case cases[] = {
        {"store frees the old object", false, false, true},
        {"store_safe keeps the old object", true, false, false},
        {"storing the same object again keeps it", false, true, false},
        {"store_safe of the same object keeps it", true, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_freed.clear();
        hashtab *x = hashtab_new(0);
        item *old_value = new_item(1);
        item *new_value = c.same ? old_value : new_item(2);
        hashtab_store(x, key("k"), old_value);
        EXPECT_EQ(c.safe ? hashtab_store_safe(x, key("k"), new_value) : hashtab_store(x, key("k"), new_value), 0);
        EXPECT_EQ(g_freed, c.freed ? std::vector<long>{1} : std::vector<long>{});
        EXPECT_EQ(hashtab_getsize(x), 1) << "replaced, not added";
        void *out = nullptr;
        EXPECT_EQ(hashtab_lookup(x, key("k"), &out), 0);
        EXPECT_EQ(out, new_value);
        hashtab_chuck(x);
        if (!c.freed && !c.same) freeobject(old_value);
        freeobject(new_value);
    }
}

// Values need not be objects: symbols and small integers are left alone.
TEST_F(HashtabOwnership, ValuesThatAreNotObjectsAreNeverFreed)
{
    struct Case {
        std::string name;
        void *value;
    };
    const Case cases[] = {
        {"a symbol", gensym("just a name")},
        {"a small odd integer", val(5)},
        {"a small aligned integer", val(64)},
        {"an integer past the first pages", val(0x10000)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (auto replace : {hashtab_store, hashtab_store_safe}) {
            kel::test::console_capture console;
            hashtab *x = hashtab_new(0);
            hashtab_store(x, key("a"), c.value);
            EXPECT_EQ(replace(x, key("a"), val(16)), 0) << "replacing it";
            hashtab_store(x, key("a"), c.value);
            hashtab_store(x, key("b"), c.value);
            hashtab_store(x, key("c"), c.value);
            EXPECT_EQ(hashtab_delete(x, key("a")), 0) << "deleting it";
            EXPECT_EQ(hashtab_clear(x), 0) << "clearing it";
            hashtab_store(x, key("d"), c.value);
            freeobject(x);
            EXPECT_EQ(console.lines(), std::vector<std::string>{}) << "nothing to report";
        }
    }
    EXPECT_TRUE(g_freed.empty());
}

// --- removing ---

TEST_F(HashtabOwnership, DeleteFreesTheValueChuckkeyDoesNot)
{
    hashtab *x = hashtab_new(0);
    item *a = new_item(1), *b = new_item(2);
    hashtab_store(x, key("a"), a);
    hashtab_store(x, key("b"), b);

    struct Case {
        std::string name;
        std::function<long()> remove;
        long answer;
        std::vector<long> freed;
        long size;
    };
    const Case cases[] = {
        {"chuckkey keeps b", [&] { return hashtab_chuckkey(x, key("b")); }, 0, {}, 1},
        {"chuckkey of a missing key", [&] { return hashtab_chuckkey(x, key("b")); }, -1, {}, 1},
        {"delete of a missing key", [&] { return hashtab_delete(x, key("nothing")); }, -1, {}, 1},
        {"delete frees a", [&] { return hashtab_delete(x, key("a")); }, 0, {1}, 0},
        {"delete again", [&] { return hashtab_delete(x, key("a")); }, -1, {1}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.remove(), c.answer);
        EXPECT_EQ(g_freed, c.freed);
        EXPECT_EQ(hashtab_getsize(x), c.size);
    }
    void *out = val(-1);
    EXPECT_EQ(hashtab_lookup(x, key("a"), &out), -1);
    EXPECT_EQ(out, nullptr);
    hashtab_chuck(x);
    freeobject(b);
}

TEST_F(HashtabOwnership, ClearFreesEveryValueAndTheTableStaysUsable)
{
    hashtab *x = hashtab_new(7);
    for (long id = 1; id <= 20; id++) hashtab_store(x, key(numbered("k", id).c_str()), new_item(id));
    hashtab_store(x, key("empty"), nullptr);
    EXPECT_EQ(hashtab_clear(x), 0);
    std::vector<long> freed = g_freed;
    std::sort(freed.begin(), freed.end());
    std::vector<long> all;
    for (long id = 1; id <= 20; id++) all.push_back(id);
    EXPECT_EQ(freed, all);
    EXPECT_EQ(hashtab_getsize(x), 0);
    EXPECT_EQ(hashtab_getslotcount(x), 7);
    void *out = nullptr;
    EXPECT_EQ(hashtab_lookup(x, key("k3"), &out), -1);

    g_freed.clear();
    EXPECT_EQ(hashtab_store(x, key("k3"), new_item(33)), 0);
    EXPECT_EQ(hashtab_lookup(x, key("k3"), &out), 0);
    freeobject(x);
    EXPECT_EQ(g_freed, std::vector<long>{33}) << "freeing the table frees its values";
}

TEST_F(HashtabOwnership, ChuckFreesTheTableButNotTheValues)
{
    hashtab *x = hashtab_new(0);
    item *a = new_item(1), *b = new_item(2);
    hashtab_store(x, key("a"), a);
    hashtab_store(x, key("b"), b);
    EXPECT_EQ(hashtab_chuck(x), 0);
    EXPECT_TRUE(g_freed.empty());
    freeobject(a);
    freeobject(b);
}

// --- keys ---

TEST(HashtabKeys, OneSlotKeepsFirstStoreOrder)
{
    hashtab *x = hashtab_new(1);
    for (const char *name : {"c", "a", "b"}) hashtab_store(x, key(name), val(8));
    EXPECT_EQ(keys_of(x), (std::vector<std::string>{"c", "a", "b"}));
    hashtab_store(x, key("a"), val(16));  // a new value keeps the key's place
    EXPECT_EQ(keys_of(x), (std::vector<std::string>{"c", "a", "b"}));
    hashtab_chuckkey(x, key("c"));
    hashtab_store(x, key("d"), val(8));
    hashtab_store(x, key("c"), val(8));  // stored again: at the end
    EXPECT_EQ(keys_of(x), (std::vector<std::string>{"a", "b", "d", "c"}));
    hashtab_chuck(x);
}

TEST(HashtabKeys, GetkeysAllocatesOrFillsTheCallersArray)
{
    hashtab *x = hashtab_new(1);
    for (const char *name : {"k1", "k2", "k3"}) hashtab_store(x, key(name), val(8));
    struct Case {
        long count;  // the room in the caller's array
        long written;
    };
    for (Case c : {Case{2, 2}, Case{3, 3}, Case{5, 3}, Case{1, 1}}) {
        SCOPED_TRACE(c.count);
        symbol *room[6] = {};
        symbol **keys = room;
        long count = c.count;
        EXPECT_EQ(hashtab_getkeys(x, &count, &keys), 0);
        EXPECT_EQ(keys, room) << "the caller's array is used";
        EXPECT_EQ(count, c.written);
        const char *expected[] = {"k1", "k2", "k3"};
        for (long i = 0; i < 6; i++) {
            if (i < c.written)
                EXPECT_EQ(room[i], key(expected[i])) << i;
            else
                EXPECT_EQ(room[i], nullptr) << "written past the room at " << i;
        }
    }

    // A null array: one is allocated to hold every key.
    long count = 1;
    symbol **keys = nullptr;
    EXPECT_EQ(hashtab_getkeys(x, &count, &keys), 0);
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(keys[2], key("k3"));
    freebytes(keys, count * static_cast<long>(sizeof(symbol *)));
    hashtab_chuck(x);

    // An empty table: nothing allocated.
    hashtab *empty = hashtab_new(0);
    count = 4;
    keys = nullptr;
    EXPECT_EQ(hashtab_getkeys(empty, &count, &keys), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(keys, nullptr);
    EXPECT_EQ(hashtab_getkeys(empty, nullptr, &keys), -1);
    EXPECT_EQ(hashtab_getkeys(empty, &count, nullptr), -1);
    hashtab_chuck(empty);
}

TEST(HashtabKeys, GetkeysReachesEverySlot)
{
    for (long slots : {0L, 3L, 101L}) {
        SCOPED_TRACE(slots);
        hashtab *x = hashtab_new(slots);
        std::set<std::string> stored;
        for (int i = 0; i < 200; i++) {
            std::string name = numbered("name", i * 37);
            stored.insert(name);
            hashtab_store(x, key(name.c_str()), val(8));
        }
        std::vector<std::string> keys = keys_of(x);
        EXPECT_EQ(keys.size(), stored.size());
        EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), stored);
        hashtab_chuck(x);
    }
}

// --- searching and visiting ---

long is_value(void *value, void *arg) { return value == arg; }

TEST(HashtabVisit, FindfirstAnswersAMatchingValue)
{
    hashtab *x = hashtab_new(0);
    hashtab_store(x, key("a"), val(8));
    hashtab_store(x, key("b"), val(16));
    struct Case {
        intptr_t wanted;
        long answer;
        intptr_t found;
    };
    for (Case c : {Case{16, 0, 16}, Case{8, 0, 8}, Case{24, -1, 0}}) {
        SCOPED_TRACE(c.wanted);
        void *out = val(-1);
        EXPECT_EQ(hashtab_findfirst(x, &out, is_value, val(c.wanted)), c.answer);
        EXPECT_EQ(out, val(c.found));
    }
    hashtab_chuck(x);
}

using pairs = std::set<std::pair<std::string, intptr_t>>;

void collect(hashtab_entry *e, void *arg)
{
    static_cast<pairs *>(arg)->insert({hashtab_entry_key(e)->name, reinterpret_cast<intptr_t>(hashtab_entry_value(e))});
}

TEST(HashtabVisit, FunallReachesEveryEntry)
{
    for (long slots : {1L, 0L}) {
        SCOPED_TRACE(slots);
        hashtab *x = hashtab_new(slots);
        pairs stored;
        for (int i = 1; i <= 30; i++) {
            std::string name = numbered("e", i);
            hashtab_store(x, key(name.c_str()), val(i * 8));
            stored.insert({name, i * 8});
        }
        pairs seen;
        EXPECT_EQ(hashtab_funall(x, collect, &seen), 0);
        EXPECT_EQ(seen, stored);
        hashtab_chuck(x);
    }
}

hashtab *g_visited = nullptr;
long g_visits = 0;

void delete_visited(hashtab_entry *e, void *)
{
    g_visits++;
    hashtab_delete(g_visited, hashtab_entry_key(e));
}

void clear_on_visit(hashtab_entry *, void *)
{
    g_visits++;
    hashtab_clear(g_visited);
}

void chuck_others_on_visit(hashtab_entry *e, void *)
{
    g_visits++;
    long count = 0;
    symbol **keys = nullptr;
    hashtab_getkeys(g_visited, &count, &keys);
    for (long i = 0; i < count; i++)
        if (keys[i] != hashtab_entry_key(e)) hashtab_chuckkey(g_visited, keys[i]);
    freebytes(keys, count * static_cast<long>(sizeof(symbol *)));
}

TEST_F(HashtabOwnership, FunallSurvivesCallbacksThatRemoveEntries)
{
    struct Case {
        std::string name;
        void (*fn)(hashtab_entry *, void *);
        long visits;
        size_t freed;
        long left;
    };
    const Case cases[] = {
        {"each deletes itself", delete_visited, 10, 10, 0},
        {"the first clears the table", clear_on_visit, 1, 10, 0},
        {"the first chucks every other key", chuck_others_on_visit, 1, 0, 1},
    };
    for (const Case &c : cases) {
        for (long slots : {1L, 0L}) {
            SCOPED_TRACE(testing::Message() << c.name << ", slots " << slots);
            g_freed.clear();
            g_visits = 0;
            hashtab *x = hashtab_new(slots);
            g_visited = x;
            std::vector<item *> items;
            for (long id = 1; id <= 10; id++) {
                items.push_back(new_item(id));
                hashtab_store(x, key(numbered("v", id).c_str()), items.back());
            }
            hashtab_funall(x, c.fn, nullptr);
            EXPECT_EQ(g_visits, c.visits);
            EXPECT_EQ(g_freed.size(), c.freed);
            EXPECT_EQ(hashtab_getsize(x), c.left);
            // The table goes on working.
            EXPECT_EQ(hashtab_store(x, key("new"), val(8)), 0);
            EXPECT_EQ(hashtab_getsize(x), c.left + 1);
            void *out = nullptr;
            EXPECT_EQ(hashtab_lookup(x, key("new"), &out), 0);
            g_visited = nullptr;
            hashtab_chuck(x);
            for (long id = 1; id <= 10; id++)
                if (std::find(g_freed.begin(), g_freed.end(), id) == g_freed.end()) freeobject(items[id - 1]);
        }
    }
}

TEST_F(HashtabOwnership, MethodallReachesTheValuesThatAreObjects)
{
    hashtab *x = hashtab_new(0);
    item *a = new_item(1), *b = new_item(2);
    hashtab_store(x, key("a"), a);
    hashtab_store(x, key("b"), b);
    hashtab_store(x, key("s"), gensym("not an object"));
    hashtab_store(x, key("n"), val(7));
    hashtab_store(x, key("z"), nullptr);
    kel::test::console_capture console;
    EXPECT_EQ(hashtab_methodall(x, gensym("bump"), 3), 0);
    EXPECT_EQ(a->bumps, 3);
    EXPECT_EQ(b->bumps, 3);
    object_method(x, gensym("methodall"), gensym("bump"), 4);
    EXPECT_EQ(a->bumps, 7);
    EXPECT_EQ(b->bumps, 7);
    EXPECT_EQ(console.lines(), std::vector<std::string>{}) << "the other values are passed over silently";
    EXPECT_EQ(hashtab_clear(x), 0);
    std::sort(g_freed.begin(), g_freed.end());
    EXPECT_EQ(g_freed, (std::vector<long>{1, 2}));
    hashtab_chuck(x);
}

// --- read-only tables ---

TEST(HashtabReadonly, EveryOperationStillWorksFromOneThread)
{
    hashtab *x = hashtab_new(5);
    hashtab_store(x, key("before"), val(8));
    EXPECT_EQ(hashtab_readonly(x, 1), 0);
    for (int i = 0; i < 20; i++) hashtab_store(x, key(numbered("r", i).c_str()), val(16));
    EXPECT_EQ(hashtab_getsize(x), 21);
    void *out = nullptr;
    EXPECT_EQ(hashtab_lookup(x, key("r7"), &out), 0);
    EXPECT_EQ(out, val(16));
    EXPECT_EQ(hashtab_chuckkey(x, key("before")), 0);
    pairs seen;
    hashtab_funall(x, collect, &seen);
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_EQ(keys_of(x).size(), 20u);
    EXPECT_EQ(hashtab_readonly(x, 0), 0);
    hashtab_store(x, key("after"), val(8));
    EXPECT_EQ(hashtab_getsize(x), 21);
    hashtab_chuck(x);
}

// --- the printed summary ---

TEST(HashtabPrint, PostsTheSlotsAndTheSummary)
{
    struct Case {
        std::string name;
        long slots;
        std::vector<const char *> keys;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"three keys in one slot",
         1,
         {"x", "y", "z"},
         {"slot[0] contains 3 entries", "total size is 3 entries", "using 1 out of 1 slots",
          "average entries per non-empty slot is 3.000000", "maximum entries in a slot is 3"}},
        {"an empty table",
         0,
         {},
         {"total size is 0 entries", "using 0 out of 59 slots", "average entries per non-empty slot is 0.000000",
          "maximum entries in a slot is 0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        hashtab *x = hashtab_new(c.slots);
        for (const char *name : c.keys) hashtab_store(x, key(name), val(8));
        kel::test::console_capture console;
        EXPECT_EQ(hashtab_print(x), 0);
        EXPECT_EQ(console.lines(), c.lines);
        hashtab_chuck(x);
    }
}

TEST(HashtabPrint, SummaryAgreesWithTheSlotLines)
{
    hashtab *x = hashtab_new(3);
    for (int i = 0; i < 10; i++) hashtab_store(x, key(numbered("p", i).c_str()), val(8));
    kel::test::console_capture console;
    hashtab_print(x);
    std::vector<std::string> lines = console.lines();
    ASSERT_GE(lines.size(), 4u);
    long total = 0, used = 0, most = 0;
    for (size_t i = 0; i + 4 < lines.size(); i++) {
        long slot = -1, n = -1;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "slot[%ld] contains %ld entries", &slot, &n), 2) << lines[i];
        EXPECT_GE(slot, 0);
        EXPECT_LT(slot, 3);
        EXPECT_GT(n, 0);
        total += n;
        used++;
        most = std::max(most, n);
    }
    size_t tail = lines.size() - 4;
    EXPECT_EQ(total, 10);
    EXPECT_EQ(lines[tail], "total size is 10 entries");
    EXPECT_EQ(lines[tail + 1], numbered("using ", used).append(" out of 3 slots"));
    EXPECT_EQ(lines[tail + 3], numbered("maximum entries in a slot is ", most));
    hashtab_chuck(x);
}

// --- null tables and the message interface ---

void ignore_entry(hashtab_entry *, void *) {}

TEST(HashtabNull, EveryOperationAnswersWithoutCrashing)
{
    hashtab *x = nullptr;
    void *out = val(-1);
    long count = 0;
    symbol **keys = nullptr;
    struct Case {
        std::string name;
        std::function<intptr_t()> call;
        intptr_t expected;
    };
    const Case cases[] = {
        {"store", [&] { return intptr_t(hashtab_store(x, key("a"), val(8))); }, -1},
        {"store_safe", [&] { return intptr_t(hashtab_store_safe(x, key("a"), val(8))); }, -1},
        {"lookup", [&] { return intptr_t(hashtab_lookup(x, key("a"), &out)); }, -1},
        {"lookup out",
         [&] {
             out = val(-1);
             hashtab_lookup(x, key("a"), &out);
             return reinterpret_cast<intptr_t>(out);
         },
         0},
        {"delete", [&] { return intptr_t(hashtab_delete(x, key("a"))); }, -1},
        {"chuckkey", [&] { return intptr_t(hashtab_chuckkey(x, key("a"))); }, -1},
        {"clear", [&] { return intptr_t(hashtab_clear(x)); }, -1},
        {"chuck", [&] { return intptr_t(hashtab_chuck(x)); }, -1},
        {"getsize", [&] { return intptr_t(hashtab_getsize(x)); }, 0},
        {"getslotcount", [&] { return intptr_t(hashtab_getslotcount(x)); }, 0},
        {"getkeys", [&] { return intptr_t(hashtab_getkeys(x, &count, &keys)); }, -1},
        {"findfirst", [&] { return intptr_t(hashtab_findfirst(x, &out, is_value, nullptr)); }, -1},
        {"findfirst out",
         [&] {
             out = val(-1);
             hashtab_findfirst(x, &out, is_value, nullptr);
             return reinterpret_cast<intptr_t>(out);
         },
         0},
        {"funall", [&] { return intptr_t(hashtab_funall(x, ignore_entry, nullptr)); }, -1},
        {"methodall", [&] { return intptr_t(hashtab_methodall(x, gensym("bump"), 1)); }, -1},
        {"readonly", [&] { return intptr_t(hashtab_readonly(x, 1)); }, -1},
        {"print", [&] { return intptr_t(hashtab_print(x)); }, -1},
        {"entry key", [&] { return reinterpret_cast<intptr_t>(hashtab_entry_key(nullptr)); }, 0},
        {"entry value", [&] { return reinterpret_cast<intptr_t>(hashtab_entry_value(nullptr)); }, 0},
        {"free",
         [&] {
             hashtab_free(x);
             return intptr_t(0);
         },
         0},
    };
    kel::test::console_capture console;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
    }
    EXPECT_EQ(console.lines(), std::vector<std::string>{});
}

intptr_t answer(void *result) { return reinterpret_cast<intptr_t>(result); }

TEST_F(HashtabOwnership, MessagesReachTheSameOperations)
{
    hashtab *x = hashtab_new(0);
    item *a = new_item(1);
    EXPECT_EQ(answer(object_method(x, gensym("class_hashtab"))), 1);
    EXPECT_EQ(answer(object_method(x, gensym("store"), key("a"), a)), 0);
    EXPECT_EQ(answer(object_method(x, gensym("store"), key("b"), val(8))), 0);
    EXPECT_EQ(answer(object_method(x, gensym("getsize"))), 2);
    void *out = nullptr;
    EXPECT_EQ(answer(object_method(x, gensym("lookup"), key("a"), &out)), 0);
    EXPECT_EQ(out, a);
    EXPECT_EQ(answer(object_method(x, gensym("findfirst"), &out, is_value, val(8))), 0);
    EXPECT_EQ(out, val(8));
    pairs seen;
    object_method(x, gensym("funall"), collect, &seen);
    EXPECT_EQ(seen.size(), 2u);
    long count = 0;
    symbol **keys = nullptr;
    EXPECT_EQ(answer(object_method(x, gensym("getkeys"), &count, &keys)), 0);
    EXPECT_EQ(count, 2);
    freebytes(keys, count * static_cast<long>(sizeof(symbol *)));
    EXPECT_EQ(answer(object_method(x, gensym("chuckkey"), key("b"))), 0);
    EXPECT_EQ(answer(object_method(x, gensym("delete"), key("a"))), 0);
    EXPECT_EQ(g_freed, std::vector<long>{1});
    EXPECT_EQ(answer(object_method(x, gensym("getsize"))), 0);

    item *kept = new_item(2);
    object_method(x, gensym("store"), key("k"), kept);
    object_method(x, gensym("readonly"), 1);
    object_method(x, gensym("chuck"));
    EXPECT_EQ(g_freed, std::vector<long>{1}) << "chuck leaves the values alone";
    freeobject(kept);
}

}  // namespace
