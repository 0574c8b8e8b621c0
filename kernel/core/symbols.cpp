#include "kernel/core/symbols.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kel/console.h"
#include "kel/linklist.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/settings.h"

namespace kel {

symbol *sym_bang, *sym_int, *sym_float, *sym_list, *sym_set, *sym_in1, *sym_in2, *sym_ft1, *sym_ft2, *sym_assist,
    *sym_anything, *sym_dblclick, *sym_click, *sym_enable, *sym_update, *sym_empty, *sym_symbol, *sym_free, *sym_fix,
    *sym_error, *sym_nobox, *sym_box, *sym_new;

namespace {

constexpr int static_slot_count = 1973;
constexpr uint32_t first_chain_count = 2048;
constexpr long max_name = symbol_name_max;  // longer names stand for their first 1999 characters
constexpr long name_block_size = 2000;
constexpr long records_per_block = 160;

const char *const static_names[] = {
#include "kernel/core/symbols_static.inc"
};
constexpr long static_count = sizeof(static_names) / sizeof(static_names[0]);

symbol g_static_records[static_count];
symbol *g_static_slots[static_slot_count];

// A record made at run time: the public symbol, the private chain link and
// the hash of its name.
struct dynamic_record {
    symbol sym;
    std::atomic<dynamic_record *> next;
    uint32_t hash;
};

// The chains, doubled whenever they hold two records each on average, so
// that lookups stay short however many names a long run makes. A replaced
// array is kept, never freed: a lock-free reader may still be walking it.
struct chain_table {
    uint32_t mask;
    std::atomic<dynamic_record *> *heads;
    chain_table *replaced;  // the smaller table this one took over from
};

chain_table *new_chain_table(uint32_t count)
{
    auto *heads = static_cast<std::atomic<dynamic_record *> *>(
        sysmem_newptrclear(static_cast<long>(count * sizeof(std::atomic<dynamic_record *>))));
    if (!heads) return nullptr;
    auto *t = static_cast<chain_table *>(sysmem_newptr(sizeof(chain_table)));
    if (!t) {
        sysmem_freeptr(heads);
        return nullptr;
    }
    t->mask = count - 1;
    t->heads = heads;
    t->replaced = nullptr;
    return t;
}

std::atomic<chain_table *> g_chains{nullptr};
std::atomic<bool> g_ready{false};
std::mutex g_init_lock;

// Guarded by g_table_lock.
std::mutex g_table_lock;
dynamic_record *g_record_block = nullptr;
long g_records_left = 0;
char *g_name_block = nullptr;
long g_name_left = 0;
long g_dynamic_count = 0;
size_t g_pool_bytes = 0;  // the record and name blocks taken from the pool
long g_pool_blocks = 0;

// The context prefix and flag.
char g_context[4] = "000";
std::atomic<bool> g_context_on{false};

// The unique-symbol state.
std::mutex g_unique_lock;
linklist *g_reuse_list = nullptr;
long g_unique_counter = 0;

bool names_equal(const char *stored, const char *name, size_t len)
{
    return std::strncmp(stored, name, len) == 0 && stored[len] == '\0';
}

// The chain hash of a name. Unlike the static table's hash, which reads
// eight characters at most, it reads the whole name: names that share their
// first eight characters ("voice_1", "voice_2", ...) are common and must not
// all land on one chain.
uint32_t name_hash(const char *name, size_t len)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; i++) h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    return h ^ (h >> 16);
}

symbol *static_find(const char *name, size_t len, uint16_t h)
{
    for (int slot = h % static_slot_count;; slot = (slot + 1) % static_slot_count) {
        symbol *s = g_static_slots[slot];
        if (!s) return nullptr;
        if (names_equal(s->name, name, len)) return s;
    }
}

// May miss a record while the chains are being doubled (never crash or
// loop): a miss is always checked again under the table lock.
dynamic_record *chain_find(const chain_table *t, const char *name, size_t len, uint32_t hash)
{
    for (dynamic_record *r = t->heads[hash & t->mask].load(std::memory_order_acquire); r;
         r = r->next.load(std::memory_order_acquire))
        if (r->hash == hash && names_equal(r->sym.name, name, len)) return r;
    return nullptr;
}

void push(chain_table *t, dynamic_record *r)
{
    std::atomic<dynamic_record *> &head = t->heads[r->hash & t->mask];
    r->next.store(head.load(std::memory_order_relaxed), std::memory_order_release);
    head.store(r, std::memory_order_release);
}

