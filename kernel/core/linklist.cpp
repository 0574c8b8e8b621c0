#include "kernel/core/linklist.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include "kel/classes.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/dispatch.h"
#include "kernel/core/memory.h"

namespace kel {
namespace {

kel_class *g_linklist_class = nullptr;

linklist_element *new_element(void *value)
{
    auto *e = static_cast<linklist_element *>(getbytes(sizeof(linklist_element)));
    if (!e) return nullptr;
    e->value = value;
    e->next = e->prev = nullptr;
    e->dead = false;
    return e;
}

linklist_element *element_at(linklist *x, long index)
{
    if (index < 0 || index >= x->count) return nullptr;
    linklist_element *e = x->head;
    while (index-- > 0) e = e->next;
    return e;
}

linklist_element *element_of(linklist *x, void *value)
{
    for (linklist_element *e = x->head; e; e = e->next)
        if (e->value == value) return e;
    return nullptr;
}

void link_before(linklist *x, linklist_element *e, linklist_element *before)
{
    if (!before) {
        e->prev = x->tail;
        e->next = nullptr;
        if (x->tail)
            x->tail->next = e;
        else
            x->head = e;
        x->tail = e;
    } else {
        e->next = before;
        e->prev = before->prev;
        if (before->prev)
            before->prev->next = e;
        else
            x->head = e;
        before->prev = e;
    }
    x->count++;
}

// Unlinks e and retires its record: freed now, or after the running walks.
void unlink(linklist *x, linklist_element *e)
{
    if (e->prev)
        e->prev->next = e->next;
    else
        x->head = e->next;
    if (e->next)
        e->next->prev = e->prev;
    else
        x->tail = e->prev;
    if (x->cursor == e) x->cursor = nullptr;
    x->count--;
    if (x->walking) {
        e->dead = true;  // e->next stays valid for the walker standing on e
        e->prev = x->graveyard;
        x->graveyard = e;
    } else {
        freebytes(e, sizeof(linklist_element));
    }
}

void free_graveyard(linklist *x)
{
    while (linklist_element *e = x->graveyard) {
        x->graveyard = e->prev;
        freebytes(e, sizeof(linklist_element));
    }
}

// Frees the values taken out of a list, outside its lock.
void free_values(void **values, long n)
{
    for (long i = 0; i < n; i++)
        if (values[i]) freeobject(values[i]);
}

// --- the message interface ---

using word = kel_word;

void *msg_chuck(linklist *x)
{
    linklist_chuck(x);
    return nullptr;
}
long msg_getsize(linklist *x) { return linklist_getsize(x); }
void *msg_getindex(linklist *x, word i) { return linklist_getindex(x, static_cast<long>(i)); }
long msg_objptr2index(linklist *x, void *v) { return linklist_objptr2index(x, v); }
long msg_append(linklist *x, void *v) { return linklist_append(x, v); }
long msg_insert(linklist *x, void *v, word i) { return linklist_insertindex(x, v, static_cast<long>(i)); }
long msg_delete(linklist *x, word i) { return linklist_deleteindex(x, static_cast<long>(i)); }
void *msg_clear(linklist *x)
{
    linklist_clear(x);
    return nullptr;
}
long msg_makearray(linklist *x, void **a, word n) { return linklist_makearray(x, a, static_cast<long>(n)); }
void *msg_reverse(linklist *x)
{
    linklist_reverse(x);
    return nullptr;
}
void *msg_rotate(linklist *x, word n)
{
    linklist_rotate(x, static_cast<long>(n));
    return nullptr;
}
void *msg_shuffle(linklist *x)
{
    linklist_shuffle(x);
    return nullptr;
}
void *msg_swap(linklist *x, word a, word b)
{
    linklist_swap(x, static_cast<long>(a), static_cast<long>(b));
    return nullptr;
}
long msg_findfirst(linklist *x, void **out, long (*test)(void *, void *), void *arg)
{
    return linklist_findfirst(x, out, test, arg);
}
void *msg_findall(linklist *x, linklist **out, long (*test)(void *, void *), void *arg)
{
    linklist_findall(x, out, test, arg);
    return nullptr;
}
void *msg_sort(linklist *x, long (*before)(void *, void *))
{
    linklist_sort(x, before);
    return nullptr;
}
void *msg_funall(linklist *x, void (*fn)(void *, void *), void *arg)
{
    linklist_funall(x, fn, arg);
    return nullptr;
}
long msg_funindex(linklist *x, word i, long (*fn)(void *, void *), void *arg)
{
    return linklist_funindex(x, static_cast<long>(i), fn, arg);
}
void *msg_substitute(linklist *x, void *o, void *n) { return linklist_substitute(x, o, n); }
void *msg_prev(linklist *x, void *v, void **out) { return linklist_prev(x, v, out); }
void *msg_next(linklist *x, void *v, void **out) { return linklist_next(x, v, out); }
void *msg_last(linklist *x, void **out) { return linklist_last(x, out); }

constexpr int forwarded_words = 14;

struct forward_args {
    symbol *s;
    kel_word w[forwarded_words];
};

void forward_method(void *value, void *arg)
{
    auto *f = static_cast<forward_args *>(arg);
    object_method_array(value, f->s, forwarded_words, f->w);
}

void *msg_methodall(linklist *x, symbol *s, word w0, word w1, word w2, word w3, word w4, word w5, word w6, word w7,
                    word w8, word w9, word w10, word w11, word w12, word w13)
{
    forward_args f{s, {w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13}};
    if (x && s) linklist_walk(x, forward_method, &f);
    return nullptr;
}

void *msg_methodindex(linklist *x, word i, symbol *s, word w0, word w1, word w2, word w3, word w4, word w5, word w6,
                      word w7, word w8, word w9, word w10, word w11, word w12)
{
    kel_word w[] = {w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12};
    void *value = linklist_getindex(x, static_cast<long>(i));
    return value ? object_method_array(value, s, 13, w) : nullptr;
}

void *list_new() { return linklist_new(); }

}  // namespace

kel_class *linklist_class()
{
    if (g_linklist_class) return g_linklist_class;
    kel_class *c = class_new("linklist", reinterpret_cast<kel_method>(&list_new),
                             reinterpret_cast<kel_method>(&linklist_free), sizeof(linklist), nullptr, 0);
    if (!c) return nullptr;
    struct {
        const char *name;
        kel_method fn;
    } const methods[] = {
        {"chuck", reinterpret_cast<kel_method>(&msg_chuck)},
        {"getsize", reinterpret_cast<kel_method>(&msg_getsize)},
        {"getindex", reinterpret_cast<kel_method>(&msg_getindex)},
        {"objptr2index", reinterpret_cast<kel_method>(&msg_objptr2index)},
        {"append", reinterpret_cast<kel_method>(&msg_append)},
        {"insert", reinterpret_cast<kel_method>(&msg_insert)},
        {"delete", reinterpret_cast<kel_method>(&msg_delete)},
        {"clear", reinterpret_cast<kel_method>(&msg_clear)},
        {"makearray", reinterpret_cast<kel_method>(&msg_makearray)},
        {"reverse", reinterpret_cast<kel_method>(&msg_reverse)},
        {"rotate", reinterpret_cast<kel_method>(&msg_rotate)},
        {"shuffle", reinterpret_cast<kel_method>(&msg_shuffle)},
        {"swap", reinterpret_cast<kel_method>(&msg_swap)},
        {"findfirst", reinterpret_cast<kel_method>(&msg_findfirst)},
        {"findall", reinterpret_cast<kel_method>(&msg_findall)},
        {"methodall", reinterpret_cast<kel_method>(&msg_methodall)},
        {"methodindex", reinterpret_cast<kel_method>(&msg_methodindex)},
        {"sort", reinterpret_cast<kel_method>(&msg_sort)},
        {"funall", reinterpret_cast<kel_method>(&msg_funall)},
        {"funindex", reinterpret_cast<kel_method>(&msg_funindex)},
        {"substitute", reinterpret_cast<kel_method>(&msg_substitute)},
        {"prev", reinterpret_cast<kel_method>(&msg_prev)},
        {"next", reinterpret_cast<kel_method>(&msg_next)},
        {"last", reinterpret_cast<kel_method>(&msg_last)},
    };
    for (const auto &m : methods) class_addmethod(c, m.fn, m.name, ATYPE_CANT, 0);
    g_linklist_class = c;
    return c;
}

void linklist_walk(linklist *x, void (*fn)(void *value, void *arg), void *arg)
{
    list_guard guard(x);
    x->walking++;
    for (linklist_element *e = x->head; e; e = e->next) {
        if (e->dead || !e->value) continue;
        void *value = e->value;
        guard.unlock();
        fn(value, arg);
        guard.relock();
    }
    if (--x->walking == 0) free_graveyard(x);
}

}  // namespace kel

