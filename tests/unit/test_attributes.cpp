// Attributes: setting and getting by message, filters, accessors and the
// value conveniences, the attribute objects' own methods, the instance's
// table, attribute arguments of a new object, and the quick reference.
#include "kel/attributes.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "atom_support.h"
#include "call_log.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/registry/attributes.h"
#include "object_support.h"

namespace {

using kel::test::console_capture;
using kel::test::describe;
using kel::test::error_line;
using kel::test::F;
using kel::test::g_log;
using kel::test::L;
using kel::test::note;
using kel::test::S;
using kel::test::send_text;

#define FN(f) reinterpret_cast<kel_method>(&(f))

std::string describe_all(long ac, const atom *av)
{
    std::string text;
    for (long i = 0; i < ac; i++) text += (i ? " " : "") + describe(av[i]);
    return text;
}

// --- the object under test ---

struct probe {
    object header;
    hashtab *obex;
    long first;  // the constructor's own argument
    long size[4];
    long sizecount;
    long level;  // clipped to 0..5 on the way in
    double gain;
    symbol *label;
    long locked;  // users cannot set it
    long hidden;  // users cannot get it
    long mode;    // shadowed by a method of the same name
    // spare fields for attributes tests add to one instance
    long lv;
    double dv;
    float fv;
    unsigned char cv;
    symbol *sv;
    outlet *dumpout;
};

void *probe_mode(probe *, long n)
{
    note("method mode %ld", n);
    return nullptr;
}

void *probe_anything(probe *, symbol *s, long argc, atom *argv)
{
    note("anything %s%s%s", s->name, argc ? " " : "", describe_all(argc, argv).c_str());
    return nullptr;
}

kel_class *probe_class();

void *probe_new(symbol *, long argc, atom *argv)
{
    auto *x = static_cast<probe *>(object_alloc(probe_class()));
    std::memset(reinterpret_cast<char *>(x) + offsetof(probe, first), 0, sizeof(probe) - offsetof(probe, first));
    x->dumpout = outlet_new(x, nullptr);
    object_obex_store(x, gensym("dumpout"), x->dumpout);
    if (attr_args_offset(argc, argv) > 0) x->first = atom_getlong(argv);
    attr_args_process(x, argc, argv);
    return x;
}

kel_class *probe_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("attrprobe", FN(probe_new), nullptr, sizeof(probe), nullptr, ATYPE_GIMME, 0);
        class_obexoffset_set(k, offsetof(probe, obex));
        class_addmethod(k, FN(probe_mode), "mode", ATYPE_LONG, 0);
        class_addmethod(k, FN(probe_anything), "anything", ATYPE_GIMME, 0);
        symbol *long_type = gensym("long");
        class_addattr(k, attr_offset_array_new("size", long_type, 4, 0, nullptr, nullptr, offsetof(probe, sizecount),
                                               offsetof(probe, size)));
        object *level = attr_offset_new("level", long_type, 0, nullptr, nullptr, offsetof(probe, level));
        attr_addfilterset_clip(level, 0, 5, 1, 1);
        class_addattr(k, level);
        class_addattr(k, attr_offset_new("gain", gensym("float64"), 0, nullptr, nullptr, offsetof(probe, gain)));
        class_addattr(k, attr_offset_new("label", gensym("symbol"), 0, nullptr, nullptr, offsetof(probe, label)));
        class_addattr(k,
                      attr_offset_new("locked", long_type, ATTR_NOUSERSET, nullptr, nullptr, offsetof(probe, locked)));
        class_addattr(k,
                      attr_offset_new("hidden", long_type, ATTR_NOUSERGET, nullptr, nullptr, offsetof(probe, hidden)));
        class_addattr(k, attr_offset_new("mode", long_type, 0, nullptr, nullptr, offsetof(probe, mode)));
        class_addattr(k, attribute_new("shared", long_type, 0, nullptr, nullptr));
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

// Notes what comes out of a dumpout outlet.
struct catcher {
    object header;
};

void *catcher_anything(catcher *, symbol *s, long argc, atom *argv)
{
    note("dump %s%s%s", s->name, argc ? " " : "", describe_all(argc, argv).c_str());
    return nullptr;
}

kel_class *catcher_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("attrcatcher", nullptr, nullptr, sizeof(catcher), nullptr, 0);
        class_addmethod(k, FN(catcher_anything), "anything", ATYPE_GIMME, 0);
        class_addmethod(k, FN(catcher_anything), "list", ATYPE_GIMME, 0);
        return k;
    }();
    return c;
}

