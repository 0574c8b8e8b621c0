#include "kernel/registry/registry.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/hashtab.h"
#include "kel/linklist.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "kernel/registry/attributes.h"

namespace kel {
namespace {

constexpr long table_slots = 1999;
constexpr long namespace_slots = 59;

struct reg_object {
    object header;
    symbol *name;
    object *obj;
    long refcount;
    linklist *clients;  // attached clients; the registry does not own them
    bool removing;      // the last holder let go and the record is being taken down
};

struct reg_object_pmap {
    object header;
    object *obj;
    symbol *name;
    symbol *name_space;
};

kel_class *g_reg_class = nullptr;
kel_class *g_pmap_class = nullptr;
hashtab *g_namespaces = nullptr;  // namespace -> (name -> reg_object)
hashtab *g_objects = nullptr;     // object address -> reg_object_pmap
std::atomic<long> g_registrations{0};
// How many registrations each client is attached to, so that a client freed
// while attached can be taken off their lists. Guarded by the global lock.
std::unordered_map<object *, long> g_attachments;
symbol *s_notify = nullptr;
symbol *s_newcopy = nullptr;

// Objects are keyed by their address in the object table.
symbol *address_key(const void *x) { return reinterpret_cast<symbol *>(const_cast<void *>(x)); }

// Stores value under key; false when memory for it ran out.
bool stored(hashtab *table, symbol *key, void *value, bool safe)
{
    return (safe ? hashtab_store_safe(table, key, value) : hashtab_store(table, key, value)) == 0;
}

hashtab *names_in(symbol *name_space, bool create)
{
    void *table = nullptr;
    if (hashtab_lookup(g_namespaces, name_space, &table) == 0) return static_cast<hashtab *>(table);
    if (!create) return nullptr;
    hashtab *made = hashtab_new(namespace_slots);
    if (made && !stored(g_namespaces, name_space, made, false)) {
        freeobject(made);
        made = nullptr;
    }
    return made;
}

// A namespace goes with its last name: every patcher names its boxes in a
// namespace of its own, which would otherwise outlive it.
void drop_if_empty(symbol *name_space)
{
    if (hashtab *names = names_in(name_space, false); names && hashtab_getsize(names) == 0)
        hashtab_delete(g_namespaces, name_space);
}

reg_object *find_record(symbol *name_space, symbol *name)
{
    hashtab *names = names_in(name_space, false);
    void *r = nullptr;
    if (names) hashtab_lookup(names, name, &r);
    return static_cast<reg_object *>(r);
}

reg_object_pmap *find_pmap(const void *x)
{
    void *m = nullptr;
    hashtab_lookup(g_objects, address_key(x), &m);
    return static_cast<reg_object_pmap *>(m);
}

reg_object *record_of(const void *x)
{
    reg_object_pmap *m = find_pmap(x);
    return m ? find_record(m->name_space, m->name) : nullptr;
}

// "u" followed by nine digits or more: the names symbol_unique makes.
bool has_unique_form(const symbol *s)
{
    const char *n = s->name;
    if (n[0] != 'u') return false;
    int digits = 0;
    for (const char *p = n + 1; *p; p++, digits++)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    return digits >= 9;
}

// The clients attached to r as they stand now, and room for as many more
// in *also (when given). False, with the memory-low flag up, when memory for
// them ran out.
bool clients_of(reg_object *r, std::vector<object *> *clients, std::vector<object *> *also = nullptr)
{
    clients->clear();
    long n = linklist_getsize(r->clients);
    try {
        if (also) also->reserve(static_cast<size_t>(n));
        if (n > 0) {
            clients->resize(static_cast<size_t>(n));
            long got = linklist_makearray(r->clients, reinterpret_cast<void **>(clients->data()), n);
            clients->resize(static_cast<size_t>(got > 0 ? got : 0));
        }
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        clients->clear();
        return false;
    }
    return true;
}

bool is_attached(reg_object *r, object *client) { return linklist_objptr2index(r->clients, client) >= 0; }

// Every change to a client list goes through these two, under the global
// lock, so that g_attachments stays true.
bool attach_client(reg_object *r, object *client)
{
    if (!r->clients) r->clients = linklist_new();
    if (!r->clients) return false;
    if (is_attached(r, client)) return true;
    if (linklist_append(r->clients, client) < 0) return false;
    try {
        g_attachments[client]++;
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        linklist_chuckptr(r->clients, client);
        return false;
    }
    return true;
}

bool detach_client(reg_object *r, object *client)
{
    long index = r->clients ? linklist_objptr2index(r->clients, client) : -1;
    if (index < 0) return false;
    linklist_chuckindex(r->clients, index);
    if (auto it = g_attachments.find(client); it != g_attachments.end() && --it->second <= 0) g_attachments.erase(it);
    return true;
}

void send_notify(object *client, symbol *name, symbol *message, object *sender, void *data)
{
    object_method(client, s_notify, name, message, sender, data);
}

// Notifies the clients of sender's registration, one at a time, taking the
// global lock only between the calls: before each call the client must still
// be attached to the same registration, so a client may detach itself or
// others, or free the sender, from inside its notify method. The clients
// told go into *told (when given). The walk goes over a copy of the client
// list; without memory for it, over the list itself by position, each
// client detached as soon as it is told when *told is wanted (a client that
// detaches another during the walk may then make it miss one).
void notify_clients(object *sender, symbol *message, void *data, std::vector<object *> *told = nullptr)
{
    reg_object *r;
    symbol *name;
    std::vector<object *> clients;
    bool copied;
    {
        std::lock_guard guard(global_lock());
        r = record_of(sender);
        if (!r || !r->clients) return;
        name = r->name;
        copied = clients_of(r, &clients, told);
    }
    if (copied) {
        for (object *client : clients) {
            {
                std::lock_guard guard(global_lock());
                if (record_of(sender) != r || !is_attached(r, client)) continue;
            }
            send_notify(client, name, message, sender, data);
            if (told) told->push_back(client);  // room was made for every client
        }
        return;
    }
    for (long k = 0;;) {
        object *client;
        {
            std::lock_guard guard(global_lock());
            if (record_of(sender) != r || !(client = static_cast<object *>(linklist_getindex(r->clients, k)))) return;
        }
        send_notify(client, name, message, sender, data);
        std::lock_guard guard(global_lock());
        if (record_of(sender) != r) return;
        if (!told || !detach_client(r, client)) k++;
    }
}

// The registration's free method: clients still attached (those that
// attached after the last holder let go; the others heard `free` already)
// hear `free`, and the client list goes without the clients.
void reg_free(reg_object *r)
{
    if (!r->clients) return;
    std::lock_guard guard(global_lock());
    std::vector<object *> clients;
    if (clients_of(r, &clients)) {
        for (object *client : clients)
            if (is_attached(r, client)) send_notify(client, r->name, sym_free, r->obj, nullptr);
    } else {
        for (long k = 0; object *client = static_cast<object *>(linklist_getindex(r->clients, k)); k++)
            send_notify(client, r->name, sym_free, r->obj, nullptr);
    }
    while (auto *client = static_cast<object *>(linklist_getindex(r->clients, 0))) detach_client(r, client);
    linklist_chuck(r->clients);
    r->clients = nullptr;
}

struct client_search {
    object *client;
};

void forget_in_record(hashtab_entry *e, void *arg)
{
    auto *r = static_cast<reg_object *>(hashtab_entry_value(e));
    object *client = static_cast<client_search *>(arg)->client;
    while (r && detach_client(r, client)) {
    }
}

void forget_in_namespace(hashtab_entry *e, void *arg)
{
    hashtab_funall(static_cast<hashtab *>(hashtab_entry_value(e)), forget_in_record, arg);
}

struct name_search {
    symbol *name;
    bool found;
};

void search_namespace(hashtab_entry *e, void *arg)
{
    auto *search = static_cast<name_search *>(arg);
    void *r = nullptr;
    if (!search->found && hashtab_lookup(static_cast<hashtab *>(hashtab_entry_value(e)), search->name, &r) == 0)
        search->found = true;
}

// Adds the registration of x under name; answers false when the record
// cannot be made.
bool add_registration(hashtab *names, symbol *name_space, symbol *name, object *x)
{
    auto *r = static_cast<reg_object *>(object_alloc(g_reg_class));
    if (!r) return false;
    r->name = name;
    r->obj = x;
    r->refcount = 1;
    r->clients = nullptr;
    r->removing = false;
    if (!stored(names, name, r, true)) {
        freeobject(r);
        return false;
    }
    g_registrations++;
    auto *m = static_cast<reg_object_pmap *>(object_alloc(g_pmap_class));
    if (m) {
        m->obj = x;
        m->name = name;
        m->name_space = name_space;
    }
    if (!m || !stored(g_objects, address_key(x), m, false)) {
        if (m) freeobject(m);
        error("object_register: could not create pointer map object for %s", name->name);
        // Without its reverse record the registration could never be let go
        // of: it is taken back.
        hashtab_delete(names, name);
        g_registrations--;
        return false;
    }
    return true;
}

}  // namespace

namespace {

bool release_registration(object *x) { return registry_in_use() && object_unregister(x) != 0; }

// A client that did not detach in its free method is detached now, and the
// instance's obex table goes with it.
void forget_freed_object(object *x)
{
    registry_forget_client(x);
    object_obex_free(x);
}

}  // namespace

bool registry_init()
{
    if (g_objects) return true;
    s_notify = gensym("notify");
    s_newcopy = gensym("newcopy");
    g_reg_class =
        class_new("reg_object", nullptr, reinterpret_cast<kel_method>(&reg_free), sizeof(reg_object), nullptr, 0);
    g_pmap_class = class_new("reg_object_pmap", nullptr, nullptr, sizeof(reg_object_pmap), nullptr, 0);
    if (!g_reg_class || !g_pmap_class) return false;
    if (class_register(sym_nobox, g_reg_class) != ERR_NONE || class_register(sym_nobox, g_pmap_class) != ERR_NONE)
        return false;
    g_namespaces = hashtab_new(table_slots);
    hashtab *objects = hashtab_new(table_slots);
    if (!g_namespaces || !objects) {
        post("couldn't make registered object namespace");
        return false;
    }
    g_objects = objects;
    object_set_release_hook(&release_registration);
    return object_add_teardown_hook(free_step::forget, &forget_freed_object);
}

bool registry_in_use() { return g_registrations.load(std::memory_order_relaxed) > 0; }

void registry_forget_client(object *x)
{
    if (!registry_in_use()) return;
    std::lock_guard guard(global_lock());
    if (g_attachments.find(x) == g_attachments.end()) return;
    client_search search{x};
    hashtab_funall(g_namespaces, forget_in_namespace, &search);
    g_attachments.erase(x);
}

bool registry_name_in_use(symbol *name)
{
    if (!g_namespaces || !name) return false;
    std::lock_guard guard(global_lock());
    name_search search{name, false};
    hashtab_funall(g_namespaces, search_namespace, &search);
    return search.found;
}

}  // namespace kel

