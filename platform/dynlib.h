// Code libraries loaded at run time.
#pragma once

#include <string>

namespace kel::platform {

struct dynlib;

// Opens the library at path (a file-system path in the system's encoding).
// Null on failure, with the system's error code and its text.
dynlib *dynlib_open(const std::string &path, int *error_code, std::string *message);

// The address of a symbol defined in this library itself: a symbol of the
// same name that the library only reaches through its dependencies (or the
// program's own main) is not its own and gives null.
void *dynlib_own_symbol(dynlib *lib, const char *name);

void dynlib_close(dynlib *lib);

}  // namespace kel::platform
