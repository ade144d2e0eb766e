// Neighbor Discovery decoding (RFC 4861): validates ICMPv6 Neighbor
// Solicitations and Advertisements and their link-layer address options,
// and yields the IPv6 source address with the frame's Ethernet source.
#pragma once

#include <cstdint>
#include <span>

#include "byte_reader.h"
#include "observation.h"

// ip6 holds the captured bytes from the IPv6 header on. Every bound comes
// from ip6.size(), never from the IPv6 payload length field. Adds its
// warnings and observation to verdict.
void decode_neighbor_discovery(const EthernetSource& ethernet_source, Bytes ip6, CaptureTime ts,
                               FrameVerdict& verdict);
