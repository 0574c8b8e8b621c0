#include "objects/objects.h"

#include "kernel/objects.h"
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

object *bound_object(symbol *name)
{
    object *to = name ? name->thing : nullptr;
    return to && object_valid_checked(to) ? to : nullptr;
}

}  // namespace kel
