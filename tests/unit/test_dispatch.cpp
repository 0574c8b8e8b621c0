// Typed dispatch: lookup with its fallbacks, argument checking and
// conversion, the call itself, and the getfn / object_method families.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "atom_support.h"
#include "call_log.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "memory_pressure.h"

namespace {

using kel::test::check_failed_line;
using kel::test::console_capture;
using kel::test::error_line;
using kel::test::warning_line;

using kel::test::g_log;
using kel::test::note;

struct probe {
    object header;
    long value;
};

// The probe methods, one a line where they fit.
// clang-format off
void *m_long(probe *, long n) { note("long %ld", n); return reinterpret_cast<void *>(7); }
void *m_float(probe *, double f) { note("float %g", f); return nullptr; }
void *m_sym(probe *, symbol *s) { note("sym '%s'", s->name); return nullptr; }
void *m_obj(probe *, probe *o) { note("obj %ld", o->value); return nullptr; }
void *m_defaults(probe *, long n, double f, symbol *s) { note("defaults %ld %g '%s'", n, f, s->name); return nullptr; }
void *m_gimme(probe *, symbol *s, long argc, atom *argv)
{
    std::string text = "gimme " + std::string(s->name) + " " + std::to_string(argc);
    for (long i = 0; i < argc; i++) text += std::string(" ") + atom_string(argv + i);
    note("%s", text.c_str());
    return nullptr;
}
void *m_long_gimme(probe *, symbol *s, long argc, atom *) { note("long_gimme %s %ld", s->name, argc); return nullptr; }
void *m_mixed(probe *, long a, double b, symbol *c, long d) { note("mixed %ld %g '%s' %ld", a, b, c->name, d); return nullptr; }
void *m_seven_floats(probe *, double, double, double, double, double, double, double) { note("seven floats"); return nullptr; }
void *m_six_floats_long(probe *, double a, double b, double c, double d, double e, double f, long n)
{
    note("six floats %g %g %g %g %g %g and %ld", a, b, c, d, e, f, n);
    return nullptr;
}
void *m_seven_longs(probe *, long a, long b, long c, long d, long e, long f, long g)
{
    note("seven longs %ld %ld %ld %ld %ld %ld %ld", a, b, c, d, e, f, g);
    return nullptr;
}
void *m_int(probe *, long n) { note("int %ld", n); return nullptr; }
void *m_internal(probe *) { note("internal"); return nullptr; }
void *m_wrapped(probe *, long n) { note("wrapped %ld", n); return nullptr; }
// clang-format on
long m_gimmeback(probe *, symbol *, long argc, atom *, atom *result)
{
    atom_setlong(result, argc * 10);
    return 42;
}
void *m_words(probe *x, kel_word a, kel_word b, kel_word c)
{
    note("words %ld %ld %ld", static_cast<long>(a), static_cast<long>(b), static_cast<long>(c));
    return reinterpret_cast<void *>(x->value);
}

#define FN(f) reinterpret_cast<kel_method>(&(f))

kel_class *probe_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("probe", nullptr, nullptr, sizeof(probe), nullptr, 0);
        class_addmethod(made, FN(m_long), "long", ATYPE_LONG, 0);
        class_addmethod(made, FN(m_float), "float", ATYPE_FLOAT, 0);
        class_addmethod(made, FN(m_sym), "sym", ATYPE_SYM, 0);
        class_addmethod(made, FN(m_obj), "obj", ATYPE_OBJ, 0);
        class_addmethod(made, FN(m_defaults), "defaults", ATYPE_DEFLONG, ATYPE_DEFFLOAT, ATYPE_DEFSYM, 0);
        class_addmethod(made, FN(m_gimme), "gimme", ATYPE_GIMME, 0);
        class_addmethod(made, FN(m_long_gimme), "long_gimme", ATYPE_LONG, ATYPE_GIMME, 0);
        class_addmethod(made, FN(m_mixed), "mixed", ATYPE_LONG, ATYPE_FLOAT, ATYPE_SYM, ATYPE_LONG, 0);
        class_addmethod(made, FN(m_seven_floats), "seven_floats", ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT,
                        ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT, 0);
        class_addmethod(made, FN(m_six_floats_long), "six_floats_long", ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT,
                        ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_FLOAT, ATYPE_LONG, 0);
        class_addmethod(made, FN(m_seven_longs), "seven_longs", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, ATYPE_LONG,
                        ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, 0);
        class_addmethod(made, FN(m_internal), "internal", ATYPE_CANT, 0);
        class_addmethod(made, FN(m_internal), "wrapped", ATYPE_CANT, 0);
        class_addtypedwrapper(made, FN(m_wrapped), "wrapped", ATYPE_LONG, 0);
        class_addmethod(made, FN(m_gimmeback), "gimmeback", ATYPE_GIMMEBACK, 0);
        class_addmethod(made, FN(m_words), "words", ATYPE_CANT, 0);
        class_addmethod(made, FN(m_gimme), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// A class without an `anything` method, to reach the other fallbacks.
kel_class *plain_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("plain", nullptr, nullptr, sizeof(probe), nullptr, 0);
        class_addmethod(made, FN(m_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

probe *new_probe(kel_class *c, long value = 0)
{
    auto *x = static_cast<probe *>(object_alloc(c));
    x->value = value;
    return x;
}

using kel::test::F;
using kel::test::L;
using kel::test::S;
atom O(void *o)
{
    atom a;
    atom_setobj(&a, o);
    return a;
}
atom SEMI()
{
    atom a;
    a.type = ATYPE_SEMI;
    a.word.w_long = 0;
    return a;
}
atom DOLLAR(long n)
{
    atom a;
    a.type = ATYPE_DOLLAR;
    a.word.w_long = static_cast<atom_long>(n);
    return a;
}

struct dispatch_case {
    const char *name;
    const char *selector;
    std::vector<atom> args;
    std::string calls;                 // what the methods logged, "" for no call
    std::vector<std::string> console;  // the lines reported
};

class Dispatch : public ::testing::TestWithParam<dispatch_case> {};

TEST_P(Dispatch, ConvertsOrRefuses)
{
    const dispatch_case &c = GetParam();
    probe *x = new_probe(probe_class());
    console_capture console;
    g_log.clear();
    std::vector<atom> args = c.args;
    typedmess(x, gensym(c.selector), static_cast<long>(args.size()), args.data());
    EXPECT_EQ(g_log, c.calls);
    EXPECT_EQ(console.lines(), c.console);
    freeobject(x);
}

const std::string bad(const char *sel) { return std::string("probe: bad arguments for message \"") + sel + "\""; }
const std::string missing(const char *sel)
{
    return std::string("probe: missing arguments for message \"") + sel + "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Dispatch,
    ::testing::Values(
        // integers
        dispatch_case{"long_from_long", "long", {L(5)}, "long 5", {}},
        dispatch_case{"long_from_float_truncates", "long", {F(3.9)}, "long 3", {}},
        dispatch_case{"long_from_negative_float_truncates_toward_zero", "long", {F(-3.9)}, "long -3", {}},
        dispatch_case{"long_from_hash_symbol_is_zero", "long", {S("#1")}, "long 0", {}},
        dispatch_case{"long_from_symbol_refused", "long", {S("abc")}, "", {error_line(bad("long"))}},
        dispatch_case{"long_from_semicolon_refused", "long", {SEMI()}, "", {error_line(bad("long"))}},
        dispatch_case{"long_from_dollar_refused", "long", {DOLLAR(1)}, "", {error_line(bad("long"))}},
        dispatch_case{"long_missing", "long", {}, "", {error_line(missing("long"))}},
        dispatch_case{"long_extra_arguments_warn_and_call",
                      "long",
                      {L(1), L(2), L(3)},
                      "long 1",
                      {warning_line("probe: extra arguments for message \"long\"")}},
        // floats: a refusal is a plain line, not an error
        dispatch_case{"float_from_float", "float", {F(2.5)}, "float 2.5", {}},
        dispatch_case{"float_from_long", "float", {L(4)}, "float 4", {}},
        dispatch_case{"float_from_hash_symbol_is_zero", "float", {S("#2")}, "float 0", {}},
        dispatch_case{"float_from_symbol_refused_plainly", "float", {S("x")}, "", {bad("float")}},
        dispatch_case{"float_missing", "float", {}, "", {error_line(missing("float"))}},
        // symbols
        dispatch_case{"sym_from_sym", "sym", {S("hello")}, "sym 'hello'", {}},
        dispatch_case{"sym_from_long_refused_plainly", "sym", {L(1)}, "", {bad("sym")}},
        dispatch_case{"sym_missing", "sym", {}, "", {error_line(missing("sym"))}},
        // objects named by symbols
        dispatch_case{"obj_from_unbound_symbol",
                      "obj",
                      {S("nobody_bound_here")},
                      "",
                      {error_line("nobody_bound_here: no such object")}},
        dispatch_case{"obj_from_long_refused", "obj", {L(3)}, "", {error_line(bad("obj"))}},
        // optional arguments
        dispatch_case{"defaults_absent", "defaults", {}, "defaults 0 0 ''", {}},
        dispatch_case{"defaults_given", "defaults", {L(2), F(1.5), S("s")}, "defaults 2 1.5 's'", {}},
        dispatch_case{"defaults_partly_given", "defaults", {F(9.7)}, "defaults 9 0 ''", {}},
        // gimme: everything not yet consumed, earlier conversions dropped
        dispatch_case{"gimme_all", "gimme", {L(1), S("a"), F(0.5)}, "gimme gimme 3 1 a 0.50", {}},
        dispatch_case{"gimme_none", "gimme", {}, "gimme gimme 0", {}},
        dispatch_case{"gimme_after_long", "long_gimme", {L(1), L(2), L(3)}, "long_gimme long_gimme 2", {}},
        dispatch_case{"gimme_after_long_with_nothing_left", "long_gimme", {L(1)}, "long_gimme long_gimme 0", {}},
        // several arguments keep their order and kinds
        dispatch_case{"mixed_in_order", "mixed", {L(1), F(2.5), S("c"), F(4.2)}, "mixed 1 2.5 'c' 4", {}},
        dispatch_case{"mixed_refusal_in_the_middle", "mixed", {L(1), F(2.5), L(3), L(4)}, "", {bad("mixed")}},
        // the thirteen-word limit: a float takes two words
        dispatch_case{"seven_floats_too_long",
                      "seven_floats",
                      {F(1), F(2), F(3), F(4), F(5), F(6), F(7)},
                      "",
                      {error_line("probe: message too long (\"seven_floats\")")}},
        dispatch_case{"six_floats_and_a_long_fit",
                      "six_floats_long",
                      {F(1), F(2), F(3), F(4), F(5), F(6), L(7)},
                      "six floats 1 2 3 4 5 6 and 7",
                      {}},
        dispatch_case{"seven_longs_fit",
                      "seven_longs",
                      {L(1), L(2), L(3), L(4), L(5), L(6), L(7)},
                      "seven longs 1 2 3 4 5 6 7",
                      {}},
        // methods that cannot be called by message
        dispatch_case{
            "internal_with_arguments", "internal", {L(1)}, "", {check_failed_line("unknown message argument type")}},
        dispatch_case{"internal_without_arguments", "internal", {}, "", {error_line(missing("internal"))}},
        dispatch_case{"typed_wrapper_stands_in", "wrapped", {F(8.8)}, "wrapped 8", {}},
        // fallbacks
        dispatch_case{"unknown_selector_reaches_anything", "whatever", {L(1)}, "gimme whatever 1 1", {}},
        dispatch_case{"list_reaches_anything", "list", {L(1), L(2)}, "gimme list 2 1 2", {}}),
    [](const ::testing::TestParamInfo<dispatch_case> &row) { return std::string(row.param.name); });

TEST(DispatchObjects, ObjectArgumentsByPointerAndByBoundSymbol)
{
    probe *x = new_probe(probe_class());
    probe *other = new_probe(probe_class(), 99);
    console_capture console;
    g_log.clear();
    atom a = O(other);
    typedmess(x, gensym("obj"), 1, &a);
    symbol *name = gensym("dispatch_bound_probe");
    name->thing = &other->header;
    atom b = S("dispatch_bound_probe");
    typedmess(x, gensym("obj"), 1, &b);
    EXPECT_EQ(g_log, "obj 99 | obj 99");

    // A name bound to something that is not an object is refused.
    static long not_an_object[4] = {0, 0, 0, 0};
    name->thing = reinterpret_cast<object *>(not_an_object);
    g_log.clear();
    typedmess(x, gensym("obj"), 1, &b);
    EXPECT_EQ(g_log, "");
    EXPECT_EQ(console.lines(), std::vector<std::string>{check_failed_line("dispatch_bound_probe: garbage object")});
    name->thing = nullptr;
    freeobject(other);
    freeobject(x);
}

TEST(DispatchFallbacks, FixReachesIntOnlyWithoutAnything)
{
    probe *x = new_probe(plain_class());
    console_capture console;
    g_log.clear();
    atom a = L(4);
    typedmess(x, gensym("fix"), 1, &a);
    EXPECT_EQ(g_log, "int 4");
    typedmess(x, gensym("list"), 1, &a);
    EXPECT_EQ(g_log, "int 4");
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("plain: doesn't understand \"list\"")});
    freeobject(x);
}

// Lookups are remembered per thread until a method table changes: a method
// added later, to a class whose fallbacks are remembered too (no attributes)
// or not, takes over at once; so does a typed wrapper for a private entry.
TEST(DispatchMemo, MethodsAddedLaterTakeOverFromRememberedAnswers)
{
    for (bool attributes : {false, true}) {
        SCOPED_TRACE(attributes ? "a class with attributes" : "a class without attributes");
        kel_class *c = class_new(attributes ? "memo_attr" : "memo_plain", nullptr, nullptr, sizeof(probe), nullptr, 0);
        if (!attributes) c->flags |= CLASS_FLAG_NOATTRIBUTES;
        class_addmethod(c, FN(m_gimme), "anything", ATYPE_GIMME, 0);
        class_addmethod(c, FN(m_internal), "secret", ATYPE_CANT, 0);
        probe *x = new_probe(c);
        atom a = L(1);
        g_log.clear();
        for (int round = 0; round < 2; round++) typedmess(x, gensym("foo"), 1, &a);
        class_addmethod(c, FN(m_long), "foo", ATYPE_LONG, 0);
        typedmess(x, gensym("foo"), 1, &a);
        EXPECT_EQ(g_log, "gimme foo 1 1 | gimme foo 1 1 | long 1");
        {
            console_capture console;  // the private entry alone is not for typed messages
            typedmess(x, gensym("secret"), 1, &a);
        }
        g_log.clear();
        class_addtypedwrapper(c, FN(m_long), "secret", ATYPE_LONG, 0);
        typedmess(x, gensym("secret"), 1, &a);
        EXPECT_EQ(g_log, "long 1");
        freeobject(x);
        class_free(c);
    }
}

TEST(DispatchMisuse, NullSelectorOrArgumentsNeverCrash)
{
    probe *x = new_probe(probe_class());
    console_capture console;
    g_log.clear();
    EXPECT_EQ(typedmess(x, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(typedmess(x, gensym("gimme"), 3, nullptr), nullptr);  // no atoms to read: taken as none
    EXPECT_EQ(typedmess(x, gensym("long"), -2, nullptr), nullptr);
    EXPECT_EQ(g_log, "gimme gimme 0");
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{error_line("probe: doesn't understand \"\""), error_line(missing("long"))}));
    freeobject(x);
}

TEST(DispatchResult, TypedmessAnswersTheMethodResultOrNull)
{
    probe *x = new_probe(probe_class());
    console_capture console;
    atom a = L(1);
    EXPECT_EQ(typedmess(x, gensym("long"), 1, &a), reinterpret_cast<void *>(7));
    atom s = S("nope");
    EXPECT_EQ(typedmess(x, gensym("long"), 1, &s), nullptr);
    freeobject(x);
}

TEST(DispatchCorrupt, InvalidObjectsAreReportedNeverCalled)
{
    console_capture console;
    probe fake{};
    fake.header.magic = 0x1234;
    g_log.clear();
    EXPECT_EQ(typedmess(&fake, gensym("long"), 0, nullptr), nullptr);
    EXPECT_EQ(typedmess(nullptr, gensym("long"), 0, nullptr), nullptr);
    EXPECT_EQ(getfn(&fake, gensym("long")), reinterpret_cast<kel_method>(&method_false));
    EXPECT_EQ(egetfn(&fake, gensym("long")), reinterpret_cast<kel_method>(&method_false));
    EXPECT_EQ(zgetfn(&fake, gensym("long")), reinterpret_cast<kel_method>(&method_false));
    EXPECT_EQ(g_log, "");
    EXPECT_EQ(console.lines(), (std::vector<std::string>{
                                   check_failed_line("typedmess: long: corrupt object"),
                                   check_failed_line("typedmess: long: corrupt object"),
                                   check_failed_line("getfn (long): corrupt object"),
                                   check_failed_line("egetfn (long): corrupt object"),
                                   check_failed_line("zgetfn (long): corrupt object"),
                               }));
}

TEST(DispatchGetfn, AbsentMethodsPerFunction)
{
    probe *x = new_probe(plain_class());
    console_capture console;
    kel_method absent = getfn(x, gensym("nothing_here"));
    ASSERT_NE(absent, nullptr);
    EXPECT_EQ(reinterpret_cast<void *(*)()>(absent)(), nullptr);
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("plain: doesn't understand \"nothing_here\"")});
    EXPECT_EQ(egetfn(x, gensym("nothing_here")), reinterpret_cast<kel_method>(&method_false));
    EXPECT_EQ(zgetfn(x, gensym("nothing_here")), nullptr);
    EXPECT_EQ(zgetfn(x, gensym("int")), FN(m_int));
    EXPECT_EQ(console.lines().size(), 1u);  // egetfn and zgetfn stay silent
    freeobject(x);
}

