// Typed message dispatch.
//
// Nothing on the way to a method of the class allocates or locks: a message
// is looked up by a linear scan of symbol pointers, its atoms are converted
// into a call_arg array on the stack, and the method is called through the
// caller for its signature. Only a selector the class has no method for goes
// on to the attribute tables (an instance's own table takes its lock, and the
// first `get` + name of each new name makes that name's symbol). Each thread
// remembers recent lookups whose answer depends on the method table alone.
#include "kernel/core/dispatch.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/dispatch_shapes.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"

namespace kel {
namespace {

constexpr int max_call_words = 13;

dispatch_fallbacks g_fallbacks;  // installed at start-up, before any dispatch

object *held_object(object *x) { return g_fallbacks.held_object ? g_fallbacks.held_object(x) : nullptr; }

const char *class_name_of(const object *x) { return class_of_table(x->messlist)->name->name; }

bool is_hash_symbol(const atom &a) { return a.word.w_sym && a.word.w_sym->name[0] == '#'; }

void *gimme_entry(object *x, kel_class *c, method_entry *e, symbol *s, long argc, atom *argv)
{
    if (c->flags & class_flag_creator) {
        void *made = call_gimme_constructor(e->method, s, argc, argv);
        g_newest_object = static_cast<object *>(made);
        return made;
    }
    return call_gimme(e->method, x, s, argc, argv);
}

// The lookup memo: per thread, so that no entry is ever read while another
// thread writes it. An entry holds while the method tables' generation is
// the one it was found in.
struct memo_entry {
    const method_entry *table;
    const symbol *selector;
    method_entry *found;
    uint32_t generation;
    bool direct;  // found takes its atoms as they come, on an object (not a constructor)
};
constexpr size_t memo_size = 256;
thread_local constinit memo_entry t_memo[memo_size] = {};

inline memo_entry &memo_slot(const method_entry *table, const symbol *s)
{
    // Tables are 16-byte aligned blocks, symbols 8-byte aligned records.
    const auto key = (reinterpret_cast<uintptr_t>(table) >> 4) ^ (reinterpret_cast<uintptr_t>(s) >> 3);
    return t_memo[key & (memo_size - 1)];
}

// The remembered answer for (table, s), or null.
inline const memo_entry *remembered(const method_entry *table, const symbol *s)
{
    const memo_entry &m = memo_slot(table, s);
    if (m.table != table || m.selector != s || m.generation != method_tables_generation()) return nullptr;
    return &m;
}

method_entry *remember(const method_entry *table, symbol *s, method_entry *found)
{
    const bool direct = found->types[0] == ATYPE_GIMME && !(class_of_table(table)->flags & class_flag_creator);
    memo_slot(table, s) = {table, s, found, method_tables_generation(), direct};
    return found;
}

}  // namespace

namespace {

// The lookup itself, when the memo has no answer: the valid object x with
// its current table.
__attribute__((noinline)) method_entry *lookup_in_table(object *x, method_entry *table, symbol *s)
{
    kel_class *c = class_of_table(table);
    if (!s) {
        error("%s: doesn't understand \"%s\"", c->name->name, "");
        return nullptr;
    }
    method_entry *anything = nullptr;
    method_entry *int_entry = nullptr;
    for (method_entry *e = table; e->selector; e++) {
        if (e->selector == s) {
            if (e->types[0] == ATYPE_CANT) {
                if (method_entry *wrapper = class_typedwrapper_get(c, s)) return remember(table, s, wrapper);
            }
            return remember(table, s, e);
        }
        if (e->selector == sym_anything && !anything) anything = e;
        if (e->selector == sym_int && !int_entry) int_entry = e;
    }
    // Attribute access: the attribute's name sets it, "get" + name reports
    // it. An attribute that refuses users ends the lookup without a report.
    // What follows depends on the table alone only where attributes cannot
    // answer: only then is it remembered.
    const bool table_alone = c->flags & (CLASS_FLAG_NOATTRIBUTES | class_flag_creator);
    if (!table_alone) {
        method_entry *entry;
        if (g_fallbacks.attribute_entry && g_fallbacks.attribute_entry(x, s, &entry)) return entry;
    }
    if (anything) return table_alone ? remember(table, s, anything) : anything;
    if (s == sym_fix && int_entry) return table_alone ? remember(table, s, int_entry) : int_entry;
    error("%s: doesn't understand \"%s\"", c->name->name, s->name);
    return nullptr;
}

}  // namespace

method_entry *dispatch_lookup(object *x, symbol *s)
{
    if (!object_valid(x)) {
        check_failed("typedmess: %s: corrupt object", s ? s->name : "");
        return nullptr;
    }
    method_entry *table = messlist_current(x);
    if (const memo_entry *m = s ? remembered(table, s) : nullptr) return m->found;
    return lookup_in_table(x, table, s);
}

namespace {

// dispatch_typed for entries that take typed arguments: they are converted
// into a call_arg array and the caller for the signature is called.
void *dispatch_converted(object *x, method_entry *e, symbol *s, long argc, atom *argv)
{
    kel_class *c = class_of_table(x->messlist);
    call_arg args[max_call_args];
    int count = 0;
    unsigned real_mask = 0;
    int words = 0;
    long used = 0;
    const char *sel = s ? s->name : "";

    for (int t = 0;; t++) {
        int code = t < max_call_args ? static_cast<int>(static_cast<unsigned char>(e->types[t]))
                                     : static_cast<int>(ATYPE_NOTHING);
        if (used < argc) {
            const atom &a = argv[used];
            switch (code) {
            case ATYPE_NOTHING:
                warning("%s: extra arguments for message \"%s\"", class_name_of(x), sel);
                goto call;
            case ATYPE_LONG:
            case ATYPE_DEFLONG:
                if (a.type == ATYPE_LONG)
                    args[count].word = a.word.w_long;
                else if (a.type == ATYPE_FLOAT)
                    args[count].word = float_to_long(a.word.w_float);
                else if (a.type == ATYPE_SYM && is_hash_symbol(a))
                    args[count].word = 0;
                else {
                    error("%s: bad arguments for message \"%s\"", class_name_of(x), sel);
                    return nullptr;
                }
                count++, words++;
                break;
            case ATYPE_FLOAT:
            case ATYPE_DEFFLOAT:
                if (a.type == ATYPE_FLOAT)
                    args[count].real = a.word.w_float;
                else if (a.type == ATYPE_LONG)
                    args[count].real = a.word.w_long;
                else if (a.type == ATYPE_SYM && is_hash_symbol(a))
                    args[count].real = 0.0;
                else {
                    post("%s: bad arguments for message \"%s\"", class_name_of(x), sel);
                    return nullptr;
                }
                real_mask |= 1u << count;
                count++, words += 2;
                break;
            case ATYPE_SYM:
            case ATYPE_DEFSYM:
                if (a.type != ATYPE_SYM) {
                    post("%s: bad arguments for message \"%s\"", class_name_of(x), sel);
                    return nullptr;
                }
                args[count].word = reinterpret_cast<intptr_t>(a.word.w_sym);
                count++, words++;
                break;
            case ATYPE_OBJ:
                if (a.type == ATYPE_OBJ) {
                    args[count].word = reinterpret_cast<intptr_t>(a.word.w_obj);
                } else if (a.type == ATYPE_SYM && a.word.w_sym) {
                    object *bound = a.word.w_sym->thing;
                    if (!bound) {
                        error("%s: no such object", a.word.w_sym->name);
                        return nullptr;
                    }
                    if (!object_valid_checked(bound)) {
                        check_failed("%s: garbage object", a.word.w_sym->name);
                        return nullptr;
                    }
                    args[count].word = reinterpret_cast<intptr_t>(bound);
                } else {
                    error("%s: bad arguments for message \"%s\"", class_name_of(x), sel);
                    return nullptr;
                }
                count++, words++;
                break;
            case ATYPE_GIMME:
                return gimme_entry(x, c, e, s, argc - used, argv + used);
            default:
                check_failed("unknown message argument type");
                return nullptr;
            }
            used++;
        } else {
            switch (code) {
            case ATYPE_NOTHING:
                goto call;
            case ATYPE_DEFLONG:
                args[count++].word = 0;
                words++;
                break;
            case ATYPE_DEFFLOAT:
                args[count].real = 0.0;
                real_mask |= 1u << count++;
                words += 2;
                break;
            case ATYPE_DEFSYM:
                args[count++].word = reinterpret_cast<intptr_t>(sym_empty);
                words++;
                break;
            case ATYPE_GIMME:
                return gimme_entry(x, c, e, s, 0, argv + argc);
            default:
                error("%s: missing arguments for message \"%s\"", class_name_of(x), sel);
                return nullptr;
            }
        }
    }

call:
    if (words > max_call_words) {
        error("%s: message too long (\"%s\")", class_name_of(x), sel);
        return nullptr;
    }
    if (c->flags & class_flag_creator) {
        void *made = plain_callers[shape_index(count, real_mask)](e->method, nullptr, args);
        g_newest_object = static_cast<object *>(made);
        return made;
    }
    return object_callers[shape_index(count, real_mask)](e->method, x, args);
}

}  // namespace

void *dispatch_typed(object *x, method_entry *e, symbol *s, long argc, atom *argv)
{
    // Arguments as they come: nothing to convert.
    if (e->types[0] == ATYPE_GIMME) return gimme_entry(x, class_of_table(x->messlist), e, s, argc, argv);
    return dispatch_converted(x, e, s, argc, argv);
}

void dispatch_set_fallbacks(const dispatch_fallbacks &fallbacks) { g_fallbacks = fallbacks; }

}  // namespace kel

