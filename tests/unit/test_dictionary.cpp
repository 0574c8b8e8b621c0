// Dictionaries and dictionary arrays: every getter's found / missing /
// other-type answers, growth, nesting and what freeing releases, and the
// stores that are refused.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/objects.h"

namespace {

atom obj_atom(void *x)
{
    atom a;
    atom_setobj(&a, x);
    return a;
}

// A dictionary holding one entry of each kind.
struct sample {
    linklist *dict = dict_new(nullptr);
    object *other = static_cast<object *>(static_cast<void *>(hashtab_new(0)));  // an object only referred to
    sample()
    {
        dict_appendlong(dict, "i", 7);
        dict_appendfloat(dict, "f", 2.9);
        dict_appendsym(dict, "s", gensym("word"));
        atom o = obj_atom(other);
        dict_appendatom(dict, "o", &o);
        dict_appendlong(dict, "i", 99);  // a second "i": lookups take the first
        dict_appendfloat(dict, "neg", -2.9);
        dict_appendfloat(dict, "huge", 1e30);
    }
    ~sample()
    {
        freeobject(dict);
        freeobject(other);  // never freed by the dictionary
    }
};

TEST(Dictionary, GettersAnswerFoundMissingOrAnotherType)
{
    sample s;
    struct {
        const char *key;
        short as_long;
        long long_value;
        short as_float;
        double float_value;
        short as_sym;
    } cases[] = {
        {"i", 0, 7, 0, 7.0, -2},
        {"f", 0, 2, 0, 2.9f, -2},
        {"neg", 0, -2, 0, -2.9f, -2},
        {"huge", 0, INT32_MAX, 0, 1e30f, -2},  // saturates, as the kernel's conversions do
        {"s", -2, 0, -2, 0, 0},
        {"o", -2, 0, -2, 0, -2},
        {"missing", -1, 0, -1, 0, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        long l = 0;
        double f = 0;
        symbol *sym = nullptr;
        EXPECT_EQ(dict_getlong(s.dict, c.key, &l), c.as_long);
        if (c.as_long == 0) {
            EXPECT_EQ(l, c.long_value);
        }
        EXPECT_EQ(dict_getfloat(s.dict, c.key, &f), c.as_float);
        if (c.as_float == 0) {
            EXPECT_FLOAT_EQ(static_cast<float>(f), static_cast<float>(c.float_value));
        }
        EXPECT_EQ(dict_getsym(s.dict, c.key, &sym), c.as_sym);
        if (c.as_sym == 0) {
            EXPECT_EQ(sym, gensym("word"));
        }
    }
    atom a;
    EXPECT_EQ(dict_getatom2(s.dict, gensym("o"), &a), 0);
    EXPECT_EQ(a.word.w_obj, s.other);
    EXPECT_EQ(dict_getentrycount(s.dict), 7);
    EXPECT_EQ(dict_getentrycount(nullptr), 0);
    EXPECT_EQ(dict_getlong(nullptr, "i", nullptr), -1);
    EXPECT_EQ(dict_getlong(s.dict, nullptr, nullptr), -1);
    EXPECT_EQ(dict_getlong(reinterpret_cast<linklist *>(s.other), "i", nullptr), -1);  // not a dictionary
}

TEST(DictionaryArray, GrowsFromAnyIndexAndAnswersByType)
{
    atom arr;
    ASSERT_EQ(dictarray_new(&arr, 2, nullptr), 0);
    long length = 0;
    EXPECT_EQ(dictarray_getlength(&arr, &length), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(dictarray_setlong(&arr, 5, 42), 0);
    EXPECT_EQ(dictarray_getlength(&arr, &length), 0);
    EXPECT_EQ(length, 6);
    long l = 0;
    EXPECT_EQ(dictarray_getlong(&arr, 5, &l), 0);
    EXPECT_EQ(l, 42);
    EXPECT_EQ(dictarray_gettype(&arr, 3), 0);  // skipped over: empty
    EXPECT_EQ(dictarray_gettype(&arr, 5), ATYPE_LONG);
    EXPECT_EQ(dictarray_getlong(&arr, 3, &l), -2);
    EXPECT_EQ(dictarray_getlong(&arr, 6, &l), -1);
    EXPECT_EQ(dictarray_getlong(&arr, -1, &l), -1);
    EXPECT_EQ(dictarray_setsym(&arr, 0, gensym("x")), 0);
    symbol *s = nullptr;
    EXPECT_EQ(dictarray_getsym(&arr, 0, &s), 0);
    EXPECT_EQ(s, gensym("x"));
    EXPECT_EQ(dictarray_getsym(&arr, 5, &s), -2);
    atom f;
    atom_setfloat(&f, 2.9);
    EXPECT_EQ(dictarray_setatom(&arr, 1, &f), 0);
    EXPECT_EQ(dictarray_getlong(&arr, 1, &l), 0);
    EXPECT_EQ(l, 2);

    // Refused: negative indexes and atoms that hold no array.
    EXPECT_EQ(dictarray_setlong(&arr, -1, 1), -1);
    atom not_array;
    atom_setlong(&not_array, 3);
    linklist *dict = dict_new(nullptr);
    atom dict_atom = obj_atom(dict);
    EXPECT_EQ(dictarray_setlong(&not_array, 0, 1), -1);
    EXPECT_EQ(dictarray_setlong(&dict_atom, 0, 1), -1);
    EXPECT_EQ(dictarray_getlength(&dict_atom, &length), -1);
    EXPECT_EQ(dictarray_gettype(&dict_atom, 0), 0);
    freeobject(dict);
    freeobject(arr.word.w_obj);
}

TEST(DictionaryArray, IncreasingIndexesGrowInLinearTime)
{
    atom arr;
    ASSERT_EQ(dictarray_new(&arr, 0, nullptr), 0);
    for (long k = 0; k < 100000; k++) ASSERT_EQ(dictarray_setlong(&arr, k, k), 0);
    long length = 0, l = 0;
    dictarray_getlength(&arr, &length);
    EXPECT_EQ(length, 100000);
    EXPECT_EQ(dictarray_getlong(&arr, 99999, &l), 0);
    EXPECT_EQ(l, 99999);
    freeobject(arr.word.w_obj);
}

// Freeing a structure frees what is nested in it, once, and only that: run
// under the address sanitizer this shows neither a leak nor a double free.
TEST(Dictionary, FreeingReleasesNestedStructuresOnly)
{
    atom outer_atom, inner_atom, arr;
    linklist *outer = dict_new(&outer_atom);
    linklist *inner = dict_new(&inner_atom);
    ASSERT_EQ(dictarray_new(&arr, 0, nullptr), 0);
    linklist *leaf = dict_new(nullptr);
    dict_appendlong(leaf, "n", 1);
    atom leaf_atom = obj_atom(leaf);
    ASSERT_EQ(dictarray_setatom(&arr, 3, &leaf_atom), 0);
    ASSERT_GT(dict_appendatom(inner, "array", &arr), 0);
    ASSERT_GT(dict_appendatom(outer, "inner", &inner_atom), 0);
    EXPECT_EQ(dict_entryisdict(outer, gensym("inner")), 1);
    EXPECT_EQ(dict_entryisarray(inner, gensym("array")), 1);
    EXPECT_EQ(dict_entryisarray(outer, gensym("inner")), 0);

    // A reference to an object of another kind survives its dictionary
    // (any linklist is a dictionary, and belongs to it).
    hashtab *kept = hashtab_new(0);
    atom kept_atom = obj_atom(kept);
    ASSERT_GT(dict_appendatom(outer, "ref", &kept_atom), 0);
    freeobject(outer);
    EXPECT_TRUE(kel::object_valid_checked(kept));
    freeobject(kept);
}

TEST(Dictionary, AStructureHeldTwiceOrInsideItselfIsRefused)
{
    atom a_atom, b_atom, arr;
    linklist *a = dict_new(&a_atom);
    linklist *b = dict_new(&b_atom);
    ASSERT_EQ(dictarray_new(&arr, 1, nullptr), 0);
    EXPECT_EQ(dict_appendatom(a, "self", &a_atom), -1);  // inside itself
    EXPECT_GT(dict_appendatom(a, "b", &b_atom), 0);
    EXPECT_EQ(dict_appendatom(a, "b again", &b_atom), -1);  // held already
    EXPECT_EQ(dictarray_setatom(&arr, 0, &b_atom), -1);
    EXPECT_EQ(dict_appendatom(b, "a", &a_atom), -1);  // a holds b: b may not hold a
    EXPECT_EQ(dictarray_setatom(&arr, 0, &arr), -1);
    EXPECT_EQ(dict_getentrycount(a), 1);
    EXPECT_EQ(dictarray_gettype(&arr, 0), 0);
    // The refused stores changed nothing: one free each, no double free.
    freeobject(a);
    freeobject(arr.word.w_obj);
}

}  // namespace
