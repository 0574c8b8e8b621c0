// Patch cords: connecting boxes by number (`connect`, `fasten`), by object
// (`hook`) and by pointer (patcher_connectobj), the cord records and their
// end points, and the order in which an outlet delivers to its cords.
//
// Delivery order. An outlet's connections follow its cords' inlet ends:
// larger x first (right to left), for equal x larger y first (lower first),
// for equal points the older cord first. A cord into a subpatcher's inlet
// stands for the connections to everything that inlet's box is wired to
// inside (the kernel connects straight through, see kernel/outlets.h), in
// the order the inside cords give; so a change of order inside reaches the
// outlets outside that feed it, and one outside reaches the objects inside
// that feed an outlet box.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/linklist.h"
#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_script.h"
#include "kernel/wires/outlets.h"

namespace kel {
namespace {

unsigned long g_cord_serial = 0;

// A placeholder grows outlets and inlets for cords, but not without bound:
// a number beyond this in a file is taken for damage.
constexpr long placeholder_ports_max = 1024;

// Flattening through nested subpatchers goes no deeper than this.
constexpr int expand_depth_max = 64;

struct connect_messages {
    const char *no_outlet;  // with the outlet number and the class name
    const char *no_inlet;
    const char *mismatch;
    bool with_numbers;
};

const connect_messages connect_lines{"connect: outlet %ld of %s out of range", "connect: inlet %ld of %s out of range",
                                     "patcher_connect: inlet and outlet don't match", true};
const connect_messages hook_lines{"patcher_hook: outlet out of range", "patcher_hook: inlet out of range",
                                  "patcher_hook: inlet and outlet don't match", false};

const char *class_name_of(object *x) { return object_valid(x) ? object_classname(x)->name : "<unknown>"; }

// An error about a line of a patcher file: during a load it names the file
// and the line ("patch.pat:12: connect: ..."), otherwise it is the text alone.
void record_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void record_error(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    error("%s%s", patcher_load_position().c_str(), text);
}

short clamp_short(long v)
{
    if (v > 32767) return 32767;
    if (v < -32768) return -32768;
    return static_cast<short>(v);
}

// The horizontal offsets of inlets and outlets across a box's width.
long inlet_offset(box *b, long n)
{
    long w = b->rect.right - b->rect.left;
    long k = object_inlet_count(b->obj);
    long spacing = k >= 2 ? (w - 10) / (k - 1) : 0;
    return n * spacing;
}

long outlet_offset(box *b, long n)
{
    long w = b->rect.right - b->rect.left;
    long k = object_outlet_count(b->obj);
    long spacing = k >= 2 ? (w - 10) / (k - 1) : 0;
    return n * spacing;
}

void cord_start_point(box *b, long n, short *x, short *y)
{
    *x = clamp_short(b->rect.left + outlet_offset(b, n) + 5);
    *y = b->rect.bottom;
}

void cord_lay(patchcord *c)
{
    cord_start_point(c->src, c->outlet, &c->x[0], &c->y[0]);
    cord_end_point(c->dst, c->inlet, &c->x[c->npoints], &c->y[c->npoints]);
}

patchcord *cord_new(patcher *p, box *src, long outn, box *dst, long inn)
{
    auto *c = static_cast<patchcord *>(getbytes(sizeof(patchcord)));
    if (!c) return nullptr;
    std::memset(c, 0, sizeof *c);
    c->src = src;
    c->dst = dst;
    c->outlet = static_cast<short>(outn);
    c->inlet = static_cast<short>(inn);
    c->npoints = 1;
    c->serial = ++g_cord_serial;
    c->next = p->cords;
    if (p->cords) p->cords->prev = c;
    p->cords = c;
    c->next_out = src->cords_out;
    src->cords_out = c;
    c->next_in = dst->cords_in;
    dst->cords_in = c;
    return c;
}

void cord_unlink(patcher *p, patchcord *c)
{
    if (c->prev)
        c->prev->next = c->next;
    else if (p->cords == c)
        p->cords = c->next;
    if (c->next) c->next->prev = c->prev;
    for (patchcord **at = &c->src->cords_out; *at; at = &(*at)->next_out) {
        if (*at == c) {
            *at = c->next_out;
            break;
        }
    }
    for (patchcord **at = &c->dst->cords_in; *at; at = &(*at)->next_in) {
        if (*at == c) {
            *at = c->next_in;
            break;
        }
    }
}

object *cord_receiver(patchcord *c) { return object_inlet_at(c->dst->obj, c->inlet); }

// The receivers a connection to r stands for once chained inlets (inlets of
// a subpatcher box) are followed inside, in their delivery order.
void expand(object *r, std::vector<object *> *out, int depth)
{
    if (depth < expand_depth_max && is_inlet(r)) {
        auto *i = reinterpret_cast<inlet *>(r);
        if (i->flags & inlet_flag_chained) {
            auto *inner = reinterpret_cast<outlet *>(i->receiver);
            long count = inner && inner->targets ? linklist_getsize(inner->targets) : 0;
            for (long k = 0; k < count; k++)
                expand(static_cast<object *>(linklist_getindex(inner->targets, k)), out, depth + 1);
            return;
        }
    }
    out->push_back(r);
}

// The cords leaving outlet n of src, in delivery order.
std::vector<patchcord *> sorted_cords(box *src, long n)
{
    std::vector<patchcord *> cords;
    for (patchcord *c = src->cords_out; c; c = c->next_out)
        if (c->outlet == n) cords.push_back(c);
    std::sort(cords.begin(), cords.end(), [](const patchcord *a, const patchcord *b) {
        short ax = a->x[a->npoints], bx = b->x[b->npoints], ay = a->y[a->npoints], by = b->y[b->npoints];
        if (ax != bx) return ax > bx;
        if (ay != by) return ay > by;
        return a->serial < b->serial;
    });
    return cords;
}

// Matches each wanted receiver, in turn, with the first unused item that
// holds it. Items no receiver asked for come first, in their old order.
template <class Item, class ReceiverOf>
std::vector<Item> arrange(const std::vector<Item> &items, const std::vector<object *> &wanted, ReceiverOf receiver_of,
                          std::vector<size_t> *unmatched)
{
    std::vector<bool> used(items.size(), false);
    std::unordered_map<object *, std::vector<size_t>> where;
    for (size_t k = items.size(); k-- > 0;) where[receiver_of(items[k])].push_back(k);  // last pushed = first item
    std::vector<Item> matched;
    for (size_t w = 0; w < wanted.size(); w++) {
        auto it = where.find(wanted[w]);
        if (it == where.end() || it->second.empty()) {
            unmatched->push_back(w);
            continue;
        }
        size_t k = it->second.back();
        it->second.pop_back();
        used[k] = true;
        matched.push_back(items[k]);
    }
    std::vector<Item> result;
    for (size_t k = 0; k < items.size(); k++)
        if (!used[k]) result.push_back(items[k]);
    result.insert(result.end(), matched.begin(), matched.end());
    return result;
}

// The box whose inlet `i` is, and that inlet's number there: the container
// box of a patcher (i is one of the patcher's inlets) or an outlet box.
box *box_of_inlet(inlet *i, long *number)
{
    object *owner = i->owner;
    long n = 0;
    if (!object_valid(owner)) return nullptr;
    for (inlet *k = owner->inlets; k && k != i; k = k->next) n++;
    *number = n;
    if (is_patcher(owner)) {
        box *container = reinterpret_cast<patcher *>(owner)->container;
        return container && container->owner ? container : nullptr;
    }
    if (is_port_box(owner)) {
        auto *b = reinterpret_cast<box *>(owner);
        return b->owner ? b : nullptr;
    }
    return nullptr;
}

void reorder_chained(box *src, long n, outlet *o, int depth)
{
    std::vector<patchcord *> cords = sorted_cords(src, n);
    if (o->targets) {
        std::vector<object *> wanted;
        for (patchcord *c : cords)
            if (object *r = cord_receiver(c)) wanted.push_back(r);
        std::vector<object *> targets;
        long count = linklist_getsize(o->targets);
        for (long k = 0; k < count; k++) targets.push_back(static_cast<object *>(linklist_getindex(o->targets, k)));
        std::vector<size_t> unmatched;
        std::vector<object *> ordered = arrange(
            targets, wanted, [](object *x) { return x; }, &unmatched);
        if (ordered != targets) {
            while (linklist_getsize(o->targets) > 0) linklist_chuckindex(o->targets, 0);
            for (object *t : ordered) linklist_append(o->targets, t);
        }
    }
    // The outlets that reach through this one's inlet now deliver in a new
    // order too.
    long number = 0;
    box *b = o->chain_inlet ? box_of_inlet(o->chain_inlet, &number) : nullptr;
    if (!b || depth >= expand_depth_max) return;
    std::vector<std::pair<box *, long>> feeders;
    for (patchcord *c = b->cords_in; c; c = c->next_in)
        if (c->inlet == number) feeders.emplace_back(c->src, c->outlet);
    for (const auto &f : feeders) {
        outlet *fo = object_outlet_at(f.first->obj, f.second);
        if (!fo) continue;
        if (outlet_chained(fo))
            reorder_chained(f.first, f.second, fo, depth + 1);
        else
            outlet_reorder(f.first, f.second);
    }
}

void reorder_plain(box *src, long n, outlet *o)
{
    if (!o->connections || !o->connections->next) return;
    // Connections are not relinked under a send in progress on this outlet;
    // the next cord made here puts them in order.
    if (outlet_sending(o)) return;
    std::vector<patchcord *> cords = sorted_cords(src, n);
    std::vector<object *> wanted;
    std::vector<patchcord *> wanted_cord;
    for (patchcord *c : cords) {
        object *r = cord_receiver(c);
        if (!r) continue;
        size_t before = wanted.size();
        expand(r, &wanted, 0);
        wanted_cord.insert(wanted_cord.end(), wanted.size() - before, c);
    }
    std::vector<connection *> nodes;
    for (connection *k = o->connections; k; k = k->next) nodes.push_back(k);
    std::vector<size_t> unmatched;
    std::vector<connection *> ordered = arrange(
        nodes, wanted, [](connection *k) { return k->receiver; }, &unmatched);
    for (size_t w : unmatched)
        check_failed("resort 3 (%s %s)", class_name_of(src->obj), class_name_of(wanted_cord[w]->dst->obj));
    if (ordered == nodes) return;
    for (size_t k = 0; k < ordered.size(); k++) {
        ordered[k]->prev = k ? ordered[k - 1] : nullptr;
        ordered[k]->next = k + 1 < ordered.size() ? ordered[k + 1] : nullptr;
    }
    o->connections = ordered.front();
}

bool grow_for(box *b, long n, bool outlets)
{
    if (!b->obj || n < 0 || n >= placeholder_ports_max) return false;
    if (!(b->flags & BOX_FLAG_PLACEHOLDER) && !object_opens_ports(b->obj)) return false;
    bool grown = outlets ? placeholder_grow_outlets(b->obj, n) : placeholder_grow_inlets(b->obj, n);
    if (!grown && patcher_loading()) building().load_abort = 1;
    if (grown) box_relayout(b);
    return grown;
}

patchcord *connect_step(patcher *p, box *src, long outn, box *dst, long inn, bool check, long flags,
                        const connect_messages &m)
{
    outlet *o = object_outlet_at(src->obj, outn);
    if (!o && grow_for(src, outn, true)) o = object_outlet_at(src->obj, outn);
    if (!o) {
        if (m.with_numbers)
            record_error(m.no_outlet, outn, class_name_of(src->obj));
        else
            record_error("%s", m.no_outlet);
        return nullptr;
    }
    object *r = object_inlet_at(dst->obj, inn);
    if (!r && grow_for(dst, inn, false)) r = object_inlet_at(dst->obj, inn);
    if (!r) {
        if (m.with_numbers)
            record_error(m.no_inlet, inn, class_name_of(dst->obj));
        else
            record_error("%s", m.no_inlet);
        return nullptr;
    }
    if (check) {
        for (patchcord *c = src->cords_out; c; c = c->next_out)
            if (c->dst == dst && c->outlet == outn && c->inlet == inn) return nullptr;
        if (o->type) {
            kel_method checkin = zgetfn(r, gensym("checkin"));
            if (checkin && call_checkin(checkin, r, o->type)) return nullptr;
        }
    }
    if (outlet_add(o, r) != 0) {
        record_error("%s", m.mismatch);
        return nullptr;
    }
    patchcord *c = cord_new(p, src, outn, dst, inn);
    if (!c) {
        outlet_rm(o, r);
        if (patcher_loading()) building().load_abort = 1;
        return nullptr;
    }
    c->hidden = (flags & CORD_FLAG_HIDDEN) || building().hidden_mode;
    c->color = static_cast<uint8_t>(flags & 0xFF);
    cord_lay(c);
    // While a file builds p, each outlet is put in order once, when p is
    // popped, instead of once per cord: a thousand cords on one outlet would
    // otherwise sort its connections a thousand times.
    if (patcher_loading() && bindings().P->thing == &p->header)
        p->reorder_pending = true;
    else
        outlet_reorder(src, outn);
    return c;
}

// --- methods ---

void *patcher_connect_method(patcher *p, long src, long outn, long dst, long inn)
{
    if (src < 0 || outn < 0 || dst < 0 || inn < 0 || src == dst || building().load_abort) return nullptr;
    box *from = patcher_box_at(p, src), *to = patcher_box_at(p, dst);
    if (!from || !to) {
        record_error("connection out of range");
        return nullptr;
    }
    connect_step(p, from, outn, to, inn, false, 0, connect_lines);
    return nullptr;
}

void *patcher_fasten_method(patcher *p, symbol *, long argc, atom *argv)
{
    if (argc < 4) {
        record_error("patcher_fasten: not enough arguments");
        return nullptr;
    }
    long n[4];
    for (int k = 0; k < 4; k++) n[k] = atom_getlong(&argv[k]);
    if (n[0] < 0 || n[1] < 0 || n[2] < 0 || n[3] < 0 || n[0] == n[2] || building().load_abort) return nullptr;
    box *from = patcher_box_at(p, n[0]), *to = patcher_box_at(p, n[2]);
    if (!from || !to) {
        record_error("connection out of range");
        return nullptr;
    }
    patchcord *c = connect_step(p, from, n[1], to, n[3], false, 0, connect_lines);
    if (!c) return nullptr;
    const building_state &bs = building();
    long bends = (argc - 4) / 2;
    if (bends > cord_bends_max) bends = cord_bends_max;
    if (bends <= 0) return nullptr;
    short end_x = c->x[c->npoints], end_y = c->y[c->npoints];
    for (long k = 0; k < bends; k++) {
        c->x[k + 1] = clamp_short(atom_getlong(&argv[4 + 2 * k]) + bs.paste_x);
        c->y[k + 1] = clamp_short(atom_getlong(&argv[5 + 2 * k]) + bs.paste_y);
    }
    c->npoints = static_cast<short>(bends + 1);
    c->x[c->npoints] = end_x;
    c->y[c->npoints] = end_y;
    return nullptr;
}

void *patcher_hook_method(patcher *p, object *src, long outn, object *dst, long inn)
{
    box *from = patcher_box_of(p, src),
        *to = patcher_box_of(p, is_inlet(dst) ? reinterpret_cast<inlet *>(dst)->owner : dst);
    if (!from) {
        error("patcher_hook: outlet out of range");
        return nullptr;
    }
    if (!to) {
        error("patcher_hook: inlet out of range");
        return nullptr;
    }
    connect_step(p, from, outn, to, inn, false, 0, hook_lines);
    return nullptr;
}

void *patcher_lcolor_method(patcher *p, long n)
{
    if (p->cords) p->cords->color = static_cast<uint8_t>(n & 0xFF);
    return nullptr;
}

}  // namespace

void patcher_cords_addmethods(kel_class *c)
{
    class_addmethod(c, reinterpret_cast<kel_method>(&patcher_connect_method), "connect", ATYPE_LONG, ATYPE_LONG,
                    ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&patcher_fasten_method), "fasten", ATYPE_GIMME, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&patcher_hook_method), "hook", ATYPE_OBJ, ATYPE_LONG, ATYPE_OBJ,
                    ATYPE_LONG, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&patcher_lcolor_method), "lcolor", ATYPE_LONG, 0);
}