// Called with g_table_lock held. Each record is moved by pushing it on its
// new chain, old chains walked from their heads: a reader standing on any
// record still reaches null.
void grow_chains(chain_table *old)
{
    chain_table *t = new_chain_table((old->mask + 1) * 2);
    if (!t) return;  // lookups get slower, nothing else
    t->replaced = old;
    for (uint32_t i = 0; i <= old->mask; i++) {
        dynamic_record *r = old->heads[i].load(std::memory_order_relaxed);
        while (r) {
            dynamic_record *next = r->next.load(std::memory_order_relaxed);
            push(t, r);
            r = next;
        }
    }
    g_chains.store(t, std::memory_order_release);
}

// Called with g_table_lock held. Null when memory is exhausted; then nothing
// has changed.
dynamic_record *create(chain_table *t, const char *name, size_t len, uint32_t hash)
{
    if (g_records_left == 0) {
        auto *block = static_cast<dynamic_record *>(getbytes(records_per_block * sizeof(dynamic_record)));
        if (!block) return nullptr;
        g_pool_bytes += (records_per_block * sizeof(dynamic_record) + 7) & ~size_t{7};
        g_pool_blocks++;
        g_record_block = block;
        g_records_left = records_per_block;
    }
    if (g_name_left < static_cast<long>(len) + 1) {
        auto *block = static_cast<char *>(getbytes(name_block_size));
        if (!block) return nullptr;
        g_pool_bytes += (name_block_size + 7) & ~7;
        g_pool_blocks++;
        g_name_block = block;  // what was left of the old block is abandoned
        g_name_left = name_block_size;
    }
    char *stored = g_name_block;
    std::memcpy(stored, name, len);
    stored[len] = '\0';
    g_name_block += len + 1;
    g_name_left -= static_cast<long>(len) + 1;

    dynamic_record *r = new (g_record_block++) dynamic_record;
    g_records_left--;
    r->sym.name = stored;
    r->sym.thing = nullptr;
    r->hash = hash;
    push(t, r);
    if (++g_dynamic_count > 2 * static_cast<long>(t->mask + 1)) grow_chains(t);
    return r;
}

symbol *lookup_static(const char *name)
{
    size_t len = std::strlen(name);
    return static_find(name, len, symbol_hash(name));
}

}  // namespace

uint16_t symbol_hash(const char *name)
{
    int sum = 0;
    for (int i = 0; i < 8 && name[i]; i++) sum += 4 * static_cast<signed char>(name[i]);
    return static_cast<uint16_t>(sum);
}

void symbols_init()
{
    if (g_ready.load(std::memory_order_acquire)) return;
    std::lock_guard guard(g_init_lock);
    if (g_ready.load(std::memory_order_relaxed)) return;
    for (long i = 0; i < static_count; i++) {
        symbol *s = &g_static_records[i];
        s->name = static_names[i];
        s->thing = nullptr;
        int slot = symbol_hash(s->name) % static_slot_count;
        while (g_static_slots[slot]) slot = (slot + 1) % static_slot_count;
        g_static_slots[slot] = s;
    }
    g_chains.store(new_chain_table(first_chain_count), std::memory_order_release);
    sym_bang = lookup_static("bang");
    sym_int = lookup_static("int");
    sym_float = lookup_static("float");
    sym_list = lookup_static("list");
    sym_set = lookup_static("set");
    sym_in1 = lookup_static("in1");
    sym_in2 = lookup_static("in2");
    sym_ft1 = lookup_static("ft1");
    sym_ft2 = lookup_static("ft2");
    sym_assist = lookup_static("assist");
    sym_anything = lookup_static("anything");
    sym_dblclick = lookup_static("dblclick");
    sym_click = lookup_static("click");
    sym_enable = lookup_static("enable");
    sym_update = lookup_static("update");
    sym_empty = lookup_static("");
    sym_symbol = lookup_static("symbol");
    sym_free = lookup_static("free");
    sym_fix = lookup_static("fix");
    sym_error = lookup_static("error");
    sym_new = lookup_static("new");
    g_ready.store(true, std::memory_order_release);
    // Not static names: made once the table can make names.
    sym_nobox = gensym("nobox");
    sym_box = gensym("box");
}

long symbols_static_count() { return static_count; }

