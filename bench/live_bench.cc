// The real daemon on a veth pair in a network namespace of its own, fed the
// way a segment feeds it: frames evenly spaced, one send per slot (slot i at
// start + i/rate, waited for on the monotonic clock), beside the floor of the
// same work done in this process. A measurement, never a test: nothing fails
// on a figure; the exit status is 1 only when nothing can be measured (no
// namespace, no injection socket, a daemon that never starts capturing).
//
// Usage: live_bench PELORIN PELORIN_WITHOUT_CACHE [--quick] [--only PHASE]
// as root. PELORIN_WITHOUT_CACHE is the build of the daemon that never
// answers from its in-memory bindings. --quick: 1 s of traffic per rate
// instead of 2.5 s, one repetition of the floor instead of three, 20 hosts in
// the latency phase instead of 100, 100 VLANs in the trunk's restart instead
// of 1,000. --only steady, latency, burst or trunk runs that phase alone
// (steady includes the floor it is compared with).
//
// Phases and figures, targets in brackets:
//   floor      a Watcher in this process over an interface database in a
//              scratch directory (set up as daemon_bench does), 10,000 hosts
//              learned, then repeated sightings of them through handle_frame
//              in batches of 256 frames, each followed by end_batch: frames
//              per CPU-second of this process (CLOCK_PROCESS_CPUTIME_ID),
//              ARP and ND (Neighbor Solicitations with a source link-layer
//              option) separately, the median of the repetitions.
//   steady     per row a fresh daemon, warmed with 10,000 hosts (sent, and
//              each announced), then repeated sightings of them: ARP at
//              1,000, 10,000, 50,000 and 200,000 frames/s; ND at 10,000 and
//              50,000/s; ARP at 50,000/s from the build without the cache,
//              and from the old sender (clumps of 16 frames, for comparison
//              only); then ARP at rising rates up to 1.49 million/s until the
//              capture drops or the sender falls short; then back to back.
//     achieved       frames sent / time from the first slot to the last send
//     frames/call    frames per sendmmsg call: 1 while the sender keeps up
//                    (one send per slot); when it is behind, the frames of
//                    every slot already passed go in one call (at most 64)
//     late p99       how long after its slot the 99th-percentile frame left
//     CPU            the daemon's time on a CPU (first field of
//                    /proc/PID/task/*/schedstat, summed) from just before the
//                    first frame to 0.25 s after the last
//     frames/CPU-s   frames sent / CPU
//     switches       voluntary and involuntary context switches
//                    (/proc/PID/task/*/status) over the same span, per frame
//                    and per 100 frames [<= 1 per 100 at 50,000/s]
//     drops          the daemon's report at exit, "capture dropped N packets
//                    (M by the interface)", over its whole life (the warm-up
//                    drops nothing when all 10,000 were learned in one pass)
//     lost           frames sent that cap0 never received (its rx counter)
//   ratios     ND / ARP daemon CPU per frame at 50,000/s [<= 1.2]; live
//              frames per CPU-second / floor at 10,000 and 50,000/s [>= 0.8]
//   top speed  the highest achieved rate without drops or lost frames, and
//              the daemon's frames per CPU-second there, against 1.49 million
//              minimum-size frames per second (one gigabit Ethernet link)
//   latency    a fresh daemon, 100 new hosts at 1 frame/s on average (at
//              golden-ratio offsets within each second, so that the sends
//              meet every phase of a periodic timer of the daemon): from each
//              send to the arrival of the host's "changed from (none)" line
//              on the daemon's standard error, read through a pipe by a
//              thread that stamps each line as it arrives: p50, p99
//              [<= 100 ms], max; and the daemon's voluntary context
//              switches and CPU per second, first over 3 s without any
//              traffic, then over the phase
//   burst      65,536 new hosts at 20,000 frames/s into a fresh daemon: how
//              many were learned and announced [all], seconds from the last
//              frame sent to the last announcement [<= 2 s], peak RSS
//              (VmHWM), drops
//   trunk      daemons started with -V all, fed ARP under one 802.1Q tag;
//              hosts are learned a VLAN at a time (interleaved, every new
//              binding of a VLAN would cost a commit of its own: see burst)
//     spread     10,240 hosts, 40 in each of 256 VLANs, learned; then, once
//                no VLAN database has changed for 1 s (the first expiry
//                passes, each of which empties its VLAN's in-memory
//                bindings, are over) and after one round of sightings that
//                fills them again, their repeated sightings at 50,000
//                frames/s, consecutive frames in different VLANs (a steady
//                row); beside the same hosts in one VLAN: 256 VLANs / one
//                VLAN frames per CPU-second [>= 0.8]
//     burst      65,536 new hosts over 256 VLANs (consecutive frames in
//                different VLANs) at 20,000 frames/s into a fresh daemon, as
//                the burst above but waiting 20 s at most [all, <= 2 s], and
//                the VLAN databases made
//     memory     40 hosts in each of 1, 100 and 1,000 VLANs, learned, then
//                3 s (quick: 1 s) of their sightings at 20,000/s: VmHWM, per
//                VLAN (VmHWM at 1,000 - at 1) / 999 [<= 256 KiB], open
//                descriptors, drops over the daemon's life
//     restart    1,000 VLAN databases of 10,000 rows (16 of them past the
//                retention), written beforehand; the daemon started on them
//                while 400 of each VLAN's hosts arrive at 20,000 frames/s,
//                the VLANs in turn, until every VLAN's database has had its
//                first expiry pass (at least 100 ms apart, so 100 s or more)
//                or 0.25 s per VLAN have passed: drops [none], when the
//                first and the last pass came and the longest gap between
//                two (a database file changes only in its pass: its hosts
//                are known and recently refreshed), CPU, peak RSS,
//                descriptors; afterwards, the databases whose rows past the
//                retention are gone
//
// With two CPUs or more the sender has the last CPU to itself and the daemon
// the others; the sender spins for waits up to 1 ms and sleeps (timer slack
// 1 ns) for longer ones. Other load on the machine shows in the figures,
// mostly as late sends: the load average is printed at the start and end.
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <span>
#include <sstream>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "frame_builder.h"
#include "interface_db.h"
#include "library_dir.h"
#include "notifier.h"
#include "settings.h"
#include "sqlite_handles.h"
#include "vendor_db.h"
#include "watcher.h"

namespace {

namespace fb = pelorin_frames;

// Nanoseconds on the monotonic clock, or a span of them.
using Nanos = std::int64_t;
constexpr Nanos kMicrosecond = 1000;
constexpr Nanos kMillisecond = 1000 * kMicrosecond;
constexpr Nanos kSecond = 1000 * kMillisecond;

constexpr const char* kUsage =
    "usage: live_bench PELORIN PELORIN_WITHOUT_CACHE [--quick] [--only "
    "steady|latency|burst|trunk]\n";
constexpr const char* kIpCommand = "/usr/bin/ip";
constexpr const char* kCaptureInterface = "cap0";
constexpr const char* kInjectInterface = "inj0";
constexpr const char* kFloorInterface = "bench0";
// The daemon's announcement, "IP address A changed from OLD to NEW".
constexpr std::string_view kAnnouncementStart = "IP address ";
constexpr std::string_view kAnnouncementMiddle = " changed from ";
constexpr std::string_view kDropsStart = "capture dropped ";
constexpr std::string_view kExitStart = "exiting on signal ";

constexpr int kWarmHosts = 10000;
constexpr double kWarmRate = 20000;
constexpr int kWarmPasses = 3;
constexpr Nanos kWarmWait = 20 * kSecond;
constexpr int kFloorBatch = 256;  // frames per end_batch, as one capture dispatch
constexpr std::size_t kFloorSightings = 200000;
constexpr int kFloorRepetitions = 3;
constexpr std::array<double, 4> kArpRates = {1000, 10000, 50000, 200000};
constexpr std::array<double, 2> kNdRates = {10000, 50000};
// The rate of the ND/ARP ratio, the cache comparison, the old sender and the
// context-switch target.
constexpr double kCompareRate = 50000;
constexpr std::array<double, 2> kFloorCompareRates = {10000, 50000};
constexpr std::array<double, 7> kLadderRates = {300000,  400000,  600000, 800000,
                                                1000000, 1200000, 1488095};
// 64-byte frames with their 20 bytes of preamble and gap on 1 Gbit/s.
constexpr double kGigabitFrameRate = 1488095;
constexpr double kSenderShortfall = 0.95;  // achieved below this share: the sender's limit
constexpr double kBackToBack = 0;
constexpr std::size_t kBackToBackFrames = 1000000;
constexpr int kOldClump = 16;
constexpr double kSteadySeconds = 2.5;
constexpr double kQuickSteadySeconds = 1.0;
constexpr Nanos kSettle = 300 * kMillisecond;  // after the warm-up, before measuring
constexpr Nanos kTail = 250 * kMillisecond;    // after the last frame, still measured
constexpr int kLatencyHosts = 100;
constexpr int kQuickLatencyHosts = 20;
constexpr Nanos kLatencyWait = 5 * kSecond;  // for the last host's line
constexpr Nanos kIdle = 3 * kSecond;         // a fresh daemon with no traffic at all
constexpr int kBurstHosts = 65536;
constexpr double kBurstRate = 20000;
constexpr Nanos kBurstWait = 60 * kSecond;
constexpr Nanos kTrunkBurstWait = 20 * kSecond;
// The trunk phase; VLAN ids run from 1.
constexpr int kTrunkVlans = 256;
constexpr int kTrunkHostsPerVlan = 40;
constexpr int kTrunkSpreadHosts = kTrunkVlans * kTrunkHostsPerVlan;
constexpr std::array<int, 3> kMemoryVlans = {1, 100, 1000};
constexpr double kMemoryRate = 20000;
constexpr double kMemorySeconds = 3;
constexpr double kQuickMemorySeconds = 1;
constexpr long kVlanMemoryTargetKb = 256;
constexpr int kRestartVlans = 1000;
constexpr int kQuickRestartVlans = 100;
constexpr int kRestartRows = 10000;
constexpr int kRestartExpiredRows = 16;  // of kRestartRows, utime past the retention
constexpr int kRestartHostStep = 25;     // every 25th row's host is on the wire
constexpr int kRestartActiveHosts = kRestartRows / kRestartHostStep;
constexpr double kRestartRate = 20000;
constexpr Nanos kRestartChunk = 1 * kSecond;            // sent between two looks at the passes
constexpr Nanos kPassWaitPerVlan = 250 * kMillisecond;  // the longest wait for the passes
constexpr Nanos kPassPoll = 100 * kMillisecond;
// No VLAN database changed for this long: the expiry passes are over.
constexpr Nanos kPassQuiet = 1 * kSecond;
constexpr Nanos kStartWait = 10 * kSecond;
constexpr Nanos kProbeInterval = 20 * kMillisecond;
constexpr Nanos kStopWait = 10 * kSecond;
// Waits longer than this are slept (the timer slack is set to 1 ns) up to
// kSpinLast before the slot; the rest is spun.
constexpr Nanos kSleepAbove = 1 * kMillisecond;
constexpr Nanos kSpinLast = 200 * kMicrosecond;
constexpr int kPipeBytes = 1 << 20;  // thousands of lines: the reader never holds the daemon up
constexpr int kSendBufferBytes = 64 << 20;
constexpr std::size_t kDaemonLinesShown = 3;
// The daemon on a trunk: every VLAN in a database of its own.
constexpr std::array<const char*, 2> kTrunkOptions = {"-V", "all"};

// Second address byte of each group of hosts, so that no group's host is
// another's.
constexpr std::uint8_t kNetSteady = 1;
constexpr std::uint8_t kNetProbe = 9;
constexpr std::uint8_t kNetBurst = 20;
constexpr std::uint8_t kNetLatency = 30;
constexpr std::uint8_t kNetTrunkSpread = 40;
constexpr std::uint8_t kNetTrunkBurst = 41;
constexpr std::uint8_t kNetTrunkMemory = 42;
constexpr std::uint8_t kNetTrunkRestart = 43;

// What the clean-up at exit removes; only main and cleanup touch these.
std::string g_namespace;
std::string g_scratch;
pid_t g_daemon_pid = -1;
volatile sig_atomic_t g_interrupted = 0;
// Written once by pin_sender, before any thread or daemon starts.
bool g_pinned = false;
cpu_set_t g_other_cpus;

[[noreturn, gnu::format(printf, 1, 2)]] void die(const char* format, ...) {
    std::fputs("live_bench: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::exit(1);
}

[[gnu::format(printf, 1, 2)]] std::string text_of(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void check_interrupted() {
    if (g_interrupted != 0) die("interrupted");
}

Nanos now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<Nanos>(t.tv_sec) * kSecond + t.tv_nsec;
}

double seconds_of(Nanos span) { return static_cast<double>(span) / static_cast<double>(kSecond); }

Nanos process_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<Nanos>(t.tv_sec) * kSecond + t.tv_nsec;
}

// Sleeps until t on the monotonic clock, or until a signal.
void sleep_until(Nanos t) {
    const timespec until{static_cast<time_t>(t / kSecond), static_cast<long>(t % kSecond)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

void pause_for(Nanos span) {
    const Nanos until = now_ns() + span;
    while (now_ns() < until) {
        check_interrupted();
        sleep_until(until);
    }
}

// Returns at t or just after it: sleeps only while the wait is well above
// the timer slack, and spins the rest.
Nanos wait_until(Nanos t) {
    for (;;) {
        const Nanos now = now_ns();
        if (now >= t) return now;
        if (t - now > kSleepAbove) {
            check_interrupted();
            sleep_until(t - kSpinLast);
        }
    }
}

// Owns a descriptor: closed once, on every path.
class Fd {
   public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

   private:
    int fd_;
};

// The watcher announces every binding it learns on standard error; in the
// floor that is 10,000 lines, so they go to /dev/null (the write stays).
class QuietStderr {
   public:
    QuietStderr() {
        std::fflush(stderr);
        const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
        if (null.get() >= 0) dup2(null.get(), 2);
    }
    ~QuietStderr() { dup2(saved_.get(), 2); }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

   private:
    Fd saved_{fcntl(2, F_DUPFD_CLOEXEC, 3)};
};

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) die("failed: %s", command.c_str());
}

// Clean-up goes as far as it can; a failed step leaves the others to run.
void attempt(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "live_bench: %s failed\n", command.c_str());
}

