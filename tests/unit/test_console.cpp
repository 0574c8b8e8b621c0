// The console: report prefixes, how text joins and splits lines, the limits on
// line length and line count, the sink that mirrors the store, error counting
// and error subscribers.
#include "kel/console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "console_capture.h"
#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/symbols.h"
#include "kernel/core/console.h"

namespace {

using kel::test::console_capture;
using lines = std::vector<std::string>;

// prefix followed by n in decimal.
std::string numbered(const char *prefix, long n)
{
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

// --- what a report looks like ---

TEST(ConsoleReports, EachKindIsOneLineWithItsPrefix)
{
    struct Case {
        std::string name;
        std::function<void()> report;
        std::string line;
    };
    const Case cases[] = {
        {"post", [] { post("hello %d", 42); }, "hello 42"},
        {"error", [] { error("%s: No such object", "Delay"); }, "\xA5 error: Delay: No such object"},
        {"warning", [] { warning("careful %ld", 3L); }, "\xA5 warning: careful 3"},
        {"check_failed", [] { check_failed("list %s", "broken"); }, "\xA5 check failed: list broken"},
        {"ouchstring", [] { ouchstring("alert %d", 1); }, "alert 1"},
        {"an empty post", [] { post("%s", ""); }, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        post("before");
        poststring(" and more");
        c.report();
        poststring(" tail");
        EXPECT_EQ(console.lines(), (lines{"before and more", c.line + " tail"}));
    }
}

TEST(ConsoleReports, OnlyErrorsAreCounted)
{
    console_capture console;
    long saved = errorcount_get();
    errorcount_set(0);
    EXPECT_EQ(errorcount_get(), 0);
    error("one");
    warning("not counted");
    check_failed("not counted");
    post("not counted");
    error("two");
    EXPECT_EQ(errorcount_get(), 2);
    errorcount_set(40);
    error("three");
    EXPECT_EQ(errorcount_get(), 41);
    errorcount_set(saved);
}

TEST(ConsoleReports, PostatomAppendsTheAtomsText)
{
    struct Case {
        std::string name;
        std::function<void(atom *)> set;
        std::string text;
    };
    const Case cases[] = {
        {"float", [](atom *a) { atom_setfloat(a, 2.5); }, "2.50"},
        {"integer", [](atom *a) { atom_setlong(a, -17); }, "-17"},
        {"symbol", [](atom *a) { atom_setsym(a, gensym("bang")); }, "bang"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        atom a;
        c.set(&a);
        post("value ");
        postatom(&a);
        postatom(&a);
        EXPECT_EQ(console.lines(), (lines{"value " + c.text + c.text}));
    }
}

// --- how text joins and splits lines ---

TEST(ConsoleLines, TextJoinsAndSplitsAtLineFeeds)
{
    struct Case {
        std::string name;
        std::function<void()> write;
        lines expected;
    };
    // One case a line.
    // clang-format off
    const Case cases[] = {
        {"posts are lines", [] { post("a"); post("b"); }, {"a", "b"}},
        {"poststring continues the line", [] { post("a"); poststring("b"); poststring("c"); }, {"abc"}},
        {"poststring on an empty console", [] { poststring("x"); }, {"x"}},
        {"an embedded line feed starts a line", [] { post("a"); poststring("b\nc"); poststring("d"); }, {"ab", "cd"}},
        {"a final line feed leaves no empty line", [] { poststring("a\n"); }, {"a"}},
        {"but the next text starts a new line", [] { poststring("a\n"); poststring("b"); }, {"a", "b"}},
        {"a post ending in a line feed", [] { post("a\n"); poststring("b"); }, {"a", "b"}},
        {"a lone line feed", [] { post("a"); poststring("\n"); poststring("b"); }, {"a", "b"}},
        {"two line feeds make an empty line", [] { poststring("a\n\nb"); }, {"a", "", "b"}},
        {"post of nothing is an empty line", [] { post("a"); post("%s", ""); post("b"); }, {"a", "", "b"}},
        {"a post with line feeds", [] { post("x\ny\nz"); }, {"x", "y", "z"}},
        {"an error with a line feed", [] { error("a\nb"); }, {"\xA5 error: a", "b"}},
        {"xsetpost starts a line", [] { post("a"); xsetpost(); poststring("b"); }, {"a", "b"}},
        {"xsetpost alone leaves an empty line", [] { post("a"); xsetpost(); post("b"); }, {"a", "", "b"}},
        {"a null text is ignored", [] { post("a"); poststring(nullptr); poststring("b"); }, {"ab"}},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        c.write();
        EXPECT_EQ(console.lines(), c.expected);
    }
}

TEST(ConsoleLines, GetposGivesTheCurrentLineAndItsLength)
{
    console_capture console;
    long line = -1, length = -1;
    post_getpos(&line, &length);
    EXPECT_EQ(line, 0);
    EXPECT_EQ(length, 0);
    post("first");
    post("second");
    post_getpos(&line, &length);
    EXPECT_EQ(line, 1);
    EXPECT_EQ(length, 6);
    poststring("+tail");
    post_getpos(&line, &length);
    EXPECT_EQ(line, 1);
    EXPECT_EQ(length, 11);
    xsetpost();
    post_getpos(&line, &length);
    EXPECT_EQ(line, 2);
    EXPECT_EQ(length, 0);
    post_getpos(nullptr, nullptr);
}

// --- limits ---

TEST(ConsoleLimits, LinesNeverReach2048Characters)
{
    const std::string long_text(5000, 'x');
    struct Case {
        std::string name;
        std::function<void()> write;
        std::vector<size_t> lengths;
    };
    const Case cases[] = {
        {"a formatted post is cut", [&] { post("%s", long_text.c_str()); }, {2047}},
        // The prefix stays with the start of its text; the cut text's end
        // continues on the next line.
        {"a long error starts on its prefix's line", [&] { error("%s", long_text.c_str()); }, {2047, 9}},
        {"an exact fit",
         [] {
             post("%s", std::string(2000, 'a').c_str());
             poststring(std::string(47, 'b').c_str());
         },
         {2047}},
        {"one more continues on a new line",
         [] {
             post("%s", std::string(2000, 'a').c_str());
             poststring(std::string(48, 'b').c_str());
         },
         {2000, 48}},
        {"a long text spreads over lines", [&] { poststring(long_text.c_str()); }, {2047, 2047, 906}},
        {"after a short line",
         [&] {
             post("start");
             poststring(long_text.c_str());
         },
         {5, 2047, 2047, 906}},
        {"each piece between line feeds on its own",
         [&] { poststring((long_text + "\n" + long_text.substr(0, 2100)).c_str()); },
         {2047, 2047, 906, 2047, 53}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        c.write();
        std::vector<size_t> lengths;
        for (const std::string &l : console.lines()) lengths.push_back(l.size());
        EXPECT_EQ(lengths, c.lengths);
    }
}

TEST(ConsoleLimits, PoststringOfLongTextLosesNothing)
{
    console_capture console;
    std::string text;
    for (int i = 0; i < 5000; i++) text += static_cast<char>('a' + i % 26);
    post("head");
    poststring(text.c_str());
    lines all = console.lines();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0], "head");
    std::string joined;
    for (size_t i = 1; i < all.size(); i++) joined += all[i];
    EXPECT_EQ(joined, text);
}

TEST(ConsoleLimits, TheOldestThousandLinesGoWhenTheStoreIsFull)
{
    struct Case {
        long posted;
        long kept;
        long first;  // the number of the first line kept, counting from 1
    };
    for (Case c : {Case{19997, 19997, 1}, Case{19998, 19998, 1}, Case{19999, 18999, 1001}, Case{20000, 19000, 1001},
                   Case{20997, 19997, 1001}, Case{20998, 19998, 1001}, Case{20999, 18999, 2001}}) {
        SCOPED_TRACE(c.posted);
        console_capture console;
        for (long i = 1; i <= c.posted; i++) post("line %ld", i);
        EXPECT_EQ(kel::console_line_count(), c.kept);
        EXPECT_EQ(kel::console_line(0), numbered("line ", c.first));
        EXPECT_EQ(kel::console_line(c.kept - 1), numbered("line ", c.posted));
        long line = -1, length = -1;
        post_getpos(&line, &length);
        EXPECT_EQ(line, c.kept - 1);
    }
    console_capture leave_the_store_empty;
}

// --- the sink ---

struct transcript {
    std::string text;
    long newlines = 0;
};

void sink_text(void *context, const char *bytes, size_t length)
{
    static_cast<transcript *>(context)->text.append(bytes, length);
}

void sink_newline(void *context)
{
    auto *t = static_cast<transcript *>(context);
    t->text += '\n';
    t->newlines++;
}

TEST(ConsoleSink, ReproducesTheStoreExactly)
{
    const std::string long_text(4500, 'q');
    struct Case {
        std::string name;
        std::function<void()> write;
    };
    const Case cases[] = {
        {"posts",
         [] {
             post("one");
             post("two");
             error("three");
             warning("four");
         }},
        {"poststrings",
         [] {
             post("a");
             poststring("b");
             poststring("c\nd");
             poststring("e\n");
             poststring("f");
             poststring("\n");
         }},
        {"empty lines",
         [] {
             post("%s", "");
             post("x");
             poststring("\n\n");
             post("%s", "");
             xsetpost();
         }},
        {"long lines",
         [&] {
             post("%s", long_text.c_str());
             poststring(long_text.c_str());
             post("end");
         }},
        {"long pieces between line feeds",
         [&] {
             poststring((long_text + "\nmid\n" + long_text).c_str());
             poststring("more");
         }},
        {"atoms",
         [] {
             atom a;
             atom_setfloat(&a, 2.5);
             post("v ");
             postatom(&a);
         }},
        {"a single post", [] { post("alone"); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        console_capture console;
        transcript t;
        kel::console_sink sink{sink_text, sink_newline, &t, nullptr};
        kel::console_set_sink(&sink);
        c.write();
        kel::console_finish();
        kel::console_set_sink(nullptr);
        std::string expected;
        for (const std::string &l : console.lines()) expected += l + "\n";
        EXPECT_EQ(t.text, expected);
        EXPECT_EQ(t.newlines, static_cast<long>(console.lines().size()));
    }
}

TEST(ConsoleSink, NothingReachesARemovedSink)
{
    console_capture console;
    transcript t;
    kel::console_sink sink{sink_text, sink_newline, &t, nullptr};
    kel::console_set_sink(&sink);
    post("seen");
    kel::console_set_sink(nullptr);
    post("not seen");
    poststring(" either");
    EXPECT_EQ(t.text, "seen");
    EXPECT_EQ(console.lines(), (lines{"seen", "not seen either"}));
}

// A sink that posts while it is called: the console's lock lets it in.
struct reentrant {
    long calls = 0;
};

void sink_posting_text(void *context, const char *, size_t)
{
    auto *r = static_cast<reentrant *>(context);
    if (r->calls++ == 0) poststring(" (echo)");
}

void sink_quiet_newline(void *) {}

TEST(ConsoleSink, ASinkMayPostWithoutDeadlock)
{
    console_capture console;
    reentrant r;
    kel::console_sink sink{sink_posting_text, sink_quiet_newline, &r, nullptr};
    kel::console_set_sink(&sink);
    post("main");
    kel::console_set_sink(nullptr);
    EXPECT_EQ(console.lines(), (lines{"main (echo)"}));
}

// --- threads ---

TEST(ConsoleThreads, LinesFromManyThreadsStayWhole)
{
    console_capture console;
    constexpr int threads = 4, per_thread = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([t] {
            for (int i = 0; i < per_thread; i++) post("thread %d line %d of %d", t, i, per_thread);
        });
    for (std::thread &w : workers) w.join();
    lines all = console.lines();
    ASSERT_EQ(all.size(), static_cast<size_t>(threads * per_thread));
    std::vector<int> next(threads, 0);
    for (const std::string &l : all) {
        int t = -1, i = -1, n = -1;
        ASSERT_EQ(std::sscanf(l.c_str(), "thread %d line %d of %d", &t, &i, &n), 3) << l;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, threads);
        EXPECT_EQ(n, per_thread) << l;
        EXPECT_EQ(i, next[t]++) << "each thread's lines keep their order";
    }
}

// --- error subscribers ---

kel_class *listener_class()
{
    static kel_class *c = class_new("console_test_listener", nullptr, nullptr, sizeof(object), nullptr, 0);
    return c;
}

TEST(ConsoleSubscribers, NewestFirstWithoutDuplicates)
{
    const std::vector<object *> before = kel::console_error_subscribers();
    auto *a = static_cast<object *>(object_alloc(listener_class()));
    auto *b = static_cast<object *>(object_alloc(listener_class()));
    auto *c = static_cast<object *>(object_alloc(listener_class()));
    auto with = [&](std::vector<object *> newest) {
        newest.insert(newest.end(), before.begin(), before.end());
        return newest;
    };
    struct Step {
        std::string name;
        std::function<void()> act;
        std::vector<object *> expected;
    };
    const Step steps[] = {
        {"subscribe a", [&] { error_subscribe(a); }, with({a})},
        {"subscribe b", [&] { error_subscribe(b); }, with({b, a})},
        {"subscribe a again", [&] { error_subscribe(a); }, with({b, a})},
        {"subscribe null", [&] { error_subscribe(nullptr); }, with({b, a})},
        {"subscribe c", [&] { error_subscribe(c); }, with({c, b, a})},
        {"unsubscribe the middle", [&] { error_unsubscribe(b); }, with({c, a})},
        {"unsubscribe a stranger", [&] { error_unsubscribe(b); }, with({c, a})},
        {"unsubscribe null", [&] { error_unsubscribe(nullptr); }, with({c, a})},
        {"subscribe b once more", [&] { error_subscribe(b); }, with({b, c, a})},
        {"unsubscribe the oldest", [&] { error_unsubscribe(a); }, with({b, c})},
        {"unsubscribe the newest", [&] { error_unsubscribe(b); }, with({c})},
        {"unsubscribe the last", [&] { error_unsubscribe(c); }, with({})},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        s.act();
        EXPECT_EQ(kel::console_error_subscribers(), s.expected);
    }
    for (object *o : {a, b, c}) freeobject(o);
}

}  // namespace

namespace {

struct error_listener {
    object header;
    std::vector<std::string> *heard;
    bool answer_with_error;
};

void *listener_error(error_listener *x, symbol *s, long argc, atom *argv)
{
    std::string text = s->name;
    for (long i = 0; i < argc; i++) text += std::string(" ") + atom_string(argv + i);
    x->heard->push_back(text);
    if (x->answer_with_error) error("the listener complains too");
    return nullptr;
}

TEST(ConsoleSubscribers, ErrorsArriveAsMessagesOfAtoms)
{
    kel_class *c = class_new("error_listener", nullptr, nullptr, sizeof(error_listener), nullptr, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&listener_error), "error", ATYPE_GIMME, 0);
    std::vector<std::string> heard;
    auto *quiet = static_cast<error_listener *>(object_alloc(c));
    auto *loud = static_cast<error_listener *>(object_alloc(c));
    quiet->heard = loud->heard = &heard;
    quiet->answer_with_error = false;
    loud->answer_with_error = true;  // its own error must not come back to it
    error_subscribe(quiet);
    error_subscribe(loud);
    console_capture console;
    error("%s: doesn't understand \"%s\"", "delay", "bang");
    error_unsubscribe(quiet);
    error_unsubscribe(loud);
    error("after unsubscribing");
    // Quotes around a word without blanks stay part of the word.
    EXPECT_EQ(heard, (std::vector<std::string>{"error delay: doesn't understand \"bang\"",
                                               "error delay: doesn't understand \"bang\""}));
    EXPECT_EQ(console.lines().size(), 3u);  // the two errors and the listener's own
    freeobject(quiet);
    freeobject(loud);
    class_free(c);
}

}  // namespace

namespace {

// A subscriber that records what it hears under its name, then runs its
// action (which may change the subscriber list during the delivery).
struct acting_listener {
    object header;
    const char *name;
    std::vector<std::string> *heard;
    std::function<void()> *action;
};

void *acting_listener_error(acting_listener *x, symbol *, long argc, atom *)
{
    x->heard->push_back(std::string(x->name) + " " + std::to_string(argc));
    if (x->action && *x->action) (*x->action)();
    return nullptr;
}

void acting_listener_free(acting_listener *x) { error_unsubscribe(x); }

kel_class *acting_listener_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("acting_listener", nullptr, reinterpret_cast<kel_method>(&acting_listener_free),
                                    sizeof(acting_listener), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&acting_listener_error), "error", ATYPE_GIMME, 0);
        return made;
    }();
    return c;
}

