#include "vendor_replace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag.h"

namespace {

// Room for the longest name formed below after a directory that passed the
// path check (1007 bytes): "/ma_db.sqlite-journal" and its terminator.
constexpr std::size_t kPathSize = kDbPathSize + 32;

// Static: the signal handler and the exit handler read them.
char temporary_path[kPathSize];
char temporary_journal[kPathSize];
char vendor_path[kPathSize];
char vendor_journal[kPathSize];
volatile std::sig_atomic_t committed = 0;

constexpr int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

void remove_temporary() {
    if (committed != 0) return;
    unlink(temporary_path);
    unlink(temporary_journal);
}

// Async-signal-safe only: unlink, sigaction, sigprocmask, raise. The signal
// then takes its default action, so whoever sent it sees the usual end.
void remove_temporary_on_signal(int signal_number) {
    remove_temporary();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signal_number);
}

void remove_stale(const char* path) {
    if (unlink(path) != 0 && errno != ENOENT) {
        diag_fatal("failed to remove %s: %s\n", path, std::strerror(errno));
    }
}

void sync_path(const char* path, int flags) {
    const int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) diag_fatal("sync of %s failed: %s\n", path, std::strerror(errno));
    close(fd);
}

}  // namespace

const char* replacement_prepare(const LibraryDir& library) {
    const char* library_directory = library.path();
    std::snprintf(temporary_path, sizeof temporary_path, "%s/%s", library_directory,
                  kVendorTemporaryName);
    std::snprintf(temporary_journal, sizeof temporary_journal, "%s-journal", temporary_path);
    std::snprintf(vendor_path, sizeof vendor_path, "%s/%s.sqlite", library_directory,
                  kVendorBaseName);
    std::snprintf(vendor_journal, sizeof vendor_journal, "%s-journal", vendor_path);

    // Two runs at once (the timer's and one by hand) would share the
    // temporary file, and one could put the other's half-built file in
    // place. The directory's lock, held until the process ends, makes the
    // later run wait: a rebuild takes about a second.
    const int directory = open(library_directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int locked = -1;
    if (directory >= 0) {
        while ((locked = flock(directory, LOCK_EX)) != 0 && errno == EINTR) {
        }
    }
    if (locked != 0) diag_fatal("lock of %s failed: %s\n", library_directory, std::strerror(errno));

    // A run killed outright could not clean up after itself.
    remove_stale(temporary_journal);
    remove_stale(temporary_path);

    static bool handlers_installed = false;
    if (!handlers_installed) {
        std::atexit(remove_temporary);
        struct sigaction action {};
        action.sa_handler = remove_temporary_on_signal;
        sigemptyset(&action.sa_mask);
        for (int signal_number : kCleanupSignals) sigaddset(&action.sa_mask, signal_number);
        for (int signal_number : kCleanupSignals) sigaction(signal_number, &action, nullptr);
        handlers_installed = true;
    }
    committed = 0;
    return temporary_path;
}

void replacement_commit(const LibraryDir& library) {
    const char* library_directory = library.path();
    const int fd = open(temporary_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) diag_fatal("sync of %s failed: %s\n", temporary_path, std::strerror(errno));
    // Whoever may read the old file may read the new one: an administrator's
    // group or mode survives the weekly run. Only root may give a file away;
    // anyone else keeps their own ownership.
    struct stat old {};
    if (stat(vendor_path, &old) == 0) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
            diag_fatal("failed to change owner of %s: %s\n", temporary_path, std::strerror(errno));
        }
        if (fchmod(fd, old.st_mode & 07777) != 0) {
            diag_fatal("failed to change mode of %s: %s\n", temporary_path, std::strerror(errno));
        }
    }
    // The content must be on disk before any name points at it.
    if (fsync(fd) != 0) diag_fatal("sync of %s failed: %s\n", temporary_path, std::strerror(errno));
    close(fd);

    // Gone for good before the rename, so that it can never meet the new
    // file under the name it belongs to.
    remove_stale(vendor_journal);
    sync_path(library_directory, O_RDONLY | O_DIRECTORY);

    if (std::rename(temporary_path, vendor_path) != 0) {
        diag_fatal("failed to rename %s to %s: %s\n", temporary_path, vendor_path,
                   std::strerror(errno));
    }
    committed = 1;
    sync_path(library_directory, O_RDONLY | O_DIRECTORY);
}
