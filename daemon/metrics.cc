#include "metrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diag.h"
#include "notifier.h"
#include "sensor.h"
#include "watcher.h"

namespace {

constexpr const char* kVersion = PELORIN_VERSION;

// A label value as the format wants it: backslash, double quote and line
// feed escaped (an interface name may hold the first two).
std::string label(const char* value) {
    std::string out;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '"') out += '\\';
        if (*p == '\n') {
            out += "\\n";
            continue;
        }
        out += *p;
    }
    return out;
}

// One metric family: its HELP and TYPE lines, then each series.
class Family {
   public:
    Family(std::string& out, const char* name, const char* type, const char* help)
        : out_(out), name_(name) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    // labels: already formatted, such as interface="eth0".
    void sample(const std::string& labels, double value, const char* suffix = "") {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        out_ += name_;
        out_ += suffix;
        out_ += '{';
        out_ += labels;
        out_ += "} ";
        out_ += number;
        out_ += '\n';
    }
    void sample(const std::string& labels, std::uint64_t value) {
        char number[32];
        std::snprintf(number, sizeof number, "%" PRIu64, value);
        out_ += name_;
        out_ += '{';
        out_ += labels;
        out_ += "} ";
        out_ += number;
        out_ += '\n';
    }

   private:
    std::string& out_;
    const char* name_;
};

std::string interface_label(const char* name) { return "interface=\"" + label(name) + "\""; }

// One counter of every watcher, labelled with its database's name.
template <typename Value>
void per_database(std::string& out, const Sensor& sensor, const char* name, const char* help,
                  Value value) {
    Family family(out, name, "counter", help);
    sensor.each_watcher([&](const Watcher& w) {
        family.sample(interface_label(w.database_name()), static_cast<std::uint64_t>(value(w)));
    });
}

// Counters of every watcher written one after the other, in this order.
struct WatcherCounter {
    const char* name;
    const char* help;
    std::uint64_t Watcher::Counters::*member;
};
constexpr WatcherCounter kWatcherCounters[] = {
    {"pelorin_observations_total", "Bindings seen in frames that passed every check.",
     &Watcher::Counters::observations},
    {"pelorin_bindings_new_total", "IP addresses seen for the first time, recorded.",
     &Watcher::Counters::bindings_new},
    {"pelorin_bindings_changed_total",
     "IP addresses seen with another hardware address, recorded (flip-flops included).",
     &Watcher::Counters::bindings_changed},
    {"pelorin_bindings_flip_flops_total",
     "Changes back to the hardware address an IP address had just before.",
     &Watcher::Counters::flip_flops},
    {"pelorin_bindings_refreshed_total", "Bindings whose last-seen time was refreshed.",
     &Watcher::Counters::bindings_refreshed},
    {"pelorin_rows_expired_total", "Rows deleted as not seen within the retention period.",
     &Watcher::Counters::rows_expired},
    {"pelorin_batches_committed_total", "Transactions of writes committed.",
     &Watcher::Counters::batches_committed},
};

}  // namespace

MetricsFile::MetricsFile(const char* directory, const char* interface_name)
    : directory_(directory),
      interface_name_(interface_name),
      start_time_(static_cast<std::int64_t>(std::time(nullptr))) {
    if (directory == nullptr) return;
    path_ = std::string(directory) + "/pelorin-" + interface_name + ".prom";
    // Not ending in .prom: the collector never reads a file half written.
    temporary_ = std::string(directory) + "/.pelorin-" + interface_name + ".prom.tmp";
}

