// Attribute objects, their classes and accessors, the attribute tables, and
// attribute access by message and by object_method.
#include "kernel/registry/attributes.h"

#include <algorithm>
#include <cstring>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/registry.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/dispatch.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"

namespace kel {
namespace {

constexpr long atoms_unallocated = -4;

kel_class *g_attribute_class = nullptr;
kel_class *g_offset_class = nullptr;
kel_class *g_array_class = nullptr;
box_target_function g_box_target = nullptr;

// The type names, made once.
struct type_symbols {
    symbol *char_, *long_, *float32, *float64, *symbol_, *pointer, *object_, *atom_;
};
type_symbols g_types{};

symbol *s_get, *s_set, *s_filter, *s_attr_get, *s_attr_gettarget, *s_attr_getnames, *s_attr_modified, *s_dumpout,
    *s_attributes;

method_entry g_mess_attr_setvalueof;
method_entry g_mess_attr_getdump;

kel_class *header_class(const void *x) { return class_of_table(static_cast<const object *>(x)->messlist); }

// --- elements and atoms ---

void element_to_atom(symbol *type, const char *p, atom *a)
{
    if (type == g_types.char_) {
        atom_setlong(a, *reinterpret_cast<const unsigned char *>(p));
    } else if (type == g_types.long_) {
        long v;
        std::memcpy(&v, p, sizeof v);
        atom_setlong(a, v);
    } else if (type == g_types.float32) {
        float v;
        std::memcpy(&v, p, sizeof v);
        atom_setfloat(a, v);
    } else if (type == g_types.float64) {
        double v;
        std::memcpy(&v, p, sizeof v);
        atom_setfloat(a, v);
    } else if (type == g_types.symbol_) {
        symbol *v;
        std::memcpy(&v, p, sizeof v);
        // Cleared storage holds no symbol: readers get the empty one.
        atom_setsym(a, v ? v : sym_empty);
    } else if (type == g_types.object_ || type == g_types.pointer) {
        void *v;
        std::memcpy(&v, p, sizeof v);
        atom_setobj(a, v);
    } else if (type == g_types.atom_) {
        std::memcpy(a, p, sizeof(atom));
    } else {
        atom_setlong(a, 0);
    }
}

void atom_to_element(symbol *type, const atom *a, char *p)
{
    if (type == g_types.char_) {
        auto v = static_cast<unsigned char>(atom_getlong(a));
        std::memcpy(p, &v, sizeof v);
    } else if (type == g_types.long_) {
        long v = atom_getlong(a);
        std::memcpy(p, &v, sizeof v);
    } else if (type == g_types.float32) {
        float v = atom_getfloat(a);
        std::memcpy(p, &v, sizeof v);
    } else if (type == g_types.float64) {
        double v = atom_getfloat(a);
        std::memcpy(p, &v, sizeof v);
    } else if (type == g_types.symbol_) {
        symbol *v = atom_getsym(a);
        std::memcpy(p, &v, sizeof v);
    } else if (type == g_types.object_ || type == g_types.pointer) {
        void *v = atom_getobj(a);
        std::memcpy(p, &v, sizeof v);
    } else if (type == g_types.atom_) {
        std::memcpy(p, a, sizeof(atom));
    }
}

// Fills the caller's array (at most *ac atoms) or a new one with count
// elements read from base.
long fill_atoms(symbol *type, const char *base, long count, long *ac, atom **av)
{
    if (!ac || !av) return ERR_INVALID_PTR;
    long size = attr_element_size(type);
    long n = count;
    atom *out = *av;
    if (out && *ac > 0) {
        n = std::min(n, *ac);
    } else {
        out = nullptr;
        if (n > 0) {
            out = static_cast<atom *>(getbytes(n * static_cast<long>(sizeof(atom))));
            if (!out) return atoms_unallocated;
        }
        *av = out;
    }
    for (long i = 0; i < n; i++) element_to_atom(type, base + i * size, out + i);
    *ac = n;
    return ERR_NONE;
}

void store_atoms(symbol *type, char *base, long n, const atom *av)
{
    long size = attr_element_size(type);
    for (long i = 0; i < n; i++) atom_to_element(type, av + i, base + i * size);
}

char *owner_field(void *x, long offset) { return static_cast<char *>(x) + offset; }

long stored_count(void *x, const attr_record *a)
{
    long count;
    std::memcpy(&count, owner_field(x, a->offsetcount), sizeof count);
    // A count the owner corrupted never reads past the array.
    return std::clamp(count, 0L, a->size);
}

// --- the built-in accessors of the three kinds ---

long self_get(void *, object *attr, long *ac, atom **av)
{
    auto *a = reinterpret_cast<attr_record *>(attr);
    // An attribute of an unknown type has no storage and reads as zeros.
    return fill_atoms(a->type, a->storage, a->size, ac, av);
}

long self_set(void *, object *attr, long ac, atom *av)
{
    auto *a = reinterpret_cast<attr_record *>(attr);
    if (ac > 0 && av && a->storage) store_atoms(a->type, a->storage, std::min(ac, a->size), av);
    return ERR_NONE;
}

long offset_get(void *x, object *attr, long *ac, atom **av)
{
    if (!x) return ERR_INVALID_PTR;
    auto *a = reinterpret_cast<attr_record *>(attr);
    return fill_atoms(a->type, owner_field(x, a->offset), 1, ac, av);
}

long offset_set(void *x, object *attr, long ac, atom *av)
{
    if (!x) return ERR_INVALID_PTR;
    auto *a = reinterpret_cast<attr_record *>(attr);
    if (ac > 0 && av) store_atoms(a->type, owner_field(x, a->offset), 1, av);
    return ERR_NONE;
}

long array_get(void *x, object *attr, long *ac, atom **av)
{
    if (!x) return ERR_INVALID_PTR;
    auto *a = reinterpret_cast<attr_record *>(attr);
    return fill_atoms(a->type, owner_field(x, a->offset), stored_count(x, a), ac, av);
}

long array_set(void *x, object *attr, long ac, atom *av)
{
    if (!x) return ERR_INVALID_PTR;
    auto *a = reinterpret_cast<attr_record *>(attr);
    long n = av ? std::clamp(ac, 0L, a->size) : 0;
    store_atoms(a->type, owner_field(x, a->offset), n, av);
    std::memcpy(owner_field(x, a->offsetcount), &n, sizeof n);
    return ERR_NONE;
}

// --- filters in the accessor path ---

long run_filter(object *filter, void *x, attr_record *a, long ac, atom *av)
{
    kel_method fn = object_getmethod(filter, s_filter);
    if (fn == reinterpret_cast<kel_method>(&method_false)) return ERR_GENERIC;
    return call_attr_filter(fn, filter, x, &a->header, ac, av);
}

long filtered_get(void *x, object *attr, long *ac, atom **av)
{
    auto *a = reinterpret_cast<attr_record *>(attr);
    long err = call_attr_get(a->get, x, attr, ac, av);
    if (err == ERR_NONE && a->filterget && ac && av && *av && *ac > 0) run_filter(a->filterget, x, a, *ac, *av);
    return err;
}

long filtered_set(void *x, object *attr, long ac, atom *av)
{
    auto *a = reinterpret_cast<attr_record *>(attr);
    if (!a->filterset) return call_attr_set(a->set, x, attr, ac, av);
    // The filter rewrites a copy: the caller's atoms stay as they were.
    atom copy[ATTR_MAX_VALUES];
    long n = av ? std::clamp(ac, 0L, static_cast<long>(ATTR_MAX_VALUES)) : 0;
    if (n) std::memcpy(copy, av, static_cast<size_t>(n) * sizeof(atom));
    run_filter(a->filterset, x, a, n, copy);
    return call_attr_set(a->set, x, attr, n, copy);
}

kel_method accessor(attr_record *a, bool get)
{
    if (get) return a->filterget ? reinterpret_cast<kel_method>(&filtered_get) : a->get;
    return a->filterset ? reinterpret_cast<kel_method>(&filtered_set) : a->set;
}

// The argument code of an accessor: flag bits 16-19 (getter) or 24-27
// (setter), 68 first, then 66, 67, 65.
long method_type(long flags, bool get)
{
    long bits = get ? flags >> 16 : flags >> 24;
    if (bits & 0x8) return 68;
    if (bits & 0x2) return 66;
    if (bits & 0x4) return 67;
    if (bits & 0x1) return 65;
    return ATYPE_GIMME;
}

// --- making records ---

attr_record *attr_make(kel_class *c, const char *name, symbol *type, long flags, kel_method get, kel_method set)
{
    auto *a = c ? static_cast<attr_record *>(object_alloc(c)) : nullptr;
    if (!a) return nullptr;
    a->name = name ? gensym(name) : nullptr;
    a->type = type;
    a->flags = flags;
    a->get = get;
    a->set = set;
    a->filterget = a->filterset = nullptr;
    a->offset = a->offsetcount = 0;
    a->size = 1;
    a->storage = nullptr;
    if (attr_element_size(type) == 0) post("gel.attribute: unknown type");
    return a;
}

long storage_bytes(const attr_record *a) { return a->size * attr_element_size(a->type); }

void attr_free(attr_record *a)
{
    if (a->filterget) freeobject(a->filterget);
    if (a->filterset) freeobject(a->filterset);
    a->filterget = a->filterset = nullptr;
    if (a->storage) freebytes(a->storage, storage_bytes(a));
    a->storage = nullptr;
}

// --- the methods every attribute class answers (through object_method) ---

symbol *m_getname(attr_record *a) { return a->name; }
symbol *m_gettype(attr_record *a) { return a->type; }
kel_method m_getmethod(attr_record *a, symbol *which)
{
    if (which == s_get) return accessor(a, true);
    if (which == s_set) return accessor(a, false);
    return nullptr;
}
long m_getmethodtype(attr_record *a, symbol *which) { return method_type(a->flags, which == s_get); }
long m_canget(attr_record *a) { return !(a->flags & ATTR_NOGET); }
long m_canset(attr_record *a) { return !(a->flags & ATTR_NOSET); }
long m_usercanget(attr_record *a) { return !(a->flags & ATTR_NOUSERGET); }
long m_usercanset(attr_record *a) { return !(a->flags & ATTR_NOUSERSET); }
long m_filterget(attr_record *a, object *f) { return attr_install_filter(&a->header, f, true); }
long m_filterset(attr_record *a, object *f) { return attr_install_filter(&a->header, f, false); }
long m_get(attr_record *a, void *x, long *ac, atom **av)
{
    return call_attr_get(accessor(a, true), x, &a->header, ac, av);
}
long m_set(attr_record *a, void *x, long ac, atom *av)
{
    return call_attr_set(accessor(a, false), x, &a->header, ac, av);
}
// The attribute's own value: only a self-storing attribute has one.
long m_getvalueof(attr_record *a, long *ac, atom **av)
{
    if (header_class(a) != g_attribute_class) return ERR_GENERIC;
    return m_get(a, nullptr, ac, av);
}
long m_setvalueof(attr_record *a, long ac, atom *av)
{
    if (header_class(a) != g_attribute_class) return ERR_GENERIC;
    return m_set(a, nullptr, ac, av);
}
void *m_register(attr_record *a, symbol *name_space, symbol *name) { return object_register(name_space, name, a); }
long m_class_attribute(attr_record *) { return 1; }
long m_getsize(attr_record *a) { return a->size; }
long m_offset(attr_record *a, long offset)
{
    a->offset = offset;
    return ERR_NONE;
}
long m_getoffset(attr_record *a) { return a->offset; }
long m_offsetcount(attr_record *a, long offset)
{
    a->offsetcount = offset;
    return ERR_NONE;
}
long m_getoffsetcount(attr_record *a) { return a->offsetcount; }
long m_size(attr_record *a, long size)
{
    if (size >= 0) a->size = size;
    return ERR_NONE;
}

#define FN(f) reinterpret_cast<kel_method>(&(f))

kel_class *make_attribute_class(const char *name)
{
    kel_class *c = class_new(name, nullptr, FN(attr_free), sizeof(attr_record), nullptr, 0);
    if (!c) return nullptr;
    struct {
        const char *name;
        kel_method fn;
    } const methods[] = {
        {"getname", FN(m_getname)},
        {"gettype", FN(m_gettype)},
        {"getmethod", FN(m_getmethod)},
        {"getmethodtype", FN(m_getmethodtype)},
        {"canget", FN(m_canget)},
        {"canset", FN(m_canset)},
        {"usercanget", FN(m_usercanget)},
        {"usercanset", FN(m_usercanset)},
        {"filterget", FN(m_filterget)},
        {"filterset", FN(m_filterset)},
        {"get", FN(m_get)},
        {"set", FN(m_set)},
        {"getvalueof", FN(m_getvalueof)},
        {"setvalueof", FN(m_setvalueof)},
        {"register", FN(m_register)},
        {"class_attribute", FN(m_class_attribute)},
        {"getsize", FN(m_getsize)},
    };
    for (const auto &m : methods) class_addmethod(c, m.fn, m.name, ATYPE_CANT, 0);
    return c;
}

// --- lookup ---

object *class_attr(kel_class *c, symbol *name)
{
    void *a = nullptr;
    if (c->attributes) hashtab_lookup(c->attributes, name, &a);
    return static_cast<object *>(a);
}

hashtab *own_attributes(object *x)
{
    hashtab *obex = obex_table(x);
    void *table = nullptr;
    if (obex) hashtab_lookup(obex, s_attributes, &table);
    return static_cast<hashtab *>(table);
}

bool method_present(kel_method fn) { return fn && fn != reinterpret_cast<kel_method>(&method_false); }

// The name a `get` selector asks for ("getsize" -> "size"), or null.
symbol *name_after_get(symbol *s)
{
    if (!s || std::strncmp(s->name, "get", 3) != 0 || !s->name[3]) return nullptr;
    return gensym(s->name + 3);
}

// The attribute x answers for name and the object that holds its value: x
// itself, or the object a box holds when x is a box without the attribute.
struct attr_target {
    object *attr = nullptr;
    object *owner = nullptr;
};

attr_target find_target(object *x, symbol *name)
{
    attr_target t;
    if (!object_valid(x) || !name) return t;
    t.owner = x;
    t.attr = attr_lookup(x, name);
    if (!t.attr && g_box_target) {
        if (object *held = g_box_target(x); held && held != x && object_valid(held)) {
            t.attr = attr_lookup(held, name);
            t.owner = held;
        }
    }
    if (!t.attr) return t;
    // The owner may keep the value in another object.
    kel_method fn = object_getmethod(t.owner, s_attr_gettarget);
    if (method_present(fn)) {
        auto *other = static_cast<object *>(call_named_query(fn, t.owner, name));
        if (other && object_valid(other)) t.owner = other;
    }
    return t;
}

// Getting or setting on behalf of a gimme entry or a conversion helper.
long get_first(void *x, symbol *name, atom *out)
{
    atom local[1];
    long ac = 1;
    atom *av = local;
    long err = object_attr_getvalueof(x, name, &ac, &av);
    bool got = err == ERR_NONE && av && ac > 0;
    if (got) *out = av[0];
    // A getter that ignored the caller's array allocated its own.
    if (av && av != local) freebytes(av, ac * static_cast<long>(sizeof(atom)));
    return got ? ERR_NONE : ERR_GENERIC;
}

void *mess_attr_setvalueof(object *x, symbol *s, long argc, atom *argv)
{
    object_attr_setvalueof(x, s, argc, argv);
    return nullptr;
}

void *mess_attr_getdump(object *x, symbol *s, long argc, atom *argv)
{
    object_attr_getdump(x, s, argc, argv);
    return nullptr;
}

void sort_names(symbol **names, long count)
{
    std::sort(names, names + count, [](const symbol *a, const symbol *b) { return std::strcmp(a->name, b->name) < 0; });
}

template <typename T, typename Convert> long get_array(void *x, symbol *name, long max, T *vals, Convert convert)
{
    long ac = 0;
    atom *av = nullptr;
    if (object_attr_getvalueof(x, name, &ac, &av) != ERR_NONE) return 0;
    if (vals)
        for (long i = 0; i < std::min(ac, max); i++) vals[i] = convert(av + i);
    if (av) freebytes(av, ac * static_cast<long>(sizeof(atom)));
    return ac;
}

template <typename T, typename Convert>
long set_array(void *x, symbol *name, long count, const T *vals, Convert convert)
{
    atom av[ATTR_MAX_VALUES];
    long n = vals ? std::clamp(count, 0L, static_cast<long>(ATTR_MAX_VALUES)) : 0;
    for (long i = 0; i < n; i++) convert(av + i, vals[i]);
    return object_attr_setvalueof(x, name, n, av);
}

}  // namespace

// --- the kernel side ---

long attr_element_size(symbol *type)
{
    if (!type) return 0;
    if (type == g_types.char_) return 1;
    if (type == g_types.long_) return sizeof(long);
    if (type == g_types.float32) return sizeof(float);
    if (type == g_types.float64) return sizeof(double);
    if (type == g_types.symbol_ || type == g_types.pointer || type == g_types.object_) return sizeof(void *);
    if (type == g_types.atom_) return sizeof(atom);
    return 0;
}

attr_record *attr_cast(void *x)
{
    if (!x || !object_valid_checked(x)) return nullptr;
    kel_class *c = header_class(x);
    if (c != g_attribute_class && c != g_offset_class && c != g_array_class) return nullptr;
    return static_cast<attr_record *>(x);
}

long attr_install_filter(object *attr, object *filter, bool get)
{
    attr_record *a = attr_cast(attr);
    if (!a) return ERR_INVALID_PTR;
    if (!object_valid_checked(filter) || !method_present(object_getmethod(filter, s_filter))) return ERR_GENERIC;
    object *&slot = get ? a->filterget : a->filterset;
    if (slot && slot != filter) freeobject(slot);
    slot = filter;
    return ERR_NONE;
}

object *attr_lookup(object *x, symbol *name)
{
    if (!name || !object_valid(x)) return nullptr;
    kel_class *c = header_class(x);
    if (c->flags & (CLASS_FLAG_NOATTRIBUTES | class_flag_creator)) return nullptr;
    if (object *a = class_attr(c, name)) return a;
    if (hashtab *own = own_attributes(x)) {
        void *a = nullptr;
        if (hashtab_lookup(own, name, &a) == 0 && a) return static_cast<object *>(a);
    }
    kel_method fn = object_getmethod(x, s_attr_get);
    if (method_present(fn)) {
        void *a = call_named_query(fn, x, name);
        if (attr_cast(a)) return static_cast<object *>(a);
    }
    return nullptr;
}

bool attr_dispatch_lookup(object *x, symbol *s, method_entry **entry)
{
    *entry = nullptr;
    if (attr_record *a = attr_cast(attr_lookup(x, s))) {
        if (!(a->flags & ATTR_NOUSERSET)) *entry = &g_mess_attr_setvalueof;
        return true;
    }
    if (attr_record *a = attr_cast(attr_lookup(x, name_after_get(s)))) {
        if (!(a->flags & ATTR_NOUSERGET)) *entry = &g_mess_attr_getdump;
        return true;
    }
    return false;
}

bool attr_method_call(object *x, symbol *s, const kel_word *w, void **result)
{
    object *attr = nullptr;
    long isget = 0;
    kel_method fn = object_attr_method(x, s, &attr, &isget);
    if (!attr) return false;
    *result = nullptr;
    if (!fn) return true;
    if (isget) {
        long err = call_attr_get(fn, x, attr, reinterpret_cast<long *>(w[0]), reinterpret_cast<atom **>(w[1]));
        *result = reinterpret_cast<void *>(static_cast<intptr_t>(err));
    } else {
        long err = call_attr_set(fn, x, attr, static_cast<long>(w[0]), reinterpret_cast<atom *>(w[1]));
        *result = reinterpret_cast<void *>(static_cast<intptr_t>(err));
        object_notify(x, s_attr_modified, attr);
    }
    return true;
}

hashtab *obex_table(object *x)
{
    if (!object_valid(x)) return nullptr;
    kel_class *c = header_class(x);
    if (!c->obexoffset) return nullptr;
    hashtab *table;
    std::memcpy(&table, reinterpret_cast<char *>(x) + c->obexoffset, sizeof table);
    return table;
}

void attr_set_box_target(box_target_function fn) { g_box_target = fn; }

object *box_held_object(object *x) { return g_box_target ? g_box_target(x) : nullptr; }

bool attributes_init()
{
    if (g_attribute_class) return true;
    g_types = {gensym("char"),   gensym("long"),    gensym("float32"), gensym("float64"),
               gensym("symbol"), gensym("pointer"), gensym("object"),  gensym("atom")};
    s_get = gensym("get");
    s_set = gensym("set");
    s_filter = gensym("filter");
    s_attr_get = gensym("attr_get");
    s_attr_gettarget = gensym("attr_gettarget");
    s_attr_getnames = gensym("attr_getnames");
    s_attr_modified = gensym("attr_modified");
    s_dumpout = gensym("dumpout");
    s_attributes = gensym("attributes");

    // The static entries typed dispatch answers for attribute access.
    static const char gimme[8] = {ATYPE_GIMME};
    g_mess_attr_setvalueof = {gensym("setvalueof"), FN(mess_attr_setvalueof), {}};
    g_mess_attr_getdump = {gensym("getdump"), FN(mess_attr_getdump), {}};
    std::memcpy(g_mess_attr_setvalueof.types, gimme, sizeof gimme);
    std::memcpy(g_mess_attr_getdump.types, gimme, sizeof gimme);

    kel_class *plain = make_attribute_class("attribute");
    kel_class *offset = make_attribute_class("attr_offset");
    kel_class *array = make_attribute_class("attr_offset_array");
    if (!plain || !offset || !array) return false;
    for (kel_class *c : {offset, array}) {
        class_addmethod(c, FN(m_offset), "offset", ATYPE_CANT, 0);
        class_addmethod(c, FN(m_getoffset), "getoffset", ATYPE_CANT, 0);
    }
    class_addmethod(array, FN(m_offsetcount), "offsetcount", ATYPE_CANT, 0);
    class_addmethod(array, FN(m_getoffsetcount), "getoffsetcount", ATYPE_CANT, 0);
    class_addmethod(array, FN(m_size), "size", ATYPE_CANT, 0);
    for (kel_class *c : {plain, offset, array})
        if (class_register(sym_nobox, c) != ERR_NONE) return false;
    g_attribute_class = plain;
    g_offset_class = offset;
    g_array_class = array;
    dispatch_fallbacks fallbacks;
    fallbacks.attribute_entry = &attr_dispatch_lookup;
    fallbacks.attribute_call = &attr_method_call;
    fallbacks.held_object = &box_held_object;
    dispatch_set_fallbacks(fallbacks);
    return attribute_filters_init();
}

}  // namespace kel

