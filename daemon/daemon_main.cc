#include "daemon_main.h"

#include "capabilities.h"
#include "capture.h"
#include "diag.h"
#include "interface_db.h"
#include "interface_lock.h"
#include "lifecycle.h"
#include "notifier.h"
#include "pid_file.h"
#include "settings.h"
#include "vendor_db.h"

int run_daemon(int argc, char** argv, const WatcherLimits& limits) {
    const DaemonSettings settings = parse_options(argc, argv);
    const LibraryDir& library = settings.library;
    library.check(settings.interface_name, kInterfacePathSlack);

    // Opened while the set-id privileges may still be needed for it.
    const Capture capture(open_capture(settings.interface_name, settings.snaplen,
                                       settings.promiscuous));
    drop_privileges();

    InterfaceDb database(library, settings.interface_name, OpenMode::write);
    // SQLite creates its journal beside the database: without a writable
    // directory every insert would fail while the daemon looked healthy.
    check_library_directory(library);
    InterfaceLock lock(library, settings.interface_name);
    // It refuses to start until the updater has built the vendor database.
    VendorDb vendor = VendorDb::attach(library);
    Notifier notifier(settings.notify_command, &vendor);
    Watcher watcher(settings, settings.interface_name, std::move(database), notifier, limits);

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

    install_filter(capture.get(), settings.user_filter);
    // Nothing from here on needs a privilege.
    give_up_capabilities();
    const int ended = run_capture(capture.get(), watcher, notifier);
    // Every batch is committed and announced by now.
    report_capture_drops(capture.get());
    exit_if_signalled(pid_file);
    // A vanished interface must not look like an orderly stop: a service
    // manager restarts only a daemon that failed.
    if (ended == PCAP_ERROR) diag_fatal("capture ended: %s\n", pcap_geterr(capture.get()));
    return 0;
}
