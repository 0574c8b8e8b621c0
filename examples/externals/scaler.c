/* scaler: multiplies floats. An external written with the newer class API.
 *
 *   [scaler 2.5]   a float in the left inlet goes out times the factor;
 *                  a float in the right inlet sets the factor.
 */
#include "kel/kel.h"

typedef struct scaler {
    object header;
    double factor;
    outlet *out;
} scaler;

static kel_class *scaler_class;

static void *scaler_new(double factor)
{
    scaler *x = (scaler *)object_alloc(scaler_class);
    if (!x) return 0;
    x->factor = factor;
    floatin(x, 1);
    x->out = floatout(x);
    return x;
}

static void scaler_float(scaler *x, double f) { outlet_float(x->out, f * x->factor); }

static void scaler_ft1(scaler *x, double f) { x->factor = f; }

int main(void)
{
    scaler_class = class_new("scaler", (kel_method)scaler_new, (kel_method)0, (long)sizeof(scaler), (kel_method)0,
                             ATYPE_DEFFLOAT, 0);
    class_addmethod(scaler_class, (kel_method)scaler_float, "float", ATYPE_FLOAT, 0);
    class_addmethod(scaler_class, (kel_method)scaler_ft1, "ft1", ATYPE_FLOAT, 0);
    class_register(gensym("box"), scaler_class);
    return 0;
}