using namespace kel;

// --- making attributes ---

KEL_API object *attribute_new(const char *name, symbol *type, long flags, kel_method get, kel_method set)
{
    attr_record *a =
        attr_make(g_attribute_class, name, type, flags, get ? get : FN(self_get), set ? set : FN(self_set));
    if (!a) return nullptr;
    long bytes = storage_bytes(a);
    if (bytes > 0) {
        a->storage = static_cast<char *>(getbytes(bytes));
        if (!a->storage) {
            freeobject(a);
            return nullptr;
        }
        std::memset(a->storage, 0, static_cast<size_t>(bytes));
    }
    return &a->header;
}

KEL_API object *attr_offset_new(const char *name, symbol *type, long flags, kel_method get, kel_method set, long offset)
{
    attr_record *a =
        attr_make(g_offset_class, name, type, flags, get ? get : FN(offset_get), set ? set : FN(offset_set));
    if (!a) return nullptr;
    a->offset = offset;
    return &a->header;
}

KEL_API object *attr_offset_array_new(const char *name, symbol *type, long size, long flags, kel_method get,
                                      kel_method set, long offsetcount, long offset)
{
    attr_record *a = attr_make(g_array_class, name, type, flags, get ? get : FN(array_get), set ? set : FN(array_set));
    if (!a) return nullptr;
    a->offset = offset;
    a->offsetcount = offsetcount;
    a->size = size > 0 ? size : 0;
    return &a->header;
}

