// Decoding of one captured frame: Ethernet header checks, ARP decoding and
// validation (RFC 826), and hand-off of IPv6 frames to the Neighbor
// Discovery decoder. Only bytes in, a verdict out: nothing is stored.
#pragma once

#include <cstdint>
#include <span>

#include "observation.h"

// frame holds what was captured (caplen bytes, not the length on the wire),
// starting with the Ethernet header.
FrameVerdict decode_frame(std::span<const std::uint8_t> frame, CaptureTime ts);
