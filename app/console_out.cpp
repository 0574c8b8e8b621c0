#include "app/console_out.h"

#include <cstdio>
#include <new>
#include <string>

#include <unistd.h>

#include "kernel/core/console.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

// The console calls the sink under its own lock, one call at a time, so
// this state needs no lock of its own. The console ends a line only when the
// next one begins; the sink ends it as soon as text arrives instead, and
// remembers that it did so that the console's late newline is not written
// twice. A line the console leaves empty gets its newline late, when the
// next line begins. Text that continues a line already written (poststring
// after a post) goes out on a line of its own: written output cannot be
// taken back.
bool g_line_ended = false;

// Standard output is a terminal: control characters are shown escaped.
bool g_terminal = false;

// The console's sink: it must not throw, and cannot report through the
// console. Text it has no memory to convert goes out as it is.
void write_text(void *, const char *bytes, size_t length)
{
    thread_local std::string utf8;
    utf8.clear();
    try {
        toolbox::console_text_to_utf8(std::string_view(bytes, length), utf8);
        if (g_terminal) utf8 = terminal_text(utf8);
        utf8 += '\n';
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    } catch (const std::bad_alloc &) {
        // Still no control character reaches a terminal.
        for (size_t i = 0; i < length; i++) {
            auto c = static_cast<unsigned char>(bytes[i]);
            std::fputc(g_terminal && ((c < 0x20 && c != '\t') || c == 0x7F) ? '?' : c, stdout);
        }
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
    g_line_ended = true;
}

void write_newline(void *)
{
    if (!g_line_ended) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    g_line_ended = false;
}

}  // namespace

std::string terminal_text(std::string_view utf8)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); i++) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
            // U+0080..U+009F, the second set of control characters.
            auto d = static_cast<unsigned char>(utf8[++i]);
            out += "\\u00";
            out += digits[d >> 4];
            out += digits[d & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void console_to_stdout()
{
    g_terminal = isatty(STDOUT_FILENO);
    static const console_sink sink{&write_text, &write_newline, nullptr, nullptr};
    console_set_sink(&sink);
}

void console_out_finish()
{
    console_finish();
    std::fflush(stdout);
}

}  // namespace kel::app
