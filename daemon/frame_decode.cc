#include "frame_decode.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "byte_reader.h"
#include "nd_decode.h"

namespace {

constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::size_t kArpPacketSize = 28;

constexpr unsigned kEtherTypeArp = 0x0806;
constexpr unsigned kEtherTypeIpv6 = 0x86dd;
constexpr unsigned kEtherTypeVlan = 0x8100;  // IEEE 802.1Q customer tag
constexpr unsigned kEtherTypeQinQ = 0x88a8;  // IEEE 802.1ad service tag
constexpr std::size_t kVlanTagSize = 4;      // tag control, then the next type
constexpr std::size_t kMaxVlanTags = 2;

constexpr unsigned kArpHardwareEthernet = 1;
constexpr unsigned kArpHardwareIeee802 = 6;
constexpr unsigned kArpProtocolIpv4 = 0x0800;
constexpr unsigned kArpRequest = 1;
constexpr unsigned kArpReply = 2;

// Offsets within the ARP packet.
constexpr std::size_t kArpHardwareType = 0;
constexpr std::size_t kArpProtocolType = 2;
constexpr std::size_t kArpHardwareLength = 4;
constexpr std::size_t kArpProtocolLength = 5;
constexpr std::size_t kArpOpcode = 6;
constexpr std::size_t kArpSenderHardware = 8;
constexpr std::size_t kArpSenderProtocol = 14;

// The checks run in a fixed order and the first failure is the one reported;
// a rejected packet yields no observation.
void decode_arp(const EthernetSource& ethernet_source, Bytes arp, CaptureTime ts,
                FrameVerdict& verdict) {
    if (arp.size() < kArpPacketSize) {
        verdict_reject(verdict, Rejection::kArpShort,
                       "received packet from %s with length too short for an arp packet\n",
                       ethernet_source.text);
        return;
    }
    const unsigned hardware_type = read_be16(arp, kArpHardwareType);
    if (hardware_type != kArpHardwareEthernet && hardware_type != kArpHardwareIeee802) {
        verdict_reject(verdict, Rejection::kArpHardwareType,
                       "received packet from %s with unexpected arp hardware type %d\n",
                       ethernet_source.text, static_cast<int>(hardware_type));
        return;
    }
    const unsigned protocol_type = read_be16(arp, kArpProtocolType);
    if (protocol_type != kArpProtocolIpv4) {
        verdict_reject(verdict, Rejection::kArpProtocolType,
                       "received packet from %s with unexpected arp protocol type %d\n",
                       ethernet_source.text, static_cast<int>(protocol_type));
        return;
    }
    if (arp[kArpHardwareLength] != 6) {
        // "lenth": the text administrators' log filters match, kept as is.
        verdict_reject(verdict, Rejection::kArpHardwareLength,
                       "received packet from %s with unexpected arp hardware lenth %d\n",
                       ethernet_source.text, static_cast<int>(arp[kArpHardwareLength]));
        return;
    }
    if (arp[kArpProtocolLength] != 4) {
        verdict_reject(verdict, Rejection::kArpProtocolLength,
                       "received packet from %s with unexpected arp protocol length %d\n",
                       ethernet_source.text, static_cast<int>(arp[kArpProtocolLength]));
        return;
    }
    // Neither address text is made unless a warning names it. The
    // conversion of the sender and target addresses to text, once made
    // here as a check, cannot fail: any 4 bytes are an IPv4 address, and
    // INET_ADDRSTRLEN holds the longest text.
    const unsigned opcode = read_be16(arp, kArpOpcode);
    if (opcode != kArpRequest && opcode != kArpReply) {
        verdict_reject(verdict, Rejection::kArpOpcode,
                       "received packet from %s with unexpected arp opcode %d\n",
                       ethernet_source.text, static_cast<int>(opcode));
        return;
    }
    // Equal bytes are equal texts, the form every hardware address is
    // stored and compared in.
    if (!std::equal(ethernet_source.bytes.begin(), ethernet_source.bytes.end(),
                    arp.begin() + kArpSenderHardware)) {
        char sender_hwaddr[kHwTextSize];
        format_hwaddr(arp, kArpSenderHardware, sender_hwaddr);
        verdict_reject(verdict, Rejection::kArpSenderMismatch,
                       "received packet from %s with non matching arp sender hardware addr %s\n",
                       ethernet_source.text, sender_hwaddr);
        return;
    }
    if (all_bytes(arp.subspan(kArpSenderProtocol, 4), 0)) {
        verdict_reject(verdict, Rejection::kArpSenderZero,
                       "received packet with unexpected arp sender address %s\n", "0.0.0.0");
        return;
    }

    verdict.observed = true;
    BindingObservation& observation = verdict.observation;
    observation.iptype = 4;
    observation.family = AF_INET;
    std::memcpy(observation.addr.data(), &arp[kArpSenderProtocol], 4);
    std::memcpy(observation.hwaddr, ethernet_source.text, kHwTextSize);
    observation.ts = ts;
}

}  // namespace

FrameVerdict decode_frame(Bytes frame, CaptureTime ts, bool vlan_tags) {
    FrameVerdict verdict;
    if (frame.size() < kEthernetHeaderSize) {
        verdict_reject(verdict, Rejection::kRuntFrame,
                       "packet length (%d) is too short for an ethernet packet\n",
                       static_cast<int>(frame.size()));
        return verdict;
    }
    EthernetSource ethernet_source{frame.subspan(6, 6), {}};
    format_hwaddr(frame, 6, ethernet_source.text);
    if (all_bytes(ethernet_source.bytes, 0x00) || all_bytes(ethernet_source.bytes, 0xff)) {
        // "braodcast": the text administrators' log filters match, kept as is.
        verdict_reject(verdict, Rejection::kSourceAddress,
                       "received packet with ethernet src addr %s (local or braodcast)\n",
                       ethernet_source.text);
        return verdict;
    }
    verdict.reaches_expiry = true;

    unsigned ether_type = read_be16(frame, 12);
    std::size_t offset = kEthernetHeaderSize;
    for (std::size_t tags = 0; vlan_tags && tags < kMaxVlanTags &&
                               (ether_type == kEtherTypeVlan || ether_type == kEtherTypeQinQ);
         ++tags) {
        // A rejected tag names no VLAN, so no database runs an expiry pass.
        if (frame.size() < offset + kVlanTagSize) {
            verdict.reaches_expiry = false;
            verdict_reject(verdict, Rejection::kVlanTagShort,
                           "received packet from %s with length too short for a vlan tag\n",
                           ethernet_source.text);
            return verdict;
        }
        const auto vid = static_cast<std::uint16_t>(read_be16(frame, offset) & 0x0fff);
        if (vid == kReservedVlanId) {
            verdict.reaches_expiry = false;
            verdict_reject(verdict, Rejection::kVlanReserved,
                           "received packet from %s with reserved VLAN id 4095\n",
                           ethernet_source.text);
            return verdict;
        }
        if (vid != 0) verdict.vlan.ids[verdict.vlan.depth++] = vid;
        ether_type = read_be16(frame, offset + 2);
        offset += kVlanTagSize;
    }
    const Bytes payload = frame.subspan(offset);
    if (ether_type == kEtherTypeArp) {
        decode_arp(ethernet_source, payload, ts, verdict);
    } else if (ether_type == kEtherTypeIpv6) {
        decode_neighbor_discovery(ethernet_source, payload, ts, verdict);
    } else {
        verdict_reject(verdict, Rejection::kEtherType,
                       "received packet from %s with unexpected ethernet type %d\n",
                       ethernet_source.text, static_cast<int>(ether_type));
    }
    return verdict;
}
