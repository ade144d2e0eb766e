#include "interface_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "diag.h"

namespace {

flock whole_file(short type) {
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
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

void check_library_directory(const LibraryDir& library) {
    std::string path = library.file(".pelorin-probe-XXXXXX", "");
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0 || unlink(path.c_str()) != 0) {
        const int error = errno;
        diag_fatal("library directory %s is not writable: %s\n", library.path(),
                   std::strerror(error));
    }
    close(fd);
}

InterfaceLock::InterfaceLock(const LibraryDir& library, const char* database_name)
    : database_(library.file(database_name)) {
    const std::string path = library.file(database_name, ".lock");
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        diag_fatal("create/open of lock file %s failed: %s\n", path.c_str(), std::strerror(errno));
    }
}

InterfaceLock::~InterfaceLock() {
    if (fd_ >= 0) close(fd_);
}

void InterfaceLock::in_use(pid_t holder) const {
    diag_fatal("interface database %s is in use by process %d\n", database_.c_str(),
               static_cast<int>(holder));
}

void InterfaceLock::refuse_if_held() const {
    pid_t holder = 0;
    if (locked_by_other(fd_, &holder)) in_use(holder);
}

void InterfaceLock::hold() {
    flock lock = whole_file(F_WRLCK);
    if (fcntl(fd_, F_SETLK, &lock) == 0) return;
    if (errno != EACCES && errno != EAGAIN) {
        diag_fatal("lock of interface database failed: %s\n", std::strerror(errno));
    }
    pid_t holder = 0;
    // Released between the two calls: free to take now.
    if (!locked_by_other(fd_, &holder) && fcntl(fd_, F_SETLK, &lock) == 0) return;
    in_use(holder);
}

std::unique_ptr<InterfaceLock> InterfaceLock::try_hold(const LibraryDir& library,
                                                       const char* database_name, pid_t* holder) {
    *holder = -1;
    std::unique_ptr<InterfaceLock> lock(new InterfaceLock);
    lock->database_ = library.file(database_name);
    const std::string path = library.file(database_name, ".lock");
    lock->fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock->fd_ < 0) {
        diag_warn("create/open of lock file %s failed: %s\n", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    flock take = whole_file(F_WRLCK);
    if (fcntl(lock->fd_, F_SETLK, &take) == 0) return lock;
    if (errno != EACCES && errno != EAGAIN) {
        diag_warn("lock of interface database failed: %s\n", std::strerror(errno));
        return nullptr;
    }
    flock probe = whole_file(F_WRLCK);
    if (fcntl(lock->fd_, F_GETLK, &probe) != 0) {
        diag_warn("lock of interface database failed: %s\n", std::strerror(errno));
        return nullptr;
    }
    // Released between the two calls: free to take now.
    if (probe.l_type == F_UNLCK && fcntl(lock->fd_, F_SETLK, &take) == 0) return lock;
    *holder = probe.l_pid;
    return nullptr;
}

const std::string& InterfaceLock::database() const { return database_; }
