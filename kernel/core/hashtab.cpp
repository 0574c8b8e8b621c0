#include "kernel/core/hashtab.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/dispatch.h"
#include "kernel/core/linklist.h"
#include "kernel/core/objects.h"

namespace kel {
namespace {

constexpr long default_slots = 59;
constexpr long max_slots = 8191;
constexpr int forwarded_words = 14;

kel_class *g_hashtab_class = nullptr;
kel_class *g_entry_class = nullptr;
std::atomic<long> g_slot_lists{0};

long slot_of(const hashtab *x, const symbol *key)
{
    return static_cast<long>(reinterpret_cast<uintptr_t>(key) % static_cast<uintptr_t>(x->slotcount));
}

// The entry for key in its slot list, found under the list's lock.
hashtab_entry *find_entry(hashtab *x, symbol *key)
{
    linklist *list = x->slots[slot_of(x, key)];
    if (!list) return nullptr;
    list_guard guard(list);
    for (linklist_element *e = list->head; e; e = e->next) {
        auto *entry = static_cast<hashtab_entry *>(e->value);
        if (entry && entry->key == key) return entry;
    }
    return nullptr;
}

// Removes key's entry; its value is freed with the entry unless chuck.
long remove_key(hashtab *x, symbol *key, bool chuck)
{
    if (!x) return -1;
    linklist *list = x->slots[slot_of(x, key)];
    if (!list) return -1;
    hashtab_entry *entry = nullptr;
    {
        list_guard guard(list);
        for (linklist_element *e = list->head; e; e = e->next) {
            auto *candidate = static_cast<hashtab_entry *>(e->value);
            if (candidate && candidate->key == key) {
                entry = candidate;
                linklist_chuckptr(list, entry);
                break;
            }
        }
    }
    if (!entry) return -1;
    if (chuck) entry->value = nullptr;
    freeobject(entry);
    // Dependents hear hashtab_entry_free with the key here once objects can
    // be attached to.
    return 0;
}

long store(hashtab *x, symbol *key, void *value, bool free_old)
{
    if (!x) return -1;
    if (hashtab_entry *entry = find_entry(x, key)) {
        void *old = entry->value;
        entry->value = value;
        // Only a value that is an object is freed: a table may hold symbols
        // or plain numbers as values, as entry_free also allows.
        if (free_old && old && old != value && object_valid_checked(old)) freeobject(old);
        return 0;
    }
    linklist *&list = x->slots[slot_of(x, key)];
    if (!list) {
        list = linklist_new();
        // Nothing is stored, and the caller hears so: a store that answered
        // success without storing would lose the value silently.
        if (!list) return -1;
        g_slot_lists.fetch_add(1, std::memory_order_relaxed);
        if (x->readonly) linklist_readonly(list, 1);
    }
    auto *entry = static_cast<hashtab_entry *>(object_alloc(hashtab_entry_class()));
    if (!entry) return -1;
    entry->key = key;
    entry->value = value;
    if (linklist_append(list, entry) < 0) {
        entry->value = nullptr;
        freeobject(entry);
        return -1;
    }
    // Dependents hear hashtab_entry_new with the key here once objects can be
    // attached to.
    return 0;
}

void free_slots(hashtab *x)
{
    for (long i = 0; i < x->slotcount; i++) {
        if (x->slots[i]) {
            freeobject(x->slots[i]);
            x->slots[i] = nullptr;
            g_slot_lists.fetch_sub(1, std::memory_order_relaxed);
        }
    }
}

void detach_value(void *entry, void *) { static_cast<hashtab_entry *>(entry)->value = nullptr; }

// --- the entry class ---

void entry_free(hashtab_entry *entry)
{
    if (entry->value && object_valid_checked(entry->value)) freeobject(entry->value);
}

using word = kel_word;

void *entry_forward(hashtab_entry *entry, symbol *s, word w0, word w1, word w2, word w3, word w4, word w5, word w6,
                    word w7, word w8, word w9, word w10, word w11, word w12, word w13)
{
    if (!object_valid_checked(entry->value)) return nullptr;
    kel_word w[] = {w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13};
    return object_method_array(entry->value, s, forwarded_words, w);
}

// --- the table's message interface ---

long msg_class_hashtab(hashtab *) { return 1; }
long msg_store(hashtab *x, symbol *k, void *v) { return hashtab_store(x, k, v); }
long msg_lookup(hashtab *x, symbol *k, void **out) { return hashtab_lookup(x, k, out); }
long msg_delete(hashtab *x, symbol *k) { return hashtab_delete(x, k); }
long msg_clear(hashtab *x) { return hashtab_clear(x); }
long msg_chuckkey(hashtab *x, symbol *k) { return hashtab_chuckkey(x, k); }
long msg_chuck(hashtab *x) { return hashtab_chuck(x); }
long msg_getsize(hashtab *x) { return hashtab_getsize(x); }
long msg_print(hashtab *x) { return hashtab_print(x); }
long msg_findfirst(hashtab *x, void **out, long (*test)(void *, void *), void *arg)
{
    return hashtab_findfirst(x, out, test, arg);
}
long msg_funall(hashtab *x, void (*fn)(hashtab_entry *, void *), void *arg) { return hashtab_funall(x, fn, arg); }
long msg_getkeys(hashtab *x, long *count, symbol ***keys) { return hashtab_getkeys(x, count, keys); }
long msg_readonly(hashtab *x, word flag) { return hashtab_readonly(x, static_cast<long>(flag)); }

struct forward_args {
    symbol *s;
    kel_word w[forwarded_words];
};

void forward_to_entry(hashtab_entry *entry, void *arg)
{
    auto *f = static_cast<forward_args *>(arg);
    static symbol *const s_forward = gensym("forward");
    object_method(entry, s_forward, f->s, f->w[0], f->w[1], f->w[2], f->w[3], f->w[4], f->w[5], f->w[6], f->w[7],
                  f->w[8], f->w[9], f->w[10], f->w[11], f->w[12], f->w[13]);
}

long methodall(hashtab *x, forward_args *f) { return hashtab_funall(x, forward_to_entry, f); }

long msg_methodall(hashtab *x, symbol *s, word w0, word w1, word w2, word w3, word w4, word w5, word w6, word w7,
                   word w8, word w9, word w10, word w11, word w12, word w13)
{
    forward_args f{s, {w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13}};
    return methodall(x, &f);
}

void *table_new(word slots) { return hashtab_new(static_cast<long>(slots)); }

}  // namespace

kel_class *hashtab_entry_class()
{
    if (g_entry_class) return g_entry_class;
    kel_class *c = class_new("hashtab_entry", nullptr, reinterpret_cast<kel_method>(&entry_free), sizeof(hashtab_entry),
                             nullptr, 0);
    if (!c) return nullptr;
    class_addmethod(c, reinterpret_cast<kel_method>(&entry_forward), "forward", ATYPE_CANT, 0);
    g_entry_class = c;
    return c;
}

kel_class *hashtab_class()
{
    if (g_hashtab_class) return g_hashtab_class;
    kel_class *c = class_new("hashtab", reinterpret_cast<kel_method>(&table_new),
                             reinterpret_cast<kel_method>(&hashtab_free), sizeof(hashtab), nullptr, ATYPE_DEFLONG, 0);
    if (!c) return nullptr;
    struct {
        const char *name;
        kel_method fn;
    } const methods[] = {
        {"class_hashtab", reinterpret_cast<kel_method>(&msg_class_hashtab)},
        {"store", reinterpret_cast<kel_method>(&msg_store)},
        {"lookup", reinterpret_cast<kel_method>(&msg_lookup)},
        {"delete", reinterpret_cast<kel_method>(&msg_delete)},
        {"clear", reinterpret_cast<kel_method>(&msg_clear)},
        {"chuckkey", reinterpret_cast<kel_method>(&msg_chuckkey)},
        {"chuck", reinterpret_cast<kel_method>(&msg_chuck)},
        {"getsize", reinterpret_cast<kel_method>(&msg_getsize)},
        {"print", reinterpret_cast<kel_method>(&msg_print)},
        {"findfirst", reinterpret_cast<kel_method>(&msg_findfirst)},
        {"methodall", reinterpret_cast<kel_method>(&msg_methodall)},
        {"funall", reinterpret_cast<kel_method>(&msg_funall)},
        {"getkeys", reinterpret_cast<kel_method>(&msg_getkeys)},
        {"readonly", reinterpret_cast<kel_method>(&msg_readonly)},
    };
    for (const auto &m : methods) class_addmethod(c, m.fn, m.name, ATYPE_CANT, 0);
    g_hashtab_class = c;
    return c;
}

long hashtab_slot_lists() { return g_slot_lists.load(std::memory_order_relaxed); }

}  // namespace kel

