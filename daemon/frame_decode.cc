#include "frame_decode.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "byte_reader.h"
#include "diag.h"
#include "nd_decode.h"
#include "tracker.h"

namespace {

constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::size_t kArpPacketSize = 28;

constexpr unsigned kEtherTypeArp = 0x0806;
constexpr unsigned kEtherTypeIpv6 = 0x86dd;

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
constexpr std::size_t kArpTargetProtocol = 24;

// The checks run in a fixed order and the first failure is the one reported;
// a rejected packet never reaches the database.
void decode_arp(sqlite3* db, const char* ethernet_source, Bytes arp,
                const struct pcap_pkthdr* header) {
    if (arp.size() < kArpPacketSize) {
        diag_warn("received packet from %s with length too short for an arp packet\n",
                  ethernet_source);
        return;
    }
    const unsigned hardware_type = read_be16(arp, kArpHardwareType);
    if (hardware_type != kArpHardwareEthernet && hardware_type != kArpHardwareIeee802) {
        diag_warn("received packet from %s with unexpected arp hardware type %d\n",
                  ethernet_source, static_cast<int>(hardware_type));
        return;
    }
    const unsigned protocol_type = read_be16(arp, kArpProtocolType);
    if (protocol_type != kArpProtocolIpv4) {
        diag_warn("received packet from %s with unexpected arp protocol type %d\n",
                  ethernet_source, static_cast<int>(protocol_type));
        return;
    }
    if (arp[kArpHardwareLength] != 6) {
        diag_warn("received packet from %s with unexpected arp hardware lenth %d\n",
                  ethernet_source, static_cast<int>(arp[kArpHardwareLength]));
        return;
    }
    if (arp[kArpProtocolLength] != 4) {
        diag_warn("received packet from %s with unexpected arp protocol length %d\n",
                  ethernet_source, static_cast<int>(arp[kArpProtocolLength]));
        return;
    }
    char sender_hwaddr[kHwTextSize];
    format_hwaddr(arp, kArpSenderHardware, sender_hwaddr);

    char sender_ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &arp[kArpSenderProtocol], sender_ip, sizeof sender_ip) == nullptr) {
        diag_warn("received packet from %s with invalid arp sender ip address\n",
                  ethernet_source);
        return;
    }
    char target_ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &arp[kArpTargetProtocol], target_ip, sizeof target_ip) == nullptr) {
        diag_warn("received packet from %s with invalid arp target ip address\n",
                  ethernet_source);
        return;
    }
    const unsigned opcode = read_be16(arp, kArpOpcode);
    if (opcode != kArpRequest && opcode != kArpReply) {
        diag_warn("received packet from %s with unexpected arp opcode %d\n", ethernet_source,
                  static_cast<int>(opcode));
        return;
    }
    // Compared as text, the form every hardware address is stored in.
    if (std::strncmp(sender_hwaddr, ethernet_source, kHwTextSize) != 0) {
        diag_warn("received packet from %s with non matching arp sender hardware addr %s\n",
                  ethernet_source, sender_hwaddr);
        return;
    }
    if (all_bytes(arp.subspan(kArpSenderProtocol, 4), 0)) {
        diag_warn("received packet with unexpected arp sender address %s\n", sender_ip);
        return;
    }

    const BindingObservation observation{
        .iptype = 4,
        .family = AF_INET,
        .addr = &arp[kArpSenderProtocol],
        .ipaddr = sender_ip,
        .hwaddr = sender_hwaddr,
        .ts = {header->ts.tv_sec, header->ts.tv_usec},
    };
    track_binding(db, observation);
}

}  // namespace

void handle_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    auto* db = reinterpret_cast<sqlite3*>(user);
    // What was captured, not the length on the wire.
    const Bytes frame(bytes, header->caplen);
    if (frame.size() < kEthernetHeaderSize) {
        diag_warn("packet length (%d) is too short for an ethernet packet\n",
                  static_cast<int>(header->caplen));
        return;
    }
    char ethernet_source[kHwTextSize];
    format_hwaddr(frame, 6, ethernet_source);
    const Bytes source = frame.subspan(6, 6);
    if (all_bytes(source, 0x00) || all_bytes(source, 0xff)) {
        diag_warn("received packet with ethernet src addr %s (local or braodcast)\n",
                  ethernet_source);
        return;
    }

    const unsigned ether_type = read_be16(frame, 12);
    const Bytes payload = frame.subspan(kEthernetHeaderSize);
    if (ether_type == kEtherTypeArp) {
        decode_arp(db, ethernet_source, payload, header);
    } else if (ether_type == kEtherTypeIpv6) {
        handle_neighbor_discovery(db, ethernet_source, payload.data(),
                                  header->caplen - kEthernetHeaderSize, header);
    } else {
        diag_warn("received packet from %s with unexpected ethernet type %d\n", ethernet_source,
                  static_cast<int>(ether_type));
    }
    expire_if_due(db, header->ts.tv_sec);
}
