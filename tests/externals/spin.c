/* A class whose bang never returns: the main thread stays in it, as it would
 * in an external stuck in a loop. */
#include "kel/kel.h"

static method_entry *spin_class;

static void *spin_new(void) { return newobject(spin_class); }

static void spin_bang(object *x)
{
    volatile unsigned long turns = 0;
    (void)x;
    for (;;) turns++;
}

int main(void)
{
    setup(&spin_class, (kel_method)spin_new, (kel_method)0, (long)sizeof(object), (kel_method)0, 0);
    addbang((kel_method)spin_bang);
    return 0;
}
