/* A library built with hidden visibility whose main is not marked for
 * export: kel cannot find main and names the likely cause. */
#include "kel/kel.h"

static method_entry *hidden_class;

static void *hidden_new(void) { return newobject(hidden_class); }

int main(void)
{
    setup(&hidden_class, (kel_method)hidden_new, (kel_method)0, (long)sizeof(object), (kel_method)0, 0);
    return 0;
}
