#include "kernel/core/classes.h"

#include <cstdarg>
#include <cstring>
#include <new>
#include <vector>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/hashtab.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"

namespace kel {

std::atomic<uint32_t> g_method_tables_generation{1};

namespace {

builtin_constructor_lookup g_builtin_constructor = nullptr;  // installed at start-up

constexpr int max_method_types = 7;
constexpr int max_constructor_types = 6;
constexpr long builder_growth = 10;

hashtab *g_namespaces = nullptr;

// Reads type codes from a va_list up to the terminating 0, keeping at most
// limit of them; types is cleared first.
void read_types(char types[8], int limit, va_list args)
{
    std::memset(types, 0, 8);
    for (int i = 0;; i++) {
        int code = va_arg(args, int);
        if (code == 0) break;
        if (i < limit) types[i] = static_cast<char>(code);
    }
}

void set_entry(method_entry &e, symbol *selector, kel_method m, const char types[8])
{
    e.selector = selector;
    e.method = m;
    std::memcpy(e.types, types, 8);
}

void *answer_classname(object *x);

// The namespace table for name, created on first mention when create is set.
hashtab *namespace_table(symbol *name_space, bool create)
{
    if (!g_namespaces) return nullptr;
    if (!name_space) name_space = sym_nobox;
    void *table = nullptr;
    if (hashtab_lookup(g_namespaces, name_space, &table) == 0) return static_cast<hashtab *>(table);
    if (!create) return nullptr;
    hashtab *made = hashtab_new(0);
    if (!made) return nullptr;
    hashtab_store_safe(g_namespaces, name_space, made);
    return made;
}

// Stores c in a namespace under name unless a class of that name is there.
// True when stored.
bool namespace_add(symbol *name_space, symbol *name, kel_class *c)
{
    hashtab *table = namespace_table(name_space, true);
    if (!table) return false;
    void *existing = nullptr;
    if (hashtab_lookup(table, name, &existing) == 0) return false;
    hashtab_readonly(table, 0);
    hashtab_store_safe(table, name, c);
    // Registration happens on the main thread only; readers need no lock.
    hashtab_readonly(table, 1);
    return true;
}

// A class under construction by the older API or by an external's main.
struct class_builder {
    kel_class image{};
    method_entry *methods = nullptr;  // growable, builder_growth entries at a time
    long method_count = 0;
    long method_capacity = 0;
    bool has_newmess = false;  // the loader or set-up provided a constructor entry
    std::vector<symbol *> aliases;
    short pathid = 0;
    method_entry **class_variable = nullptr;  // set by setup
    kel_class *handed_over = nullptr;         // set by class_register during a load
    class_builder *outer = nullptr;           // the builder begun before this one
    long unmade_above = 0;                    // begins since this one that found no memory
};

// The builders begun, innermost first. A begin that finds no memory for its
// builder is counted on the one below it (or at the bottom), so that its
// finish ends nothing else; while it is the innermost, there is no current
// builder.
class_builder *g_builders = nullptr;
long g_unmade_at_bottom = 0;

long &unmade_on_top() { return g_builders ? g_builders->unmade_above : g_unmade_at_bottom; }

class_builder *current_builder() { return unmade_on_top() ? nullptr : g_builders; }

bool builder_add(class_builder &b, symbol *selector, kel_method m, const char types[8])
{
    if (b.method_count == b.method_capacity) {
        long capacity = b.method_capacity + builder_growth;
        auto *grown = static_cast<method_entry *>(
            sysmem_resizeptr(b.methods, capacity * static_cast<long>(sizeof(method_entry))));
        if (!grown) return false;
        b.methods = grown;
        b.method_capacity = capacity;
    }
    set_entry(b.methods[b.method_count++], selector, m, types);
    return true;
}

kel_class *alloc_class_record()
{
    auto *c = static_cast<kel_class *>(getbytes(sizeof(kel_class)));
    if (!c) {
        c = static_cast<kel_class *>(sysmem_newptr(sizeof(kel_class)));
        memory_set_low(true);
    }
    return c;
}

void register_finished(kel_class *c, const std::vector<symbol *> &aliases)
{
    symbol *name_space = (c->flags & CLASS_FLAG_BOX) ? sym_box : sym_nobox;
    namespace_add(name_space, c->name, c);
    for (symbol *name : aliases) {
        kel_class *copy = alloc_class_record();
        if (!copy) continue;
        *copy = *c;
        copy->name = name;
        if (c->newmess == &c->newmess_storage) copy->newmess = &copy->newmess_storage;
        namespace_add(name_space, name, copy);
    }
}

// The base of a file name: without folders and without its last suffix.
symbol *file_base_name(symbol *filename)
{
    const char *name = filename->name;
    if (const char *slash = std::strrchr(name, '/')) name = slash + 1;
    char base[1024];
    std::strncpy(base, name, sizeof base - 1);
    base[sizeof base - 1] = '\0';
    if (char *dot = std::strrchr(base, '.'); dot && dot != base) *dot = '\0';
    return gensym(base);
}

method_entry g_free_entry;

}  // namespace

uint32_t table_mark(const method_entry *messlist)
{
    uint32_t mark;
    std::memcpy(&mark, messlist[-1].types, sizeof mark);
    return mark;
}

bool class_namespaces_init()
{
    if (!g_namespaces) g_namespaces = hashtab_new(0);
    if (!g_namespaces) {
        post("couldn't make class namespace");
        return false;
    }
    return true;
}

hashtab *class_namespace(symbol *name_space) { return namespace_table(name_space, false); }

method_entry *class_free_entry()
{
    static const char none[8] = {ATYPE_CANT};
    if (!g_free_entry.selector) set_entry(g_free_entry, sym_free, reinterpret_cast<kel_method>(&freeobject), none);
    return &g_free_entry;
}

void class_builder_begin(symbol *name, symbol *filename, short pathid)
{
    auto *b = new (std::nothrow) class_builder;
    if (!b) {
        memory_set_low(true);
        unmade_on_top()++;
        return;
    }
    b->image.name = name;
    b->image.filename = filename ? filename : name;
    b->pathid = pathid;
    static const char none[8] = {};
    set_entry(b->image.newmess_storage, name, nullptr, none);
    b->has_newmess = name != nullptr;
    b->outer = g_builders;
    g_builders = b;
}

bool class_builder_active() { return g_builders || g_unmade_at_bottom; }

void class_builder_set_constructor_lookup(builtin_constructor_lookup lookup) { g_builtin_constructor = lookup; }

kel_class *class_builder_finish()
{
    if (long &unmade = unmade_on_top(); unmade > 0) {
        unmade--;
        return nullptr;
    }
    class_builder *b = g_builders;
    if (!b) return nullptr;
    g_builders = b->outer;
    kel_class *c = nullptr;

    if (b->handed_over) {
        // A class made with class_new and handed over by class_register keeps
        // its own table with its mark.
        c = b->handed_over;
    } else if (b->class_variable) {
        c = alloc_class_record();
        method_entry *table = c ? static_cast<method_entry *>(sysmem_newptrclear(
                                      (b->method_count + 2) * static_cast<long>(sizeof(method_entry))))
                                : nullptr;
        if (!table) {
            if (c) freebytes(c, sizeof(kel_class));
            c = nullptr;
        } else {
            *c = b->image;
            c->newmess = &c->newmess_storage;
            table[0].selector = reinterpret_cast<symbol *>(c);
            if (b->method_count)
                std::memcpy(table + 1, b->methods, static_cast<size_t>(b->method_count) * sizeof(method_entry));
            c->messlist = table;
            c->messcount = static_cast<int32_t>(b->method_count + 2);
            c->messcapacity = c->messcount;
            c->retired = nullptr;
            *b->class_variable = table;
        }
    }

    if (c) {
        if (b->pathid) {
            class_extra_store(c, gensym("filevolume"), reinterpret_cast<void *>(static_cast<intptr_t>(b->pathid)));
            c->flags |= CLASS_FLAG_BOX;
            symbol *base = file_base_name(c->filename);
            try {
                if (base != c->name) b->aliases.push_back(base);
            } catch (const std::bad_alloc &) {
                memory_set_low(true);  // the class goes by its own name only
            }
        } else if (method_entry *e = g_builtin_constructor ? g_builtin_constructor(c->name) : nullptr) {
            // A built-in class named in the creation object's table lives in
            // boxes and is made by that constructor.
            c->flags |= CLASS_FLAG_BOX;
            c->newmess_storage = *e;
            c->newmess = &c->newmess_storage;
        }
        register_finished(c, b->aliases);
    }
    sysmem_freeptr(b->methods);
    delete b;
    return c;
}

namespace {

void *answer_classname(object *x) { return object_classname(x); }

}  // namespace
}  // namespace kel