void symbols_pool_held(long *bytes, long *blocks)
{
    std::lock_guard guard(g_table_lock);
    *bytes = static_cast<long>(g_pool_bytes);
    *blocks = g_pool_blocks;
}

long symbols_total_count()
{
    std::lock_guard guard(g_table_lock);
    return static_count + g_dynamic_count;
}

void symbols_post_statistics()
{
    long total;
    {
        std::lock_guard guard(g_table_lock);
        total = static_count + g_dynamic_count;
    }
    post("%ld static symbols", static_count);
    post("%ld symbols in memory", total);
}

symbol *symbols_static_at(long i) { return i >= 0 && i < static_count ? &g_static_records[i] : nullptr; }

long symbols_static_slot(const symbol *s)
{
    for (int i = 0; i < static_slot_count; i++)
        if (g_static_slots[i] == s) return i;
    return -1;
}

void symbol_unique_slate(symbol *s)
{
    std::lock_guard guard(g_unique_lock);
    if (!g_reuse_list) g_reuse_list = linklist_new();
    // A name waits on the list once: handed out twice, it would name two
    // objects.
    if (g_reuse_list && linklist_objptr2index(g_reuse_list, s) < 0) linklist_append(g_reuse_list, s);
}

void symbol_unique_unslate(symbol *s)
{
    std::lock_guard guard(g_unique_lock);
    long index = g_reuse_list ? linklist_objptr2index(g_reuse_list, s) : -1;
    if (index >= 0) linklist_chuckindex(g_reuse_list, index);
}

long symbol_unique_reuse_count()
{
    std::lock_guard guard(g_unique_lock);
    return linklist_getsize(g_reuse_list);
}

}  // namespace kel

using namespace kel;

KEL_API symbol *gensym(const char *name)
{
    if (!g_ready.load(std::memory_order_acquire)) symbols_init();
    if (!name) name = "";

    // Context rewriting: "---x" is looked up as the three context digits
    // followed by "x".
    char rewritten[name_block_size];
    if (g_context_on.load(std::memory_order_relaxed) && name[0] == '-' && name[1] == '-' && name[2] == '-' &&
        name[3] != '-') {
        std::lock_guard guard(g_table_lock);
        std::memcpy(rewritten, g_context, 3);
        size_t rest = strnlen(name + 3, max_name - 3);
        std::memcpy(rewritten + 3, name + 3, rest);
        rewritten[3 + rest] = '\0';
        name = rewritten;
    }

    size_t len = strnlen(name, max_name + 1);
    if (len > static_cast<size_t>(max_name)) len = max_name;
    if (symbol *s = static_find(name, len, symbol_hash(name))) return s;
    uint32_t hash = name_hash(name, len);
    if (dynamic_record *r = chain_find(g_chains.load(std::memory_order_acquire), name, len, hash)) return &r->sym;

    std::lock_guard guard(g_table_lock);
    // Another thread may have made it between the lock-free walk and now.
    chain_table *t = g_chains.load(std::memory_order_relaxed);
    if (dynamic_record *r = chain_find(t, name, len, hash)) return &r->sym;
    dynamic_record *r = create(t, name, len, hash);
    return r ? &r->sym : nullptr;
}

KEL_API symbol *symbol_unique(void)
{
    {
        std::lock_guard guard(g_unique_lock);
        if (g_reuse_list && linklist_getsize(g_reuse_list) > 10000) {
            auto *s = static_cast<symbol *>(linklist_getindex(g_reuse_list, 0));
            linklist_chuckindex(g_reuse_list, 0);
            if (developer()) post("symbol_unique: reusing %s", s->name);
            return s;
        }
    }
    long counter, r;
    {
        std::lock_guard guard(g_unique_lock);
        counter = ++g_unique_counter;
    }
    r = rerand();
    char name[32];
    std::snprintf(name, sizeof name, "u%03ld%06ld", r % 1000, counter);
    return gensym(name);
}

KEL_API void utils_setcontext(void *, long n)
{
    long v = n % 1000;
    if (v < 0) v = -v;
    std::lock_guard guard(g_table_lock);
    g_context[0] = static_cast<char>('0' + v / 100);
    g_context[1] = static_cast<char>('0' + v / 10 % 10);
    g_context[2] = static_cast<char>('0' + v % 10);
}

KEL_API short utils_usecontext(short flag) { return g_context_on.exchange(flag != 0) ? 1 : 0; }
