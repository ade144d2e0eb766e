#include "output_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "library_dir.h"

namespace {

constexpr std::string_view kTemporaryPrefix = ".pelorin-html.tmp.";
constexpr const char* kLockName = ".pelorin-html.lock";

// The temporary file being written, removed when the run ends early: by a
// fatal error (through exit) or by a termination signal.
char pending_path[kDbPathSize * 2];

void remove_pending() {
    if (pending_path[0] != '\0') unlink(pending_path);
}

extern "C" void remove_pending_and_die(int signal_number) {
    remove_pending();  // unlink is async-signal-safe
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void install_cleanup() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    std::atexit(remove_pending);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) std::signal(s, remove_pending_and_die);
}

}  // namespace

OutputDirectory::OutputDirectory(std::string path) : path_(std::move(path)) {
    if (path_.size() + 64 >= sizeof pending_path) {
        diag_fatal("output directory %s: name too long\n", path_.c_str());
    }
    if (mkdir(path_.c_str(), 0755) != 0 && errno != EEXIST) {
        diag_fatal("output directory %s cannot be created: %s\n", path_.c_str(),
                   std::strerror(errno));
    }
    dir_fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) {
        diag_fatal("output directory %s cannot be opened: %s\n", path_.c_str(),
                   std::strerror(errno));
    }
    lock_fd_ = openat(dir_fd_, kLockName, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) {
        diag_fatal("output directory %s is not writable: %s\n", path_.c_str(),
                   std::strerror(errno));
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (fcntl(lock_fd_, F_SETLKW, &lock) != 0) {
        if (errno != EINTR) {
            diag_fatal("output directory %s cannot be locked: %s\n", path_.c_str(),
                       std::strerror(errno));
        }
    }
    install_cleanup();

    // Under the lock no other run is writing: whatever temporary file is
    // left was abandoned by a run that was killed.
    const int scan_fd = dup(dir_fd_);
    DIR* dir = scan_fd >= 0 ? fdopendir(scan_fd) : nullptr;
    if (dir == nullptr) {
        if (scan_fd >= 0) close(scan_fd);
        diag_fatal("output directory %s cannot be read: %s\n", path_.c_str(), std::strerror(errno));
    }
    // The descriptor is shared with dir_fd_, and so is its position.
    rewinddir(dir);
    while (const dirent* entry = readdir(dir)) {
        if (std::string_view(entry->d_name).starts_with(kTemporaryPrefix)) {
            unlinkat(dir_fd_, entry->d_name, 0);
        }
    }
    closedir(dir);
}

OutputDirectory::~OutputDirectory() {
    if (lock_fd_ >= 0) close(lock_fd_);
    if (dir_fd_ >= 0) close(dir_fd_);
}

void OutputDirectory::replace(const std::string& name, std::string_view content) {
    std::string temporary = path_ + "/" + std::string(kTemporaryPrefix) + "XXXXXX";
    copy_bounded(pending_path, temporary.c_str(), sizeof pending_path);
    const int fd = mkostemp(pending_path, O_CLOEXEC);
    if (fd < 0) {
        pending_path[0] = '\0';
        diag_fatal("cannot create a file in %s: %s\n", path_.c_str(), std::strerror(errno));
    }
    // mkostemp makes the file private; a page is for the web server to read.
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    for (std::size_t done = 0; ok && done < content.size();) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    const int saved_errno = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        diag_fatal("cannot write %s/%s: %s\n", path_.c_str(), name.c_str(),
                   std::strerror(saved_errno != 0 ? saved_errno : errno));
    }
    if (rename(pending_path, (path_ + "/" + name).c_str()) != 0) {
        diag_fatal("cannot replace %s/%s: %s\n", path_.c_str(), name.c_str(), std::strerror(errno));
    }
    pending_path[0] = '\0';
    written_.insert(name);
}

void OutputDirectory::finish(bool (*is_ours)(std::string_view name)) {
    const int scan_fd = dup(dir_fd_);
    DIR* dir = scan_fd >= 0 ? fdopendir(scan_fd) : nullptr;
    if (dir != nullptr) {
        rewinddir(dir);
        while (const dirent* entry = readdir(dir)) {
            if (is_ours(entry->d_name) && written_.count(entry->d_name) == 0) {
                if (unlinkat(dir_fd_, entry->d_name, 0) != 0) {
                    const std::string page = path_ + "/" + entry->d_name;
                    diag_warn("cannot remove the old page %s: %s\n", page.c_str(),
                              std::strerror(errno));
                }
            }
        }
        closedir(dir);
    } else if (scan_fd >= 0) {
        close(scan_fd);
    }
    if (fsync(dir_fd_) != 0) {
        diag_warn("cannot sync the output directory %s: %s\n", path_.c_str(), std::strerror(errno));
    }
}