class Attributes : public ::testing::Test {
protected:
    void SetUp() override
    {
        x = make();
        g_log.clear();
    }
    void TearDown() override
    {
        for (probe *p : made_) freeobject(p);
        for (object *c : catchers_) freeobject(c);
    }

    // A probe made as a box makes it, its dumpout caught.
    probe *make(const char *args = "")
    {
        probe_class();  // registered in `box` before a box names it
        auto *p = reinterpret_cast<probe *>(kel::test::make_object((std::string("attrprobe ") + args).c_str()));
        if (!p) return nullptr;
        auto *c = static_cast<object *>(object_alloc(catcher_class()));
        outlet_add(p->dumpout, c);
        made_.push_back(p);
        catchers_.push_back(c);
        return p;
    }

    // The value as atoms, described.
    std::string value(void *of, const char *name)
    {
        long ac = 0;
        atom *av = nullptr;
        if (object_attr_getvalueof(of, gensym(name), &ac, &av) != 0) return "(refused)";
        std::string text = describe_all(ac, av);
        if (av) freebytes(av, ac * static_cast<long>(sizeof(atom)));
        return text;
    }

    probe *x = nullptr;

private:
    std::vector<probe *> made_;
    std::vector<object *> catchers_;
};

// --- by message ---

struct message_case {
    const char *name;
    std::vector<const char *> messages;
    std::string log;
};

class AttributeMessages : public Attributes, public ::testing::WithParamInterface<message_case> {};

TEST_P(AttributeMessages, SetByNameGetByGet)
{
    console_capture console;
    for (const char *m : GetParam().messages) send_text(&x->header, m);
    EXPECT_EQ(g_log, GetParam().log);
    EXPECT_EQ(console.lines(), std::vector<std::string>{}) << "attribute messages report nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Table, AttributeMessages,
    ::testing::Values(
        message_case{"array", {"size 3 4", "getsize"}, "dump size L:3 L:4"},
        message_case{"array_never_set", {"getsize"}, "dump size"},
        message_case{"array_keeps_what_fits", {"size 1 2 3 4 5 6", "getsize"}, "dump size L:1 L:2 L:3 L:4"},
        message_case{"array_set_to_nothing", {"size 1 2", "size", "getsize"}, "dump size"},
        message_case{"symbol", {"label hello", "getlabel"}, "dump label S:hello"},
        message_case{"symbol_never_set_is_empty", {"getlabel"}, "dump label S:"},
        message_case{"float", {"gain 0.5", "getgain"}, "dump gain F:0.5"},
        message_case{"long_from_float_truncates", {"level 2.7", "getlevel"}, "dump level L:2"},
        message_case{"long_without_arguments_unchanged", {"level 2", "level", "getlevel"}, "dump level L:2"},
        message_case{"set_filter_clips", {"level 9", "getlevel"}, "dump level L:5"},
        message_case{"users_cannot_set_silently", {"locked 5", "getlocked"}, "dump locked L:0"},
        message_case{"users_cannot_get_silently", {"hidden 3", "gethidden"}, ""},
        message_case{"a_method_shadows_the_attribute", {"mode 3", "getmode"}, "method mode 3 | dump mode L:0"},
        message_case{"unknown_name_reaches_anything", {"volume 3"}, "anything volume L:3"},
        message_case{"get_unknown_reaches_anything", {"getvolume"}, "anything getvolume"},
        message_case{"get_alone_reaches_anything", {"get"}, "anything get"}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Attributes, HiddenValueIsStillSetByMessage)
{
    send_text(&x->header, "hidden 3");
    EXPECT_EQ(x->hidden, 3);
}

TEST_F(Attributes, ClassesWithoutAttributeDispatchDoNotUnderstand)
{
    static kel_class *plain = [] {
        kel_class *k = class_new("attrprobe_noattr", nullptr, nullptr, sizeof(probe), nullptr, 0);
        class_addattr(k, attr_offset_new("level", gensym("long"), 0, nullptr, nullptr, offsetof(probe, level)));
        k->flags |= CLASS_FLAG_NOATTRIBUTES;
        return k;
    }();
    auto *p = static_cast<probe *>(object_alloc(plain));
    console_capture console;
    send_text(&p->header, "level 3");
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("attrprobe_noattr: doesn't understand \"level\"")});
    EXPECT_EQ(object_attr_get(p, gensym("level")), nullptr);
    freeobject(p);
}

