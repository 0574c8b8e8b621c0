// The connected pairs: for every outlet and receiver joined by a live
// connection or recorded as a source of an inlet, the live connections that
// join them and the inlet's source record. Connecting and disconnecting ask
// here instead of walking an outlet's connections or an inlet's sources, so
// their cost does not grow with the number of cords at either end.
//
// Callers hold the global lock. A receiver is only a key: it is never read,
// so a pair may outlive the object it names until its outlet lets it go.
#pragma once

#include <cstdint>

#include "kel/base.h"

struct outlet;

namespace kel {

struct connection;
struct source;

struct wire_pair {
    // The outlet's live connections to the receiver, newest first, chained
    // through connection::older_same: removing one takes the newest.
    connection *newest = nullptr;
    source *src = nullptr;    // the receiver's record of the outlet, when it is an inlet
    uint32_t warned_in = 0;   // the quiet period that gave the duplicate warning
    uint32_t checked_in = 0;  // ... and the duplicate-source report
};

// The pair, or null when nothing joins them.
wire_pair *wire_pair_find(const outlet *o, const object *receiver);
// The pair, added when new; null (and memory marked low) when memory for it
// ran out.
wire_pair *wire_pair_get(const outlet *o, const object *receiver);
// Forgets the pair once no connection and no source joins it.
void wire_pair_settle(const outlet *o, const object *receiver);

// While a quiet period lasts (a file loads), a duplicate connection is
// reported once per pair; the repeats are counted and told in one line when
// the outermost period ends. Periods nest: inner ones join the outer one.
class duplicate_reports_quiet {
public:
    duplicate_reports_quiet();
    ~duplicate_reports_quiet();
    duplicate_reports_quiet(const duplicate_reports_quiet &) = delete;
    duplicate_reports_quiet &operator=(const duplicate_reports_quiet &) = delete;
};

// True when a report marked by `mark` (one of a pair's *_in fields) is due:
// always outside a quiet period, once per pair within one. A report not due
// is counted when `counted`.
bool duplicate_report_due(uint32_t &mark, bool counted);

}  // namespace kel
