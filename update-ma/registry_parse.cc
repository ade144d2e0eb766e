#include "registry_parse.h"

#include <cstring>

namespace {

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Registry rows start "MA-L", "MA-M" or "MA-S"; nothing after the fourth
// character of the field matters, and the letter need not match the file.
bool is_assignment_row(std::string_view first_field) {
    return first_field.size() >= 4 && first_field.substr(0, 3) == "MA-" &&
           (first_field[3] == 'L' || first_field[3] == 'M' || first_field[3] == 'S');
}

// Places digit i of the assignment at its position in the hardware address
// text form: two digits per byte, bytes joined by ":".
bool build_prefix(std::string_view assignment, char* prefix) {
    const std::size_t n = assignment.size();
    if (n != 6 && n != 7 && n != 9) return false;
    std::size_t out = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && i % 2 == 0) prefix[out++] = ':';
        prefix[out++] = lower_ascii(assignment[i]);
    }
    prefix[out] = '\0';
    return true;
}

// Copies a quoted field's content into out, reading a doubled double quote
// as one double quote, so that a name such as "JSC ""MASSA-K""" keeps its
// quotes instead of being cut before them. Returns the decoded length, or
// false when the line ends before the closing quote.
bool decode_quoted(std::string_view field, char* out, std::size_t size, std::size_t& length) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '"') {
            if (i + 1 < field.size() && field[i + 1] == '"') {
                ++i;
            } else {
                length = n;
                return true;
            }
        }
        if (n < size) out[n] = field[i];
        ++n;
    }
    return false;
}

// A cut at kOrganisationMax bytes must not leave half of a UTF-8 character
// behind: back off to the start of the character that the cut would split.
std::size_t cut_length(const char* text, std::size_t length) {
    if (length <= kOrganisationMax) return length;
    std::size_t cut = kOrganisationMax;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t start = cut;
    while (start > 0 && cut - start < 3 && (byte(start) & 0xC0) == 0x80) --start;
    if (start < cut && byte(start) >= 0xC0 && byte(start) <= 0xF7) cut = start;
    return cut;
}

}  // namespace

RegistryLine parse_registry_line(std::string_view line, RegistryRow& row) {
    line = line.substr(0, line.find('\0'));

    const std::size_t first_comma = line.find(',');
    if (first_comma == std::string_view::npos) return RegistryLine::skipped;
    if (!is_assignment_row(line.substr(0, first_comma))) return RegistryLine::skipped;

    const std::size_t second_comma = line.find(',', first_comma + 1);
    if (second_comma == std::string_view::npos) return RegistryLine::skipped;
    const std::string_view assignment =
        line.substr(first_comma + 1, second_comma - first_comma - 1);

    // Decoded into a buffer as large as the importer's line buffer, then cut
    // to kOrganisationMax; only a view longer than any line (a fuzzer's) is
    // clamped on the way.
    char decoded[1024];
    std::size_t length = 0;
    const std::string_view rest = line.substr(second_comma + 1);
    if (!rest.empty() && rest.front() == '"') {
        const std::string_view quoted = rest.substr(1);
        if (!decode_quoted(quoted, decoded, sizeof decoded, length)) {
            // Only doubled quotes before the line's end: the field is taken to
            // end at the first of them, as a lone quote would end it.
            const std::size_t quote = quoted.find('"');
            if (quote == std::string_view::npos) return RegistryLine::skipped;
            length = quote;
            std::memcpy(decoded, quoted.data(), length < sizeof decoded ? length : sizeof decoded);
        }
    } else {
        const std::size_t end = rest.find(',');
        if (end == std::string_view::npos) return RegistryLine::skipped;
        length = end;
        std::memcpy(decoded, rest.data(), length < sizeof decoded ? length : sizeof decoded);
    }
    if (length > sizeof decoded) length = sizeof decoded;
    length = cut_length(decoded, length);

    row.assignment = assignment;
    if (!build_prefix(assignment, row.prefix)) return RegistryLine::bad_assignment;

    // Apostrophes are stored as backquotes: that is what every vendor
    // database holds, and what scripts matching organisations expect.
    for (std::size_t i = 0; i < length; ++i) {
        row.organisation[i] = decoded[i] == '\'' ? '`' : decoded[i];
    }
    row.organisation[length] = '\0';
    return RegistryLine::accepted;
}
