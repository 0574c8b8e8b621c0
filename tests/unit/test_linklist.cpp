// Linked lists: order, ownership of values, the cursor, walks that change the
// list under them, and the message interface.
#include "kel/linklist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/classes.h"
#include "kel/symbols.h"
#include "kernel/core/linklist.h"
#include "memory_pressure.h"

namespace {

// --- plain values: small integers standing in for pointers ---
//
// Lists holding them are only ever chucked, never cleared, so that nothing
// tries to free them.

void *val(intptr_t n) { return reinterpret_cast<void *>(n); }

struct list_chucker {
    void operator()(linklist *x) const { linklist_chuck(x); }
};
using list_ptr = std::unique_ptr<linklist, list_chucker>;

list_ptr make_list(const std::vector<intptr_t> &values)
{
    list_ptr x(linklist_new());
    for (intptr_t v : values) linklist_append(x.get(), val(v));
    return x;
}

// The values front to back, through getindex.
std::vector<intptr_t> forward(linklist *x)
{
    std::vector<intptr_t> out;
    for (long i = 0; i < linklist_getsize(x); i++) out.push_back(reinterpret_cast<intptr_t>(linklist_getindex(x, i)));
    return out;
}

// The values back to front, through last and prev (the values must be distinct).
std::vector<intptr_t> backward(linklist *x)
{
    std::vector<intptr_t> out;
    for (void *v = linklist_last(x, nullptr); v; v = linklist_prev(x, v, nullptr))
        out.push_back(reinterpret_cast<intptr_t>(v));
    return out;
}

// Both directions agree with the expected order and with the count (the walk
// backwards stops at a null value, so it is left out then).
void expect_list(linklist *x, const std::vector<intptr_t> &expected)
{
    EXPECT_EQ(linklist_getsize(x), static_cast<long>(expected.size()));
    EXPECT_EQ(forward(x), expected);
    if (std::count(expected.begin(), expected.end(), 0)) return;
    std::vector<intptr_t> reversed(expected.rbegin(), expected.rend());
    EXPECT_EQ(backward(x), reversed) << "the back links disagree with the front links";
}

// The list's own invariant: the cursor is null or one of its live elements.
bool cursor_is_live(linklist *x)
{
    if (!x->cursor) return true;
    for (kel::linklist_element *e = x->head; e; e = e->next)
        if (e == x->cursor) return !e->dead;
    return false;
}

// --- objects that say when they are freed ---

struct item {
    object header;
    long id;
    long bumps;
    linklist *home;  // the list a "leave" or "purge" message acts on
};

std::vector<long> g_freed;   // ids, in the order their free method ran
std::vector<long> g_visits;  // ids, in the order a message reached them

void item_free(item *x) { g_freed.push_back(x->id); }

void *item_bump(item *x, kel_word n)
{
    g_visits.push_back(x->id);
    x->bumps += static_cast<long>(n);
    return nullptr;
}

// Deletes itself from its list (which frees it); touches nothing afterwards.
void *item_leave(item *x)
{
    g_visits.push_back(x->id);
    linklist *home = x->home;
    linklist_deleteindex(home, linklist_objptr2index(home, x));
    return nullptr;
}

// Clears its whole list, itself included.
void *item_purge(item *x)
{
    g_visits.push_back(x->id);
    linklist_clear(x->home);
    return nullptr;
}

kel_class *item_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("linklist_test_item", nullptr, reinterpret_cast<kel_method>(&item_free), sizeof(item),
                                 nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&item_bump), "bump", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&item_leave), "leave", ATYPE_CANT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&item_purge), "purge", ATYPE_CANT, 0);
        return k;
    }();
    return c;
}

item *new_item(long id, linklist *home = nullptr)
{
    auto *x = static_cast<item *>(object_alloc(item_class()));
    x->id = id;
    x->bumps = 0;
    x->home = home;
    return x;
}

class LinklistOwnership : public testing::Test {
protected:
    void SetUp() override
    {
        g_freed.clear();
        g_visits.clear();
    }
};

// --- building and reading ---

// A list is the object and its lock: without either there is no list, and
// the memory-low flag is up, whichever memory ran out.
TEST(LinklistBasics, AListThatCannotBeMadeLeavesNothingAndRaisesTheFlag)
{
    const kel::test::pool_footprint before = kel::test::pool_footprint::now();
    kel::memory_fail_request(0, false);
    linklist *made = linklist_new();
    kel::memory_fail_request(-1, false);
    ASSERT_NE(made, nullptr);
    linklist_chuck(made);
    const long requests = kel::memory_requests_counted();
    EXPECT_EQ(requests, 2);
    for (long n = 1; n <= requests; n++) {
        SCOPED_TRACE(n);
        kel::memory_set_low(false);
        kel::memory_fail_request(n, false);
        EXPECT_EQ(linklist_new(), nullptr);
        kel::memory_fail_request(-1, false);
        EXPECT_TRUE(kel::memory_is_low());
        EXPECT_EQ(kel::test::pool_footprint::now(), before);
    }
    kel::memory_set_low(false);
}

