#include "netns_fixture.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_support.h"

namespace pelorin_e2e {

namespace {

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kNamePrefix = "pelc";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

// Ids of the processes living in the namespace (ip netns pids).
std::vector<pid_t> namespace_pids(const std::string& name) {
    std::vector<pid_t> pids;
    pelorin_test::ChildResult r = pelorin_test::run_program({kIp, "netns", "pids", name});
    std::istringstream in(r.out);
    long pid = 0;
    while (in >> pid) {
        if (pid > 0) pids.push_back(static_cast<pid_t>(pid));
    }
    return pids;
}

// Kills what runs in the namespace and reaps what became ours; processes
// reparented elsewhere are gone once their /proc entry is.
void empty_namespace(const std::string& name) {
    std::vector<pid_t> pids = namespace_pids(name);
    for (pid_t pid : pids) kill(pid, SIGKILL);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!pids.empty() && std::chrono::steady_clock::now() < limit) {
        std::vector<pid_t> left;
        for (pid_t pid : pids) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) continue;
            if (access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0) continue;
            left.push_back(pid);
        }
        pids.swap(left);
        if (!pids.empty()) std::this_thread::sleep_for(milliseconds(20));
    }
}

void remove_etc_dir(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    // Shared parent: removed only when no other test still has a directory
    // in it (rmdir refuses a non-empty directory).
    rmdir("/etc/netns");
}

// Namespaces of earlier runs whose test process died before its
// destructors ran (a crash or a time-out kill).
void sweep_abandoned_namespaces() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/var/run/netns", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kNamePrefix, 0) != 0) continue;
        const long owner = std::strtol(name.c_str() + std::strlen(kNamePrefix), nullptr, 10);
        if (owner <= 0 || kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) continue;
        empty_namespace(name);
        run_command({kIp, "netns", "del", name});
        remove_etc_dir("/etc/netns/" + name);
    }
}

// Enters a namespace for the life of the object and returns to the test's
// own namespace afterwards.
class NamespaceVisit {
   public:
    explicit NamespaceVisit(const std::string& name) {
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        entered_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
    }
    ~NamespaceVisit() {
        if (entered_ && setns(home_, CLONE_NEWNET) != 0) {
            std::perror("setns back to the test's namespace");
            std::abort();
        }
        if (home_ >= 0) close(home_);
    }
    NamespaceVisit(const NamespaceVisit&) = delete;
    NamespaceVisit& operator=(const NamespaceVisit&) = delete;
    bool entered() const { return entered_; }

   private:
    int home_ = -1;
    bool entered_ = false;
};

}  // namespace

bool wait_until(const std::function<bool()>& cond, milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return cond();
        std::this_thread::sleep_for(milliseconds(20));
    }
}

int run_command(const std::vector<std::string>& argv, std::string* err) {
    pelorin_test::ChildResult r = pelorin_test::run_program(argv);
    if (err != nullptr) *err = r.err;
    return r.exit_status;
}