void cleanup() {
    if (g_daemon_pid > 0) {
        kill(g_daemon_pid, SIGKILL);
        waitpid(g_daemon_pid, nullptr, 0);
        g_daemon_pid = -1;
    }
    if (!g_namespace.empty()) {
        // Whatever still runs in our namespace was started by us.
        attempt("ip netns pids " + g_namespace + " | xargs -r kill -9");
        attempt("ip netns del " + g_namespace);
        attempt("rm -rf /etc/netns/" + g_namespace);
    }
    if (!g_scratch.empty()) attempt("rm -rf " + g_scratch);
}

void on_signal(int) { g_interrupted = 1; }

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // SIGPIPE too: a reader of our output that goes away ends the run, and
    // the clean-up still runs.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
}

// With two CPUs or more the sender (this thread) gets the last one to
// itself, and the daemon and the reader threads run on the others, so that
// neither keeps the sender from its slots. Returns the sender's CPU, or -1.
int pin_sender() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return -1;
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) last = cpu;
    }
    cpu_set_t sender;
    CPU_ZERO(&sender);
    CPU_SET(last, &sender);
    g_other_cpus = allowed;
    CPU_CLR(last, &g_other_cpus);
    if (sched_setaffinity(0, sizeof sender, &sender) != 0) return -1;
    g_pinned = true;
    return last;
}

// For the daemon (before its exec) and the reader threads.
void move_off_sender_cpu() {
    if (g_pinned) sched_setaffinity(0, sizeof g_other_cpus, &g_other_cpus);
}

// ---- frames ----------------------------------------------------------------

enum class Traffic { kArp, kNd };

constexpr const char* traffic_name(Traffic traffic) {
    return traffic == Traffic::kArp ? "ARP" : "ND";
}

// Host i = x * 256 + y of group net: 10.net.x.y with hardware address
// 02:net:00:00:x:y, or 2001:db8:net::x:y (net in hex, the layout of
// daemon_bench) with 02:net+0x80:00:00:x:y. REQUIRES: i < 65536.
fb::Mac mac_of(std::uint8_t net, int i) {
    return {0x02, net, 0x00, 0x00, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
}

fb::Bytes arp_of(std::uint8_t net, int i) {
    return fb::arp_request(
        mac_of(net, i), {10, net, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
        {10, 0, 0, 1});
}

// A Solicitation carrying the source link-layer address, as daemon_bench's
// nd_of builds it.
fb::Bytes nd_of(std::uint8_t net, int i) {
    fb::Mac mac = mac_of(net, i);
    mac[1] = static_cast<std::uint8_t>(net | 0x80);
    fb::Nd nd;
    nd.eth_source = mac;
    nd.source = fb::ipv6("2001:db8::");
    nd.source[5] = net;
    nd.source[14] = static_cast<std::uint8_t>(i >> 8);
    nd.source[15] = static_cast<std::uint8_t>(i);
    nd.type = fb::kNeighborSolicit;
    nd.destination = fb::ipv6("ff02::1:ff00:1");
    nd.target = fb::ipv6("2001:db8::1");
    nd.options = {fb::link_option(fb::kOptionSourceLinkAddress, mac)};
    return fb::nd_frame(nd);
}

std::vector<fb::Bytes> hosts_of(Traffic traffic, std::uint8_t net, int count) {
    std::vector<fb::Bytes> frames;
    frames.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        frames.push_back(traffic == Traffic::kArp ? arp_of(net, i) : nd_of(net, i));
    return frames;
}

// Host i of group net (as arp_of) under an 802.1Q tag with VLAN id vid.
fb::Bytes tagged_arp_of(std::uint8_t net, int i, int vid) {
    return fb::tagged(arp_of(net, i), {{fb::kTagQ, static_cast<std::uint16_t>(vid)}});
}

// count hosts of group net, host i in VLAN 1 + i % vlans: consecutive frames
// belong to different VLANs.
std::vector<fb::Bytes> trunk_hosts_of(std::uint8_t net, int count, int vlans) {
    std::vector<fb::Bytes> frames;
    frames.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) frames.push_back(tagged_arp_of(net, i, 1 + i % vlans));
    return frames;
}

// The frames of trunk_hosts_of reordered so that each VLAN's come together,
// as the hosts are learned: a VLAN's new bindings then share a commit.
std::vector<fb::Bytes> grouped_by_vlan(const std::vector<fb::Bytes>& frames, int vlans) {
    std::vector<fb::Bytes> grouped;
    grouped.reserve(frames.size());
    for (std::size_t first = 0; first < static_cast<std::size_t>(vlans); ++first) {
        for (std::size_t i = first; i < frames.size(); i += static_cast<std::size_t>(vlans))
            grouped.push_back(frames[i]);
    }
    return grouped;
}

// ---- the namespace and the sender ------------------------------------------

void make_namespace() {
    g_namespace = "pelb" + std::to_string(getpid());
    const std::string& ns = g_namespace;
    run("ip netns add " + ns);
    run("mkdir -p /etc/netns/" + ns + " && echo 'nameserver 127.0.0.1' > /etc/netns/" + ns +
        "/resolv.conf");
    run("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
    run("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.default.disable_ipv6=1");
    run("ip -n " + ns + " link add " + kCaptureInterface + " type veth peer name " +
        kInjectInterface);
    run("ip -n " + ns + " link set " + kCaptureInterface + " up && ip -n " + ns + " link set " +
        kInjectInterface + " up");
}

// A raw socket on inj0, made inside the namespace; this thread returns home.
Fd inject_socket() {
    const Fd home(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    const Fd target(open(("/run/netns/" + g_namespace).c_str(), O_RDONLY | O_CLOEXEC));
    if (home.get() < 0 || target.get() < 0) die("namespace files: %s", std::strerror(errno));
    if (setns(target.get(), CLONE_NEWNET) != 0) die("setns: %s", std::strerror(errno));
    Fd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(kInjectInterface));
    const bool bound = fd.get() >= 0 && bind(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                                             sizeof address) == 0;
    const int error = errno;
    // A deep send queue: the sender must not be the bottleneck.
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &kSendBufferBytes, sizeof kSendBufferBytes);
    if (setns(home.get(), CLONE_NEWNET) != 0) die("setns back: %s", std::strerror(errno));
    if (!bound) die("inject socket on %s: %s", kInjectInterface, std::strerror(error));
    return fd;
}

void send_frame(int fd, const fb::Bytes& frame) {
    while (send(fd, frame.data(), frame.size(), 0) < 0) {
        if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR)
            die("send: %s", std::strerror(errno));
    }
}

