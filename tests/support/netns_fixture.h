// The network namespaces of the end-to-end tests: a private namespace, by
// default with a veth pair (the daemon captures on one end, the test injects
// raw frames on the other), always with its own resolver files (so that no
// name query leaves the machine), and programs run inside it. Everything is
// torn down by destructors, also when a test fails half-way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace pelorin_e2e {

using std::chrono::milliseconds;

// Bound of every wait in these tests: generous, since a sanitized daemon on a
// loaded machine starts slowly; a wait that succeeds returns at once.
constexpr milliseconds kWaitLimit{15000};

// Interface names inside every test namespace.
constexpr const char* kCaptureInterface = "cap0";
constexpr const char* kInjectInterface = "inj0";

// Polls cond every 20 ms until it holds or limit passes; returns the last
// result.
bool wait_until(const std::function<bool()>& cond, milliseconds limit = kWaitLimit);

// Runs a command to completion; returns its exit status (-1 if signalled)
// and keeps standard error for the failure message.
int run_command(const std::vector<std::string>& argv, std::string* err = nullptr);

struct NamespaceOptions {
    // Added to the hosts file after localhost.
    std::string hosts_lines;
    // The veth pair cap0/inj0, both up, and the socket inject() sends on.
    bool veth_pair = true;
    bool loopback_up = false;
};

// A network namespace "pelc<pid>x<n>" with IPv6 switched off so the kernel
// sends nothing of its own, and /etc/netns/<name>/{resolv.conf,hosts}:
// resolving goes to 127.0.0.1, where nothing listens, and the hosts file
// answers for hosts_lines only.
class TestNamespace {
   public:
    explicit TestNamespace(const NamespaceOptions& options = {});
    explicit TestNamespace(const std::string& hosts_lines)
        : TestNamespace(NamespaceOptions{hosts_lines}) {}
    ~TestNamespace();
    TestNamespace(const TestNamespace&) = delete;
    TestNamespace& operator=(const TestNamespace&) = delete;

    // False when the set-up failed (no privilege); the reason is in error().
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }

    // Sends one frame out of inj0, so that it arrives on cap0.
    void inject(const std::vector<std::uint8_t>& frame) const;

    // Runs a command inside to completion (ip netns exec), with extra_env
    // entries "NAME=value" added to this process's environment.
    pelorin_test::ChildResult run(const std::vector<std::string>& command,
                                  const std::vector<std::string>& extra_env = {}) const;

   private:
    std::string name_;
    std::string etc_dir_;
    int inject_fd_ = -1;
    bool created_ = false;
    bool ok_ = false;
    std::string error_;
};

// A process started with "ip netns exec <ns> <program> <args...>" (ip execs
// the program itself, so the child's id is the program's), standard input
// from /dev/null, standard output and error into files. Killed and reaped
// on destruction unless it has ended and been waited for.
class NamespacedProcess {
   public:
    NamespacedProcess(const TestNamespace& ns, const std::string& program,
                      const std::vector<std::string>& args, const std::string& output_dir);
    ~NamespacedProcess();
    NamespacedProcess(const NamespacedProcess&) = delete;
    NamespacedProcess& operator=(const NamespacedProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string err() const;
    // Raw wait status once the process has ended within the limit.
    std::optional<int> wait_exit(milliseconds limit = kWaitLimit);
    bool wait_for_err(const std::string& text, milliseconds limit = kWaitLimit) const;

   private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string err_path_;
};

// Makes the test process the reaper of orphans, so that a daemon that
// detached from its starter is reparented here and its exit status can be
// collected with wait_for_orphan.
void become_subreaper();
// Waits for a process that is (or becomes) a child of this process through
// the subreaper rule; returns its raw wait status.
std::optional<int> wait_for_orphan(pid_t pid, milliseconds limit = kWaitLimit);
bool process_alive(pid_t pid);
// The state letter of /proc/PID/stat ('R', 'S', 'T', 'Z' ...), 0 when gone.
char process_state(pid_t pid);

// Text of a file, or "" when it does not exist.
std::string file_text(const std::string& path);

}  // namespace pelorin_e2e
