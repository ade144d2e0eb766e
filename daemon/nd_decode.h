// Neighbor Discovery decoding (RFC 4861): validates ICMPv6 Neighbor
// Solicitations and Advertisements and their link-layer address options,
// and records the IPv6 source address with the frame's Ethernet source.
#pragma once

#include <pcap/pcap.h>
#include <sqlite3.h>

#include <cstdint>

// ethernet_source is the frame's source text; packet holds length bytes
// starting at the IPv6 header. Every bound comes from length, never from
// the IPv6 payload length field.
void handle_neighbor_discovery(sqlite3* db, const char* ethernet_source, const u_char* packet,
                               std::uint32_t length, const struct pcap_pkthdr* header);