// Frames handed to the kernel in one call: a single send when one slot has
// come, up to kMaxGroup whose slots have all passed when the sender is
// behind (one call costs more than a slot at the highest rates).
class SendGroup {
   public:
    void add(const fb::Bytes& frame) {
        iovec& v = vectors_[size_];
        v.iov_base = const_cast<std::uint8_t*>(frame.data());
        v.iov_len = frame.size();
        messages_[size_] = {};
        messages_[size_].msg_hdr.msg_iov = &v;
        messages_[size_].msg_hdr.msg_iovlen = 1;
        ++size_;
    }
    bool full() const { return size_ == kMaxGroup; }

    // REQUIRES: at least one frame added.
    void send_all(int fd) {
        std::size_t done = 0;
        while (done < size_) {
            const int n =
                sendmmsg(fd, messages_.data() + done, static_cast<unsigned>(size_ - done), 0);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
                die("sendmmsg: %s", std::strerror(errno));
            }
        }
        size_ = 0;
    }

    static constexpr std::size_t kMaxGroup = 64;

   private:
    std::array<iovec, kMaxGroup> vectors_{};
    std::array<mmsghdr, kMaxGroup> messages_{};
    std::size_t size_ = 0;
};

struct SendStats {
    std::size_t frames = 0;
    std::size_t calls = 0;  // sendmmsg calls
    double seconds = 0;     // from the first slot to the end of the last send
    Nanos late_p99 = 0;     // of each frame's send after its slot
    Nanos end = 0;          // when the last send returned
    double achieved() const { return seconds > 0 ? static_cast<double>(frames) / seconds : 0; }
    double per_call() const {
        return calls > 0 ? static_cast<double>(frames) / static_cast<double>(calls) : 0;
    }
};

// Nearest rank. REQUIRES: values is not empty.
Nanos percentile(std::vector<Nanos> values, double share) {
    const auto rank =
        static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
    const std::size_t index = std::clamp<std::size_t>(rank, 1, values.size()) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

// Sends count frames, frames[(first + i) % frames.size()] in slot i at
// start + i/rate: waits for the slot, then sends its frame together with
// those of any later slots that have already come (up to
// SendGroup::kMaxGroup). Rate kBackToBack sends groups of kMaxGroup back to
// back. With clump > 1 the slots are those of the old sender: clump frames
// at once, every clump/rate.
SendStats send_paced(int fd, const std::vector<fb::Bytes>& frames, std::size_t count, double rate,
                     int clump = 1, std::size_t first = 0) {
    const auto due = [&](std::size_t i, Nanos start) {
        const std::size_t slot = i - i % static_cast<std::size_t>(clump);
        return start +
               static_cast<Nanos>(static_cast<double>(slot) * static_cast<double>(kSecond) / rate);
    };
    std::vector<Nanos> late;
    late.reserve(rate == kBackToBack ? 0 : count);
    SendStats stats;
    SendGroup group;
    const Nanos start = now_ns();
    for (std::size_t i = 0; i < count;) {
        Nanos now = 0;
        if (rate != kBackToBack) {
            now = wait_until(due(i, start));
            late.push_back(now - due(i, start));
        }
        group.add(frames[(first + i) % frames.size()]);
        for (++i; i < count && !group.full(); ++i) {
            if (rate != kBackToBack) {
                if (due(i, start) > now) break;
                late.push_back(now - due(i, start));
            }
            group.add(frames[(first + i) % frames.size()]);
        }
        group.send_all(fd);
        ++stats.calls;
    }
    stats.end = now_ns();
    stats.frames = count;
    stats.seconds = seconds_of(stats.end - start);
    if (!late.empty()) stats.late_p99 = percentile(std::move(late), 0.99);
    return stats;
}

// ---- the daemon ------------------------------------------------------------

struct Drops {
    long packets = 0;
    long by_interface = 0;
};

struct Announcement {
    Nanos at;
    std::string address;
};

// The daemon's standard error as a reader thread sees it: each line stamped
// on arrival. Shared between that thread and main, under the mutex.
class DaemonLog {
   public:
    void add(std::string_view line, Nanos at) {
        const std::lock_guard lock(mutex_);
        const std::size_t middle = line.find(kAnnouncementMiddle);
        if (line.starts_with(kAnnouncementStart) && middle != std::string_view::npos) {
            const std::size_t begin = kAnnouncementStart.size();
            announcements_.push_back({at, std::string(line.substr(begin, middle - begin))});
        } else {
            other_.emplace_back(line);
        }
        changed_.notify_all();
    }

    void close() {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    std::size_t count() const {
        const std::lock_guard lock(mutex_);
        return announcements_.size();
    }

    bool closed() const {
        const std::lock_guard lock(mutex_);
        return closed_;
    }

    // Waits until count announcements have arrived (true), the timeout has
    // passed or the daemon's standard error closed (false).
    bool wait_for(std::size_t count, Nanos timeout) {
        const Nanos until = now_ns() + timeout;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (announcements_.size() >= count) return true;
                if (closed_ || now_ns() >= until) return false;
                changed_.wait_for(lock, std::chrono::milliseconds(20));
            }
            check_interrupted();
        }
    }

    std::vector<Announcement> announcements() const {
        const std::lock_guard lock(mutex_);
        return announcements_;
    }

    std::vector<std::string> other_lines() const {
        const std::lock_guard lock(mutex_);
        return other_;
    }

   private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Announcement> announcements_;
    std::vector<std::string> other_;
    bool closed_ = false;
};

void read_lines(int fd, DaemonLog* log) {
    move_off_sender_cpu();
    char buffer[65536];
    std::string partial;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const Nanos at = now_ns();
        partial.append(buffer, static_cast<std::size_t>(n));
        std::size_t begin = 0;
        for (std::size_t end = partial.find('\n'); end != std::string::npos;
             end = partial.find('\n', begin)) {
            log->add(std::string_view(partial).substr(begin, end - begin), at);
            begin = end + 1;
        }
        partial.erase(0, begin);
    }
    if (!partial.empty()) log->add(partial, now_ns());
    log->close();
}

Drops drops_of(const DaemonLog& log) {
    Drops drops;
    for (const std::string& line : log.other_lines()) {
        if (line.starts_with(kDropsStart))
            std::sscanf(line.c_str(), "capture dropped %ld packets (%ld by the interface)",
                        &drops.packets, &drops.by_interface);
    }
    return drops;
}

// pelorin -f -L library [OPTIONS] cap0 inside the namespace; standard
// output and error go to the reader thread. `ip netns exec` execs the
// daemon, so the child's pid is the daemon's.
class Daemon {
   public:
    Daemon(const char* program, const std::string& library,
           std::span<const char* const> options = {}) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) die("pipe: %s", std::strerror(errno));
        Fd read_end(ends[0]);
        const Fd write_end(ends[1]);
        fcntl(write_end.get(), F_SETPIPE_SZ, kPipeBytes);
        std::vector<const char*> argv = {kIpCommand, "netns", "exec", g_namespace.c_str(),
                                         program,    "-f",    "-L",   library.c_str()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(kCaptureInterface);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) die("fork: %s", std::strerror(errno));
        if (pid_ == 0) {
            move_off_sender_cpu();
            dup2(write_end.get(), 1);
            dup2(write_end.get(), 2);
            execv(kIpCommand, const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        g_daemon_pid = pid_;
        out_ = std::move(read_end);
        reader_ = std::thread(read_lines, out_.get(), &log_);
    }
    ~Daemon() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            g_daemon_pid = -1;
        }
        if (reader_.joinable()) reader_.join();
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }
    const DaemonLog& log() const { return log_; }
    DaemonLog& log() { return log_; }

    // SIGTERM (SIGKILL if it does not end in time), then the last lines.
    Drops stop() {
        kill(pid_, SIGTERM);
        const Nanos until = now_ns() + kStopWait;
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (now_ns() > until) {
                std::printf("  (the daemon ignored SIGTERM for %.0f s: killed)\n",
                            seconds_of(kStopWait));
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            pause_for(5 * kMillisecond);
        }
        pid_ = -1;
        g_daemon_pid = -1;
        reader_.join();
        return drops_of(log_);
    }

   private:
    pid_t pid_ = -1;
    Fd out_;
    DaemonLog log_;
    std::thread reader_;
};

// Lines other than announcements and the drops report: worth a look.
void show_daemon_lines(const DaemonLog& log) {
    std::size_t shown = 0;
    std::size_t other = 0;
    for (const std::string& line : log.other_lines()) {
        if (line.starts_with(kDropsStart) || line.starts_with(kExitStart)) continue;
        if (shown++ < kDaemonLinesShown) std::printf("    daemon: %s\n", line.c_str());
        ++other;
    }
    if (other > kDaemonLinesShown)
        std::printf("    daemon: ... %zu more lines\n", other - kDaemonLinesShown);
}

// The figures read /proc/PID of the forked child: it must be the daemon
// itself, not a process that started it.
void check_image(const Daemon& daemon, const char* program) {
    std::error_code error;
    const auto image =
        std::filesystem::read_symlink("/proc/" + std::to_string(daemon.pid()) + "/exe", error);
    const auto expected = std::filesystem::canonical(program, error);
    if (image != expected)
        die("process %d runs %s, not %s", static_cast<int>(daemon.pid()), image.c_str(),
            expected.c_str());
}

// One probe frame every 20 ms until the daemon announces it: from then on
// it captures.
void wait_until_capturing(Daemon& daemon, int inject) {
    const fb::Bytes probe = arp_of(kNetProbe, 1);
    const Nanos until = now_ns() + kStartWait;
    while (daemon.log().count() == 0) {
        if (daemon.log().closed() || now_ns() > until) {
            show_daemon_lines(daemon.log());
            die("the daemon did not start capturing");
        }
        send_frame(inject, probe);
        daemon.log().wait_for(1, kProbeInterval);
    }
}

// Sends the hosts (again, up to kWarmPasses times) until each is announced;
// returns how many were.
std::size_t warm(Daemon& daemon, int inject, const std::vector<fb::Bytes>& hosts) {
    const std::size_t before = daemon.log().count();
    for (int pass = 0; pass < kWarmPasses; ++pass) {
        send_paced(inject, hosts, hosts.size(), kWarmRate);
        if (daemon.log().wait_for(before + hosts.size(), kWarmWait)) break;
    }
    return daemon.log().count() - before;
}