TEST(LinklistBasics, AppendAnswersTheNewCountAndKeepsOrder)
{
    list_ptr x(linklist_new());
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(linklist_getsize(x.get()), 0);
    for (intptr_t v = 1; v <= 4; v++) EXPECT_EQ(linklist_append(x.get(), val(v * 10)), v);
    expect_list(x.get(), {10, 20, 30, 40});
    EXPECT_EQ(linklist_append(x.get(), nullptr), 5) << "a null value is an element like any other";
    EXPECT_EQ(linklist_getindex(x.get(), 4), nullptr);
}

TEST(LinklistBasics, InsertIndexPlacesTheValueOrAppendsBeyondTheEnd)
{
    struct Case {
        std::vector<intptr_t> start;
        long index;
        long answer;
        std::vector<intptr_t> expected;
    };
    const Case cases[] = {
        {{1, 2, 3}, 0, 0, {9, 1, 2, 3}},
        {{1, 2, 3}, 1, 1, {1, 9, 2, 3}},
        {{1, 2, 3}, 2, 2, {1, 2, 9, 3}},
        {{1, 2, 3}, 3, 3, {1, 2, 3, 9}},
        {{1, 2, 3}, 50, 3, {1, 2, 3, 9}},
        {{}, 0, 0, {9}},
        {{}, 7, 0, {9}},
        {{1, 2, 3}, -1, -1, {1, 2, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.index << " into " << c.start.size() << " elements");
        list_ptr x = make_list(c.start);
        EXPECT_EQ(linklist_insertindex(x.get(), val(9), c.index), c.answer);
        expect_list(x.get(), c.expected);
        // The tail is still right: the next append lands at the end.
        linklist_append(x.get(), val(100));
        std::vector<intptr_t> more = c.expected;
        more.push_back(100);
        expect_list(x.get(), more);
    }
}

TEST(LinklistBasics, IndexLookupsAnswerNullOrMinusOneOutsideTheList)
{
    list_ptr x = make_list({5, 6, 7});
    struct Case {
        long index;
        intptr_t value;
    };
    for (Case c : {Case{0, 5}, Case{2, 7}, Case{3, 0}, Case{-1, 0}, Case{1000, 0}}) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(linklist_getindex(x.get(), c.index), val(c.value));
    }
    struct Position {
        intptr_t value;
        long index;
    };
    for (Position p : {Position{5, 0}, Position{6, 1}, Position{7, 2}, Position{8, -1}}) {
        SCOPED_TRACE(p.value);
        EXPECT_EQ(linklist_objptr2index(x.get(), val(p.value)), p.index);
    }
    list_ptr dup = make_list({4, 3, 4});
    EXPECT_EQ(linklist_objptr2index(dup.get(), val(4)), 0) << "the first of equal values";
}

TEST(LinklistBasics, MakearrayCopiesUpToTheLimit)
{
    struct Case {
        std::vector<intptr_t> values;
        long limit;
        long answer;
        std::vector<intptr_t> copied;
    };
    const Case cases[] = {
        {{1, 2, 3}, 10, 3, {1, 2, 3}},
        {{1, 2, 3}, 3, 3, {1, 2, 3}},
        {{1, 2, 3}, 2, 2, {1, 2}},
        {{1, 2, 3}, 0, 0, {}},
        {{}, 10, -1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.values.size() << " elements, limit " << c.limit);
        list_ptr x = make_list(c.values);
        std::vector<void *> array(12, val(-7));
        EXPECT_EQ(linklist_makearray(x.get(), array.data(), c.limit), c.answer);
        for (size_t i = 0; i < array.size(); i++) {
            if (i < c.copied.size())
                EXPECT_EQ(array[i], val(c.copied[i])) << i;
            else
                EXPECT_EQ(array[i], val(-7)) << "written past the copied part at " << i;
        }
    }
    list_ptr x = make_list({1});
    EXPECT_EQ(linklist_makearray(x.get(), nullptr, 5), -1);
}

// --- rearranging ---