using namespace kel;

KEL_API void *object_register(symbol *name_space, symbol *name, void *p)
{
    auto *x = static_cast<object *>(p);
    if (!x || !g_objects || !object_valid_checked(x)) return nullptr;
    if (name == sym_empty) {
        object_unregister(x);
        return x;
    }
    bool fresh = !name;
    if (fresh) name = symbol_unique();
    if (!name_space) name_space = sym_nobox;
    // The namespace by name rather than by address keeps verbose transcripts
    // the same from run to run.
    if (developer()) post("registering: %s in %s", name->name, name_space->name);

    std::lock_guard guard(global_lock());
    bool held_elsewhere = false;
    if (reg_object_pmap *m = find_pmap(x)) {
        if (m->name_space != name_space) {
            error("object_register: object already registered in %s, cannot reregister in %s", m->name_space->name,
                  name_space->name);
            return nullptr;
        }
        if (m->name == name) {
            reg_object *r = find_record(name_space, name);
            if (!r || r->removing) return nullptr;
            r->refcount++;
            return x;
        }
        held_elsewhere = object_unregister(x) != 0;
    }

    hashtab *names = names_in(name_space, true);
    if (!names) return nullptr;
    if (reg_object *r = find_record(name_space, name)) {
        // A name whose last holder is letting go takes no new holder.
        if (r->removing) return nullptr;
        bool same_class = class_of_table(r->obj->messlist) == class_of_table(x->messlist);
        // The object given is freed, unless it is still somebody's under its
        // former name: freeing it would take that holder's reference.
        if (r->obj != x && !held_elsewhere) freeobject(x);
        if (!same_class) return nullptr;
        r->refcount++;
        return r->obj;
    }

    object *registered = x;
    if (held_elsewhere) {
        // The former registration keeps x: a copy takes the new name.
        registered = static_cast<object *>(object_method(x, s_newcopy));
        if (!registered || !object_valid_checked(registered)) {
            drop_if_empty(name_space);
            return nullptr;
        }
        // The copy may have let go of the namespace's last other name, and
        // the namespace with it.
        names = names_in(name_space, true);
        if (!names) return nullptr;
    }
    // A unique name chosen by the caller leaves the reuse list while it is
    // registered, so that symbol_unique cannot hand it out again meanwhile.
    if (!fresh && has_unique_form(name)) symbol_unique_unslate(name);
    if (!add_registration(names, name_space, name, registered)) {
        drop_if_empty(name_space);
        return nullptr;
    }
    return registered;
}

