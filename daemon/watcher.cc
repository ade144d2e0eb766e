#include "watcher.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "diag.h"
#include "frame_decode.h"
#include "notify.h"
#include "store.h"

Watcher::Watcher(const DaemonSettings& daemon_settings, Db connection)
    : settings_(daemon_settings), db_(std::move(connection)), statements_(db_.get()) {
    sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_VFS_POINTER, &vfs_);
    cache_.open(sqlite3_db_filename(db_.get(), "main"));
    // A frame holds at most two decoder lines and an announcement or a
    // refresh warning: no allocation while capturing.
    pending_.reserve(3 * kBatchFrames);
}

void Watcher::on_frame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    reinterpret_cast<Watcher*>(user)->handle_frame(header, bytes);
}

void Watcher::handle_frame(const struct pcap_pkthdr* header, const u_char* bytes) {
    const CaptureTime ts{header->ts.tv_sec, header->ts.tv_usec};
    // Without group commit every frame is a batch of its own.
    if (batch_frames_ > 0 &&
        (!group_commit_ || batch_frames_ >= kBatchFrames || batch_too_long(ts))) {
        end_batch();
    }
    if (batch_frames_++ == 0) start_batch(ts);
    // What was captured, not the length on the wire.
    const FrameVerdict verdict = decode_frame({bytes, header->caplen}, ts);
    for (int i = 0; i < verdict.line_count; ++i) warn("%s", verdict.lines[i]);
    if (verdict.observed) track(verdict.observation);
    if (verdict.reaches_expiry) expire_if_due(header->ts.tv_sec);
}

void Watcher::start_batch(const CaptureTime& ts) {
    batch_start_ = ts;
    if (!cache_enabled_) return;
    cache_.validate();
    // The ages the table answers with are taken on one reading of the
    // database's clock for the batch, which lasts milliseconds.
    batch_clock_known_ = database_now(&batch_now_);
}

bool Watcher::batch_too_long(const CaptureTime& ts) const {
    // Capture clocks can go back: the distance counts either way.
    std::int64_t seconds = 0;
    if (__builtin_sub_overflow(ts.sec, batch_start_.sec, &seconds) || seconds > 1 || seconds < -1) {
        return true;
    }
    const std::int64_t usec = seconds * 1'000'000 + (ts.usec - batch_start_.usec);
    return usec >= kBatchCaptureTimeUsec || usec <= -kBatchCaptureTimeUsec;
}

void Watcher::warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (!group_commit_) {
        char line[kDecodeLineSize];
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        diag_warn("%s", line);
        return;
    }
    Pending& held = pending_.emplace_back();
    held.is_line = true;
    std::vsnprintf(held.line, sizeof held.line, format, args);
    va_end(args);
}

void Watcher::open_transaction() {
    if (in_transaction_) return;
    // Should BEGIN fail (another writer past the busy timeout), the
    // statement runs on its own and commits by itself.
    in_transaction_ = statements_.begin();
    transaction_first_ = pending_.size();
}

void Watcher::transaction_lost(const char* error) {
    for (std::size_t i = transaction_first_; i < pending_.size(); ++i) {
        Pending& p = pending_[i];
        if (p.is_line || !p.stored) continue;
        p.stored = false;
        copy_bounded(p.error, error, sizeof p.error);
    }
    in_transaction_ = false;
    cache_.after_commit(false);
}

void Watcher::end_batch() {
    if (in_transaction_) {
        if (statements_.commit()) {
            in_transaction_ = false;
            cache_.after_commit(true);
        } else {
            char error[kDecodeLineSize];
            copy_bounded(error, sqlite3_errmsg(db_.get()), sizeof error);
            // A COMMIT that failed on a full disk finds the transaction
            // already rolled back; one that met a busy database past the
            // timeout leaves it open.
            if (sqlite3_get_autocommit(db_.get()) == 0) statements_.rollback();
            transaction_lost(error);
        }
    }
    // Outside any transaction from here until the next write.
    if (!pending_.empty()) follow_vendor_replacement();
    for (const Pending& p : pending_) {
        if (p.is_line) {
            diag_warn("%s", p.line);
            continue;
        }
        if (!p.stored) diag_warn("ipmap insert entry failed: %s\n", p.error);
        const BindingObservation& o = p.observation;
        notify_change(db_.get(), o.ts, o.family, o.addr.data(), o.ipaddr(), o.hwaddr, p.old_hwaddr);
    }
    pending_.clear();
    batch_frames_ = 0;
}

void Watcher::set_group_commit(bool enabled) {
    end_batch();
    group_commit_ = enabled;
}

void Watcher::attach_vendor() {
    vendor_file_ = store_vendor_file();
    store_attach_vendor(db_.get());
}

void Watcher::follow_vendor_replacement() {
    // Only a notify command makes the daemon read the vendor tables.
    if (settings_.notify_command != nullptr) store_reattach_vendor(db_.get(), vendor_file_);
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
