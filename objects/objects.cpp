#include "objects/objects.h"

#include "kel/classes.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "objects/arith.h"
#include "objects/console.h"
#include "objects/msgbox.h"
#include "objects/pvar.h"
#include "objects/routing.h"
#include "objects/sendrecv.h"
#include "objects/thispatcher.h"
#include "objects/time.h"

namespace kel {

bool objects_init()
{
    static bool done = false;
    if (done) return true;
    if (!messagebox_init() || !print_init() || !arith_init() || !routing_init() || !sendrecv_init() ||
        !time_objects_init() || !pvar_init() || !thispatcher_init())
        return false;
    done = true;
    return true;
}

kel_class *box_class(const char *name, kel_method constructor, kel_method free_method, long size)
{
    kel_class *c = class_new(name, constructor, free_method, size, nullptr, 0);
    if (c) c->flags |= CLASS_FLAG_BOX;
    return c;
}

object *bound_object(symbol *name)
{
    object *to = name ? name->thing : nullptr;
    return to && object_valid_checked(to) ? to : nullptr;
}

}  // namespace kel
