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

namespace {

std::string g_folder;
short g_path = 0;
object *g_box = nullptr;
object *g_copy = nullptr;

bool write_file(const char *name, const void *data, size_t size)
{
    std::FILE *f = std::fopen((g_folder + "/" + name).c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

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
    char folder[] = "/tmp/kel_fuzz_tablefile_XXXXXX";
    FUZZ_CHECK(mkdtemp(folder) != nullptr, "a scratch folder");
    g_folder = folder;
    char ignored[1024];
    FUZZ_CHECK(path_frompathname(g_folder.c_str(), &g_path, ignored) == 0, "the scratch folder has a path");
    g_box = static_cast<object *>(newinstance(gensym("table"), 0, nullptr));
    g_copy = static_cast<object *>(newinstance(gensym("table"), 0, nullptr));
    FUZZ_CHECK(g_box && g_copy, "two tables");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!write_file("input.txt", data, size)) return 0;
    kel::table_record *t = kel::table_of(g_box);
    const std::vector<int32_t> before = contents(t);
    if (!kel::table_read_file(t, "input.txt", g_path)) {
        FUZZ_CHECK(contents(t) == before, "a failed read leaves the table as it was");
        return 0;
    }
    const std::vector<int32_t> read = contents(t);
    FUZZ_CHECK(!read.empty() && static_cast<long>(read.size()) <= kel::table_size_max, "a table's size is bounded");
    kel::table_record *copy = kel::table_of(g_copy);
    for (bool binary : {false, true}) {
        FUZZ_CHECK(kel::table_write_file(t, "written.klt", g_path, binary), "a table that read is written");
        FUZZ_CHECK(kel::table_read_file(copy, "written.klt", g_path), "what was written reads");
        FUZZ_CHECK(contents(copy) == read, "what was written reads back the same");
    }
    return 0;
}
