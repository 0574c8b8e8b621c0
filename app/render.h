// Pictures of patchers: an SVG document of a patcher as its file lays it
// out, drawn from the loaded model without running it.
#pragma once

#include <functional>
#include <string>

#include "app/options.h"

struct patcher;

namespace kel::app {

struct render_settings {
    bool hidden = false;  // draw hidden boxes and cords too (marked as hidden)
    std::string title;    // the picture's title (UTF-8)
    // The link of the box holding the subpatcher sub (a relative URL, not
    // yet escaped), or empty for none. May be empty.
    std::function<std::string(patcher *sub)> link;
};

// Appends the picture of p (its boxes and cords, not those of its
// subpatchers) to out as a standalone SVG document.
void render_patcher(patcher *p, const render_settings &settings, std::string &out);

// Draws the loaded command-line document p as the options say: --render
// OUT, --render-dir DIR (one file per subpatcher). Files are written whole
// or not at all: an old file is kept when writing fails. False after a
// console error.
bool render_document(patcher *p, const run_options &options);

}  // namespace kel::app
