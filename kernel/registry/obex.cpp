// The obex table: a small per-instance hashtab at the class's obex offset,
// holding the instance's own attributes, its `dumpout` outlet and the patcher
// and box it was made in; and the quick reference of an object's attributes
// and messages.
//
// Invariant: the table owns every value stored in it except the entries
// `dumpout`, `#P` and `#B`, which belong to the object's outlets and to its
// patcher.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/registry/attributes.h"

namespace kel {
namespace {

constexpr long quickref_limit = ATTR_MAX_VALUES;
constexpr int quickref_values = 4;

hashtab **obex_slot(void *x)
{
    auto *o = static_cast<object *>(x);
    if (!object_valid(o)) return nullptr;
    kel_class *c = class_of_table(o->messlist);
    if (!c->obexoffset) return nullptr;
    return reinterpret_cast<hashtab **>(reinterpret_cast<char *>(o) + c->obexoffset);
}

bool is_borrowed_key(symbol *key) { return key == gensym("dumpout") || key == gensym("#P") || key == gensym("#B"); }

// The atoms of a quick reference, one symbol a line, up to the limit.
class quickref_lines {
public:
    quickref_lines(atom *av, long limit) : av_(av), limit_(limit) {}
    void add(const std::string &line)
    {
        if (count_ < limit_) atom_setsym(av_ + count_++, gensym(line.c_str()));
    }
    long count() const { return count_; }

private:
    atom *av_;
    long limit_;
    long count_ = 0;
};

bool by_name(const symbol *a, const symbol *b) { return std::strcmp(a->name, b->name) < 0; }

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

const char *type_word(symbol *type)
{
    if (type == gensym("char") || type == gensym("long")) return "int";
    if (type == gensym("float32") || type == gensym("float64")) return "float";
    return type ? type->name : "";
}

// " (val = 1 2 3 4 ...)": up to four values, only the first of a symbol.
std::string value_text(void *x, const attr_record *a)
{
    long ac = 0;
    atom *av = nullptr;
    if (object_attr_getvalueof(x, a->name, &ac, &av) != ERR_NONE) return "";
    bool symbols = a->type == gensym("symbol");
    bool integers = !std::strcmp(type_word(a->type), "int");
    bool floats = !std::strcmp(type_word(a->type), "float");
    long shown = std::min<long>(ac, symbols ? 1 : quickref_values);
    std::string text = " (val =";
    for (long i = 0; i < shown; i++) {
        if (symbols) {
            symbol *s = atom_getsym(av + i);
            text += s == sym_empty ? std::string(" <none>") : format(" %s", s->name);
        } else if (integers) {
            text += format(" %ld", static_cast<long>(atom_getlong(av + i)));
        } else if (floats) {
            text += format(" %.2f", static_cast<double>(atom_getfloat(av + i)));
        } else {
            text += format(" %s", atom_string(av + i));
        }
    }
    text += shown < ac ? " ...)" : ")";
    if (av) freebytes(av, ac * static_cast<long>(sizeof(atom)));
    return text;
}

std::string attribute_line(void *x, const attr_record *a)
{
    std::string line = format("    %s [%s", a->name->name, type_word(a->type));
    line += a->size == 1 ? std::string("]") : format(" array[%ld]]", a->size);
    bool user_get = !(a->flags & ATTR_NOUSERGET);
    bool user_set = !(a->flags & ATTR_NOUSERSET);
    if (user_get) line += value_text(x, a);
    if (user_get && !user_set)
        line += " (get)";
    else if (!user_get && user_set)
        line += " (set)";
    else if (!user_get && !user_set)
        line += " (none)";
    return line;
}

// The argument list of a method entry: "[int, float]".
std::string argument_text(const method_entry &e)
{
    std::string text = "[";
    for (int i = 0; i < 7 && e.types[i]; i++) {
        const char *word = nullptr;
        switch (static_cast<unsigned char>(e.types[i])) {
        case ATYPE_LONG:
            word = "int";
            break;
        case ATYPE_FLOAT:
            word = "float";
            break;
        case ATYPE_SYM:
        case ATYPE_DEFSYM:
            word = "symbol";
            break;
        case ATYPE_OBJ:
            word = "object";
            break;
        case ATYPE_DEFLONG:
            word = "int [0]";
            break;
        case ATYPE_DEFFLOAT:
            word = "float [0.0]";
            break;
        default:
            word = "variable";
            break;
        }
        if (i) text += ", ";
        text += word;
    }
    return text + "]";
}

void add_attributes(void *x, quickref_lines &lines)
{
    long count = 0;
    symbol **names = nullptr;
    if (object_attr_getnames(x, &count, &names) != ERR_NONE || count <= 0 || !names) return;
    std::vector<symbol *> sorted;
    try {
        sorted.assign(names, names + count);
    } catch (const std::bad_alloc &) {
        freebytes(names, count * static_cast<long>(sizeof(symbol *)));
        throw;
    }
    freebytes(names, count * static_cast<long>(sizeof(symbol *)));
    std::sort(sorted.begin(), sorted.end(), by_name);
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<const attr_record *> attrs;
    for (symbol *name : sorted)
        if (const attr_record *a = attr_cast(object_attr_get(x, name))) attrs.push_back(a);
    if (attrs.empty()) return;
    lines.add("");
    lines.add("Attributes:");
    for (const attr_record *a : attrs) lines.add(attribute_line(x, a));
}

void add_messages(void *x, quickref_lines &lines)
{
    kel_class *c = class_of_table(static_cast<object *>(x)->messlist);
    std::vector<const method_entry *> entries;
    symbol *assist = gensym("assist");
    symbol *preset = gensym("preset");
    for (const method_entry *e = c->messlist + 1; e->selector; e++) {
        if (e->types[0] == ATYPE_CANT || e->selector == assist || e->selector == preset) continue;
        // An earlier entry shadows a later one of the same name.
        bool shadowed = std::any_of(entries.begin(), entries.end(),
                                    [e](const method_entry *seen) { return seen->selector == e->selector; });
        if (!shadowed) entries.push_back(e);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const method_entry *a, const method_entry *b) { return by_name(a->selector, b->selector); });
    lines.add("");
    lines.add("Messages:");
    for (const method_entry *e : entries) lines.add(format("    %s ", e->selector->name) + argument_text(*e));
}

}  // namespace
}  // namespace kel