TEST(LinklistOrder, ReverseKeepsTheListWorking)
{
    struct Case {
        std::vector<intptr_t> start, reversed;
    };
    const Case cases[] = {
        {{}, {}}, {{1}, {1}}, {{1, 2}, {2, 1}}, {{1, 2, 3}, {3, 2, 1}}, {{1, 2, 3, 4, 5}, {5, 4, 3, 2, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.start.size() << " elements");
        list_ptr x = make_list(c.start);
        linklist_reverse(x.get());
        expect_list(x.get(), c.reversed);
        linklist_append(x.get(), val(99));
        std::vector<intptr_t> more = c.reversed;
        more.push_back(99);
        expect_list(x.get(), more);
        linklist_insertindex(x.get(), val(98), 0);
        more.insert(more.begin(), 98);
        expect_list(x.get(), more);
    }
}

TEST(LinklistOrder, RotateMovesElementsAroundTheEnds)
{
    struct Case {
        std::vector<intptr_t> start;
        long n;
        std::vector<intptr_t> expected;
    };
    const Case cases[] = {
        {{1, 2, 3}, 1, {3, 1, 2}},
        {{1, 2, 3}, -1, {2, 3, 1}},
        {{1, 2, 3}, 2, {2, 3, 1}},
        {{1, 2, 3}, -2, {3, 1, 2}},
        {{1, 2, 3}, 0, {1, 2, 3}},
        {{1, 2, 3}, 3, {1, 2, 3}},
        {{1, 2, 3}, 4, {3, 1, 2}},
        {{1, 2}, 1, {2, 1}},
        {{1}, 1, {1}},
        {{1}, -3, {1}},
        {{}, 1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.start.size() << " elements rotated by " << c.n);
        list_ptr x = make_list(c.start);
        linklist_rotate(x.get(), c.n);
        expect_list(x.get(), c.expected);
        linklist_append(x.get(), val(99));
        std::vector<intptr_t> more = c.expected;
        more.push_back(99);
        expect_list(x.get(), more);
    }
}

TEST(LinklistOrder, SwapExchangesTwoValuesAndIgnoresBadIndexes)
{
    struct Case {
        long a, b;
        std::vector<intptr_t> expected;
    };
    const Case cases[] = {
        {0, 2, {3, 2, 1}}, {2, 0, {3, 2, 1}}, {0, 1, {2, 1, 3}},
        {1, 1, {1, 2, 3}}, {0, 3, {1, 2, 3}}, {-1, 1, {1, 2, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "swap " << c.a << " " << c.b);
        list_ptr x = make_list({1, 2, 3});
        linklist_swap(x.get(), c.a, c.b);
        expect_list(x.get(), c.expected);
    }
}

TEST(LinklistOrder, ShuffleKeepsTheSameValues)
{
    std::vector<intptr_t> values;
    for (intptr_t v = 1; v <= 40; v++) values.push_back(v);
    for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{40}}) {
        SCOPED_TRACE(n);
        std::vector<intptr_t> start(values.begin(), values.begin() + static_cast<long>(n));
        list_ptr x = make_list(start);
        for (int round = 0; round < 5; round++) linklist_shuffle(x.get());
        std::vector<intptr_t> after = forward(x.get());
        std::vector<intptr_t> back = backward(x.get());
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(back, after);
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, start);
    }
}

// Sort keys with a tag, to see which of two equal keys comes first.
struct keyed {
    int key;
    char tag;
};

long key_at_most(void *a, void *b) { return static_cast<keyed *>(a)->key <= static_cast<keyed *>(b)->key; }
long key_less(void *a, void *b) { return static_cast<keyed *>(a)->key < static_cast<keyed *>(b)->key; }
long key_greater_or_equal(void *a, void *b) { return static_cast<keyed *>(a)->key >= static_cast<keyed *>(b)->key; }

