// The console line store.
//
// Invariants: the store holds lines 0 .. current (at most 19998 of them, each
// at most 2047 characters); when a new line would reach index 19998 the oldest
// 1000 lines are dropped first. Every report kind goes through one function,
// console_write, under one lock, so lines keep the order in which they were
// posted whatever thread posted them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kel/base.h"

namespace kel {

inline constexpr long console_max_lines = 20000;
inline constexpr long console_max_line_length = 2047;
inline constexpr long console_drop_count = 1000;

// Where the console's text goes besides the store: the executable streams it
// to standard output. text() receives each piece appended to the current line
// (Mac Roman); newline() ends the current line when the next one begins, and
// once more from console_finish(). redraw() (may be null) runs on the main
// thread, from the queue, after text changed: a sink that buffers flushes
// there, so no posting thread waits for the output.
struct console_sink {
    void (*text)(void *context, const char *bytes, size_t length);
    void (*newline)(void *context);
    void *context;
    void (*redraw)(void *context);
};

// Shows what changed: runs the sink's redraw. The console asks for it through
// the request the scheduler installs at start-up, which runs it on the main
// thread from its queue; the request is made under the console's lock, from
// any thread, and must not post.
void console_redraw();
using console_redraw_request = void (*)();
void console_set_redraw_request(console_redraw_request request);

// Parses an error's text into at most max atoms for the error subscribers;
// installed by the message-buffer layer at start-up. Until then subscribers
// hear nothing.
using console_text_parser = void (*)(const char *text, size_t length, long *argc, atom *argv, long max);
void console_set_error_parser(console_text_parser parser);

// Installs the sink (null removes it).
void console_set_sink(const console_sink *sink);
// Ends the last line on the sink; called at shutdown.
void console_finish();

// The mirror to the debug output (the `setmirrortoconsole` setting).
void console_set_mirror(bool on);

// Inspection, for the application receiver and tests.
long console_line_count();
std::string console_line(long index);
std::vector<std::string> console_lines();
long console_longest_line();  // index of the longest line
// Bumped by every change that asks for a redraw of the console window.
unsigned long console_change_count();

// Empties the store (tests, and the window's clear command).
void console_clear();

// The objects subscribed to errors, newest first.
std::vector<object *> console_error_subscribers();

}  // namespace kel
