#include "kernel/patcher/kernel_init.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "kel/classes.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/hashtab.h"
#include "kernel/core/linklist.h"
#include "kernel/core/random.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/files/collective.h"
#include "kernel/patcher/loadbang.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_names.h"
#include "kernel/registry/attributes.h"
#include "kernel/registry/registry.h"
#include "kernel/text/binbuf.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/outlets.h"
#include "platform/datetime.h"

// The layouts promised to externals.
static_assert(sizeof(symbol) == 2 * sizeof(void *), "symbol is name and thing");
static_assert(offsetof(atom, word) == sizeof(void *) || offsetof(atom, word) == 4, "atom word follows its type");
static_assert(sizeof(atom) == 2 * sizeof(void *), "atom is a type and a pointer-sized word");
static_assert(sizeof(method_entry) == 2 * sizeof(void *) + 8, "method entry: selector, method, 8 type codes");
static_assert(offsetof(object, messlist) == 0, "every object starts with its method list");
static_assert(offsetof(object, inlets) == 2 * sizeof(void *) || sizeof(void *) == 4, "object header layout");
static_assert(sizeof(object) == 4 * sizeof(void *), "object header: messlist, magic, inlets, outlets");
static_assert(offsetof(box, header) == 0, "a box is an object");
static_assert(offsetof(box, rect) == sizeof(object) + 2 * sizeof(void *), "box: owner and next precede the rectangle");
static_assert(sizeof(box_rect) == 4 * sizeof(short), "box rectangle: top, left, bottom, right");

namespace kel {

bool kernel_init()
{
    static bool done = false;
    if (done) return true;
    if (const char *d = std::getenv("KEL_DEVELOPER"); d && *d && std::strcmp(d, "0") != 0) g_developer = true;
    symbols_init();
    random_seed(static_cast<long>(toolbox::TickCount()));
    // The container classes exist before the namespaces, which are tables.
    if (!linklist_class() || !hashtab_class() || !hashtab_entry_class()) return false;
    if (!class_namespaces_init()) return false;
    if (!wires_init() || !binbuf_init() || !collective_init()) return false;
    for (kel_class *c : {linklist_class(), hashtab_class(), hashtab_entry_class(), outlet_class(), inlet_class(),
                         proxy_class(), binbuf_class()})
        if (class_register(sym_nobox, c) != ERR_NONE) return false;
    // Each layer installs the hooks the layers below call up through as it
    // comes up: the registry and the scheduler their teardown steps, the
    // attributes their dispatch fallbacks, the creation object its
    // constructor lookup.
    if (!registry_init() || !attributes_init()) return false;
    if (!creation_init()) return false;
    if (!patcher_class() || !boxnames_init()) return false;
    patcher_load_init();
    if (!loadbang_init()) return false;
    sched_init();
    done = true;
    return true;
}

}  // namespace kel
