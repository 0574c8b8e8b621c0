// Classes: both ways of defining one, namespaces and registration, the class
// builder, and the life of an instance.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "memory_pressure.h"

namespace {

using kel::test::check_failed_line;
using kel::test::console_capture;
using kel::test::error_line;

#define FN(f) reinterpret_cast<kel_method>(&(f))

std::vector<std::string> g_events;

struct thing {
    object header;
    long n;
};

void *thing_int(thing *x, long n)
{
    x->n = n;
    g_events.push_back("int " + std::to_string(n));
    return nullptr;
}
void *thing_bang(thing *)
{
    g_events.push_back("bang");
    return nullptr;
}
void *thing_float(thing *, double f)
{
    g_events.push_back("float " + std::to_string(static_cast<int>(f * 10)));
    return nullptr;
}
void *thing_in3(thing *, long n)
{
    g_events.push_back("in3 " + std::to_string(n));
    return nullptr;
}
void *thing_ft2(thing *, double f)
{
    g_events.push_back("ft2 " + std::to_string(static_cast<int>(f)));
    return nullptr;
}
void thing_free(thing *x) { g_events.push_back("free " + std::to_string(x->n)); }
void *thing_new(long n)
{
    g_events.push_back("new " + std::to_string(n));
    return nullptr;
}

TEST(ClassNew, TableHoldsClassnameAndGrowsByOneEntry)
{
    kel_class *c =
        class_new("grower", FN(thing_new), FN(thing_free), sizeof(thing), nullptr, ATYPE_DEFLONG, ATYPE_DEFLONG,
                  ATYPE_DEFLONG, ATYPE_DEFLONG, ATYPE_DEFLONG, ATYPE_DEFLONG, ATYPE_DEFLONG, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(class_nameget(c), gensym("grower"));
    EXPECT_EQ(c->filename, gensym("grower"));
    EXPECT_EQ(c->flags, 0);
    EXPECT_EQ(c->messcount, 3);
    EXPECT_EQ(c->messlist[1].selector, gensym("classname"));
    EXPECT_EQ(c->messlist[1].types[0], ATYPE_CANT);
    EXPECT_EQ(c->messlist[2].selector, nullptr);
    EXPECT_EQ(kel::table_mark(c->messlist + 1), kel::obex_mark);
    EXPECT_EQ(kel::class_of_table(c->messlist + 1), c);
    // At most six constructor types are kept.
    EXPECT_EQ(c->newmess->types[5], ATYPE_DEFLONG);
    EXPECT_EQ(c->newmess->types[6], 0);

    EXPECT_EQ(class_addmethod(c, FN(thing_int), "int", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, ATYPE_LONG,
                              ATYPE_LONG, ATYPE_LONG, ATYPE_LONG, 0),
              ERR_NONE);
    EXPECT_EQ(c->messcount, 4);
    EXPECT_EQ(c->messlist[2].selector, gensym("int"));
    EXPECT_EQ(c->messlist[2].types[6], ATYPE_LONG);  // seven kept, the eighth dropped
    EXPECT_EQ(c->messlist[2].types[7], 0);
    EXPECT_EQ(c->messlist[3].selector, nullptr);
    EXPECT_EQ(class_addmethod(nullptr, FN(thing_int), "int", 0), ERR_INVALID_PTR);

    // An earlier entry shadows a later one of the same name.
    class_addmethod(c, FN(thing_bang), "int", 0);
    EXPECT_EQ(class_method(c, gensym("int")), FN(thing_int));
    EXPECT_EQ(class_mess(c, gensym("int")), &c->messlist[2]);
    EXPECT_EQ(class_method(c, gensym("absent")), reinterpret_cast<kel_method>(&method_false));
    EXPECT_EQ(class_method(c, gensym("free")), reinterpret_cast<kel_method>(&object_free));
    EXPECT_EQ(class_mess(c, gensym("absent")), nullptr);
    ASSERT_NE(class_mess(c, gensym("free")), nullptr);
    EXPECT_EQ(class_mess(c, gensym("free"))->selector, gensym("free"));
    ASSERT_NE(class_mess(nullptr, gensym("int")), nullptr);  // the nonmethod entry
    EXPECT_EQ(reinterpret_cast<void *(*)()>(class_mess(nullptr, gensym("int"))->method)(), nullptr);
    EXPECT_EQ(class_free(c), ERR_NONE);
    EXPECT_EQ(class_free(nullptr), ERR_INVALID_PTR);
}

TEST(ClassRegister, NamespacesAndDuplicates)
{
    kel_class *first = class_new("registered_twice", nullptr, nullptr, sizeof(thing), nullptr, 0);
    kel_class *second = class_new("registered_twice", nullptr, nullptr, sizeof(thing), nullptr, 0);
    EXPECT_EQ(class_register(gensym("nobox"), first), ERR_NONE);
    EXPECT_EQ(class_register(gensym("nobox"), second), ERR_DUPLICATE);
    EXPECT_EQ(class_findbyname(gensym("nobox"), gensym("registered_twice")), first);
    EXPECT_EQ(class_findbyname(nullptr, gensym("registered_twice")), first);  // null means nobox
    EXPECT_EQ(class_register(nullptr, nullptr), ERR_INVALID_PTR);

    // A namespace is made on first mention.
    kel_class *elsewhere = class_new("registered_twice", nullptr, nullptr, sizeof(thing), nullptr, 0);
    EXPECT_EQ(class_register(gensym("my_space"), elsewhere), ERR_NONE);
    EXPECT_EQ(class_findbyname(gensym("my_space"), gensym("registered_twice")), elsewhere);
    EXPECT_EQ(class_findbyname(gensym("no_such_space"), gensym("registered_twice")), nullptr);

    // The box namespace keeps an existing class and answers 0 either way.
    kel_class *boxed = class_new("boxed_class", nullptr, nullptr, sizeof(thing), nullptr, 0);
    kel_class *boxed_again = class_new("boxed_class", nullptr, nullptr, sizeof(thing), nullptr, 0);
    EXPECT_EQ(class_register(gensym("box"), boxed), ERR_NONE);
    EXPECT_EQ(boxed->flags & CLASS_FLAG_BOX, CLASS_FLAG_BOX);
    EXPECT_EQ(class_register(gensym("box"), boxed_again), ERR_NONE);
    EXPECT_EQ(class_findbyname(gensym("box"), gensym("boxed_class")), boxed);
    class_free(second);
    class_free(boxed_again);

    console_capture console;
    kel_class *loud = class_new("verbose_class", nullptr, nullptr, sizeof(thing), nullptr, 0);
    kel::g_developer = true;
    class_register(gensym("nobox"), loud);
    kel::g_developer = false;
    EXPECT_EQ(console.lines(), std::vector<std::string>{"registering class verbose_class in nobox"});
}

TEST(ClassExtra, StoreLookupTypedWrappersAndAdornments)
{
    kel_class *c = class_new("extra_holder", nullptr, nullptr, sizeof(thing), nullptr, 0);
    int payload = 3;
    EXPECT_EQ(class_extra_lookup(c, gensym("k")), nullptr);
    EXPECT_EQ(class_extra_store(c, gensym("k"), &payload), ERR_NONE);
    EXPECT_EQ(class_extra_lookup(c, gensym("k")), &payload);
    EXPECT_EQ(class_extra_store(nullptr, gensym("k"), &payload), ERR_INVALID_PTR);

    EXPECT_EQ(class_typedwrapper_get(c, gensym("w")), nullptr);
    EXPECT_EQ(class_addtypedwrapper(c, FN(thing_int), "w", ATYPE_LONG, ATYPE_SYM, 0), ERR_NONE);
    method_entry *w = class_typedwrapper_get(c, gensym("w"));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->method, FN(thing_int));
    EXPECT_EQ(w->types[1], ATYPE_SYM);

    kel_class *ac = class_new("an_adornment", nullptr, nullptr, sizeof(thing), nullptr, 0);
    auto *adornment = static_cast<object *>(object_alloc(ac));
    EXPECT_EQ(class_addadornment(c, adornment), ERR_NONE);
    EXPECT_EQ(class_adornment_get(c, gensym("an_adornment")), adornment);

    EXPECT_EQ(class_obexoffset_get(c), 0);
    class_obexoffset_set(c, 24);
    EXPECT_EQ(class_obexoffset_get(c), 24);
    class_obexoffset_set(c, 0);
    class_free(c);  // frees the adornment with the extra table
}

TEST(OlderApi, BuildsAClassIntoItsClassVariable)
{
    static method_entry *thing_class = nullptr;
    kel::class_builder_begin(gensym("older_thing"), nullptr, 0);
    setup(&thing_class, FN(thing_new), FN(thing_free), sizeof(thing), nullptr, ATYPE_DEFLONG, 0);
    addint(FN(thing_int));
    addbang(FN(thing_bang));
    addfloat(FN(thing_float));
    addinx(FN(thing_in3), 3);
    addftx(FN(thing_ft2), 2);
    alias("older_alias");
    kel_class *c = kel::class_builder_finish();
    ASSERT_NE(c, nullptr);
    ASSERT_NE(thing_class, nullptr);
    EXPECT_EQ(reinterpret_cast<kel_class *>(thing_class->selector), c);  // the class variable is the header
    EXPECT_EQ(c->flags, CLASS_FLAG_BOX | CLASS_FLAG_NOATTRIBUTES);
    EXPECT_EQ(class_findbyname(gensym("box"), gensym("older_thing")), c);
    kel_class *aliased = class_findbyname(gensym("box"), gensym("older_alias"));
    ASSERT_NE(aliased, nullptr);
    EXPECT_EQ(aliased->messlist, c->messlist);
    EXPECT_EQ(c->newmess->selector, gensym("older_thing"));
    EXPECT_EQ(c->newmess->method, FN(thing_new));

    auto *x = static_cast<thing *>(newobject(thing_class));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->header.messlist, thing_class + 1);
    EXPECT_EQ(x->header.magic, OBJ_MAGIC);
    EXPECT_EQ(x->header.inlets, nullptr);
    g_events.clear();
    atom a;
    atom_setlong(&a, 5);
    typedmess(x, gensym("int"), 1, &a);
    typedmess(x, gensym("bang"), 0, nullptr);
    atom_setfloat(&a, 1.5);
    typedmess(x, gensym("float"), 1, &a);
    atom_setlong(&a, 8);
    typedmess(x, gensym("in3"), 1, &a);
    typedmess(x, gensym("ft2"), 1, &a);
    freeobject(x);
    EXPECT_EQ(g_events, (std::vector<std::string>{"int 5", "bang", "float 15", "in3 8", "ft2 8", "free 5"}));
}

