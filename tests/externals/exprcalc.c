/* An external computing with the expression calls: its arguments are an
 * expression; an int in evaluates it with $i1 (or $f1) set to that number
 * and posts "exprcalc: " and the result. */
#include "kel/kel.h"

typedef struct exprcalc {
    object header;
    void *expression;
    short kinds[9];
} exprcalc;

static method_entry *exprcalc_class;

static void *exprcalc_new(symbol *s, long argc, atom *argv)
{
    exprcalc *x;
    void *e;
    short kinds[9];
    int k;
    (void)s;
    e = expr_new(argc, argv, kinds);
    if (!e) return 0;
    x = (exprcalc *)newobject(exprcalc_class);
    if (!x) {
        freeobject(e);
        return 0;
    }
    x->expression = e;
    for (k = 0; k < 9; k++) x->kinds[k] = kinds[k];
    return x;
}

static void exprcalc_free(exprcalc *x) { freeobject(x->expression); }

static void exprcalc_int(exprcalc *x, long n)
{
    atom in, result;
    if (x->kinds[0] == 2)
        atom_setfloat(&in, (double)n);
    else
        atom_setlong(&in, n);
    if (!expr_eval(x->expression, 1, &in, &result)) return;
    if (result.type == ATYPE_FLOAT)
        post("exprcalc: %g", (double)result.word.w_float);
    else
        post("exprcalc: %ld", (long)result.word.w_long);
}

/* "other": expr_eval given this object itself, which is no expression. */
static void exprcalc_other(exprcalc *x)
{
    atom result;
    post("exprcalc: %ld", expr_eval(x, 0, 0, &result));
}

int main(void)
{
    setup(&exprcalc_class, (kel_method)exprcalc_new, (kel_method)exprcalc_free, (long)sizeof(exprcalc), (kel_method)0,
          ATYPE_GIMME, 0);
    addint((kel_method)exprcalc_int);
    addmess((kel_method)exprcalc_other, "other", 0);
    return 0;
}
