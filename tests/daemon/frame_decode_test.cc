// Ethernet and ARP checks of the frame decoder: every rejection with its
// exact message, their order, the length boundaries, which frames reach the
// expiry check, and what an accepted frame yields.
#include "frame_decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_test_util.h"
#include "frame_builder.h"

using namespace daemon_test;

namespace {

// What the decoder found, as one comparable line.
std::string observed(const FrameVerdict& v) {
    if (!v.observed) return "-";
    const BindingObservation& o = v.observation;
    return std::to_string(o.iptype) + "|" + o.ipaddr() + "|" + o.hwaddr + "|" +
           std::to_string(o.ts.sec) + "|" + std::to_string(o.ts.usec);
}

struct Case {
    const char* name;
    Captured frame;
    std::string warning;
    bool expires;  // whether the frame reaches the expiry check
};

Captured with_length(Frame f, long caplen) {
    Captured c{std::move(f)};
    c.caplen = caplen;
    return c;
}

ArpFields arp_with(void (*change)(ArpFields&)) {
    ArpFields f;
    change(f);
    return f;
}

}  // namespace

TEST(FrameDecode, RejectionsWarnExactlyAndObserveNothing) {
    Frame multicast_arp = arp_frame(arp_with([](ArpFields& f) {
        f.source = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    }));
    const std::vector<Case> cases = {
        {"13 bytes", with_length(arp_frame({}), 13),
         "packet length (13) is too short for an ethernet packet\n", false},
        {"zero source", {arp_frame(arp_with([](ArpFields& f) { f.source = {}; }))},
         "received packet with ethernet src addr 00:00:00:00:00:00 (local or braodcast)\n", false},
        {"broadcast source",
         {arp_frame(arp_with([](ArpFields& f) { f.source = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}; }))},
         "received packet with ethernet src addr ff:ff:ff:ff:ff:ff (local or braodcast)\n", false},
        {"IPv4 ether type", {arp_frame(arp_with([](ArpFields& f) { f.ether_type = 0x0800; }))},
         "received packet from 00:11:22:33:44:55 with unexpected ethernet type 2048\n", true},
        {"VLAN tag", {arp_frame(arp_with([](ArpFields& f) { f.ether_type = 0x8100; }))},
         "received packet from 00:11:22:33:44:55 with unexpected ethernet type 33024\n", true},
        {"14 bytes of ARP", with_length(arp_frame({}), 14),
         "received packet from 00:11:22:33:44:55 with length too short for an arp packet\n", true},
        {"41 bytes of ARP", with_length(arp_frame({}), 41),
         "received packet from 00:11:22:33:44:55 with length too short for an arp packet\n", true},
        {"hardware type 256", {arp_frame(arp_with([](ArpFields& f) { f.hardware_type = 0x0100; }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp hardware type 256\n", true},
        {"protocol type IPv6",
         {arp_frame(arp_with([](ArpFields& f) { f.protocol_type = 0x86dd; }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp protocol type 34525\n", true},
        {"hardware length 8", {arp_frame(arp_with([](ArpFields& f) { f.hardware_length = 8; }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp hardware lenth 8\n", true},
        {"protocol length 16", {arp_frame(arp_with([](ArpFields& f) { f.protocol_length = 16; }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp protocol length 16\n", true},
        {"opcode 3", {arp_frame(arp_with([](ArpFields& f) { f.opcode = 3; }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp opcode 3\n", true},
        {"opcode 0", {arp_frame(arp_with([](ArpFields& f) { f.opcode = 0; }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp opcode 0\n", true},
        {"relayed reply", {arp_frame(arp_with([](ArpFields& f) {
             f.opcode = 2;
             f.sender_mac = kMacB;
         }))},
         "received packet from 00:11:22:33:44:55 with non matching arp sender hardware addr "
         "00:aa:bb:cc:dd:ee\n",
         true},
        {"probe from 0.0.0.0", {arp_frame(arp_with([](ArpFields& f) { f.sender_ip = {}; }))},
         "received packet with unexpected arp sender address 0.0.0.0\n", true},
        // Several wrong fields: only the first check in order speaks.
        {"hardware type before protocol length", {arp_frame(arp_with([](ArpFields& f) {
             f.hardware_type = 2;
             f.protocol_length = 16;
         }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp hardware type 2\n", true},
        {"lengths before opcode and sender", {arp_frame(arp_with([](ArpFields& f) {
             f.hardware_length = 8;
             f.opcode = 9;
             f.sender_mac = kMacB;
             f.sender_ip = {};
         }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp hardware lenth 8\n", true},
        {"opcode before sender mismatch", {arp_frame(arp_with([](ArpFields& f) {
             f.opcode = 7;
             f.sender_mac = kMacB;
         }))},
         "received packet from 00:11:22:33:44:55 with unexpected arp opcode 7\n", true},
        {"sender mismatch before zero sender", {arp_frame(arp_with([](ArpFields& f) {
             f.sender_mac = kMacB;
             f.sender_ip = {};
         }))},
         "received packet from 00:11:22:33:44:55 with non matching arp sender hardware addr "
         "00:aa:bb:cc:dd:ee\n",
         true},
        {"multicast source with foreign sender", {multicast_arp},
         "received packet from 01:00:5e:00:00:01 with non matching arp sender hardware addr "
         "00:11:22:33:44:55\n",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameVerdict verdict = decode(c.frame);
        EXPECT_EQ(warnings_of(verdict), c.warning);
        EXPECT_FALSE(verdict.observed);
        EXPECT_EQ(verdict.reaches_expiry, c.expires);
    }
}

TEST(FrameDecode, ValidArpIsObservedWhateverItsPaddingHardwareTypeOrOpcode) {
    ArpFields padded;
    padded.sender_ip = {169, 254, 1, 3};
    padded.padding = 18;  // 60 bytes
    ArpFields ieee802;
    ieee802.hardware_type = 6;
    ieee802.opcode = 2;
    ieee802.sender_ip = {169, 254, 1, 4};
    ArpFields multicast;
    multicast.source = multicast.sender_mac = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    multicast.sender_ip = {169, 254, 1, 5};
    ArpFields low;
    low.source = low.sender_mac = {0, 0, 0, 0, 0, 1};
    low.sender_ip = {169, 254, 1, 6};
    const struct {
        Captured frame;
        const char* observation;
    } cases[] = {
        {{arp_frame({}), 1'800'000'000, 7}, "4|169.254.1.1|00:11:22:33:44:55|1800000000|7"},
        {{arp_frame(padded), 1'800'000'001, 8}, "4|169.254.1.3|00:11:22:33:44:55|1800000001|8"},
        {{arp_frame(ieee802), 1'800'000'002, 9}, "4|169.254.1.4|00:11:22:33:44:55|1800000002|9"},
        {{arp_frame(multicast), 1'800'000'003, 10},
         "4|169.254.1.5|01:00:5e:00:00:01|1800000003|10"},
        {{arp_frame(low), 1'800'000'004, 11}, "4|169.254.1.6|00:00:00:00:00:01|1800000004|11"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.observation);
        const FrameVerdict verdict = decode(c.frame);
        EXPECT_EQ(warnings_of(verdict), "");
        EXPECT_TRUE(verdict.reaches_expiry);
        EXPECT_EQ(observed(verdict), c.observation);
    }
}

TEST(FrameDecode, CapturedLengthDecidesNotTheBytesBeyondIt) {
    // A 60-byte frame cut at 41 captured bytes is too short even though the
    // wire length would do.
    ArpFields padded;
    padded.padding = 18;
    const FrameVerdict short_one = decode(with_length(arp_frame(padded), 41));
    EXPECT_EQ(warnings_of(short_one),
              "received packet from 00:11:22:33:44:55 with length too short for an arp packet\n");
    EXPECT_EQ(observed(short_one), "-");
    const FrameVerdict whole = decode(with_length(arp_frame(padded), 42));
    EXPECT_EQ(warnings_of(whole), "");
    EXPECT_EQ(observed(whole), "4|169.254.1.1|00:11:22:33:44:55|1800000000|0");
}

// With VLAN tags looked into: the path a frame belongs to, and what follows
// the tags checked exactly as an untagged frame's payload.
TEST(FrameDecode, VlanTagsNameTheVlanAndLeaveThePayloadToTheUsualChecks) {
    namespace fb = pelorin_frames;
    const Frame arp = arp_frame({});
    ArpFields ipv4;
    ipv4.ether_type = 0x0800;
    // A Solicitation 150 bytes long untagged: cut at 128 bytes untagged, and
    // at 136 under two tags, it draws the same note.
    NdFields long_nd;
    long_nd.options = Frame(150 - 14 - 40 - 24, 0);
    for (std::size_t i = 0; i + 8 <= long_nd.options.size(); i += 8) {
        long_nd.options[i] = 14;
        long_nd.options[i + 1] = 1;
    }
    const std::string long_note =
        "Warning: icmp6 packet truncated - increase snaplen by 22 bytes\n"
        "received packet from 00:11:22:33:44:55 (fe80::1) with length too short for neighbor "
        "discovery option\n";
    const struct {
        const char* name;
        Captured frame;
        std::string warnings;
        const char* path;  // "-": not observed
        bool expires;
    } cases[] = {
        {"untagged", {arp}, "", "", true},
        {"802.1Q VID 10", {fb::tagged(arp, {{fb::kTagQ, 10}})}, "", "10", true},
        {"802.1ad VID 10 alone", {fb::tagged(arp, {{fb::kTagAd, 10}})}, "", "10", true},
        {"two tags", {fb::tagged(arp, {{fb::kTagAd, 100}, {fb::kTagQ, 10}})}, "", "100.10", true},
        {"priority tag alone", {fb::tagged(arp, {{fb::kTagQ, 0}})}, "", "", true},
        {"priority tag outside",
         {fb::tagged(arp, {{fb::kTagAd, 0}, {fb::kTagQ, 10}})},
         "",
         "10",
         true},
        {"priority tag inside",
         {fb::tagged(arp, {{fb::kTagAd, 100}, {fb::kTagQ, 0}})},
         "",
         "100",
         true},
        {"reserved VID",
         {fb::tagged(arp, {{fb::kTagQ, 4095}})},
         "received packet from 00:11:22:33:44:55 with reserved VLAN id 4095\n",
         "-",
         false},
        {"reserved inner VID",
         {fb::tagged(arp, {{fb::kTagAd, 100}, {fb::kTagQ, 4095}})},
         "received packet from 00:11:22:33:44:55 with reserved VLAN id 4095\n",
         "-",
         false},
        {"tag cut short", with_length(fb::tagged(arp, {{fb::kTagQ, 10}}), 16),
         "received packet from 00:11:22:33:44:55 with length too short for a vlan tag\n", "-",
         false},
        {"IPv4 under a tag",
         {fb::tagged(arp_frame(ipv4), {{fb::kTagQ, 10}})},
         "received packet from 00:11:22:33:44:55 with unexpected ethernet type 2048\n",
         "-",
         true},
        {"three tags",
         {fb::tagged(arp, {{fb::kTagAd, 1}, {fb::kTagQ, 2}, {fb::kTagQ, 3}})},
         "received packet from 00:11:22:33:44:55 with unexpected ethernet type 33024\n",
         "-",
         true},
        {"long ND untagged, default capture length", with_length(nd_frame(long_nd), 128), long_note,
         "-", true},
        {"long ND under two tags, 8 bytes more",
         with_length(fb::tagged(nd_frame(long_nd), {{fb::kTagAd, 7}, {fb::kTagQ, 8}}), 136),
         long_note, "-", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t caplen =
            c.frame.caplen < 0 ? c.frame.bytes.size() : static_cast<std::size_t>(c.frame.caplen);
        const Frame exact(c.frame.bytes.begin(), c.frame.bytes.begin() + static_cast<long>(caplen));
        const FrameVerdict v = decode_frame(exact, {c.frame.sec, c.frame.usec}, true);
        EXPECT_EQ(warnings_of(v), c.warnings);
        EXPECT_EQ(v.reaches_expiry, c.expires);
        std::string path = "-";
        if (v.observed) {
            path.clear();
            for (int i = 0; i < v.vlan.depth; ++i) {
                path += (i > 0 ? "." : "") + std::to_string(v.vlan.ids[i]);
            }
        }
        EXPECT_EQ(path, c.path);
    }
}