KEL_API long object_unregister(void *p)
{
    if (!p || !g_objects || !registry_in_use()) return 0;
    auto *x = static_cast<object *>(p);
    std::lock_guard guard(global_lock());
    reg_object_pmap *m = find_pmap(x);
    if (!m) return 0;
    symbol *name = m->name;
    symbol *name_space = m->name_space;
    reg_object *r = find_record(name_space, name);
    if (!r || r->obj != x) {
        // A reverse record without its registration: drop it.
        hashtab_delete(g_objects, address_key(x));
        return 0;
    }
    // Whoever lets go of an object while its last holder is already doing
    // so does not free it a second time.
    if (r->removing) return -1;
    r->refcount--;
    if (developer()) post("unregistering: %s in %s. ref count now %ld", name->name, name_space->name, r->refcount);
    if (r->refcount > 0) return -1;

    r->removing = true;
    std::vector<object *> told;
    notify_clients(x, sym_free, nullptr, &told);
    // Each client hears `free` once: those told are not told again when the
    // record goes.
    for (object *client : told) detach_client(r, client);
    hashtab_delete(g_objects, address_key(x));
    if (hashtab *names = names_in(name_space, false)) hashtab_delete(names, name);
    drop_if_empty(name_space);  // looked up again: the record's free method may have changed it
    g_registrations--;
    if (has_unique_form(name) && !registry_name_in_use(name)) symbol_unique_slate(name);
    return 0;
}

