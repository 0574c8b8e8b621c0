// Attribute filters: objects with a `filter` method that rewrite the atoms
// of a get or set in place. `attr_filter_clip` scales and clips numbers;
// `attr_filter_proc` hands the atoms to a procedure of the external's own.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/registry/attributes.h"

namespace kel {
namespace {

struct clip_filter {
    object header;
    symbol *type;  // the attribute's type: integers stay integers
    double scale;
    double min;
    double max;
    long usescale;
    long usemin;
    long usemax;
};

struct proc_filter {
    object header;
    kel_method proc;
};

kel_class *g_clip_class = nullptr;
kel_class *g_proc_class = nullptr;
symbol *g_char, *g_long, *g_float32, *g_float64;

atom_long to_integer(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (v <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<atom_long>(v);
}

// x = the atom as a number; x × scale when usescale; then the bounds in use;
// back to an integer (truncated) for char and long, to a float for float32
// and float64. Other types, and atoms that are not numbers, stay as they are.
long clip_run(clip_filter *f, void *, object *, long ac, atom *av)
{
    symbol *t = f->type;
    bool integer = t == g_char || t == g_long;
    bool real = t == g_float32 || t == g_float64;
    if (!integer && !real) return ERR_NONE;
    for (long i = 0; i < ac; i++) {
        atom &a = av[i];
        double x;
        if (a.type == ATYPE_LONG)
            x = a.word.w_long;
        else if (a.type == ATYPE_FLOAT)
            x = a.word.w_float;
        else
            continue;
        if (f->usescale) x *= f->scale;
        if (f->usemin && x < f->min) x = f->min;
        if (f->usemax && x > f->max) x = f->max;
        if (integer)
            atom_setlong(&a, to_integer(x));
        else
            atom_setfloat(&a, x);
    }
    return ERR_NONE;
}

long proc_run(proc_filter *f, void *x, object *attr, long ac, atom *av)
{
    if (!f->proc) return ERR_NONE;
    return call_filter_procedure(f->proc, x, attr, ac, av);
}

long proc_setproc(proc_filter *f, kel_method proc)
{
    f->proc = proc;
    return ERR_NONE;
}

#define FN(f) reinterpret_cast<kel_method>(&(f))

clip_filter *clip_new(object *attr, double scale, long usescale, double min, double max, long usemin, long usemax)
{
    attr_record *a = attr_cast(attr);
    if (!a || !g_clip_class) return nullptr;
    auto *f = static_cast<clip_filter *>(object_alloc(g_clip_class));
    if (!f) return nullptr;
    f->type = a->type;
    f->scale = scale;
    f->usescale = usescale;
    f->min = min;
    f->max = max;
    f->usemin = usemin;
    f->usemax = usemax;
    return f;
}

// Makes one clip filter for each direction asked for and installs it.
long add_clip(object *attr, bool get, bool set, double scale, long usescale, double min, double max, long usemin,
              long usemax)
{
    if (!attr_cast(attr)) return ERR_INVALID_PTR;
    for (bool for_get : {true, false}) {
        if (for_get ? !get : !set) continue;
        clip_filter *f = clip_new(attr, scale, usescale, min, max, usemin, usemax);
        if (!f) return ERR_GENERIC;
        if (long err = attr_install_filter(attr, &f->header, for_get); err != ERR_NONE) {
            freeobject(f);
            return err;
        }
    }
    return ERR_NONE;
}

}  // namespace

bool attribute_filters_init()
{
    if (g_clip_class) return true;
    g_char = gensym("char");
    g_long = gensym("long");
    g_float32 = gensym("float32");
    g_float64 = gensym("float64");
    kel_class *clip = class_new("attr_filter_clip", nullptr, nullptr, sizeof(clip_filter), nullptr, 0);
    kel_class *proc = class_new("attr_filter_proc", nullptr, nullptr, sizeof(proc_filter), nullptr, 0);
    if (!clip || !proc) return false;
    class_addmethod(clip, FN(clip_run), "filter", ATYPE_CANT, 0);
    // The filter's settings are attributes of its own.
    symbol *float64 = g_float64;
    symbol *long_type = g_long;
    class_addattr(clip, attr_offset_new("type", gensym("symbol"), 0, nullptr, nullptr, offsetof(clip_filter, type)));
    class_addattr(clip, attr_offset_new("scale", float64, 0, nullptr, nullptr, offsetof(clip_filter, scale)));
    class_addattr(clip, attr_offset_new("min", float64, 0, nullptr, nullptr, offsetof(clip_filter, min)));
    class_addattr(clip, attr_offset_new("max", float64, 0, nullptr, nullptr, offsetof(clip_filter, max)));
    class_addattr(clip, attr_offset_new("usescale", long_type, 0, nullptr, nullptr, offsetof(clip_filter, usescale)));
    class_addattr(clip, attr_offset_new("usemin", long_type, 0, nullptr, nullptr, offsetof(clip_filter, usemin)));
    class_addattr(clip, attr_offset_new("usemax", long_type, 0, nullptr, nullptr, offsetof(clip_filter, usemax)));
    class_addmethod(proc, FN(proc_run), "filter", ATYPE_CANT, 0);
    class_addmethod(proc, FN(proc_setproc), "setproc", ATYPE_CANT, 0);
    if (class_register(nullptr, clip) != ERR_NONE || class_register(nullptr, proc) != ERR_NONE) return false;
    g_clip_class = clip;
    g_proc_class = proc;
    return true;
}

}  // namespace kel

using namespace kel;

KEL_API long attr_addfilterset_clip(object *attr, double min, double max, long usemin, long usemax)
{
    return add_clip(attr, false, true, 1.0, 0, min, max, usemin, usemax);
}

KEL_API long attr_addfilterget_clip(object *attr, double min, double max, long usemin, long usemax)
{
    return add_clip(attr, true, false, 1.0, 0, min, max, usemin, usemax);
}

KEL_API long attr_addfilter_clip(object *attr, double min, double max, long usemin, long usemax)
{
    return add_clip(attr, true, true, 1.0, 0, min, max, usemin, usemax);
}

KEL_API long attr_addfilterset_clip_scale(object *attr, double scale, double min, double max, long usemin, long usemax)
{
    return add_clip(attr, false, true, scale, 1, min, max, usemin, usemax);
}

KEL_API long attr_addfilterget_clip_scale(object *attr, double scale, double min, double max, long usemin, long usemax)
{
    return add_clip(attr, true, false, scale, 1, min, max, usemin, usemax);
}

KEL_API long attr_addfilter_clip_scale(object *attr, double scale, double min, double max, long usemin, long usemax)
{
    return add_clip(attr, true, true, scale, 1, min, max, usemin, usemax);
}

KEL_API long attr_addfilterset_proc(object *attr, kel_method proc)
{
    if (!attr_cast(attr)) return ERR_INVALID_PTR;
    if (!g_proc_class) return ERR_GENERIC;
    auto *f = static_cast<proc_filter *>(object_alloc(g_proc_class));
    if (!f) return ERR_GENERIC;
    f->proc = proc;
    if (long err = attr_install_filter(attr, &f->header, false); err != ERR_NONE) {
        freeobject(f);
        return err;
    }
    return ERR_NONE;
}
