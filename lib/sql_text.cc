#include "sql_text.h"

bool sql_literal_body(const char* text, char* out, std::size_t size) {
    std::size_t n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const std::size_t need = *p == '\'' ? 2 : 1;
        if (n + need >= size) {
            out[n] = '\0';
            return false;
        }
        out[n++] = *p;
        if (*p == '\'') out[n++] = '\'';
    }
    out[n] = '\0';
    return true;
}
