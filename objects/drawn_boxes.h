// The objects that only draw, or act on windows and menus: `picture`,
// `graphic`, `menubar`, `findwindow`, `onecopy`, `thisobject`, `timeline`.
// Headless each is made with its arguments and does nothing: it accepts
// every message and sends none, and grows the inlets and outlets that the
// cords of a file ask for. Made by an "#N" line of a file, it makes nothing
// at all: the line and the data lines after it are kept with the box that
// follows and written back unchanged.
#pragma once

namespace kel {

// Makes the classes and supplies their constructors to the creation object.
bool drawn_boxes_init();

}  // namespace kel
