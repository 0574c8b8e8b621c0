// error, key and keyup: console errors and key events as messages.
//
// `error` is on the kernel's error-subscriber list exactly while it is
// subscribed. Every `key` (and every `keyup`) has its three outlets among
// the receivers of its class's three broadcast points while it lives; the
// points, made with the first instance, live for the whole process.
#include "objects/console_events.h"

#include "kel/kel.h"
#include "kernel/core/classes.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/time/scheduler.h"
#include "objects/objects.h"

namespace kel {
namespace {

// --- error ---

struct error_object {
    object header;
    outlet *out;
    bool subscribed;
};

method_entry *g_error_class = nullptr;

void error_object_set(error_object *x, bool on)
{
    if (on == x->subscribed) return;
    x->subscribed = on;
    if (on)
        error_subscribe(x);
    else
        error_unsubscribe(x);
}

void *error_object_int(error_object *x, long n)
{
    error_object_set(x, n != 0);
    return nullptr;
}

void *error_object_float(error_object *x, double f)
{
    error_object_set(x, static_cast<long>(f) != 0);
    return nullptr;
}

// The kernel's delivery of one error line, already parsed into atoms.
void *error_object_error(error_object *x, symbol *, long argc, atom *argv)
{
    outlet_anything(x->out, sym_error, argc, argv);
    return nullptr;
}

void error_object_free(error_object *x) { error_object_set(x, false); }

void *error_object_new(long subscribed)
{
    bool ready = define_builder_class(&g_error_class, "error", as_method(&error_object_new),
                                      as_method(&error_object_free), sizeof(error_object), {ATYPE_DEFLONG}, [] {
                                          addint(as_method(&error_object_int));
                                          addfloat(as_method(&error_object_float));
                                          addmess(as_method(&error_object_error), "error", ATYPE_GIMME, 0);
                                      });
    if (!ready) return nullptr;
    auto *x = static_cast<error_object *>(newobject(g_error_class));
    if (!x) return nullptr;
    x->out = outlet_new(x, nullptr);
    x->subscribed = false;
    error_object_set(x, subscribed != 0);
    return x;
}

// --- key, keyup ---

struct key_object {
    object header;
    outlet *outs[3];  // character, key code, modifiers: left to right
    outlet **points;  // the class's broadcast points
};

// The record that owns a class's three broadcast points.
struct key_points {
    object header;
};

method_entry *g_key_class = nullptr;
method_entry *g_keyup_class = nullptr;
kel_class *g_key_points_class = nullptr;

// Makes the three points into points[] on first use. False when memory
// ran out; the points are then made by a later instance.
bool key_points_make(outlet **points)
{
    if (points[0] && points[1] && points[2]) return true;
    if (!g_key_points_class) {
        g_key_points_class = class_new("key points", nullptr, nullptr, sizeof(key_points), nullptr, 0);
        if (!g_key_points_class) return false;
        if (class_register(sym_nobox, g_key_points_class) != ERR_NONE) {
            class_free(g_key_points_class);
            g_key_points_class = nullptr;
            return false;
        }
    }
    auto *owner = static_cast<object *>(object_alloc(g_key_points_class));
    if (!owner) return false;
    outlet *made[3] = {};
    for (int k = 3; k-- > 0;) made[k] = intout(owner);
    if (!made[0] || !made[1] || !made[2]) {
        freeobject(owner);
        return false;
    }
    for (int k = 0; k < 3; k++) points[k] = made[k];
    return true;
}

void key_object_free(key_object *x)
{
    for (int k = 0; k < 3; k++)
        if (x->points && x->points[k] && x->outs[k]) outlet_rm(x->points[k], x->outs[k]);
}

// Output only: neither class has an inlet.
void *key_object_make(method_entry *table, outlet **points)
{
    class_noinlet(table);
    if (!key_points_make(points)) return nullptr;
    auto *x = static_cast<key_object *>(newobject(table));
    if (!x) return nullptr;
    x->points = points;
    for (int k = 3; k-- > 0;) x->outs[k] = intout(x);
    for (int k = 0; k < 3; k++) outlet_add(points[k], x->outs[k]);
    return x;
}

void *key_new()
{
    if (!define_builder_class(&g_key_class, "key", as_method(&key_new), as_method(&key_object_free), sizeof(key_object),
                              {}, [] {}))
        return nullptr;
    return key_object_make(g_key_class, key_report_outlets());
}

void *keyup_new()
{
    if (!define_builder_class(&g_keyup_class, "keyup", as_method(&keyup_new), as_method(&key_object_free),
                              sizeof(key_object), {}, [] {}))
        return nullptr;
    return key_object_make(g_keyup_class, keyup_report_outlets());
}

}  // namespace

bool console_events_init()
{
    return creation_provide("error", as_method(&error_object_new)) && creation_provide("key", as_method(&key_new)) &&
           creation_provide("keyup", as_method(&keyup_new));
}

}  // namespace kel
