#include "nd_decode.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "byte_reader.h"
#include "diag.h"
#include "tracker.h"

namespace {

constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kIpv6PayloadLength = 4;
constexpr std::size_t kIpv6NextHeader = 6;
constexpr std::size_t kIpv6Source = 8;
constexpr unsigned kNextHeaderIcmpv6 = 58;

// Offsets within the ICMPv6 message.
constexpr std::size_t kIcmpv6HeaderSize = 8;
constexpr std::size_t kNeighborFixedSize = 24;  // header + target address
constexpr std::size_t kNeighborTarget = 8;
constexpr unsigned kNeighborSolicitation = 135;
constexpr unsigned kNeighborAdvertisement = 136;

constexpr unsigned kOptionSourceLinkAddress = 1;
constexpr unsigned kOptionTargetLinkAddress = 2;
constexpr std::size_t kOptionUnit = 8;

// Walks the options after the fixed part; false (after its one warning)
// when an option is malformed or names another link-layer address.
bool options_valid(const char* ethernet_source, const char* source_ip, Bytes options) {
    // One byte left over cannot hold an option's type and length.
    while (options.size() >= 2) {
        const unsigned units = options[1];
        const std::size_t size = units * kOptionUnit;
        // A zero length would never advance the walk.
        if (units == 0 || size > options.size()) {
            diag_warn(
                "received packet from %s (%s) with length too short for neighbor discovery "
                "option\n",
                ethernet_source, source_ip);
            return false;
        }
        const unsigned type = options[0];
        if (type == kOptionSourceLinkAddress || type == kOptionTargetLinkAddress) {
            if (units != 1) {
                diag_warn(
                    "received packet from %s (%s) with unexpected option %s neighbor discovery "
                    "link address length %lu\n",
                    ethernet_source, source_ip,
                    type == kOptionSourceLinkAddress ? "source" : "target",
                    static_cast<unsigned long>(size - 2));
                return false;
            }
            char option_hwaddr[kHwTextSize];
            format_hwaddr(options, 2, option_hwaddr);
            if (std::strncmp(option_hwaddr, ethernet_source, kHwTextSize) != 0) {
                diag_warn(
                    "received packet from %s (%s) with non matching neighbor discovery option "
                    "address %s\n",
                    ethernet_source, source_ip, option_hwaddr);
                return false;
            }
        }
        options = options.subspan(size);
    }
    return true;
}

}  // namespace

void handle_neighbor_discovery(sqlite3* db, const char* ethernet_source, const u_char* packet,
                               std::uint32_t length, const struct pcap_pkthdr* header) {
    const Bytes ip6(packet, length);
    if (ip6.size() < kIpv6HeaderSize) {
        diag_warn("received packet from %s with length too short for ip6\n", ethernet_source);
        return;
    }
    char source_ip[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, &ip6[kIpv6Source], source_ip, sizeof source_ip) == nullptr) {
        diag_warn("received packet from %s with invalid source ip address\n", ethernet_source);
        return;
    }
    // Extension headers are not followed.
    if (ip6[kIpv6NextHeader] != kNextHeaderIcmpv6) {
        diag_warn("received packet from %s (%s) with unexpected ip6 next header (%d)\n",
                  ethernet_source, source_ip, static_cast<int>(ip6[kIpv6NextHeader]));
        return;
    }
    const Bytes icmp6 = ip6.subspan(kIpv6HeaderSize);
    if (icmp6.size() < kIcmpv6HeaderSize) {
        diag_warn("received packet from %s (%s) with length too short for icmp6\n",
                  ethernet_source, source_ip);
        return;
    }
    const std::size_t payload_length = read_be16(ip6, kIpv6PayloadLength);
    if (payload_length > icmp6.size()) {
        diag_warn("Warning: icmp6 packet truncated - increase snaplen by %lu bytes\n",
                  static_cast<unsigned long>(payload_length - icmp6.size()));
    }
    const unsigned type = icmp6[0];
    if (type != kNeighborSolicitation && type != kNeighborAdvertisement) {
        diag_warn("received packet from %s (%s) with unexpected ICMPv6 type %d\n",
                  ethernet_source, source_ip, static_cast<int>(type));
        return;
    }
    if (icmp6.size() < kNeighborFixedSize) {
        diag_warn("received packet from %s (%s) with length too short for neighbor discovery\n",
                  ethernet_source, source_ip);
        return;
    }
    char target_ip[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, &icmp6[kNeighborTarget], target_ip, sizeof target_ip) == nullptr) {
        diag_warn(
            "received packet from %s (%s) with invalid neighbor discovery target ip address\n",
            ethernet_source, source_ip);
        return;
    }
    if (!options_valid(ethernet_source, source_ip, icmp6.subspan(kNeighborFixedSize))) return;
    // After the option walk: a duplicate address probe has its options
    // checked before it is turned away.
    if (all_bytes(ip6.subspan(kIpv6Source, 16), 0)) {
        diag_warn("received packet with unexpected source address %s\n", source_ip);
        return;
    }

    const BindingObservation observation{
        .iptype = 6,
        .family = AF_INET6,
        .addr = &ip6[kIpv6Source],
        .ipaddr = source_ip,
        .hwaddr = ethernet_source,
        .ts = {header->ts.tv_sec, header->ts.tv_usec},
    };
    track_binding(db, observation);
}
