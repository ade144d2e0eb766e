#include "binding_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {

// File header offsets: read and write format versions (1 for a rollback
// journal, 2 for WAL), and the change counter every commit in
// rollback-journal mode moves on.
constexpr off_t kHeaderVersions = 18;
constexpr std::size_t kHeaderSpan = 10;  // bytes 18 to 27
constexpr std::size_t kCounterAt = 6;    // byte 24, within the span

}  // namespace

BindingCache::~BindingCache() {
    if (fd_ >= 0) close(fd_);
}

void BindingCache::open(const char* path) {
    if (capacity_ == 0 || path == nullptr || path[0] == '\0') return;
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
}

bool BindingCache::read_header(bool* rollback, std::uint32_t* counter) const {
    unsigned char header[kHeaderSpan];
    if (fd_ < 0 ||
        pread(fd_, header, sizeof header, kHeaderVersions) != static_cast<ssize_t>(sizeof header)) {
        return false;
    }
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
    entries_.clear();
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
    entries_.clear();
    counted_ = false;
}

BindingCache::Key BindingCache::key_of(const BindingObservation& observation) {
    std::array<unsigned char, 16> bytes{};
    std::memcpy(bytes.data(), observation.addr.data(), observation.iptype == 4 ? 4 : 16);
    Key key{0, 0, observation.iptype};
    std::memcpy(&key.low, bytes.data(), 8);
    std::memcpy(&key.high, bytes.data() + 8, 8);
    return key;
}

const CachedBinding* BindingCache::find(const BindingObservation& observation) const {
    const auto it = entries_.find(key_of(observation));
    return it == entries_.end() ? nullptr : &it->second;
}

void BindingCache::put(const BindingObservation& observation, const CachedBinding& binding) {
    if (capacity_ == 0) return;
    const Key key = key_of(observation);
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