struct DaemonSample {
    Nanos cpu = 0;
    long voluntary = 0;
    long involuntary = 0;
    long received = 0;  // frames cap0 received

    DaemonSample operator-(const DaemonSample& o) const {
        return {cpu - o.cpu, voluntary - o.voluntary, involuntary - o.involuntary,
                received - o.received};
    }
};

// The number after "key" at the start of a line of a /proc status file.
long status_field(const std::string& text, std::string_view key) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key)) return std::stol(line.substr(key.size()));
    }
    return 0;
}

// The rx packets of cap0 in the namespace the process lives in.
long received_frames(const std::string& proc) {
    std::istringstream in(read_text(proc + "/net/dev"));
    const std::string name = std::string(kCaptureInterface) + ":";
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string first;
        long bytes = 0, packets = 0;
        if (fields >> first && first == name && fields >> bytes >> packets) return packets;
    }
    return 0;
}

DaemonSample sample(pid_t pid) {
    DaemonSample s;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error)) {
        Nanos cpu = 0;
        std::istringstream(read_text(task.path() / "schedstat")) >> cpu;
        s.cpu += cpu;
        const std::string status = read_text(task.path() / "status");
        s.voluntary += status_field(status, "voluntary_ctxt_switches:");
        s.involuntary += status_field(status, "nonvoluntary_ctxt_switches:");
    }
    s.received = received_frames(proc);
    return s;
}

long peak_rss_kb(pid_t pid) {
    return status_field(read_text("/proc/" + std::to_string(pid) + "/status"), "VmHWM:");
}

// A library directory of its own with an empty vendor database.
std::string fresh_library(const std::string& tag) {
    static int serial = 0;
    const std::string library = g_scratch + "/" + std::to_string(++serial) + "-" + tag;
    std::error_code error;
    if (!std::filesystem::create_directory(library, error))
        die("mkdir %s: %s", library.c_str(), error.message().c_str());
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open((library + "/ma_db.sqlite").c_str(), &raw);
    const Db db(raw);
    if (opened != SQLITE_OK ||
        sqlite3_exec(db.get(), kVendorSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
        die("vendor database in %s: %s", library.c_str(), sqlite3_errmsg(db.get()));
    return library;
}

// The paths of the databases of VLANs 1 to vlans in a library directory.
std::vector<std::string> vlan_databases_of(const std::string& library, int vlans) {
    std::vector<std::string> databases;
    for (int vid = 1; vid <= vlans; ++vid)
        databases.push_back(
            text_of("%s/%s.%d%s", library.c_str(), kCaptureInterface, vid, kDatabaseSuffix));
    return databases;
}

Nanos modified_at(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return -1;
    return static_cast<Nanos>(status.st_mtim.tv_sec) * kSecond + status.st_mtim.tv_nsec;
}

// Waits until none of the files has changed for kPassQuiet, at most
// kPassQuiet + kPassWaitPerVlan per file; returns how long after the start
// the last change came, or nullopt when it gave up. Once a trunk's hosts
// are learned, only the expiry passes that each VLAN's first frame queued
// change its database.
std::optional<Nanos> wait_until_unchanged(const std::vector<std::string>& paths) {
    const Nanos start = now_ns();
    const Nanos give_up = start + kPassQuiet + static_cast<Nanos>(paths.size()) * kPassWaitPerVlan;
    std::vector<Nanos> modified(paths.size(), -1);
    Nanos last_change = start;
    for (;;) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const Nanos at = modified_at(paths[i]);
            if (at != modified[i]) last_change = now_ns();
            modified[i] = at;
        }
        if (now_ns() - last_change >= kPassQuiet) return last_change - start;
        if (now_ns() >= give_up) return std::nullopt;
        pause_for(kPassPoll);
    }
}

// ---- the floor -------------------------------------------------------------

// Hands count frames (the hosts' frames in turn) to the watcher in batches
// of kFloorBatch, each stamped with the time it is handed over and ended
// with end_batch, as the capture loop does.
void feed(Watcher& watcher, const std::vector<fb::Bytes>& frames, std::size_t count) {
    pcap_pkthdr header{};
    for (std::size_t i = 0; i < count; ++i) {
        if (i % kFloorBatch == 0) gettimeofday(&header.ts, nullptr);
        const fb::Bytes& frame = frames[i % frames.size()];
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        watcher.handle_frame(&header, frame.data());
        if ((i + 1) % kFloorBatch == 0 || i + 1 == count) watcher.end_batch();
    }
}