using namespace kel;

KEL_API kel_class *class_new(const char *name, kel_method mnew, kel_method mfree, long size, kel_method mmenu, ...)
{
    kel_class *c = alloc_class_record();
    if (!c) return nullptr;
    std::memset(c, 0, sizeof *c);
    c->name = c->filename = gensym(name);
    c->free_method = mfree;
    c->size = size;
    c->menu_method = mmenu;
    va_list args;
    va_start(args, mmenu);
    char types[8];
    read_types(types, max_constructor_types, args);
    va_end(args);
    set_entry(c->newmess_storage, c->name, mnew, types);
    c->newmess = &c->newmess_storage;

    auto *table = static_cast<method_entry *>(sysmem_newptrclear(3 * sizeof(method_entry)));
    if (!table) {
        post("class_new: could not allocate messlist handle");
        freebytes(c, sizeof(kel_class));
        return nullptr;
    }
    table[0].selector = reinterpret_cast<symbol *>(c);
    std::memcpy(table[0].types, &obex_mark, sizeof obex_mark);
    static const char cant[8] = {ATYPE_CANT};
    set_entry(table[1], gensym("classname"), reinterpret_cast<kel_method>(&answer_classname), cant);
    c->messlist = table;
    c->messcount = 3;
    c->messcapacity = 3;
    return c;
}