TEST(LinklistOrder, SortPlacesEachElementBeforeTheFirstItIsNotAfter)
{
    struct Case {
        std::string name;
        long (*before)(void *, void *);
        std::vector<keyed> start;
        std::string expected;  // tags in the sorted order
    };
    const Case cases[] = {
        {"at most keeps equal keys in arrival order", key_at_most, {{3, 'c'}, {1, 'a'}, {2, 'b'}, {1, 'A'}}, "aAbc"},
        {"less puts a later equal key first", key_less, {{3, 'c'}, {1, 'a'}, {2, 'b'}, {1, 'A'}}, "Aabc"},
        {"at least sorts descending", key_greater_or_equal, {{3, 'c'}, {1, 'a'}, {2, 'b'}, {1, 'A'}}, "cbaA"},
        {"already sorted", key_at_most, {{1, 'a'}, {2, 'b'}, {3, 'c'}}, "abc"},
        {"reverse sorted", key_at_most, {{3, 'c'}, {2, 'b'}, {1, 'a'}}, "abc"},
        {"all equal", key_at_most, {{5, 'p'}, {5, 'q'}, {5, 'r'}}, "pqr"},
        {"one element", key_at_most, {{5, 'p'}}, "p"},
        {"empty", key_at_most, {}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<keyed> records = c.start;
        list_ptr x(linklist_new());
        for (keyed &k : records) linklist_append(x.get(), &k);
        linklist_sort(x.get(), c.before);
        std::string tags;
        for (intptr_t v : forward(x.get())) tags += reinterpret_cast<keyed *>(v)->tag;
        EXPECT_EQ(tags, c.expected);
        std::string back;
        for (intptr_t v : backward(x.get())) back.insert(back.begin(), reinterpret_cast<keyed *>(v)->tag);
        EXPECT_EQ(back, c.expected) << "the back links disagree after sorting";
        keyed extra{0, 'z'};
        EXPECT_EQ(linklist_append(x.get(), &extra), static_cast<long>(records.size()) + 1);
        EXPECT_EQ(linklist_last(x.get(), nullptr), &extra);
    }
}

TEST(LinklistOrder, SymbolarraySortOrdersNamesByteByByte)
{
    std::vector<symbol *> names = {gensym("b"),  gensym("a"), gensym("\xA5x"), gensym("Z"),
                                   gensym("ab"), gensym(""),  gensym("a")};
    EXPECT_EQ(symbolarray_sort(static_cast<long>(names.size()), names.data()), 0);
    std::vector<std::string> sorted;
    for (symbol *s : names) sorted.push_back(s->name);
    EXPECT_EQ(sorted, (std::vector<std::string>{"", "Z", "a", "a", "ab", "b", "\xA5x"}))
        << "bytes above 0x7F sort after ASCII";
    EXPECT_EQ(symbolarray_sort(0, names.data()), 0);
}

// --- searching and visiting ---

long greater_than(void *value, void *arg) { return reinterpret_cast<intptr_t>(value) > *static_cast<intptr_t *>(arg); }
long always(void *, void *) { return 1; }

TEST(LinklistSearch, FindfirstSkipsNullValues)
{
    struct Case {
        std::vector<intptr_t> values;
        long (*test)(void *, void *);
        intptr_t bound;
        long index;
        intptr_t found;
    };
    const Case cases[] = {
        {{1, 5, 3, 7}, greater_than, 2, 1, 5},
        {{1, 5, 3, 7}, greater_than, 5, 3, 7},
        {{1, 5, 3, 7}, greater_than, 7, -1, 0},
        {{0, 0, 4}, always, 0, 2, 4},
        {{0, 0}, always, 0, -1, 0},
        {{}, always, 0, -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.values.size() << " elements, bound " << c.bound);
        list_ptr x = make_list(c.values);
        void *out = val(-1);
        intptr_t bound = c.bound;
        EXPECT_EQ(linklist_findfirst(x.get(), &out, c.test, &bound), c.index);
        EXPECT_EQ(out, val(c.found));
        EXPECT_EQ(linklist_findfirst(x.get(), nullptr, c.test, &bound), c.index) << "out may be null";
    }
}

TEST(LinklistSearch, FindallMakesANewListOfMatches)
{
    list_ptr x = make_list({1, 0, 6, 2, 9, 4});
    intptr_t bound = 3;
    linklist *found = reinterpret_cast<linklist *>(val(-1));
    linklist_findall(x.get(), &found, greater_than, &bound);
    ASSERT_NE(found, nullptr);
    list_ptr owned(found);
    expect_list(found, {6, 9, 4});
    expect_list(x.get(), {1, 0, 6, 2, 9, 4});

    bound = 100;
    found = reinterpret_cast<linklist *>(val(-1));
    linklist_findall(x.get(), &found, greater_than, &bound);
    EXPECT_EQ(found, nullptr) << "no matches, no list";

    list_ptr nulls = make_list({0, 0});
    found = reinterpret_cast<linklist *>(val(-1));
    linklist_findall(nulls.get(), &found, always, nullptr);
    EXPECT_EQ(found, nullptr) << "null values never match";
}

void record_value(void *value, void *arg)
{
    static_cast<std::vector<intptr_t> *>(arg)->push_back(reinterpret_cast<intptr_t>(value));
}

long add_to(void *value, void *arg)
{
    return static_cast<long>(reinterpret_cast<intptr_t>(value) + *static_cast<intptr_t *>(arg));
}

TEST(LinklistSearch, FunallVisitsNonNullValuesInOrderAndFunindexOne)
{
    list_ptr x = make_list({3, 0, 1, 0, 2});
    std::vector<intptr_t> seen;
    linklist_funall(x.get(), record_value, &seen);
    EXPECT_EQ(seen, (std::vector<intptr_t>{3, 1, 2}));

    intptr_t ten = 10;
    struct Case {
        long index;
        long answer;
    };
    for (Case c : {Case{0, 13}, Case{2, 11}, Case{4, 12}, Case{1, 0}, Case{5, 0}, Case{-1, 0}}) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(linklist_funindex(x.get(), c.index, add_to, &ten), c.answer);
    }
}

TEST(LinklistSearch, SubstituteReplacesTheFirstMatch)
{
    list_ptr x = make_list({1, 2, 1});
    EXPECT_EQ(linklist_substitute(x.get(), val(1), val(7)), val(1));
    expect_list(x.get(), {7, 2, 1});
    EXPECT_EQ(linklist_substitute(x.get(), val(5), val(8)), nullptr) << "absent value";
    EXPECT_EQ(forward(x.get()), (std::vector<intptr_t>{7, 2, 1}));
}

// --- the cursor ---

