#include "watcher.h"

#include <utility>

#include "diag.h"
#include "frame_decode.h"

Watcher::Watcher(const DaemonSettings& daemon_settings, Db connection)
    : settings_(daemon_settings), db_(std::move(connection)), statements_(db_.get()) {
    sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_VFS_POINTER, &vfs_);
    cache_.open(sqlite3_db_filename(db_.get(), "main"));
}

void Watcher::on_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    reinterpret_cast<Watcher*>(user)->handle_frame(header, bytes);
}

void Watcher::handle_frame(const struct pcap_pkthdr* header, const u_char* bytes) {
    // What was captured, not the length on the wire.
    const FrameVerdict verdict =
        decode_frame({bytes, header->caplen}, {header->ts.tv_sec, header->ts.tv_usec});
    for (int i = 0; i < verdict.line_count; ++i) diag_warn("%s", verdict.lines[i]);
    if (verdict.observed) track(verdict.observation);
    if (verdict.reaches_expiry) expire_if_due(header->ts.tv_sec);
}

void Watcher::set_cache_enabled(bool enabled) {
    cache_enabled_ = enabled;
    cache_.clear();
}

bool Watcher::database_now(std::int64_t* now) const {
    if (vfs_ == nullptr) return false;
    // Julian day number in milliseconds, as SQLite's date functions read it.
    sqlite3_int64 ms = 0;
    if (vfs_->iVersion >= 2 && vfs_->xCurrentTimeInt64 != nullptr) {
        if (vfs_->xCurrentTimeInt64(vfs_, &ms) != SQLITE_OK) return false;
    } else {
        double days = 0;
        if (vfs_->xCurrentTime == nullptr || vfs_->xCurrentTime(vfs_, &days) != SQLITE_OK)
            return false;
        ms = static_cast<sqlite3_int64>(days * 86400000.0);
    }
    // unixepoch(): whole seconds of the Julian day number less the seconds
    // up to 1970-01-01, computed exactly as SQLite does.
    constexpr sqlite3_int64 kUnixEpochJulianSeconds = 210866760000;
    *now = ms / 1000 - kUnixEpochJulianSeconds;
    return true;
}
