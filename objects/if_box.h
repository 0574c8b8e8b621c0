// The `if` box: a condition and the messages it chooses between.
#pragma once

namespace kel {

bool if_init();

}  // namespace kel