KEL_API long class_addmethod(kel_class *c, kel_method m, const char *name, ...)
{
    if (!c) return ERR_INVALID_PTR;
    va_list args;
    va_start(args, name);
    char types[8];
    read_types(types, max_method_types, args);
    va_end(args);
    symbol *selector = gensym(name);
    method_entry *table = c->messlist;
    if (c->messcount == c->messcapacity) {
        // Full: a table twice the size. The old one stays for whoever points
        // into it (instances, a class variable) until the class is freed.
        const int32_t capacity = c->messcapacity < 4 ? 8 : c->messcapacity * 2;
        table = static_cast<method_entry *>(sysmem_newptrclear(capacity * static_cast<long>(sizeof(method_entry))));
        if (!table) return ERR_GENERIC;
        std::memcpy(table, c->messlist, static_cast<size_t>(c->messcount) * sizeof(method_entry));
        c->messlist[0].method = reinterpret_cast<kel_method>(c->retired);
        c->retired = c->messlist;
        table[0].method = nullptr;
        c->messcapacity = capacity;
    }
    // The new entry takes the terminator's place; a new terminator follows.
    // A scan running meanwhile stops at the new terminator or at the old one.
    std::memset(&table[c->messcount], 0, sizeof(method_entry));
    table[c->messcount - 1].method = m;
    std::memcpy(table[c->messcount - 1].types, types, 8);
    std::atomic_ref<symbol *>(table[c->messcount - 1].selector).store(selector, std::memory_order_release);
    c->messlist = table;
    c->messcount++;
    method_tables_changed();
    return ERR_NONE;
}

