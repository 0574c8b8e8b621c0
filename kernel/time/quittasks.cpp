#include "kernel/time/quittasks.h"

#include <mutex>
#include <new>

#include "kel/app.h"
#include "kernel/core/calls.h"

namespace kel {
namespace {

struct quit_task {
    quit_task *next;
    kel_method fn;
    void *arg;
};

std::mutex g_lock;
quit_task *g_tasks = nullptr;  // newest first

// Unlinks the newest task that matches; with_arg compares the argument too.
void remove_first(kel_method fn, void *arg, bool with_arg)
{
    quit_task *gone = nullptr;
    {
        std::lock_guard guard(g_lock);
        for (quit_task **t = &g_tasks; *t; t = &(*t)->next)
            if ((*t)->fn == fn && (!with_arg || (*t)->arg == arg)) {
                gone = *t;
                *t = gone->next;
                break;
            }
    }
    delete gone;
}

}  // namespace

void quittasks_run()
{
    for (;;) {
        quit_task *t;
        {
            std::lock_guard guard(g_lock);
            t = g_tasks;
            if (!t) return;
            g_tasks = t->next;
        }
        if (t->fn) call_task(t->fn, t->arg);
        delete t;
    }
}

}  // namespace kel

using namespace kel;

KEL_API void quittask_install(kel_method fn, void *arg)
{
    auto *t = new (std::nothrow) quit_task{nullptr, fn, arg};
    if (!t) return;
    std::lock_guard guard(g_lock);
    t->next = g_tasks;
    g_tasks = t;
}

KEL_API void quittask_remove(kel_method fn) { remove_first(fn, nullptr, false); }

KEL_API void quittask_remove2(kel_method fn, void *arg) { remove_first(fn, arg, true); }
