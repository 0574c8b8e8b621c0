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

// Why the file at path cannot be a code library for this program (not one,
// one for another machine, a program, cut short), or empty when it may be.
// dynlib_open refuses such a file before the system loader maps it: mapping
// a cut-short library ends the process.
std::string library_file_problem(const std::string &path);

// True when the file's full symbol table defines name without exporting it
// (local, or of a visibility other than default).
bool symbol_hidden_in_file(const std::string &path, const char *name);

}  // namespace kel::platform
