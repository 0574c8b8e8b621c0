// Attributes: named, typed settings of an object, each an attribute object
// that reads and writes the value, with optional filters; the class and
// instance attribute tables; the per-instance obex table.
//
// Invariants: an attribute record's plain accessors are never null (the
// built-in ones stand in); an attribute owns its filters and, for the
// self-storing kind, its storage of size elements; a class's attribute table
// is consulted before the instance's own (the obex entry `attributes`), so a
// class attribute shadows an instance attribute of the same name.
#pragma once

#include "kel/attributes.h"
#include "kel/base.h"
#include "kel/hashtab.h"

namespace kel {

struct attr_record {
    object header;
    symbol *name;
    symbol *type;
    long flags;
    kel_method get;  // (owner, attribute, long *ac, atom **av)
    kel_method set;  // (owner, attribute, long ac, atom *av)
    object *filterget;
    object *filterset;
    long offset;       // attr_offset, attr_offset_array: the value's byte offset in its owner
    long offsetcount;  // attr_offset_array: the byte offset of the element count (a C long)
    long size;         // the most elements the value holds: 1 except for arrays
    char *storage;     // attribute: size elements, cleared at creation
};

// Makes the attribute classes and the static dispatch entries (start-up).
bool attributes_init();
// Makes the filter classes (start-up).
bool attribute_filters_init();

// The record when x is an attribute object made by this kernel, else null.
attr_record *attr_cast(void *x);

// The bytes one element of a type takes; 0 for an unknown type.
long attr_element_size(symbol *type);

// Installs a filter for the getter (get true) or the setter; the attribute
// owns it and frees the one it replaces. -1 when filter has no `filter`
// method, -2 for a null attribute.
long attr_install_filter(object *attr, object *filter, bool get);

// The attribute of x named name: the class table, the instance's own, then
// the object's attr_get method; null for classes without attribute dispatch.
object *attr_lookup(object *x, symbol *name);

// Typed dispatch, lookup step 3: true when s names an attribute of x (or is
// `get` + one); *entry is then the static entry that sets or dumps it, or
// null when the attribute refuses users (the message stops silently).
bool attr_dispatch_lookup(object *x, symbol *s, method_entry **entry);

// object_method on an obex class: true when s names an attribute (or `get` +
// one); its accessor ran with the raw words and *result is its answer.
bool attr_method_call(object *x, symbol *s, const kel_word *words, void **result);

// The instance's obex table, or null (no obex offset, or none made).
hashtab *obex_table(object *x);

// The object an object box holds, for attribute access through the box.
// Until the patcher layer installs one, boxes hold nothing of their own.
using box_target_function = object *(*)(object *box);
void attr_set_box_target(box_target_function fn);
// The object x holds when x is an object box, else null.
object *box_held_object(object *x);

}  // namespace kel