TEST(OlderApi, AnInstanceTheHeapMadeGoesBackToTheHeap)
{
    static method_entry *heap_thing = nullptr;
    kel::class_builder_begin(gensym("heap_thing"), nullptr, 0);
    setup(&heap_thing, FN(thing_new), FN(thing_free), sizeof(thing), nullptr, 0);
    kel::class_builder_finish();
    ASSERT_NE(heap_thing, nullptr);
    const kel::test::pool_footprint before = kel::test::pool_footprint::now();
    kel::memory_fail_request(1, false);  // the pool has no block: the heap serves
    auto *x = static_cast<thing *>(newobject(heap_thing));
    kel::memory_fail_request(-1, false);
    ASSERT_NE(x, nullptr);
    EXPECT_FALSE(kel::pool_holds(x, sizeof(thing)));
    EXPECT_TRUE(kel::memory_is_low());
    kel::memory_set_low(false);
    x->n = 3;
    g_events.clear();
    freeobject(x);
    EXPECT_EQ(g_events, std::vector<std::string>{"free 3"});
    EXPECT_EQ(kel::test::pool_footprint::now(), before) << "the pool takes back only its own blocks";
}

TEST(OlderApi, MisuseIsReported)
{
    console_capture console;
    static method_entry *orphan = nullptr;
    setup(&orphan, FN(thing_new), nullptr, sizeof(thing), nullptr, 0);
    EXPECT_EQ(orphan, nullptr);
    EXPECT_EQ(console.lines(), std::vector<std::string>{check_failed_line("extern class install: no newmess defined")});

    static method_entry *ranged = nullptr;
    kel::class_builder_begin(gensym("ranged_thing"), nullptr, 0);
    setup(&ranged, FN(thing_new), nullptr, sizeof(thing), nullptr, 0);
    addinx(FN(thing_in3), 0);
    addftx(FN(thing_ft2), 10);
    kel::class_builder_finish();
    EXPECT_EQ(console.lines(), (std::vector<std::string>{check_failed_line("extern class install: no newmess defined"),
                                                         error_line("inlet method out of range"),
                                                         error_line("inlet method out of range")}));
    ASSERT_NE(ranged, nullptr);
    EXPECT_EQ(ranged[1].selector, gensym("in1"));
    EXPECT_EQ(ranged[2].selector, gensym("ft1"));

    // A builder in which nothing was defined makes no class.
    kel::class_builder_begin(gensym("never_defined"), nullptr, 0);
    EXPECT_EQ(kel::class_builder_finish(), nullptr);
    EXPECT_EQ(class_findbyname(gensym("box"), gensym("never_defined")), nullptr);
    EXPECT_FALSE(kel::class_builder_active());
}

