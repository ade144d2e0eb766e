// Builds the Ethernet frames the watcher listens for (ARP requests and
// replies, IPv6 Neighbor Solicitations and Advertisements with their
// options), byte for byte and with correct ICMPv6 checksums, for the tests
// and the benchmarks. Every field can be set wrong on purpose, so that the
// decoders' rejections can be built too.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace pelorin_frames {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;
using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;

constexpr Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

constexpr std::uint16_t kArpRequest = 1;
constexpr std::uint16_t kArpReply = 2;
constexpr std::uint8_t kNeighborSolicit = 135;
constexpr std::uint8_t kNeighborAdvert = 136;
constexpr std::uint8_t kOptionSourceLinkAddress = 1;
constexpr std::uint8_t kOptionTargetLinkAddress = 2;
constexpr std::uint8_t kOptionNonce = 14;

// REQUIRES: text is a valid address of the family; aborts otherwise.
Mac mac(std::string_view text);
Ipv4 ipv4(std::string_view text);
Ipv6 ipv6(std::string_view text);

// Fields of an ARP packet over Ethernet; the defaults make a well-formed
// IPv4-over-Ethernet request.
struct Arp {
    Mac eth_source{};
    Mac eth_destination = kBroadcast;
    std::uint16_t ether_type = 0x0806;
    std::uint16_t hardware_type = 1;
    std::uint16_t protocol_type = 0x0800;
    std::uint8_t hardware_length = 6;
    std::uint8_t protocol_length = 4;
    std::uint16_t opcode = kArpRequest;
    Mac sender_mac{};
    Ipv4 sender_ip{};
    Mac target_mac{};
    Ipv4 target_ip{};
    // Frames shorter than 60 bytes are padded with zeros up to 60 when set.
    bool pad = false;
    std::size_t extra = 0;  // zero bytes added after the packet
};
Bytes arp_frame(const Arp& arp);
// Request with the Ethernet source doubling as the sender hardware address.
Bytes arp_request(const Mac& source, const Ipv4& sender, const Ipv4& target);

struct NdOption {
    std::uint8_t type;
    // Option body after the type and length bytes; padded with zeros to a
    // multiple of 8 bytes (length byte computed) unless length is set.
    Bytes body;
    int length = -1;  // explicit length byte, -1 for the computed one
};
// Link-layer address option (source or target) holding the address.
NdOption link_option(std::uint8_t type, const Mac& address);

struct Nd {
    Mac eth_source{};
    Mac eth_destination = {0x33, 0x33, 0xff, 0x00, 0x00, 0x01};
    std::uint8_t type = kNeighborSolicit;
    Ipv6 source{};
    Ipv6 destination{};
    Ipv6 target{};
    std::uint32_t flags = 0;  // the Advertisement flags word (R, S, O)
    std::vector<NdOption> options;
    Bytes raw_options;              // bytes after the options, exactly as given
    std::uint8_t next_header = 58;  // ICMPv6
    int payload_length = -1;        // -1: the real ICMPv6 length
};
// IPv6 header (payload length, next header, hop limit 255) and the ICMPv6
// message with its checksum over the pseudo-header.
Bytes nd_frame(const Nd& nd);

// An IEEE 802.1Q (0x8100) or 802.1ad (0x88a8) tag; the priority bits stay 0.
struct VlanTag {
    std::uint16_t type;
    std::uint16_t id;
};
constexpr std::uint16_t kTagQ = 0x8100;
constexpr std::uint16_t kTagAd = 0x88a8;
// The frame with the tags inserted after its two addresses, outermost first.
Bytes tagged(Bytes frame, const std::vector<VlanTag>& tags);

// Internet checksum of an ICMPv6 message with the IPv6 pseudo-header.
std::uint16_t icmp6_checksum(const Ipv6& source, const Ipv6& destination,
                             const std::uint8_t* message, std::size_t length);

}  // namespace pelorin_frames
