// Reading fixed fields out of captured bytes: big-endian assembly and the
// hardware address text, for the frame decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "observation.h"

using Bytes = std::span<const std::uint8_t>;

// REQUIRES: offset + 2 <= bytes.size().
inline unsigned read_be16(Bytes bytes, std::size_t offset) {
    return (static_cast<unsigned>(bytes[offset]) << 8) | bytes[offset + 1];
}

// REQUIRES: offset + 6 <= bytes.size(), out holds kHwTextSize bytes.
inline void format_hwaddr(Bytes bytes, std::size_t offset, char* out) {
    std::snprintf(out, kHwTextSize, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[offset],
                  bytes[offset + 1], bytes[offset + 2], bytes[offset + 3], bytes[offset + 4],
                  bytes[offset + 5]);
}

// True when every byte of the range equals value.
inline bool all_bytes(Bytes bytes, std::uint8_t value) {
    for (const std::uint8_t b : bytes) {
        if (b != value) return false;
    }
    return true;
}