TEST_F(Attributes, ObjectMethodReachesTheAccessors)
{
    atom in[] = {L(9)};
    EXPECT_EQ(object_method(x, gensym("level"), 1, in), nullptr);
    EXPECT_EQ(x->level, 5) << "the set filter ran";
    long ac = 0;
    atom *av = nullptr;
    object_method(x, gensym("getlevel"), &ac, &av);
    EXPECT_EQ(describe_all(ac, av), "L:5");
    freebytes(av, ac * static_cast<long>(sizeof(atom)));

    object *attr = nullptr;
    long isget = -1;
    EXPECT_NE(object_attr_method(x, gensym("getgain"), &attr, &isget), nullptr);
    EXPECT_EQ(isget, 1);
    EXPECT_EQ(attr, object_attr_get(x, gensym("gain")));
    EXPECT_EQ(object_attr_method(x, gensym("nosuch"), &attr, &isget), nullptr);
    EXPECT_EQ(attr, nullptr);
}

TEST_F(Attributes, ObjectMethodTypedSetsLikeAMessage)
{
    atom in[] = {L(1), L(2)};
    atom result;
    EXPECT_EQ(object_method_typed(x, gensym("size"), 2, in, &result), 0);
    EXPECT_EQ(value(x, "size"), "L:1 L:2");
    EXPECT_EQ(object_method_typed(x, gensym("locked"), 1, in, &result), -1) << "refused, nothing called";
}

// --- notification ---

struct watcher {
    object header;
};

void *watcher_notify(watcher *, symbol *name, symbol *message, object *, void *data)
{
    if (message == gensym("attr_modified"))
        note("%s %s %s", name->name, message->name,
             static_cast<symbol *>(object_method(data, gensym("getname")))->name);
    else
        note("%s %s", name->name, message->name);
    return nullptr;
}

TEST_F(Attributes, SettingNotifiesAttrModified)
{
    static kel_class *c = [] {
        kel_class *k = class_new("attrwatcher", nullptr, nullptr, sizeof(watcher), nullptr, 0);
        class_addmethod(k, FN(watcher_notify), "notify", ATYPE_CANT, 0);
        return k;
    }();
    auto *w = static_cast<watcher *>(object_alloc(c));
    symbol *space = gensym("attr_test_space");
    object_register(space, gensym("watched"), x);
    object_attach(space, gensym("watched"), w);

    send_text(&x->header, "level 2");
    object_attr_setfloat(x, gensym("gain"), 0.5);
    atom in[] = {L(1)};
    object_method(x, gensym("size"), 1, in);
    EXPECT_EQ(g_log, "watched attr_modified level | watched attr_modified gain | watched attr_modified size");

    g_log.clear();
    send_text(&x->header, "getlevel");
    send_text(&x->header, "locked 1");
    EXPECT_EQ(g_log, "dump level L:2") << "getting and refused sets notify nothing";
    g_log.clear();
    object_unregister(x);
    EXPECT_EQ(g_log, "watched free");
    freeobject(w);
}

// --- filters ---

struct filter_case {
    const char *name;
    const char *type;
    void (*install)(object *attr);
    atom input;
    std::string expected;
};

void clip_0_1(object *a) { attr_addfilterset_clip(a, 0, 1, 1, 1); }
void clip_min_only(object *a) { attr_addfilterset_clip(a, 0, 1, 1, 0); }
void clip_0_200(object *a) { attr_addfilterset_clip(a, 0, 200, 1, 1); }
void scale_10_clip_0_100(object *a) { attr_addfilterset_clip_scale(a, 10, 0, 100, 1, 1); }
void scale_half_clip_0_1(object *a) { attr_addfilterset_clip_scale(a, 0.5, 0, 1, 1, 1); }
void both_ways_clip_0_1(object *a) { attr_addfilter_clip(a, 0, 1, 1, 1); }
long double_it(void *, object *, long ac, atom *av)
{
    for (long i = 0; i < ac; i++) atom_setlong(av + i, 2 * atom_getlong(av + i));
    return 0;
}
void proc_doubles(object *a) { attr_addfilterset_proc(a, FN(double_it)); }

