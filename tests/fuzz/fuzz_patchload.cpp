// Fuzz target: the patch loader (a patcher file of any content, loaded as
// the kel program loads a document).
//
// For any input:
//   - loading never breaks, whatever the boxes, cords and message lines say;
//   - a patcher that loaded can be saved, and what was saved loads again;
//   - freeing every patcher leaves no pending clock and no queued element of
//     theirs running against freed objects.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "kel/kel.h"
#include "kernel/core/console.h"
#include "kernel/files/path.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/scheduler.h"
#include "objects/engine.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_scratch.h"

namespace {

kel::fuzz::scratch_folder g_scratch;

// Runs whatever the load left to do: queued elements, and clocks due now.
void settle()
{
    for (int i = 0; i < 100 && !kel::queue_is_empty(); i++) kel::queue_service();
    kel::sched_poll();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    kel::path_init();
    g_scratch.make("patchload");
    kel::sched_place_time(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 1 << 14) return 0;
    if (g_scratch.folder.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
    kel::console_clear();
    kel::sched_restart();
    FUZZ_CHECK(g_scratch.write("input.pat", data, size), "the input is written");
    auto *p = static_cast<patcher *>(fileload("input.pat", g_scratch.path));
    settle();
    if (p && kel::is_patcher(p)) {
        binbuf *saved = binbuf_new();
        FUZZ_CHECK(saved != nullptr, "no buffer");
        patcher_save(p, saved);
        char *text = nullptr;
        long length = 0;
        kel_handle h = sysmem_newhandle(0);
        FUZZ_CHECK(h != nullptr, "no handle");
        if (binbuf_totext(saved, h, &length) == 0) text = *h;
        if (text) {
            FUZZ_CHECK(g_scratch.write("saved.pat", text, static_cast<size_t>(length)), "the save is written");
            fileload("saved.pat", g_scratch.path);
            settle();
        }
        sysmem_freehandle(h);
        freeobject(saved);
    }
    kel::patcher_free_all();
    settle();
    return 0;
}
