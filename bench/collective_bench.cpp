// Collectives: opening one of 1,000 entries (reading its directory), finding
// a name among them (the last of the directory, so that a scan would be
// slowest), and opening an entry, reading 4 KiB of it and closing it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_support.h"
#include "kel/kel.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "objects/engine.h"

namespace {

constexpr int entry_count = 1000;
constexpr size_t entry_size = 4096;

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string chunk(const std::string &type, const std::string &data)
{
    return type + be32(static_cast<uint32_t>(data.size() + 8)) + data;
}

std::string entry_name(int k) { return "Entry" + std::to_string(k) + ".txt"; }

// 1,000 text entries of 4 KiB each, named Entry0.txt .. Entry999.txt.
std::string collective_bytes()
{
    std::string body, directory;
    for (int k = 0; k < entry_count; k++) {
        std::string name = entry_name(k) + '\0';
        while (name.size() % 4) name += '\0';
        const auto offset = static_cast<uint32_t>(16 + body.size());
        directory += chunk("dire", chunk("fnam", name) + chunk("type", "TEXT") + chunk("of32", be32(offset)) +
                                       chunk("sz32", be32(entry_size)) + chunk("flag", be32(0)));
        body += std::string(entry_size, static_cast<char>('a' + k % 26));
    }
    return chunk("kl@c", be32(0) + be32(static_cast<uint32_t>(16 + body.size()))) + body + chunk("dlst", directory);
}

struct collective_file {
    kel::bench::scratch_folder scratch;
    short path = 0;

    collective_file()
    {
        kel::engine_init();
        if (scratch.folder.empty()) return;
        std::ofstream(scratch.file("bench.klf"), std::ios::binary) << collective_bytes();
        path = scratch.path;
    }
};

const collective_file &file()
{
    static const collective_file f;
    return f;
}

void BM_CollectiveOpen(benchmark::State &state)
{
    const short path = file().path;
    for (auto _ : state) {
        xpcoll *x = xpcoll_open("bench.klf", path, FILETYPE_COLLECTIVE, 0, 0, 0);
        if (!x) {
            state.SkipWithError("the collective did not open");
            return;
        }
        xpcoll_dereference(x);
    }
}
// Each opening takes a new id, and ids are never handed out twice: a fixed
// number of iterations keeps a fast machine well inside them.
BENCHMARK(BM_CollectiveOpen)->Unit(benchmark::kMicrosecond)->Iterations(2000);

void BM_CollectiveFind(benchmark::State &state)
{
    xpcoll *x = xpcoll_open("bench.klf", file().path, FILETYPE_COLLECTIVE, 0, 0, 0);
    if (!x) {
        state.SkipWithError("the collective did not open");
        return;
    }
    const std::string name = entry_name(entry_count - 1);
    const long types[] = {FILETYPE_TEXT};
    for (auto _ : state) benchmark::DoNotOptimize(kel::collective_find(name.c_str(), 0, types, 1, nullptr, nullptr));
    xpcoll_dereference(x);
}
BENCHMARK(BM_CollectiveFind);

void BM_CollectiveEntryRead(benchmark::State &state)
{
    xpcoll *x = xpcoll_open("bench.klf", file().path, FILETYPE_COLLECTIVE, 0, 0, 0);
    if (!x) {
        state.SkipWithError("the collective did not open");
        return;
    }
    const std::string name = entry_name(entry_count / 2);
    char buffer[entry_size];
    for (auto _ : state) {
        sysfile *f = nullptr;
        if (path_opensysfile(name.c_str(), x->id, &f, PATH_PERM_READ) != 0) {
            state.SkipWithError("the entry did not open");
            break;
        }
        long count = sizeof buffer;
        sysfile_read(f, &count, buffer);
        benchmark::DoNotOptimize(count);
        sysfile_close(f);
    }
    xpcoll_dereference(x);
}
BENCHMARK(BM_CollectiveEntryRead)->Unit(benchmark::kMicrosecond);

}  // namespace
