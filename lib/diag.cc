#include "diag.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int use_syslog = 0;

namespace {

[[gnu::format(printf, 2, 0)]] void report(int priority, const char* format, va_list args) {
    if (use_syslog == 0) {
        std::vfprintf(stderr, format, args);
    } else {
        // No openlog: the record carries the default identity (the program
        // name) and facility, which is what administrators filter on.
        vsyslog(priority, format, args);
    }
}

}  // namespace

void diag_warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(LOG_WARNING, format, args);
    va_end(args);
}

void diag_fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(LOG_ERR, format, args);
    va_end(args);
    std::exit(1);
}

void copy_bounded(char* destination, const char* source, std::size_t size) {
    std::size_t n = std::strlen(source);
    if (n >= size) n = size - 1;
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}
