// send, receive and value.
#pragma once

namespace kel {

// Makes the classes and supplies their constructors to the creation object.
bool sendrecv_init();

}  // namespace kel
