// Decoding of one captured frame: Ethernet header checks, up to two VLAN
// tags when asked (IEEE 802.1Q and 802.1ad), ARP decoding and validation
// (RFC 826), and hand-off of IPv6 frames to the Neighbor Discovery decoder.
// Only bytes in, a verdict out: nothing is stored.
#pragma once

#include <cstdint>
#include <span>

#include "observation.h"

// VLAN ids 0 (priority tag) and 4095 (reserved) are not VLANs.
constexpr std::uint16_t kReservedVlanId = 4095;

// frame holds what was captured (caplen bytes, not the length on the wire),
// starting with the Ethernet header. With vlan_tags, up to two 802.1Q or
// 802.1ad tags are read, and what follows them is checked exactly as an
// untagged frame's payload; without it a tagged frame is of an unexpected
// EtherType.
FrameVerdict decode_frame(std::span<const std::uint8_t> frame, CaptureTime ts,
                          bool vlan_tags = false);
