// The per-frame handler the capture loop calls: Ethernet header checks, ARP
// decoding and validation (RFC 826), hand-off of IPv6 frames to the Neighbor
// Discovery decoder, and the expiry check that ends every accepted frame.
#pragma once

#include <pcap/pcap.h>

// user is the interface database connection (sqlite3*) with the vendor
// database attached. Only header->ts and header->caplen are read; bytes
// holds caplen bytes starting with the Ethernet header.
void handle_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);
