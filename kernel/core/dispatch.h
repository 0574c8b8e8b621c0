// Method lookup and typed dispatch.
#pragma once

#include "kel/base.h"

namespace kel {

// The lookup shared by typedmess, object_method_typed and the creation of
// objects by name: the entry for selector s with its fallbacks, reporting to
// the console when there is none (null then).
method_entry *dispatch_lookup(object *x, symbol *s);

// Checks and converts argv against the entry's argument types and calls its
// method; null when the arguments are refused.
void *dispatch_typed(object *x, method_entry *e, symbol *s, long argc, atom *argv);

// object_method with the raw words in an array (at most KEL_WORDS_MAX).
void *object_method_array(void *x, symbol *s, long nwords, const kel_word *words);

}  // namespace kel
