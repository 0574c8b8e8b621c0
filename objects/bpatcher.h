// bpatcher: a box that shows a patcher file inside its rectangle. Headless,
// the file is loaded as an abstraction is (found on the search path, with
// the arguments after its name, its own $0, its loadbang served with the
// patch), so its logic runs and its inlets and outlets take cords. The box
// line is written back exactly as it came; the file's contents never are.
#pragma once

namespace kel {

// Registers the `bpatcher` box kind and the `bpatcher` constructor.
bool bpatcher_init();

}  // namespace kel
