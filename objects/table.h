// Tables: `table` and `vtable` boxes over shared table records of 32-bit
// integers, and what other families (expressions) use of a record.
#pragma once

#include <cstdint>

#include "kel/base.h"

namespace kel {

struct table_record;

// The most entries a table may have: a size beyond it (a message, a file, a
// vtable line) fails as memory running out does, the old contents kept.
inline constexpr long table_size_max = 1L << 24;

// The record bound to name, or null when the name holds no table.
table_record *table_find(symbol *name);
// The record a table box reads and writes, or null for anything else.
table_record *table_of(object *x);
// Reads a table file (text or binary form) into t, or writes t as one. False
// after the error is posted; t is then as it was.
bool table_read_file(table_record *t, const char *file, short path);
bool table_write_file(table_record *t, const char *file, short path, bool binary);
long table_size(const table_record *t);
// The entry at index, which must be inside the table.
int32_t table_get(const table_record *t, long index);
// Writes the entry at index (inside the table) and tells the clients.
void table_set(table_record *t, long index, int32_t value);
double table_sum(const table_record *t);
// The quantile index for fraction × the sum (see docs/objects.md).
long table_quantile(const table_record *t, double fraction);

bool table_init();

}  // namespace kel
