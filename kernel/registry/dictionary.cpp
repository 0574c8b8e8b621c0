// Dictionaries (linklists of key/atom entries) and dictionary arrays.
//
// Invariants: every dictionary or array stored in an entry or an array slot
// is in the held set, exactly once, until that entry or slot lets go of it
// (and frees it); nothing is held inside itself. So freeing a structure
// frees each nested one once, and a cycle cannot be built. Objects of any
// other kind in an atom are references and are never freed here.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/dict.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/classes.h"
#include "kernel/core/linklist.h"
#include "kernel/core/objects.h"

namespace {

// Both are `tiny` objects: the two header words, then their own fields.
struct dict_entry {
    method_entry *messlist;
    int32_t magic;
    symbol *key;
    atom value;
};

struct dict_array {
    method_entry *messlist;
    int32_t magic;
    int32_t length;
    atom *atoms;    // from the system heap; room for capacity atoms
    long capacity;  // grows geometrically, so that setting increasing indexes is linear
};

kel_class *g_entry_class = nullptr;
kel_class *g_array_class = nullptr;

std::mutex g_held_lock;
std::unordered_set<const void *> *g_held = nullptr;  // never destroyed: objects freed at exit still look

bool is_array(const void *x) { return x && g_array_class && object_class(const_cast<void *>(x)) == g_array_class; }

bool is_dict(const void *x)
{
    static symbol *const linklist_name = gensym("linklist");
    return x && kel::object_valid_checked(x) && object_classname(const_cast<void *>(x)) == linklist_name;
}

// A dictionary or array an atom holds (what an entry or slot owns), or null.
void *structure_in(const atom &a)
{
    if (a.type != ATYPE_OBJ || !kel::object_valid_checked(a.word.w_obj)) return nullptr;
    void *x = a.word.w_obj;
    return is_array(x) || is_dict(x) ? x : nullptr;
}

// The first entry of a dictionary for which `want` answers true: one pass
// over the list's own elements under its lock (the element-by-element calls
// would take it once per entry).
template <class F> dict_entry *find_entry(linklist *dict, F want)
{
    kel::list_guard guard(dict);
    for (kel::linklist_element *e = dict->head; e; e = e->next) {
        if (e->dead || !e->value || object_class(e->value) != g_entry_class) continue;
        auto *entry = static_cast<dict_entry *>(e->value);
        if (want(entry)) return entry;
    }
    return nullptr;
}

template <class F> void each_nested(void *x, F f);

// True when what holds target, directly or through its nested structures.
bool contains(void *what, const void *target)
{
    if (what == target) return true;
    bool found = false;
    each_nested(what, [&](void *nested) { found = found || contains(nested, target); });
    return found;
}

template <class F> void each_nested(void *x, F f)
{
    if (is_array(x)) {
        auto *a = static_cast<dict_array *>(x);
        for (long k = 0; k < a->length; k++)
            if (void *n = structure_in(a->atoms[k])) f(n);
    } else if (is_dict(x)) {
        find_entry(static_cast<linklist *>(x), [&](dict_entry *e) {
            if (void *n = structure_in(e->value)) f(n);
            return false;
        });
    }
}

// Takes `value` into a slot of `into`: a structure it holds must not be held
// already, nor be `into` or hold it. False (nothing changed) when refused.
bool take(const atom &value, void *into)
{
    void *nested = structure_in(value);
    if (!nested) return true;
    std::lock_guard guard(g_held_lock);
    if (!g_held) g_held = new (std::nothrow) std::unordered_set<const void *>;
    if (!g_held || g_held->count(nested) || contains(nested, into)) return false;
    try {
        g_held->insert(nested);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// Gives back what take took without freeing it: the store it was for did
// not happen, so the caller still has it.
void untake(const atom &value)
{
    void *nested = structure_in(value);
    if (!nested) return;
    std::lock_guard guard(g_held_lock);
    if (g_held) g_held->erase(nested);
}

// Lets go of what a slot held: a structure is freed with it.
void release(const atom &value)
{
    void *nested = structure_in(value);
    if (!nested) return;
    {
        std::lock_guard guard(g_held_lock);
        if (!g_held || !g_held->erase(nested)) return;  // not ours to free
    }
    freeobject(nested);
}

void entry_free(dict_entry *e) { release(e->value); }

void array_free(dict_array *a)
{
    for (long k = 0; k < a->length; k++) release(a->atoms[k]);
    if (a->atoms) sysmem_freeptr(a->atoms);
    a->atoms = nullptr;
    a->length = 0;
}

bool classes()
{
    if (g_entry_class && g_array_class) return true;
    kel_class *e = class_new("", nullptr, reinterpret_cast<kel_method>(&entry_free), sizeof(dict_entry), nullptr, 0);
    kel_class *a = class_new("", nullptr, reinterpret_cast<kel_method>(&array_free), sizeof(dict_array), nullptr, 0);
    if (!e || !a) return false;
    e->tiny = 1;
    a->tiny = 1;
    g_entry_class = e;
    g_array_class = a;
    return true;
}

dict_entry *first_entry(linklist *dict, symbol *key)
{
    if (!dict || !key || !is_dict(dict)) return nullptr;
    return find_entry(dict, [key](dict_entry *e) { return e->key == key; });
}

// A value as an integer (a float truncated toward zero, saturating) or a
// symbol: 0, or -2 for another type.
short long_of(const atom &a, long *out)
{
    if (a.type == ATYPE_LONG)
        *out = a.word.w_long;
    else if (a.type == ATYPE_FLOAT)
        *out = kel::float_to_long(a.word.w_float);
    else
        return -2;
    return 0;
}

short sym_of(const atom &a, symbol **out)
{
    if (a.type != ATYPE_SYM) return -2;
    *out = a.word.w_sym;
    return 0;
}

symbol *key_symbol(const char *key) { return key ? gensym(key) : nullptr; }

dict_array *array_of(const atom *a)
{
    if (!a || a->type != ATYPE_OBJ || !kel::object_valid_checked(a->word.w_obj) || !is_array(a->word.w_obj))
        return nullptr;
    return reinterpret_cast<dict_array *>(a->word.w_obj);
}

// Room for index + 1 atoms, the new ones empty; false (array unchanged) when
// the index is negative or memory ran out.
bool reach(dict_array *a, long index)
{
    if (index < 0 || index >= INT32_MAX) return false;
    if (index < a->length) return true;
    if (index >= a->capacity) {
        long capacity = std::max(index + 1, std::min(a->capacity * 2, static_cast<long>(INT32_MAX)));
        auto *grown =
            static_cast<atom *>(a->atoms ? sysmem_resizeptr(a->atoms, capacity * static_cast<long>(sizeof(atom)))
                                         : sysmem_newptr(capacity * static_cast<long>(sizeof(atom))));
        if (!grown) return false;
        a->atoms = grown;
        a->capacity = capacity;
    }
    std::memset(a->atoms + a->length, 0, static_cast<size_t>(index + 1 - a->length) * sizeof(atom));
    a->length = static_cast<int32_t>(index + 1);
    return true;
}

long set_slot(const atom *array, long index, const atom &value)
{
    dict_array *a = array_of(array);
    if (!a || index < 0) return -1;
    if (!take(value, a)) return -1;
    if (!reach(a, index)) {
        untake(value);  // the array stays as it was, and did not keep it
        return -1;
    }
    const atom old = a->atoms[index];
    a->atoms[index] = value;
    release(old);
    return 0;
}

}  // namespace

KEL_API linklist *dict_new(atom *out)
{
    if (!classes()) return nullptr;
    linklist *list = linklist_new();
    if (list && out) atom_setobj(out, list);
    return list;
}

KEL_API long dict_appendatom2(linklist *dict, symbol *key, const atom *value)
{
    if (!dict || !key || !value || !is_dict(dict) || !classes()) return -1;
    auto *e = static_cast<dict_entry *>(object_alloc(g_entry_class));
    if (!e) return -1;
    e->key = key;
    e->value = atom{};
    if (!take(*value, dict)) {
        freeobject(e);
        return -1;
    }
    const long result = linklist_append(dict, e);
    if (result < 0) {
        untake(*value);  // the caller keeps it
        freeobject(e);
        return result;
    }
    e->value = *value;
    return result;
}

KEL_API long dict_appendatom(linklist *dict, const char *key, const atom *value)
{
    return dict_appendatom2(dict, key_symbol(key), value);
}

KEL_API long dict_appendlong(linklist *dict, const char *key, long value)
{
    atom a;
    atom_setlong(&a, value);
    return dict_appendatom(dict, key, &a);
}

KEL_API long dict_appendfloat(linklist *dict, const char *key, double value)
{
    atom a;
    atom_setfloat(&a, static_cast<float>(value));
    return dict_appendatom(dict, key, &a);
}

KEL_API long dict_appendsym(linklist *dict, const char *key, symbol *value)
{
    atom a;
    atom_setsym(&a, value);
    return dict_appendatom(dict, key, &a);
}

KEL_API short dict_getatom2(linklist *dict, symbol *key, atom *out)
{
    dict_entry *e = first_entry(dict, key);
    if (!e || !out) return -1;
    *out = e->value;
    return 0;
}

KEL_API short dict_getatom(linklist *dict, const char *key, atom *out)
{
    return dict_getatom2(dict, key_symbol(key), out);
}

KEL_API short dict_getlong(linklist *dict, const char *key, long *out)
{
    atom a;
    if (dict_getatom(dict, key, &a) != 0 || !out) return -1;
    return long_of(a, out);
}

KEL_API short dict_getfloat(linklist *dict, const char *key, double *out)
{
    atom a;
    if (dict_getatom(dict, key, &a) != 0 || !out) return -1;
    if (a.type == ATYPE_FLOAT)
        *out = a.word.w_float;
    else if (a.type == ATYPE_LONG)
        *out = static_cast<double>(a.word.w_long);
    else
        return -2;
    return 0;
}

KEL_API short dict_getsym(linklist *dict, const char *key, symbol **out)
{
    atom a;
    if (dict_getatom(dict, key, &a) != 0 || !out) return -1;
    return sym_of(a, out);
}

KEL_API long dict_entryisarray(linklist *dict, symbol *key)
{
    dict_entry *e = first_entry(dict, key);
    return e && e->value.type == ATYPE_OBJ && kel::object_valid_checked(e->value.word.w_obj) &&
                   is_array(e->value.word.w_obj)
               ? 1
               : 0;
}

KEL_API long dict_entryisdict(linklist *dict, symbol *key)
{
    dict_entry *e = first_entry(dict, key);
    return e && e->value.type == ATYPE_OBJ && is_dict(e->value.word.w_obj) ? 1 : 0;
}

KEL_API long dict_getentrycount(linklist *dict) { return dict && is_dict(dict) ? linklist_getsize(dict) : 0; }

KEL_API long dictarray_new(atom *out, long length, const atom *atoms)
{
    if (!out || length < 0 || length >= INT32_MAX || !classes()) return -1;
    auto *a = static_cast<dict_array *>(object_alloc(g_array_class));
    if (!a) return -1;
    a->length = 0;
    a->capacity = 0;
    a->atoms = nullptr;
    if (length > 0 && !reach(a, length - 1)) {
        freeobject(a);
        return -1;
    }
    for (long k = 0; atoms && k < length; k++) {
        if (!take(atoms[k], a)) {
            for (long j = 0; j < k; j++) untake(atoms[j]);  // the caller keeps them
            a->length = 0;
            freeobject(a);
            return -1;
        }
        a->atoms[k] = atoms[k];
    }
    atom_setobj(out, a);
    return 0;
}

KEL_API long dictarray_setlong(const atom *array, long index, long value)
{
    atom a;
    atom_setlong(&a, value);
    return set_slot(array, index, a);
}

KEL_API long dictarray_setsym(const atom *array, long index, symbol *value)
{
    atom a;
    atom_setsym(&a, value);
    return set_slot(array, index, a);
}

KEL_API long dictarray_setatom(const atom *array, long index, const atom *value)
{
    return value ? set_slot(array, index, *value) : -1;
}

KEL_API short dictarray_getatom(const atom *array, long index, atom *out)
{
    dict_array *a = array_of(array);
    if (!a || !out || index < 0 || index >= a->length) return -1;
    *out = a->atoms[index];
    return 0;
}

KEL_API short dictarray_getlong(const atom *array, long index, long *out)
{
    atom a;
    if (dictarray_getatom(array, index, &a) != 0 || !out) return -1;
    return long_of(a, out);
}

KEL_API short dictarray_getsym(const atom *array, long index, symbol **out)
{
    atom a;
    if (dictarray_getatom(array, index, &a) != 0 || !out) return -1;
    return sym_of(a, out);
}

KEL_API long dictarray_gettype(const atom *array, long index)
{
    atom a;
    return dictarray_getatom(array, index, &a) == 0 ? a.type : 0;
}

KEL_API short dictarray_getlength(const atom *array, long *out)
{
    dict_array *a = array_of(array);
    if (!a || !out) return -1;
    *out = a->length;
    return 0;
}
