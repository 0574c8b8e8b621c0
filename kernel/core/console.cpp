#include "kernel/core/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/outlets.h"
#include "kernel/core/locks.h"
#include "kernel/core/symbols.h"

namespace kel {
namespace {

enum class report { plain, error, warning, check_failed };

constexpr long format_buffer_size = 2048;

struct console_store {
    std::recursive_mutex lock;  // a sink may post
    char *lines[console_max_lines] = {};
    long count = 0;     // lines 0 .. count-1 exist; the current line is count-1
    bool fresh = true;  // the next text starts a new line
    long longest_length = 0;
    long longest_index = 0;
    console_sink sink{};
    bool has_sink = false;
    bool mirror = false;
    unsigned long changes = 0;
    console_redraw_request redraw = nullptr;  // shows the changes on the main thread
};

console_store &store()
{
    static console_store s;
    return s;
}

// Under the store's lock. Posting may happen on any thread; what shows the
// text runs on the main thread, from the redraw request.
void changed(console_store &c)
{
    c.changes++;
    if (c.redraw) c.redraw();
}

std::atomic<long> g_error_count{0};

// Error subscribers: a singly linked list, newest first. While any delivery
// walks the list (walkers > 0), an unsubscribed entry is only marked (x set
// to null) and stays linked, so a walk never loses its place; the last walk
// to finish unlinks the marked entries. Entries subscribed during a walk go
// to the head, where that walk has already passed.
struct subscriber {
    object *x;
    subscriber *next;
};
std::mutex g_subscriber_lock;
subscriber *g_subscribers = nullptr;
int g_subscriber_walkers = 0;

// Under g_subscriber_lock, with no walk in progress.
void unlink_marked_subscribers()
{
    for (subscriber **p = &g_subscribers; *p;) {
        if ((*p)->x) {
            p = &(*p)->next;
            continue;
        }
        subscriber *gone = *p;
        *p = gone->next;
        std::free(gone);
    }
}

void recompute_longest(console_store &c)
{
    c.longest_length = 0;
    c.longest_index = 0;
    for (long i = 0; i < c.count; i++) {
        long n = static_cast<long>(std::strlen(c.lines[i]));
        if (n > c.longest_length) {
            c.longest_length = n;
            c.longest_index = i;
        }
    }
}

void begin_line(console_store &c)
{
    if (c.count > 0 && c.has_sink) c.sink.newline(c.sink.context);
    if (c.count >= console_max_lines - 2) {
        for (long i = 0; i < console_drop_count; i++) std::free(c.lines[i]);
        std::memmove(c.lines, c.lines + console_drop_count,
                     static_cast<size_t>(c.count - console_drop_count) * sizeof(char *));
        for (long i = c.count - console_drop_count; i < c.count; i++) c.lines[i] = nullptr;
        c.count -= console_drop_count;
        recompute_longest(c);
    }
    char *line = static_cast<char *>(std::calloc(1, 1));
    if (!line) return;  // out of memory: the text joins the previous line
    c.lines[c.count++] = line;
}

// Appends one piece (no line feeds) to the current line, starting a new line
// when the current one would reach 2048 characters.
void append_piece(console_store &c, const char *piece, size_t length)
{
    do {
        if (c.fresh || c.count == 0) {
            begin_line(c);
            c.fresh = false;
        }
        char *&line = c.lines[c.count - 1];
        size_t have = std::strlen(line);
        if (have > 0 && have + length > static_cast<size_t>(console_max_line_length)) {
            c.fresh = true;
            continue;
        }
        size_t take = length;
        if (have + take > static_cast<size_t>(console_max_line_length)) take = console_max_line_length - have;
        char *grown = static_cast<char *>(std::realloc(line, have + take + 1));
        if (!grown) return;
        std::memcpy(grown + have, piece, take);
        grown[have + take] = '\0';
        line = grown;
        if (static_cast<long>(have + take) > c.longest_length) {
            c.longest_length = static_cast<long>(have + take);
            c.longest_index = c.count - 1;
        }
        if (c.has_sink && take) c.sink.text(c.sink.context, piece, take);
        piece += take;
        length -= take;
        if (length) c.fresh = true;  // a piece longer than a line continues on the next
    } while (length);
}

// Appends text to the console: every "\n" makes the next piece start a new
// line. A text that ends in "\n" leaves no empty line behind; it only makes
// the next text start a new one.
void append_text(console_store &c, const char *text)
{
    for (;;) {
        const char *nl = std::strchr(text, '\n');
        size_t length = nl ? static_cast<size_t>(nl - text) : std::strlen(text);
        if (length || c.fresh || c.count == 0) append_piece(c, text, length);
        if (!nl) break;
        c.fresh = true;
        text = nl + 1;
        if (!*text) break;
    }
}

const char *prefix_of(report kind)
{
    switch (kind) {
    case report::error:
        return "\xA5 error: ";
    case report::warning:
        return "\xA5 warning: ";
    case report::check_failed:
        return "\xA5 check failed: ";
    default:
        return "";
    }
}

// Formats a report into text (prefix included) and answers where the
// formatted part starts.
const char *console_write(report kind, char (&text)[16 + format_buffer_size], const char *format, va_list args)
{
    // The prefix and the formatted text (cut at 2047 characters) go out as
    // one text, so that a long report starts on the prefix's line.
    const char *prefix = prefix_of(kind);
    size_t prefix_length = std::strlen(prefix);
    std::memcpy(text, prefix, prefix_length);
    std::vsnprintf(text + prefix_length, format_buffer_size, format, args);
    console_store &c = store();
    std::lock_guard guard(c.lock);
    c.fresh = true;
    append_text(c, text);
    if (kind != report::check_failed) changed(c);
    if (c.mirror) std::fprintf(stderr, "%s\n", text);
    return text + prefix_length;
}

void console_write(report kind, const char *format, va_list args)
{
    char text[16 + format_buffer_size];
    console_write(kind, text, format, args);
}

// Errors reported while subscribers handle one are not delivered again, or a
// subscriber that reports an error would never return.
thread_local bool t_delivering_error = false;

std::atomic<console_text_parser> g_error_parser{nullptr};

// Sends the whole error text, as atoms, to every subscriber, newest first.
// A subscriber that unsubscribes, or is freed (which unsubscribes it),
// during the delivery is skipped from then on.
void deliver_error(const char *text)
{
    if (t_delivering_error) return;
    console_text_parser parse = g_error_parser.load(std::memory_order_relaxed);
    if (!parse) return;
    subscriber *s;
    {
        std::lock_guard guard(g_subscriber_lock);
        if (!g_subscribers) return;
        s = g_subscribers;
        g_subscriber_walkers++;
    }
    // Each atom takes at least one character of the text, so length + 1
    // atoms hold any line whole.
    size_t length = std::strlen(text);
    auto *argv = static_cast<atom *>(std::malloc((length + 1) * sizeof(atom)));
    long argc = 0;
    if (argv) parse(text, length, &argc, argv, static_cast<long>(length + 1));
    t_delivering_error = true;
    {
        lockout_scope lockout;
        while (argv) {
            object *x;
            {
                std::lock_guard guard(g_subscriber_lock);
                while (s && !s->x) s = s->next;
                if (!s) break;
                x = s->x;
                s = s->next;
            }
            typedmess(x, sym_error, argc, argv);
        }
    }
    t_delivering_error = false;
    std::free(argv);
    std::lock_guard guard(g_subscriber_lock);
    if (--g_subscriber_walkers == 0) unlink_marked_subscribers();
}

}  // namespace

void console_set_error_parser(console_text_parser parser) { g_error_parser.store(parser, std::memory_order_relaxed); }

void console_redraw()
{
    console_store &c = store();
    console_sink sink;
    {
        std::lock_guard guard(c.lock);
        if (!c.has_sink || !c.sink.redraw) return;
        sink = c.sink;
    }
    sink.redraw(sink.context);
}

void console_set_redraw_request(console_redraw_request request)
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    c.redraw = request;
}

