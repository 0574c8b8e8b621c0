// opened: documents of types the application does not open itself, offered
// to the patch. Every instance is on one list while it lives; each keeps the
// last document it accepted and sends it at low priority through its queue
// element.
#include "objects/opened.h"

#include <cstring>
#include <new>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "objects/objects.h"

namespace kel {
namespace {

// The key of an instance that accepts any type.
constexpr long any_type = 0;

struct opened_object {
    object header;
    outlet *name_out, *path_out, *type_out;  // left to right
    long type;                               // the accepted file type, or any_type
    symbol *patch_file;                      // opened with each document, or null
    symbol *last_name, *last_path, *last_type;
    qelem *output;
    opened_object *next;
};

method_entry *g_opened_class = nullptr;
opened_object *g_instances = nullptr;  // newest first

symbol *wildcard() { return gensym("----"); }

// A type as its four characters; a file of no known type as the wildcard.
symbol *type_symbol(long type)
{
    if (type == 0) return wildcard();
    char text[5] = {static_cast<char>((type >> 24) & 0xFF), static_cast<char>((type >> 16) & 0xFF),
                    static_cast<char>((type >> 8) & 0xFF), static_cast<char>(type & 0xFF), '\0'};
    return gensym(text);
}

// The first four characters of the argument, padded with blanks.
long type_key(symbol *arg)
{
    if (!arg || arg == sym_empty || arg == wildcard()) return any_type;
    char code[4] = {' ', ' ', ' ', ' '};
    for (int k = 0; k < 4 && arg->name[k]; k++) code[k] = arg->name[k];
    return KEL_FOURCC(code[0], code[1], code[2], code[3]);
}

void send_symbol(outlet *o, symbol *s)
{
    atom a;
    atom_setsym(&a, s);
    outlet_anything(o, sym_symbol, 1, &a);
}

// Right to left: type, path, name.
void *opened_bang(opened_object *x)
{
    if (!x->last_name) return nullptr;
    send_symbol(x->type_out, x->last_type);
    send_symbol(x->path_out, x->last_path);
    send_symbol(x->name_out, x->last_name);
    return nullptr;
}

void opened_output(opened_object *x) { opened_bang(x); }

void opened_open_patch(opened_object *x)
{
    char name[MAX_FILENAME_CHARS];
    std::strncpy(name, x->patch_file->name, sizeof name - 1);
    name[sizeof name - 1] = '\0';
    static const long types[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    short path = 0;
    long type = 0;
    void *loaded = nullptr;
    if (locatefile_extended(name, &path, &type, types, 2) == 0) loaded = fileload(name, path);
    if (!loaded) {
        error("opened: can't open %s", x->patch_file->name);
        return;
    }
    typedmess(loaded, gensym("front"), 0, nullptr);
}

void opened_free(opened_object *x)
{
    for (opened_object **p = &g_instances; *p; p = &(*p)->next) {
        if (*p == x) {
            *p = x->next;
            break;
        }
    }
    if (x->output) qelem_free(x->output);
}

void *opened_new(symbol *type, symbol *patch_file)
{
    bool ready = define_builder_class(&g_opened_class, "opened", as_method(&opened_new), as_method(&opened_free),
                                      sizeof(opened_object), {ATYPE_DEFSYM, ATYPE_DEFSYM},
                                      [] { addbang(as_method(&opened_bang)); });
    if (!ready) return nullptr;
    auto *x = static_cast<opened_object *>(newobject(g_opened_class));
    if (!x) return nullptr;
    x->output = qelem_new(x, as_method(&opened_output));
    if (!x->output) {
        freeobject(&x->header);
        return nullptr;
    }
    x->type = type_key(type);
    x->patch_file = patch_file && patch_file != sym_empty ? patch_file : nullptr;
    x->last_name = x->last_path = x->last_type = nullptr;
    x->type_out = outlet_new(x, nullptr);
    x->path_out = outlet_new(x, nullptr);
    x->name_out = outlet_new(x, nullptr);
    x->next = g_instances;
    g_instances = x;
    return x;
}

}  // namespace

bool opened_offer(const char *file, short path, long type)
{
    char name[MAX_PATH_CHARS];
    char native[MAX_PATH_CHARS];
    if (path_topotentialname(path, file, name) != 0 || path_translate(path, file, native) != 0) return false;
    bool matched = false;
    // Opening an instance's patch may make or free instances: the matching
    // ones are gathered first, and each is looked for again before it takes
    // the document.
    std::vector<opened_object *> pending;
    try {
        for (opened_object *x = g_instances; x; x = x->next)
            if (x->type == any_type || x->type == type) pending.push_back(x);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);  // the instances gathered so far take it
    }
    const size_t n = pending.size();
    for (size_t k = 0; k < n; k++) {
        opened_object *x = pending[k];
        bool alive = false;
        for (opened_object *y = g_instances; y && !alive; y = y->next) alive = y == x;
        if (!alive) continue;
        matched = true;
        x->last_name = gensym(name);
        x->last_path = gensym(native);
        x->last_type = type_symbol(type);
        if (x->patch_file) opened_open_patch(x);
        qelem_set(x->output);
    }
    return matched;
}

bool opened_init() { return creation_provide("opened", as_method(&opened_new)); }

}  // namespace kel
