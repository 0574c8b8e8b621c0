// send, receive and value.
#pragma once

#include "kel/base.h"

namespace kel {

// Makes the classes and supplies their constructors to the creation object.
bool sendrecv_init();

// The outlet that carries a name's messages to its receivers when x is a
// name's through record; null for any other object.
outlet *through_outlet(object *x);

}  // namespace kel
