#include "app/console_out.h"

#include <cstdio>
#include <new>
#include <string>

#include "kernel/core/console.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

// The console's sink: it must not throw, and cannot report through the
// console. Text it has no memory to convert goes out as it is.
void write_text(void *, const char *bytes, size_t length)
{
    thread_local std::string utf8;
    utf8.clear();
    try {
        toolbox::console_text_to_utf8(std::string_view(bytes, length), utf8);
    } catch (const std::bad_alloc &) {
        std::fwrite(bytes, 1, length, stdout);
        return;
    }
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

void write_newline(void *) { std::fputc('\n', stdout); }

void flush(void *) { std::fflush(stdout); }

}  // namespace

void console_to_stdout()
{
    static const console_sink sink{&write_text, &write_newline, nullptr, &flush};
    console_set_sink(&sink);
}

void console_out_finish()
{
    console_finish();
    std::fflush(stdout);
}

}  // namespace kel::app