using namespace kel;

KEL_API void *method_false(void) { return nullptr; }

KEL_API void *nullfn(void) { return nullptr; }

KEL_API void *method_true(void) { return reinterpret_cast<void *>(1); }

namespace {

// The remembered method for s on o when it takes the atoms as they come;
// null otherwise.
inline kel_method remembered_direct(object *o, symbol *s)
{
    if (!object_valid(o) || !s) return nullptr;
    const memo_entry *m = remembered(o->messlist, s);
    return m && m->direct ? m->found->method : nullptr;
}

__attribute__((noinline)) void *typedmess_looked_up(object *o, symbol *s, long argc, atom *argv)
{
    method_entry *e = dispatch_lookup(o, s);
    if (!e) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    return dispatch_typed(o, e, s, argc, argv);
}

}  // namespace

KEL_API void *typedmess(void *x, symbol *s, long argc, atom *argv)
{
    // A remembered method that takes the atoms as they come is called
    // straight away (an instance left on a table its class outgrew is not
    // found under it, and takes the full path, which moves it on).
    auto *o = static_cast<object *>(x);
    if (kel_method m = remembered_direct(o, s)) return call_gimme(m, o, s, argc < 0 || !argv ? 0 : argc, argv);
    return typedmess_looked_up(o, s, argc, argv);
}