using namespace kel;

KEL_API linklist *linklist_new(void)
{
    kel_class *c = linklist_class();
    auto *x = c ? static_cast<linklist *>(object_alloc(c)) : nullptr;
    if (!x) return nullptr;
    x->count = 0;
    x->head = x->tail = x->cursor = x->graveyard = nullptr;
    x->readonly = 0;
    x->walking = 0;
    x->lock = new (std::nothrow) std::recursive_mutex;
    if (!x->lock) {
        memory_set_low(true);  // as the pool does when it runs short
        x->header.magic = 0;
        freebytes(x, sizeof(linklist));
        return nullptr;
    }
    return x;
}

KEL_API long linklist_getsize(linklist *x) { return x ? x->count : 0; }

KEL_API long linklist_append(linklist *x, void *value)
{
    if (!x) return -1;
    linklist_element *e = new_element(value);
    if (!e) return -1;
    list_guard guard(x);
    link_before(x, e, nullptr);
    return x->count;
}

KEL_API long linklist_insertindex(linklist *x, void *value, long index)
{
    if (!x || index < 0) return -1;
    linklist_element *e = new_element(value);
    if (!e) return -1;
    list_guard guard(x);
    linklist_element *before = element_at(x, index);
    link_before(x, e, before);
    return before ? index : x->count - 1;
}

