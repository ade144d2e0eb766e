// The source hashes a Content-Security-Policy uses to allow one exact inline
// script or style: "'sha256-" + base64(SHA-256(text)) + "'". Computed at
// compile time from the constant texts, so the policy can never fall out of
// step with the text it allows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace csp_detail {

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// The byte at position i of the padded message: the text, 0x80, zeros, then
// the bit length big-endian in the last eight bytes.
constexpr std::uint8_t padded_byte(std::string_view text, std::size_t i, std::size_t total) {
    if (i < text.size()) return static_cast<std::uint8_t>(text[i]);
    if (i == text.size()) return 0x80;
    if (i + 8 < total) return 0;
    const std::uint64_t bits = static_cast<std::uint64_t>(text.size()) * 8;
    return static_cast<std::uint8_t>(bits >> (8 * (total - 1 - i)));
}

constexpr std::array<std::uint8_t, 32> sha256(std::string_view text) {
    std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::size_t total = (text.size() + 9 + 63) / 64 * 64;
    for (std::size_t block = 0; block < total; block += 64) {
        std::array<std::uint32_t, 64> w{};
        for (std::size_t t = 0; t < 16; ++t) {
            for (std::size_t b = 0; b < 4; ++b) {
                w[t] = (w[t] << 8) | padded_byte(text, block + 4 * t + b, total);
            }
        }
        for (std::size_t t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = h;
        for (std::size_t t = 0; t < 64; ++t) {
            const std::uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
            const std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 = v[7] + s1 + ch + kRoundConstants[t] + w[t];
            const std::uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
            const std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            v = {t1 + s0 + maj, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (std::size_t i = 0; i < 8; ++i) h[i] += v[i];
    }
    std::array<std::uint8_t, 32> digest{};
    for (std::size_t i = 0; i < 32; ++i) {
        digest[i] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    }
    return digest;
}

// "'sha256-" + 44 base64 characters + "'".
using SourceText = std::array<char, sizeof "'sha256-" - 1 + 44 + 1 + 1>;

constexpr SourceText hash_source(std::string_view text) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::array<std::uint8_t, 32> d = sha256(text);
    SourceText out{};
    std::size_t n = 0;
    for (char c : std::string_view("'sha256-")) out[n++] = c;
    for (std::size_t i = 0; i < 33; i += 3) {
        const std::uint32_t b0 = d[i];
        const std::uint32_t b1 = i + 1 < 32 ? d[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < 32 ? d[i + 2] : 0;
        const std::uint32_t group = (b0 << 16) | (b1 << 8) | b2;
        out[n++] = kAlphabet[(group >> 18) & 63];
        out[n++] = kAlphabet[(group >> 12) & 63];
        out[n++] = i + 1 < 32 ? kAlphabet[(group >> 6) & 63] : '=';
        out[n++] = i + 2 < 32 ? kAlphabet[group & 63] : '=';
    }
    out[n++] = '\'';
    out[n] = '\0';
    return out;
}

}  // namespace csp_detail

// Known answer (FIPS 180-2, "abc"), so a slip in the rounds fails the build.
static_assert(std::string_view(csp_detail::hash_source("abc").data()) ==
              "'sha256-ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0='");
