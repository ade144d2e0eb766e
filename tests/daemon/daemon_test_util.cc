#include "daemon_test_util.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame_builder.h"
#include "frame_decode.h"
#include "interface_db.h"
#include "vendor_db.h"

namespace daemon_test {

namespace {

namespace fb = pelorin_frames;

Watcher* running_watcher = nullptr;
DaemonSettings* running_settings = nullptr;
Notifier* running_notifier = nullptr;
Sensor* running_sensor = nullptr;

void run_watcher(const Library& lib, const std::function<void(sqlite3*)>& body,
                 const RunOptions& options) {
    DaemonSettings settings;
    settings.library = LibraryDir(lib.dir().c_str());
    settings.interface_name = kInterface;
    settings.notify_command = options.notify_command;
    settings.retention_days = options.retention_days;
    VendorDb vendor = VendorDb::attach(settings.library);
    Notifier n(settings.notify_command, &vendor, options.notify);
    Watcher w(settings, kInterface, InterfaceDb(settings.library, kInterface, OpenMode::write), n,
              options.limits);
    Sensor sensor(settings, w, n, options.limits);
    running_watcher = &w;
    running_settings = &settings;
    running_notifier = &n;
    running_sensor = &sensor;
    body(w.database().raw());
    // As the daemon does when the capture ends.
    sensor.finish();
    running_watcher = nullptr;
    running_settings = nullptr;
    running_notifier = nullptr;
    running_sensor = nullptr;
}

}  // namespace

Frame arp_frame(const ArpFields& a) {
    fb::Arp arp;
    arp.eth_source = a.source;
    arp.ether_type = a.ether_type;
    arp.hardware_type = a.hardware_type;
    arp.protocol_type = a.protocol_type;
    arp.hardware_length = a.hardware_length;
    arp.protocol_length = a.protocol_length;
    arp.opcode = a.opcode;
    arp.sender_mac = a.sender_mac;
    arp.sender_ip = a.sender_ip;
    arp.target_ip = a.target_ip;
    arp.extra = a.padding;
    return fb::arp_frame(arp);
}

Frame link_option(std::uint8_t type, const Mac& mac) {
    const fb::NdOption option = fb::link_option(type, mac);
    Frame f(2 + option.body.size());
    f[0] = option.type;
    f[1] = 1;
    std::copy(option.body.begin(), option.body.end(), f.begin() + 2);
    return f;
}

Frame nd_frame(const NdFields& n) {
    fb::Nd nd;
    nd.eth_source = n.source;
    nd.eth_destination = {0x33, 0x33, 0, 0, 0, 1};
    nd.type = n.icmp_type;
    nd.source = n.source_ip;
    nd.destination = fb::ipv6("ff02::1");
    nd.target = n.target_ip;
    nd.raw_options = n.options;
    nd.next_header = n.next_header;
    nd.payload_length = n.payload_length;
    return fb::nd_frame(nd);
}

FrameVerdict decode(const Captured& c) {
    const std::size_t caplen = c.caplen < 0 ? c.bytes.size() : static_cast<std::size_t>(c.caplen);
    const Frame exact(c.bytes.begin(), c.bytes.begin() + static_cast<long>(caplen));
    return decode_frame(exact, {c.sec, c.usec});
}

std::string warnings_of(const FrameVerdict& verdict) {
    std::string joined;
    for (int i = 0; i < verdict.line_count; ++i) joined += verdict.lines[i];
    return joined;
}

void feed(const Captured& c) {
    handle(c);
    // One frame per dispatch, as a quiet capture delivers them.
    watcher().end_batch();
}

void handle(const Captured& c) {
    pcap_pkthdr header{};
    header.ts.tv_sec = c.sec;
    header.ts.tv_usec = c.usec;
    header.caplen = static_cast<bpf_u_int32>(c.caplen < 0 ? c.bytes.size() : c.caplen);
    header.len = static_cast<bpf_u_int32>(c.bytes.size());
    // An exact-size copy, so the sanitizers catch any read past caplen.
    std::vector<std::uint8_t> exact(c.bytes.begin(), c.bytes.begin() + header.caplen);
    watcher().handle_frame(&header, exact.data());
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

pelorin_test::ChildResult as_daemon(const Library& lib, const std::function<void(sqlite3*)>& body,
                                    const RunOptions& options) {
    return pelorin_test::run_captured([&] { run_watcher(lib, body, options); });
}

pelorin_test::ChildResult as_daemon_in_child(const Library& lib,
                                             const std::function<void(sqlite3*)>& body,
                                             const RunOptions& options) {
    return pelorin_test::run_in_child([&] { run_watcher(lib, body, options); });
}

Watcher& watcher() {
    if (running_watcher == nullptr) std::abort();
    return *running_watcher;
}

DaemonSettings& daemon_settings() {
    if (running_settings == nullptr) std::abort();
    return *running_settings;
}

Notifier& notifier() {
    if (running_notifier == nullptr) std::abort();
    return *running_notifier;
}

Sensor& sensor() {
    if (running_sensor == nullptr) std::abort();
    return *running_sensor;
}

}  // namespace daemon_test
