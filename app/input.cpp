#include "app/input.h"

#include <condition_variable>
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

// A line longer than this many bytes (its newline not counted) is refused
// and the rest of it skipped as it is read: a runaway line costs no more
// memory than this.
constexpr size_t line_limit = 65536;
// At most this many lines are evaluated per service of the queue; the rest
// wait for the next, so that clocks keep firing while lines keep arriving.
constexpr size_t lines_per_service = 64;
// The reader stops reading while this many lines wait, so that input arriving
// faster than it is evaluated does not pile up in memory.
constexpr size_t lines_waiting_limit = 1024;

struct typed_line {
    std::string text;  // kernel text
    bool refused;      // over line_limit: reported, not evaluated
};

// Never destroyed: the reader thread may still wait on them while the
// process exits, and destroying a condition variable waited on blocks.
std::mutex &g_lock = *new std::mutex;
std::condition_variable &g_room = *new std::condition_variable;  // lines were taken from g_lines
std::deque<typed_line> &g_lines = *new std::deque<typed_line>;   // read, not yet evaluated
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

// On the main thread, from the queue: at most lines_per_service lines, then
// the element is set again for the rest, so that the clocks due meanwhile
// fire between batches. Lines left when memory runs out wait for the next
// line typed (or, with the queue full, for the next service).
void evaluate_lines(void *)
{
    binbuf *b = binbuf_new();
    if (!b) {
        // A full queue gets no next line to set the element: try again.
        std::lock_guard guard(g_lock);
        if (g_lines.size() >= lines_waiting_limit) qelem_set(g_pending);
        return;
    }
    guarded("kel", [&] {
        for (size_t done = 0; done < lines_per_service; done++) {
            typed_line line;
            {
                std::lock_guard guard(g_lock);
                if (g_lines.empty()) break;
                line = std::move(g_lines.front());
                g_lines.pop_front();
            }
            g_room.notify_one();
            if (line.refused)
                error("kel: input line over %ld bytes ignored", static_cast<long>(line_limit));
            else
                evaluate_with(b, line.text);
        }
    });
    freeobject(b);
    // Lines left (the batch is done, or a line's evaluation was cut short)
    // run at the next service.
    std::lock_guard guard(g_lock);
    if (!g_lines.empty()) qelem_set(g_pending);
}

// Queues a line for the main thread, waiting while lines_waiting_limit lines
// already wait.
void queue_line(typed_line line)
{
    {
        std::unique_lock guard(g_lock);
        g_room.wait(guard, [] { return g_lines.size() < lines_waiting_limit; });
        g_lines.push_back(std::move(line));
    }
    qelem_set(g_pending);
}

void take_line(std::string line)
{
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    queue_line({kernel_text(line), false});
}

void refuse_line() { queue_line({std::string(), true}); }

// The end of input on a terminal is the user's Ctrl-D: an orderly quit, as
// `kel quit` is. A pipe or file that ends only ends the reading: the patch
// runs on until it quits, its --duration passes or a signal comes.
void input_ended()
{
    if (g_terminal) sched_request_quit();
}

// Reads byte by byte (this thread alone reads standard input). A last line
// without a newline is taken at the end of input. A line over line_limit is
// dropped as soon as it passes the limit and its rest is read over.
void read_plain()
{
    std::string line;
    bool too_long = false;
    for (int c; (c = getc_unlocked(stdin)) != EOF;) {
        if (c == '\n') {
            if (too_long)
                refuse_line();
            else
                take_line(std::move(line));
            line = std::string();
            too_long = false;
        } else if (too_long) {
            continue;
        } else if (line.size() == line_limit) {
            too_long = true;
            line = std::string();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (too_long)
        refuse_line();
    else if (!line.empty())
        take_line(std::move(line));
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
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.size() > line_limit) {
            refuse_line();
            continue;
        }
        if (line.find_first_not_of(" \t\r") != std::string::npos) history(h, &event, H_ENTER, text);
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