TEST(DispatchTyped, ObjectMethodTypedAnswers)
{
    probe *x = new_probe(probe_class());
    console_capture console;
    atom args[2] = {L(1), L(2)};
    atom result = L(5);
    g_log.clear();

    EXPECT_EQ(object_method_typed(x, gensym("gimmeback"), 2, args, &result), 42);
    EXPECT_EQ(result.type, ATYPE_LONG);
    EXPECT_EQ(result.word.w_long, 20);

    EXPECT_EQ(object_method_typed(x, gensym("gimme"), 2, args, &result), 0);
    EXPECT_EQ(result.type, ATYPE_NOTHING);  // cleared first
    EXPECT_EQ(object_method_typed(x, gensym("internal"), 0, nullptr, nullptr), -1);
    EXPECT_EQ(object_method_typed(x, gensym("long"), 1, args, nullptr), 0);
    EXPECT_EQ(g_log, "gimme gimme 2 1 2 | long 1");

    probe *p = new_probe(plain_class());
    EXPECT_EQ(object_method_typed(p, gensym("unknown"), 0, nullptr, nullptr), -1);
    freeobject(p);
    freeobject(x);
}

TEST(DispatchWords, ObjectMethodPassesRawWords)
{
    probe *x = new_probe(probe_class(), 31);
    console_capture console;
    g_log.clear();
    EXPECT_EQ(object_method(x, gensym("words"), 1, 2, 3), reinterpret_cast<void *>(31));
    EXPECT_EQ(object_method(x, gensym("words"), 9), reinterpret_cast<void *>(31));
    EXPECT_EQ(g_log, "words 1 2 3 | words 9 0 0");  // missing words arrive as 0
    EXPECT_EQ(object_method(x, gensym("classname")), gensym("probe"));
    EXPECT_EQ(object_getmethod(x, gensym("words")), FN(m_words));
    EXPECT_EQ(object_getmethod(x, gensym("absent")), reinterpret_cast<kel_method>(&method_false));

    // The default answer to getvalueof.
    long ac = 0;
    atom *av = nullptr;
    object_method(x, gensym("getvalueof"), &ac, &av);
    ASSERT_EQ(ac, 1);
    ASSERT_NE(av, nullptr);
    EXPECT_STREQ(atom_getsym(av)->name, "object (probe)");
    freebytes(av, sizeof(atom));

    EXPECT_EQ(object_method(x, nullptr), nullptr);
    probe fake{};
    EXPECT_EQ(object_method(&fake, gensym("words")), nullptr);
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"warning: trying to call NULL method",
                                                         "warning: method words called on invalid object"}));
    freeobject(x);
}

TEST(DispatchAllocation, TypedDispatchNeedsNoMemory)
{
    probe *x = new_probe(probe_class());
    gensym("mixed");
    atom args[4] = {L(1), F(2.5), S("c"), L(4)};
    g_log.reserve(4096);
    g_log.clear();
    {
        kel::test::memory_exhausted exhausted;  // no allocation could succeed
        typedmess(x, gensym("mixed"), 4, args);
        typedmess(x, gensym("gimme"), 4, args);
    }
    EXPECT_EQ(g_log, "mixed 1 2.5 'c' 4 | gimme gimme 4 1 2.50 c 4");
    freeobject(x);
}

}  // namespace
