// Time objects: metro, delay, pipe, timer, line, makenote, stripnote, sustain.
#pragma once

namespace kel {

// Makes the classes and supplies their constructors to the creation object.
bool time_objects_init();

}  // namespace kel
