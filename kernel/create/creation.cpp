#include "kernel/create/creation.h"

#include <cctype>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/creation.h"
#include "kel/hashtab.h"
#include "kel/memory.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kel/words.h"
#include "kernel/core/binding_scope.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/dispatch.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/loader.h"

namespace kel {
namespace {

constexpr long file_type(char a, char b, char c, char d)
{
    return static_cast<long>(static_cast<unsigned char>(a)) << 24 |
           static_cast<long>(static_cast<unsigned char>(b)) << 16 |
           static_cast<long>(static_cast<unsigned char>(c)) << 8 | static_cast<long>(static_cast<unsigned char>(d));
}

struct stored_constructor {
    const char *name;
    const char *codes;
    kel_method constructor = nullptr;  // null until the class module provides it
};

stored_constructor g_table[] = {
#include "kernel/create/creation_table.inc"
};
constexpr int table_size = sizeof(g_table) / sizeof(g_table[0]);

object *g_creation = nullptr;
kel_class *g_creation_class = nullptr;
abstraction_loader g_abstraction_loader = nullptr;

struct name_pair {
    symbol *name;
    symbol *file;
};
std::vector<name_pair> g_name_map;

// The one-shot location preset of loader_setpath.
long g_preset_type = 0;
short g_preset_path = 0;

void codes_to_types(const char *codes, char types[8])
{
    std::memset(types, 0, 8);
    for (int i = 0; codes[i] && i < 7; i++) {
        switch (codes[i]) {
        case 'G':
            types[i] = ATYPE_GIMME;
            break;
        case 'L':
            types[i] = ATYPE_LONG;
            break;
        case 'l':
            types[i] = ATYPE_DEFLONG;
            break;
        case 'f':
            types[i] = ATYPE_DEFFLOAT;
            break;
        case 'S':
            types[i] = ATYPE_SYM;
            break;
        case 's':
            types[i] = ATYPE_DEFSYM;
            break;
        default:
            break;
        }
    }
}

// Rebuilds the method table of `#N` from the provided constructors, in the
// stored order. The table's address is in the creation object's header.
bool rebuild_table()
{
    if (!g_creation_class) return false;
    int count = 0;
    for (const auto &e : g_table)
        if (e.constructor) count++;
    auto *table =
        static_cast<method_entry *>(sysmem_newptrclear((count + 2) * static_cast<long>(sizeof(method_entry))));
    if (!table) return false;
    table[0].selector = reinterpret_cast<symbol *>(g_creation_class);
    int k = 1;
    for (const auto &e : g_table) {
        if (!e.constructor) continue;
        table[k].selector = gensym(e.name);
        table[k].method = e.constructor;
        codes_to_types(e.codes, table[k].types);
        k++;
    }
    sysmem_freeptr(g_creation_class->messlist);
    g_creation_class->messlist = table;
    g_creation_class->messcount = count + 2;
    g_creation_class->messcapacity = count + 2;
    if (g_creation) g_creation->messlist = table + 1;
    method_tables_changed();
    return true;
}

bool same_name_ignoring_case(const char *a, const char *b)
{
    for (; *a && *b; a++, b++)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

struct case_search {
    const char *name;
    kel_class *found;
};

void match_ignoring_case(hashtab_entry *e, void *arg)
{
    auto *search = static_cast<case_search *>(arg);
    auto *c = static_cast<kel_class *>(hashtab_entry_value(e));
    if (!search->found && c && same_name_ignoring_case(hashtab_entry_key(e)->name, search->name)) search->found = c;
}

// The class registered in `box` under name, exactly or else ignoring case.
kel_class *find_box_class(symbol *name)
{
    if (kel_class *c = class_findbyname(sym_box, name)) return c;
    case_search search{name->name, nullptr};
    if (hashtab *box = class_namespace(sym_box)) hashtab_funall(box, match_ignoring_case, &search);
    return search.found;
}

// The built-in class whose name matches ignoring case (the first in the
// stored order), or null. Only the classes boxes name are matched: the
// entries before `loadbang` make the records of patcher files. A name typed
// with capitals makes the built-in object whether or not one has been made
// before, with the table's argument types.
method_entry *builtin_ignoring_case(symbol *typed, symbol **name)
{
    static const int first_class = [] {
        for (int i = 0; i < table_size; i++)
            if (std::strcmp(g_table[i].name, "loadbang") == 0) return i;
        return table_size;
    }();
    for (int i = first_class; i < table_size; i++) {
        if (!g_table[i].constructor || !same_name_ignoring_case(g_table[i].name, typed->name)) continue;
        *name = gensym(g_table[i].name);
        return creation_entry(*name, i);
    }
    return nullptr;
}

symbol *map_name(symbol *name, bool *mapped)
{
    for (const name_pair &p : g_name_map) {
        if (p.name == name) {
            *mapped = true;
            return p.file;
        }
    }
    *mapped = false;
    return name;
}

// Strips the last suffix of a file name.
symbol *base_name_of(symbol *filename)
{
    char base[1024];
    std::strncpy(base, filename->name, sizeof base - 1);
    base[sizeof base - 1] = '\0';
    if (char *dot = std::strrchr(base, '.'); dot && dot != base) *dot = '\0';
    return gensym(base);
}

// Loads an external library found for typed and makes the object.
void *load_and_create(symbol *typed, symbol *filename, short path, long argc, atom *argv)
{
    if (memory_is_low() || !loader_load_external(typed, filename, path)) return nullptr;
    symbol *base = base_name_of(filename);
    kel_class *c = class_findbyname(sym_box, base);
    if (c && c->menu_method && (argc == 0 || argv[0].type != ATYPE_OBJ)) {
        error("%s: try again", base->name);
        return nullptr;
    }
    void *made = nullptr;
    if (kel_class *named = find_box_class(typed)) made = object_new_typed(sym_box, named->name, argc, argv);
    // A library whose file name differs from the typed name gets one more
    // try by its file name (a name used by a patcher of the user's own is
    // left to that patcher once patchers exist).
    if (!made && base != typed)
        if (kel_class *by_file = find_box_class(base)) made = object_new_typed(sym_box, by_file->name, argc, argv);
    return made;
}

// The resolver of unknown names: the first entry of `#N`.
void *resolve_unknown(symbol *typed, long argc, atom *argv)
{
    if (memory_is_low()) return nullptr;
    // Loading an abstraction or a library may rebind #P; the caller finds it
    // as it was.
    binding_scope patcher_binding(gensym("#P"));
    void *made = nullptr;
    bool done = false;

    symbol *builtin = nullptr;
    if (kel_class *c = class_findbyname(sym_box, typed)) {
        made = object_new_typed(sym_box, c->name, argc, argv);
        done = true;
    } else if (method_entry *e = builtin_ignoring_case(typed, &builtin)) {
        made = dispatch_typed(g_creation, e, builtin, argc, argv);
        done = true;
    } else if (kel_class *by_case = find_box_class(typed)) {
        made = object_new_typed(sym_box, by_case->name, argc, argv);
        done = true;
    }
    bool mapped = false;
    symbol *name = done ? typed : map_name(typed, &mapped);
    if (!done && mapped) {
        if (method_entry *e = creation_entry(name, 0); e && e != g_creation->messlist) {
            made = dispatch_typed(g_creation, e, name, argc, argv);
            done = true;
        }
    }
    if (!done) {
        char filename[1024];
        std::strncpy(filename, name->name, sizeof filename - 1);
        filename[sizeof filename - 1] = '\0';
        short path = 0;
        long type = 0;
        bool found;
        if (g_preset_path) {
            path = g_preset_path;
            type = g_preset_type;
            found = true;
        } else {
            static const long types[] = {file_type('i', 'L', 'a', 'F'), file_type('i', 'L', 'a', 'X'),
                                         file_type('?', '?', '?', '?'), file_type('k', 'e', 'l', 'b'),
                                         file_type('T', 'E', 'X', 'T')};
            found = locatefile_extended(filename, &path, &type, types, 5) == 0;
        }
        if (!found) {
            error("%s: No such object", typed->name);
        } else if (type == file_type('k', 'e', 'l', 'b') || type == file_type('T', 'E', 'X', 'T')) {
            if (g_abstraction_loader) made = g_abstraction_loader(typed, path, gensym(filename), type, argc, argv);
            if (!made) error("%s: No such object", typed->name);
        } else {
            kel_class *c = mapped ? nullptr : class_findbyname(sym_box, typed);
            if (c)
                made = object_new_typed(sym_box, c->name, argc, argv);
            else
                made = load_and_create(typed, gensym(filename), path, argc, argv);
        }
    }
    g_preset_path = 0;
    g_preset_type = 0;
    return made;
}

// `vnewex` makes nothing.
void *make_nothing(symbol *, long, atom *) { return nullptr; }

}  // namespace

namespace {

// From position 3 on: past the resolver and the two patcher entries.
method_entry *builtin_constructor(symbol *name) { return creation_entry(name, 3); }

}  // namespace

bool creation_init()
{
    if (g_creation) return true;
    g_table[0].constructor = reinterpret_cast<kel_method>(&resolve_unknown);
    creation_provide("vnewex", reinterpret_cast<kel_method>(&make_nothing));
    // An inlet's or outlet's description, for an editor's assistance: made
    // into nothing here, and kept by the loader with the box that follows.
    creation_provide("comlet", reinterpret_cast<kel_method>(&make_nothing));
    g_creation_class = class_new("#N", nullptr, nullptr, sizeof(object), nullptr, 0);
    if (!g_creation_class) return false;
    g_creation_class->flags |= class_flag_creator | CLASS_FLAG_NOATTRIBUTES;
    if (!rebuild_table()) return false;
    g_creation = static_cast<object *>(object_alloc(g_creation_class));
    if (!g_creation) return false;
    gensym("#N")->thing = g_creation;
    // The symbol is bound to the slot itself, where every constructor's
    // result lands.
    gensym("g_kel_newest")->thing = reinterpret_cast<object *>(&g_newest_object);
    class_builder_set_constructor_lookup(&builtin_constructor);
    return true;
}

object *creation_object() { return g_creation; }

bool creation_provide(const char *name, kel_method constructor)
{
    bool any = false;
    for (auto &e : g_table) {
        if (std::strcmp(e.name, name) == 0) {
            e.constructor = constructor;
            any = true;
        }
    }
    if (any && g_creation_class) rebuild_table();
    return any;
}

method_entry *creation_entry(symbol *name, int from)
{
    if (!g_creation || !name) return nullptr;
    for (int i = from < 0 ? 0 : from; i < table_size; i++) {
        if (!g_table[i].constructor || std::strcmp(g_table[i].name, name->name) != 0) continue;
        for (method_entry *e = g_creation->messlist; e->selector; e++)
            if (e->selector == name) return e;
    }
    return nullptr;
}

void creation_map_name(symbol *name, symbol *file) { g_name_map.push_back({name, file}); }

void creation_set_abstraction_loader(abstraction_loader loader) { g_abstraction_loader = loader; }

}  // namespace kel

using namespace kel;

KEL_API void *newinstance(symbol *name, long argc, atom *argv)
{
    if (!g_creation) return nullptr;
    return typedmess(g_creation, name, argc, argv);
}

KEL_API void *object_new_v(symbol *name_space, symbol *classname, long nwords, ...)
{
    kel_class *c = class_findbyname(name_space, classname);
    if (!c || !c->newmess || !c->newmess->method) return nullptr;
    kel_word w[KEL_WORDS_MAX] = {};
    va_list args;
    va_start(args, nwords);
    for (long i = 0; i < nwords && i < KEL_WORDS_MAX; i++) w[i] = va_arg(args, kel_word);
    va_end(args);
    return call_constructor_words(c->newmess->method, w);
}

KEL_API void *object_new_typed(symbol *name_space, symbol *classname, long argc, atom *argv)
{
    kel_class *c = class_findbyname(name_space, classname);
    if (!c || !c->newmess || !g_creation) return nullptr;
    method_entry *e = c->newmess;
    if (e->types[0] == ATYPE_CANT) e = class_typedwrapper_get(c, sym_new);
    if (!e || !e->method) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    return dispatch_typed(g_creation, e, classname, argc, argv);
}

KEL_API void loader_setpath(long type, short path)
{
    g_preset_type = type;
    g_preset_path = path;
}

KEL_API void finder_addclass(const char *, const char *) {}

KEL_API void force_install(const char *) { check_failed("force_install: no longer supported"); }
