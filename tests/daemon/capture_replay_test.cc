// Replays the third-party capture files (real and malformed ARP and
// Neighbor Discovery traffic) through the frame handler, whole and cut to
// the default snap length: no crash, and records only for frames that pass
// every check.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "daemon_test_util.h"
#include "frame_decode.h"

using namespace daemon_test;

namespace {

struct Expected {
    const char* file;
    int rows;  // the "new" column of the captures' README
};

constexpr Expected kCaptures[] = {
    {"arp-oobr.pcap", 100},           {"arp-too-long-tha.pcap", 0},
    {"bgp-4byte-asn.pcap", 9},        {"bgp-lu-multiple-labels.pcap", 2},
    {"dcb_ets.pcap", 0},              {"dcb_qcn.pcap", 0},
    {"dhcp-rfc4388.pcap", 2},         {"eapon1.pcap", 3},
    {"icmpv6-length-zero.pcapng", 0}, {"icmpv6-ns-nonce.pcap", 0},
    {"ipv6-bad-version.pcap", 2},     {"isakmp4500.pcap", 2},
    {"isis_iid_tlv.pcap", 2},         {"mptcp-fclose.pcap", 2},
};

pelorin_test::ChildResult replay(const Library& lib, const std::string& file, bpf_u_int32 snaplen) {
    return as_daemon(lib, [&](sqlite3* db) {
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_t* handle = pcap_open_offline(file.c_str(), errbuf);
        if (handle == nullptr) {
            std::printf("open failed: %s\n", errbuf);
            return;
        }
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        int frames = 0;
        while (pcap_next_ex(handle, &header, &bytes) == 1) {
            pcap_pkthdr cut = *header;
            cut.caplen = std::min(cut.caplen, snaplen);
            watcher().handle_frame(&cut, bytes);
            ++frames;
        }
        std::printf("%d frames\n", frames);
        pcap_close(handle);
    });
}

}  // namespace

TEST(CaptureReplay, RecordsMatchTheIndependentCount) {
    for (const Expected& e : kCaptures) {
        for (const bpf_u_int32 snaplen : {262144u, 128u}) {
            SCOPED_TRACE(std::string(e.file) + " snaplen " + std::to_string(snaplen));
            Library lib;
            const auto result = replay(lib, std::string(PELORIN_CAPTURE_DIR "/") + e.file,
                                       snaplen);
            EXPECT_EQ(result.exit_status, 0);
            EXPECT_EQ(result.signal, 0);
            EXPECT_NE(result.out.find(" frames\n"), std::string::npos) << result.out;
            EXPECT_EQ(pelorin_test::raw_query(lib.db_path(), "SELECT count(*) FROM ipmap"),
                      std::to_string(e.rows));
            // Every row came with its announcement.
            EXPECT_EQ(count_of(result.err, "IP address "), e.rows);
        }
    }
}

TEST(CaptureReplay, FuzzedArpHitsEveryCheckInOrder) {
    Library lib;
    const auto result = replay(lib, PELORIN_CAPTURE_DIR "/arp-oobr.pcap", 128);
    EXPECT_EQ(result.out, "2282 frames\n");
    EXPECT_EQ(count_of(result.err, "with non matching arp sender hardware addr"), 411);
    EXPECT_EQ(count_of(result.err, "with unexpected arp protocol type"), 93);
    EXPECT_EQ(count_of(result.err, "with unexpected arp hardware type"), 82);
    EXPECT_EQ(count_of(result.err, "with unexpected arp opcode"), 74);
    EXPECT_EQ(count_of(result.err, "with unexpected arp hardware lenth"), 50);
    EXPECT_EQ(count_of(result.err, "with unexpected arp protocol length"), 34);
}

TEST(CaptureReplay, NeighborDiscoveryVerdicts) {
    Library lib;
    auto result = replay(lib, PELORIN_CAPTURE_DIR "/icmpv6-length-zero.pcapng", 128);
    EXPECT_EQ(result.out, "1 frames\n");
    EXPECT_NE(result.err.find("with length too short for neighbor discovery option\n"),
              std::string::npos)
        << result.err;
    result = replay(lib, PELORIN_CAPTURE_DIR "/icmpv6-ns-nonce.pcap", 128);
    EXPECT_EQ(result.err, "received packet with unexpected source address ::\n");
    result = replay(lib, PELORIN_CAPTURE_DIR "/arp-too-long-tha.pcap", 128);
    EXPECT_NE(result.err.find("with unexpected ethernet type 34984\n"), std::string::npos)
        << result.err;
}