// --- tables ---

KEL_API long class_addattr(kel_class *c, object *attr)
{
    attr_record *a = attr_cast(attr);
    if (!c || !a || !a->name) return ERR_INVALID_PTR;
    if (!c->attributes) c->attributes = hashtab_new(0);
    if (!c->attributes) return ERR_GENERIC;
    return hashtab_store(c->attributes, a->name, a) == 0 ? ERR_NONE : ERR_GENERIC;
}

KEL_API long object_addattr(void *x, object *attr)
{
    attr_record *a = attr_cast(attr);
    if (!x || !a || !a->name) return ERR_INVALID_PTR;
    hashtab *obex = obex_table(static_cast<object *>(x));
    if (!obex) return ERR_GENERIC;
    hashtab *own = own_attributes(static_cast<object *>(x));
    if (!own) {
        own = hashtab_new(13);
        if (!own) return ERR_GENERIC;
        if (hashtab_store(obex, s_attributes, own) != 0) {
            freeobject(own);
            return ERR_GENERIC;
        }
    }
    return hashtab_store(own, a->name, a) == 0 ? ERR_NONE : ERR_GENERIC;
}

KEL_API long object_deleteattr(void *x, symbol *name)
{
    if (!x || !name) return ERR_INVALID_PTR;
    if (!obex_table(static_cast<object *>(x))) return ERR_GENERIC;
    hashtab *own = own_attributes(static_cast<object *>(x));
    return own && hashtab_delete(own, name) == 0 ? ERR_NONE : ERR_GENERIC;
}