void console_set_sink(const console_sink *sink)
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    c.has_sink = sink != nullptr;
    if (sink) c.sink = *sink;
}

void console_finish()
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    if (c.count > 0 && c.has_sink) c.sink.newline(c.sink.context);
    c.fresh = true;
}

void console_set_mirror(bool on)
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    c.mirror = on;
}

long console_line_count()
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    return c.count;
}

std::string console_line(long index)
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    return index >= 0 && index < c.count ? std::string(c.lines[index]) : std::string();
}

std::vector<std::string> console_lines()
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    return std::vector<std::string>(c.lines, c.lines + c.count);
}

long console_longest_line()
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    return c.longest_index;
}

unsigned long console_change_count()
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    return c.changes;
}

void console_clear()
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    if (c.count > 0 && c.has_sink) c.sink.newline(c.sink.context);
    for (long i = 0; i < c.count; i++) {
        std::free(c.lines[i]);
        c.lines[i] = nullptr;
    }
    c.count = 0;
    c.fresh = true;
    c.longest_length = c.longest_index = 0;
    changed(c);
}

std::vector<object *> console_error_subscribers()
{
    std::lock_guard guard(g_subscriber_lock);
    std::vector<object *> out;
    for (subscriber *s = g_subscribers; s; s = s->next)
        if (s->x) out.push_back(s->x);
    return out;
}

}  // namespace kel