TEST(LinklistCursor, NextAndPrevWalkThroughEqualValues)
{
    // With a repeated value, the cursor tells which of the equal ones is meant.
    list_ptr x = make_list({1, 2, 1, 3});
    std::vector<intptr_t> steps;
    void *out = nullptr;
    for (void *v = val(1); v; v = linklist_next(x.get(), v, &out)) {
        steps.push_back(reinterpret_cast<intptr_t>(v));
        if (steps.size() > 10) break;
    }
    EXPECT_EQ(steps, (std::vector<intptr_t>{1, 2, 1, 3}));
    EXPECT_EQ(out, nullptr) << "past the end";

    steps.clear();
    for (void *v = linklist_last(x.get(), &out); v; v = linklist_prev(x.get(), v, &out)) {
        steps.push_back(reinterpret_cast<intptr_t>(v));
        if (steps.size() > 10) break;
    }
    EXPECT_EQ(steps, (std::vector<intptr_t>{3, 1, 2, 1}));
    EXPECT_EQ(out, nullptr) << "before the start";
}

TEST(LinklistCursor, SubstituteAtTheCursorReplacesTheCurrentElement)
{
    list_ptr x = make_list({1, 2, 1});
    EXPECT_EQ(linklist_next(x.get(), val(2), nullptr), val(1));  // the cursor stands on the second 1
    EXPECT_EQ(linklist_substitute(x.get(), val(1), val(9)), val(1));
    EXPECT_EQ(forward(x.get()), (std::vector<intptr_t>{1, 2, 9}));
}

