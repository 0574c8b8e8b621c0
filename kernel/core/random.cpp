#include "kernel/core/random.h"

#include <mutex>

#include "kel/symbols.h"
#include "platform/datetime.h"

namespace kel {
namespace {

constexpr long multiplier = 16807;
constexpr long modulus = 2147483647;
constexpr long quotient = modulus / multiplier;   // Schrage's method keeps the
constexpr long remainder = modulus % multiplier;  // product inside 32 bits
constexpr int table_size = 32;
constexpr long divisor = 1 + (modulus - 1) / table_size;

struct generator {
    std::mutex lock;
    long state = 0;
    long last = 0;
    long table[table_size] = {};
    bool seeded = false;
};

generator &the_generator()
{
    static generator g;
    return g;
}

long step(long x)
{
    long k = x / quotient;
    x = multiplier * (x - k * quotient) - remainder * k;
    return x < 0 ? x + modulus : x;
}

void seed_locked(generator &g, long seed)
{
    long x = seed % modulus;
    if (x < 0) x = -x;
    if (x == 0) x = 1;
    for (int j = table_size + 7; j >= 0; j--) {
        x = step(x);
        if (j < table_size) g.table[j] = x;
    }
    g.state = x;
    g.last = g.table[0];
    g.seeded = true;
}

}  // namespace

void random_seed(long seed)
{
    generator &g = the_generator();
    std::lock_guard guard(g.lock);
    seed_locked(g, seed);
}

}  // namespace kel

extern "C" KEL_API long rerand(void)
{
    using namespace kel;
    generator &g = the_generator();
    std::lock_guard guard(g.lock);
    if (!g.seeded) seed_locked(g, static_cast<long>(toolbox::TickCount()));
    g.state = step(g.state);
    int j = static_cast<int>(g.last / divisor);
    g.last = g.table[j];
    g.table[j] = g.state;
    return g.last;
}
