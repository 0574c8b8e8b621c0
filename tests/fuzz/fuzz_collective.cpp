// Fuzz target: collectives (any bytes opened as a collective file).
//
// For any input:
//   - opening never breaks: a directory that does not hold together is
//     refused, and then no collective is left open;
//   - every entry of an opened collective opens as a file whose size is the
//     entry's, and reads give exactly that many bytes, the same as the
//     input holds at the entry's offset; reads at the end give nothing and
//     seeks stay inside the entry;
//   - the same bytes opened from memory give the same entries;
//   - once the opener lets go and every entry file is closed, the
//     collective is gone.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "kel/kel.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "objects/engine.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace {

kel::fuzz::scratch_folder g_scratch;

std::vector<xpcentry *> entries_of(xpcoll *x)
{
    std::vector<xpcentry *> out(static_cast<size_t>(linklist_getsize(x->entries)));
    if (!out.empty())
        linklist_makearray(x->entries, reinterpret_cast<void **>(out.data()), static_cast<long>(out.size()));
    return out;
}

// Reads every entry of x to its end and checks it against the input. A name
// opens the first entry of that name (letter case aside): later ones of the
// same name are only checked for their windows.
void check_entries(xpcoll *x, const std::uint8_t *data, std::size_t size)
{
    std::set<symbol *> seen;
    for (xpcentry *e : entries_of(x)) {
        FUZZ_CHECK(e->offset >= 0 && e->size >= 0 && static_cast<std::size_t>(e->offset) + e->size <= size,
                   "an entry's window lies inside the collective");
        if (!seen.insert(e->name).second) continue;
        sysfile *f = nullptr;
        FUZZ_CHECK(path_opensysfile(e->stored_name->name, x->id, &f, PATH_PERM_READ) == 0, "an entry opens");
        long length = -1;
        FUZZ_CHECK(sysfile_geteof(f, &length) == 0 && length == e->size, "an entry file has the entry's size");
        std::string got;
        char buffer[4096];
        for (;;) {
            long count = sizeof buffer;
            const long err = sysfile_read(f, &count, buffer);
            if (count <= 0 || err) break;
            got.append(buffer, static_cast<size_t>(count));
            FUZZ_CHECK(static_cast<long>(got.size()) <= length, "reads stop at the entry's end");
        }
        FUZZ_CHECK(static_cast<long>(got.size()) == length, "an entry reads whole");
        FUZZ_CHECK(got.empty() || std::memcmp(got.data(), data + e->offset, got.size()) == 0,
                   "an entry reads the bytes at its offset");
        sysfile_setpos(f, SYSFILE_FROM_START, length + 1000);
        long at = -1;
        sysfile_getpos(f, &at);
        FUZZ_CHECK(at <= length, "a seek stays inside the entry");
        sysfile_close(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    kel::path_init();
    g_scratch.make("collective");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    kel::collective_ids_restart();  // millions of runs would use up the ids
    if (!g_scratch.write("input.klf", data, size)) return 0;
    xpcoll *x = xpcoll_open("input.klf", g_scratch.path, FILETYPE_COLLECTIVE, 0, 0, 0);
    long entries = -1;
    if (x) {
        const short id = x->id;
        entries = linklist_getsize(x->entries);
        check_entries(x, data, size);
        xpcoll_dereference(x);
        FUZZ_CHECK(!kel::collective_is_open(id), "the last reference frees the collective");
    }

    // From memory: the same directory.
    sysfile *f = nullptr;
    if (sysfile_openptrsize(reinterpret_cast<char *>(const_cast<std::uint8_t *>(data)), static_cast<long>(size), 0,
                            &f) == 0) {
        xpcoll *m = xpcoll_opensysfile(f, "memory.klf", FILETYPE_COLLECTIVE, 0, 0, 0);
        FUZZ_CHECK((m != nullptr) == (x != nullptr), "memory and file agree on the directory");
        if (m) {
            FUZZ_CHECK(linklist_getsize(m->entries) == entries, "memory and file give the same entries");
            check_entries(m, data, size);
            xpcoll_dereference(m);
        }
    }
    return 0;
}