long field_offset(const char *type)
{
    std::string t = type;
    if (t == "long") return offsetof(probe, lv);
    if (t == "float64") return offsetof(probe, dv);
    if (t == "float32") return offsetof(probe, fv);
    if (t == "char") return offsetof(probe, cv);
    return offsetof(probe, sv);
}

class Filters : public Attributes, public ::testing::WithParamInterface<filter_case> {};

TEST_P(Filters, RewriteTheValueSet)
{
    const filter_case &c = GetParam();
    object *attr = attr_offset_new("v", gensym(c.type), 0, nullptr, nullptr, field_offset(c.type));
    c.install(attr);
    ASSERT_EQ(object_addattr(x, attr), 0);
    atom in = c.input;
    EXPECT_EQ(object_attr_setvalueof(x, gensym("v"), 1, &in), 0);
    EXPECT_EQ(value(x, "v"), c.expected);
    EXPECT_EQ(describe(in), describe(c.input)) << "the caller's atoms are left as they were";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Filters,
    ::testing::Values(filter_case{"float_clipped_to_max", "float64", clip_0_1, F(3.5), "F:1"},
                      filter_case{"long_clipped_to_max", "long", clip_0_1, F(3.5), "L:1"},
                      filter_case{"float_clipped_to_min", "float64", clip_0_1, L(-2), "F:0"},
                      filter_case{"float_inside_kept", "float64", clip_0_1, F(0.25), "F:0.25"},
                      filter_case{"max_not_in_use", "long", clip_min_only, L(50), "L:50"},
                      filter_case{"min_in_use", "long", clip_min_only, L(-3), "L:0"},
                      filter_case{"char_clipped", "char", clip_0_200, L(300), "L:200"},
                      filter_case{"long_scaled_then_truncated", "long", scale_10_clip_0_100, F(3.57), "L:35"},
                      filter_case{"long_scaled_then_clipped", "long", scale_10_clip_0_100, L(20), "L:100"},
                      filter_case{"float32_scaled", "float32", scale_half_clip_0_1, L(1), "F:0.5"},
                      filter_case{"symbols_left_alone", "symbol", clip_0_1, S("abc"), "S:abc"},
                      filter_case{"procedure", "long", proc_doubles, L(4), "L:8"},
                      filter_case{"both_ways", "float64", both_ways_clip_0_1, F(7), "F:1"}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Attributes, GetFilterRewritesWhatIsReadNotWhatIsStored)
{
    object *attr = attr_offset_new("v", gensym("long"), 0, nullptr, nullptr, offsetof(probe, lv));
    attr_addfilterget_clip_scale(attr, 2, 0, 10, 1, 1);
    object_addattr(x, attr);
    object_attr_setlong(x, gensym("v"), 7);
    EXPECT_EQ(x->lv, 7);
    EXPECT_EQ(object_attr_getlong(x, gensym("v")), 10);
    object_attr_setlong(x, gensym("v"), 3);
    EXPECT_EQ(value(x, "v"), "L:6");
}

TEST_F(Attributes, ClipFilterSettingsAreItsAttributes)
{
    object *attr = attr_offset_new("v", gensym("float64"), 0, nullptr, nullptr, offsetof(probe, dv));
    attr_addfilterset_clip(attr, 0, 1, 1, 1);
    object_addattr(x, attr);
    object *filter = kel::attr_cast(attr)->filterset;
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(object_attr_getfloat(filter, gensym("max")), 1.0);
    EXPECT_EQ(object_attr_getsym(filter, gensym("type")), gensym("float64"));
    EXPECT_EQ(object_attr_getlong(filter, gensym("usescale")), 0);
    object_attr_setfloat(filter, gensym("max"), 4);
    object_attr_setfloat(x, gensym("v"), 9);
    EXPECT_EQ(x->dv, 4.0);
}

TEST_F(Attributes, FilterObjectsNeedAFilterMethod)
{
    object *attr = attr_offset_new("v", gensym("long"), 0, nullptr, nullptr, offsetof(probe, lv));
    EXPECT_EQ(reinterpret_cast<long>(object_method(attr, gensym("filterset"), x)), -1);
    EXPECT_EQ(attr_addfilterset_clip(nullptr, 0, 1, 1, 1), ERR_INVALID_PTR);
    freeobject(attr);
}

// --- values through the conveniences ---

TEST_F(Attributes, UnknownAttributeGivesZeroAndNothing)
{
    console_capture console;
    EXPECT_EQ(object_attr_getlong(x, gensym("nosuch")), 0);
    EXPECT_EQ(object_attr_getfloat(x, gensym("nosuch")), 0.0);
    EXPECT_EQ(object_attr_getsym(x, gensym("nosuch")), nullptr);
    EXPECT_EQ(object_attr_getobj(x, gensym("nosuch")), nullptr);
    EXPECT_EQ(object_attr_getchar(x, gensym("nosuch")), 0);
    long vals[2] = {7, 7};
    EXPECT_EQ(object_attr_getlong_array(x, gensym("nosuch"), 2, vals), 0);
    EXPECT_EQ(vals[0], 7);
    EXPECT_EQ(value(x, "nosuch"), "(refused)");
    EXPECT_EQ(object_attr_setlong(x, gensym("nosuch"), 1), -1);
    EXPECT_EQ(console.lines(), std::vector<std::string>{});
}

TEST_F(Attributes, GetvalueofFillsTheCallersArrayOrItsOwn)
{
    send_text(&x->header, "size 5 6 7");
    atom mine[2];
    long ac = 2;
    atom *av = mine;
    EXPECT_EQ(object_attr_getvalueof(x, gensym("size"), &ac, &av), 0);
    EXPECT_EQ(av, mine);
    EXPECT_EQ(describe_all(ac, av), "L:5 L:6");
    EXPECT_EQ(value(x, "size"), "L:5 L:6 L:7");
    EXPECT_EQ(object_attr_getvalueof(x, gensym("size"), nullptr, &av), ERR_INVALID_PTR);
}

TEST_F(Attributes, ArrayConveniencesCopyAtMostTheLimitAndAnswerTheCount)
{
    const long five[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(object_attr_setlong_array(x, gensym("size"), 5, five), 0);
    long two[2] = {};
    EXPECT_EQ(object_attr_getlong_array(x, gensym("size"), 2, two), 4);
    EXPECT_EQ(two[0], 1);
    EXPECT_EQ(two[1], 2);

    const double gains[] = {0.25};
    object_attr_setdouble_array(x, gensym("gain"), 1, gains);
    float f[1] = {};
    EXPECT_EQ(object_attr_getfloat_array(x, gensym("gain"), 1, f), 1);
    EXPECT_EQ(f[0], 0.25f);
    symbol *const labels[] = {gensym("a"), gensym("b")};
    object_attr_setsym_array(x, gensym("label"), 2, labels);
    symbol *got[1] = {};
    EXPECT_EQ(object_attr_getsym_array(x, gensym("label"), 1, got), 1);
    EXPECT_EQ(got[0], gensym("a"));
    const unsigned char chars[] = {200, 201};
    object_attr_setchar_array(x, gensym("size"), 2, chars);
    unsigned char c[2] = {};
    EXPECT_EQ(object_attr_getchar_array(x, gensym("size"), 2, c), 2);
    EXPECT_EQ(c[1], 201);
}

TEST_F(Attributes, SelfStoringClassAttributeIsSharedByInstances)
{
    probe *y = make();
    object_attr_setlong(x, gensym("shared"), 42);
    EXPECT_EQ(object_attr_getlong(y, gensym("shared")), 42);
    object *shared = object_attr_get(x, gensym("shared"));
    long ac = 0;
    atom *av = nullptr;
    EXPECT_EQ(reinterpret_cast<long>(object_method(shared, gensym("getvalueof"), &ac, &av)), 0);
    EXPECT_EQ(describe_all(ac, av), "L:42");
    freebytes(av, ac * static_cast<long>(sizeof(atom)));
    object_attr_setlong(x, gensym("shared"), 0);
}

TEST_F(Attributes, OpaqueValuesRefuseEveryone)
{
    object_addattr(x, attr_offset_new("ro", gensym("long"), ATTR_NOSET, nullptr, nullptr, offsetof(probe, lv)));
    object_addattr(x, attr_offset_new("wo", gensym("float64"), ATTR_NOGET, nullptr, nullptr, offsetof(probe, dv)));
    x->lv = 3;
    EXPECT_EQ(object_attr_setlong(x, gensym("ro"), 9), -1);
    EXPECT_EQ(x->lv, 3);
    EXPECT_EQ(object_attr_getlong(x, gensym("ro")), 3);
    EXPECT_EQ(object_attr_setfloat(x, gensym("wo"), 2), 0);
    EXPECT_EQ(x->dv, 2.0);
    EXPECT_EQ(value(x, "wo"), "(refused)");
    object *attr = nullptr;
    long isget = 0;
    EXPECT_EQ(object_attr_method(x, gensym("ro"), &attr, &isget), nullptr);
    EXPECT_NE(attr, nullptr) << "the attribute is named even when its accessor is refused";
}

TEST_F(Attributes, UnknownTypeIsReportedAndReadsAsZero)
{
    console_capture console;
    object *odd = attribute_new("odd", gensym("quaternion"), 0, nullptr, nullptr);
    EXPECT_EQ(console.lines(), std::vector<std::string>{"gel.attribute: unknown type"});
    object_addattr(x, odd);
    EXPECT_EQ(value(x, "odd"), "L:0");
    EXPECT_EQ(reinterpret_cast<long>(object_method(odd, gensym("getsize"))), 1L);
}

// --- the attribute objects' own methods ---

TEST_F(Attributes, AttributeObjectsAnswerAboutThemselves)
{
    object *a = object_attr_get(x, gensym("size"));
    auto ask = [a](const char *what) { return reinterpret_cast<intptr_t>(object_method(a, gensym(what))); };
    EXPECT_EQ(object_method(a, gensym("getname")), gensym("size"));
    EXPECT_EQ(object_method(a, gensym("gettype")), gensym("long"));
    EXPECT_EQ(ask("getsize"), 4);
    EXPECT_EQ(ask("getoffset"), static_cast<intptr_t>(offsetof(probe, size)));
    EXPECT_EQ(ask("getoffsetcount"), static_cast<intptr_t>(offsetof(probe, sizecount)));
    EXPECT_EQ(ask("class_attribute"), 1);
    EXPECT_EQ(ask("canget"), 1);
    EXPECT_EQ(ask("usercanset"), 1);
    object *locked = object_attr_get(x, gensym("locked"));
    EXPECT_EQ(reinterpret_cast<intptr_t>(object_method(locked, gensym("usercanset"))), 0);
    EXPECT_EQ(reinterpret_cast<intptr_t>(object_method(locked, gensym("usercanget"))), 1);
    EXPECT_EQ(object_attr_usercanset(x, gensym("locked")), 0);
    EXPECT_EQ(object_attr_usercanget(x, gensym("hidden")), 0);
    EXPECT_EQ(object_attr_usercanget(x, gensym("nosuch")), 0);

    // get and set through the attribute, for a given owner
    atom in[] = {L(2), L(3)};
    object_method(a, gensym("set"), x, 2, in);
    EXPECT_EQ(value(x, "size"), "L:2 L:3");
    EXPECT_EQ(reinterpret_cast<intptr_t>(object_method(a, gensym("getvalueof"), nullptr, nullptr)), -1)
        << "an offset attribute has no value of its own";
}

struct method_type_case {
    long flags;
    long getter;
    long setter;
};

TEST_F(Attributes, MethodTypesFollowTheFlagBits)
{
    const method_type_case cases[] = {
        {0, ATYPE_GIMME, ATYPE_GIMME},
        {ATTR_GET_CODE65, 65, ATYPE_GIMME},
        {ATTR_GET_CODE66, 66, ATYPE_GIMME},
        {ATTR_GET_CODE67, 67, ATYPE_GIMME},
        {ATTR_GET_CODE68, 68, ATYPE_GIMME},
        {ATTR_GET_CODE65 | ATTR_GET_CODE66, 66, ATYPE_GIMME},
        {ATTR_GET_CODE65 | ATTR_GET_CODE67, 67, ATYPE_GIMME},
        {ATTR_GET_CODE66 | ATTR_GET_CODE67 | ATTR_GET_CODE68, 68, ATYPE_GIMME},
        {ATTR_SET_CODE65, ATYPE_GIMME, 65},
        {ATTR_SET_CODE66 | ATTR_SET_CODE67, ATYPE_GIMME, 66},
        {ATTR_SET_CODE68 | ATTR_GET_CODE65, 65, 68},
    };
    for (const auto &c : cases) {
        object *a = attribute_new("t", gensym("long"), c.flags, nullptr, nullptr);
        EXPECT_EQ(reinterpret_cast<intptr_t>(object_method(a, gensym("getmethodtype"), gensym("get"))), c.getter)
            << std::hex << c.flags;
        EXPECT_EQ(reinterpret_cast<intptr_t>(object_method(a, gensym("getmethodtype"), gensym("set"))), c.setter)
            << std::hex << c.flags;
        freeobject(a);
    }
}

// --- the instance's own table ---

TEST_F(Attributes, InstanceAttributesComeAfterTheClasses)
{
    object *own = attr_offset_new("level", gensym("long"), 0, nullptr, nullptr, offsetof(probe, lv));
    EXPECT_EQ(object_addattr(x, own), 0);
    EXPECT_NE(object_attr_get(x, gensym("level")), own) << "the class's attribute of that name comes first";
    EXPECT_EQ(object_addattr(x, attr_offset_new("extra", gensym("long"), 0, nullptr, nullptr, offsetof(probe, lv))), 0);
    EXPECT_EQ(object_addattr(x, attr_offset_new("aardvark", gensym("long"), 0, nullptr, nullptr, offsetof(probe, lv))),
              0);

    long count = 0;
    symbol **names = nullptr;
    ASSERT_EQ(object_attr_getnames(x, &count, &names), 0);
    std::string listed;
    for (long i = 0; i < count; i++) listed += std::string(i ? " " : "") + names[i]->name;
    EXPECT_EQ(listed, "gain hidden label level locked mode shared size aardvark extra level");
    freebytes(names, count * static_cast<long>(sizeof(symbol *)));

    object *extra = object_attr_get(x, gensym("extra"));
    EXPECT_EQ(object_chuckattr(x, gensym("extra")), 0);
    EXPECT_EQ(object_attr_get(x, gensym("extra")), nullptr);
    EXPECT_EQ(object_method(extra, gensym("getname")), gensym("extra")) << "chucked, not freed";
    freeobject(extra);
    EXPECT_EQ(object_deleteattr(x, gensym("aardvark")), 0);
    EXPECT_EQ(object_deleteattr(x, gensym("aardvark")), -1);
}

TEST_F(Attributes, InstanceTablesNeedAnObexTable)
{
    object *a = attr_offset_new("v", gensym("long"), 0, nullptr, nullptr, 0);
    auto *plain = static_cast<object *>(object_alloc(catcher_class()));
    EXPECT_EQ(object_addattr(plain, a), ERR_GENERIC);
    EXPECT_EQ(object_deleteattr(plain, gensym("v")), ERR_GENERIC);
    EXPECT_EQ(object_addattr(nullptr, a), ERR_INVALID_PTR);
    EXPECT_EQ(object_addattr(x, nullptr), ERR_INVALID_PTR);
    EXPECT_EQ(object_addattr(x, plain), ERR_INVALID_PTR) << "not an attribute";
    object *nameless = attr_offset_new(nullptr, gensym("long"), 0, nullptr, nullptr, 0);
    EXPECT_EQ(class_addattr(probe_class(), nameless), ERR_INVALID_PTR);
    void *out = nullptr;
    EXPECT_EQ(object_obex_lookup(plain, gensym("dumpout"), &out), ERR_GENERIC);
    EXPECT_EQ(object_obex_store(plain, gensym("k"), nullptr), ERR_GENERIC);
    freeobject(nameless);
    freeobject(a);
    freeobject(plain);
}

// --- attribute arguments ---

struct offset_case {
    std::vector<atom> args;
    long offset;
};

TEST(AttributeArguments, OffsetIsTheFirstAtSymbol)
{
    const offset_case cases[] = {
        {{}, 0},
        {{L(5)}, 1},
        {{L(5), S("@size"), L(1)}, 1},
        {{S("@size")}, 0},
        {{S("x"), F(1), S("@")}, 2},
        {{S("a@b"), L(1)}, 2},
    };
    for (const auto &c : cases) {
        std::vector<atom> args = c.args;
        EXPECT_EQ(attr_args_offset(static_cast<long>(args.size()), args.data()), c.offset);
    }
}

TEST_F(Attributes, ArgumentsSetAttributesAfterTheConstructorsOwn)
{
    probe *p = make("5 @size 10 20");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->first, 5);
    EXPECT_EQ(value(p, "size"), "L:10 L:20");
}

TEST_F(Attributes, ArgumentsNamingNoSettableAttributeAreReported)
{
    console_capture console;
    probe *p = make("@bogus 1 @locked 2 @label hi @gain");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{error_line("attrprobe: \"bogus\" is not a valid attribute argument"),
                                        error_line("attrprobe: \"locked\" is not a valid attribute argument")}));
    EXPECT_EQ(p->locked, 0);
    EXPECT_EQ(value(p, "label"), "S:hi");
    EXPECT_EQ(p->first, 0);
}

