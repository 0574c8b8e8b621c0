// The records of the kernel's box classes, shared by the box module (which
// makes and frees them) and the saver (which writes them).
#pragma once

#include <cstdint>

#include "kel/binbuf.h"
#include "kel/outlets.h"
#include "kel/patcher.h"

namespace kel {

// An object box: its text and the object made from it.
// The small fields come last, so that the record has no padding inside:
// a patch may hold millions of these.
struct newobj_box {
    box b;
    atombuf *text;
    symbol *font_name;  // the `window setfont` name in force when it was made, or null
    binbuf *kept;       // a placeholder's "#N" line and "#X" data lines, written back on save
    int32_t font;
    short linecount;
};

struct comment_box {
    box b;
    atombuf *text;
    symbol *font_name;
    int32_t font;
};

// A box of a kind whose class is not here (button, number, ...), or of an
// external user-interface class that could not be made: its layout atoms
// are kept as they came and written back unchanged.
struct kept_box {
    box b;
    symbol *kind;
    bool user;  // written as "#P user kind ..."
    atombuf *layout;
};

// An inlet or outlet box: it stands for an inlet (outlet) of its patcher,
// which is its container box's object.
struct port_box {
    box b;
    atombuf *layout;
    inlet *container_inlet;    // inlet boxes: the patcher's inlet
    outlet *container_outlet;  // outlet boxes: the patcher's outlet
};

// Their psave methods (patcher_save.cpp): each appends the box's lines.
void *newobj_psave(newobj_box *nb, binbuf *dest);
void *comment_psave(comment_box *cb, binbuf *dest);
void *kept_psave(kept_box *kb, binbuf *dest);
void *port_psave(port_box *pb, binbuf *dest);

}  // namespace kel