// Frames per CPU-second of repeated sightings of kWarmHosts learned hosts,
// the median of the repetitions. The watcher is set up as the daemon sets
// up its own: the interface database and the vendor database of a library
// directory, and a notifier without a command.
double floor_rate(Traffic traffic, int repetitions) {
    const std::string library = fresh_library(std::string("floor-") + traffic_name(traffic));
    DaemonSettings settings;
    settings.library = LibraryDir(library.c_str());
    settings.interface_name = kFloorInterface;
    VendorDb vendor = VendorDb::attach(settings.library);
    Notifier notifier(settings.notify_command, &vendor);
    Watcher watcher(settings, kFloorInterface,
                    InterfaceDb(settings.library, kFloorInterface, OpenMode::write), notifier);
    const std::vector<fb::Bytes> hosts = hosts_of(traffic, kNetSteady, kWarmHosts);
    std::vector<double> rates;
    {
        const QuietStderr quiet;
        feed(watcher, hosts, hosts.size());
        for (int r = 0; r < repetitions; ++r) {
            const Nanos before = process_cpu_ns();
            feed(watcher, hosts, kFloorSightings);
            rates.push_back(static_cast<double>(kFloorSightings) /
                            seconds_of(process_cpu_ns() - before));
        }
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

// ---- steady traffic --------------------------------------------------------

struct Options {
    const char* pelorin = nullptr;
    const char* without_cache = nullptr;
    bool quick = false;
    std::string only;  // empty: every phase
};

// The plain rows run the daemon under test with the evenly spaced sender;
// the others are there for comparison only.
enum class Variant { kPlain, kWithoutCache, kOldSender };

struct SteadyPlan {
    Traffic traffic;
    Variant variant;
    double rate;  // kBackToBack: as fast as the sender goes
    std::size_t frames;

    std::string label() const {
        std::string text = traffic_name(traffic);
        if (variant == Variant::kWithoutCache) text += " without cache";
        if (variant == Variant::kOldSender) text += " old sender, clumps of 16";
        return text;
    }
    int clump() const { return variant == Variant::kOldSender ? kOldClump : 1; }
    const char* program(const Options& options) const {
        return variant == Variant::kWithoutCache ? options.without_cache : options.pelorin;
    }
};

struct SteadyRow {
    SteadyPlan plan;
    std::string label;      // the row's name in the table
    std::string note;       // printed under the row
    std::size_t hosts = 0;  // learned before the measurement
    std::size_t warmed = 0;
    SendStats sent;
    DaemonSample used;
    Drops drops;

    long lost() const { return static_cast<long>(sent.frames) - used.received; }
    double cpu_seconds() const { return seconds_of(used.cpu); }
    double frames_per_cpu_second() const {
        return used.cpu > 0 ? static_cast<double>(sent.frames) / cpu_seconds() : 0;
    }
    double per_frame(long count) const {
        return static_cast<double>(count) / static_cast<double>(sent.frames);
    }
    bool clean() const { return drops.packets == 0 && drops.by_interface == 0 && lost() <= 0; }
};

// What a warm daemon is fed: the hosts in the order they are sighted, the
// same hosts in the order they are learned (empty: the same order), and on
// a trunk the VLANs they are spread over.
struct Feed {
    std::span<const char* const> daemon_options;
    std::vector<fb::Bytes> hosts;
    std::vector<fb::Bytes> learn_order;
    int vlans = 0;
};

// A fresh daemon of program that has learned the hosts of the feed, then
// plan.frames sightings of them at plan.rate. On a trunk the first expiry
// pass of every VLAN comes first, and a round of sightings after it: each
// pass empties its VLAN's in-memory bindings, which the next sighting of
// each host fills again from the database.
SteadyRow run_warm(int inject, const SteadyPlan& plan, std::string label, const char* program,
                   const Feed& feed) {
    SteadyRow row;
    row.plan = plan;
    row.label = std::move(label);
    row.hosts = feed.hosts.size();
    const std::string library = fresh_library("steady");
    Daemon daemon(program, library, feed.daemon_options);
    wait_until_capturing(daemon, inject);
    check_image(daemon, program);
    row.warmed = warm(daemon, inject, feed.learn_order.empty() ? feed.hosts : feed.learn_order);
    if (feed.vlans > 0) {
        const std::optional<Nanos> waited =
            wait_until_unchanged(vlan_databases_of(library, feed.vlans));
        row.note = waited
                       ? text_of(
                             "(the VLANs' first expiry passes ended %.1f s after the "
                             "hosts were learned)",
                             seconds_of(*waited))
                       : std::string("(the VLANs' first expiry passes went on: measured anyway)");
        send_paced(inject, feed.hosts, feed.hosts.size(), kWarmRate);
    }
    pause_for(kSettle);
    const DaemonSample before = sample(daemon.pid());
    row.sent = send_paced(inject, feed.hosts, plan.frames, plan.rate, plan.clump());
    pause_for(kTail);
    row.used = sample(daemon.pid()) - before;
    row.drops = daemon.stop();
    return row;
}

SteadyRow run_steady(const Options& options, int inject, const SteadyPlan& plan) {
    return run_warm(inject, plan, plan.label(), plan.program(options),
                    {{}, hosts_of(plan.traffic, kNetSteady, kWarmHosts), {}, 0});
}

void print_steady_header() {
    std::printf("%-29s %7s %8s %8s %6s %7s %6s %8s %7s %7s %6s %6s %7s %5s\n", "traffic", "rate/s",
                "frames", "achieved", "frames", "late", "CPU", "frames/", "vol/", "invol/", "vol/",
                "invol/", "drops", "lost");
    std::printf("%-29s %7s %8s %8s %6s %7s %6s %8s %7s %7s %6s %6s %7s %5s\n", "", "", "",
                "frames/s", "/call", "p99 us", "s", "CPU-s", "frame", "frame", "100", "100", "(if)",
                "");
}

void print_steady_row(const SteadyRow& row) {
    char rate[16];
    if (row.plan.rate == kBackToBack) {
        std::snprintf(rate, sizeof rate, "max");
    } else {
        std::snprintf(rate, sizeof rate, "%.0f", row.plan.rate);
    }
    char late[16];
    if (row.plan.rate == kBackToBack) {
        std::snprintf(late, sizeof late, "-");
    } else {
        std::snprintf(late, sizeof late, "%.1f",
                      static_cast<double>(row.sent.late_p99) / kMicrosecond);
    }
    char drops[24];
    std::snprintf(drops, sizeof drops, "%ld(%ld)", row.drops.packets, row.drops.by_interface);
    std::printf("%-29s %7s %8zu %8.0f %6.2f %7s %6.3f %8.0f %7.4f %7.4f %6.2f %6.2f %7s %5ld\n",
                row.label.c_str(), rate, row.sent.frames, row.sent.achieved(), row.sent.per_call(),
                late, row.cpu_seconds(), row.frames_per_cpu_second(),
                row.per_frame(row.used.voluntary), row.per_frame(row.used.involuntary),
                100 * row.per_frame(row.used.voluntary), 100 * row.per_frame(row.used.involuntary),
                drops, row.lost());
    if (row.warmed != row.hosts)
        std::printf("    (warm-up: %zu of %zu hosts announced)\n", row.warmed, row.hosts);
    if (!row.note.empty()) std::printf("    %s\n", row.note.c_str());
    std::fflush(stdout);
}

struct LatencyResult {
    int hosts = 0;
    std::vector<Nanos> delays;  // of the hosts that were announced
    DaemonSample idle;          // over kIdle without a frame, before the first send
    DaemonSample used;          // from the first send to the last line
    double seconds = 0;
    Drops drops;
};

struct BurstResult {
    int hosts = 0;
    int vlans = 0;           // the hosts are spread over; 0: untagged
    int vlan_databases = 0;  // made by the daemon
    std::size_t learned = 0;
    SendStats sent;
    // Last announcement after the last frame sent; 0 with none at all.
    Nanos last_after_sent = 0;
    bool complete = false;
    long peak_rss_kb = 0;
    long lost = 0;
    Drops drops;
};

struct MemoryRow {
    int vlans = 0;
    std::size_t learned = 0;
    SendStats sent;  // the sightings after the learning
    long peak_rss_kb = 0;
    long descriptors = 0;
    int vlan_databases = 0;
    Drops drops;
    long lost = 0;  // of the sightings
};

struct RestartResult {
    int vlans = 0;
    double prepare_seconds = 0;
    SendStats sent;  // late_p99: the worst of the chunks'
    DaemonSample used;
    Drops drops;
    long lost = 0;
    std::size_t announced = 0;  // new bindings; the hosts are all known
    // After the first frame, when each database file first changed (its
    // expiry pass), in order; the others never changed.
    std::vector<Nanos> passes;
    Nanos longest_gap = 0;  // between two passes seen one after the other
    int expired_gone = 0;   // databases without rows past the retention, afterwards
    long peak_rss_kb = 0;
    long descriptors = 0;
};

struct TrunkResults {
    SteadyRow spread;  // kTrunkVlans VLANs
    SteadyRow one;     // the same hosts in one VLAN
    BurstResult burst;
    std::vector<MemoryRow> memory;
    RestartResult restart;
};

struct Results {
    std::optional<double> in_process[2];  // frames per CPU-second, by Traffic
    std::vector<SteadyRow> rows;
    std::string ladder_end;  // why the rising rates stopped
    std::optional<LatencyResult> latency;
    std::optional<BurstResult> burst;
    std::optional<TrunkResults> trunk;

    std::optional<double>& in_process_of(Traffic traffic) {
        return in_process[traffic == Traffic::kArp ? 0 : 1];
    }
    const std::optional<double>& in_process_of(Traffic traffic) const {
        return in_process[traffic == Traffic::kArp ? 0 : 1];
    }
};

// The plain row of traffic at rate.
const SteadyRow* find_row(const Results& results, Traffic traffic, double rate) {
    for (const SteadyRow& row : results.rows) {
        if (row.plan.traffic == traffic && row.plan.rate == rate &&
            row.plan.variant == Variant::kPlain)
            return &row;
    }
    return nullptr;
}

const SteadyRow& steady_row(const Options& options, int inject, Results& results,
                            const SteadyPlan& plan) {
    results.rows.push_back(run_steady(options, inject, plan));
    print_steady_row(results.rows.back());
    return results.rows.back();
}

std::size_t frames_for(double rate, const Options& options) {
    if (rate == kBackToBack) return options.quick ? kBackToBackFrames / 2 : kBackToBackFrames;
    return static_cast<std::size_t>(rate * (options.quick ? kQuickSteadySeconds : kSteadySeconds));
}

void run_floor(const Options& options, Results& results) {
    const int repetitions = options.quick ? 1 : kFloorRepetitions;
    std::printf("\n== Floor: the watcher's frame handler in this process\n");
    for (Traffic traffic : {Traffic::kArp, Traffic::kNd}) {
        const double rate = floor_rate(traffic, repetitions);
        results.in_process_of(traffic) = rate;
        std::printf(
            "%-3s %d warm hosts, %zu sightings in batches of %d (median of %d): %.0f frames per "
            "CPU-second, %.3f us per frame\n",
            traffic_name(traffic), kWarmHosts, kFloorSightings, kFloorBatch, repetitions, rate,
            1e6 / rate);
    }
    std::fflush(stdout);
}

// ARP at rising rates past the last steady one, until the capture drops or
// loses a frame, or the sender cannot keep the rate; then back to back.
void run_ladder(const Options& options, int inject, Results& results) {
    results.ladder_end = "every rate of the ladder ran without drops";
    for (double rate : kLadderRates) {
        const SteadyRow& row =
            steady_row(options, inject, results,
                       {Traffic::kArp, Variant::kPlain, rate, frames_for(rate, options)});
        char why[128];
        if (!row.clean()) {
            std::snprintf(why, sizeof why, "the capture dropped or lost frames at %.0f/s", rate);
            results.ladder_end = why;
            break;
        }
        if (row.sent.achieved() < kSenderShortfall * rate) {
            std::snprintf(why, sizeof why, "the sender reached %.0f of %.0f/s", row.sent.achieved(),
                          rate);
            results.ladder_end = why;
            break;
        }
    }
    steady_row(options, inject, results,
               {Traffic::kArp, Variant::kPlain, kBackToBack, frames_for(kBackToBack, options)});
}

void print_steady_ratios(const Results& results) {
    std::printf("\nRatios:\n");
    const SteadyRow* arp = find_row(results, Traffic::kArp, kCompareRate);
    const SteadyRow* nd = find_row(results, Traffic::kNd, kCompareRate);
    if (arp != nullptr && nd != nullptr)
        std::printf("  ND / ARP daemon CPU per frame at %.0f/s: %.3f  [<= 1.2]\n", kCompareRate,
                    arp->frames_per_cpu_second() / nd->frames_per_cpu_second());
    const std::optional<double>& arp_in_process = results.in_process_of(Traffic::kArp);
    const std::optional<double>& nd_in_process = results.in_process_of(Traffic::kNd);
    if (arp_in_process && nd_in_process)
        std::printf("  ND / ARP CPU per frame in process: %.3f  (for reference)\n",
                    *arp_in_process / *nd_in_process);
    for (Traffic traffic : {Traffic::kArp, Traffic::kNd}) {
        const std::optional<double>& in_process = results.in_process_of(traffic);
        for (double rate : kFloorCompareRates) {
            const SteadyRow* row = find_row(results, traffic, rate);
            if (row == nullptr || !in_process) continue;
            std::printf(
                "  %-3s live / in-process frames per CPU-second at %.0f/s: %.3f  [>= 0.8]\n",
                traffic_name(traffic), rate, row->frames_per_cpu_second() / *in_process);
        }
    }
}

// The plain ARP row with the highest achieved rate and neither drops nor
// lost frames.
const SteadyRow* top_speed(const Results& results) {
    const SteadyRow* best = nullptr;
    for (const SteadyRow& row : results.rows) {
        if (row.plan.traffic != Traffic::kArp || row.plan.variant != Variant::kPlain ||
            !row.clean())
            continue;
        if (best == nullptr || row.sent.achieved() > best->sent.achieved()) best = &row;
    }
    return best;
}

void print_top_speed(const Results& results) {
    const SteadyRow* top = top_speed(results);
    std::printf("\nTop speed (%s):\n", results.ladder_end.c_str());
    if (top == nullptr) {
        std::printf("  every rate dropped frames\n");
        return;
    }
    std::printf(
        "  highest rate without drops: %.0f frames/s achieved (%s), the daemon at %.0f frames per "
        "CPU-second = %.3f x the %.0f minimum-size frames/s of one gigabit link\n",
        top->sent.achieved(), top->plan.rate == kBackToBack ? "back to back" : "paced",
        top->frames_per_cpu_second(), top->frames_per_cpu_second() / kGigabitFrameRate,
        kGigabitFrameRate);
}

void run_steady_phase(const Options& options, int inject, Results& results) {
    run_floor(options, results);
    std::printf(
        "\n== Steady: a warm daemon (%d hosts learned), repeated sightings, evenly spaced; %.1f s "
        "per rate\n",
        kWarmHosts, options.quick ? kQuickSteadySeconds : kSteadySeconds);
    print_steady_header();
    for (double rate : kArpRates)
        steady_row(options, inject, results,
                   {Traffic::kArp, Variant::kPlain, rate, frames_for(rate, options)});
    for (double rate : kNdRates)
        steady_row(options, inject, results,
                   {Traffic::kNd, Variant::kPlain, rate, frames_for(rate, options)});
    for (Variant variant : {Variant::kWithoutCache, Variant::kOldSender})
        steady_row(options, inject, results,
                   {Traffic::kArp, variant, kCompareRate, frames_for(kCompareRate, options)});
    run_ladder(options, inject, results);
    print_steady_ratios(results);
    print_top_speed(results);
}

// ---- latency on a quiet segment ----------------------------------------------

// Slot i: i seconds plus the fractional part of i times the golden ratio,
// so that the sends meet every phase of any periodic timer of the daemon
// (1 frame/s on average, gaps of 0.62 or 1.62 s).
Nanos latency_slot(int i) {
    constexpr double kGoldenFraction = 0.6180339887498949;
    const double offset = std::fmod(i * kGoldenFraction, 1.0);
    return static_cast<Nanos>((i + offset) * static_cast<double>(kSecond));
}

// The address arp_of(net, i) announces.
std::string ipv4_text_of(std::uint8_t net, int i) {
    return text_of("10.%d.%d.%d", net, (i >> 8) & 0xff, i & 0xff);
}

LatencyResult run_latency(const Options& options, int inject) {
    LatencyResult result;
    result.hosts = options.quick ? kQuickLatencyHosts : kLatencyHosts;
    Daemon daemon(options.pelorin, fresh_library("latency"));
    wait_until_capturing(daemon, inject);
    check_image(daemon, options.pelorin);
    pause_for(kSettle);
    const DaemonSample idle_start = sample(daemon.pid());
    pause_for(kIdle);
    result.idle = sample(daemon.pid()) - idle_start;
    const std::vector<fb::Bytes> hosts = hosts_of(Traffic::kArp, kNetLatency, result.hosts);
    std::vector<Nanos> sent_at;
    const DaemonSample before = sample(daemon.pid());
    const Nanos start = now_ns() + kMillisecond;
    for (int i = 0; i < result.hosts; ++i) {
        sent_at.push_back(wait_until(start + latency_slot(i)));
        send_frame(inject, hosts[static_cast<std::size_t>(i)]);
    }
    daemon.log().wait_for(1 + static_cast<std::size_t>(result.hosts), kLatencyWait);
    result.used = sample(daemon.pid()) - before;
    result.seconds = seconds_of(now_ns() - start);
    std::unordered_map<std::string, Nanos> arrived;
    for (const Announcement& a : daemon.log().announcements()) arrived.emplace(a.address, a.at);
    for (int i = 0; i < result.hosts; ++i) {
        const auto found = arrived.find(ipv4_text_of(kNetLatency, i));
        if (found != arrived.end())
            result.delays.push_back(found->second - sent_at[static_cast<std::size_t>(i)]);
    }
    result.drops = daemon.stop();
    show_daemon_lines(daemon.log());
    return result;
}

void print_latency(const LatencyResult& r) {
    std::printf(
        "\n== Latency on a quiet segment: %d new hosts at 1 frame/s (on average) into a fresh "
        "daemon\n",
        r.hosts);
    const double idle_seconds = seconds_of(kIdle);
    std::printf(
        "  the daemon without traffic (%.0f s): %.1f voluntary context switches per second, %.3f "
        "ms CPU per second\n",
        idle_seconds, static_cast<double>(r.idle.voluntary) / idle_seconds,
        seconds_of(r.idle.cpu) * 1000 / idle_seconds);
    std::printf(
        "  the daemon over the %.0f s of sends: %.1f voluntary context switches per second, %.3f "
        "ms CPU per second\n",
        r.seconds, static_cast<double>(r.used.voluntary) / r.seconds,
        seconds_of(r.used.cpu) * 1000 / r.seconds);
    if (r.delays.empty()) {
        std::printf("  no host was announced\n");
        return;
    }
    const auto ms = [](Nanos span) { return static_cast<double>(span) / kMillisecond; };
    std::printf(
        "  %zu of %d announced; send to announcement: p50 %.2f ms, p99 %.2f ms [<= 100 ms], max "
        "%.2f ms, min %.2f ms; drops %ld (%ld by the interface)\n",
        r.delays.size(), r.hosts, ms(percentile(r.delays, 0.5)), ms(percentile(r.delays, 0.99)),
        ms(*std::max_element(r.delays.begin(), r.delays.end())),
        ms(*std::min_element(r.delays.begin(), r.delays.end())), r.drops.packets,
        r.drops.by_interface);
    std::printf("  every delay in ms, in order of sending:");
    for (std::size_t i = 0; i < r.delays.size(); ++i)
        std::printf("%s%.1f", i % 20 == 0 ? "\n    " : " ", ms(r.delays[i]));
    std::printf("\n");
    std::fflush(stdout);
}

// ---- burst -----------------------------------------------------------------

// The VLAN databases (cap0.*.sqlite) in a library directory.
int vlan_databases_in(const std::string& library) {
    const std::string prefix = std::string(kCaptureInterface) + ".";
    const std::string own = std::string(kCaptureInterface) + kDatabaseSuffix;
    int count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(library, error)) {
        const std::string name = entry.path().filename();
        if (name.starts_with(prefix) && name.ends_with(kDatabaseSuffix) && name != own) ++count;
    }
    return count;
}

// kBurstHosts new hosts of group net at kBurstRate into a fresh daemon, over
// vlans VLANs (host i in VLAN 1 + i % vlans) or untagged when vlans is 0.
BurstResult run_burst(const Options& options, int inject, std::uint8_t net, int vlans) {
    BurstResult result;
    result.hosts = kBurstHosts;
    result.vlans = vlans;
    const std::string library = fresh_library(vlans == 0 ? "burst" : "trunk-burst");
    Daemon daemon(options.pelorin, library,
                  vlans == 0 ? std::span<const char* const>{} : kTrunkOptions);
    wait_until_capturing(daemon, inject);
    check_image(daemon, options.pelorin);
    pause_for(kSettle);
    const std::vector<fb::Bytes> hosts = vlans == 0 ? hosts_of(Traffic::kArp, net, kBurstHosts)
                                                    : trunk_hosts_of(net, kBurstHosts, vlans);
    const std::size_t before = daemon.log().count();
    const DaemonSample start = sample(daemon.pid());
    result.sent = send_paced(inject, hosts, hosts.size(), kBurstRate);
    result.complete =
        daemon.log().wait_for(before + hosts.size(), vlans == 0 ? kBurstWait : kTrunkBurstWait);
    const std::vector<Announcement> seen = daemon.log().announcements();
    const std::string prefix = "10." + std::to_string(net) + ".";
    for (const Announcement& a : seen) {
        if (!a.address.starts_with(prefix)) continue;
        ++result.learned;
        result.last_after_sent = std::max(result.last_after_sent, a.at - result.sent.end);
    }
    result.peak_rss_kb = peak_rss_kb(daemon.pid());
    result.lost = static_cast<long>(hosts.size()) - (sample(daemon.pid()) - start).received;
    result.drops = daemon.stop();
    result.vlan_databases = vlan_databases_in(library);
    show_daemon_lines(daemon.log());
    return result;
}

void print_burst(const BurstResult& r) {
    if (r.vlans == 0) {
        std::printf("\n== Burst: %d new hosts at %.0f frames/s into a fresh daemon\n", r.hosts,
                    kBurstRate);
    } else {
        std::printf(
            "\n== Trunk burst: %d new hosts over %d VLANs at %.0f frames/s into a fresh daemon "
            "(-V all)\n",
            r.hosts, r.vlans, kBurstRate);
    }
    std::printf(
        "  sent in %.2f s (%.0f frames/s, late p99 %.1f us); %zu of %d learned and announced "
        "[all]%s; last announcement %.2f s after the last frame [<= 2 s]; peak RSS %ld kB; drops "
        "%ld (%ld by the interface); lost %ld\n",
        r.sent.seconds, r.sent.achieved(), static_cast<double>(r.sent.late_p99) / kMicrosecond,
        r.learned, r.hosts, r.complete ? "" : " (gave up waiting)", seconds_of(r.last_after_sent),
        r.peak_rss_kb, r.drops.packets, r.drops.by_interface, r.lost);
    if (r.vlans > 0) std::printf("  VLAN databases made: %d of %d\n", r.vlan_databases, r.vlans);
    std::fflush(stdout);
}

// ---- trunk -----------------------------------------------------------------

void run_trunk_steady(const Options& options, int inject, TrunkResults& trunk) {
    const SteadyPlan plan{Traffic::kArp, Variant::kPlain, kCompareRate,
                          frames_for(kCompareRate, options)};
    std::printf(
        "\n== Trunk, steady: a warm daemon (-V all, %d hosts learned), repeated sightings, evenly "
        "spaced; %.1f s\n",
        kTrunkSpreadHosts, options.quick ? kQuickSteadySeconds : kSteadySeconds);
    print_steady_header();
    // Sighted in turns over the VLANs, learned a VLAN at a time.
    std::vector<fb::Bytes> spread = trunk_hosts_of(kNetTrunkSpread, kTrunkSpreadHosts, kTrunkVlans);
    std::vector<fb::Bytes> learn_order = grouped_by_vlan(spread, kTrunkVlans);
    Feed feed{kTrunkOptions, std::move(spread), std::move(learn_order), kTrunkVlans};
    trunk.spread =
        run_warm(inject, plan, text_of("ARP %d VLANs x %d", kTrunkVlans, kTrunkHostsPerVlan),
                 options.pelorin, feed);
    print_steady_row(trunk.spread);
    feed = {kTrunkOptions, trunk_hosts_of(kNetTrunkSpread, kTrunkSpreadHosts, 1), {}, 1};
    trunk.one = run_warm(inject, plan, text_of("ARP one VLAN x %d", kTrunkSpreadHosts),
                         options.pelorin, feed);
    print_steady_row(trunk.one);
    std::printf("  %d VLANs / one VLAN frames per CPU-second: %.3f  [>= 0.8]\n", kTrunkVlans,
                trunk.spread.frames_per_cpu_second() / trunk.one.frames_per_cpu_second());
    std::fflush(stdout);
}

long open_descriptors(pid_t pid) {
    std::error_code error;
    return std::distance(
        std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error),
        std::filesystem::directory_iterator{});
}