using namespace kel;

KEL_API hashtab *hashtab_new(long slots)
{
    if (slots <= 0) slots = default_slots;
    if (slots > max_slots) slots = max_slots;
    if (slots % 2 == 0) slots++;
    kel_class *c = hashtab_class();
    auto *x = c ? static_cast<hashtab *>(object_alloc(c)) : nullptr;
    if (!x) return nullptr;
    long bytes = slots * static_cast<long>(sizeof(linklist *));
    x->slots = static_cast<linklist **>(getbytes(bytes));
    if (!x->slots) {
        x->header.magic = 0;
        freebytes(x, sizeof(hashtab));
        return nullptr;
    }
    std::memset(x->slots, 0, static_cast<size_t>(bytes));
    x->slotcount = slots;
    x->readonly = 0;
    return x;
}

KEL_API long hashtab_store(hashtab *x, symbol *key, void *value) { return store(x, key, value, true); }

KEL_API long hashtab_store_safe(hashtab *x, symbol *key, void *value) { return store(x, key, value, false); }

KEL_API long hashtab_lookup(hashtab *x, symbol *key, void **out)
{
    if (!out) return -1;
    hashtab_entry *entry = x ? find_entry(x, key) : nullptr;
    *out = entry ? entry->value : nullptr;
    return entry ? 0 : -1;
}

KEL_API long hashtab_delete(hashtab *x, symbol *key) { return remove_key(x, key, false); }

