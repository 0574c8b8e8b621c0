#include "kernel/wires/wire_pairs.h"

#include <cstddef>
#include <mutex>
#include <new>
#include <unordered_map>

#include "kel/console.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"

namespace kel {
namespace {

struct pair_key {
    const outlet *o;
    const object *receiver;
    bool operator==(const pair_key &) const = default;
};

struct pair_hash {
    size_t operator()(const pair_key &k) const noexcept
    {
        auto h = reinterpret_cast<uintptr_t>(k.o) * 0x9E3779B97F4A7C15ull;
        h ^= reinterpret_cast<uintptr_t>(k.receiver) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
        return static_cast<size_t>(h ^ (h >> 31));
    }
};

using pair_map = std::unordered_map<pair_key, wire_pair, pair_hash>;

// Never destroyed: outlets freed while the program exits still look here.
pair_map &pairs()
{
    static auto *map = new pair_map;
    return *map;
}

// The quiet periods, under the global lock like the pairs.
uint32_t g_period = 0;       // the quiet period in force, 0 outside one
uint32_t g_last_period = 0;  // the number the last period had
int g_quiet_depth = 0;
long g_repeats = 0;  // duplicate warnings not given in this period

}  // namespace

wire_pair *wire_pair_find(const outlet *o, const object *receiver)
{
    pair_map &map = pairs();
    auto it = map.find({o, receiver});
    return it == map.end() ? nullptr : &it->second;
}

wire_pair *wire_pair_get(const outlet *o, const object *receiver)
{
    try {
        return &pairs().try_emplace({o, receiver}).first->second;
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return nullptr;
    }
}

void wire_pair_settle(const outlet *o, const object *receiver)
{
    pair_map &map = pairs();
    auto it = map.find({o, receiver});
    if (it != map.end() && !it->second.newest && !it->second.src) map.erase(it);
}

duplicate_reports_quiet::duplicate_reports_quiet()
{
    std::lock_guard guard(global_lock());
    if (g_quiet_depth++ > 0) return;
    g_period = ++g_last_period;
    if (g_period == 0) g_period = ++g_last_period;  // 0 stands for no period
    g_repeats = 0;
}

duplicate_reports_quiet::~duplicate_reports_quiet()
{
    long repeats = 0;
    {
        std::lock_guard guard(global_lock());
        if (--g_quiet_depth > 0) return;
        g_period = 0;
        repeats = g_repeats;
        g_repeats = 0;
    }
    if (repeats > 0) warning("outlet_add: already in table, %ld more times", repeats);
}

bool duplicate_report_due(uint32_t &mark, bool counted)
{
    if (g_period == 0) return true;
    if (mark != g_period) {
        mark = g_period;
        return true;
    }
    if (counted) g_repeats++;
    return false;
}

}  // namespace kel
