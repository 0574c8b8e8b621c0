#include "app/shell.h"

#include "kel/console.h"

namespace kel::app {

// Loading patchers arrives with the patcher module; until then a document
// on the command line is reported as not opened.
void open_document(const run_options &options) { error("%s: error opening file", options.file.c_str()); }

}  // namespace kel::app
