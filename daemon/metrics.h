// The watcher's numbers, in the text format Prometheus reads, for
// node_exporter's textfile collector: a daemon without a web server hands
// its metrics over this way and opens no listening socket. The file
// pelorin-IFNAME.prom is rewritten every 15 seconds (also on a silent
// segment: a watcher gone deaf is what it must show) and at the end, then
// with pelorin_up 0. Each rewrite goes to a temporary name first and is
// renamed into place, so that a scrape never reads half a file.
#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <string>

class Notifier;
class Sensor;

class MetricsFile {
   public:
    using Clock = std::chrono::steady_clock;

    // directory nullptr: nothing is ever written. REQUIRES: both outlive
    // the object.
    MetricsFile(const char* directory, const char* interface_name);

    bool enabled() const { return directory_ != nullptr; }

    // The first file, at start-up: ends the process when it cannot be
    // written, while someone still watches the starting command.
    void write_first(const Sensor& sensor, const Notifier& notifier, pcap_t* capture);
    // Rewrites the file when its time has come.
    void write_if_due(const Sensor& sensor, const Notifier& notifier, pcap_t* capture);
    // The last file, telling that the watcher has stopped.
    void write_last(const Sensor& sensor, const Notifier& notifier, pcap_t* capture);
    // Milliseconds until the next rewrite; -1 when there is none.
    int wait_ms() const;

    // The whole text, for the tests.
    std::string render(const Sensor& sensor, const Notifier& notifier, pcap_t* capture,
                       bool up) const;

   private:
    // False, with errno set, when the file could not be written.
    bool write(const Sensor& sensor, const Notifier& notifier, pcap_t* capture, bool up);

    const char* directory_;
    const char* interface_name_;
    std::string path_;
    std::string temporary_;
    std::int64_t start_time_;
    Clock::time_point next_write_{};
    bool failing_ = false;  // warned once until a write works again
};
