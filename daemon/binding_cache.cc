#include "binding_cache.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

// File header offsets: read and write format versions (1 for a rollback
// journal, 2 for WAL), and the change counter every commit in
// rollback-journal mode moves on.
constexpr std::size_t kHeaderVersions = 18;
constexpr std::size_t kHeaderSpan = 10;  // bytes 18 to 27
constexpr std::size_t kCounterAt = 6;    // byte 24, within the span
constexpr std::size_t kHeaderSize = 100;

// Where a header read from a mapping returns to when the file was cut
// below its first page under the mapping (SIGBUS); nullptr between reads.
// Process-wide because the signal handler must reach it.
sigjmp_buf* volatile header_read = nullptr;

void on_bus_error(int signal_number) {
    if (header_read != nullptr) siglongjmp(*header_read, 1);
    // Not a header read: what the signal would have done without us.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void guard_header_reads() {
    static bool guarded = false;
    if (guarded) return;
    guarded = true;
    struct sigaction action {};
    action.sa_handler = on_bus_error;
    // Not blocked while handled: the jump out of the handler leaves it so.
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

BindingCache::~BindingCache() {
    if (header_ != nullptr) munmap(header_, kHeaderMapSize);
}

void BindingCache::open(const char* path) {
    if (capacity_ == 0 || path == nullptr || path[0] == '\0') return;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    // A file too short for a header has never been written: no mapping.
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kHeaderSize)) {
        void* map = mmap(nullptr, kHeaderMapSize, PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            header_ = map;
            guard_header_reads();
        }
    }
    // The mapping stays without the descriptor.
    close(fd);
}

bool BindingCache::read_header(bool* rollback, std::uint32_t* counter) const {
    if (header_ == nullptr) return false;
    unsigned char header[kHeaderSpan];
    sigjmp_buf back;
    if (sigsetjmp(back, 0) != 0) {
        header_read = nullptr;
        return false;
    }
    header_read = &back;
    // The copy must happen between the two stores, not be moved around them.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(header, static_cast<const unsigned char*>(header_) + kHeaderVersions,
                sizeof header);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    header_read = nullptr;
    *rollback = header[0] == 1 && header[1] == 1;
    const unsigned char* c = header + kCounterAt;
    *counter = static_cast<std::uint32_t>(c[0]) << 24 | static_cast<std::uint32_t>(c[1]) << 16 |
               static_cast<std::uint32_t>(c[2]) << 8 | c[3];
    return true;
}

bool BindingCache::validate() {
    bool rollback = false;
    std::uint32_t counter = 0;
    if (!read_header(&rollback, &counter) || !rollback) {
        clear();
        return false;
    }
    if (counted_ && counter == counter_) return true;
    // Someone else committed (or nothing was recorded yet): start afresh
    // from the file as it is now.
    drop_entries();
    counter_ = counter;
    counted_ = true;
    return true;
}

bool BindingCache::unchanged() {
    bool rollback = false;
    std::uint32_t counter = 0;
    if (counted_ && read_header(&rollback, &counter) && rollback && counter == counter_) return true;
    clear();
    validate();
    return false;
}

bool BindingCache::after_write(bool succeeded, int changes) {
    bool rollback = false;
    std::uint32_t counter = 0;
    // A write that changed nothing leaves the counter alone, so another
    // process's commit in between would pass for ours: only one changed row
    // and exactly one step of the counter prove the file is ours alone.
    if (counted_ && succeeded && changes == 1 && read_header(&rollback, &counter) && rollback &&
        counter == counter_ + 1) {
        counter_ = counter;
        return true;
    }
    clear();
    return false;
}

bool BindingCache::after_batch_write(bool succeeded, int changes) {
    if (counted_ && succeeded && changes == 1) {
        ++batch_writes_;
        return true;
    }
    clear();
    return false;
}

void BindingCache::after_commit(bool committed) {
    const int writes = batch_writes_;
    batch_writes_ = 0;
    if (!committed) {
        clear();
        return;
    }
    if (writes == 0 || !counted_) return;
    bool rollback = false;
    std::uint32_t counter = 0;
    if (read_header(&rollback, &counter) && rollback && counter == counter_ + 1) {
        counter_ = counter;
    } else {
        clear();
    }
}

void BindingCache::clear() {
    drop_entries();
    counted_ = false;
}

void BindingCache::drop_entries() {
    if (entries_.empty()) return;
    entries_.clear();
    ++clears_;
}

const CachedBinding* BindingCache::find(const BindingObservation& observation) const {
    const auto it = entries_.find(AddressKey::of(observation));
    return it == entries_.end() ? nullptr : &it->second;
}

void BindingCache::put(const BindingObservation& observation, const CachedBinding& binding) {
    if (capacity_ == 0) return;
    const AddressKey key = AddressKey::of(observation);
    const auto it = entries_.find(key);
    if (it != entries_.end()) {
        it->second = binding;
        return;
    }
    // Full: drop whichever entry comes first; it is read again on its next
    // sighting.
    if (entries_.size() >= capacity_) entries_.erase(entries_.begin());
    entries_.emplace(key, binding);
}