// A set-up nested in another one (an external loaded while a class is
// being made) whose builder finds no memory defines nothing, and its finish
// ends nothing else.
TEST(OlderApi, ABuilderWithoutMemoryLeavesTheOuterOneAlone)
{
    static method_entry *outer = nullptr, *inner = nullptr;
    kel::class_builder_begin(gensym("outer_thing"), nullptr, 0);
    setup(&outer, FN(thing_new), nullptr, sizeof(thing), nullptr, 0);
    kel::memory_fail_request(1, false);
    kel::class_builder_begin(gensym("inner_thing"), nullptr, 0);
    kel::memory_fail_request(-1, false);
    EXPECT_TRUE(kel::memory_is_low());
    kel::memory_set_low(false);
    setup(&inner, FN(thing_new), nullptr, sizeof(thing), nullptr, 0);
    addint(FN(thing_int));
    EXPECT_EQ(kel::class_builder_finish(), nullptr);
    EXPECT_EQ(inner, nullptr);
    addbang(FN(thing_bang));
    kel_class *c = kel::class_builder_finish();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(outer[1].selector, gensym("bang")) << "nothing of the inner set-up reached the outer class";
    EXPECT_EQ(outer[2].selector, nullptr);
    EXPECT_FALSE(kel::class_builder_active());
}

