#include "nd_decode.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "byte_reader.h"

namespace {

constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kIpv6PayloadLength = 4;
constexpr std::size_t kIpv6NextHeader = 6;
constexpr std::size_t kIpv6Source = 8;
constexpr unsigned kNextHeaderIcmpv6 = 58;

// Offsets within the ICMPv6 message.
constexpr std::size_t kIcmpv6HeaderSize = 8;
constexpr std::size_t kNeighborFixedSize = 24;  // header + target address
constexpr unsigned kNeighborSolicitation = 135;
constexpr unsigned kNeighborAdvertisement = 136;

constexpr unsigned kOptionSourceLinkAddress = 1;
constexpr unsigned kOptionTargetLinkAddress = 2;
constexpr std::size_t kOptionUnit = 8;

// The IPv6 source address as text, made only when a warning names it.
// Cannot fail: any 16 bytes are an IPv6 address, and the buffer holds the
// longest text. So no frame is refused for it.
class SourceText {
   public:
    explicit SourceText(Bytes address) : address_(address) {}
    const char* operator()() {
        if (text_[0] == '\0') inet_ntop(AF_INET6, address_.data(), text_, sizeof text_);
        return text_;
    }

   private:
    Bytes address_;
    char text_[INET6_ADDRSTRLEN] = "";
};

// Walks the options after the fixed part; false (after its one warning)
// when an option is malformed or names another link-layer address.
bool options_valid(const EthernetSource& ethernet_source, SourceText& source_ip, Bytes options,
                   FrameVerdict& verdict) {
    // One byte left over cannot hold an option's type and length.
    while (options.size() >= 2) {
        const unsigned units = options[1];
        const std::size_t size = units * kOptionUnit;
        // A zero length would never advance the walk.
        if (units == 0 || size > options.size()) {
            verdict_reject(
                verdict, Rejection::kNdOptionShort,
                "received packet from %s (%s) with length too short for neighbor discovery "
                "option\n",
                ethernet_source.text, source_ip());
            return false;
        }
        const unsigned type = options[0];
        if (type == kOptionSourceLinkAddress || type == kOptionTargetLinkAddress) {
            if (units != 1) {
                verdict_reject(
                    verdict, Rejection::kNdOptionLength,
                    "received packet from %s (%s) with unexpected option %s neighbor discovery "
                    "link address length %lu\n",
                    ethernet_source.text, source_ip(),
                    type == kOptionSourceLinkAddress ? "source" : "target",
                    static_cast<unsigned long>(size - 2));
                return false;
            }
            // Equal bytes are equal texts, the form addresses are compared in.
            if (!std::equal(ethernet_source.bytes.begin(), ethernet_source.bytes.end(),
                            options.begin() + 2)) {
                char option_hwaddr[kHwTextSize];
                format_hwaddr(options, 2, option_hwaddr);
                verdict_reject(
                    verdict, Rejection::kNdOptionMismatch,
                    "received packet from %s (%s) with non matching neighbor discovery option "
                    "address %s\n",
                    ethernet_source.text, source_ip(), option_hwaddr);
                return false;
            }
        }
        options = options.subspan(size);
    }
    return true;
}

}  // namespace

void decode_neighbor_discovery(const EthernetSource& ethernet_source, Bytes ip6, CaptureTime ts,
                               FrameVerdict& verdict) {
    if (ip6.size() < kIpv6HeaderSize) {
        verdict_reject(verdict, Rejection::kIp6Short,
                       "received packet from %s with length too short for ip6\n",
                       ethernet_source.text);
        return;
    }
    SourceText source_ip(ip6.subspan(kIpv6Source, 16));
    // Extension headers are not followed.
    if (ip6[kIpv6NextHeader] != kNextHeaderIcmpv6) {
        verdict_reject(verdict, Rejection::kIp6NextHeader,
                       "received packet from %s (%s) with unexpected ip6 next header (%d)\n",
                       ethernet_source.text, source_ip(), static_cast<int>(ip6[kIpv6NextHeader]));
        return;
    }
    const Bytes icmp6 = ip6.subspan(kIpv6HeaderSize);
    if (icmp6.size() < kIcmpv6HeaderSize) {
        verdict_reject(verdict, Rejection::kIcmp6Short,
                       "received packet from %s (%s) with length too short for icmp6\n",
                       ethernet_source.text, source_ip());
        return;
    }
    const std::size_t payload_length = read_be16(ip6, kIpv6PayloadLength);
    if (payload_length > icmp6.size()) {
        verdict.truncated = true;
        verdict_note(verdict, "Warning: icmp6 packet truncated - increase snaplen by %lu bytes\n",
                     static_cast<unsigned long>(payload_length - icmp6.size()));
    }
    const unsigned type = icmp6[0];
    if (type != kNeighborSolicitation && type != kNeighborAdvertisement) {
        verdict_reject(verdict, Rejection::kIcmp6Type,
                       "received packet from %s (%s) with unexpected ICMPv6 type %d\n",
                       ethernet_source.text, source_ip(), static_cast<int>(type));
        return;
    }
    if (icmp6.size() < kNeighborFixedSize) {
        verdict_reject(
            verdict, Rejection::kNdShort,
            "received packet from %s (%s) with length too short for neighbor discovery\n",
            ethernet_source.text, source_ip());
        return;
    }
    // The target address is not recorded. Its conversion to text, once made
    // here as a check, cannot fail either, so it is not made.
    if (!options_valid(ethernet_source, source_ip, icmp6.subspan(kNeighborFixedSize), verdict))
        return;
    // After the option walk: a duplicate address probe has its options
    // checked before it is turned away.
    if (all_bytes(ip6.subspan(kIpv6Source, 16), 0)) {
        verdict_reject(verdict, Rejection::kNdSourceUnspecified,
                       "received packet with unexpected source address %s\n", source_ip());
        return;
    }

    verdict.observed = true;
    BindingObservation& observation = verdict.observation;
    observation.iptype = 6;
    observation.family = AF_INET6;
    std::memcpy(observation.addr.data(), &ip6[kIpv6Source], 16);
    std::memcpy(observation.hwaddr, ethernet_source.text, kHwTextSize);
    observation.ts = ts;
}