KEL_API long hashtab_chuckkey(hashtab *x, symbol *key) { return remove_key(x, key, true); }

KEL_API long hashtab_clear(hashtab *x)
{
    if (!x) return -1;
    // The slot lists stay (see the invariant): a walk of this table may be
    // standing on one of them when a callback clears the table.
    for (long i = 0; i < x->slotcount; i++) linklist_clear(x->slots[i]);
    // Dependents hear hashtab_free here once objects can be attached to.
    return 0;
}

KEL_API long hashtab_chuck(hashtab *x)
{
    if (!x) return -1;
    for (long i = 0; i < x->slotcount; i++)
        if (x->slots[i]) linklist_funall(x->slots[i], detach_value, nullptr);
    freeobject(x);
    return 0;
}

KEL_API void hashtab_free(hashtab *x)
{
    if (!x) return;
    if (x->slots) {
        free_slots(x);
        freebytes(x->slots, x->slotcount * static_cast<long>(sizeof(linklist *)));
        x->slots = nullptr;
    }
}

KEL_API long hashtab_getsize(hashtab *x)
{
    if (!x) return 0;
    long total = 0;
    for (long i = 0; i < x->slotcount; i++) total += linklist_getsize(x->slots[i]);
    return total;
}

KEL_API long hashtab_getslotcount(hashtab *x) { return x ? x->slotcount : 0; }

KEL_API long hashtab_getkeys(hashtab *x, long *count, symbol ***keys)
{
    if (!x || !count || !keys) return -1;
    long limit = *count;
    if (!*keys || limit <= 0) {
        limit = hashtab_getsize(x);
        *keys = nullptr;
        *count = 0;
        if (limit == 0) return 0;
        *keys = static_cast<symbol **>(getbytes(limit * static_cast<long>(sizeof(symbol *))));
        if (!*keys) return -1;
    }
    long n = 0;
    for (long i = 0; i < x->slotcount && n < limit; i++) {
        linklist *list = x->slots[i];
        if (!list) continue;
        list_guard guard(list);
        for (linklist_element *e = list->head; e && n < limit; e = e->next)
            (*keys)[n++] = static_cast<hashtab_entry *>(e->value)->key;
    }
    *count = n;
    return 0;
}

KEL_API long hashtab_findfirst(hashtab *x, void **out, long (*test)(void *, void *), void *arg)
{
    if (out) *out = nullptr;
    if (!x || !test) return -1;
    for (long i = 0; i < x->slotcount; i++) {
        linklist *list = x->slots[i];
        if (!list) continue;
        list_guard guard(list);
        for (linklist_element *e = list->head; e; e = e->next) {
            void *value = static_cast<hashtab_entry *>(e->value)->value;
            if (test(value, arg)) {
                if (out) *out = value;
                return 0;
            }
        }
    }
    return -1;
}

KEL_API long hashtab_funall(hashtab *x, void (*fn)(hashtab_entry *, void *), void *arg)
{
    if (!x || !fn) return -1;
    // The slots' lists hold entries: each is handed to fn as the entry it is.
    struct entry_walk {
        void (*fn)(hashtab_entry *, void *);
        void *arg;
    } walk{fn, arg};
    auto each = [](void *value, void *w) {
        auto *to = static_cast<entry_walk *>(w);
        to->fn(static_cast<hashtab_entry *>(value), to->arg);
    };
    for (long i = 0; i < x->slotcount; i++)
        if (x->slots[i]) linklist_walk(x->slots[i], each, &walk);
    return 0;
}

KEL_API long hashtab_readonly(hashtab *x, long flag)
{
    if (!x) return -1;
    x->readonly = flag;
    for (long i = 0; i < x->slotcount; i++)
        if (x->slots[i]) linklist_readonly(x->slots[i], flag);
    return 0;
}

KEL_API long hashtab_print(hashtab *x)
{
    if (!x) return -1;
    long total = 0, used = 0, most = 0;
    for (long i = 0; i < x->slotcount; i++) {
        long n = linklist_getsize(x->slots[i]);
        if (!n) continue;
        post("slot[%ld] contains %ld entries", i, n);
        total += n;
        used++;
        if (n > most) most = n;
    }
    post("total size is %ld entries", total);
    post("using %ld out of %ld slots", used, x->slotcount);
    post("average entries per non-empty slot is %f",
         used ? static_cast<double>(total) / static_cast<double>(used) : 0.0);
    post("maximum entries in a slot is %ld", most);
    return 0;
}

KEL_API symbol *hashtab_entry_key(hashtab_entry *e) { return e ? e->key : nullptr; }

KEL_API void *hashtab_entry_value(hashtab_entry *e) { return e ? e->value : nullptr; }

KEL_API long hashtab_methodall_v(hashtab *x, symbol *s, long nwords, ...)
{
    if (!x || !s) return -1;
    forward_args f{s, {}};
    va_list args;
    va_start(args, nwords);
    for (long i = 0; i < nwords && i < forwarded_words; i++) f.w[i] = va_arg(args, kel_word);
    va_end(args);
    return methodall(x, &f);
}