TEST(OlderApi, ClassFromAFileGetsItsFolderAndBaseName)
{
    static method_entry *from_file = nullptr;
    kel::class_builder_begin(gensym("typedname"), gensym("filebase.kle"), 12);
    setup(&from_file, FN(thing_new), nullptr, sizeof(thing), nullptr, 0);
    class_setname("renamed", nullptr);
    class_noinlet(nullptr);
    kel_class *c = kel::class_builder_finish();
    ASSERT_NE(c, nullptr);
    class_noinlet(from_file);
    EXPECT_EQ(c->noinlet, 1);
    EXPECT_EQ(class_nameget(c), gensym("renamed"));
    EXPECT_EQ(reinterpret_cast<intptr_t>(class_extra_lookup(c, gensym("filevolume"))), 12);
    EXPECT_EQ(class_findbyname(gensym("box"), gensym("renamed")), c);
    ASSERT_NE(class_findbyname(gensym("box"), gensym("filebase")), nullptr);
}

TEST(OlderApi, NewerClassHandedOverDuringALoad)
{
    kel::class_builder_begin(gensym("handed"), gensym("handed.kle"), 3);
    kel_class *c = class_new("handed", nullptr, nullptr, sizeof(thing), nullptr, 0);
    EXPECT_EQ(class_register(gensym("box"), c), ERR_NONE);
    EXPECT_EQ(class_findbyname(gensym("box"), gensym("handed")), nullptr);  // not until the load finishes
    EXPECT_EQ(kel::class_builder_finish(), c);
    EXPECT_EQ(class_findbyname(gensym("box"), gensym("handed")), c);
    EXPECT_EQ(kel::table_mark(c->messlist + 1), kel::obex_mark);
}

TEST(Objects, AllocFreeAndValidity)
{
    kel_class *c = class_new("lifecycle", nullptr, FN(thing_free), sizeof(thing), nullptr, 0);
    auto *x = static_cast<thing *>(object_alloc(c));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->header.magic, OBJ_MAGIC);
    EXPECT_EQ(object_classname(x), gensym("lifecycle"));
    EXPECT_EQ(object_class(x), c);
    x->n = 4;
    g_events.clear();
    EXPECT_EQ(object_free(x), ERR_NONE);
    EXPECT_EQ(g_events, std::vector<std::string>{"free 4"});

    console_capture console;
    freeobject(x);  // freed already: reported, nothing run twice
    EXPECT_EQ(g_events.size(), 1u);
    char text[64];
    std::snprintf(text, sizeof text, "freeobject: %lx: bad object",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(x)));
    EXPECT_EQ(console.last(), text);
    freeobject(reinterpret_cast<void *>(16));  // not even readable
    EXPECT_EQ(object_free(nullptr), ERR_INVALID_PTR);
    EXPECT_EQ(object_class(nullptr), nullptr);
    EXPECT_EQ(object_alloc(nullptr), nullptr);
    class_free(c);
}

TEST(Objects, ObexTableForClassesThatAskForOne)
{
    struct with_obex {
        object header;
        hashtab *obex;
    };
    kel_class *c = class_new("obex_holder", nullptr, nullptr, sizeof(with_obex), nullptr, 0);
    class_obexoffset_set(c, offsetof(with_obex, obex));
    auto *x = static_cast<with_obex *>(object_alloc(c));
    ASSERT_NE(x->obex, nullptr);
    EXPECT_EQ(hashtab_getslotcount(x->obex), 13);
    freeobject(x);
    class_free(c);
}

}  // namespace