KEL_API long object_chuckattr(void *x, symbol *name)
{
    if (!x || !name) return ERR_INVALID_PTR;
    if (!obex_table(static_cast<object *>(x))) return ERR_GENERIC;
    hashtab *own = own_attributes(static_cast<object *>(x));
    return own && hashtab_chuckkey(own, name) == 0 ? ERR_NONE : ERR_GENERIC;
}

// --- finding and asking ---

KEL_API object *object_attr_get(void *x, symbol *name) { return attr_lookup(static_cast<object *>(x), name); }

KEL_API kel_method object_attr_method(void *x, symbol *selector, object **attr, long *isget)
{
    object *found = nullptr;
    bool get = false;
    attr_record *a = attr_cast(attr_lookup(static_cast<object *>(x), selector));
    if (!a) {
        a = attr_cast(attr_lookup(static_cast<object *>(x), name_after_get(selector)));
        get = a != nullptr;
    }
    if (a) found = &a->header;
    if (attr) *attr = found;
    if (isget) *isget = get;
    if (!a) return nullptr;
    if (a->flags & (get ? ATTR_NOGET : ATTR_NOSET)) return nullptr;
    return accessor(a, get);
}

KEL_API long object_attr_usercanset(void *x, symbol *name)
{
    attr_record *a = attr_cast(attr_lookup(static_cast<object *>(x), name));
    return a && !(a->flags & ATTR_NOUSERSET);
}