TEST(ConsoleSubscribers, ChangesDuringADeliveryAreSeenAtOnce)
{
    struct step_case {
        const char *what;
        // b's action, given the three listeners; a and b subscribe (b
        // newest), c does not.
        std::function<void(acting_listener *a, acting_listener *b, acting_listener *c)> act;
        std::vector<std::string> expected;  // two error lines of one word each
        bool frees_a = false;
    };
    const std::vector<step_case> cases = {
        {"nothing changes", [](auto, auto, auto) {}, {"b 1", "a 1", "b 1", "a 1"}},
        {"b unsubscribes a", [](auto a, auto, auto) { error_unsubscribe(a); }, {"b 1", "b 1"}},
        {"b frees a", [](auto a, auto, auto) { freeobject(a); }, {"b 1", "b 1"}, true},
        {"b unsubscribes itself", [](auto, auto b, auto) { error_unsubscribe(b); }, {"b 1", "a 1", "a 1"}},
        {"b subscribes c: c hears the next line",
         [](auto, auto, auto c) { error_subscribe(c); },
         {"b 1", "a 1", "c 1", "b 1", "a 1"}},
        {"b unsubscribes a and subscribes it again: a is newest",
         [](auto a, auto, auto) {
             error_unsubscribe(a);
             error_subscribe(a);
         },
         {"b 1", "a 1", "b 1"}},
    };
    for (const step_case &k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<std::string> heard;
        std::function<void()> none;
        std::function<void()> once;
        acting_listener *x[3];
        const char *names[3] = {"a", "b", "c"};
        for (int i = 0; i < 3; i++) {
            x[i] = static_cast<acting_listener *>(object_alloc(acting_listener_class()));
            *x[i] = {x[i]->header, names[i], &heard, &none};
        }
        once = [&] {
            // Acts on the first line only. Clearing `once` ends this closure,
            // so what the action needs is copied out first.
            auto act = k.act;
            acting_listener *a = x[0], *b = x[1], *c = x[2];
            once = nullptr;
            act(a, b, c);
        };
        x[1]->action = &once;
        error_subscribe(x[0]);
        error_subscribe(x[1]);
        {
            console_capture console;
            error("first");
            error("second");
        }
        EXPECT_EQ(heard, k.expected);
        for (int i = 0; i < 3; i++)
            if (i != 0 || !k.frees_a) freeobject(x[i]);
        EXPECT_TRUE(kel::console_error_subscribers().empty());
    }
}

TEST(ConsoleSubscribers, EveryLineReachesEverySubscriberWhole)
{
    std::vector<std::string> heard;
    std::function<void()> none;
    std::vector<acting_listener *> listeners;
    for (int i = 0; i < 100; i++) {
        auto *x = static_cast<acting_listener *>(object_alloc(acting_listener_class()));
        *x = {x->header, "x", &heard, &none};
        error_subscribe(x);
        listeners.push_back(x);
    }
    std::string words;
    for (int i = 0; i < 300; i++) words += i ? " w" : "w";
    {
        console_capture console;
        error("%s", words.c_str());
    }
    EXPECT_EQ(heard, std::vector<std::string>(100, "x 300"));
    for (acting_listener *x : listeners) freeobject(x);
}

}  // namespace
