#include "TraceLine.h"

#include <cstdarg>

void TraceLine(std::FILE* out, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    std::fflush(out);
}
