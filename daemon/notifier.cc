#include "notifier.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>

#include "diag.h"
#include "names.h"

namespace {

// The command gets nothing of the daemon's but its standard streams: some
// descriptors (libpcap's eventfd, for one) are opened without close-on-exec.
// Marked rather than closed, so that the child's own diagnostics still work
// until the exec.
void keep_descriptors_from_command() {
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    rlimit limit{};
    const rlim_t top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                           ? limit.rlim_cur
                           : 65536;
    for (rlim_t fd = 3; fd < top; ++fd) fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

// Only the child runs this; it never returns.
[[noreturn]] void run_notify_command(const char* command, rlim_t open_files, ChangeEvent event,
                                     int stands_for, const sigset_t& mask, int family,
                                     const unsigned char* addr, const char* date_time,
                                     const char* database_name, const char* ipaddr,
                                     const char* hwaddr, const char* new_org,
                                     const char* old_hwaddr, const char* old_org) {
    // A termination signal meant for the daemon must simply end this child:
    // the daemon's own handling would make it behave like the daemon.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(SIGTERM, &default_action, nullptr);
    sigaction(SIGINT, &default_action, nullptr);
    // The command starts with SIGCHLD ignored, as it always has; the
    // daemon's own handler only counts its children.
    struct sigaction ignore_action {};
    ignore_action.sa_handler = SIG_IGN;
    sigemptyset(&ignore_action.sa_mask);
    sigaction(SIGCHLD, &ignore_action, nullptr);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    // The limit the daemon was started with, not the one it raised.
    rlimit limit{};
    if (open_files != 0 && getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = open_files;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    // What kind of change, beside the arguments every script already reads.
    setenv("PELORIN_EVENT", event_name(event), 1);
    if (stands_for > 0) {
        char count[sizeof "-2147483648"];
        std::snprintf(count, sizeof count, "%d", stands_for);
        setenv("PELORIN_SUPPRESSED", count, 1);
    } else {
        unsetenv("PELORIN_SUPPRESSED");
    }

    sleep(1);
    char host_name[kHostNameSize];
    host_name_of(family, addr, host_name, sizeof host_name);

    char* argv[] = {const_cast<char*>(command),
                    const_cast<char*>(date_time),
                    const_cast<char*>(database_name),
                    host_name,
                    const_cast<char*>(ipaddr),
                    const_cast<char*>(hwaddr),
                    const_cast<char*>(new_org),
                    const_cast<char*>(old_hwaddr),
                    const_cast<char*>(old_org),
                    nullptr};
    keep_descriptors_from_command();
    execv(command, argv);
    diag_warn("execv failed: %s\n", std::strerror(errno));
    _exit(1);
}

}  // namespace

void Notifier::start(const Job& job) {
    // Termination signals stay blocked across the fork until the child has
    // put back their default actions, so none can reach the daemon's handler
    // inside the child.
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &previous);
    const pid_t pid = fork();
    if (pid == 0) {
        run_notify_command(command_, limits_.command_open_files, job.event, job.stands_for,
                           previous, job.family, job.addr.data(), job.date_time, job.database_name,
                           job.ipaddr, job.hwaddr, job.new_org, job.old_hwaddr, job.old_org);
    }
    const int fork_errno = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        diag_warn("fork failed: %s\n", std::strerror(fork_errno));
        ++counters_.failed;
    } else {
        ++running_;
        ++counters_.started;
    }
}

// At most one warning a second, however fast the queue overflows.
void Notifier::report_drops() {
    if (dropped_ == 0) return;
    const std::time_t now = std::time(nullptr);
    if (now - last_drop_warning_ < 1) return;
    diag_warn("notify queue full: dropped %lu notifications\n", dropped_);
    dropped_ = 0;
    last_drop_warning_ = now;
}

void format_capture_time(std::int64_t sec, char* out, std::size_t size) {
    const std::time_t t = static_cast<std::time_t>(sec);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        copy_bounded(out, kUnknownDateTime, size);
        return;
    }
    // Widened: a year near the int limit must not overflow when 1900 is added.
    std::snprintf(out, size, "%04lld-%02d-%02d %02d:%02d:%02d",
                  static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
}

Notifier::Notifier(const char* command, VendorDb* vendor, NotifyLimits limits)
    : command_(command), vendor_(vendor), limits_(limits) {}

void Notifier::follow_vendor_replacement() {
    // Only a notify command makes the daemon read the vendor tables.
    if (command_ != nullptr && vendor_ != nullptr) vendor_->follow_replacement();
}

void Notifier::log_change(const BindingObservation& observation, const char* old_hwaddr) {
    diag_warn("IP address %s changed from %s to %s\n", observation.ipaddr(), old_hwaddr,
              observation.hwaddr);
}

void Notifier::start_command(const char* database_name, const BindingObservation& observation,
                             const char* old_hwaddr, ChangeEvent event, int stands_for) {
    if (command_ == nullptr) return;
    const char* hwaddr = observation.hwaddr;
    Job job;
    job.family = observation.family;
    job.addr = observation.addr;
    job.event = event;
    job.stands_for = stands_for;
    format_capture_time(observation.ts.sec, job.date_time, sizeof job.date_time);
    copy_bounded(job.database_name, database_name, sizeof job.database_name);
    copy_bounded(job.ipaddr, observation.ipaddr(), sizeof job.ipaddr);
    copy_bounded(job.hwaddr, hwaddr, sizeof job.hwaddr);
    copy_bounded(job.old_hwaddr, old_hwaddr, sizeof job.old_hwaddr);
    copy_bounded(job.new_org, kPlaceholderNone, sizeof job.new_org);
    copy_bounded(job.old_org, kPlaceholderNone, sizeof job.old_org);
    // A text starting with "(" is a placeholder, not an address.
    if (vendor_ != nullptr && hwaddr[0] != '(') vendor_->lookup(hwaddr, job.new_org);
    if (vendor_ != nullptr && old_hwaddr[0] != '(') vendor_->lookup(old_hwaddr, job.old_org);

    if (running_ < limits_.children && queued_.empty()) {
        start(job);
    } else if (queued_.size() < limits_.queued) {
        queued_.push_back(job);
    } else {
        // The oldest waiting changes are kept: the first of a flood is the
        // one an administrator most needs to see.
        ++dropped_;
        ++counters_.dropped;
        report_drops();
    }
}

void Notifier::reap() {
    int status = 0;
    while (running_ > 0 && waitpid(-1, &status, WNOHANG) > 0) {
        --running_;
        // Not run at all (the child's execv failed, exit 1) or failed.
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++counters_.failed;
    }
    while (running_ < limits_.children && !queued_.empty()) {
        const std::size_t before = running_;
        start(queued_.front());
        queued_.pop_front();
        // A fork that failed has warned; the rest wait for the next turn.
        if (running_ == before) break;
    }
    report_drops();
}
