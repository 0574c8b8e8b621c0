// What test methods were called with: each call notes one entry, entries are
// joined with " | ".
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kel::test {

inline std::string g_log;

inline void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline void note(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (!g_log.empty()) g_log += " | ";
    g_log += text;
}

}  // namespace kel::test