KEL_API long class_register(symbol *name_space, kel_class *c)
{
    if (!c) return ERR_INVALID_PTR;
    if (!g_namespaces) return ERR_GENERIC;
    if (!name_space) name_space = sym_nobox;
    if (c->attributes) hashtab_readonly(c->attributes, 1);
    if (c->extra) hashtab_readonly(c->extra, 1);
    if (developer()) {
        post("registering class %s in %s", c->name->name, name_space->name);
        if (c->attributes) hashtab_print(c->attributes);
    }
    if ((c->flags & CLASS_FLAG_BOX) || name_space == sym_box) {
        c->flags |= CLASS_FLAG_BOX;
        if (class_builder *b = current_builder())
            b->handed_over = c;  // registered when the load finishes
        else
            namespace_add(sym_box, c->name, c);
        return ERR_NONE;
    }
    return namespace_add(name_space, c->name, c) ? ERR_NONE : ERR_DUPLICATE;
}

KEL_API kel_class *class_findbyname(symbol *name_space, symbol *name)
{
    hashtab *table = namespace_table(name_space, false);
    void *c = nullptr;
    if (!table || !name || hashtab_lookup(table, name, &c) != 0) return nullptr;
    return static_cast<kel_class *>(c);
}

KEL_API symbol *class_nameget(kel_class *c) { return c ? c->name : nullptr; }

KEL_API long class_free(kel_class *c)
{
    if (!c) return ERR_INVALID_PTR;
    method_tables_changed();
    sysmem_freeptr(c->messlist);
    for (method_entry *t = c->retired; t;) {
        auto *next = reinterpret_cast<method_entry *>(t[0].method);
        sysmem_freeptr(t);
        t = next;
    }
    if (c->attributes) freeobject(c->attributes);
    if (c->extra) freeobject(c->extra);
    freebytes(c, sizeof(kel_class));
    return ERR_NONE;
}

KEL_API long class_obexoffset_get(kel_class *c) { return c ? c->obexoffset : 0; }

KEL_API void class_obexoffset_set(kel_class *c, long offset)
{
    if (c) c->obexoffset = offset;
}

KEL_API long class_extra_store(kel_class *c, symbol *key, void *value)
{
    if (!c || !key) return ERR_INVALID_PTR;
    if (!c->extra) c->extra = hashtab_new(0);
    if (!c->extra) return ERR_GENERIC;
    hashtab_store_safe(c->extra, key, value);
    return ERR_NONE;
}

KEL_API void *class_extra_lookup(kel_class *c, symbol *key)
{
    void *value = nullptr;
    if (c && c->extra && key) hashtab_lookup(c->extra, key, &value);
    return value;
}

namespace {

// The sub-table key of extra, created on first use.
hashtab *extra_subtable(kel_class *c, const char *key)
{
    symbol *s = gensym(key);
    auto *table = static_cast<hashtab *>(class_extra_lookup(c, s));
    if (!table) {
        table = hashtab_new(0);
        if (table && class_extra_store(c, s, table) != ERR_NONE) {
            freeobject(table);
            table = nullptr;
        }
    }
    return table;
}

// The value under key in the class's sub-table named table, or null.
void *extra_subtable_lookup(kel_class *c, symbol *table, symbol *key)
{
    auto *entries = static_cast<hashtab *>(class_extra_lookup(c, table));
    void *value = nullptr;
    if (entries) hashtab_lookup(entries, key, &value);
    return value;
}

}  // namespace

KEL_API long class_addtypedwrapper(kel_class *c, kel_method m, const char *name, ...)
{
    if (!c) return ERR_INVALID_PTR;
    va_list args;
    va_start(args, name);
    char types[8];
    read_types(types, max_method_types, args);
    va_end(args);
    hashtab *wrappers = extra_subtable(c, "typedwrapper");
    if (!wrappers) return ERR_GENERIC;
    auto *e = static_cast<method_entry *>(getbytes(sizeof(method_entry)));
    if (!e) return ERR_GENERIC;
    set_entry(*e, gensym(name), m, types);
    void *old = nullptr;
    if (hashtab_lookup(wrappers, e->selector, &old) == 0) freebytes(old, sizeof(method_entry));
    hashtab_store_safe(wrappers, e->selector, e);
    method_tables_changed();  // a lookup may have found the one replaced, or none
    return ERR_NONE;
}

