/* Compiled as strict C11: the SDK headers must stand alone for C externals. */
#include "kel/kel.h"

long kel_c_header_check(object *x, symbol *s);
long kel_c_header_check(object *x, symbol *s)
{
    atom a;
    atom_setlong(&a, 3);
    object_method(x, s);
    object_method(x, s, 1, &a);
    linklist_methodall((linklist *)0, s, 7);
    return (long)sizeof(a);
}
