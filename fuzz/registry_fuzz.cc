// Feeds arbitrary bytes to the registry line parser as one line: the
// parser must accept, skip or refuse any of them without reading outside
// the line or writing outside the row.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "registry_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RegistryRow row;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const RegistryLine result = parse_registry_line(line, row);
    if (result == RegistryLine::accepted) {
        // Terminated within bounds, and stored the way every vendor database
        // has stored it: apostrophes read as backquotes.
        const std::size_t n = std::strlen(row.organisation);
        if (n > kOrganisationMax || std::memchr(row.organisation, '\'', n) != nullptr) {
            __builtin_trap();
        }
        const std::size_t p = std::strlen(row.prefix);
        if (p != 8 && p != 10 && p != 13) __builtin_trap();
    }
    return 0;
}
