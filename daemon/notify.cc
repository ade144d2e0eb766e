#include "notify.h"

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

#include "capabilities.h"
#include "diag.h"
#include "names.h"
#include "settings.h"

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
[[noreturn]] void run_notify_command(const sigset_t& mask, int family, const unsigned char* addr,
                                     const char* date_time, const char* ipaddr, const char* hwaddr,
                                     const char* new_org, const char* old_hwaddr,
                                     const char* old_org) {
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
    if (!drop_capabilities()) {
        diag_warn("dropping capabilities failed: %s\n", std::strerror(errno));
        _exit(1);
    }

    sleep(1);
    char host_name[kHostNameSize];
    host_name_of(family, addr, host_name, sizeof host_name);

    char* argv[] = {const_cast<char*>(settings.notify_command),
                    const_cast<char*>(date_time),
                    const_cast<char*>(settings.interface_name),
                    host_name,
                    const_cast<char*>(ipaddr),
                    const_cast<char*>(hwaddr),
                    const_cast<char*>(new_org),
                    const_cast<char*>(old_hwaddr),
                    const_cast<char*>(old_org),
                    nullptr};
    keep_descriptors_from_command();
    execv(settings.notify_command, argv);
    diag_warn("execv failed: %s\n", std::strerror(errno));
    _exit(1);
}

// One notify command waiting for a free place, with every argument already
// resolved: the child needs no database.
struct NotifyJob {
    int family;
    std::array<unsigned char, 16> addr;
    char date_time[71];
    char ipaddr[INET6_ADDRSTRLEN];
    char hwaddr[kHwTextSize];
    char new_org[kOrganisationSize];
    char old_hwaddr[kHwTextSize];
    char old_org[kOrganisationSize];
};

std::size_t max_children = kMaxNotifyChildren;
std::size_t max_queued = kMaxQueuedNotifications;
std::size_t running = 0;
std::deque<NotifyJob> queued;
unsigned long dropped = 0;  // since the last warning
std::time_t last_drop_warning = 0;

void start(const NotifyJob& job) {
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
        run_notify_command(previous, job.family, job.addr.data(), job.date_time, job.ipaddr,
                           job.hwaddr, job.new_org, job.old_hwaddr, job.old_org);
    }
    const int fork_errno = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        diag_warn("fork failed: %s\n", std::strerror(fork_errno));
    } else {
        ++running;
    }
}

// At most one warning a second, however fast the queue overflows.
void report_drops() {
    if (dropped == 0) return;
    const std::time_t now = std::time(nullptr);
    if (now - last_drop_warning < 1) return;
    diag_warn("notify queue full: dropped %lu notifications\n", dropped);
    dropped = 0;
    last_drop_warning = now;
}

}  // namespace

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

void notify_change(sqlite3* db, const CaptureTime& ts, int family, const unsigned char* addr,
                   const char* ipaddr, const char* hwaddr, const char* old_hwaddr) {
    diag_warn("IP address %s changed from %s to %s\n", ipaddr, old_hwaddr, hwaddr);
    if (settings.notify_command == nullptr) return;

    char date_time[71];
    format_capture_time(ts.sec, date_time, sizeof date_time);

    char new_org[kOrganisationSize];
    char old_org[kOrganisationSize];
    copy_bounded(new_org, kPlaceholderNone, sizeof new_org);
    copy_bounded(old_org, kPlaceholderNone, sizeof old_org);
    // A text starting with "(" is a placeholder, not an address.
    if (hwaddr[0] != '(') vendor_lookup(db, hwaddr, new_org);
    if (old_hwaddr[0] != '(') vendor_lookup(db, old_hwaddr, old_org);

    NotifyJob job;
    job.family = family;
    std::memcpy(job.addr.data(), addr, family == AF_INET6 ? 16 : 4);
    copy_bounded(job.date_time, date_time, sizeof job.date_time);
    copy_bounded(job.ipaddr, ipaddr, sizeof job.ipaddr);
    copy_bounded(job.hwaddr, hwaddr, sizeof job.hwaddr);
    copy_bounded(job.new_org, new_org, sizeof job.new_org);
    copy_bounded(job.old_hwaddr, old_hwaddr, sizeof job.old_hwaddr);
    copy_bounded(job.old_org, old_org, sizeof job.old_org);
    if (running < max_children && queued.empty()) {
        start(job);
    } else if (queued.size() < max_queued) {
        queued.push_back(job);
    } else {
        // The oldest waiting changes are kept: the first of a flood is the
        // one an administrator most needs to see.
        ++dropped;
        report_drops();
    }
}

void notify_reap() {
    while (running > 0 && waitpid(-1, nullptr, WNOHANG) > 0) --running;
    while (running < max_children && !queued.empty()) {
        const std::size_t before = running;
        start(queued.front());
        queued.pop_front();
        // A fork that failed has warned; the rest wait for the next turn.
        if (running == before) break;
    }
    report_drops();
}

std::size_t notify_children() { return running; }

void notify_set_limits(std::size_t children, std::size_t queue) {
    max_children = children;
    max_queued = queue;
}
