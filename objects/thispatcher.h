// thispatcher: messages to the patcher the object sits in.
#pragma once

namespace kel {

// Makes the class and supplies its constructor to the creation object.
bool thispatcher_init();

}  // namespace kel
