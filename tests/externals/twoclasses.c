/* A library whose file name (twoclasses) differs from the class it defines
 * (renamed), to check the alias by file name. */
#include "kel/kel.h"

static method_entry *renamed_class;

static void *renamed_new(void) { return newobject(renamed_class); }

int main(void)
{
    setup(&renamed_class, (kel_method)renamed_new, (kel_method)0, (long)sizeof(object), (kel_method)0, 0);
    class_setname("renamed", 0);
    alias("renamed_alias");
    return 0;
}