using namespace kel;

KEL_API long object_obex_lookup(void *x, symbol *key, void **out)
{
    if (!x || !out) return ERR_INVALID_PTR;
    *out = nullptr;
    hashtab *table = obex_table(static_cast<object *>(x));
    if (!table) return ERR_GENERIC;
    return hashtab_lookup(table, key, out);
}

KEL_API long object_obex_store(void *x, symbol *key, void *value)
{
    if (!x || !key) return ERR_INVALID_PTR;
    hashtab *table = obex_table(static_cast<object *>(x));
    if (!table) return ERR_GENERIC;
    return is_borrowed_key(key) ? hashtab_store_safe(table, key, value) : hashtab_store(table, key, value);
}

KEL_API long object_obex_set(void *x, hashtab *table)
{
    if (!x) return ERR_INVALID_PTR;
    hashtab **slot = obex_slot(x);
    if (!slot) return ERR_GENERIC;
    *slot = table;
    return ERR_NONE;
}

KEL_API hashtab *object_obex_get(void *x) { return obex_table(static_cast<object *>(x)); }

KEL_API void object_obex_dumpout(void *x, symbol *s, long argc, atom *argv)
{
    void *out = nullptr;
    if (object_obex_lookup(x, gensym("dumpout"), &out) == ERR_NONE && out && object_valid_checked(out))
        outlet_anything(static_cast<outlet *>(out), s, argc, argv);
}

KEL_API void object_obex_free(void *x)
{
    hashtab **slot = obex_slot(x);
    if (!slot || !*slot) return;
    hashtab *table = *slot;
    for (const char *key : {"dumpout", "#P", "#B"}) hashtab_chuckkey(table, gensym(key));
    *slot = nullptr;
    freeobject(table);
}

KEL_API long object_obex_quickref(void *x, long *count, atom *av)
{
    if (!x || !count || !av) return ERR_INVALID_PTR;
    *count = 0;
    if (!object_valid(x)) return ERR_INVALID_PTR;
    quickref_lines lines(av, quickref_limit);
    const long result = guarded("quickref", ERR_GENERIC, [&] {
        add_attributes(x, lines);
        add_messages(x, lines);
        return ERR_NONE;
    });
    *count = lines.count();
    return result;
}
