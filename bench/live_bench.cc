// The real daemon on a veth pair in a network namespace of its own, fed by
// a sender at a fixed rate; prints what an administrator would measure:
//   steady   repeated sightings of 10,000 hosts: frames per CPU-second of
//            the daemon, with its in-memory bindings and without them (a
//            build of the daemon that never uses them), and the frames the
//            capture dropped (the daemon's own report at exit)
//   burst    65,536 new hosts at 5,000 and at 20,000 frames/s into a fresh
//            daemon: bindings learned, seconds from the last frame sent to
//            the last announcement, peak resident memory
// Usage: live_bench PELORIN PELORIN_WITHOUT_CACHE. Needs root. A
// measurement, never a test: nothing here fails on a figure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame_builder.h"
#include "store.h"

namespace {

namespace fb = pelorin_frames;
using Clock = std::chrono::steady_clock;

std::string ns_name;
std::string dir;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "live_bench: %s\n", what.c_str());
    std::exit(1);
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) die("failed: " + command);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Clean-up goes as far as it can; a failed step leaves the others to run.
void attempt(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "live_bench: %s failed\n", command.c_str());
}

void cleanup() {
    if (!ns_name.empty()) {
        attempt("ip netns pids " + ns_name + " | xargs -r kill -9");
        attempt("ip netns del " + ns_name);
        attempt("rm -rf /etc/netns/" + ns_name);
    }
    if (!dir.empty()) attempt("rm -rf " + dir);
}

int inject_socket() {
    const int self = open("/proc/self/ns/net", O_RDONLY);
    const int target = open(("/run/netns/" + ns_name).c_str(), O_RDONLY);
    if (self < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) die("setns");
    const int fd = socket(AF_PACKET, SOCK_RAW, 0);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex("inj0"));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        die("inject socket");
    // A deep send queue: the sender must not be the bottleneck.
    const int size = 64 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    setns(self, CLONE_NEWNET);
    close(self);
    close(target);
    return fd;
}

void send_paced(int fd, const std::vector<fb::Bytes>& frames, int rate) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i % 16 == 0)
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1'000'000 / rate));
        while (send(fd, frames[i].data(), frames[i].size(), 0) < 0) {
            if (errno != ENOBUFS && errno != EAGAIN) die("send");
        }
    }
}

fb::Bytes arp_of(std::uint8_t net, int i) {
    const auto hi = static_cast<std::uint8_t>(i >> 8);
    const auto lo = static_cast<std::uint8_t>(i);
    return fb::arp_request(fb::Mac{0x02, net, 0, 0, hi, lo}, fb::Ipv4{10, net, hi, lo},
                           fb::ipv4("10.0.0.1"));
}

struct Daemon {
    pid_t pid = -1;
    std::string err;
};

