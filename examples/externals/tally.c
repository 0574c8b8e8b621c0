/* tally: counts bangs. An external written with the older class API.
 *
 *   [tally 10]   starts at 10; bang adds one and sends the count;
 *                an int sets the count without sending.
 */
#include "kel/kel.h"

typedef struct tally {
    object header;
    long count;
    outlet *out;
} tally;

static method_entry *tally_class;

static void *tally_new(long start)
{
    tally *x = (tally *)newobject(tally_class);
    x->count = start;
    x->out = intout(x);
    return x;
}

static void tally_bang(tally *x)
{
    x->count++;
    outlet_int(x->out, x->count);
}

static void tally_int(tally *x, long n) { x->count = n; }

int main(void)
{
    setup(&tally_class, (kel_method)tally_new, (kel_method)0, (long)sizeof(tally), (kel_method)0, ATYPE_DEFLONG, 0);
    addbang((kel_method)tally_bang);
    addint((kel_method)tally_int);
    return 0;
}
