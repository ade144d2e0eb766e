#include "binding_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// File header offsets: read and write format versions (1 for a rollback
// journal, 2 for WAL), and the change counter every commit in
// rollback-journal mode moves on.
constexpr off_t kHeaderVersions = 18;
constexpr std::size_t kHeaderSpan = 10;  // bytes 18 to 27
constexpr std::size_t kCounterAt = 6;    // byte 24, within the span

// "4|192.0.2.1": the family keeps IPv4 and IPv6 texts apart. Empty for a
// text too long for the buffer: such an address is never kept.
std::string_view key_of(int iptype, std::string_view ipaddr, char* buffer, std::size_t size) {
    if (ipaddr.size() > size - 2) return {};
    const std::size_t n = ipaddr.size();
    buffer[0] = static_cast<char>('0' + iptype % 10);
    buffer[1] = '|';
    std::memcpy(buffer + 2, ipaddr.data(), n);
    return std::string_view(buffer, n + 2);
}

constexpr std::size_t kKeySize = 64;  // "6|" and the longest IPv6 text

}  // namespace

BindingCache::~BindingCache() {
    if (fd_ >= 0) close(fd_);
}

void BindingCache::open(const char* path) {
    if (path == nullptr || path[0] == '\0') return;
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

const CachedBinding* BindingCache::find(int iptype, std::string_view ipaddr) const {
    char buffer[kKeySize];
    const std::string_view key = key_of(iptype, ipaddr, buffer, sizeof buffer);
    if (key.empty()) return nullptr;
    const auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

void BindingCache::put(int iptype, std::string_view ipaddr, const CachedBinding& binding) {
    char buffer[kKeySize];
    const std::string_view key = key_of(iptype, ipaddr, buffer, sizeof buffer);
    if (key.empty()) return;
    const auto it = entries_.find(key);
    if (it != entries_.end()) {
        it->second = binding;
        return;
    }
    // Full: drop whichever entry comes first; it is read again on its next
    // sighting.
    if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
    entries_.emplace(std::string(key), binding);
}
