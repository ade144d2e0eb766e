#include "daemon_test_util.h"

#include <cstring>

#include "frame_decode.h"
#include "store.h"

namespace daemon_test {

namespace {

void put16(Frame& f, std::uint16_t v) {
    f.push_back(static_cast<std::uint8_t>(v >> 8));
    f.push_back(static_cast<std::uint8_t>(v & 0xff));
}

template <std::size_t N>
void put(Frame& f, const std::array<std::uint8_t, N>& bytes) {
    f.insert(f.end(), bytes.begin(), bytes.end());
}

}  // namespace

Frame arp_frame(const ArpFields& a) {
    Frame f;
    put(f, kDestination);
    put(f, a.source);
    put16(f, a.ether_type);
    put16(f, a.hardware_type);
    put16(f, a.protocol_type);
    f.push_back(a.hardware_length);
    f.push_back(a.protocol_length);
    put16(f, a.opcode);
    put(f, a.sender_mac);
    put(f, a.sender_ip);
    put(f, Mac{});
    put(f, a.target_ip);
    f.insert(f.end(), a.padding, 0);
    return f;
}

Frame link_option(std::uint8_t type, const Mac& mac) {
    Frame f = {type, 1};
    put(f, mac);
    return f;
}

Frame nd_frame(const NdFields& n) {
    Frame icmp = {n.icmp_type, 0, 0, 0, 0, 0, 0, 0};
    put(icmp, n.target_ip);
    icmp.insert(icmp.end(), n.options.begin(), n.options.end());

    Frame f;
    put(f, Mac{0x33, 0x33, 0, 0, 0, 1});
    put(f, n.source);
    put16(f, 0x86dd);
    f.insert(f.end(), {0x60, 0, 0, 0});
    put16(f, static_cast<std::uint16_t>(n.payload_length < 0 ? icmp.size() : n.payload_length));
    f.push_back(n.next_header);
    f.push_back(255);
    put(f, n.source_ip);
    put(f, std::array<std::uint8_t, 16>{0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    f.insert(f.end(), icmp.begin(), icmp.end());
    return f;
}

void feed(sqlite3* db, const Captured& c) {
    pcap_pkthdr header{};
    header.ts.tv_sec = c.sec;
    header.ts.tv_usec = c.usec;
    header.caplen = static_cast<bpf_u_int32>(c.caplen < 0 ? c.bytes.size() : c.caplen);
    header.len = static_cast<bpf_u_int32>(c.bytes.size());
    // An exact-size copy, so the sanitizers catch any read past caplen.
    std::vector<std::uint8_t> exact(c.bytes.begin(), c.bytes.begin() + header.caplen);
    handle_frame(reinterpret_cast<u_char*>(db), &header, exact.data());
}

Library::Library() {
    pelorin_test::make_vendor_db(dir(), {{"ma_l", "00:11:22", "Alpha Org"},
                                         {"ma_l", "00:aa:bb", "Beta Org"}});
}

std::string Library::db_path() const { return dir() + "/" + kInterface + ".sqlite"; }

std::string Library::rows() const {
    return pelorin_test::raw_query(
        db_path(), "SELECT iptype,ipaddr,hwaddr,sec,usec,utime FROM ipmap ORDER BY rowid");
}

pelorin_test::ChildResult as_daemon(const Library& lib, const std::function<void(sqlite3*)>& body) {
    return pelorin_test::run_in_child([&] {
        library_directory = lib.dir().c_str();
        sqlite3* db = store_open_interface(kInterface, kOpenWrite);
        store_attach_vendor(db);
        body(db);
    });
}

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

}  // namespace daemon_test
