// Neighbor Discovery decoding: each check with its exact message, the order
// of checks, the length boundaries of the IPv6 header, the ICMPv6 message
// and the option walk, and what gets recorded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_test_util.h"

using namespace daemon_test;

namespace {

constexpr char kFrom[] = "received packet from 00:11:22:33:44:55 (fe80::1) with ";

Captured cut(Frame f, long ipv6_length) { return Captured{std::move(f), 1'800'000'000, 0, 14 + ipv6_length}; }

NdFields nd_with(void (*change)(NdFields&)) {
    NdFields f;
    change(f);
    return f;
}

Frame concat(std::initializer_list<Frame> parts) {
    Frame all;
    for (const Frame& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct Case {
    const char* name;
    Captured frame;
    std::string warnings;
};

}  // namespace

TEST(NdDecode, RejectionsWarnExactlyInCheckOrder) {
    const std::vector<Case> cases = {
        {"39 bytes of IPv6", cut(nd_frame({}), 39),
         "received packet from 00:11:22:33:44:55 with length too short for ip6\n"},
        {"40 bytes of IPv6", cut(nd_frame({}), 40), std::string(kFrom) + "length too short for icmp6\n"},
        {"47 bytes of IPv6", cut(nd_frame({}), 47), std::string(kFrom) + "length too short for icmp6\n"},
        {"hop-by-hop header", {nd_frame(nd_with([](NdFields& f) { f.next_header = 0; }))},
         std::string(kFrom) + "unexpected ip6 next header (0)\n"},
        // The next header is checked before the ICMPv6 length.
        {"next header before icmp6 length",
         cut(nd_frame(nd_with([](NdFields& f) { f.next_header = 17; })), 41),
         std::string(kFrom) + "unexpected ip6 next header (17)\n"},
        {"router advertisement", {nd_frame(nd_with([](NdFields& f) { f.icmp_type = 134; }))},
         std::string(kFrom) + "unexpected ICMPv6 type 134\n"},
        {"truncated router advertisement",
         cut(nd_frame(nd_with([](NdFields& f) { f.icmp_type = 134; })), 40 + 16),
         "Warning: icmp6 packet truncated - increase snaplen by 8 bytes\n" + std::string(kFrom) +
             "unexpected ICMPv6 type 134\n"},
        {"23 bytes of solicitation", cut(nd_frame({}), 40 + 23),
         "Warning: icmp6 packet truncated - increase snaplen by 1 bytes\n" + std::string(kFrom) +
             "length too short for neighbor discovery\n"},
        {"option length 0",
         {nd_frame(nd_with([](NdFields& f) { f.options = {1, 0, 0, 0, 0, 0, 0, 0}; }))},
         std::string(kFrom) + "length too short for neighbor discovery option\n"},
        {"option longer than the capture",
         {nd_frame(nd_with([](NdFields& f) { f.options = {14, 2, 0, 0, 0, 0, 0, 0}; }))},
         std::string(kFrom) + "length too short for neighbor discovery option\n"},
        {"two bytes left over",
         {nd_frame(nd_with([](NdFields& f) { f.options = concat({link_option(1, kMacA), {14, 1}}); }))},
         std::string(kFrom) + "length too short for neighbor discovery option\n"},
        {"seven bytes left over",
         {nd_frame(nd_with([](NdFields& f) { f.options = {14, 1, 0, 0, 0, 0, 0}; }))},
         std::string(kFrom) + "length too short for neighbor discovery option\n"},
        {"source link option of length 2",
         {nd_frame(nd_with([](NdFields& f) {
             f.options = concat({{1, 2}, Frame(14, 0)});
         }))},
         std::string(kFrom) +
             "unexpected option source neighbor discovery link address length 14\n"},
        {"target link option of length 3",
         {nd_frame(nd_with([](NdFields& f) {
             f.icmp_type = 136;
             f.options = concat({{2, 3}, Frame(22, 0)});
         }))},
         std::string(kFrom) +
             "unexpected option target neighbor discovery link address length 22\n"},
        {"foreign target link address",
         {nd_frame(nd_with([](NdFields& f) {
             f.icmp_type = 136;
             f.options = link_option(2, kMacB);
         }))},
         std::string(kFrom) + "non matching neighbor discovery option address 00:aa:bb:cc:dd:ee\n"},
        {"second link option foreign",
         {nd_frame(nd_with([](NdFields& f) {
             f.options = concat({link_option(1, kMacA), {14, 1, 9, 9, 9, 9, 9, 9}, link_option(1, kMacB)});
         }))},
         std::string(kFrom) + "non matching neighbor discovery option address 00:aa:bb:cc:dd:ee\n"},
        {"duplicate address probe",
         {nd_frame(nd_with([](NdFields& f) { f.source_ip = {}; }))},
         "received packet with unexpected source address ::\n"},
        // The option walk comes before the unspecified-source check.
        {"probe with a broken option",
         {nd_frame(nd_with([](NdFields& f) {
             f.source_ip = {};
             f.options = {14, 0};
         }))},
         "received packet from 00:11:22:33:44:55 (::) with length too short for neighbor "
         "discovery option\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameVerdict verdict = decode(c.frame);
        EXPECT_EQ(warnings_of(verdict), c.warnings);
        EXPECT_FALSE(verdict.observed);
        EXPECT_TRUE(verdict.reaches_expiry);
    }
}

TEST(NdDecode, AcceptedSolicitationsAndAdvertisementsRecordTheSourceAddress) {
    struct Accepted {
        const char* name;
        Captured frame;
        std::string warnings;
    };
    auto addr = [](std::uint8_t last) {
        return std::array<std::uint8_t, 16>{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
    };
    std::vector<Accepted> cases;
    {
        NdFields f;  // exactly 24 bytes of ICMPv6, no options
        cases.push_back({"bare solicitation", {nd_frame(f)}, ""});
    }
    {
        NdFields f;
        f.source_ip = addr(2);
        f.options = {0xab};  // one byte left over is not an option
        cases.push_back({"one extra byte", {nd_frame(f)}, ""});
    }
    {
        NdFields f;
        f.source_ip = addr(3);
        f.options = concat({link_option(1, kMacA), {0}});
        cases.push_back({"option plus one byte", {nd_frame(f)}, ""});
    }
    {
        NdFields f;
        f.source_ip = addr(4);
        f.options = concat({{14, 1, 1, 2, 3, 4, 5, 6}, {14, 2}, Frame(14, 7), link_option(1, kMacA)});
        cases.push_back({"nonce options skipped", {nd_frame(f)}, ""});
    }
    {
        NdFields f;
        f.source_ip = addr(5);
        f.icmp_type = 136;
        f.options = concat({link_option(2, kMacA), link_option(1, kMacA)});
        cases.push_back({"advertisement with both link options", {nd_frame(f)}, ""});
    }
    {
        NdFields f;
        f.source_ip = addr(6);
        f.payload_length = 32;  // 8 bytes more than were captured
        cases.push_back({"truncated but whole", {nd_frame(f)},
                         "Warning: icmp6 packet truncated - increase snaplen by 8 bytes\n"});
    }
    {
        NdFields f;
        f.source_ip = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
        f.icmp_type = 136;
        cases.push_back({"global source", {nd_frame(f)}, ""});
    }
    const char* const observed[] = {"fe80::1", "fe80::2", "fe80::3",    "fe80::4",
                                    "fe80::5", "fe80::6", "2001:db8::7"};
    std::int64_t sec = 1'800'000'000;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        cases[i].frame.sec = sec + static_cast<std::int64_t>(i);
        const FrameVerdict verdict = decode(cases[i].frame);
        EXPECT_EQ(warnings_of(verdict), cases[i].warnings);
        ASSERT_TRUE(verdict.observed);
        const BindingObservation& o = verdict.observation;
        EXPECT_EQ(o.iptype, 6);
        EXPECT_STREQ(o.ipaddr(), observed[i]);
        EXPECT_STREQ(o.hwaddr, "00:11:22:33:44:55");
        EXPECT_EQ(o.ts.sec, cases[i].frame.sec);
    }
}