MemoryRow run_trunk_memory(const Options& options, int inject, int vlans) {
    MemoryRow row;
    row.vlans = vlans;
    const std::string library = fresh_library(text_of("trunk-memory-%d", vlans));
    Daemon daemon(options.pelorin, library, kTrunkOptions);
    wait_until_capturing(daemon, inject);
    check_image(daemon, options.pelorin);
    const std::vector<fb::Bytes> hosts =
        trunk_hosts_of(kNetTrunkMemory, vlans * kTrunkHostsPerVlan, vlans);
    row.learned = warm(daemon, inject, grouped_by_vlan(hosts, vlans));
    const DaemonSample before = sample(daemon.pid());
    const double seconds = options.quick ? kQuickMemorySeconds : kMemorySeconds;
    row.sent =
        send_paced(inject, hosts, static_cast<std::size_t>(kMemoryRate * seconds), kMemoryRate);
    pause_for(kTail);
    row.lost = static_cast<long>(row.sent.frames) - (sample(daemon.pid()) - before).received;
    row.peak_rss_kb = peak_rss_kb(daemon.pid());
    row.descriptors = open_descriptors(daemon.pid());
    row.drops = daemon.stop();
    row.vlan_databases = vlan_databases_in(library);
    show_daemon_lines(daemon.log());
    return row;
}