KEL_API void *linklist_getindex(linklist *x, long index)
{
    if (!x) return nullptr;
    list_guard guard(x);
    linklist_element *e = element_at(x, index);
    return e ? e->value : nullptr;
}

KEL_API long linklist_objptr2index(linklist *x, void *value)
{
    if (!x) return -1;
    list_guard guard(x);
    long i = 0;
    for (linklist_element *e = x->head; e; e = e->next, i++)
        if (e->value == value) return i;
    return -1;
}

KEL_API long linklist_makearray(linklist *x, void **array, long limit)
{
    if (!x || !array) return -1;
    list_guard guard(x);
    if (x->count == 0) return -1;
    long n = 0;
    for (linklist_element *e = x->head; e && n < limit; e = e->next) array[n++] = e->value;
    return n;
}

namespace {

long remove_index(linklist *x, long index, bool free_value)
{
    if (!x) return -1;
    void *value;
    {
        list_guard guard(x);
        linklist_element *e = element_at(x, index);
        if (!e) return -1;
        value = e->value;
        unlink(x, e);
    }
    if (free_value && value) freeobject(value);
    return index;
}

}  // namespace

KEL_API long linklist_deleteindex(linklist *x, long index) { return remove_index(x, index, true); }

KEL_API long linklist_chuckindex(linklist *x, long index) { return remove_index(x, index, false); }

