// messfilt and grab: sorting messages by selector, and catching what another
// object answers.
#pragma once

namespace kel {

// Provides `messfilt` and `grab` to the creation object.
bool filters_init();

}  // namespace kel
