// opened: documents of types the application does not open itself, offered
// to the patch.
#pragma once

namespace kel {

// Provides `opened` to the creation object.
bool opened_init();

// Offers the document file in path, of the given type, to every `opened`
// object that accepts the type: each records it, opens its own patcher file
// if it names one, and sends the document's name, path and type at low
// priority. True when at least one accepted it (the document counts as
// opened).
bool opened_offer(const char *file, short path, long type);

}  // namespace kel
