#include "observation.h"

#include <cstdarg>
#include <cstdio>

namespace {

[[gnu::format(printf, 2, 0)]] void add_line(FrameVerdict& verdict, const char* format,
                                            va_list args) {
    // Never more than two: a decoder ends at its first rejection.
    if (verdict.line_count >= 2) return;
    std::vsnprintf(verdict.lines[verdict.line_count], kDecodeLineSize, format, args);
    ++verdict.line_count;
}

}  // namespace

void verdict_reject(FrameVerdict& verdict, Rejection reason, const char* format, ...) {
    verdict.rejection = reason;
    va_list args;
    va_start(args, format);
    add_line(verdict, format, args);
    va_end(args);
}

void verdict_note(FrameVerdict& verdict, const char* format, ...) {
    va_list args;
    va_start(args, format);
    add_line(verdict, format, args);
    va_end(args);
}
