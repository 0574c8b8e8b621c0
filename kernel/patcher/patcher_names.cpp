// Box names: a table of names per patcher, kept in the object registry under
// a namespace symbol of the patcher's own ("patcher N", N its serial, so no
// two patchers of a run ever share one), the watchers that follow a name, and
// names resolved through nested subpatchers.
//
// The registry holds the box itself under its name. A name is always free
// before it is registered (explicit names are refused when taken, others are
// made unique first), so registering never meets another object of the
// name, which the registry would answer by freeing the object given.
#include "kernel/patcher/patcher_names.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/registry.h"
#include "kel/symbols.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/patcher/patcher.h"
#include "kernel/registry/attributes.h"

namespace kel {

struct patcher_names {
    symbol *name_space = nullptr;
    std::vector<name_watcher *> watchers;  // in the order they joined
    // Per stem (the text of a name before its first "["), the number the
    // search for its next unique name starts from: every "STEM[n]" below it
    // was found taken. A name of that form taken away here lowers it again,
    // so the number given is still the first one free, and naming many boxes
    // alike costs a step or two each instead of a walk past all the others.
    std::unordered_map<std::string, long> next_number;
};

namespace {

constexpr int path_depth_max = 64;

patcher_names *names_of(patcher *p, bool create)
{
    if (!p) return nullptr;
    if (p->names || !create) return p->names;
    char text[48];
    std::snprintf(text, sizeof text, "patcher %lu", p->serial);
    symbol *name_space = gensym(text);
    auto *made = name_space ? new (std::nothrow) patcher_names : nullptr;
    if (!made) {
        memory_set_low(true);  // a null namespace would be the global one
        return nullptr;
    }
    made->name_space = name_space;
    p->names = made;
    return made;
}

// The name b is registered under in p, or null.
symbol *name_of(patcher *p, box *b)
{
    patcher_names *n = names_of(p, false);
    if (!n || !b) return nullptr;
    symbol *name_space = nullptr, *name = nullptr;
    if (object_findregisteredbyptr(&name_space, &name, b) != ERR_NONE || name_space != n->name_space) return nullptr;
    return name;
}

// The watchers of p that follow name, as they stand now: a watcher called
// may make others join or leave.
std::vector<name_watcher *> watchers_of(patcher *p, symbol *name)
{
    std::vector<name_watcher *> found;
    patcher_names *n = names_of(p, false);
    if (!n || !name || name == sym_empty) return found;
    try {
        for (name_watcher *w : n->watchers)
            if (w->name == name) found.push_back(w);
    } catch (const std::bad_alloc &) {
        found.clear();
    }
    return found;
}

bool still_watching(patcher *p, name_watcher *w)
{
    patcher_names *n = names_of(p, false);
    return n && std::find(n->watchers.begin(), n->watchers.end(), w) != n->watchers.end();
}

void attach_watchers(patcher *p, box *b, symbol *name)
{
    for (name_watcher *w : watchers_of(p, name))
        if (still_watching(p, w) && w->name == name && b->owner == p) w->attach(w, b);
}

void detach_watchers(patcher *p, symbol *name, bool box_going)
{
    for (name_watcher *w : watchers_of(p, name))
        if (still_watching(p, w)) w->detach(w, box_going);
}

// "STEM[k]", the stem shortened so that the whole fits in a symbol: a longer
// text would be cut by gensym, losing the number. Distinct numbers give
// distinct names, as the text after the last "[" is the number.
std::string unique_form(const std::string &stem, long k)
{
    std::string suffix = "[" + std::to_string(k) + "]";
    size_t room = static_cast<size_t>(symbol_name_max) - suffix.size();
    return stem.substr(0, std::min(stem.size(), room)) + suffix;
}

// name is free again: when it has the form "STEM[k]" (k written without a
// leading zero), the search for STEM starts from k at most. A name of the
// longest length may have come from any longer stem it begins, as those are
// shortened to fit; their searches are lowered too.
void number_freed(patcher *p, symbol *name)
{
    patcher_names *n = names_of(p, false);
    if (!n || n->next_number.empty()) return;
    const char *text = name->name;
    const char *bracket = std::strchr(text, '[');
    if (!bracket || bracket[1] < '1' || bracket[1] > '9') return;
    long k = 0;
    const char *c = bracket + 1;
    for (; *c >= '0' && *c <= '9'; c++) {
        if (k > (LONG_MAX - 9) / 10) return;
        k = k * 10 + (*c - '0');
    }
    if (c[0] != ']' || c[1]) return;
    const size_t stem_length = static_cast<size_t>(bracket - text);
    try {
        auto own = n->next_number.find(std::string(text, stem_length));
        if (own != n->next_number.end()) own->second = std::min(own->second, k);
    } catch (const std::bad_alloc &) {
        // Without the stem's counter lowered the name is only given later.
    }
    if (static_cast<long>(std::strlen(text)) != symbol_name_max) return;
    for (auto &[stem, next] : n->next_number)
        if (stem.size() > stem_length && stem.compare(0, stem_length, text, stem_length) == 0) next = std::min(next, k);
}

// Takes b's name away: watchers first, then the registration.
void delete_name(patcher *p, box *b, bool box_going)
{
    symbol *name = name_of(p, b);
    if (!name) return;
    detach_watchers(p, name, box_going);
    if (object_unregister(b) != ERR_NONE) error("patcher_deleteboxname: multiple named references");
    number_freed(p, name);
}

// --- the seam the patcher calls ---

void seam_set(patcher *p, box *b, symbol *name) { patcher_uniqueboxname(p, b, name); }

symbol *seam_get(patcher *p, box *b) { return name_of(p, b); }

void seam_remove(patcher *p, box *b) { delete_name(p, b, true); }

void seam_object_leaving(patcher *p, box *b)
{
    if (symbol *name = name_of(p, b)) detach_watchers(p, name, false);
}

void seam_object_arrived(patcher *p, box *b)
{
    if (symbol *name = name_of(p, b)) attach_watchers(p, b, name);
}

// An object box answers attributes for the object it holds.
object *box_target(object *x)
{
    if (!is_newobj_box(x)) return nullptr;
    return reinterpret_cast<box *>(x)->obj;
}

// --- name paths ---

// The subpatcher number index of what b holds (a patcher answers itself
// for 0), or null.
patcher *subpatcher_of(box *b, long index)
{
    object *x = b->obj;
    if (!object_valid(x) || x == &b->header) return nullptr;
    void *sub = object_subpatcher(x, &index, nullptr);
    return is_patcher(sub) ? static_cast<patcher *>(sub) : nullptr;
}

// "NAME.N" with N a positive integer after the last ".": NAME and N.
bool split_instance(symbol *element, symbol **base, long *instance)
{
    const char *text = element->name;
    const char *dot = std::strrchr(text, '.');
    if (!dot || dot == text || !dot[1]) return false;
    for (const char *c = dot + 1; *c; c++)
        if (*c < '0' || *c > '9') return false;
    long n = std::strtol(dot + 1, nullptr, 10);
    if (n < 1) return false;
    try {
        *base = gensym(std::string(text, static_cast<size_t>(dot - text)).c_str());
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return false;
    }
    *instance = n;
    return *base != nullptr;
}

// One step of a path: the box named element in p, and the subpatcher the
// step leads into (instance N of a poly~ box, else the box's subpatcher 0).
box *resolve_step(patcher *p, symbol *element, patcher **inside)
{
    static symbol *const poly = gensym("poly~");
    *inside = nullptr;
    if (box *b = boxnames_find(p, element)) {
        *inside = subpatcher_of(b, 0);
        return b;
    }
    symbol *base = nullptr;
    long instance = 0;
    if (!split_instance(element, &base, &instance)) return nullptr;
    box *b = boxnames_find(p, base);
    if (!b || !object_valid(b->obj) || object_classname(b->obj) != poly) return nullptr;
    *inside = subpatcher_of(b, instance - 1);
    return b;
}

// The last box of the path and the patcher it leads into.
box *resolve(patcher *p, long count, symbol **names, patcher **inside)
{
    *inside = nullptr;
    if (!p || count <= 0 || !names || count > path_depth_max) return nullptr;
    box *b = nullptr;
    patcher *at = p;
    for (long k = 0; k < count; k++) {
        if (!at || !names[k]) return nullptr;
        patcher *next = nullptr;
        b = resolve_step(at, names[k], &next);
        if (!b) return nullptr;
        at = next;
    }
    *inside = at;
    return b;
}

template <class F> auto with_path(symbol *path, F fn) -> decltype(fn(0L, static_cast<symbol **>(nullptr)))
{
    long count = 0;
    symbol **names = patcher_namepath_symarray_new(path, &count);
    auto result = fn(count, names);
    patcher_namepath_symarray_free(names, count);
    return result;
}

}  // namespace

bool boxnames_init()
{
    box_naming naming{&seam_set, &seam_get, &seam_remove, &seam_object_leaving, &seam_object_arrived};
    patcher_set_box_naming(naming);
    attr_set_box_target(&box_target);
    return true;
}

symbol *boxnames_namespace(patcher *p)
{
    patcher_names *n = names_of(p, true);
    return n ? n->name_space : nullptr;
}

void boxnames_watch(patcher *p, name_watcher *w)
{
    if (!w) return;
    w->where = p;
    patcher_names *n = names_of(p, true);
    if (!n) {
        w->where = nullptr;
        return;
    }
    try {
        if (std::find(n->watchers.begin(), n->watchers.end(), w) == n->watchers.end()) n->watchers.push_back(w);
    } catch (const std::bad_alloc &) {
        w->where = nullptr;
        return;
    }
    boxnames_attach_watcher(w);
}

void boxnames_unwatch(name_watcher *w)
{
    if (!w || !w->where) return;
    if (patcher_names *n = names_of(w->where, false))
        n->watchers.erase(std::remove(n->watchers.begin(), n->watchers.end(), w), n->watchers.end());
    w->where = nullptr;
}

void boxnames_attach_watcher(name_watcher *w)
{
    if (!w || !w->where) return;
    if (box *b = boxnames_find(w->where, w->name)) w->attach(w, b);
}

void boxnames_patcher_free(patcher *p)
{
    patcher_names *n = names_of(p, false);
    if (!n) return;
    // Watchers outside p's boxes outlive it; they follow nothing from now on.
    std::vector<name_watcher *> left;
    left.swap(n->watchers);
    for (name_watcher *w : left) {
        w->detach(w, true);
        w->where = nullptr;
    }
    p->names = nullptr;
    delete n;
}

box *boxnames_find(patcher *p, symbol *name)
{
    patcher_names *n = names_of(p, false);
    if (!n || !name || name == sym_empty) return nullptr;
    auto *b = static_cast<box *>(object_findregistered(n->name_space, name));
    // Only boxes of p are names of p, whatever else was registered there.
    return b && object_valid(b) && b->owner == p ? b : nullptr;
}

symbol *boxnames_unique(patcher *p, symbol *name)
{
    symbol *name_space = boxnames_namespace(p);
    patcher_names *n = names_of(p, false);
    if (!name || name == sym_empty || !name_space || !n) return nullptr;
    if (!object_findregistered(name_space, name)) return name;
    const char *text = name->name;
    const char *bracket = std::strchr(text, '[');
    try {
        std::string stem(text, bracket ? static_cast<size_t>(bracket - text) : std::strlen(text));
        long &next = n->next_number.try_emplace(stem, 1).first->second;
        // Each candidate taken is a distinct registered name, so the search
        // ends long before the numbers do.
        for (long k = std::max(next, 1L); k < LONG_MAX; k++) {
            symbol *candidate = gensym(unique_form(stem, k).c_str());
            if (!candidate) return nullptr;
            if (!object_findregistered(name_space, candidate)) {
                next = k;  // the caller may not take it: it is tried first next time
                return candidate;
            }
        }
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return nullptr;
    }
    error("%s: no unique name left", text);
    return nullptr;
}

}  // namespace kel