// The memory row of that many VLANs.
const MemoryRow* memory_row(const TrunkResults& trunk, int vlans) {
    for (const MemoryRow& row : trunk.memory) {
        if (row.vlans == vlans) return &row;
    }
    return nullptr;
}

// (VmHWM at the most VLANs - at one) per added VLAN, in KiB.
std::optional<double> memory_per_vlan(const TrunkResults& trunk) {
    const MemoryRow* one = memory_row(trunk, kMemoryVlans.front());
    const MemoryRow* most = memory_row(trunk, kMemoryVlans.back());
    if (one == nullptr || most == nullptr) return std::nullopt;
    return static_cast<double>(most->peak_rss_kb - one->peak_rss_kb) /
           (kMemoryVlans.back() - kMemoryVlans.front());
}

void print_trunk_memory(const TrunkResults& trunk, const Options& options) {
    std::printf(
        "\n== Trunk memory: %d hosts in each VLAN learned, then %.0f s of their sightings at %.0f "
        "frames/s\n",
        kTrunkHostsPerVlan, options.quick ? kQuickMemorySeconds : kMemorySeconds, kMemoryRate);
    std::printf("  %6s %8s %10s %12s %9s %10s %5s\n", "VLANs", "learned", "VmHWM kB", "descriptors",
                "VLAN dbs", "drops(if)", "lost");
    for (const MemoryRow& row : trunk.memory) {
        const std::string drops = text_of("%ld(%ld)", row.drops.packets, row.drops.by_interface);
        std::printf("  %6d %8zu %10ld %12ld %9d %10s %5ld\n", row.vlans, row.learned,
                    row.peak_rss_kb, row.descriptors, row.vlan_databases, drops.c_str(), row.lost);
    }
    if (const std::optional<double> per_vlan = memory_per_vlan(trunk))
        std::printf("  per VLAN, (VmHWM at %d - at %d) / %d: %.1f KiB  [<= %ld KiB]\n",
                    kMemoryVlans.back(), kMemoryVlans.front(),
                    kMemoryVlans.back() - kMemoryVlans.front(), *per_vlan, kVlanMemoryTargetKb);
    std::fflush(stdout);
}

