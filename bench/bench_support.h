// What the benchmarks share: a scratch folder under $TMPDIR known to the
// path layer, removed with everything in it, and a receiver that keeps the
// last int it was sent.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "kel/kel.h"
#include "kernel/files/path.h"

namespace kel::bench {

struct scratch_folder {
    std::string folder;  // empty when none could be made
    short path = 0;

    scratch_folder()
    {
        kel::path_init();
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kel-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) return;
        folder = std::filesystem::canonical(pattern).string();
        path = kel::path_id_of_folder(folder);
    }
    ~scratch_folder()
    {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }
    scratch_folder(const scratch_folder &) = delete;
    scratch_folder &operator=(const scratch_folder &) = delete;

    std::string file(const std::string &name) const { return folder + "/" + name; }
};

struct int_sink {
    object header;
    long last;
};

inline void *int_sink_int(int_sink *x, long n)
{
    x->last = n;
    return nullptr;
}

// A new sink (class "bench_int_sink", registered once).
inline int_sink *int_sink_new()
{
    static kel_class *c = [] {
        kel_class *made = class_new("bench_int_sink", nullptr, nullptr, sizeof(int_sink), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&int_sink_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    auto *x = static_cast<int_sink *>(object_alloc(c));
    if (x) x->last = 0;
    return x;
}

}  // namespace kel::bench
