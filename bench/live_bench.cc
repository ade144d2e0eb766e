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
// the latency phase instead of 100. --only steady, latency or burst runs that
// phase alone (steady includes the floor it is compared with).
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
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
#include <sstream>
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
    "usage: live_bench PELORIN PELORIN_WITHOUT_CACHE [--quick] [--only steady|latency|burst]\n";
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

// Second address byte of each group of hosts, so that no group's host is
// another's.
constexpr std::uint8_t kNetSteady = 1;
constexpr std::uint8_t kNetProbe = 9;
constexpr std::uint8_t kNetBurst = 20;
constexpr std::uint8_t kNetLatency = 30;

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

// Sends count frames, frames[i % frames.size()] in slot i at start + i/rate:
// waits for the slot, then sends its frame together with those of any later
// slots that have already come (up to SendGroup::kMaxGroup). Rate
// kBackToBack sends groups of kMaxGroup back to back. With clump > 1 the
// slots are those of the old sender: clump frames at once, every clump/rate.
SendStats send_paced(int fd, const std::vector<fb::Bytes>& frames, std::size_t count, double rate,
                     int clump = 1) {
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
        group.add(frames[i % frames.size()]);
        for (++i; i < count && !group.full(); ++i) {
            if (rate != kBackToBack) {
                if (due(i, start) > now) break;
                late.push_back(now - due(i, start));
            }
            group.add(frames[i % frames.size()]);
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

// pelorin -f -L library cap0 inside the namespace; standard output and error
// go to the reader thread. `ip netns exec` execs the daemon, so the child's
// pid is the daemon's.
class Daemon {
   public:
    Daemon(const char* program, const std::string& library) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) die("pipe: %s", std::strerror(errno));
        Fd read_end(ends[0]);
        const Fd write_end(ends[1]);
        fcntl(write_end.get(), F_SETPIPE_SZ, kPipeBytes);
        const char* argv[] = {kIpCommand, "netns", "exec",          g_namespace.c_str(), program,
                              "-f",       "-L",    library.c_str(), kCaptureInterface,   nullptr};
        pid_ = fork();
        if (pid_ < 0) die("fork: %s", std::strerror(errno));
        if (pid_ == 0) {
            move_off_sender_cpu();
            dup2(write_end.get(), 1);
            dup2(write_end.get(), 2);
            execv(kIpCommand, const_cast<char* const*>(argv));
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

struct SteadySpec {
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
    SteadySpec spec;
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

SteadyRow run_steady(const Options& options, int inject, const SteadySpec& spec) {
    SteadyRow row;
    row.spec = spec;
    const std::vector<fb::Bytes> hosts = hosts_of(spec.traffic, kNetSteady, kWarmHosts);
    Daemon daemon(spec.program(options), fresh_library("steady"));
    wait_until_capturing(daemon, inject);
    check_image(daemon, spec.program(options));
    row.warmed = warm(daemon, inject, hosts);
    pause_for(kSettle);
    const DaemonSample before = sample(daemon.pid());
    row.sent = send_paced(inject, hosts, spec.frames, spec.rate, spec.clump());
    pause_for(kTail);
    row.used = sample(daemon.pid()) - before;
    row.drops = daemon.stop();
    return row;
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
    if (row.spec.rate == kBackToBack) {
        std::snprintf(rate, sizeof rate, "max");
    } else {
        std::snprintf(rate, sizeof rate, "%.0f", row.spec.rate);
    }
    char late[16];
    if (row.spec.rate == kBackToBack) {
        std::snprintf(late, sizeof late, "-");
    } else {
        std::snprintf(late, sizeof late, "%.1f",
                      static_cast<double>(row.sent.late_p99) / kMicrosecond);
    }
    char drops[24];
    std::snprintf(drops, sizeof drops, "%ld(%ld)", row.drops.packets, row.drops.by_interface);
    std::printf("%-29s %7s %8zu %8.0f %6.2f %7s %6.3f %8.0f %7.4f %7.4f %6.2f %6.2f %7s %5ld\n",
                row.spec.label().c_str(), rate, row.sent.frames, row.sent.achieved(),
                row.sent.per_call(), late, row.cpu_seconds(), row.frames_per_cpu_second(),
                row.per_frame(row.used.voluntary), row.per_frame(row.used.involuntary),
                100 * row.per_frame(row.used.voluntary), 100 * row.per_frame(row.used.involuntary),
                drops, row.lost());
    if (row.warmed != static_cast<std::size_t>(kWarmHosts))
        std::printf("    (warm-up: %zu of %d hosts announced)\n", row.warmed, kWarmHosts);
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
    std::size_t learned = 0;
    SendStats sent;
    // Last announcement after the last frame sent; 0 with none at all.
    Nanos last_after_sent = 0;
    bool complete = false;
    long peak_rss_kb = 0;
    long lost = 0;
    Drops drops;
};

struct Results {
    std::optional<double> in_process[2];  // frames per CPU-second, by Traffic
    std::vector<SteadyRow> rows;
    std::string ladder_end;  // why the rising rates stopped
    std::optional<LatencyResult> latency;
    std::optional<BurstResult> burst;

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
        if (row.spec.traffic == traffic && row.spec.rate == rate &&
            row.spec.variant == Variant::kPlain)
            return &row;
    }
    return nullptr;
}

const SteadyRow& steady_row(const Options& options, int inject, Results& results,
                            const SteadySpec& spec) {
    results.rows.push_back(run_steady(options, inject, spec));
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
        if (row.spec.traffic != Traffic::kArp || row.spec.variant != Variant::kPlain ||
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
        top->sent.achieved(), top->spec.rate == kBackToBack ? "back to back" : "paced",
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

BurstResult run_burst(const Options& options, int inject) {
    BurstResult result;
    Daemon daemon(options.pelorin, fresh_library("burst"));
    wait_until_capturing(daemon, inject);
    check_image(daemon, options.pelorin);
    pause_for(kSettle);
    const std::vector<fb::Bytes> hosts = hosts_of(Traffic::kArp, kNetBurst, kBurstHosts);
    const std::size_t before = daemon.log().count();
    const DaemonSample start = sample(daemon.pid());
    result.sent = send_paced(inject, hosts, hosts.size(), kBurstRate);
    result.complete = daemon.log().wait_for(before + hosts.size(), kBurstWait);
    const std::vector<Announcement> seen = daemon.log().announcements();
    const std::string prefix = "10." + std::to_string(kNetBurst) + ".";
    for (const Announcement& a : seen) {
        if (!a.address.starts_with(prefix)) continue;
        ++result.learned;
        result.last_after_sent = std::max(result.last_after_sent, a.at - result.sent.end);
    }
    result.peak_rss_kb = peak_rss_kb(daemon.pid());
    result.lost = static_cast<long>(hosts.size()) - (sample(daemon.pid()) - start).received;
    result.drops = daemon.stop();
    show_daemon_lines(daemon.log());
    return result;
}

void print_burst(const BurstResult& r) {
    std::printf("\n== Burst: %d new hosts at %.0f frames/s into a fresh daemon\n", kBurstHosts,
                kBurstRate);
    std::printf(
        "  sent in %.2f s (%.0f frames/s, late p99 %.1f us); %zu of %d learned and announced "
        "[all]%s; last announcement %.2f s after the last frame [<= 2 s]; peak RSS %ld kB; drops "
        "%ld (%ld by the interface); lost %ld\n",
        r.sent.seconds, r.sent.achieved(), static_cast<double>(r.sent.late_p99) / kMicrosecond,
        r.learned, kBurstHosts, r.complete ? "" : " (gave up waiting)",
        seconds_of(r.last_after_sent), r.peak_rss_kb, r.drops.packets, r.drops.by_interface,
        r.lost);
    std::fflush(stdout);
}

// ---- summary ---------------------------------------------------------------

void summary_line(const char* what, const char* target, const std::string& measured) {
    std::printf("  %-58s %-10s %s\n", what, target, measured.c_str());
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
                            options.only == "latency" || options.only == "burst";
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
        results.burst = run_burst(options, inject.get());
        print_burst(*results.burst);
    }
    print_summary(results);
    std::printf("load average at the end: %s", read_text("/proc/loadavg").c_str());
    return 0;
}
