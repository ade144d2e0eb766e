// What the frame decoders find in one captured frame: a binding seen on the
// wire (an observation), the warnings the frame earns, and whether it got
// far enough to count for the expiry schedule. Decoders fill it and never
// touch a database; the watcher acts on it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr std::size_t kHwTextSize = sizeof "xx:xx:xx:xx:xx:xx";

struct CaptureTime {
    std::int64_t sec;
    std::int64_t usec;
};

// One validated sighting, holding its own copies of the address and texts.
struct BindingObservation {
    int iptype;                          // 4 or 6
    int family;                          // AF_INET or AF_INET6
    std::array<unsigned char, 16> addr;  // 4 or 16 bytes used, network byte order
    char hwaddr[kHwTextSize];            // "xx:xx:xx:xx:xx:xx"
    CaptureTime ts;

    // The address as inet_ntop writes it, the form the database stores.
    // Made on first use: a sighting answered from memory never needs it,
    // and making it costs as much as the rest of the frame.
    const char* ipaddr() const {
        // Cannot fail: the buffer holds the longest text of either family.
        if (ipaddr_text[0] == '\0') inet_ntop(family, addr.data(), ipaddr_text, sizeof ipaddr_text);
        return ipaddr_text;
    }
    mutable char ipaddr_text[INET6_ADDRSTRLEN] = "";
};

// An observation's family and address bytes, as a hash key: each names
// exactly one address text, the form the database compares, so the bytes
// can stand for it without the text being made.
struct AddressKey {
    std::uint64_t low, high;  // the address bytes, IPv4 zero-filled
    int iptype;
    bool operator==(const AddressKey&) const = default;

    static AddressKey of(const BindingObservation& observation) {
        std::array<unsigned char, 16> bytes{};
        std::memcpy(bytes.data(), observation.addr.data(), observation.iptype == 4 ? 4 : 16);
        AddressKey key{0, 0, observation.iptype};
        std::memcpy(&key.low, bytes.data(), 8);
        std::memcpy(&key.high, bytes.data() + 8, 8);
        return key;
    }
};
struct AddressKeyHash {
    std::size_t operator()(const AddressKey& key) const noexcept {
        const std::uint64_t h =
            (key.low ^ (key.high * 0x9e3779b97f4a7c15ULL) ^ static_cast<std::uint64_t>(key.iptype)) *
            0xff51afd7ed558ccdULL;
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
};

// Longest line a decoder writes: two IPv6 texts, a hardware address text
// and the fixed words stay far below this.
constexpr std::size_t kDecodeLineSize = 256;

// Why a frame was refused: one for each kind of warning that refuses one.
enum class Rejection : std::uint8_t {
    kNone,
    kRuntFrame,
    kSourceAddress,
    kVlanTagShort,
    kVlanReserved,
    kEtherType,
    kArpShort,
    kArpHardwareType,
    kArpProtocolType,
    kArpHardwareLength,
    kArpProtocolLength,
    kArpOpcode,
    kArpSenderMismatch,
    kArpSenderZero,
    kIp6Short,
    kIp6NextHeader,
    kIcmp6Short,
    kIcmp6Type,
    kNdShort,
    kNdOptionShort,
    kNdOptionLength,
    kNdOptionMismatch,
    kNdSourceUnspecified,
    kCount,
};

// The names the metrics give the reasons, in the order above.
constexpr std::array<const char*, static_cast<std::size_t>(Rejection::kCount)> kRejectionNames = {
    "none",
    "runt_frame",
    "source_address",
    "vlan_tag_short",
    "vlan_reserved",
    "ether_type",
    "arp_short",
    "arp_hardware_type",
    "arp_protocol_type",
    "arp_hardware_length",
    "arp_protocol_length",
    "arp_opcode",
    "arp_sender_mismatch",
    "arp_sender_zero",
    "ip6_short",
    "ip6_next_header",
    "icmp6_short",
    "icmp6_type",
    "nd_short",
    "nd_option_short",
    "nd_option_length",
    "nd_option_mismatch",
    "nd_source_unspecified",
};

// The VLANs a frame was tagged with, outermost first. A tag with VID 0 (a
// priority tag) adds no level: the frame belongs to the level above it.
struct VlanPath {
    int depth = 0;  // 0: untagged
    std::array<std::uint16_t, 2> ids{};
    bool operator==(const VlanPath&) const = default;
};

struct FrameVerdict {
    // False for the Ethernet-level rejections (runt frame, zero or broadcast
    // source, a VLAN tag cut short or reserved): those frames do not run the
    // expiry pass.
    bool reaches_expiry = false;
    VlanPath vlan;
    bool observed = false;
    // Why it was refused, if it was.
    Rejection rejection = Rejection::kNone;
    // The capture length cut a Neighbor Discovery packet short (noted, and
    // recorded all the same when what was captured passed).
    bool truncated = false;
    BindingObservation observation;
    // The warnings, in order: at most a truncation note and a rejection.
    int line_count = 0;
    char lines[2][kDecodeLineSize];
};

// Refuses the frame for reason, with one warning line. The format carries
// its "\n".
[[gnu::format(printf, 3, 4)]] void verdict_reject(FrameVerdict& verdict, Rejection reason,
                                                  const char* format, ...);
// Appends one warning line that refuses nothing.
[[gnu::format(printf, 2, 3)]] void verdict_note(FrameVerdict& verdict, const char* format, ...);
