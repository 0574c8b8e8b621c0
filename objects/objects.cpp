#include "objects/objects.h"

#include "kel/classes.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "midi/midi_objects.h"
#include "objects/arith.h"
#include "objects/bpatcher.h"
#include "objects/console.h"
#include "objects/console_events.h"
#include "objects/controls.h"
#include "objects/drawn_boxes.h"
#include "objects/expr.h"
#include "objects/filters.h"
#include "objects/follow.h"
#include "objects/if_box.h"
#include "objects/msgbox.h"
#include "objects/number_box.h"
#include "objects/opened.h"
#include "objects/pcontrol.h"
#include "objects/preset.h"
#include "objects/pvar.h"
#include "objects/routing.h"
#include "objects/sendrecv.h"
#include "objects/seq.h"
#include "objects/setclock.h"
#include "objects/table.h"
#include "objects/thispatcher.h"
#include "objects/time.h"

namespace kel {

bool objects_init()
{
    static bool done = false;
    if (done) return true;
    if (!messagebox_init() || !print_init() || !arith_init() || !routing_init() || !sendrecv_init() ||
        !time_objects_init() || !pvar_init() || !thispatcher_init() || !table_init() || !expr_init() || !if_init() ||
        !filters_init() || !console_events_init() || !pcontrol_init() || !opened_init() || !midi_objects_init())
        return false;
    if (!bpatcher_init() || !drawn_boxes_init() || !setclock_init()) return false;
    if (!number_box_init() || !controls_init() || !preset_init()) return false;
    if (!seq_init() || !follow_init()) return false;
    done = true;
    return true;
}

kel_class *define_class(const char *name, kel_method constructor, kel_method free_method, long size, class_home home,
                        std::initializer_list<method_def> methods, short constructor_type)
{
    kel_class *c = constructor_type == ATYPE_NOTHING
                       ? class_new(name, constructor, free_method, size, nullptr, 0)
                       : class_new(name, constructor, free_method, size, nullptr, constructor_type, 0);
    if (!c) return nullptr;
    if (home != class_home::nobox) c->flags |= CLASS_FLAG_BOX;
    for (const method_def &m : methods) {
        if (m.type == ATYPE_NOTHING)
            class_addmethod(c, m.fn, m.name, 0);
        else
            class_addmethod(c, m.fn, m.name, m.type, 0);
    }
    if (home == class_home::second_box) return c;
    return class_register(home == class_home::box ? sym_box : sym_nobox, c) == ERR_NONE ? c : nullptr;
}

object *bound_object(symbol *name)
{
    object *to = name ? name->thing : nullptr;
    return to && object_valid_checked(to) ? to : nullptr;
}

}  // namespace kel
