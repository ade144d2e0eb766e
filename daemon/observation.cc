#include "observation.h"

#include <cstdarg>
#include <cstdio>

void verdict_warn(FrameVerdict& verdict, const char* format, ...) {
    // Never more than two: a decoder ends at its first rejection.
    if (verdict.line_count >= 2) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(verdict.lines[verdict.line_count], kDecodeLineSize, format, args);
    va_end(args);
    ++verdict.line_count;
}