KEL_API void linklist_chuckptr(linklist *x, void *value)
{
    if (!x) return;
    list_guard guard(x);
    if (linklist_element *e = element_of(x, value)) unlink(x, e);
}

KEL_API void linklist_clear(linklist *x)
{
    if (!x) return;
    // Values are freed outside the lock, a few at a time, since freeing a
    // value may reach back into this list.
    for (;;) {
        void *values[64];
        long n = 0;
        {
            list_guard guard(x);
            while (x->head && n < 64) {
                values[n++] = x->head->value;
                unlink(x, x->head);
            }
        }
        if (n == 0) break;
        free_values(values, n);
    }
}

KEL_API void linklist_chuck(linklist *x)
{
    if (!x) return;
    {
        list_guard guard(x);
        while (x->head) unlink(x, x->head);
    }
    freeobject(x);
}

KEL_API void linklist_free(linklist *x)
{
    if (!x) return;
    linklist_clear(x);
    free_graveyard(x);
    delete x->lock;
    x->lock = nullptr;
}

KEL_API void linklist_reverse(linklist *x)
{
    if (!x) return;
    list_guard guard(x);
    for (linklist_element *e = x->head; e;) {
        linklist_element *next = e->next;
        e->next = e->prev;
        e->prev = next;
        e = next;
    }
    linklist_element *head = x->head;
    x->head = x->tail;
    x->tail = head;
}

KEL_API void linklist_rotate(linklist *x, long n)
{
    if (!x) return;
    list_guard guard(x);
    if (x->count < 2) return;
    for (; n > 0; n--) {  // the last element moves to the front
        linklist_element *e = x->tail;
        x->tail = e->prev;
        x->tail->next = nullptr;
        e->prev = nullptr;
        e->next = x->head;
        x->head->prev = e;
        x->head = e;
    }
    for (; n < 0; n++) {  // the first element moves to the end
        linklist_element *e = x->head;
        x->head = e->next;
        x->head->prev = nullptr;
        e->next = nullptr;
        e->prev = x->tail;
        x->tail->next = e;
        x->tail = e;
    }
}

KEL_API void linklist_shuffle(linklist *x)
{
    if (!x) return;
    list_guard guard(x);
    long count = x->count;
    for (long i = 0; i < count; i++) {
        linklist_element *a = element_at(x, i);
        linklist_element *b = element_at(x, rerand() % count);
        void *v = a->value;
        a->value = b->value;
        b->value = v;
    }
}

KEL_API void linklist_swap(linklist *x, long a, long b)
{
    if (!x) return;
    list_guard guard(x);
    linklist_element *ea = element_at(x, a);
    linklist_element *eb = element_at(x, b);
    if (!ea || !eb) return;
    void *v = ea->value;
    ea->value = eb->value;
    eb->value = v;
}

KEL_API long linklist_findfirst(linklist *x, void **out, long (*test)(void *, void *), void *arg)
{
    if (out) *out = nullptr;
    if (!x || !test) return -1;
    list_guard guard(x);
    long i = 0;
    for (linklist_element *e = x->head; e; e = e->next, i++) {
        if (e->value && test(e->value, arg)) {
            if (out) *out = e->value;
            return i;
        }
    }
    return -1;
}

KEL_API void linklist_findall(linklist *x, linklist **out, long (*test)(void *, void *), void *arg)
{
    if (!out) return;
    *out = nullptr;
    if (!x || !test) return;
    list_guard guard(x);
    for (linklist_element *e = x->head; e; e = e->next) {
        if (!e->value || !test(e->value, arg)) continue;
        if (!*out && !(*out = linklist_new())) return;
        linklist_append(*out, e->value);
    }
}

KEL_API void linklist_funall(linklist *x, void (*fn)(void *, void *), void *arg)
{
    if (x && fn) linklist_walk(x, fn, arg);
}