KEL_API void *object_findregistered(symbol *name_space, symbol *name)
{
    if (!name || name == sym_empty || !g_objects) return nullptr;
    std::lock_guard guard(global_lock());
    reg_object *r = find_record(name_space ? name_space : sym_nobox, name);
    return r && !r->removing ? r->obj : nullptr;
}

KEL_API long object_findregisteredbyptr(symbol **name_space, symbol **name, void *x)
{
    if (!x || !g_objects) return ERR_GENERIC;
    std::lock_guard guard(global_lock());
    reg_object_pmap *m = find_pmap(x);
    if (!m) return ERR_GENERIC;
    if (name_space) *name_space = m->name_space;
    if (name) *name = m->name;
    return ERR_NONE;
}

KEL_API void *object_attach(symbol *name_space, symbol *name, void *client)
{
    if (!name || !client || !g_objects) return nullptr;
    std::lock_guard guard(global_lock());
    reg_object *r = find_record(name_space ? name_space : sym_nobox, name);
    if (!r || r->removing) return nullptr;
    return attach_client(r, static_cast<object *>(client)) ? r->obj : nullptr;
}

KEL_API long object_detach(symbol *name_space, symbol *name, void *client)
{
    if (!name || !client || !g_objects) return ERR_GENERIC;
    std::lock_guard guard(global_lock());
    reg_object *r = find_record(name_space ? name_space : sym_nobox, name);
    if (!r) return ERR_GENERIC;
    return detach_client(r, static_cast<object *>(client)) ? ERR_NONE : ERR_GENERIC;
}

KEL_API long object_notify(void *p, symbol *message, void *data)
{
    auto *x = static_cast<object *>(p);
    if (!x || !message) return ERR_GENERIC;
    if (!registry_in_use() || !object_valid(x)) return ERR_NONE;
    // The box is read before any client runs: a client may free x.
    object *box = nullptr;
    kel_class *c = class_of_table(x->messlist);
    if ((c->flags & CLASS_FLAG_BOX) && !c->menu_method && c->obexoffset) {
        void *b = nullptr;
        if (hashtab *obex = obex_table(x)) hashtab_lookup(obex, gensym("#B"), &b);
        if (b != x) box = static_cast<object *>(b);
    }
    notify_clients(x, message, data);
    // The box speaks for its object to those attached to the box's name.
    if (box && object_valid_checked(box)) notify_clients(box, message, data);
    return ERR_NONE;
}