patchcord *patcher_connect_boxes(patcher *p, box *src, long outn, box *dst, long inn, bool check, long flags)
{
    if (!p || !src || !dst || src->owner != p || dst->owner != p) return nullptr;
    return connect_step(p, src, outn, dst, inn, check, flags, connect_lines);
}

void cord_free(patcher *p, patchcord *c)
{
    outlet *o = object_outlet_at(c->src->obj, c->outlet);
    object *r = cord_receiver(c);
    cord_unlink(p, c);
    if (o && r) outlet_rm(o, r);
    freebytes(c, sizeof(patchcord));
}

patchcord *cord_find(box *src, long outn, box *dst, long inn)
{
    for (patchcord *c = src ? src->cords_out : nullptr; c; c = c->next_out)
        if (c->dst == dst && c->outlet == outn && c->inlet == inn) return c;
    return nullptr;
}

void cord_end_point(box *b, long n, short *x, short *y)
{
    *x = clamp_short(b->rect.left + inlet_offset(b, n) + 5);
    *y = static_cast<short>(b->rect.top - 1);
}

void box_relayout(box *b)
{
    for (patchcord *c = b->cords_out; c; c = c->next_out) cord_lay(c);
    for (patchcord *c = b->cords_in; c; c = c->next_in) cord_lay(c);
    // Each outlet feeding b once, in the order of its first cord here.
    for (patchcord *c = b->cords_in; c; c = c->next_in) {
        bool seen = false;
        for (patchcord *k = b->cords_in; k != c && !seen; k = k->next_in)
            seen = k->src == c->src && k->outlet == c->outlet;
        if (!seen) outlet_reorder(c->src, c->outlet);
    }
}

