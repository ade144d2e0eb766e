// The watcher daemon: start-up in a fixed order (every failure up to the pid
// file claim is reported while still attached), then the capture loop.
#include "capture.h"
#include "diag.h"
#include "interface_lock.h"
#include "lifecycle.h"
#include "pid_file.h"
#include "settings.h"
#include "store.h"
#include "watcher.h"

int main(int argc, char** argv) {
    parse_options(argc, argv);
    store_check_path(settings.interface_name, kInterfacePathSlack);

    // Opened while the set-id privileges may still be needed for it.
    const Capture capture(open_capture(settings.interface_name, settings.snaplen,
                                       settings.promiscuous));
    drop_privileges();

    Watcher watcher(settings, Db(store_open_interface(settings.interface_name, kOpenWrite)));
    // SQLite creates its journal beside the database: without a writable
    // directory every insert would fail while the daemon looked healthy.
    check_library_directory();
    const int lock_fd = open_interface_lock(settings.interface_name);
    watcher.attach_vendor();
#ifdef PELORIN_BENCH_WITHOUT_CACHE
    // Only the benchmark's comparison build: every sighting read from disk.
    watcher.set_cache_enabled(false);
#endif

    install_signal_handlers(capture.get());
    // A termination signal is acted on at each step from here on, so one
    // that arrives before the capture loop starts still ends the daemon.
    exit_if_signalled();
    int pid_fd = -1;
    if (settings.pid_file != nullptr) pid_fd = claim_pid_file(settings.pid_file);
    // After the pid file, so that a second start with the same pid file is
    // still refused by it; before detaching, so the refusal is seen.
    refuse_if_locked(lock_fd, settings.interface_name);
    exit_if_signalled();
    if (settings.foreground == 0) daemonize();
    hold_interface_lock(lock_fd, settings.interface_name);
    if (settings.pid_file != nullptr) write_pid_file(pid_fd, settings.pid_file);
    exit_if_signalled();

    const int ended = run_capture(capture.get(), settings.user_filter, watcher);
    // Every batch is committed and announced by now.
    report_capture_drops(capture.get());
    exit_if_signalled();
    // A vanished interface must not look like an orderly stop: a service
    // manager restarts only a daemon that failed.
    if (ended == PCAP_ERROR) diag_fatal("capture ended: %s\n", pcap_geterr(capture.get()));
    return 0;
}
