#include "interface_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "store.h"

namespace {

// Room for the directory and interface name that passed the path check,
// plus the longest name formed here.
constexpr std::size_t kPathSize = kDbPathSize + 32;

flock whole_file(short type) {
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

[[noreturn]] void in_use(pid_t holder, const char* interface_name) {
    char database[kPathSize];
    std::snprintf(database, sizeof database, "%s/%s.sqlite", library_directory, interface_name);
    diag_fatal("interface database %s is in use by process %d\n", database,
               static_cast<int>(holder));
}

// True when another process holds the lock; holder is its id (0 when it
// lives in another pid namespace).
bool locked_by_other(int fd, pid_t* holder) {
    flock probe = whole_file(F_WRLCK);
    if (fcntl(fd, F_GETLK, &probe) != 0) {
        diag_fatal("lock of interface database failed: %s\n", std::strerror(errno));
    }
    *holder = probe.l_pid;
    return probe.l_type != F_UNLCK;
}

}  // namespace

void check_library_directory() {
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s/.pelorin-probe-XXXXXX", library_directory);
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0 || unlink(path) != 0) {
        const int error = errno;
        diag_fatal("library directory %s is not writable: %s\n", library_directory,
                   std::strerror(error));
    }
    close(fd);
}

int open_interface_lock(const char* interface_name) {
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s/%s.lock", library_directory, interface_name);
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) diag_fatal("create/open of lock file %s failed: %s\n", path, std::strerror(errno));
    return fd;
}

void refuse_if_locked(int fd, const char* interface_name) {
    pid_t holder = 0;
    if (locked_by_other(fd, &holder)) in_use(holder, interface_name);
}

void hold_interface_lock(int fd, const char* interface_name) {
    flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_SETLK, &lock) == 0) return;
    if (errno != EACCES && errno != EAGAIN) {
        diag_fatal("lock of interface database failed: %s\n", std::strerror(errno));
    }
    pid_t holder = 0;
    // Released between the two calls: free to take now.
    if (!locked_by_other(fd, &holder) && fcntl(fd, F_SETLK, &lock) == 0) return;
    in_use(holder, interface_name);
}
