#include "midi/listeners.h"

#include <mutex>
#include <new>

#include "kel/classes.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/locks.h"
#include "kernel/core/objects.h"

namespace kel::midi {
namespace {

using input1_fn = void (*)(object *, midiport *, long, long);
using input2_fn = void (*)(object *, midiport *, long, long, long);

struct listener {
    object *x;  // null once it left during a walk
    kel_method fn;
    listener *next;
};

// Lock order: the global lock, then a list's lock. A walk calls into
// objects, which may free objects (freeobject takes the global lock, then a
// freed listener's unlisten takes the list's): so a walk takes the global
// lock first, as freeing does. In overdrive the polling thread holds it
// already.
struct lists {
    std::recursive_mutex lock;
    listener *head[MIDI_LIST_COUNT] = {};
    listener *outputs = nullptr;
    int walking = 0;
    bool left = false;  // a node was marked during a walk
};

lists &L()
{
    static lists l;
    return l;
}

bool two_values(long list) { return list == MIDI_LIST_NOTEIN || list == MIDI_LIST_POLYIN || list == MIDI_LIST_CTLIN; }

void unlink_marked(listener **head)
{
    for (listener **at = head; *at;) {
        if ((*at)->x) {
            at = &(*at)->next;
            continue;
        }
        listener *gone = *at;
        *at = gone->next;
        delete gone;
    }
}

void walk_end(lists &l)
{
    if (--l.walking > 0 || !l.left) return;
    l.left = false;
    for (listener *&head : l.head) unlink_marked(&head);
    unlink_marked(&l.outputs);
}

void remove_from(lists &l, listener **head, object *x)
{
    for (listener **at = head; *at;) {
        if ((*at)->x != x) {
            at = &(*at)->next;
            continue;
        }
        if (l.walking) {
            (*at)->x = nullptr;
            l.left = true;
            at = &(*at)->next;
        } else {
            listener *gone = *at;
            *at = gone->next;
            delete gone;
        }
    }
}

long push(listener **head, object *x, kel_method fn)
{
    listener *node = new (std::nothrow) listener{x, fn, *head};
    if (!node) return -1;
    *head = node;
    return 0;
}

}  // namespace

KEL_CALLS_THROUGH_CAST void listeners_input1(long list, midiport *port, long channel, long value)
{
    lists &l = L();
    std::lock_guard<std::recursive_mutex> global(global_lock());
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    l.walking++;
    for (listener *n = l.head[list]; n; n = n->next)
        if (n->x) reinterpret_cast<input1_fn>(n->fn)(n->x, port, channel, value);
    walk_end(l);
}

KEL_CALLS_THROUGH_CAST void listeners_input2(long list, midiport *port, long channel, long a, long b)
{
    lists &l = L();
    std::lock_guard<std::recursive_mutex> global(global_lock());
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    l.walking++;
    for (listener *n = l.head[list]; n; n = n->next)
        if (n->x) reinterpret_cast<input2_fn>(n->fn)(n->x, port, channel, a, b);
    walk_end(l);
}

bool listeners_any(long list)
{
    lists &l = L();
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    for (listener *n = l.head[list]; n; n = n->next)
        if (n->x) return true;
    return false;
}

namespace {

KEL_CALLS_THROUGH_CAST void tell_deleted(listener *head, symbol *selector, midiport *port)
{
    for (listener *n = head; n; n = n->next) {
        if (!n->x || !object_valid_checked(n->x)) continue;
        if (kel_method m = zgetfn(n->x, selector)) reinterpret_cast<void (*)(object *, midiport *)>(m)(n->x, port);
    }
}

}  // namespace

void listeners_port_deleted(midiport *port)
{
    lists &l = L();
    std::lock_guard<std::recursive_mutex> global(global_lock());
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    symbol *selector = gensym(port->direction == MIDI_INPUT ? "inportdeleted" : "outportdeleted");
    l.walking++;
    if (port->direction == MIDI_INPUT)
        for (listener *head : l.head) tell_deleted(head, selector, port);
    else
        tell_deleted(l.outputs, selector, port);
    walk_end(l);
}

void listeners_clear()
{
    lists &l = L();
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    for (listener *&head : l.head)
        for (listener *n = head; n; n = n->next) n->x = nullptr;
    for (listener *n = l.outputs; n; n = n->next) n->x = nullptr;
    l.left = true;
    l.walking++;
    walk_end(l);
}

}  // namespace kel::midi

using namespace kel;
using namespace kel::midi;

KEL_API long sysmidi_listen(long list, object *x)
{
    if (list < 0 || list >= MIDI_LIST_COUNT || !x) return -1;
    kel_method fn = zgetfn(x, gensym(two_values(list) ? "input2" : "input1"));
    if (!fn) return -1;
    lists &l = L();
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    return push(&l.head[list], x, fn);
}

KEL_API void sysmidi_unlisten(long list, object *x)
{
    if (!x || list < -1 || list >= MIDI_LIST_COUNT) return;
    lists &l = L();
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    for (long i = 0; i < MIDI_LIST_COUNT; i++)
        if (list == -1 || list == i) remove_from(l, &l.head[i], x);
}

KEL_API long sysmidi_addoutput(object *x)
{
    if (!x) return -1;
    lists &l = L();
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    return push(&l.outputs, x, nullptr);
}

KEL_API void sysmidi_removeoutput(object *x)
{
    lists &l = L();
    std::lock_guard<std::recursive_mutex> hold(l.lock);
    remove_from(l, &l.outputs, x);
}