KEL_API long object_attr_usercanget(void *x, symbol *name)
{
    attr_record *a = attr_cast(attr_lookup(static_cast<object *>(x), name));
    return a && !(a->flags & ATTR_NOUSERGET);
}

// --- values ---

KEL_API long object_attr_getvalueof(void *x, symbol *name, long *ac, atom **av)
{
    if (!x || !name || !ac || !av) return ERR_INVALID_PTR;
    attr_target t = find_target(static_cast<object *>(x), name);
    attr_record *a = attr_cast(t.attr);
    if (!a || (a->flags & ATTR_NOGET)) return ERR_GENERIC;
    return call_attr_get(accessor(a, true), t.owner, t.attr, ac, av);
}

KEL_API long object_attr_setvalueof(void *x, symbol *name, long ac, atom *av)
{
    if (!x || !name) return ERR_INVALID_PTR;
    attr_target t = find_target(static_cast<object *>(x), name);
    attr_record *a = attr_cast(t.attr);
    if (!a || (a->flags & ATTR_NOSET)) return ERR_GENERIC;
    if (ac < 0 || !av) ac = 0;
    long err = call_attr_set(accessor(a, false), t.owner, t.attr, ac, av);
    // Dependents of the object addressed (the box, when a box redirected)
    // hear of it.
    object_notify(x, s_attr_modified, t.attr);
    return err;
}