TestNamespace::TestNamespace(const NamespaceOptions& options) {
    static int serial = 0;
    name_ = kNamePrefix + std::to_string(getpid()) + "x" + std::to_string(++serial);
    etc_dir_ = "/etc/netns/" + name_;
    sweep_abandoned_namespaces();

    std::string err;
    if (run_command({kIp, "netns", "add", name_}, &err) != 0) {
        error_ = "ip netns add " + name_ + ": " + err;
        return;
    }
    created_ = true;

    // A parallel test may remove the shared parent between our mkdir calls.
    std::error_code ec;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (std::filesystem::create_directories(etc_dir_, ec) ||
            std::filesystem::is_directory(etc_dir_))
            break;
    }
    if (!write_text(etc_dir_ + "/resolv.conf",
                    "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n") ||
        !write_text(etc_dir_ + "/hosts", "127.0.0.1 localhost\n" + options.hosts_lines)) {
        error_ = "cannot write the resolver files in " + etc_dir_;
        return;
    }

    {
        NamespaceVisit visit(name_);
        if (!visit.entered()) {
            error_ = "cannot enter namespace " + name_ + ": " + std::strerror(errno);
            return;
        }
        // The kernel's own IPv6 traffic (duplicate address probes, router
        // solicitations) would otherwise mix with the frames under test.
        write_text("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1\n");
        write_text("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1\n");
    }

    if (options.loopback_up && run_command({kIp, "-n", name_, "link", "set", "lo", "up"}, &err) != 0) {
        error_ = "loopback in " + name_ + ": " + err;
        return;
    }
    if (!options.veth_pair) {
        ok_ = true;
        return;
    }
    if (run_command({kIp, "-n", name_, "link", "add", "name", kCaptureInterface, "type", "veth",
                     "peer", "name", kInjectInterface},
                    &err) != 0 ||
        run_command({kIp, "-n", name_, "link", "set", kCaptureInterface, "up"}, &err) != 0 ||
        run_command({kIp, "-n", name_, "link", "set", kInjectInterface, "up"}, &err) != 0) {
        error_ = "veth set-up in " + name_ + ": " + err;
        return;
    }

    NamespaceVisit visit(name_);
    if (!visit.entered()) {
        error_ = "cannot enter namespace " + name_;
        return;
    }
    // Protocol 0: this socket only sends, it never queues received frames.
    inject_fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (inject_fd_ < 0) {
        error_ = std::string("AF_PACKET socket: ") + std::strerror(errno);
        return;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(kInjectInterface));
    if (address.sll_ifindex == 0 ||
        bind(inject_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error_ = std::string("bind to ") + kInjectInterface + ": " + std::strerror(errno);
        return;
    }
    ok_ = true;
}

TestNamespace::~TestNamespace() {
    if (inject_fd_ >= 0) close(inject_fd_);
    if (created_) {
        empty_namespace(name_);
        run_command({kIp, "netns", "del", name_});
    }
    remove_etc_dir(etc_dir_);
}

void TestNamespace::inject(const std::vector<std::uint8_t>& frame) const {
    const ssize_t n = send(inject_fd_, frame.data(), frame.size(), 0);
    if (n != static_cast<ssize_t>(frame.size())) {
        std::fprintf(stderr, "inject on %s: %s\n", name_.c_str(), std::strerror(errno));
    }
}

pelorin_test::ChildResult TestNamespace::run(const std::vector<std::string>& command,
                                             const std::vector<std::string>& extra_env) const {
    std::vector<std::string> argv = {kIp, "netns", "exec", name_};
    argv.insert(argv.end(), command.begin(), command.end());
    return pelorin_test::run_program(argv, extra_env);
}

NamespacedProcess::NamespacedProcess(const TestNamespace& ns, const std::string& program,
                                     const std::vector<std::string>& args,
                                     const std::string& output_dir) {
    static int serial = 0;
    const std::string base = output_dir + "/process" + std::to_string(++serial);
    err_path_ = base + ".err";
    const std::string out_path = base + ".out";

    std::vector<std::string> argv = {kIp, "netns", "exec", ns.name(), program};
    argv.insert(argv.end(), args.begin(), args.end());

    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
}

NamespacedProcess::~NamespacedProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string NamespacedProcess::err() const { return slurp(err_path_); }

std::optional<int> NamespacedProcess::wait_exit(milliseconds limit) {
    if (pid_ <= 0 || reaped_) return std::nullopt;
    int status = 0;
    const bool ended = wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
    if (!ended) return std::nullopt;
    reaped_ = true;
    return status;
}

bool NamespacedProcess::wait_for_err(const std::string& text, milliseconds limit) const {
    return wait_until([&] { return err().find(text) != std::string::npos; }, limit);
}

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

std::optional<int> wait_for_orphan(pid_t pid, milliseconds limit) {
    int status = 0;
    // Until the orphan is handed over, waitpid reports it as no child of ours.
    if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        return std::nullopt;
    }
    return status;
}

char process_state(pid_t pid) {
    if (pid <= 0) return 0;
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    // The name in parentheses may hold anything, parentheses too.
    const std::size_t close_paren = stat.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= stat.size()
               ? 0
               : stat[close_paren + 2];
}

bool process_alive(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0) return false;
    // A zombie still answers the probe; it is not running.
    return process_state(pid) != 'Z';
}

std::string file_text(const std::string& path) { return slurp(path); }

}  // namespace pelorin_e2e
