// Making objects by name: the creation object, built-in constructors and
// their lazy classes, the unknown-name resolver, and external libraries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kel/path.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;

#define FN(f) reinterpret_cast<kel_method>(&(f))

using kel::test::F;
using kel::test::L;
using kel::test::S;

void *make(const char *name, std::vector<atom> args = {})
{
    kel::g_newest_object = nullptr;
    return typedmess(kel::creation_object(), gensym(name), static_cast<long>(args.size()), args.data());
}

// A built-in class made lazily by its constructor, as every built-in class is.
struct widget {
    object header;
    long size;
};
method_entry *widget_class = nullptr;

void *widget_new(long size)
{
    if (!widget_class) {
        kel::class_builder_begin(gensym("timeline"), nullptr, 0);
        setup(&widget_class, FN(widget_new), nullptr, sizeof(widget), nullptr, ATYPE_GIMME, 0);
        kel::class_builder_finish();
    }
    auto *x = static_cast<widget *>(newobject(widget_class));
    x->size = size;
    return x;
}

void *widget_gimme(symbol *, long argc, atom *argv) { return widget_new(argc ? atom_getlong(argv) : -1); }

TEST(Creation, TheCreationObjectAndTheNewestSlot)
{
    object *n = kel::creation_object();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(gensym("#N")->thing, n);
    EXPECT_EQ(object_classname(n), gensym("#N"));
    EXPECT_EQ(reinterpret_cast<object **>(gensym("g_kel_newest")->thing), &kel::g_newest_object);
    EXPECT_EQ(make("vnewex"), nullptr);  // a box that makes nothing
}

TEST(Creation, BuiltInConstructorsAndTheirLazyClasses)
{
    console_capture console;
    ASSERT_TRUE(kel::creation_provide("timeline", FN(widget_gimme)));
    EXPECT_FALSE(kel::creation_provide("no_such_builtin", FN(widget_gimme)));

    auto *x = static_cast<widget *>(make("timeline", {L(7)}));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->size, 7);
    EXPECT_EQ(kel::g_newest_object, &x->header);
    // The class set up on first use lives in boxes, made by its constructor
    // entry of the creation object's table.
    kel_class *c = class_findbyname(gensym("box"), gensym("timeline"));
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->flags & CLASS_FLAG_BOX);
    EXPECT_EQ(c->newmess->method, FN(widget_gimme));

    // An exact match misses "Timeline"; the registered class is found
    // ignoring case.
    auto *y = static_cast<widget *>(make("Timeline", {L(3)}));
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->size, 3);
    EXPECT_TRUE(console.lines().empty());
    freeobject(x);
    freeobject(y);
    kel::creation_provide("timeline", nullptr);
}

TEST(Creation, UnknownNamesAreReported)
{
    console_capture console;
    EXPECT_EQ(make("nothing_anywhere_by_this_name", {L(1)}), nullptr);
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("nothing_anywhere_by_this_name: No such object")});
}

TEST(Creation, ObjectNewTypedChecksArgumentsAndObjectNewPassesWords)
{
    struct pair {
        object header;
        long a;
        symbol *b;
    };
    struct constructors {
        static void *typed(long a, symbol *b)
        {
            static kel_class *c = nullptr;
            if (!c) c = class_findbyname(gensym("nobox"), gensym("pair_maker"));
            auto *x = static_cast<pair *>(object_alloc(c));
            x->a = a;
            x->b = b;
            return x;
        }
    };
    kel_class *c =
        class_new("pair_maker", FN(constructors::typed), nullptr, sizeof(pair), nullptr, ATYPE_LONG, ATYPE_DEFSYM, 0);
    class_register(gensym("nobox"), c);
    console_capture console;
    std::vector<atom> args = {F(4.8), S("b")};
    auto *x = static_cast<pair *>(object_new_typed(gensym("nobox"), gensym("pair_maker"), 2, args.data()));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->a, 4);
    EXPECT_EQ(x->b, gensym("b"));
    EXPECT_EQ(object_new_typed(gensym("nobox"), gensym("pair_maker"), 0, nullptr), nullptr);
    EXPECT_EQ(console.lines(),
              std::vector<std::string>{error_line("#N: missing arguments for message \"pair_maker\"")});
    auto *y = static_cast<pair *>(object_new(gensym("nobox"), gensym("pair_maker"), 9, gensym("w")));
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->a, 9);
    EXPECT_EQ(y->b, gensym("w"));
    EXPECT_EQ(object_new(gensym("nobox"), gensym("no_such_class"), 1), nullptr);
    freeobject(x);
    freeobject(y);
}

TEST(Creation, MisuseOfOldEntryPoints)
{
    console_capture console;
    finder_addclass("Arith", "whatever");
    force_install("whatever");
    EXPECT_EQ(console.lines(),
              std::vector<std::string>{kel::test::check_failed_line("force_install: no longer supported")});
}

// --- external libraries ---

class Externals : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        auto *search = reinterpret_cast<path_list *>(gensym("__pathlist_search__")->thing);
        ASSERT_NE(search, nullptr);
        path_addnamed(search, KEL_EXAMPLE_EXTERNALS_DIR, 0, 0);
        path_addnamed(search, KEL_TEST_EXTERNALS_DIR, 0, 0);
    }
};

