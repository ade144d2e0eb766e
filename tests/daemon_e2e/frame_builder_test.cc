// The frame builder's output checked against hand-assembled bytes, so that
// a wrong offset in the builder cannot hide a wrong offset in the daemon.
#include "frame_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

namespace fb = pelorin_frames;

std::string hex(const fb::Bytes& bytes) {
    std::string out;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

// Hex laid out one header row per line, as the protocol documents draw them.
// clang-format off
TEST(FrameBuilder, ArpRequestAndPaddedReplyLayout) {
    EXPECT_EQ(hex(fb::arp_request(fb::mac("02:11:22:33:44:55"), fb::ipv4("10.0.0.5"),
                                  fb::ipv4("10.0.0.1"))),
              "ffffffffffff" "021122334455" "0806"
              "0001" "0800" "06" "04" "0001"
              "021122334455" "0a000005" "000000000000" "0a000001");
    fb::Arp reply;
    reply.eth_source = reply.sender_mac = fb::mac("00:11:22:00:00:01");
    reply.eth_destination = reply.target_mac = fb::mac("02:11:22:33:44:55");
    reply.opcode = fb::kArpReply;
    reply.sender_ip = fb::ipv4("10.0.0.6");
    reply.target_ip = fb::ipv4("10.0.0.5");
    reply.pad = true;
    const fb::Bytes frame = fb::arp_frame(reply);
    ASSERT_EQ(frame.size(), 60u);
    EXPECT_EQ(hex(frame).substr(0, 84),
              "021122334455" "001122000001" "0806"
              "0001" "0800" "06" "04" "0002"
              "001122000001" "0a000006" "021122334455" "0a000005");
    EXPECT_EQ(hex(frame).substr(84), std::string(36, '0'));
}

TEST(FrameBuilder, NeighborSolicitationLayoutOptionsAndChecksum) {
    fb::Nd nd;
    nd.eth_source = fb::mac("02:11:22:33:44:55");
    nd.source = fb::ipv6("fe80::11:22ff:fe33:4455");
    nd.destination = fb::ipv6("ff02::1:ff00:1");
    nd.target = fb::ipv6("fe80::1");
    nd.options = {fb::link_option(fb::kOptionSourceLinkAddress, nd.eth_source),
                  fb::NdOption{fb::kOptionNonce, {1, 2, 3, 4, 5, 6}}};
    const fb::Bytes frame = fb::nd_frame(nd);
    ASSERT_EQ(frame.size(), 14u + 40 + 24 + 16);
    // Checksum 0x9753 as an independent decoder reported it correct.
    EXPECT_EQ(hex(frame),
              "3333ff000001" "021122334455" "86dd"
              "60000000" "0028" "3a" "ff"
              "fe800000000000000011" "22fffe334455"
              "ff020000000000000000" "0001ff000001"
              "87" "00" "9753" "00000000"
              "fe800000000000000000" "000000000001"
              "0101021122334455"
              "0e01010203040506");
}

// clang-format on

}  // namespace