using namespace kel;

KEL_API void patcher_setboxname(patcher *p, box *b, symbol *name)
{
    if (!p || !b || b->owner != p || !name || name == sym_empty) return;
    symbol *name_space = boxnames_namespace(p);
    if (!name_space) return;
    auto *holder = static_cast<box *>(object_findregistered(name_space, name));
    if (holder == b) return;
    if (holder) {
        error("%s: name already in use", name->name);
        return;
    }
    patcher_uniqueboxname(p, b, name);
}

KEL_API void patcher_setboxname_nodirty(patcher *p, box *b, symbol *name) { patcher_setboxname(p, b, name); }

KEL_API symbol *patcher_uniqueboxname(patcher *p, box *b, symbol *name)
{
    if (!p || !b || b->owner != p || !name || name == sym_empty) return nullptr;
    symbol *current = name_of(p, b);
    if (current == name) return name;
    if (current) delete_name(p, b, false);
    symbol *unique = boxnames_unique(p, name);
    symbol *name_space = boxnames_namespace(p);
    if (!unique || !name_space) return nullptr;
    if (object_register(name_space, unique, b) != b) return nullptr;
    attach_watchers(p, b, unique);
    return unique;
}

KEL_API long patcher_boxname(patcher *p, box *b, symbol **name)
{
    symbol *found = name_of(p, b);
    if (name) *name = found;
    return found ? 1 : 0;
}