// mac_of(net, i) as the daemon stores it.
std::string hwaddr_text_of(std::uint8_t net, int i) {
    const fb::Mac mac = mac_of(net, i);
    return text_of("%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

// The restart's databases, cap0.1 to cap0.VLANS, as the daemon leaves them:
// each with hosts 0 to kRestartRows - 1 of kNetTrunkRestart, first seen 20
// days ago and refreshed an hour ago, except the last kRestartExpiredRows,
// last refreshed 10 days past the retention. One file written through the
// daemon's own database owner in one transaction, then copied.
std::vector<std::string> prepare_restart(const std::string& library, int vlans) {
    const std::string model = g_scratch + "/trunk-model.sqlite";
    {
        InterfaceDb db(model.c_str(), OpenMode::write);
        const std::int64_t now = time(nullptr);
        const std::int64_t expired = now - (kDefaultRetentionDays + 10) * kSecondsPerDay;
        bool written = db.begin();
        for (int i = 0; written && i < kRestartRows; ++i) {
            written = db.insert(4, ipv4_text_of(kNetTrunkRestart, i).c_str(),
                                hwaddr_text_of(kNetTrunkRestart, i).c_str(),
                                now - 20 * kSecondsPerDay + i, i) &&
                      db.touch(db.last_insert_rowid(),
                               i < kRestartRows - kRestartExpiredRows ? now - 3600 : expired);
        }
        if (!written || !db.commit()) die("%s: %s", model.c_str(), db.error_message());
    }
    const std::vector<std::string> databases = vlan_databases_of(library, vlans);
    for (const std::string& database : databases) {
        std::error_code error;
        if (!std::filesystem::copy_file(model, database, error))
            die("copy to %s: %s", database.c_str(), error.message().c_str());
    }
    return databases;
}

// Whether the database holds no row last refreshed before cutoff; false
// when it cannot be read.
bool expired_rows_gone(const std::string& path, std::int64_t cutoff) {
    constexpr const char* kExpiredRows = "SELECT count(*) FROM ipmap WHERE utime < ?";
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const Db db(raw);
    sqlite3_stmt* raw_stmt = nullptr;
    const int prepared = opened == SQLITE_OK
                             ? sqlite3_prepare_v2(db.get(), kExpiredRows, -1, &raw_stmt, nullptr)
                             : opened;
    const Stmt stmt(raw_stmt);
    return prepared == SQLITE_OK && sqlite3_bind_int64(stmt.get(), 1, cutoff) == SQLITE_OK &&
           sqlite3_step(stmt.get()) == SQLITE_ROW && sqlite3_column_int64(stmt.get(), 0) == 0;
}

// When each file first changed after the watch began (on the monotonic
// clock, to within kPassPoll), seen by a thread of its own off the sender's
// CPU. REQUIRES: paths outlives the watch.
class ChangeWatch {
   public:
    explicit ChangeWatch(const std::vector<std::string>& paths)
        : paths_(paths), changed_at_(paths.size(), -1) {
        for (const std::string& path : paths_) modified_.push_back(modified_at(path));
        thread_ = std::jthread([this](std::stop_token stop) { poll(stop); });
    }
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    std::size_t changed() const { return changed_.load(); }

    // Ends the watch: when each file changed, -1 for those that did not.
    std::vector<Nanos> stop() {
        thread_.request_stop();
        thread_.join();
        return changed_at_;
    }

   private:
    void poll(const std::stop_token& stop) {
        move_off_sender_cpu();
        while (!stop.stop_requested() && changed_.load() < paths_.size()) {
            const Nanos now = now_ns();
            for (std::size_t i = 0; i < paths_.size(); ++i) {
                if (changed_at_[i] >= 0 || modified_at(paths_[i]) == modified_[i]) continue;
                changed_at_[i] = now;
                ++changed_;
            }
            sleep_until(now + kPassPoll);
        }
    }

    const std::vector<std::string>& paths_;
    std::vector<Nanos> modified_;
    std::vector<Nanos> changed_at_;  // the thread's until stop() has joined it
    std::atomic<std::size_t> changed_ = 0;
    std::jthread thread_;  // last: it starts once the rest is there
};

RestartResult run_trunk_restart(const Options& options, int inject) {
    RestartResult r;
    r.vlans = options.quick ? kQuickRestartVlans : kRestartVlans;
    const std::string library = fresh_library("trunk-restart");
    const Nanos prepare_start = now_ns();
    const std::vector<std::string> databases = prepare_restart(library, r.vlans);
    r.prepare_seconds = seconds_of(now_ns() - prepare_start);
    // Frame k: VLAN 1 + k % vlans, host (k / vlans) * kRestartHostStep, so
    // that every VLAN has its first frame within vlans / kRestartRate s.
    static_assert((kRestartActiveHosts - 1) * kRestartHostStep < kRestartRows - kRestartExpiredRows,
                  "only hosts with current rows are sent");
    std::vector<fb::Bytes> frames;
    frames.reserve(static_cast<std::size_t>(kRestartActiveHosts * r.vlans));
    for (int k = 0; k < kRestartActiveHosts * r.vlans; ++k)
        frames.push_back(
            tagged_arp_of(kNetTrunkRestart, k / r.vlans * kRestartHostStep, 1 + k % r.vlans));

    Daemon daemon(options.pelorin, library, kTrunkOptions);
    wait_until_capturing(daemon, inject);
    check_image(daemon, options.pelorin);
    const std::size_t lines_before = daemon.log().count();
    ChangeWatch watch(databases);
    const DaemonSample before = sample(daemon.pid());
    const Nanos start = now_ns();
    const Nanos give_up = start + r.vlans * kPassWaitPerVlan;
    const auto chunk = static_cast<std::size_t>(kRestartRate * seconds_of(kRestartChunk));
    while (watch.changed() < databases.size() && now_ns() < give_up) {
        const SendStats sent = send_paced(inject, frames, chunk, kRestartRate, 1, r.sent.frames);
        r.sent.frames += sent.frames;
        r.sent.calls += sent.calls;
        r.sent.late_p99 = std::max(r.sent.late_p99, sent.late_p99);
        r.sent.end = sent.end;
    }
    r.sent.seconds = seconds_of(r.sent.end - start);
    pause_for(kTail);
    r.used = sample(daemon.pid()) - before;
    r.lost = static_cast<long>(r.sent.frames) - r.used.received;
    r.peak_rss_kb = peak_rss_kb(daemon.pid());
    r.descriptors = open_descriptors(daemon.pid());
    r.announced = daemon.log().count() - lines_before;
    for (const Nanos at : watch.stop()) {
        if (at >= 0) r.passes.push_back(at - start);
    }
    std::sort(r.passes.begin(), r.passes.end());
    for (std::size_t i = 1; i < r.passes.size(); ++i)
        r.longest_gap = std::max(r.longest_gap, r.passes[i] - r.passes[i - 1]);
    r.drops = daemon.stop();
    const std::int64_t cutoff = time(nullptr) - kDefaultRetentionDays * kSecondsPerDay;
    for (const std::string& database : databases) {
        if (expired_rows_gone(database, cutoff)) ++r.expired_gone;
    }
    show_daemon_lines(daemon.log());
    return r;
}

void print_trunk_restart(const RestartResult& r) {
    std::printf(
        "\n== Trunk restart: the daemon (-V all) started on %d VLAN databases of %d rows while "
        "%d hosts of each VLAN arrive at %.0f frames/s, the VLANs in turn (the first %.0f s are "
        "first sightings, each read from the database)\n",
        r.vlans, kRestartRows, kRestartActiveHosts, kRestartRate,
        kRestartActiveHosts * r.vlans / kRestartRate);
    std::printf("  prepared in %.2f s (one database written, copied %d times)\n", r.prepare_seconds,
                r.vlans);
    std::printf(
        "  sent %zu frames in %.2f s (%.0f frames/s, worst late p99 of a %.0f s chunk %.1f us); "
        "drops %ld (%ld by the interface) [none]; lost %ld; new bindings announced %zu [0]\n",
        r.sent.frames, r.sent.seconds, r.sent.achieved(), seconds_of(kRestartChunk),
        static_cast<double>(r.sent.late_p99) / kMicrosecond, r.drops.packets, r.drops.by_interface,
        r.lost, r.announced);
    if (r.passes.empty()) {
        std::printf("  no database changed: no expiry pass seen\n");
    } else {
        std::printf(
            "  expiry passes seen (database files changed, looked at every %.0f ms): %zu of %d; "
            "first %.2f s, last %.2f s after the first frame; %.1f ms apart on average [>= 100 "
            "ms], %.1f ms at the most\n",
            static_cast<double>(kPassPoll) / kMillisecond, r.passes.size(), r.vlans,
            seconds_of(r.passes.front()), seconds_of(r.passes.back()),
            r.passes.size() < 2 ? 0.0
                                : seconds_of(r.passes.back() - r.passes.front()) * 1000 /
                                      static_cast<double>(r.passes.size() - 1),
            static_cast<double>(r.longest_gap) / kMillisecond);
    }
    std::printf("  afterwards, databases without their %d rows past the retention: %d of %d\n",
                kRestartExpiredRows, r.expired_gone, r.vlans);
    const double wall = r.sent.seconds + seconds_of(kTail);
    std::printf(
        "  the daemon: CPU %.2f s over %.2f s (%.1f%% of a CPU), %.2f us per frame; %.2f "
        "voluntary context switches per 100 frames; peak RSS %ld kB; %ld descriptors\n",
        seconds_of(r.used.cpu), wall, 100 * seconds_of(r.used.cpu) / wall,
        seconds_of(r.used.cpu) * 1e6 / static_cast<double>(r.sent.frames),
        100 * static_cast<double>(r.used.voluntary) / static_cast<double>(r.sent.frames),
        r.peak_rss_kb, r.descriptors);
    std::fflush(stdout);
}

TrunkResults run_trunk_phase(const Options& options, int inject) {
    TrunkResults trunk;
    run_trunk_steady(options, inject, trunk);
    trunk.burst = run_burst(options, inject, kNetTrunkBurst, kTrunkVlans);
    print_burst(trunk.burst);
    for (int vlans : kMemoryVlans) trunk.memory.push_back(run_trunk_memory(options, inject, vlans));
    print_trunk_memory(trunk, options);
    trunk.restart = run_trunk_restart(options, inject);
    print_trunk_restart(trunk.restart);
    return trunk;
}

// ---- summary ---------------------------------------------------------------

void summary_line(const char* what, const char* target, const std::string& measured) {
    std::printf("  %-58s %-10s %s\n", what, target, measured.c_str());
}

void print_trunk_summary(const std::optional<TrunkResults>& trunk) {
    const std::string none = "not measured";
    summary_line(
        text_of("trunk: %d VLANs / one VLAN frames per CPU-second at %.0f/s", kTrunkVlans,
                kCompareRate)
            .c_str(),
        ">= 0.8",
        trunk ? text_of("%.3f (%.0f / %.0f)",
                        trunk->spread.frames_per_cpu_second() / trunk->one.frames_per_cpu_second(),
                        trunk->spread.frames_per_cpu_second(), trunk->one.frames_per_cpu_second())
              : none);
    summary_line(text_of("trunk burst over %d VLANs: learned and announced", kTrunkVlans).c_str(),
                 "all 65536",
                 trunk ? text_of("%zu (VLAN databases made: %d)", trunk->burst.learned,
                                 trunk->burst.vlan_databases)
                       : none);
    summary_line("trunk burst: last announcement after the last frame", "<= 2 s",
                 trunk ? text_of("%.2f s", seconds_of(trunk->burst.last_after_sent)) : none);
    const std::optional<double> per_vlan = trunk ? memory_per_vlan(*trunk) : std::nullopt;
    const MemoryRow* most = trunk ? memory_row(*trunk, kMemoryVlans.back()) : nullptr;
    summary_line(text_of("trunk memory per VLAN, (VmHWM at %d - at %d) / %d", kMemoryVlans.back(),
                         kMemoryVlans.front(), kMemoryVlans.back() - kMemoryVlans.front())
                     .c_str(),
                 "<= 256 KiB",
                 per_vlan && most ? text_of("%.1f KiB (%ld descriptors at %d VLANs)", *per_vlan,
                                            most->descriptors, most->vlans)
                                  : none);
    const RestartResult* restart = trunk ? &trunk->restart : nullptr;
    summary_line("trunk restart: drops, by the interface, lost", "0, 0, 0",
                 restart ? text_of("%ld, %ld, %ld (%d VLANs)", restart->drops.packets,
                                   restart->drops.by_interface, restart->lost, restart->vlans)
                         : none);
    summary_line("trunk restart: every VLAN's first expiry pass", "all",
                 restart
                     ? text_of("%zu of %d, the last %.1f s after the first frame",
                               restart->passes.size(), restart->vlans,
                               restart->passes.empty() ? 0.0 : seconds_of(restart->passes.back()))
                     : none);
}

void print_summary(const Results& results) {
    std::printf("\n== Summary (target, measured)\n");
    const std::string none = "not measured";
    const SteadyRow* arp = find_row(results, Traffic::kArp, kCompareRate);
    const SteadyRow* nd = find_row(results, Traffic::kNd, kCompareRate);
    summary_line("ND / ARP daemon CPU per frame at 50000/s", "<= 1.2",
                 arp && nd
                     ? text_of("%.3f", arp->frames_per_cpu_second() / nd->frames_per_cpu_second())
                     : none);
    const std::optional<double>& in_process = results.in_process_of(Traffic::kArp);
    for (double rate : kFloorCompareRates) {
        const SteadyRow* row = find_row(results, Traffic::kArp, rate);
        const std::string what =
            text_of("ARP live / in-process frames per CPU-second at %.0f/s", rate);
        summary_line(what.c_str(), ">= 0.8",
                     row && in_process
                         ? text_of("%.3f (%.0f / %.0f)", row->frames_per_cpu_second() / *in_process,
                                   row->frames_per_cpu_second(), *in_process)
                         : none);
    }
    summary_line("context switches per 100 frames at 50000/s, vol + invol", "<= 1",
                 arp ? text_of("%.2f (%.2f + %.2f)",
                               100 * arp->per_frame(arp->used.voluntary + arp->used.involuntary),
                               100 * arp->per_frame(arp->used.voluntary),
                               100 * arp->per_frame(arp->used.involuntary))
                     : none);
    const std::optional<LatencyResult>& latency = results.latency;
    summary_line(
        "latency p99 on a quiet segment", "<= 100 ms",
        latency && !latency->delays.empty()
            ? text_of("%.2f ms (%zu of %d hosts announced)",
                      static_cast<double>(percentile(latency->delays, 0.99)) / kMillisecond,
                      latency->delays.size(), latency->hosts)
            : none);
    const std::optional<BurstResult>& burst = results.burst;
    summary_line("burst at 20000/s: learned and announced", "all 65536",
                 burst ? text_of("%zu", burst->learned) : none);
    summary_line("burst: last announcement after the last frame", "<= 2 s",
                 burst ? text_of("%.2f s", seconds_of(burst->last_after_sent)) : none);
    const SteadyRow* top = top_speed(results);
    summary_line("top speed without drops: frames per CPU-second / 1.49M", "(1.49M)",
                 top ? text_of("%.3f (%.0f frames per CPU-second at %.0f frames/s)",
                               top->frames_per_cpu_second() / kGigabitFrameRate,
                               top->frames_per_cpu_second(), top->sent.achieved())
                     : none);
    print_trunk_summary(results.trunk);
}

// ---- main ------------------------------------------------------------------

Options parse_command_line(int argc, char** argv) {
    Options options;
    std::vector<const char*> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--only" && i + 1 < argc) {
            options.only = argv[++i];
        } else {
            operands.push_back(argv[i]);
        }
    }
    const bool known_only = options.only.empty() || options.only == "steady" ||
                            options.only == "latency" || options.only == "burst" ||
                            options.only == "trunk";
    if (operands.size() != 2 || !known_only) {
        std::fputs(kUsage, stderr);
        std::exit(1);
    }
    options.pelorin = operands[0];
    options.without_cache = operands[1];
    return options;
}

bool wanted(const Options& options, const char* phase) {
    return options.only.empty() || options.only == phase;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_command_line(argc, argv);
    if (geteuid() != 0) die("needs root (network namespaces)");
    if (access(kIpCommand, X_OK) != 0) die("%s: %s", kIpCommand, std::strerror(errno));
    for (const char* program : {options.pelorin, options.without_cache}) {
        if (access(program, X_OK) != 0) die("%s: %s", program, std::strerror(errno));
    }
    // The sender's sleeps end when asked, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    install_signal_handlers();
    std::atexit(cleanup);
    char scratch[] = "/var/tmp/pelorin-live-XXXXXX";
    if (mkdtemp(scratch) == nullptr) die("mkdtemp: %s", std::strerror(errno));
    g_scratch = scratch;
    make_namespace();
    const Fd inject = inject_socket();

    const int sender_cpu = pin_sender();
    std::printf(
        "live_bench: %s and %s, %ld CPUs, %s%s\n", options.pelorin, options.without_cache,
        sysconf(_SC_NPROCESSORS_ONLN),
        sender_cpu < 0 ? "nothing pinned" : text_of("sender alone on CPU %d", sender_cpu).c_str(),
        options.quick ? ", quick" : "");
    // Anything else running here shows in the figures.
    std::printf("load average at the start: %s", read_text("/proc/loadavg").c_str());
    Results results;
    if (wanted(options, "steady")) run_steady_phase(options, inject.get(), results);
    if (wanted(options, "latency")) {
        results.latency = run_latency(options, inject.get());
        print_latency(*results.latency);
    }
    if (wanted(options, "burst")) {
        results.burst = run_burst(options, inject.get(), kNetBurst, 0);
        print_burst(*results.burst);
    }
    if (wanted(options, "trunk")) results.trunk = run_trunk_phase(options, inject.get());
    print_summary(results);
    std::printf("load average at the end: %s", read_text("/proc/loadavg").c_str());
    return 0;
}
