// The kernel's shared pseudo-random generator: the Park-Miller minimal
// standard generator (multiplier 16807, modulus 2^31-1) behind a 32-entry
// shuffle table. Exported as rerand; also used by symbol_unique, random
// objects and list shuffling.
#pragma once

namespace kel {

// Restarts the generator from seed (0 is replaced by 1: the generator must
// never hold 0).
void random_seed(long seed);

}  // namespace kel