// --- the quick reference ---

struct reference {
    object header;
    long count;
    symbol *label;
    double values[8];
    long valuecount;
    long secret, fixed, closed;
};

void *ref_method(reference *) { return nullptr; }

TEST(QuickReference, ListsAttributesThenMessagesInNameOrder)
{
    static kel_class *c = [] {
        kel_class *k = class_new("quickrefprobe", nullptr, nullptr, sizeof(reference), nullptr, 0);
        class_addmethod(k, FN(ref_method), "window", ATYPE_DEFLONG, ATYPE_DEFFLOAT, 0);
        class_addmethod(k, FN(ref_method), "set", ATYPE_GIMME, 0);
        class_addmethod(k, FN(ref_method), "bang", 0);
        class_addmethod(k, FN(ref_method), "int", ATYPE_LONG, 0);
        class_addmethod(k, FN(ref_method), "name", ATYPE_SYM, ATYPE_FLOAT, 0);
        class_addmethod(k, FN(ref_method), "int", ATYPE_FLOAT, 0);
        class_addmethod(k, FN(ref_method), "assist", ATYPE_GIMME, 0);
        class_addmethod(k, FN(ref_method), "preset", 0);
        class_addmethod(k, FN(ref_method), "internal", ATYPE_CANT, 0);
        symbol *long_type = gensym("long");
        class_addattr(k, attr_offset_new("count", long_type, 0, nullptr, nullptr, offsetof(reference, count)));
        class_addattr(k, attr_offset_new("label", gensym("symbol"), 0, nullptr, nullptr, offsetof(reference, label)));
        class_addattr(k, attr_offset_array_new("values", gensym("float64"), 8, 0, nullptr, nullptr,
                                               offsetof(reference, valuecount), offsetof(reference, values)));
        class_addattr(
            k, attr_offset_new("secret", long_type, ATTR_NOUSERGET, nullptr, nullptr, offsetof(reference, secret)));
        class_addattr(
            k, attr_offset_new("fixed", long_type, ATTR_NOUSERSET, nullptr, nullptr, offsetof(reference, fixed)));
        class_addattr(k, attr_offset_new("closed", long_type, ATTR_NOUSERGET | ATTR_NOUSERSET, nullptr, nullptr,
                                         offsetof(reference, closed)));
        return k;
    }();
    auto *r = static_cast<reference *>(object_alloc(c));
    std::memset(reinterpret_cast<char *>(r) + sizeof(object), 0, sizeof(reference) - sizeof(object));
    r->count = 3;
    for (int i = 0; i < 5; i++) r->values[i] = i + 1;
    r->valuecount = 5;

    atom av[ATTR_MAX_VALUES];
    long count = 0;
    ASSERT_EQ(object_obex_quickref(r, &count, av), 0);
    std::vector<std::string> lines;
    for (long i = 0; i < count; i++) lines.push_back(atom_getsym(av + i)->name);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "",
                         "Attributes:",
                         "    closed [int] (none)",
                         "    count [int] (val = 3)",
                         "    fixed [int] (val = 0) (get)",
                         "    label [symbol] (val = <none>)",
                         "    secret [int] (set)",
                         "    values [float array[8]] (val = 1.00 2.00 3.00 4.00 ...)",
                         "",
                         "Messages:",
                         "    bang []",
                         "    int [int]",
                         "    name [symbol, float]",
                         "    set [variable]",
                         "    window [int [0], float [0.0]]",
                     }));
    freeobject(r);
}

TEST(QuickReference, AnObjectWithoutAttributesListsOnlyMessages)
{
    auto *x = static_cast<object *>(object_alloc(catcher_class()));
    atom av[ATTR_MAX_VALUES];
    long count = 0;
    object_obex_quickref(x, &count, av);
    std::vector<std::string> lines;
    for (long i = 0; i < count; i++) lines.push_back(atom_getsym(av + i)->name);
    EXPECT_EQ(lines, (std::vector<std::string>{"", "Messages:", "    anything [variable]", "    list [variable]"}));
    freeobject(x);
}

}  // namespace
