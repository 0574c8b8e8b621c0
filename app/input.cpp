#include "app/input.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <termios.h>
#include <unistd.h>

#if KEL_HAVE_LIBEDIT
#include <histedit.h>
#endif

#include "kel/kel.h"
#include "kernel/core/guarded.h"
#include "kernel/time/scheduler.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

std::mutex g_lock;
std::deque<std::string> g_lines;  // read, not yet evaluated (kernel text)
qelem *g_pending = nullptr;

bool g_terminal = false;  // standard input is a terminal; g_saved_mode holds its mode
termios g_saved_mode{};

// A typed line in the kernel's text: each word in Mac Roman when Mac Roman
// spells it, else as the bytes typed, as file names are held, so that a
// word the console prints back shows as it was typed (日本 stays 日本) and a
// word Mac Roman can spell names the same symbol a patch file does.
std::string kernel_text(const std::string &typed)
{
    std::string out;
    size_t at = 0;
    while (at < typed.size()) {
        size_t end = typed.find_first_of(" \t", at);
        if (end == std::string::npos) end = typed.size();
        out += toolbox::os_name_to_kernel(std::string_view(typed).substr(at, end - at));
        if (end < typed.size()) out += typed[end];
        at = end + 1;
    }
    return out;
}

// Evaluates one line in the kernel's text with b. A line that does not fit
// in memory is dropped.
void evaluate_with(binbuf *b, const std::string &kernel_line)
{
    std::string line = "; " + kernel_line;
    kel_handle text = sysmem_newhandle(static_cast<long>(line.size()));
    if (!text) return;
    std::memcpy(*text, line.data(), line.size());
    if (binbuf_text(b, text, static_cast<long>(line.size())) == 0) binbuf_eval(b, 0, nullptr, nullptr);
    sysmem_freehandle(text);
}

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
                line = std::move(g_lines.front());
                g_lines.pop_front();
            }
            evaluate_with(b, line);
        }
    });
    freeobject(b);
}

void take_line(std::string line)
{
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    {
        std::lock_guard guard(g_lock);
        g_lines.push_back(kernel_text(line));
    }
    qelem_set(g_pending);
}

// The end of input on a terminal is the user's Ctrl-D: an orderly quit, as
// `kel quit` is. A pipe or file that ends only ends the reading: the patch
// runs on until it quits, its --duration passes or a signal comes.
void input_ended()
{
    if (g_terminal) sched_request_quit();
}

void read_plain()
{
    std::string line;
    for (int c; (c = std::getchar()) != EOF;) {
        line += static_cast<char>(c);
        if (c != '\n') continue;
        take_line(std::move(line));
        line.clear();
    }
    if (!line.empty()) take_line(std::move(line));
    input_ended();
}

#if KEL_HAVE_LIBEDIT
const char *no_prompt(EditLine *) { return ""; }

// Edits lines with history on the terminal. The editor draws on whichever of
// standard output and standard error is the terminal, so that a transcript
// redirected to a file never holds the typing.
void read_edited(FILE *draw)
{
    EditLine *el = el_init("kel", stdin, draw, stderr);
    History *h = history_init();
    if (!el || !h) {
        if (el) el_end(el);
        if (h) history_end(h);
        read_plain();
        return;
    }
    HistEvent event;
    history(h, &event, H_SETSIZE, 500);
    history(h, &event, H_SETUNIQUE, 1);
    el_set(el, EL_EDITOR, "emacs");
    el_set(el, EL_PROMPT, &no_prompt);
    el_set(el, EL_HIST, history, h);
    el_set(el, EL_SIGNAL, 0);  // signals belong to kel's signal thread
    el_source(el, nullptr);    // the user's ~/.editrc
    for (;;) {
        int count = 0;
        const char *text = el_gets(el, &count);
        if (!text || count <= 0) break;
        std::string line(text, static_cast<size_t>(count));
        if (line.find_first_not_of(" \t\r\n") != std::string::npos) history(h, &event, H_ENTER, text);
        take_line(std::move(line));
    }
    el_end(el);
    history_end(h);
    input_ended();
}
#endif

void read_lines()
{
#if KEL_HAVE_LIBEDIT
    if (g_terminal) {
        FILE *draw = isatty(STDOUT_FILENO) ? stdout : isatty(STDERR_FILENO) ? stderr : nullptr;
        if (draw) {
            read_edited(draw);
            return;
        }
    }
#endif
    read_plain();
}

}  // namespace

void input_start()
{
    g_pending = qelem_new(nullptr, reinterpret_cast<kel_method>(&evaluate_lines));
    if (!g_pending) return;
    g_terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &g_saved_mode) == 0;
    std::thread(&read_lines).detach();
}

void input_stop()
{
    if (g_terminal) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
}

void input_evaluate(const std::string &line)
{
    binbuf *b = binbuf_new();
    if (!b) return;
    guarded("kel", [&] { evaluate_with(b, kernel_text(line)); });
    freeobject(b);
}

}  // namespace kel::app
