// The score follower `follow` (built on the sequencer of objects/seq.h).
#pragma once

namespace kel {

bool follow_init();

}  // namespace kel
