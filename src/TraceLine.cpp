#include "TraceLine.h"

#include <cstdarg>

void WriteTraceLine(std::FILE* out, bool flush, const char* format, std::va_list args) {
    std::vfprintf(out, format, args);
    if (flush) std::fflush(out);
}

void TraceLine(std::FILE* out, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    WriteTraceLine(out, true, format, args);
    va_end(args);
}
