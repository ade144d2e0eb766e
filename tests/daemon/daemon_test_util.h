// Shared pieces of the daemon's in-process tests: ARP and Neighbor
// Discovery frames with the defaults these tests share (built by the common
// frame builder), and a run of the daemon's watcher over a real interface
// database (with the vendor database attached for its notifier) in a
// scratch directory, with its output captured, so that the test can inspect
// the files and the warnings.
#pragma once

#include <pcap/pcap.h>
#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "notifier.h"
#include "observation.h"
#include "sensor.h"
#include "settings.h"
#include "test_support.h"
#include "watcher.h"

namespace daemon_test {

using Frame = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

constexpr Mac kMacA = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr Mac kMacB = {0x00, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
constexpr Mac kDestination = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr const char* kInterface = "eth-test";

// An ARP frame with every field valid by default; tests change one field.
struct ArpFields {
    Mac source = kMacA;                         // Ethernet source
    std::uint16_t ether_type = 0x0806;
    std::uint16_t hardware_type = 1;
    std::uint16_t protocol_type = 0x0800;
    std::uint8_t hardware_length = 6;
    std::uint8_t protocol_length = 4;
    std::uint16_t opcode = 1;
    Mac sender_mac = kMacA;
    std::array<std::uint8_t, 4> sender_ip = {169, 254, 1, 1};
    std::array<std::uint8_t, 4> target_ip = {169, 254, 1, 2};
    std::size_t padding = 0;  // bytes added after the 42 of the frame
};
Frame arp_frame(const ArpFields& f);

Frame link_option(std::uint8_t type, const Mac& mac);  // one 8-byte option as bytes

// An IPv6 Neighbor Solicitation/Advertisement frame, valid by default.
struct NdFields {
    Mac source = kMacA;
    std::uint8_t next_header = 58;
    std::array<std::uint8_t, 16> source_ip = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::uint8_t icmp_type = 135;
    std::array<std::uint8_t, 16> target_ip = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    Frame options;                       // raw option bytes after the fixed part
    int payload_length = -1;             // -1: the real ICMPv6 length
};
Frame nd_frame(const NdFields& f);

// One captured frame as the capture loop hands it over.
struct Captured {
    Frame bytes;
    std::int64_t sec = 1'800'000'000;
    std::int64_t usec = 0;
    long caplen = -1;  // -1: all bytes
};
// The decoder's verdict on the frame, from an exact-size copy of its
// captured bytes (so that the sanitizers catch any read past them).
FrameVerdict decode(const Captured& c);
// The verdict's warnings, joined.
std::string warnings_of(const FrameVerdict& verdict);

// Hands the frame to the watcher of the running as_daemon body, as one
// capture dispatch of its own (its batch is committed and announced).
void feed(const Captured& c);
// Hands the frame to that watcher without ending its batch, as one frame of
// a longer dispatch.
void handle(const Captured& c);

// A scratch library directory with a vendor database holding the
// organisations of kMacA ("Alpha Org") and kMacB ("Beta Org").
class Library {
   public:
    Library();
    const std::string& dir() const { return scratch_.path(); }
    std::string db_path() const;
    std::string rows() const;  // iptype|ipaddr|hwaddr|sec|usec|utime per row, by rowid

   private:
    pelorin_test::ScratchDir scratch_;
};

// What the watcher under test runs with: settings as the daemon's parser
// makes them (interface kInterface, library directory of the Library) and
// the limits of watcher and notifier.
struct RunOptions {
    const char* notify_command = nullptr;
    std::int64_t retention_days = kDefaultRetentionDays;
    WatcherLimits limits;
    NotifyLimits notify;
};

// Runs body in this process, output captured, with the daemon's interface
// database of lib open in a watcher as the daemon holds it during capture;
// body gets the connection. The batch is ended when body returns.
pelorin_test::ChildResult as_daemon(const Library& lib, const std::function<void(sqlite3*)>& body,
                                    const RunOptions& options = {});
// The same in a child process, for a body that ends the process (a fatal
// error, a termination signal).
pelorin_test::ChildResult as_daemon_in_child(const Library& lib,
                                             const std::function<void(sqlite3*)>& body,
                                             const RunOptions& options = {});

// The watcher, its settings (which a body may change between frames) and
// its notifier, of the as_daemon body now running.
Watcher& watcher();
DaemonSettings& daemon_settings();
Notifier& notifier();
// The sensor that feeds the watcher, for the capture loop.
Sensor& sensor();

using pelorin_test::count_of;

}  // namespace daemon_test
