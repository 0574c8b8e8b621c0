#include "app/input.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "kel/kel.h"
#include "kernel/core/guarded.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

std::mutex g_lock;
std::deque<std::string> g_lines;  // read, not yet evaluated (Mac Roman)
qelem *g_pending = nullptr;

// On the main thread, from the queue. Lines left when memory runs out wait
// for the next line typed.
void evaluate_lines(void *)
{
    binbuf *b = binbuf_new();
    if (!b) return;
    guarded("kel", [&] {
        for (;;) {
            std::string line;
            {
                std::lock_guard guard(g_lock);
                if (g_lines.empty()) break;
                line = "; " + g_lines.front();
                g_lines.pop_front();
            }
            kel_handle text = sysmem_newhandle(static_cast<long>(line.size()));
            if (!text) continue;
            std::memcpy(*text, line.data(), line.size());
            if (binbuf_text(b, text, static_cast<long>(line.size())) == 0) binbuf_eval(b, 0, nullptr, nullptr);
            sysmem_freehandle(text);
        }
    });
    freeobject(b);
}

void read_lines()
{
    std::string line;
    for (int c; (c = std::getchar()) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        {
            std::lock_guard guard(g_lock);
            g_lines.push_back(toolbox::utf8_to_macroman(line));
        }
        line.clear();
        qelem_set(g_pending);
    }
    // End of input: the patch runs on until it quits or is interrupted.
}

}  // namespace

void input_start()
{
    g_pending = qelem_new(nullptr, reinterpret_cast<kel_method>(&evaluate_lines));
    if (!g_pending) return;
    std::thread(&read_lines).detach();
}

}  // namespace kel::app
