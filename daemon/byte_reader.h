// Reading fixed fields out of captured bytes: big-endian assembly and the
// hardware address text, for the frame decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "observation.h"

using Bytes = std::span<const std::uint8_t>;

// The frame's Ethernet source: its six bytes, which the decoders compare,
// and its text, which every warning names.
struct EthernetSource {
    Bytes bytes;
    char text[kHwTextSize];
};

// REQUIRES: offset + 2 <= bytes.size().
inline unsigned read_be16(Bytes bytes, std::size_t offset) {
    return (static_cast<unsigned>(bytes[offset]) << 8) | bytes[offset + 1];
}

// REQUIRES: offset + 6 <= bytes.size(), out holds kHwTextSize bytes.
// Writes "%02x:%02x:%02x:%02x:%02x:%02x" by hand: this runs for every
// frame, and a formatted print costs more than the rest of the decoding.
inline void format_hwaddr(Bytes bytes, std::size_t offset, char* out) {
    constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < 6; ++i) {
        const std::uint8_t b = bytes[offset + i];
        out[3 * i] = kHex[b >> 4];
        out[3 * i + 1] = kHex[b & 0x0f];
        out[3 * i + 2] = i < 5 ? ':' : '\0';
    }
}

// True when every byte of the range equals value.
inline bool all_bytes(Bytes bytes, std::uint8_t value) {
    for (const std::uint8_t b : bytes) {
        if (b != value) return false;
    }
    return true;
}