KEL_API method_entry *class_typedwrapper_get(kel_class *c, symbol *selector)
{
    static symbol *const s_typedwrapper = gensym("typedwrapper");
    return static_cast<method_entry *>(extra_subtable_lookup(c, s_typedwrapper, selector));
}

KEL_API long class_addadornment(kel_class *c, object *adornment)
{
    if (!c || !adornment) return ERR_INVALID_PTR;
    hashtab *adornments = extra_subtable(c, "adornments");
    if (!adornments) return ERR_GENERIC;
    hashtab_store(adornments, object_classname(adornment), adornment);
    return ERR_NONE;
}

KEL_API void *class_adornment_get(kel_class *c, symbol *classname)
{
    static symbol *const s_adornments = gensym("adornments");
    return extra_subtable_lookup(c, s_adornments, classname);
}

KEL_API method_entry *class_mess(kel_class *c, symbol *selector)
{
    static method_entry nonmethod = {nullptr, reinterpret_cast<kel_method>(&method_false), {}};
    if (!c || !c->messlist) return &nonmethod;
    for (method_entry *e = c->messlist + 1; e->selector; e++)
        if (e->selector == selector) return e;
    if (selector == sym_free) return class_free_entry();
    return nullptr;
}

KEL_API kel_method class_method(kel_class *c, symbol *selector)
{
    if (c && c->messlist)
        for (method_entry *e = c->messlist + 1; e->selector; e++)
            if (e->selector == selector) return e->method;
    if (selector == sym_free) return reinterpret_cast<kel_method>(&object_free);
    return reinterpret_cast<kel_method>(&method_false);
}

// --- the older API ---

KEL_API void setup(method_entry **ident, kel_method mnew, kel_method mfree, long size, kel_method mmenu, ...)
{
    class_builder *b = current_builder();
    if (!b || !b->has_newmess) {
        check_failed("extern class install: no newmess defined");
        return;
    }
    va_list args;
    va_start(args, mmenu);
    char types[8];
    read_types(types, max_constructor_types, args);
    va_end(args);
    method_entry &ctor = b->image.newmess_storage;
    ctor.method = mnew;
    std::memcpy(ctor.types, types, 8);
    b->image.free_method = mfree;
    b->image.size = size;
    b->image.flags = CLASS_FLAG_BOX | CLASS_FLAG_NOATTRIBUTES;
    b->image.menu_method = mmenu;
    b->class_variable = ident;
}

KEL_API void addmess(kel_method m, const char *name, ...)
{
    class_builder *b = current_builder();
    va_list args;
    va_start(args, name);
    char types[8];
    read_types(types, max_method_types, args);
    va_end(args);
    if (b) builder_add(*b, gensym(name), m, types);
}

KEL_API void addbang(kel_method m) { addmess(m, "bang", 0); }

KEL_API void addint(kel_method m) { addmess(m, "int", ATYPE_LONG, 0); }

KEL_API void addfloat(kel_method m) { addmess(m, "float", ATYPE_FLOAT, 0); }

KEL_API void addinx(kel_method m, long n)
{
    if (n < 1 || n > 9) {
        error("inlet method out of range");
        n = 1;
    }
    char name[4] = {'i', 'n', static_cast<char>('0' + n), '\0'};
    addmess(m, name, ATYPE_LONG, 0);
}

KEL_API void addftx(kel_method m, long n)
{
    if (n < 1 || n > 9) {
        error("inlet method out of range");
        n = 1;
    }
    char name[4] = {'f', 't', static_cast<char>('0' + n), '\0'};
    addmess(m, name, ATYPE_FLOAT, 0);
}

KEL_API void alias(const char *name)
{
    if (class_builder *b = current_builder()) guarded("alias", [&] { b->aliases.push_back(gensym(name)); });
}

KEL_API void class_setname(const char *name, const char *filename)
{
    class_builder *b = current_builder();
    if (!b) return;
    if (name) b->image.name = gensym(name);
    if (filename) b->image.filename = gensym(filename);
}

KEL_API void class_noinlet(method_entry *ident)
{
    if (ident) reinterpret_cast<kel_class *>(ident->selector)->noinlet = 1;
}
