// The watcher's in-memory copy of current bindings must never change an
// outcome: the same frames through the handler with the copy on and off
// leave identical databases (every column of every row, in order) and
// identical warnings. The database clock is pinned for both runs, so that
// refresh ages fall the same way.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "daemon_test_util.h"

using namespace daemon_test;

namespace {

constexpr std::int64_t kNow = 1'800'100'000;

// The default VFS with its clock fixed at kNow; registered as the default
// for one test and put back afterwards.
class PinnedClock {
   public:
    PinnedClock() : original_(sqlite3_vfs_find(nullptr)), pinned_(*original_) {
        pinned_.zName = "pinned-clock";
        pinned_.xCurrentTimeInt64 = [](sqlite3_vfs*, sqlite3_int64* ms) {
            *ms = (kNow + 210866760000) * 1000;
            return SQLITE_OK;
        };
        pinned_.xCurrentTime = [](sqlite3_vfs*, double* days) {
            *days = static_cast<double>(kNow + 210866760000) / 86400.0;
            return SQLITE_OK;
        };
        sqlite3_vfs_register(&pinned_, 1);
    }
    ~PinnedClock() {
        sqlite3_vfs_register(original_, 1);
        sqlite3_vfs_unregister(&pinned_);
    }

   private:
    sqlite3_vfs* original_;
    sqlite3_vfs pinned_;
};

// Forty hosts over twelve rounds nine thousand seconds apart: repeats,
// hardware changes and changes back, refresh ages on both sides of 28800
// seconds, a capture clock that goes back (a changed row older than the
// current one), expiry passes that delete, in both families.
std::vector<Captured> generated() {
    std::vector<Captured> out;
    // Old enough to be deleted by the pass at the later frames.
    for (std::uint8_t h = 0; h < 4; ++h) {
        ArpFields f;
        f.sender_ip = {10, 9, 0, h};
        out.push_back({arp_frame(f), kNow - 40 * 86400 + h});
    }
    for (int round = 0; round < 12; ++round) {
        for (int h = 0; h < 40; ++h) {
            const Mac mac = (h % 7 == 0 && round % 3 == 2) ? kMacB : kMacA;
            std::int64_t sec = kNow - 60000 + round * 9000 + h;
            if (h % 11 == 0 && round % 4 == 3) sec -= 20000;
            const std::int64_t usec = (round * 37 + h) % 5;
            if (h % 2 == 0) {
                ArpFields f;
                f.source = f.sender_mac = mac;
                f.sender_ip = {10, 0, 0, static_cast<std::uint8_t>(h)};
                out.push_back({arp_frame(f), sec, usec});
            } else {
                NdFields f;
                f.source = mac;
                f.source_ip[15] = static_cast<std::uint8_t>(h);
                out.push_back({nd_frame(f), sec, usec});
            }
        }
    }
    return out;
}

std::vector<Captured> repository_captures() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(PELORIN_CAPTURE_DIR)) {
        const auto ext = entry.path().extension();
        if (ext == ".pcap" || ext == ".pcapng") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<Captured> out;
    for (const auto& file : files) {
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_t* handle = pcap_open_offline(file.c_str(), errbuf);
        if (handle == nullptr) continue;
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        while (pcap_next_ex(handle, &header, &bytes) == 1) {
            Captured c{Frame(bytes, bytes + header->caplen), header->ts.tv_sec, header->ts.tv_usec};
            // The default snap length, as the daemon captures.
            if (c.bytes.size() > 128) c.caplen = 128;
            out.push_back(std::move(c));
        }
        pcap_close(handle);
    }
    return out;
}

struct Outcome {
    std::string rows, err;
};

Outcome run(const std::vector<Captured>& frames, bool cache) {
    Library lib;
    const auto result = as_daemon(lib, [&](sqlite3* db) {
        // Both runs alike; syncing each commit would only make this slow.
        pelorin_test::raw_exec(db, "PRAGMA synchronous=OFF");
        watcher().set_cache_enabled(cache);
        for (const Captured& c : frames) feed(c);
    });
    EXPECT_EQ(result.exit_status, 0);
    return {pelorin_test::raw_query(lib.db_path(), "SELECT rowid,* FROM ipmap ORDER BY rowid"),
            result.err};
}

}  // namespace

TEST(CacheDifferential, SameDatabaseAndWarningsWithTheCacheOnAndOff) {
    const PinnedClock clock;
    const struct {
        const char* name;
        std::vector<Captured> frames;
    } cases[] = {{"generated", generated()}, {"repository captures", repository_captures()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.frames.size(), 400u);
        const Outcome off = run(c.frames, false);
        const Outcome on = run(c.frames, true);
        EXPECT_NE(off.rows, "");
        EXPECT_EQ(on.rows, off.rows);
        EXPECT_EQ(on.err, off.err);
    }
}
