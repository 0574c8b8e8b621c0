// Reading what the kernel reported: the console's lines, from a clean start.
#pragma once

#include <string>
#include <vector>

#include "kernel/core/console.h"

namespace kel::test {

// Empties the console on construction; lines() are the lines posted since.
class console_capture {
public:
    console_capture() { console_clear(); }
    std::vector<std::string> lines() const { return console_lines(); }
    std::string last() const
    {
        auto all = console_lines();
        return all.empty() ? std::string() : all.back();
    }
};

// The prefixes of the report kinds.
inline std::string error_line(const std::string &text) { return "\xA5 error: " + text; }
inline std::string warning_line(const std::string &text) { return "\xA5 warning: " + text; }
inline std::string check_failed_line(const std::string &text) { return "\xA5 check failed: " + text; }

}  // namespace kel::test
