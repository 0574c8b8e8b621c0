// Named connections: one record per name, bound to NAME.connect, holding the
// server and the head of the clients' own list.
//
// Invariants: a record is that symbol's `thing` from its making until it is
// freed; a client is in the list at most once. Walks over the clients (the
// newserver/freeserver rounds and sends) each remember the client they go to
// next, and a client deleted during a walk moves every such walk past it, so
// a walk never touches a client that left; a record whose server leaves
// with no clients during a walk is freed when the last walk ends.
#include <cstring>
#include <string>

#include "kel/classes.h"
#include "kel/connection.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"

namespace {

struct walk {
    void *next;
    walk *outer;
};

struct named_connection {
    object header;
    symbol *binding;  // NAME.connect; let go when the record is freed
    void *server;
    void *first;              // the first client
    connection_next_fn next;  // the clients' own list
    walk *walks;              // in progress, innermost first
    bool doomed;              // to be freed when the walks end
};

kel_class *g_class = nullptr;

void record_free(named_connection *x)
{
    if (x->binding && x->binding->thing == &x->header) x->binding->thing = nullptr;
}

bool class_ready()
{
    if (g_class) return true;
    kel_class *c = class_new("connection", nullptr, reinterpret_cast<kel_method>(&record_free),
                             sizeof(named_connection), nullptr, 0);
    if (!c || class_register(gensym("nobox"), c) != ERR_NONE) return false;
    g_class = c;
    return true;
}

// The record of a name, made when missing and `make` is set; null, after an
// error, for a name too long or bound to something else.
named_connection *record_of(symbol *name, bool make)
{
    if (!name || !class_ready()) return nullptr;
    if (std::strlen(name->name) > CONNECTION_NAME_MAX) {
        error("connection: name too long: %.40s...", name->name);
        return nullptr;
    }
    symbol *binding = gensym((std::string(name->name) + ".connect").c_str());
    object *thing = binding->thing;
    if (thing) {
        if (kel::object_valid_checked(thing) && object_class(thing) == g_class)
            return reinterpret_cast<named_connection *>(thing);
        error("connection: %s is bound to something that is not a connection", binding->name);
        return nullptr;
    }
    if (!make) return nullptr;
    auto *x = static_cast<named_connection *>(object_alloc(g_class));
    if (!x) return nullptr;
    x->binding = binding;
    x->server = nullptr;
    x->first = nullptr;
    x->next = nullptr;
    x->walks = nullptr;
    x->doomed = false;
    binding->thing = &x->header;
    return x;
}

// The client after c, and where c keeps its link.
void *after(named_connection *x, void *c, void ***link)
{
    void **ignored = nullptr;
    return x->next(c, link ? link : &ignored);
}

bool linked(named_connection *x, void *client)
{
    for (void *c = x->first; c && x->next; c = after(x, c, nullptr))
        if (c == client) return true;
    return false;
}

// Calls f on every client in order; deletions during the walk are safe.
template <class F> void each_client(named_connection *x, F f)
{
    if (!x->next) return;
    walk w{x->first, x->walks};
    x->walks = &w;
    while (void *c = w.next) {
        w.next = after(x, c, nullptr);
        f(c);
    }
    x->walks = w.outer;
    if (x->doomed && !x->walks) freeobject(x);
}

// Calls selector of every client with (client, server, argument).
void call_clients(named_connection *x, symbol *selector, void *server, void *argument)
{
    each_client(x, [&](void *c) {
        if (kel_method fn = getfn(c, selector)) kel::call_connection(fn, c, server, argument);
    });
}

void tell_all(named_connection *x, const char *selector, void *server)
{
    call_clients(x, gensym(selector), server, nullptr);
}

void unlink_client(named_connection *x, void *client)
{
    if (!x->next || !x->first) return;
    void **own = nullptr;
    void *following = after(x, client, &own);
    bool found = false;
    if (x->first == client) {
        x->first = following;
        found = true;
    } else {
        for (void *c = x->first; c;) {
            void **link = nullptr;
            void *n = after(x, c, &link);
            if (n == client) {
                *link = following;
                found = true;
                break;
            }
            c = n;
        }
    }
    if (!found) return;
    *own = nullptr;
    for (walk *w = x->walks; w; w = w->outer)
        if (w->next == client) w->next = following;
}

}  // namespace

KEL_API void *connection_server(void *server, symbol *name)
{
    named_connection *x = record_of(name, true);
    if (!x) return nullptr;
    if (x->server) tell_all(x, "freeserver", x->server);
    x->server = server;
    tell_all(x, "newserver", server);
    return x;
}

KEL_API void *connection_client(void *client, symbol *name, symbol *server_class, connection_next_fn next)
{
    void *const refused = reinterpret_cast<void *>(-1);
    if (!client || !next) return refused;
    named_connection *x = record_of(name, true);
    if (!x) return refused;
    if (x->server && server_class && object_classname(x->server) != server_class) return refused;
    x->next = next;
    if (!linked(x, client)) {
        void **own = nullptr;
        after(x, client, &own);
        *own = nullptr;
        if (!x->first) {
            x->first = client;
        } else {
            void *last = x->first;
            for (void *n = after(x, last, nullptr); n; n = after(x, last, nullptr)) last = n;
            void **link = nullptr;
            after(x, last, &link);
            *link = client;
        }
    }
    return x->server;
}

KEL_API void connection_send(void *server, symbol *name, symbol *selector, void *argument)
{
    named_connection *x = record_of(name, false);
    if (!x || !server || x->server != server || !selector) return;
    call_clients(x, selector, server, argument);
}

KEL_API void connection_delete(void *who, symbol *name)
{
    named_connection *x = record_of(name, false);
    if (!x || !who) return;
    if (who != x->server) {
        unlink_client(x, who);
        return;
    }
    if (x->first) {
        tell_all(x, "freeserver", x->server);
        x->server = nullptr;
        return;
    }
    x->server = nullptr;
    // The name is let go at once; the record itself when no walk uses it.
    if (x->binding->thing == &x->header) x->binding->thing = nullptr;
    if (x->walks)
        x->doomed = true;
    else
        freeobject(x);
}
