#include "html_text.h"

#include <ctime>

void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
}

void append_uri_encoded(std::string& out, std::string_view text) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    for (const char c : text) {
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
}

std::string interface_page_name(std::string_view interface_name, int page) {
    // Appended piece by piece: "p" + std::to_string(page) draws a false
    // -Wrestrict from GCC 12's inlining of the string concatenation.
    std::string name;
    if (page > 1) {
        name += 'p';
        name += std::to_string(page);
        name += '-';
    }
    name += "if-";
    name += interface_name;
    name += ".html";
    return name;
}

bool is_interface_page_name(std::string_view file_name) {
    constexpr std::string_view kSuffix = ".html";
    if (file_name.size() < kSuffix.size() || !file_name.ends_with(kSuffix)) return false;
    if (file_name.starts_with("if-")) return true;
    if (!file_name.starts_with("p")) return false;
    std::size_t i = 1;
    while (i < file_name.size() && file_name[i] >= '0' && file_name[i] <= '9') ++i;
    return i > 1 && file_name.substr(i).starts_with("-if-");
}

std::string format_local_time(std::int64_t seconds, bool with_time) {
    if (seconds == 0) return "(none)";
    const auto t = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[sizeof "YYYY-MM-DD HH:MM:SS" + 16];
    if (localtime_r(&t, &local) == nullptr ||
        std::strftime(text, sizeof text, with_time ? "%Y-%m-%d %H:%M:%S" : "%Y-%m-%d", &local) ==
            0) {
        return "(invalid)";
    }
    return text;
}

std::string format_day_number(std::int64_t day) {
    const auto t = static_cast<std::time_t>(day * 86400);
    std::tm calendar{};
    char text[sizeof "YYYY-MM-DD" + 16];
    if (gmtime_r(&t, &calendar) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d", &calendar) == 0) {
        return "(invalid)";
    }
    return text;
}

bool natural_less(std::string_view a, std::string_view b) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            // Leading zeros aside, the longer run is the larger number.
            std::size_t i0 = i, j0 = j;
            while (i0 < a.size() && a[i0] == '0') ++i0;
            while (j0 < b.size() && b[j0] == '0') ++j0;
            std::size_t i1 = i0, j1 = j0;
            while (i1 < a.size() && digit(a[i1])) ++i1;
            while (j1 < b.size() && digit(b[j1])) ++j1;
            const std::string_view x = a.substr(i0, i1 - i0), y = b.substr(j0, j1 - j0);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            // Equal numbers: fewer leading zeros first, then go on.
            if (i1 - i != j1 - j) return i1 - i < j1 - j;
            i = i1;
            j = j1;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}
