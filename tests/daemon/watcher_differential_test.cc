// Neither the watcher's in-memory copy of current bindings nor the size of
// its batches may change an outcome: the same frames through the handler
// with the copy on and off, and in batches of one frame and of many, leave
// identical databases (every column of every row, in order), identical
// warnings in the same order, and the same notify commands. The database
// clock is pinned for every run, so that refresh ages fall the same way.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>
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

// Forty hosts over rounds nine thousand seconds apart: repeats, hardware
// changes and changes back, refresh ages on both sides of 28800 seconds, a
// capture clock that goes back (a changed row older than the current one),
// expiry passes that delete, in both families, with malformed frames and a
// truncation note in between. Link-local addresses only, so that a notify
// command never asks a resolver.
std::vector<Captured> generated(int rounds = 12) {
    std::vector<Captured> out;
    // Old enough to be deleted by the pass at the later frames.
    for (std::uint8_t h = 0; h < 4; ++h) {
        ArpFields f;
        f.sender_ip = {169, 254, 9, h};
        out.push_back({arp_frame(f), kNow - 40 * 86400 + h});
    }
    for (int round = 0; round < rounds; ++round) {
        for (int h = 0; h < 40; ++h) {
            const Mac mac = (h % 7 == 0 && round % 3 == 2) ? kMacB : kMacA;
            std::int64_t sec = kNow - 60000 + round * 9000 + h;
            if (h % 11 == 0 && round % 4 == 3) sec -= 20000;
            const std::int64_t usec = (round * 37 + h) % 5;
            if (h % 2 == 0) {
                ArpFields f;
                f.source = f.sender_mac = mac;
                f.sender_ip = {169, 254, 0, static_cast<std::uint8_t>(h)};
                if (h % 10 == 4) f.opcode = 3;  // rejected
                out.push_back({arp_frame(f), sec, usec});
            } else {
                NdFields f;
                f.source = mac;
                f.source_ip[15] = static_cast<std::uint8_t>(h);
                if (h % 10 == 5) f.payload_length = 40;  // noted, still recorded
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

struct Mode {
    bool cache, batches, notify;
};

struct Outcome {
    std::string rows, err, calls;
};

// Lines of the recorder's file, sorted: the commands run concurrently, so
// only their arguments can be compared; the order they were started in is
// that of the announcements, which the warnings show.
std::string sorted_calls(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(pelorin_test::read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string joined;
    for (const auto& line : lines) joined += line + "\n";
    return joined;
}

Outcome run(const std::vector<Captured>& frames, const Mode& mode) {
    Library lib;
    const std::string recorder = lib.dir() + "/record-args";
    pelorin_test::write_file(
        recorder,
        "#!/bin/sh\nline=$(printf '%s|' \"$@\")\necho \"$line\" >> " + lib.dir() + "/calls\n");
    chmod(recorder.c_str(), 0755);
    RunOptions options;
    if (mode.notify) options.notify_command = recorder.c_str();
    if (!mode.cache) options.limits.cached_bindings = 0;
    if (!mode.batches) options.limits.batch_frames = 1;
    // The notify commands' dates, the same on every machine.
    const char* zone = std::getenv("TZ");
    const std::string saved_zone = zone != nullptr ? zone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const auto result = as_daemon(lib, [&](sqlite3* db) {
        // Every run alike; syncing each commit would only make this slow.
        pelorin_test::raw_exec(db, "PRAGMA synchronous=OFF");
        // Dispatches of uneven sizes, some longer than one batch.
        const std::size_t sizes[] = {1, 7, 300, 2, 64};
        std::size_t next = 0;
        for (std::size_t k = 0; next < frames.size(); ++k) {
            const std::size_t end = std::min(frames.size(), next + sizes[k % 5]);
            for (; next < end; ++next) {
                const Captured& c = frames[next];
                pcap_pkthdr header{};
                header.ts.tv_sec = c.sec;
                header.ts.tv_usec = c.usec;
                header.caplen = static_cast<bpf_u_int32>(c.caplen < 0 ? c.bytes.size() : c.caplen);
                watcher().handle_frame(&header, c.bytes.data());
            }
            watcher().end_batch();
            notifier().reap();
        }
        while (notifier().running() > 0) {
            usleep(50'000);
            notifier().reap();
        }
    }, options);
    if (zone != nullptr) {
        setenv("TZ", saved_zone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(result.exit_status, 0);
    return {pelorin_test::raw_query(lib.db_path(), "SELECT rowid,* FROM ipmap ORDER BY rowid"),
            result.err, sorted_calls(lib.dir() + "/calls")};
}

}  // namespace

TEST(WatcherDifferential, SameDatabaseWarningsAndCommandsWithTheCacheOnAndOffAndAnyBatchSize) {
    const PinnedClock clock;
    const std::vector<Captured> all = generated();
    const std::vector<Captured> captures = repository_captures();
    const std::vector<Captured> few = generated(3);
    const struct {
        const char* name;
        const std::vector<Captured>& frames;
        Mode changed;
    } cases[] = {
        {"cache, generated", all, {true, false, false}},
        {"cache, repository captures", captures, {true, false, false}},
        {"batches of many, generated", all, {false, true, false}},
        {"batches of many, repository captures", captures, {false, true, false}},
        {"both, with notify commands", few, {true, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.frames.size(), 100u);
        const Outcome plain = run(c.frames, {false, false, c.changed.notify});
        const Outcome changed = run(c.frames, c.changed);
        EXPECT_NE(plain.rows, "");
        EXPECT_EQ(changed.rows, plain.rows);
        EXPECT_EQ(changed.err, plain.err);
        EXPECT_EQ(changed.calls, plain.calls);
        if (c.changed.notify) {
            EXPECT_NE(plain.calls, "");
        }
    }
}