using namespace kel;

KEL_API void post(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    console_write(report::plain, format, args);
    va_end(args);
}

KEL_API void error(const char *format, ...)
{
    char text[16 + format_buffer_size];
    va_list args;
    va_start(args, format);
    const char *message = console_write(report::error, text, format, args);
    va_end(args);
    deliver_error(message);
    g_error_count.fetch_add(1, std::memory_order_relaxed);
}

KEL_API void warning(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    console_write(report::warning, format, args);
    va_end(args);
}

KEL_API void check_failed(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    console_write(report::check_failed, format, args);
    va_end(args);
}

KEL_API void ouchstring(const char *format, ...)
{
    // Without a window system the alert is a plain console line.
    va_list args;
    va_start(args, format);
    console_write(report::plain, format, args);
    va_end(args);
}

KEL_API void cpost(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

KEL_API void poststring(const char *text)
{
    if (!text) return;
    console_store &c = store();
    std::lock_guard guard(c.lock);
    append_text(c, text);
    changed(c);
}

KEL_API void postatom(const atom *a) { poststring(atom_string(a)); }

KEL_API void xsetpost(void)
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    begin_line(c);
    c.fresh = false;
    changed(c);
}

KEL_API void post_getpos(long *line, long *length)
{
    console_store &c = store();
    std::lock_guard guard(c.lock);
    long index = c.count ? c.count - 1 : 0;
    if (line) *line = index;
    if (length) *length = c.count ? static_cast<long>(std::strlen(c.lines[index])) : 0;
}

KEL_API long errorcount_get(void) { return g_error_count.load(std::memory_order_relaxed); }

KEL_API void errorcount_set(long n) { g_error_count.store(n, std::memory_order_relaxed); }

KEL_API void error_subscribe(void *x)
{
    if (!x) return;
    std::lock_guard guard(g_subscriber_lock);
    for (subscriber *s = g_subscribers; s; s = s->next)
        if (s->x == x) return;
    auto *s = static_cast<subscriber *>(std::malloc(sizeof(subscriber)));
    if (!s) return;
    s->x = static_cast<object *>(x);
    s->next = g_subscribers;
    g_subscribers = s;
}

KEL_API void error_unsubscribe(void *x)
{
    if (!x) return;
    std::lock_guard guard(g_subscriber_lock);
    for (subscriber *s = g_subscribers; s; s = s->next) {
        if (s->x == x) {
            s->x = nullptr;
            break;
        }
    }
    if (g_subscriber_walkers == 0) unlink_marked_subscribers();
}
