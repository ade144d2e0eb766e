// Announces new and changed bindings: always as a warning, and, when a
// notify command is configured, by starting that command in a child process
// with the change's details as its eight arguments. At most a bounded number
// of commands run at once; the rest wait in a bounded queue, and what
// overflows it is dropped with a warning.
#pragma once

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>

#include "damping.h"
#include "observation.h"
#include "vendor_db.h"

// date_time when the capture second cannot be converted to local time.
constexpr char kUnknownDateTime[] = "0000-00-00 00:00:00";

// Local date and time of the capture second, "%04d-%02d-%02d %02d:%02d:%02d",
// or kUnknownDateTime. REQUIRES: size >= sizeof kUnknownDateTime.
void format_capture_time(std::int64_t sec, char* out, std::size_t size);

// Longest database base name an announcement carries: an interface name
// and two VLAN ids.
constexpr std::size_t kDatabaseNameSize = 64;

struct NotifyLimits {
    // Commands running at once.
    std::size_t children = 32;
    // Jobs waiting for a place; more are dropped, with a warning at most
    // once a second that counts them.
    std::size_t queued = 65536;
    // The commands' soft limit of open files, when the daemon raised its
    // own for a trunk's many databases; 0 leaves the daemon's.
    rlim_t command_open_files = 0;
};

class Notifier {
   public:
    // command nullptr: changes are only logged, and nothing is looked up.
    // REQUIRES: vendor (needed only with a command) outlives the notifier.
    Notifier(const char* command, VendorDb* vendor, NotifyLimits limits = {});
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Before a run of announcements: follows a vendor database that the
    // updater replaced, so that the look-ups read the new file.
    void follow_vendor_replacement();

    // Warns "IP address %s changed from %s to %s\n". old_hwaddr is
    // "(none)" for a first sighting.
    void log_change(const BindingObservation& observation, const char* old_hwaddr);
    // With a command: looks up both organisations and starts the command in
    // a child (or queues it), and returns. database_name is the interface
    // argument the command gets; event goes into PELORIN_EVENT, and
    // PELORIN_SUPPRESSED tells how many held-back changes it stands for,
    // when it stands for any.
    void start_command(const char* database_name, const BindingObservation& observation,
                       const char* old_hwaddr, ChangeEvent event, int stands_for);
    bool has_command() const { return command_ != nullptr; }
    // Both, for a change that is not held back.
    void change(const char* database_name, const BindingObservation& observation,
                const char* old_hwaddr, ChangeEvent event = ChangeEvent::kChanged) {
        log_change(observation, old_hwaddr);
        start_command(database_name, observation, old_hwaddr, event, 0);
    }

    // Collects the children that have ended (without waiting) and starts
    // queued commands in their places. The capture loop calls it after every
    // dispatch; SIGCHLD wakes the loop for it.
    void reap();

    // Notify commands running now, and jobs waiting for a place.
    std::size_t running() const { return running_; }
    std::size_t queued() const { return queued_.size(); }

    // Since start: commands started; those that could not be run or exited
    // other than with status 0; jobs dropped on a full queue.
    struct Counters {
        std::uint64_t started = 0;
        std::uint64_t failed = 0;
        std::uint64_t dropped = 0;
    };
    const Counters& counters() const { return counters_; }

   private:
    // One notify command waiting for a free place, with every argument
    // already resolved: the child needs no database.
    struct Job {
        int family;
        std::array<unsigned char, 16> addr;
        char date_time[71];
        char database_name[kDatabaseNameSize];
        char ipaddr[INET6_ADDRSTRLEN];
        char hwaddr[kHwTextSize];
        char new_org[kOrganisationSize];
        char old_hwaddr[kHwTextSize];
        char old_org[kOrganisationSize];
        ChangeEvent event;
        int stands_for;
    };

    void start(const Job& job);
    void report_drops();

    const char* command_;
    VendorDb* vendor_;
    NotifyLimits limits_;
    std::size_t running_ = 0;
    std::deque<Job> queued_;
    unsigned long dropped_ = 0;  // since the last warning
    std::time_t last_drop_warning_ = 0;
    Counters counters_;
};
