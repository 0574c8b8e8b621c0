// Outlets, inlets and proxies: how objects reach each other.
//
// Invariants: an outlet's connections are delivered in list order; a
// connection whose receiver is null was removed during a send and is unlinked
// when the outlet's last send returns. An inlet's sources list the outlets
// connected to it. A chained outlet (the outlet of an inlet object inside a
// subpatcher) stands for an inlet of the subpatcher box and has no
// connections of its own: connecting it connects that inlet's sources
// directly; a chained inlet forwards to such an outlet, and connecting to it
// connects directly to that outlet's logical targets. So messages from
// outside a subpatcher reach the objects inside without passing through the
// inlet and outlet objects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kel/base.h"
#include "kel/linklist.h"
#include "kel/outlets.h"

namespace kel {

// The receiver's methods for the common messages, as an untyped outlet finds
// them: kept while the receiver still points into `table` and no method table
// changed since (`generation`). A null method: the receiver has none, and the
// lookup path reports it. A list method is kept only when it takes its
// arguments as they come (the others need stdlist's conversion).
struct method_cache {
    const method_entry *table;
    uint32_t generation;  // 0: never filled
    kel_method bang;
    kel_method int_;
    kel_method float_;
    kel_method list;
};

struct connection {
    connection *next;
    connection *prev;
    object *receiver;   // null once removed during a send
    kel_method method;  // typed outlets: the receiver's method for the type, or method_false
    bool to_inlet;      // the receiver is an inlet, which lists this outlet among its sources
    method_cache cache;
    connection *older_same;  // the next older live connection of the outlet to the same receiver
};

struct source {
    source *next;
    source *prev;
    connection *conn;  // null for a source recorded by a chained inlet
    outlet *from;
};

inline constexpr int outlet_removed_mark = 1 << 30;
inline constexpr uint16_t inlet_flag_chained = 0x1;

}  // namespace kel

// Outlets and inlets are `tiny` objects: their records begin with an
// object's first two fields (no inlets, no outlets of their own), and use the
// four bytes an object header would pad with for a field of their own, so
// that each fits in 64 bytes: a patch holds one or more of each per box.
struct outlet {
    method_entry *messlist;
    int32_t magic;
    // Sends in progress on this outlet, plus outlet_removed_mark while
    // connections removed during a send wait to be unlinked: the outermost
    // send sees exactly the mark left when it returns.
    int sending;
    kel::connection *connections;
    object *owner;
    symbol *type;        // null: untyped
    inlet *chain_inlet;  // for a chained outlet: the inlet it stands for
    outlet *next;        // the owner's next outlet
    linklist *targets;   // a chained outlet's logical targets; null for any other outlet
};

struct inlet {
    method_entry *messlist;
    int32_t magic;
    uint16_t flags;
    object *receiver;
    object *owner;
    symbol *type;  // null: pass-through
    kel_method method;
    inlet *next;  // the owner's next inlet
    kel::source *sources;
};

static_assert(offsetof(outlet, magic) == offsetof(object, magic) && offsetof(inlet, magic) == offsetof(object, magic));
static_assert(sizeof(outlet) == 64 && sizeof(inlet) == 64);

namespace kel {

// True for an outlet that stands for an inlet of a subpatcher box.
inline bool outlet_chained(const outlet *o) { return o->targets != nullptr; }

// True while a send on o is in progress (on any thread).
inline bool outlet_sending(const outlet *o) { return (o->sending & ~outlet_removed_mark) != 0; }

kel_class *outlet_class();
kel_class *inlet_class();
kel_class *proxy_class();

bool is_outlet(const void *x);
bool is_inlet(const void *x);

// Makes o a chained outlet standing for the inlet stands_for, and i a chained
// inlet forwarding to the outlet inner (the patcher does this for subpatcher
// inlets and outlets). outlet_chain answers false, changing nothing, when
// memory for the outlet's list of targets ran out.
bool outlet_chain(outlet *o, inlet *stands_for);
void inlet_chain(inlet *i, outlet *inner);

// Frees every outlet, then every extra inlet of x.
void outlets_free_all(object *x);
void inlets_free_all(object *x);

// The wires at kernel start-up: the outlet, inlet and proxy classes, and
// freeobject's last step (outlets_free_all, then inlets_free_all).
bool wires_init();

// The inlet-class deliveries, used by stdlist's spreading.
void inlet_deliver_int(inlet *i, long n);
void inlet_deliver_float(inlet *i, double f);

// Sends s to x with x's first outlets temporarily carrying the connections of
// grabber's first `catching` outlets (at most grab_outlets_max), one for
// one: grabber catches what x answers, and x's other outlets keep their own
// cords. target is x itself or an inlet of x. Allocates nothing.
inline constexpr long grab_outlets_max = 64;
void *outlet_grab(object *grabber, long catching, object *target, symbol *s, long argc, atom *argv);

}  // namespace kel
