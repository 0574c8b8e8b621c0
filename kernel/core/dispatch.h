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

// What lookup and object_method consult after a class's own methods. The
// attribute layer installs them at start-up; until then (and for members left
// null) there are no attributes and boxes hold nothing.
struct dispatch_fallbacks {
    // s names an attribute of x (or `get` + one): *entry is the static entry
    // that sets or reports it, or null when the attribute refuses users.
    bool (*attribute_entry)(object *x, symbol *s, method_entry **entry) = nullptr;
    // object_method on an obex class: s names an attribute, whose accessor
    // ran with the raw words; *result is its answer.
    bool (*attribute_call)(object *x, symbol *s, const kel_word *words, void **result) = nullptr;
    // The object an object box holds, which answers what the box does not.
    object *(*held_object)(object *box) = nullptr;
};
void dispatch_set_fallbacks(const dispatch_fallbacks &fallbacks);

// object_method with the raw words in an array (at most KEL_WORDS_MAX).
void *object_method_array(void *x, symbol *s, long nwords, const kel_word *words);

}  // namespace kel