Daemon start(const std::string& program, const std::string& library, const std::string& tag) {
    Daemon d;
    d.err = dir + "/" + tag + ".err";
    d.pid = fork();
    if (d.pid == 0) {
        const int fd = open(d.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        execl("/usr/bin/ip", "ip", "netns", "exec", ns_name.c_str(), program.c_str(), "-f", "-L",
              library.c_str(), "cap0", static_cast<char*>(nullptr));
        _exit(127);
    }
    return d;
}

int count_lines(const std::string& path, const std::string& needle) {
    const std::string text = read_text(path);
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Waits until count_lines reaches count (or a limit); returns when it did.
Clock::time_point wait_lines(const std::string& path, const std::string& needle, int count,
                             int limit_seconds) {
    const auto until = Clock::now() + std::chrono::seconds(limit_seconds);
    while (Clock::now() < until) {
        if (count_lines(path, needle) >= count) return Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Clock::now();
}

double cpu_seconds(pid_t pid) {
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 1; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peak_rss_kb(pid_t pid) {
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

std::string stop(const Daemon& d) {
    kill(d.pid, SIGTERM);
    waitpid(d.pid, nullptr, 0);
    const std::string err = read_text(d.err);
    const std::size_t at = err.find("capture dropped");
    return at == std::string::npos ? "no drops reported" : err.substr(at, err.find('\n', at) - at);
}

std::string fresh_library(const std::string& tag) {
    const std::string library = dir + "/" + tag;
    run("mkdir -p " + library);
    sqlite3* db = nullptr;
    sqlite3_open((library + "/ma_db.sqlite").c_str(), &db);
    sqlite3_exec(db, kVendorSchema, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return library;
}

void steady(int fd, const std::string& program, const char* label, const char* tag) {
    const std::string library = fresh_library(tag);
    const Daemon d = start(program, library, tag);
    std::vector<fb::Bytes> hosts;
    for (int i = 0; i < 10000; ++i) hosts.push_back(arp_of(1, i));
    // Learn them all first, then time repeated sightings only.
    for (int attempt = 0; attempt < 3 && count_lines(d.err, "changed from") < 10000; ++attempt) {
        send_paced(fd, hosts, 5000);
        wait_lines(d.err, "changed from", 10000, 20);
    }
    std::vector<fb::Bytes> rounds;
    for (int r = 0; r < 30; ++r) rounds.insert(rounds.end(), hosts.begin(), hosts.end());
    const double before = cpu_seconds(d.pid);
    send_paced(fd, rounds, 100000);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = cpu_seconds(d.pid) - before;
    const std::string drops = stop(d);
    std::printf(
        "steady %-14s %zu frames at 100000/s: daemon CPU %.2f s, %.0f frames per CPU-second, "
        "%.2f us per frame; %s\n",
        label, rounds.size(), used, static_cast<double>(rounds.size()) / used,
        used * 1e6 / static_cast<double>(rounds.size()), drops.c_str());
}

void burst(int fd, const std::string& program, int rate) {
    const std::string tag = "burst" + std::to_string(rate);
    const std::string library = fresh_library(tag);
    const Daemon d = start(program, library, tag);
    // Ready once a first frame is announced.
    const auto probe = arp_of(9, 1);
    for (int i = 0; i < 100 && count_lines(d.err, "changed from") == 0; ++i) {
        send(fd, probe.data(), probe.size(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::vector<fb::Bytes> frames;
    for (int i = 0; i < 65536; ++i) frames.push_back(arp_of(20, i));
    const auto started = Clock::now();
    send_paced(fd, frames, rate);
    const auto sent = Clock::now();
    const auto done = wait_lines(d.err, "IP address 10.20.", 65536, 180);
    const int learned = count_lines(d.err, "IP address 10.20.");
    const long rss = peak_rss_kb(d.pid);
    const std::string drops = stop(d);
    std::printf(
        "burst %5d/s: %d of 65536 learned and announced, sent in %.1f s, last announcement "
        "%.2f s after the last frame, peak RSS %ld kB; %s\n",
        rate, learned, std::chrono::duration<double>(sent - started).count(),
        std::chrono::duration<double>(done - sent).count(), rss, drops.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) die("usage: live_bench PELORIN PELORIN_WITHOUT_CACHE [steady]");
    ns_name = "pelb" + std::to_string(getpid());
    char tmpl[] = "/var/tmp/pelorin-live-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp");
    dir = tmpl;
    std::atexit(cleanup);
    run("ip netns add " + ns_name);
    run("mkdir -p /etc/netns/" + ns_name + " && echo 'nameserver 127.0.0.1' > /etc/netns/" +
        ns_name + "/resolv.conf");
    run("ip netns exec " + ns_name + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
    run("ip netns exec " + ns_name + " sysctl -qw net.ipv6.conf.default.disable_ipv6=1");
    run("ip -n " + ns_name + " link add cap0 type veth peer name inj0");
    run("ip -n " + ns_name + " link set cap0 up && ip -n " + ns_name + " link set inj0 up");
    const int fd = inject_socket();

    steady(fd, argv[1], "with cache", "steady-cached");
    steady(fd, argv[2], "without cache", "steady-uncached");
    if (argc > 3) return 0;  // the steady figures only
    burst(fd, argv[1], 5000);
    burst(fd, argv[1], 20000);
    close(fd);
    return 0;
}