TEST(LinklistCursor, OutAnswersLikeTheResult)
{
    list_ptr x = make_list({4, 5});
    struct Case {
        std::string name;
        std::function<void *(void **)> step;
        intptr_t expected;
    };
    const Case cases[] = {
        {"next of the first", [&](void **o) { return linklist_next(x.get(), val(4), o); }, 5},
        {"next of the last", [&](void **o) { return linklist_next(x.get(), val(5), o); }, 0},
        {"next of an absent value", [&](void **o) { return linklist_next(x.get(), val(6), o); }, 0},
        {"prev of the last", [&](void **o) { return linklist_prev(x.get(), val(5), o); }, 4},
        {"prev of the first", [&](void **o) { return linklist_prev(x.get(), val(4), o); }, 0},
        {"last", [&](void **o) { return linklist_last(x.get(), o); }, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        void *out = val(-1);
        EXPECT_EQ(c.step(&out), val(c.expected));
        EXPECT_EQ(out, val(c.expected));
        EXPECT_EQ(c.step(nullptr), val(c.expected));
    }
    list_ptr empty(linklist_new());
    void *out = val(-1);
    EXPECT_EQ(linklist_last(empty.get(), &out), nullptr);
    EXPECT_EQ(out, nullptr);
}

TEST(LinklistCursor, TheCursorIsForgottenWithItsElement)
{
    struct Case {
        std::string name;
        std::function<void(linklist *)> remove;  // removes the element holding 2
    };
    const Case cases[] = {
        {"chuckindex", [](linklist *x) { linklist_chuckindex(x, 1); }},
        {"chuckptr", [](linklist *x) { linklist_chuckptr(x, val(2)); }},
        {"chuckptr inside a walk",
         [](linklist *x) {
             linklist_funall(
                 x,
                 [](void *v, void *arg) {
                     if (v == val(2)) linklist_chuckptr(static_cast<linklist *>(arg), v);
                 },
                 x);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list_ptr x = make_list({1, 2, 3});
        ASSERT_EQ(linklist_next(x.get(), val(1), nullptr), val(2));  // the cursor stands on 2
        c.remove(x.get());
        EXPECT_TRUE(cursor_is_live(x.get()));
        // Another list holding 2 may now sit in the memory the element had.
        list_ptr other = make_list({2, 99});
        void *out = val(-1);
        EXPECT_EQ(linklist_next(x.get(), val(2), &out), nullptr) << "2 is no longer in the list";
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(linklist_prev(x.get(), val(2), nullptr), nullptr);
        EXPECT_EQ(linklist_substitute(x.get(), val(2), val(8)), nullptr);
        EXPECT_EQ(linklist_next(x.get(), val(1), nullptr), val(3));
        expect_list(x.get(), {1, 3});
    }
}

// --- ownership ---

TEST_F(LinklistOwnership, DeleteFreesAndChuckDoesNot)
{
    linklist *x = linklist_new();
    item *a = new_item(1), *b = new_item(2), *c = new_item(3);
    for (item *i : {a, b, c}) linklist_append(x, i);

    EXPECT_EQ(linklist_chuckindex(x, 0), 0);
    EXPECT_TRUE(g_freed.empty());
    linklist_chuckptr(x, c);
    EXPECT_TRUE(g_freed.empty());
    EXPECT_EQ(linklist_getsize(x), 1);
    EXPECT_EQ(linklist_getindex(x, 0), b);

    EXPECT_EQ(linklist_deleteindex(x, 1), -1) << "out of range";
    EXPECT_EQ(linklist_chuckindex(x, 1), -1);
    EXPECT_TRUE(g_freed.empty());
    EXPECT_EQ(linklist_deleteindex(x, 0), 0);
    EXPECT_EQ(g_freed, std::vector<long>{2});
    EXPECT_EQ(linklist_getsize(x), 0);

    freeobject(a);
    freeobject(c);
    linklist_chuck(x);
}

TEST_F(LinklistOwnership, ClearFreesEveryNonNullValue)
{
    kel::test::console_capture console;
    linklist *x = linklist_new();
    for (long id = 1; id <= 100; id++) {
        linklist_append(x, new_item(id));
        if (id % 10 == 0) linklist_append(x, nullptr);
    }
    linklist_clear(x);
    std::vector<long> expected;
    for (long id = 1; id <= 100; id++) expected.push_back(id);
    EXPECT_EQ(g_freed, expected) << "front to back, past any batch size";
    EXPECT_EQ(linklist_getsize(x), 0);
    EXPECT_TRUE(console.lines().empty()) << "null values are not handed to freeobject";

    // The list is still usable, and freeing it frees what it then holds.
    g_freed.clear();
    EXPECT_EQ(linklist_append(x, new_item(7)), 1);
    freeobject(x);
    EXPECT_EQ(g_freed, std::vector<long>{7});
}

TEST_F(LinklistOwnership, ChuckFreesTheListButNotTheValues)
{
    linklist *x = linklist_new();
    item *a = new_item(1), *b = new_item(2);
    linklist_append(x, a);
    linklist_append(x, b);
    linklist_chuck(x);
    EXPECT_TRUE(g_freed.empty());
    freeobject(a);
    freeobject(b);
    EXPECT_EQ(g_freed, (std::vector<long>{1, 2}));
}

// --- walks that change the list under them ---

// Each of these records what it saw in g_seen and changes the list in g_walked.
std::vector<intptr_t> g_seen;
linklist *g_walked = nullptr;

void see_and_remove_self(void *value, void *)
{
    g_seen.push_back(reinterpret_cast<intptr_t>(value));
    linklist_chuckptr(g_walked, value);
}

void see_and_remove_next(void *value, void *)
{
    g_seen.push_back(reinterpret_cast<intptr_t>(value));
    long i = linklist_objptr2index(g_walked, value);
    linklist_chuckindex(g_walked, i + 1);
}

void see_and_remove_self_and_next(void *value, void *)
{
    g_seen.push_back(reinterpret_cast<intptr_t>(value));
    long i = linklist_objptr2index(g_walked, value);
    linklist_chuckindex(g_walked, i + 1);
    linklist_chuckindex(g_walked, i);
}

void see_and_remove_previous(void *value, void *)
{
    g_seen.push_back(reinterpret_cast<intptr_t>(value));
    long i = linklist_objptr2index(g_walked, value);
    if (i > 0) linklist_chuckindex(g_walked, i - 1);
}

void see_and_empty(void *value, void *)
{
    g_seen.push_back(reinterpret_cast<intptr_t>(value));
    while (linklist_getsize(g_walked)) linklist_chuckindex(g_walked, 0);
}

void chuck_even(void *value, void *)
{
    if (reinterpret_cast<intptr_t>(value) % 2 == 0) linklist_chuckptr(g_walked, value);
}

// A walk inside the walk: the inner one removes the even values, the outer
// one removes itself.
void see_and_walk_again(void *value, void *)
{
    g_seen.push_back(reinterpret_cast<intptr_t>(value));
    linklist_funall(g_walked, chuck_even, nullptr);
    linklist_chuckptr(g_walked, value);
}

TEST(LinklistWalk, FunallSurvivesCallbacksThatRemoveElements)
{
    struct Case {
        std::string name;
        void (*fn)(void *, void *);
        std::vector<intptr_t> seen, left;
    };
    const Case cases[] = {
        {"each removes itself", see_and_remove_self, {1, 2, 3, 4, 5}, {}},
        {"each removes the next", see_and_remove_next, {1, 3, 5}, {1, 3, 5}},
        {"each removes itself and the next", see_and_remove_self_and_next, {1, 3, 5}, {}},
        {"each removes the one before", see_and_remove_previous, {1, 2, 3, 4, 5}, {5}},
        {"the first empties the list", see_and_empty, {1}, {}},
        {"a nested walk removes others", see_and_walk_again, {1, 3, 5}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list_ptr x = make_list({1, 2, 3, 4, 5});
        g_walked = x.get();
        g_seen.clear();
        linklist_funall(x.get(), c.fn, nullptr);
        EXPECT_EQ(g_seen, c.seen);
        expect_list(x.get(), c.left);
        // The list goes on working after the walk.
        linklist_append(x.get(), val(50));
        linklist_insertindex(x.get(), val(40), 0);
        std::vector<intptr_t> more = c.left;
        more.insert(more.begin(), 40);
        more.push_back(50);
        expect_list(x.get(), more);
    }
    g_walked = nullptr;
}

TEST_F(LinklistOwnership, MethodallSurvivesMethodsThatFreeTheirElement)
{
    struct Case {
        std::string name;
        const char *message;
        std::vector<long> visits, freed;
    };
    const Case cases[] = {
        {"each deletes itself", "leave", {1, 2, 3, 4}, {1, 2, 3, 4}},
        {"the first clears the list", "purge", {1}, {1, 2, 3, 4}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_freed.clear();
        g_visits.clear();
        linklist *x = linklist_new();
        for (long id = 1; id <= 4; id++) {
            linklist_append(x, new_item(id, x));
            if (id == 2) linklist_append(x, nullptr);
        }
        linklist_methodall(x, gensym(c.message));
        EXPECT_EQ(g_visits, c.visits);
        EXPECT_EQ(g_freed, c.freed);
        EXPECT_EQ(linklist_getsize(x), c.message == std::string("leave") ? 1 : 0) << "the null value stays";
        linklist_chuck(x);
    }
}

TEST_F(LinklistOwnership, MethodallAndMethodindexPassTheirWords)
{
    linklist *x = linklist_new();
    item *a = new_item(1), *b = new_item(2);
    linklist_append(x, a);
    linklist_append(x, nullptr);
    linklist_append(x, b);
    linklist_methodall(x, gensym("bump"), 3);
    EXPECT_EQ(g_visits, (std::vector<long>{1, 2}));
    EXPECT_EQ(a->bumps, 3);
    EXPECT_EQ(b->bumps, 3);
    linklist_methodindex(x, 2, gensym("bump"), 4);
    linklist_methodindex(x, 1, gensym("bump"), 100);  // the null value: nothing called
    linklist_methodindex(x, 9, gensym("bump"), 100);
    EXPECT_EQ(a->bumps, 3);
    EXPECT_EQ(b->bumps, 7);
    linklist_clear(x);
    EXPECT_EQ(g_freed, (std::vector<long>{1, 2}));
    linklist_chuck(x);
}

// --- read-only lists and null lists ---

TEST(LinklistReadonly, EveryOperationStillWorksFromOneThread)
{
    list_ptr x = make_list({3, 1, 2});
    linklist_readonly(x.get(), 1);
    EXPECT_EQ(linklist_append(x.get(), val(4)), 4);
    EXPECT_EQ(linklist_insertindex(x.get(), val(5), 0), 0);
    expect_list(x.get(), {5, 3, 1, 2, 4});
    linklist_sort(x.get(), [](void *a, void *b) -> long { return a <= b; });
    expect_list(x.get(), {1, 2, 3, 4, 5});
    linklist_rotate(x.get(), 1);
    linklist_reverse(x.get());
    expect_list(x.get(), {4, 3, 2, 1, 5});
    EXPECT_EQ(linklist_chuckindex(x.get(), 0), 0);
    std::vector<intptr_t> seen;
    linklist_funall(x.get(), record_value, &seen);
    EXPECT_EQ(seen, (std::vector<intptr_t>{3, 2, 1, 5}));
    g_walked = x.get();
    g_seen.clear();
    linklist_funall(x.get(), see_and_remove_self, nullptr);
    g_walked = nullptr;
    EXPECT_EQ(linklist_getsize(x.get()), 0);
    linklist_readonly(x.get(), 0);
    EXPECT_EQ(linklist_append(x.get(), val(9)), 1);
    expect_list(x.get(), {9});
}

TEST(LinklistNull, EveryOperationAnswersWithoutCrashing)
{
    linklist *x = nullptr;
    void *out = val(-1);
    linklist *found = reinterpret_cast<linklist *>(val(-1));
    intptr_t bound = 0;
    struct Case {
        std::string name;
        std::function<intptr_t()> call;
        intptr_t expected;
    };
    const Case cases[] = {
        {"getsize", [&] { return intptr_t(linklist_getsize(x)); }, 0},
        {"append", [&] { return intptr_t(linklist_append(x, val(1))); }, -1},
        {"insertindex", [&] { return intptr_t(linklist_insertindex(x, val(1), 0)); }, -1},
        {"getindex", [&] { return reinterpret_cast<intptr_t>(linklist_getindex(x, 0)); }, 0},
        {"objptr2index", [&] { return intptr_t(linklist_objptr2index(x, val(1))); }, -1},
        {"makearray", [&] { return intptr_t(linklist_makearray(x, &out, 1)); }, -1},
        {"deleteindex", [&] { return intptr_t(linklist_deleteindex(x, 0)); }, -1},
        {"chuckindex", [&] { return intptr_t(linklist_chuckindex(x, 0)); }, -1},
        {"findfirst", [&] { return intptr_t(linklist_findfirst(x, &out, always, nullptr)); }, -1},
        {"findfirst out",
         [&] {
             out = val(-1);
             linklist_findfirst(x, &out, always, nullptr);
             return reinterpret_cast<intptr_t>(out);
         },
         0},
        {"findall out",
         [&] {
             linklist_findall(x, &found, greater_than, &bound);
             return reinterpret_cast<intptr_t>(found);
         },
         0},
        {"funindex", [&] { return intptr_t(linklist_funindex(x, 0, add_to, &bound)); }, 0},
        {"substitute", [&] { return reinterpret_cast<intptr_t>(linklist_substitute(x, val(1), val(2))); }, 0},
        {"next", [&] { return reinterpret_cast<intptr_t>(linklist_next(x, val(1), &out)); }, 0},
        {"next out",
         [&] {
             out = val(-1);
             linklist_next(x, val(1), &out);
             return reinterpret_cast<intptr_t>(out);
         },
         0},
        {"prev out",
         [&] {
             out = val(-1);
             linklist_prev(x, val(1), &out);
             return reinterpret_cast<intptr_t>(out);
         },
         0},
        {"last out",
         [&] {
             out = val(-1);
             linklist_last(x, &out);
             return reinterpret_cast<intptr_t>(out);
         },
         0},
        {"methodindex", [&] { return reinterpret_cast<intptr_t>(linklist_methodindex(x, 0, gensym("bump"), 1)); }, 0},
        {"the rest",
         [&] {
             linklist_chuckptr(x, val(1));
             linklist_clear(x);
             linklist_reverse(x);
             linklist_rotate(x, 1);
             linklist_shuffle(x);
             linklist_swap(x, 0, 1);
             linklist_funall(x, record_value, nullptr);
             linklist_sort(x, key_at_most);
             linklist_readonly(x, 1);
             linklist_methodall(x, gensym("bump"), 1);
             linklist_chuck(x);
             linklist_free(x);
             return intptr_t(0);
         },
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
    }
}

// --- the message interface ---

intptr_t answer(void *result) { return reinterpret_cast<intptr_t>(result); }

long value_at_most(void *a, void *b) { return a <= b; }

TEST_F(LinklistOwnership, MessagesReachTheSameOperations)
{
    linklist *x = linklist_new();
    EXPECT_EQ(answer(object_method(x, gensym("append"), val(30))), 1);
    EXPECT_EQ(answer(object_method(x, gensym("append"), val(10))), 2);
    EXPECT_EQ(answer(object_method(x, gensym("insert"), val(20), 1)), 1);
    EXPECT_EQ(answer(object_method(x, gensym("getsize"))), 3);
    EXPECT_EQ(answer(object_method(x, gensym("getindex"), 1)), 20);
    EXPECT_EQ(answer(object_method(x, gensym("objptr2index"), val(10))), 2);
    expect_list(x, {30, 20, 10});

    object_method(x, gensym("sort"), value_at_most);
    expect_list(x, {10, 20, 30});
    object_method(x, gensym("reverse"));
    expect_list(x, {30, 20, 10});
    object_method(x, gensym("rotate"), 1);
    expect_list(x, {10, 30, 20});
    object_method(x, gensym("swap"), 0, 2);
    expect_list(x, {20, 30, 10});

    void *array[3] = {};
    EXPECT_EQ(answer(object_method(x, gensym("makearray"), array, 3)), 3);
    EXPECT_EQ(array[2], val(10));
    std::vector<intptr_t> seen;
    object_method(x, gensym("funall"), record_value, &seen);
    EXPECT_EQ(seen, (std::vector<intptr_t>{20, 30, 10}));
    intptr_t bound = 15;
    void *out = nullptr;
    EXPECT_EQ(answer(object_method(x, gensym("findfirst"), &out, greater_than, &bound)), 0);
    EXPECT_EQ(out, val(20));
    EXPECT_EQ(answer(object_method(x, gensym("last"), &out)), 10);
    EXPECT_EQ(answer(object_method(x, gensym("prev"), val(10), &out)), 30);
    EXPECT_EQ(answer(object_method(x, gensym("next"), val(20), &out)), 30);
    EXPECT_EQ(answer(object_method(x, gensym("substitute"), val(30), val(35))), 30);
    expect_list(x, {20, 35, 10});

    // Values the list owns: delete and clear free them.
    while (linklist_getsize(x)) linklist_chuckindex(x, 0);
    item *a = new_item(1, x), *b = new_item(2, x), *c = new_item(3, x);
    for (item *i : {a, b, c}) object_method(x, gensym("append"), i);
    object_method(x, gensym("methodall"), gensym("bump"), 5);
    EXPECT_EQ(c->bumps, 5);
    object_method(x, gensym("methodindex"), 0, gensym("bump"), 2);
    EXPECT_EQ(a->bumps, 7);
    EXPECT_EQ(answer(object_method(x, gensym("delete"), 1)), 1);
    EXPECT_EQ(g_freed, std::vector<long>{2});
    object_method(x, gensym("clear"));
    EXPECT_EQ(g_freed, (std::vector<long>{2, 1, 3}));
    EXPECT_EQ(linklist_getsize(x), 0);

    item *kept = new_item(4);
    object_method(x, gensym("append"), kept);
    object_method(x, gensym("chuck"));
    EXPECT_EQ(g_freed, (std::vector<long>{2, 1, 3})) << "chuck leaves the values alone";
    freeobject(kept);
}

}  // namespace
