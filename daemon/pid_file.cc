#include "pid_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag.h"

namespace {

int claim(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            diag_fatal("lock of pid file %s failed: %s\n", path, std::strerror(errno));
        }
        return fd;
    }

    fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) diag_fatal("create/open of pid file %s failed: %s\n", path, std::strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        diag_fatal("pid file %s is in use by another process\n", path);
    }

    char text[64];
    const ssize_t n = read(fd, text, sizeof text - 1);
    if (n > 0) {
        text[n] = '\0';
        errno = 0;
        const long value = std::strtol(text, nullptr, 10);
        // A number beyond the range of process ids names no process; cutting
        // it to 32 bits could make it name an unrelated one.
        const bool in_range = errno != ERANGE && value > 0 && value <= INT32_MAX;
        const auto pid = static_cast<pid_t>(in_range ? value : 0);
        if (pid > 0 && kill(pid, 0) == 0) {
            diag_fatal("pid file %s is in use by process %u\n", path, static_cast<unsigned>(pid));
        }
    }
    // Stale: the owner is gone, or the file never held a usable id.
    lseek(fd, 0, SEEK_SET);
    if (ftruncate(fd, 0) != 0) {
        diag_fatal("write of pid file %s failed: %s\n", path, std::strerror(errno));
    }
    return fd;
}

}  // namespace

PidFile::PidFile(const char* path) : path_(path), fd_(claim(path)) {}

PidFile::~PidFile() {
    if (fd_ >= 0) close(fd_);
}

void PidFile::write() {
    if (fd_ < 0) return;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(getpid()));
    if (::write(fd_, text, static_cast<std::size_t>(n)) < 0) {
        diag_fatal("write of pidfile %s failed: %s\n", path_, std::strerror(errno));
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) diag_fatal("close of pidfile %s failed: %s\n", path_, std::strerror(errno));
}

void PidFile::remove() const {
    if (path_ != nullptr) unlink(path_);
}