void outlet_reorder(box *src, long n)
{
    outlet *o = object_outlet_at(src->obj, n);
    if (!o) return;
    try {
        if (outlet_chained(o))
            reorder_chained(src, n, o, 0);
        else
            reorder_plain(src, n, o);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);  // the order stays as it was; nothing is lost
    }
}

void patcher_reorder_outlets(patcher *p)
{
    p->reorder_pending = false;
    std::vector<long> done;
    for (box *b = p->boxes; b; b = b->next) {
        done.clear();
        for (patchcord *c = b->cords_out; c; c = c->next_out) {
            if (std::find(done.begin(), done.end(), c->outlet) != done.end()) continue;
            done.push_back(c->outlet);
            outlet_reorder(b, c->outlet);
        }
    }
}

void cords_shift_inlets(box *b, long from, long delta)
{
    for (patchcord *c = b->cords_in; c; c = c->next_in)
        if (c->inlet >= from) c->inlet = static_cast<short>(c->inlet + delta);
}

void cords_shift_outlets(box *b, long from, long delta)
{
    for (patchcord *c = b->cords_out; c; c = c->next_out)
        if (c->outlet >= from) c->outlet = static_cast<short>(c->outlet + delta);
}

}  // namespace kel

using namespace kel;

KEL_API patcher *patcher_connectobj(patcher *p, box *src, long outn, box *dst, long inn, long check, long flags)
{
    return patcher_connect_boxes(p, src, outn, dst, inn, check != 0, flags) ? p : nullptr;
}

KEL_API void patcher_disconnectobj(patcher *p, box *src, long outn, box *dst, long inn)
{
    if (!p || !src || !dst) return;
    if (!object_outlet_at(src->obj, outn)) {
        error("disconnect: no outlet %ld", outn);
        return;
    }
    if (!object_inlet_at(dst->obj, inn)) {
        error("disconnect: no inlet %ld", inn);
        return;
    }
    if (patchcord *c = cord_find(src, outn, dst, inn)) {
        cord_free(p, c);
        return;
    }
    error("disconnect: unable to find connection");
}

KEL_API void patcher_colorconnectobj(patcher *p, box *src, long outn, box *dst, long inn, long color)
{
    if (!p || !src || !dst) return;
    if (!object_outlet_at(src->obj, outn)) {
        error("connectcolor: no outlet %ld", outn);
        return;
    }
    if (!object_inlet_at(dst->obj, inn)) {
        error("connectcolor: no inlet %ld", inn);
        return;
    }
    if (patchcord *c = cord_find(src, outn, dst, inn)) {
        c->color = static_cast<uint8_t>(color & 0xFF);
        return;
    }
    error("connectcolor: unable to find connection");
}