KEL_API long object_attr_getlong(void *x, symbol *name)
{
    atom a;
    return get_first(x, name, &a) == ERR_NONE ? atom_getlong(&a) : 0;
}

KEL_API double object_attr_getfloat(void *x, symbol *name)
{
    atom a;
    return get_first(x, name, &a) == ERR_NONE ? atom_getfloat(&a) : 0.0;
}

KEL_API symbol *object_attr_getsym(void *x, symbol *name)
{
    atom a;
    return get_first(x, name, &a) == ERR_NONE ? atom_getsym(&a) : nullptr;
}

KEL_API char object_attr_getchar(void *x, symbol *name)
{
    atom a;
    return get_first(x, name, &a) == ERR_NONE ? static_cast<char>(atom_getlong(&a)) : 0;
}

KEL_API void *object_attr_getobj(void *x, symbol *name)
{
    atom a;
    return get_first(x, name, &a) == ERR_NONE ? atom_getobj(&a) : nullptr;
}

KEL_API long object_attr_setlong(void *x, symbol *name, long value)
{
    atom a;
    atom_setlong(&a, value);
    return object_attr_setvalueof(x, name, 1, &a);
}

KEL_API long object_attr_setfloat(void *x, symbol *name, double value)
{
    atom a;
    atom_setfloat(&a, value);
    return object_attr_setvalueof(x, name, 1, &a);
}