struct tally_view {  // the layout of examples/externals/tally.c
    object header;
    long count;
    outlet *out;
};

struct counter_sink {
    object header;
    long last;
};

void *sink_int(counter_sink *x, long n)
{
    x->last = n;
    return nullptr;
}

TEST_F(Externals, OlderApiLibraryLoadsOnceAndMakesObjects)
{
    console_capture console;
    auto *t = static_cast<tally_view *>(make("tally", {L(10)}));
    ASSERT_NE(t, nullptr) << (console.lines().empty() ? "" : console.lines().back());
    EXPECT_EQ(t->count, 10);
    kel_class *c = class_findbyname(gensym("box"), gensym("tally"));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(object_class(t), c);
    EXPECT_NE(class_extra_lookup(c, gensym("filevolume")), nullptr);

    kel_class *sc = class_new("counter_sink", nullptr, nullptr, sizeof(counter_sink), nullptr, 0);
    class_addmethod(sc, FN(sink_int), "int", ATYPE_LONG, 0);
    auto *sink = static_cast<counter_sink *>(object_alloc(sc));
    outlet_add(t->out, sink);
    typedmess(t, gensym("bang"), 0, nullptr);
    EXPECT_EQ(sink->last, 11);

    // Made again from the registered class, with the class name in any case.
    auto *again = static_cast<tally_view *>(make("TALLY"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->count, 0);
    EXPECT_TRUE(console.lines().empty());
    for (void *x : {static_cast<void *>(t), static_cast<void *>(again), static_cast<void *>(sink)}) freeobject(x);
    class_free(sc);
}

TEST_F(Externals, NewerApiLibraryRegistersThroughTheLoad)
{
    console_capture console;
    void *s = make("scaler", {F(2.5)});
    ASSERT_NE(s, nullptr) << (console.lines().empty() ? "" : console.lines().back());
    EXPECT_EQ(object_classname(s), gensym("scaler"));
    kel_class *c = class_findbyname(gensym("box"), gensym("scaler"));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(kel::table_mark(c->messlist + 1), kel::obex_mark);
    freeobject(s);
}

TEST_F(Externals, LibrariesThatMustBeRefused)
{
    console_capture console;
    EXPECT_EQ(make("nomain"), nullptr);
    EXPECT_EQ(make("oldsdk"), nullptr);
    std::vector<std::string> lines = console.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], error_line("invalid external nomain, undefined main"));
    EXPECT_EQ(lines[1].rfind(error_line("oldsdk: built for another kel"), 0), 0u) << lines[1];
}

TEST_F(Externals, ALibraryThatIsNotALibrary)
{
    std::string bad = std::string(KEL_TEST_EXTERNALS_DIR) + "/garbage.kle";
    FILE *f = std::fopen(bad.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a library", f);
    std::fclose(f);
    console_capture console;
    EXPECT_EQ(make("garbage"), nullptr);
    std::remove(bad.c_str());
    ASSERT_FALSE(console.lines().empty());
    EXPECT_EQ(console.lines()[0].rfind(error_line("Error "), 0), 0u);
    EXPECT_NE(console.lines()[0].find(" loading external garbage"), std::string::npos);
}

TEST_F(Externals, AClassNamedOtherThanItsFile)
{
    console_capture console;
    void *x = make("twoclasses");
    ASSERT_NE(x, nullptr) << (console.lines().empty() ? "" : console.lines().back());
    EXPECT_EQ(object_classname(x), gensym("renamed"));
    EXPECT_NE(class_findbyname(gensym("box"), gensym("renamed_alias")), nullptr);
    EXPECT_NE(class_findbyname(gensym("box"), gensym("twoclasses")), nullptr);  // the file's name
    freeobject(x);
}

// An external compiling and evaluating expressions from C.
TEST_F(Externals, ExpressionsFromC)
{
    console_capture console;
    void *ints = make("exprcalc", {S("$i1"), S("*"), L(2), S("+"), L(1)});
    void *floats = make("exprcalc", {S("$f1"), S("/"), L(4)});
    ASSERT_NE(ints, nullptr) << (console.lines().empty() ? "" : console.lines().back());
    ASSERT_NE(floats, nullptr);
    console_capture calls;
    atom n = L(5);
    typedmess(ints, gensym("int"), 1, &n);
    typedmess(floats, gensym("int"), 1, &n);
    typedmess(ints, gensym("other"), 0, nullptr);
    EXPECT_EQ(calls.lines(), (std::vector<std::string>{"exprcalc: 11", "exprcalc: 1.25", "invalid object for expr_eval",
                                                       "exprcalc: 0"}));
    freeobject(ints);
    freeobject(floats);
    console_capture refused;
    EXPECT_EQ(make("exprcalc", {S("1"), S("+")}), nullptr);
    EXPECT_EQ(refused.lines(), (std::vector<std::string>{"expr: mission operand", "bad expression 1 + "}));
}

}  // namespace