KEL_API box *patcher_getnamedbox(patcher *p, symbol *name) { return boxnames_find(p, name); }

KEL_API void patcher_deleteboxname(patcher *p, box *b)
{
    if (p && b) delete_name(p, b, false);
}

KEL_API box *patcher_resolvebox_symarray(patcher *p, long count, symbol **names)
{
    patcher *inside = nullptr;
    return resolve(p, count, names, &inside);
}

KEL_API object *patcher_resolveobj_symarray(patcher *p, long count, symbol **names)
{
    patcher *inside = nullptr;
    box *b = resolve(p, count, names, &inside);
    if (!b) return nullptr;
    return b->obj ? b->obj : &b->header;
}

KEL_API patcher *patcher_resolvepatcher_symarray(patcher *p, long count, symbol **names)
{
    patcher *inside = nullptr;
    return resolve(p, count, names, &inside) ? inside : nullptr;
}

KEL_API box *patcher_resolvebox(patcher *p, symbol *path)
{
    return with_path(path, [p](long count, symbol **names) { return patcher_resolvebox_symarray(p, count, names); });
}

KEL_API object *patcher_resolveobj(patcher *p, symbol *path)
{
    return with_path(path, [p](long count, symbol **names) { return patcher_resolveobj_symarray(p, count, names); });
}

KEL_API patcher *patcher_resolvepatcher(patcher *p, symbol *path)
{
    return with_path(path,
                     [p](long count, symbol **names) { return patcher_resolvepatcher_symarray(p, count, names); });
}

KEL_API symbol **patcher_namepath_symarray_new(symbol *path, long *count)
{
    if (count) *count = 0;
    if (!path || !count || !path->name[0]) return nullptr;
    std::vector<symbol *> parts;
    try {
        const char *text = path->name;
        for (;;) {
            const char *sep = std::strstr(text, "::");
            size_t length = sep ? static_cast<size_t>(sep - text) : std::strlen(text);
            parts.push_back(gensym(std::string(text, length).c_str()));
            if (!sep) break;
            text = sep + 2;
        }
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    const long n = static_cast<long>(parts.size());
    auto *names = static_cast<symbol **>(getbytes(n * static_cast<long>(sizeof(symbol *))));
    if (!names) return nullptr;
    std::copy(parts.begin(), parts.end(), names);
    *count = n;
    return names;
}

KEL_API void patcher_namepath_symarray_free(symbol **names, long count)
{
    if (names && count > 0) freebytes(names, count * static_cast<long>(sizeof(symbol *)));
}
