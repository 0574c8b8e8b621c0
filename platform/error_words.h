// The words for the classic file-system and memory error codes that messages
// show beside the number: "error -43 (No such file or directory)".
#pragma once

namespace kel::toolbox {

// The system's words for code, or null for a code without words of its own.
const char *error_words(long code);

}  // namespace kel::toolbox