namespace {

enum class absent_report { error, silent };

kel_method find_method(void *x, symbol *s, const char *who, absent_report report, kel_method absent)
{
    auto *o = static_cast<object *>(x);
    if (!object_valid(o)) {
        check_failed("%s (%s): corrupt object", who, s ? s->name : "");
        return reinterpret_cast<kel_method>(&method_false);
    }
    for (method_entry *e = messlist_current(o); e->selector; e++)
        if (e->selector == s) return e->method;
    if (report == absent_report::error) error("%s: doesn't understand \"%s\"", class_name_of(o), s ? s->name : "");
    return absent;
}

}  // namespace

KEL_API kel_method getfn(void *x, symbol *s)
{
    return find_method(x, s, "getfn", absent_report::error, reinterpret_cast<kel_method>(&method_false));
}

KEL_API kel_method egetfn(void *x, symbol *s)
{
    return find_method(x, s, "egetfn", absent_report::silent, reinterpret_cast<kel_method>(&method_false));
}

KEL_API kel_method zgetfn(void *x, symbol *s) { return find_method(x, s, "zgetfn", absent_report::silent, nullptr); }

KEL_API long object_method_typed(void *x, symbol *s, long argc, atom *argv, atom *result)
{
    if (result) {
        result->type = ATYPE_NOTHING;
        std::memset(&result->word, 0, sizeof result->word);
    }
    auto *o = static_cast<object *>(x);
    method_entry *e = dispatch_lookup(o, s);
    if (!e) return -1;
    if (argc < 0 || !argv) argc = 0;
    int code = static_cast<unsigned char>(e->types[0]);
    if (code == ATYPE_GIMME || (code >= 65 && code <= 68)) {
        gimme_entry(o, class_of_table(o->messlist), e, s, argc, argv);
        return 0;
    }
    if (code == ATYPE_CANT) return -1;
    if (code == ATYPE_GIMMEBACK) return call_gimmeback(e->method, o, s, argc, argv, result);
    dispatch_typed(o, e, s, argc, argv);
    return 0;
}

