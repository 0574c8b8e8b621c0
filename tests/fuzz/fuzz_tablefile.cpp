// Fuzz target: table files (any bytes read as a table file).
//
// For any input:
//   - reading never breaks: it gives a table or one clear error, and a
//     failed read leaves the table exactly as it was;
//   - a table that read is written (text and binary form) and read back to
//     the same size and values.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "kel/kel.h"
#include "kernel/files/path.h"
#include "objects/engine.h"
#include "objects/table.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace {

kel::fuzz::scratch_folder g_scratch;
object *g_box = nullptr;
object *g_copy = nullptr;

std::vector<int32_t> contents(const kel::table_record *t)
{
    std::vector<int32_t> values(static_cast<size_t>(kel::table_size(t)));
    for (size_t k = 0; k < values.size(); k++) values[k] = kel::table_get(t, static_cast<long>(k));
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    kel::path_init();
    g_scratch.make("tablefile");
    g_box = static_cast<object *>(newinstance(gensym("table"), 0, nullptr));
    g_copy = static_cast<object *>(newinstance(gensym("table"), 0, nullptr));
    FUZZ_CHECK(g_box && g_copy, "two tables");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!g_scratch.write("input.txt", data, size)) return 0;
    kel::table_record *t = kel::table_of(g_box);
    const std::vector<int32_t> before = contents(t);
    if (!kel::table_read_file(t, "input.txt", g_scratch.path)) {
        FUZZ_CHECK(contents(t) == before, "a failed read leaves the table as it was");
        return 0;
    }
    const std::vector<int32_t> read = contents(t);
    FUZZ_CHECK(!read.empty() && static_cast<long>(read.size()) <= kel::table_size_max, "a table's size is bounded");
    kel::table_record *copy = kel::table_of(g_copy);
    for (bool binary : {false, true}) {
        FUZZ_CHECK(kel::table_write_file(t, "written.klt", g_scratch.path, binary), "a table that read is written");
        FUZZ_CHECK(kel::table_read_file(copy, "written.klt", g_scratch.path), "what was written reads");
        FUZZ_CHECK(contents(copy) == read, "what was written reads back the same");
    }
    return 0;
}
