#include "daemon_main.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "capabilities.h"
#include "capture.h"
#include "diag.h"
#include "interface_db.h"
#include "interface_lock.h"
#include "lifecycle.h"
#include "metrics.h"
#include "notifier.h"
#include "pid_file.h"
#include "sensor.h"
#include "settings.h"
#include "vendor_db.h"

namespace {

// What one VLAN database may hold open at once: the database, its journal
// during a write, and its lock file.
constexpr rlim_t kDescriptorsPerVlan = 3;
// The interface's own files, the capture, the vendor database, standard
// streams and the like.
constexpr rlim_t kDescriptorsBesides = 64;

// A trunk's databases need descriptors: raises the soft limit to the hard
// one, and refuses to start when even that cannot hold them all. Returns
// the soft limit the daemon was started with, for the notify commands.
rlim_t raise_descriptor_limit(int vlan_databases) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        diag_fatal("getrlimit of open files failed: %s\n", std::strerror(errno));
    }
    const rlim_t started_with = limit.rlim_cur;
    const rlim_t needed =
        kDescriptorsPerVlan * static_cast<rlim_t>(vlan_databases) + kDescriptorsBesides;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        diag_fatal(
            "open files limit %llu cannot hold %d VLAN databases: %llu needed (raise the hard "
            "limit, or lower -T)\n",
            static_cast<unsigned long long>(limit.rlim_max), vlan_databases,
            static_cast<unsigned long long>(needed));
    }
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        diag_fatal("setrlimit of open files failed: %s\n", std::strerror(errno));
    }
    return started_with;
}

}  // namespace

int run_daemon(int argc, char** argv, const WatcherLimits& limits) {
    const DaemonSettings settings = parse_options(argc, argv);
    const LibraryDir& library = settings.library;
    library.check(settings.interface_name, kInterfacePathSlack);
    // Every VLAN database's path is checked now, at its longest.
    if (settings.vlan_tags) {
        library.check((std::string(settings.interface_name) + ".4094.4094").c_str(),
                      kInterfacePathSlack);
    }

    // Opened while the set-id privileges may still be needed for it. On a
    // trunk libpcap puts the tags back after cutting the frame to the snap
    // length, so the payload gets the snap length it would get untagged.
    const Capture capture(
        open_capture(settings.interface_name,
                     settings.vlan_tags ? settings.snaplen + kVlanTagsLength : settings.snaplen,
                     settings.promiscuous));
    drop_privileges();

    NotifyLimits notify_limits;
    if (settings.vlan_tags) {
        notify_limits.command_open_files = raise_descriptor_limit(settings.max_vlan_databases);
    }
    InterfaceDb database(library, settings.interface_name, OpenMode::write);
    // SQLite creates its journal beside the database: without a writable
    // directory every insert would fail while the daemon looked healthy.
    check_library_directory(library);
    InterfaceLock lock(library, settings.interface_name);
    // It refuses to start until the updater has built the vendor database.
    // One connection serves every VLAN's look-ups.
    VendorDb vendor = VendorDb::attach(library);
    Notifier notifier(settings.notify_command, &vendor, notify_limits);
    WatcherLimits watcher_limits = limits;
    watcher_limits.on_trunk = settings.vlan_tags;
    Watcher watcher(settings, settings.interface_name, std::move(database), notifier,
                    watcher_limits);
    Sensor sensor(settings, watcher, notifier, watcher_limits);
    // Refused now, while the starting command can still hear of it.
    MetricsFile metrics(settings.metrics_directory, settings.interface_name);
    if (metrics.enabled()) metrics.write_first(sensor, notifier, capture.get());

    install_signal_handlers(capture.get());
    // A termination signal is acted on at each step from here on, so one
    // that arrives before the capture loop starts still ends the daemon.
    PidFile no_pid_file;
    exit_if_signalled(no_pid_file);
    PidFile pid_file = settings.pid_file != nullptr ? PidFile(settings.pid_file) : PidFile();
    // After the pid file, so that a second start with the same pid file is
    // still refused by it; before detaching, so the refusal is seen.
    lock.refuse_if_held();
    exit_if_signalled(pid_file);
    if (settings.foreground == 0) daemonize();
    lock.hold();
    pid_file.write();
    exit_if_signalled(pid_file);

    install_filter(capture.get(), settings.user_filter, settings.vlan_tags);
    // Nothing from here on needs a privilege.
    give_up_capabilities();
    const int ended = run_capture(capture.get(), sensor, notifier, &metrics);
    sensor.finish();
    // Every batch is committed and announced by now; the metrics tell that
    // the watcher has stopped, as opposed to a quiet segment.
    metrics.write_last(sensor, notifier, capture.get());
    report_capture_drops(capture.get());
    exit_if_signalled(pid_file);
    // A vanished interface must not look like an orderly stop: a service
    // manager restarts only a daemon that failed.
    if (ended == PCAP_ERROR) diag_fatal("capture ended: %s\n", pcap_geterr(capture.get()));
    return 0;
}