KEL_API long object_attr_setsym(void *x, symbol *name, symbol *value)
{
    atom a;
    atom_setsym(&a, value ? value : sym_empty);
    return object_attr_setvalueof(x, name, 1, &a);
}

KEL_API long object_attr_setchar(void *x, symbol *name, char value)
{
    atom a;
    atom_setlong(&a, static_cast<unsigned char>(value));
    return object_attr_setvalueof(x, name, 1, &a);
}

KEL_API long object_attr_setobj(void *x, symbol *name, void *value)
{
    atom a;
    atom_setobj(&a, value);
    return object_attr_setvalueof(x, name, 1, &a);
}

KEL_API long object_attr_getlong_array(void *x, symbol *name, long max, long *vals)
{
    return get_array(x, name, max, vals, [](const atom *a) -> long { return atom_getlong(a); });
}

KEL_API long object_attr_getchar_array(void *x, symbol *name, long max, unsigned char *vals)
{
    return get_array(x, name, max, vals, [](const atom *a) { return static_cast<unsigned char>(atom_getlong(a)); });
}

KEL_API long object_attr_getfloat_array(void *x, symbol *name, long max, float *vals)
{
    return get_array(x, name, max, vals, [](const atom *a) { return atom_getfloat(a); });
}

KEL_API long object_attr_getdouble_array(void *x, symbol *name, long max, double *vals)
{
    return get_array(x, name, max, vals, [](const atom *a) -> double { return atom_getfloat(a); });
}