namespace {

// The obex answer to getvalueof when the class has none: one symbol atom
// "object (classname)".
void *default_getvalueof(object *x, long *ac, atom **av)
{
    if (!ac || !av) return nullptr;
    if (!*av || *ac < 1) {
        *av = static_cast<atom *>(getbytes(sizeof(atom)));
        if (!*av) return nullptr;
    }
    *ac = 1;
    char text[256];
    std::snprintf(text, sizeof text, "object (%s)", class_name_of(x));
    atom_setsym(*av, gensym(text));
    return nullptr;
}

kel_method gel_object_method = nullptr;
bool gel_looked_up = false;

void *object_method_words(object *x, symbol *s, const kel_word *w)
{
    static symbol *const s_decorator = gensym("decorator"), *const s_getvalueof = gensym("getvalueof");
    if (!s) {
        post("warning: trying to call NULL method");
        return nullptr;
    }
    if (!object_valid(x)) {
        post("warning: method %s called on invalid object", s->name);
        return nullptr;
    }
    kel_class *c = class_of_table(x->messlist);
    uint32_t mark = table_mark(x->messlist);
    if (mark == obex_mark) {
        if (method_entry *e = class_mess(c, s)) return call_words(e->method, x, w);
        if (void *result; g_fallbacks.attribute_call && g_fallbacks.attribute_call(x, s, w, &result)) return result;
        if (kel_method decorator = class_method(c, s_decorator);
            decorator != reinterpret_cast<kel_method>(&method_false)) {
            auto *other = static_cast<object *>(call_query(decorator, x));
            if (other && other != x) return object_method_words(other, s, w);
        }
        // An object box without the method passes the call to what it holds.
        if (object *held = held_object(x); held && held != x && object_valid(held))
            return object_method_words(held, s, w);
        if (s == s_getvalueof)
            return default_getvalueof(x, reinterpret_cast<long *>(w[0]), reinterpret_cast<atom **>(w[1]));
        return nullptr;
    }
    if (mark == gel_mark) {
        if (!gel_looked_up) {
            gel_looked_up = true;
            object *gel = gensym("gelmatrix")->thing;
            if (object_valid_checked(gel)) gel_object_method = zgetfn(gel, gensym("exp_gel_object_method"));
        }
        if (!gel_object_method) return nullptr;
        return call_selector_words(gel_object_method, x, s, w);
    }
    if (s == sym_free) {
        freeobject(x);
        return nullptr;
    }
    if (kel_method fn = zgetfn(x, s)) return call_words(fn, x, w);
    if (object *held = held_object(x); held && held != x && object_valid(held)) return object_method_words(held, s, w);
    return nullptr;
}

}  // namespace

KEL_API void *object_method_v(void *x, symbol *s, long nwords, ...)
{
    kel_word w[KEL_WORDS_MAX] = {};
    va_list args;
    va_start(args, nwords);
    for (long i = 0; i < nwords && i < KEL_WORDS_MAX; i++) w[i] = va_arg(args, kel_word);
    va_end(args);
    return object_method_words(static_cast<object *>(x), s, w);
}

KEL_API kel_method object_getmethod(void *x, symbol *s)
{
    auto *o = static_cast<object *>(x);
    if (!s || !object_valid(o)) return reinterpret_cast<kel_method>(&method_false);
    if (table_mark(o->messlist) == obex_mark) return class_method(class_of_table(o->messlist), s);
    if (kel_method fn = zgetfn(o, s)) return fn;
    return reinterpret_cast<kel_method>(&method_false);
}

void *kel::object_method_array(void *x, symbol *s, long nwords, const kel_word *words)
{
    kel_word w[KEL_WORDS_MAX] = {};
    for (long i = 0; i < nwords && i < KEL_WORDS_MAX; i++) w[i] = words[i];
    return object_method_words(static_cast<object *>(x), s, w);
}