std::string MetricsFile::render(const Sensor& sensor, const Notifier& notifier, pcap_t* capture,
                                bool up) const {
    const std::string interface = interface_label(interface_name_);
    std::string out;
    Family(out, "pelorin_up", "gauge", "Whether the watcher is running (1) or has stopped (0).")
        .sample(interface, static_cast<std::uint64_t>(up ? 1 : 0));
    Family(out, "pelorin_build_info", "gauge", "The watcher's version, as a label.")
        .sample("version=\"" + label(kVersion) + "\"", static_cast<std::uint64_t>(1));
    Family(out, "pelorin_start_time_seconds", "gauge",
           "When the watcher started, in seconds since 1970.")
        .sample(interface, static_cast<double>(start_time_));

    per_database(out, sensor, "pelorin_frames_total", "Frames the capture delivered, by database.",
                 [](const Watcher& w) { return w.counters().frames; });
    const Sensor::Counters& sensed = sensor.counters();
    {
        Family family(out, "pelorin_frames_rejected_total", "counter",
                      "Frames refused by a check, by reason.");
        for (std::size_t r = 1; r < kRejectionNames.size(); ++r) {
            family.sample(interface + ",reason=\"" + kRejectionNames[r] + "\"", sensed.rejected[r]);
        }
    }
    Family(out, "pelorin_frames_truncated_total", "counter",
           "Neighbor Discovery frames cut short by the capture length.")
        .sample(interface, sensed.truncated);
    {
        Family family(out, "pelorin_frames_unwatched_total", "counter",
                      "Frames of VLANs not watched, by reason.");
        family.sample(interface + ",reason=\"not_listed\"", sensed.not_listed);
        family.sample(interface + ",reason=\"held_elsewhere\"", sensed.held_elsewhere);
        family.sample(interface + ",reason=\"past_limit\"", sensed.past_limit);
    }
    for (const WatcherCounter& counter : kWatcherCounters) {
        per_database(out, sensor, counter.name, counter.help,
                     [&](const Watcher& w) { return w.counters().*counter.member; });
    }
    {
        Family family(out, "pelorin_commit_duration_seconds", "summary",
                      "Time the commits of the writes took.");
        sensor.each_watcher([&](const Watcher& w) {
            const std::string labels = interface_label(w.database_name());
            family.sample(labels, w.counters().commit_seconds, "_sum");
            family.sample(labels, static_cast<double>(w.counters().batches_committed), "_count");
        });
    }
    {
        pcap_stat stats{};
        const bool counted = capture != nullptr && pcap_stats(capture, &stats) == 0;
        Family family(out, "pelorin_capture_dropped_frames_total", "counter",
                      "Frames dropped before the watcher could read them, by where.");
        family.sample(interface + ",where=\"kernel\"",
                      static_cast<std::uint64_t>(counted ? stats.ps_drop : 0));
        family.sample(interface + ",where=\"interface\"",
                      static_cast<std::uint64_t>(counted ? stats.ps_ifdrop : 0));
    }
    const Notifier::Counters& notified = notifier.counters();
    Family(out, "pelorin_notify_commands_started_total", "counter", "Notify commands started.")
        .sample(interface, notified.started);
    Family(out, "pelorin_notify_commands_failed_total", "counter",
           "Notify commands that could not be run or exited with another status than 0.")
        .sample(interface, notified.failed);
    Family(out, "pelorin_notify_commands_dropped_total", "counter",
           "Changes that got no notify command because the queue was full.")
        .sample(interface, notified.dropped);
    per_database(out, sensor, "pelorin_notify_suppressed_total",
                 "Flip-flops logged but held back from the notify command by damping.",
                 [](const Watcher& w) { return w.counters().notify_suppressed; });
    Family(out, "pelorin_notify_commands_running", "gauge", "Notify commands running now.")
        .sample(interface, static_cast<std::uint64_t>(notifier.running()));
    Family(out, "pelorin_notify_jobs_queued", "gauge",
           "Changes waiting for a notify command to end.")
        .sample(interface, static_cast<std::uint64_t>(notifier.queued()));
    per_database(out, sensor, "pelorin_cache_hits_total",
                 "Sightings decided from the bindings kept in memory.",
                 [](const Watcher& w) { return w.counters().cache_hits; });
    per_database(out, sensor, "pelorin_cache_misses_total", "Sightings decided from the database.",
                 [](const Watcher& w) { return w.counters().cache_misses; });
    per_database(out, sensor, "pelorin_cache_clears_total",
                 "Times the bindings kept in memory were thrown away.",
                 [](const Watcher& w) { return w.cache_clears(); });
    {
        Family family(out, "pelorin_last_frame_timestamp_seconds", "gauge",
                      "Capture time of the newest frame, in seconds since 1970 (0: none yet).");
        sensor.each_watcher([&](const Watcher& w) {
            const CaptureTime& t = w.counters().newest_frame;
            family.sample(interface_label(w.database_name()),
                          static_cast<double>(t.sec) + static_cast<double>(t.usec) / 1e6);
        });
    }
    return out;
}

bool MetricsFile::write(const Sensor& sensor, const Notifier& notifier, pcap_t* capture, bool up) {
    if (directory_ == nullptr) return true;
    next_write_ = Clock::now() + std::chrono::seconds(kMetricsIntervalSeconds);
    const std::string text = render(sensor, notifier, capture, up);
    const int fd = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            close(fd);
            unlink(temporary_.c_str());
            errno = error;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0 || std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        unlink(temporary_.c_str());
        errno = error;
        return false;
    }
    return true;
}

void MetricsFile::write_first(const Sensor& sensor, const Notifier& notifier, pcap_t* capture) {
    if (!write(sensor, notifier, capture, true)) {
        diag_fatal("metrics file %s cannot be written: %s\n", path_.c_str(), std::strerror(errno));
    }
}

void MetricsFile::write_if_due(const Sensor& sensor, const Notifier& notifier, pcap_t* capture) {
    if (directory_ == nullptr || Clock::now() < next_write_) return;
    if (write(sensor, notifier, capture, true)) {
        failing_ = false;
    } else if (!failing_) {
        // Once, until it works again: every 15 seconds would flood the log.
        failing_ = true;
        diag_warn("metrics file %s cannot be written: %s\n", path_.c_str(), std::strerror(errno));
    }
}

void MetricsFile::write_last(const Sensor& sensor, const Notifier& notifier, pcap_t* capture) {
    if (directory_ != nullptr && !write(sensor, notifier, capture, false)) {
        diag_warn("metrics file %s cannot be written: %s\n", path_.c_str(), std::strerror(errno));
    }
}

int MetricsFile::wait_ms() const {
    if (directory_ == nullptr) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(next_write_ - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}
