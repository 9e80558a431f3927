#pragma once

#include <cstdarg>
#include <cstdio>

// Writes one formatted line and flushes it only when `flush` is set.
void WriteTraceLine(std::FILE* out, bool flush, const char* format, std::va_list args);

// Writes one formatted line (the format carries its own "\n") and flushes it,
// so that a pipe or a log file sees every line the moment it happens. Flushing
// by hand is needed because some C runtimes have no line buffering.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void TraceLine(std::FILE* out, const char* format, ...);