KEL_API long linklist_funindex(linklist *x, long index, long (*fn)(void *, void *), void *arg)
{
    if (!x || !fn) return 0;
    void *value = linklist_getindex(x, index);
    return value ? fn(value, arg) : 0;
}

KEL_API void *linklist_substitute(linklist *x, void *old_value, void *new_value)
{
    if (!x) return nullptr;
    list_guard guard(x);
    linklist_element *e = x->cursor && x->cursor->value == old_value ? x->cursor : element_of(x, old_value);
    if (!e) return nullptr;
    e->value = new_value;
    return old_value;
}

namespace {

void *step_from(linklist *x, void *value, void **out, bool forward)
{
    if (out) *out = nullptr;
    if (!x) return nullptr;
    list_guard guard(x);
    linklist_element *e = x->cursor && x->cursor->value == value ? x->cursor : element_of(x, value);
    if (!e) return nullptr;
    linklist_element *to = forward ? e->next : e->prev;
    x->cursor = to;
    void *result = to ? to->value : nullptr;
    if (out) *out = result;
    return result;
}

}  // namespace

KEL_API void *linklist_next(linklist *x, void *value, void **out) { return step_from(x, value, out, true); }

KEL_API void *linklist_prev(linklist *x, void *value, void **out) { return step_from(x, value, out, false); }

KEL_API void *linklist_last(linklist *x, void **out)
{
    if (out) *out = nullptr;
    if (!x) return nullptr;
    list_guard guard(x);
    x->cursor = x->tail;
    void *result = x->tail ? x->tail->value : nullptr;
    if (out) *out = result;
    return result;
}

KEL_API void linklist_sort(linklist *x, long (*before)(void *, void *))
{
    if (!x || !before) return;
    list_guard guard(x);
    linklist_element *rest = x->head;
    x->head = x->tail = nullptr;
    long count = x->count;
    x->count = 0;
    while (rest) {
        linklist_element *e = rest;
        rest = rest->next;
        linklist_element *at = x->head;
        while (at && before(at->value, e->value)) at = at->next;
        link_before(x, e, at);
    }
    x->count = count;
}

KEL_API void linklist_readonly(linklist *x, long flag)
{
    if (!x) return;
    // Taken (when it was not read-only) so that no operation is half-way.
    bool was_locked = !x->readonly;
    if (was_locked) x->lock->lock();
    x->readonly = flag;
    if (was_locked) x->lock->unlock();
}

KEL_API void linklist_methodall_v(linklist *x, symbol *s, long nwords, ...)
{
    if (!x || !s) return;
    forward_args f{s, {}};
    va_list args;
    va_start(args, nwords);
    for (long i = 0; i < nwords && i < forwarded_words; i++) f.w[i] = va_arg(args, kel_word);
    va_end(args);
    linklist_walk(x, forward_method, &f);
}

KEL_API void *linklist_methodindex_v(linklist *x, long index, symbol *s, long nwords, ...)
{
    kel_word w[KEL_WORDS_MAX] = {};
    va_list args;
    va_start(args, nwords);
    for (long i = 0; i < nwords && i < KEL_WORDS_MAX; i++) w[i] = va_arg(args, kel_word);
    va_end(args);
    void *value = linklist_getindex(x, index);
    return value ? object_method_array(value, s, nwords, w) : nullptr;
}

namespace {

long symbol_name_before(void *a, void *b)
{
    return std::strcmp(static_cast<symbol *>(a)->name, static_cast<symbol *>(b)->name) <= 0;
}

}  // namespace

KEL_API long symbolarray_sort(long count, symbol **array)
{
    if (!array || count <= 0) return count == 0 ? 0 : -1;
    linklist *list = linklist_new();
    if (!list) return -1;
    for (long i = 0; i < count; i++) linklist_append(list, array[i]);
    linklist_sort(list, symbol_name_before);
    linklist_makearray(list, reinterpret_cast<void **>(array), count);
    linklist_chuck(list);
    return 0;
}