KEL_API long object_attr_getsym_array(void *x, symbol *name, long max, symbol **vals)
{
    return get_array(x, name, max, vals, [](const atom *a) { return atom_getsym(a); });
}

KEL_API long object_attr_setlong_array(void *x, symbol *name, long count, const long *vals)
{
    return set_array(x, name, count, vals, [](atom *a, long v) { atom_setlong(a, v); });
}

KEL_API long object_attr_setchar_array(void *x, symbol *name, long count, const unsigned char *vals)
{
    return set_array(x, name, count, vals, [](atom *a, unsigned char v) { atom_setlong(a, v); });
}

KEL_API long object_attr_setfloat_array(void *x, symbol *name, long count, const float *vals)
{
    return set_array(x, name, count, vals, [](atom *a, float v) { atom_setfloat(a, v); });
}

KEL_API long object_attr_setdouble_array(void *x, symbol *name, long count, const double *vals)
{
    return set_array(x, name, count, vals, [](atom *a, double v) { atom_setfloat(a, v); });
}

KEL_API long object_attr_setsym_array(void *x, symbol *name, long count, symbol *const *vals)
{
    return set_array(x, name, count, vals, [](atom *a, symbol *v) { atom_setsym(a, v ? v : sym_empty); });
}

KEL_API long object_attr_getnames(void *x, long *count, symbol ***names)
{
    if (!x || !count || !names) return ERR_INVALID_PTR;
    *count = 0;
    *names = nullptr;
    auto *o = static_cast<object *>(x);
    if (!object_valid(o)) return ERR_INVALID_PTR;
    kel_class *c = header_class(o);
    if (c->flags & CLASS_FLAG_NOATTRIBUTES) return ERR_NONE;
    kel_method fn = object_getmethod(o, s_attr_getnames);
    if (method_present(fn)) return call_attr_getnames(fn, o, count, names);

    hashtab *tables[2] = {c->attributes, own_attributes(o)};
    long sizes[2] = {hashtab_getsize(tables[0]), hashtab_getsize(tables[1])};
    long total = sizes[0] + sizes[1];
    if (total == 0) return ERR_NONE;
    auto *all = static_cast<symbol **>(getbytes(total * static_cast<long>(sizeof(symbol *))));
    if (!all) return atoms_unallocated;
    long filled = 0;
    for (int i = 0; i < 2; i++) {
        if (!sizes[i]) continue;
        long n = sizes[i];
        symbol **keys = all + filled;
        hashtab_getkeys(tables[i], &n, &keys);
        sort_names(all + filled, n);
        filled += n;
    }
    *count = filled;
    *names = all;
    return ERR_NONE;
}

KEL_API long object_attr_getdump(void *x, symbol *s, long, atom *)
{
    if (!x || !s) return ERR_INVALID_PTR;
    auto *o = static_cast<object *>(x);
    symbol *name = name_after_get(s);
    if (!name || !attr_lookup(o, name)) name = s;
    long ac = 0;
    atom *av = nullptr;
    long err = object_attr_getvalueof(o, name, &ac, &av);
    if (err != ERR_NONE) return err;
    kel_method fn = object_getmethod(o, s_dumpout);
    if (method_present(fn))
        call_gimme(fn, o, name, ac, av);
    else
        object_obex_dumpout(o, name, ac, av);
    if (av) freebytes(av, ac * static_cast<long>(sizeof(atom)));
    return ERR_NONE;
}

namespace {

bool is_attribute_argument(const atom &a)
{
    return a.type == ATYPE_SYM && a.word.w_sym && a.word.w_sym->name[0] == '@';
}

}  // namespace

KEL_API long attr_args_offset(long argc, atom *argv)
{
    if (!argv || argc <= 0) return argc > 0 ? argc : 0;
    for (long i = 0; i < argc; i++)
        if (is_attribute_argument(argv[i])) return i;
    return argc;
}

KEL_API void attr_args_process(void *x, long argc, atom *argv)
{
    auto *o = static_cast<object *>(x);
    if (!object_valid(o) || !argv) return;
    for (long i = attr_args_offset(argc, argv); i < argc;) {
        symbol *name = gensym(argv[i].word.w_sym->name + 1);
        long next = i + 1;
        while (next < argc && !is_attribute_argument(argv[next])) next++;
        if (object_attr_usercanset(o, name))
            typedmess(o, name, next - i - 1, argv + i + 1);
        else
            error("%s: \"%s\" is not a valid attribute argument", header_class(o)->name->name, name->name);
        i = next;
    }
}
