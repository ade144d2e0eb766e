// Replays generated captures through the watcher's frame handler against a
// real interface database on disk (vendor database attached, no notify
// command), each figure beside the bare SQLite floor it is held to:
//   steady traffic      frames/s with the cache >= 5 x the same without it
//                       frames/s with the cache >= 4 x bare current-binding loop
//   mixed traffic       ND frame cost          <= 1.2  x ARP frame cost (cached)
//   new bindings        inserts/s              >= 15   x bare insert loop, one commit each
//   expiry at 1M rows   the pass               <= 1.25 x bare DELETE, PRAGMA optimize, VACUUM
//   peak RSS            10,000 vs 1,000,000 recorded bindings
// The ratios are printed at the end from the medians. Timing never fails
// anything: this is a measurement, not a test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "frame_builder.h"
#include "interface_db.h"
#include "notifier.h"
#include "settings.h"
#include "vendor_db.h"
#include "watcher.h"

namespace {

namespace fb = pelorin_frames;

constexpr const char* kInterface = "bench0";
constexpr int kSteadyHosts = 10000;
constexpr int kSteadySightings = 100;
constexpr int kMixedHosts = 4000;  // per family
constexpr int kMixedFrames = 200000;
constexpr int kNewBindings = 65536;
constexpr int kExpiryRows = 1000000;
constexpr int kExpiredRows = kExpiryRows / 10;
constexpr std::int64_t kDay = 86400;

[[noreturn]] void die(const char* what, const char* detail) {
    std::fprintf(stderr, "daemon_bench: %s: %s\n", what, detail);
    std::exit(1);
}

void exec_sql(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) die(sql, error ? error : "?");
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) die(sql, sqlite3_errmsg(db));
    return stmt;
}

// The daemon reports every new binding on standard error; in a replay that
// is tens of thousands of lines, so they go to /dev/null (the write stays).
class QuietStderr {
   public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietStderr() {
        dup2(saved_, 2);
        close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

   private:
    int saved_ = -1;
};

struct Host {
    int iptype;
    fb::Mac mac;
    fb::Ipv4 v4;
    fb::Ipv6 v6;
    std::string text;  // as inet_ntop writes it, the way the daemon stores it
    std::string hw;    // "%02x:..." text
};

std::string mac_text(const fb::Mac& m) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return text;
}

Host ipv4_host(std::uint8_t net, std::uint32_t i) {
    Host h{};
    h.iptype = 4;
    h.v4 = {10, net, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
    h.mac = {0x02,
             net,
             0x00,
             static_cast<std::uint8_t>(i >> 16),
             static_cast<std::uint8_t>(i >> 8),
             static_cast<std::uint8_t>(i)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, h.v4.data(), text, sizeof text);
    h.text = text;
    h.hw = mac_text(h.mac);
    return h;
}

Host ipv6_host(std::uint8_t net, std::uint32_t i) {
    Host h{};
    h.iptype = 6;
    h.v6 = fb::ipv6("2001:db8::");
    h.v6[5] = net;
    h.v6[13] = static_cast<std::uint8_t>(i >> 16);
    h.v6[14] = static_cast<std::uint8_t>(i >> 8);
    h.v6[15] = static_cast<std::uint8_t>(i);
    h.mac = {0x02,
             static_cast<std::uint8_t>(net | 0x80),
             0x00,
             static_cast<std::uint8_t>(i >> 16),
             static_cast<std::uint8_t>(i >> 8),
             static_cast<std::uint8_t>(i)};
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, h.v6.data(), text, sizeof text);
    h.text = text;
    h.hw = mac_text(h.mac);
    return h;
}

fb::Bytes arp_of(const Host& h) {
    fb::Arp arp;
    arp.eth_source = arp.sender_mac = h.mac;
    arp.sender_ip = h.v4;
    arp.target_ip = {10, 0, 0, 1};
    return fb::arp_frame(arp);
}

// A Solicitation carries the source link-layer address, an Advertisement
// the target link-layer address: each frame walks one link option.
fb::Bytes nd_of(const Host& h, bool solicitation) {
    fb::Nd nd;
    nd.eth_source = h.mac;
    nd.source = h.v6;
    if (solicitation) {
        nd.type = fb::kNeighborSolicit;
        nd.destination = fb::ipv6("ff02::1:ff00:1");
        nd.target = fb::ipv6("2001:db8::1");
        nd.options = {fb::link_option(fb::kOptionSourceLinkAddress, h.mac)};
    } else {
        nd.type = fb::kNeighborAdvert;
        nd.eth_destination = {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};
        nd.destination = fb::ipv6("ff02::1");
        nd.target = h.v6;
        nd.flags = 0x20000000;
        nd.options = {fb::link_option(fb::kOptionTargetLinkAddress, h.mac)};
    }
    return fb::nd_frame(nd);
}

// A capture file written with the capture library's own dumper, so that the
// replay reads exactly what a saved capture would give it.
class CaptureWriter {
   public:
    CaptureWriter(const std::string& path, std::int64_t first_sec) : sec_(first_sec) {
        dead_ = pcap_open_dead(DLT_EN10MB, 65535);
        dumper_ = pcap_dump_open(dead_, path.c_str());
        if (dumper_ == nullptr) die(path.c_str(), pcap_geterr(dead_));
    }
    ~CaptureWriter() {
        pcap_dump_close(dumper_);
        pcap_close(dead_);
    }
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Frames one microsecond apart, in order.
    void add(const fb::Bytes& frame) {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(sec_);
        header.ts.tv_usec = static_cast<suseconds_t>(usec_);
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
        if (++usec_ == 1000000) {
            usec_ = 0;
            ++sec_;
        }
    }

   private:
    pcap_t* dead_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
    std::int64_t sec_;
    std::int64_t usec_ = 0;
};

// Reads the capture with the offline reader and hands every frame to
// handler, as the live capture loop would. Returns the number of frames.
long replay(const std::string& path, pcap_handler handler, u_char* user) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* capture = pcap_open_offline(path.c_str(), error);
    if (capture == nullptr) die(path.c_str(), error);
    long frames = 0;
    struct Counting {
        pcap_handler handler;
        u_char* user;
        long* frames;
    } counting{handler, user, &frames};
    pcap_loop(
        capture, 0,
        [](u_char* c, const pcap_pkthdr* h, const u_char* bytes) {
            auto* self = reinterpret_cast<Counting*>(c);
            ++*self->frames;
            self->handler(self->user, h, bytes);
        },
        reinterpret_cast<u_char*>(&counting));
    pcap_close(capture);
    return frames;
}

void ignore_frame(u_char*, const pcap_pkthdr*, const u_char*) {}

// Rows as the daemon would have written them, in one transaction.
void insert_rows(sqlite3* db, const std::vector<Host>& hosts, std::int64_t utime) {
    exec_sql(db, "BEGIN");
    sqlite3_stmt* stmt = prepare(db, "INSERT INTO ipmap VALUES (?, ?, ?, ?, ?, ?)");
    for (const Host& h : hosts) {
        sqlite3_bind_int(stmt, 1, h.iptype);
        sqlite3_bind_text(stmt, 2, h.text.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 3, h.hw.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(stmt, 4, utime);
        sqlite3_bind_int64(stmt, 5, 0);
        sqlite3_bind_int64(stmt, 6, utime);
        if (sqlite3_step(stmt) != SQLITE_DONE) die("insert", sqlite3_errmsg(db));
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    exec_sql(db, "COMMIT");
}

void make_vendor_db(const std::string& dir) {
    sqlite3* db = nullptr;
    if (sqlite3_open((dir + "/ma_db.sqlite").c_str(), &db) != SQLITE_OK)
        die("vendor", sqlite3_errmsg(db));
    exec_sql(db, kVendorSchema);
    exec_sql(db, "INSERT INTO ma_l VALUES ('02:01:00', 'Steady Hosts Ltd')");
    exec_sql(db, "INSERT INTO ma_u VALUES ('2', '(private)')");
    sqlite3_close(db);
}

// Hosts whose sender address is 10.<net>.x.y for the range, 10.<net+1>...
// once the last two bytes run out.
std::vector<Host> ipv4_hosts(std::uint8_t net, int count) {
    std::vector<Host> hosts;
    hosts.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        hosts.push_back(ipv4_host(static_cast<std::uint8_t>(net + (i >> 16)),
                                  static_cast<std::uint32_t>(i & 0xffff)));
    }
    return hosts;
}

// Everything the timed runs share: one watcher over the interface database
// for the traffic scenarios (a range of addresses each), a second one over
// the large database of the expiry pass.
struct World {
    std::string dir;
    DaemonSettings settings;
    DaemonSettings expiry_settings;
    // No notify command: the changes are only logged, as a quiet daemon does.
    Notifier notifier{nullptr, nullptr};
    Watcher* watcher = nullptr;  // the interface database, as the daemon opens it
    // The same file through a watcher that keeps nothing in memory.
    Watcher* uncached_watcher = nullptr;
    sqlite3* db = nullptr;  // the first watcher's connection
    Watcher* expiry_watcher = nullptr;
    sqlite3* expiry_db = nullptr;
    std::string expiry_dir;
    std::int64_t base_sec = 0;
    std::vector<Host> steady, mixed_v4, mixed_v6, fresh, expiry_old;
    std::string steady_capture, mixed_capture, mixed_arp_capture, mixed_nd_capture,
        rss_capture_small, rss_capture_large;
    std::vector<std::string> expiry_captures;
    std::size_t next_expiry_capture = 0;
    // The 65,536 new addresses, cut into one slice per timed run of either
    // side, so that every address is seen exactly once in the whole run and
    // no run pays for undoing another's inserts.
    std::vector<std::string> new_captures;
    std::size_t new_slice = 0;
    std::size_t next_new_slice = 0;
    std::string rss_dir_small, rss_dir_large;
    long mixed_arp_frames = 0, mixed_nd_frames = 0;
};

World* world = nullptr;

void build_world(int repetitions) {
    world = new World;
    World& w = *world;
    char tmpl[] = "/var/tmp/pelorin-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp", std::strerror(errno));
    w.dir = tmpl;
    // At the present time: the refresh rule compares the database clock
    // with the capture seconds, and an old capture would turn every repeated
    // sighting into a synced update.
    w.base_sec = static_cast<std::int64_t>(std::time(nullptr));

    w.settings.interface_name = kInterface;
    w.settings.library = LibraryDir(w.dir.c_str());
    make_vendor_db(w.dir);
    w.watcher = new Watcher(w.settings, kInterface,
                            InterfaceDb(w.settings.library, kInterface, OpenMode::write), w.notifier);
    WatcherLimits uncached;
    uncached.cached_bindings = 0;
    w.uncached_watcher =
        new Watcher(w.settings, kInterface,
                    InterfaceDb(w.settings.library, kInterface, OpenMode::write), w.notifier,
                    uncached);
    w.db = w.watcher->database().raw();

    std::fprintf(stderr, "daemon_bench: preparing databases and captures in %s\n", w.dir.c_str());
    w.steady = ipv4_hosts(1, kSteadyHosts);
    w.mixed_v4 = ipv4_hosts(2, kMixedHosts);
    for (int i = 0; i < kMixedHosts; ++i)
        w.mixed_v6.push_back(ipv6_host(2, static_cast<std::uint32_t>(i)));
    w.fresh = ipv4_hosts(3, kNewBindings);
    insert_rows(w.db, w.steady, w.base_sec);
    insert_rows(w.db, w.mixed_v4, w.base_sec);
    insert_rows(w.db, w.mixed_v6, w.base_sec);

    // One frame at the base second runs the start-up expiry pass, so that no
    // pass falls into the timed replays (the next is 8 hours of capture
    // time away, and every capture spans a few seconds).
    {
        const std::string warm = w.dir + "/warm.pcap";
        {
            CaptureWriter c(warm, w.base_sec);
            c.add(arp_of(w.steady[0]));
        }
        QuietStderr quiet;
        replay(warm, Watcher::on_frame, reinterpret_cast<u_char*>(w.watcher));
        w.watcher->end_batch();
    }

    w.steady_capture = w.dir + "/steady.pcap";
    {
        CaptureWriter c(w.steady_capture, w.base_sec);
        for (int round = 0; round < kSteadySightings; ++round)
            for (const Host& h : w.steady) c.add(arp_of(h));
    }

    w.mixed_capture = w.dir + "/mixed.pcap";
    w.mixed_arp_capture = w.dir + "/mixed-arp.pcap";
    w.mixed_nd_capture = w.dir + "/mixed-nd.pcap";
    {
        CaptureWriter all(w.mixed_capture, w.base_sec);
        CaptureWriter arp(w.mixed_arp_capture, w.base_sec);
        CaptureWriter nd(w.mixed_nd_capture, w.base_sec);
        // Per group of four: two ARP, one NS, one NA.
        for (int i = 0; i < kMixedFrames / 4; ++i) {
            const std::size_t k = static_cast<std::size_t>(i % kMixedHosts);
            const std::size_t k2 = static_cast<std::size_t>((i + kMixedHosts / 2) % kMixedHosts);
            const fb::Bytes frames[4] = {arp_of(w.mixed_v4[k]), nd_of(w.mixed_v6[k], true),
                                         arp_of(w.mixed_v4[k2]), nd_of(w.mixed_v6[k2], false)};
            for (int f = 0; f < 4; ++f) {
                all.add(frames[f]);
                if (f % 2 == 0) {
                    arp.add(frames[f]);
                    ++w.mixed_arp_frames;
                } else {
                    nd.add(frames[f]);
                    ++w.mixed_nd_frames;
                }
            }
        }
    }

    const std::size_t slices = 2 * static_cast<std::size_t>(repetitions);
    w.new_slice = w.fresh.size() / slices;
    for (std::size_t k = 0; k < slices; ++k) {
        w.new_captures.push_back(w.dir + "/new" + std::to_string(k) + ".pcap");
        CaptureWriter c(w.new_captures.back(), w.base_sec);
        for (std::size_t i = k * w.new_slice; i < (k + 1) * w.new_slice; ++i)
            c.add(arp_of(w.fresh[i]));
    }

    // The expiry database: 1,000,000 rows, a tenth of them last seen 31
    // days before the capture, the rest at the capture's own time.
    w.expiry_dir = w.dir + "/expiry";
    std::filesystem::create_directory(w.expiry_dir);
    make_vendor_db(w.expiry_dir);
    w.expiry_settings = w.settings;
    w.expiry_settings.library = LibraryDir(w.expiry_dir.c_str());
    w.expiry_watcher =
        new Watcher(w.expiry_settings, kInterface,
                    InterfaceDb(w.expiry_settings.library, kInterface, OpenMode::write),
                    w.notifier);
    w.expiry_db = w.expiry_watcher->database().raw();
    {
        std::vector<Host> all = ipv4_hosts(16, kExpiryRows);
        w.expiry_old.assign(all.begin(), all.begin() + kExpiredRows);
        std::vector<Host> recent(all.begin() + kExpiredRows, all.end());
        insert_rows(w.expiry_db, recent, w.base_sec);
    }
    for (int k = 0; k <= repetitions; ++k) {
        // A frame of another EtherType: it is warned about and runs the pass
        // without a lookup. Eight hours apart: one pass each.
        w.expiry_captures.push_back(w.dir + "/expiry" + std::to_string(k) + ".pcap");
        CaptureWriter c(w.expiry_captures.back(), w.base_sec + 1 + k * 28800);
        fb::Bytes frame = arp_of(w.steady[1]);
        frame[12] = 0x08;
        frame[13] = 0x00;
        c.add(frame);
    }

    // Databases for the memory probes: the same steady traffic over 10,000
    // and over 1,000,000 recorded bindings, each read by a fresh process.
    for (int n : {kSteadyHosts, kExpiryRows}) {
        const std::string dir = w.dir + "/rss" + std::to_string(n);
        std::filesystem::create_directory(dir);
        make_vendor_db(dir);
        sqlite3* db = nullptr;
        sqlite3_open((dir + "/" + kInterface + ".sqlite").c_str(), &db);
        exec_sql(db, kInterfaceSchema);
        const std::vector<Host> hosts = ipv4_hosts(1, n);
        insert_rows(db, hosts, w.base_sec);
        sqlite3_close(db);
        const std::string capture = dir + "/steady.pcap";
        {
            // 100,000 sightings spread over the whole table, plus the
            // start-up expiry pass and compaction the first frame runs.
            CaptureWriter c(capture, w.base_sec);
            const int stride = n / kSteadyHosts;
            for (int i = 0; i < 100000; ++i)
                c.add(arp_of(hosts[static_cast<std::size_t>((i * stride) % n)]));
        }
        (n == kSteadyHosts ? w.rss_dir_small : w.rss_dir_large) = dir;
        (n == kSteadyHosts ? w.rss_capture_small : w.rss_capture_large) = capture;
    }
}

void destroy_world() {
    if (world == nullptr) return;
    delete world->watcher;
    delete world->uncached_watcher;
    delete world->expiry_watcher;
    std::error_code ignored;
    std::filesystem::remove_all(world->dir, ignored);
    delete world;
    world = nullptr;
}

// ---- steady traffic ------------------------------------------------------

void steady_handle_frame(benchmark::State& state, bool cache) {
    QuietStderr quiet;
    Watcher* watcher = cache ? world->watcher : world->uncached_watcher;
    long frames = 0;
    for (auto _ : state) {
        frames = replay(world->steady_capture, Watcher::on_frame, reinterpret_cast<u_char*>(watcher));
        watcher->end_batch();
    }
    state.SetItemsProcessed(frames);
}

void BM_SteadyHandleFrame(benchmark::State& state) { steady_handle_frame(state, true); }
void BM_SteadyHandleFrameNoCache(benchmark::State& state) { steady_handle_frame(state, false); }

// The floor: the current-binding statement alone (bind, step, reset,
// clear) over the same addresses in the same order, on the same database.
void BM_SteadyBareLookup(benchmark::State& state) {
    sqlite3_stmt* stmt =
        prepare(world->db,
                "SELECT rowid,(unixepoch() - utime),hwaddr FROM ipmap\nWHERE rowid = (\n"
                "SELECT rowid\nFROM ipmap\nWHERE iptype == ? AND ipaddr == ?\n"
                "ORDER BY sec DESC,usec DESC\nLIMIT 1)");
    long frames = 0;
    for (auto _ : state) {
        frames = 0;
        for (int round = 0; round < kSteadySightings; ++round) {
            for (const Host& h : world->steady) {
                sqlite3_bind_int(stmt, 1, 4);
                sqlite3_bind_text(stmt, 2, h.text.c_str(), -1, SQLITE_STATIC);
                if (sqlite3_step(stmt) != SQLITE_ROW) die("steady lookup", "no current row");
                benchmark::DoNotOptimize(sqlite3_column_int64(stmt, 1));
                sqlite3_reset(stmt);
                sqlite3_clear_bindings(stmt);
                ++frames;
            }
        }
    }
    sqlite3_finalize(stmt);
    state.SetItemsProcessed(frames);
}

// What the offline reader alone costs per frame, for reading the above.
void BM_SteadyReplayOnly(benchmark::State& state) {
    long frames = 0;
    for (auto _ : state) frames = replay(world->steady_capture, ignore_frame, nullptr);
    state.SetItemsProcessed(frames);
}

// ---- mixed traffic -------------------------------------------------------

void replay_benchmark(benchmark::State& state, const std::string& capture) {
    QuietStderr quiet;
    long frames = 0;
    for (auto _ : state) {
        frames = replay(capture, Watcher::on_frame, reinterpret_cast<u_char*>(world->watcher));
        world->watcher->end_batch();
    }
    state.SetItemsProcessed(frames);
}

void BM_MixedHandleFrame(benchmark::State& state) { replay_benchmark(state, world->mixed_capture); }
void BM_MixedArpPart(benchmark::State& state) { replay_benchmark(state, world->mixed_arp_capture); }
void BM_MixedNdPart(benchmark::State& state) { replay_benchmark(state, world->mixed_nd_capture); }

// ---- new bindings --------------------------------------------------------

// Index of the next unused slice of new addresses; die when the runs
// outnumber the slices (the repetitions were changed without rebuilding).
std::size_t take_new_slice() {
    if (world->next_new_slice >= world->new_captures.size()) die("new bindings", "no slice left");
    return world->next_new_slice++;
}

void BM_NewHandleFrame(benchmark::State& state) {
    const std::size_t k = take_new_slice();
    QuietStderr quiet;
    long frames = 0;
    for (auto _ : state) {
        frames = replay(world->new_captures[k], Watcher::on_frame,
                        reinterpret_cast<u_char*>(world->watcher));
        world->watcher->end_batch();
    }
    state.SetItemsProcessed(frames);
}

// The floor: one prepared insert per address, each its own (synced)
// transaction.
void BM_NewBareInsert(benchmark::State& state) {
    const std::size_t k = take_new_slice();
    sqlite3_stmt* stmt = prepare(world->db, "INSERT INTO ipmap VALUES (?, ?, ?, ?, ?, ?)");
    long rows = 0;
    // A synced commit per row is slow: a part of the slice gives the rate.
    const std::size_t count = std::min<std::size_t>(world->new_slice, 2048);
    for (auto _ : state) {
        rows = 0;
        std::int64_t usec = 0;
        for (std::size_t i = k * world->new_slice; i < k * world->new_slice + count; ++i) {
            const Host& h = world->fresh[i];
            sqlite3_bind_int(stmt, 1, 4);
            sqlite3_bind_text(stmt, 2, h.text.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(stmt, 3, h.hw.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(stmt, 4, world->base_sec);
            sqlite3_bind_int64(stmt, 5, usec++);
            sqlite3_bind_int64(stmt, 6, world->base_sec);
            if (sqlite3_step(stmt) != SQLITE_DONE) die("bare insert", sqlite3_errmsg(world->db));
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
            ++rows;
        }
    }
    sqlite3_finalize(stmt);
    state.SetItemsProcessed(rows);
}

// ---- expiry ----------------------------------------------------------------

void restore_expired_rows() {
    insert_rows(world->expiry_db, world->expiry_old, world->base_sec + 1 - 31 * kDay);
    // Both sides start from the same compacted file.
    exec_sql(world->expiry_db, "VACUUM");
}

void BM_ExpiryPass(benchmark::State& state) {
    restore_expired_rows();
    QuietStderr quiet;
    for (auto _ : state) {
        // Each run's frame comes eight hours of capture time after the
        // last, so that the watcher's schedule makes it run the pass.
        if (world->next_expiry_capture >= world->expiry_captures.size())
            die("expiry", "no capture left");
        replay(world->expiry_captures[world->next_expiry_capture++], Watcher::on_frame,
               reinterpret_cast<u_char*>(world->expiry_watcher));
        world->expiry_watcher->end_batch();
    }
    state.SetItemsProcessed(kExpiredRows);
}

void BM_ExpiryBare(benchmark::State& state) {
    restore_expired_rows();
    char sql[128];
    std::snprintf(sql, sizeof sql, "DELETE FROM ipmap WHERE utime <= %" PRId64,
                  world->base_sec + 1 - 30 * kDay);
    for (auto _ : state) {
        exec_sql(world->expiry_db, sql);
        exec_sql(world->expiry_db, "PRAGMA optimize;");
        exec_sql(world->expiry_db, "VACUUM;");
    }
    state.SetItemsProcessed(kExpiredRows);
}

// ---- peak resident memory --------------------------------------------------

// In a fresh process (a forked copy would carry this one's pages): open the
// database as the daemon does and replay steady traffic over it, starting
// with the expiry pass and compaction. Prints the peak RSS in kB.
int rss_probe(const char* dir, const char* capture) {
    DaemonSettings settings;
    settings.interface_name = kInterface;
    settings.library = LibraryDir(dir);
    Notifier notifier(nullptr, nullptr);
    Watcher watcher(settings, kInterface, InterfaceDb(settings.library, kInterface, OpenMode::write),
                    notifier);
    {
        QuietStderr quiet;
        replay(capture, Watcher::on_frame, reinterpret_cast<u_char*>(&watcher));
        watcher.end_batch();
    }
    // VmHWM belongs to this image alone; ru_maxrss would also count the
    // pages of the forked copy of the parent that preceded the exec.
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
    }
    std::fclose(status);
    std::printf("%ld\n", kb);
    return kb > 0 ? 0 : 1;
}

long run_rss_probe(const std::string& dir, const std::string& capture) {
    int fds[2];
    if (pipe(fds) != 0) die("pipe", std::strerror(errno));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl("/proc/self/exe", "daemon_bench", "--rss-probe", dir.c_str(), capture.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char text[64] = {};
    const ssize_t n = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::strtol(text, nullptr, 10);
}

void BM_PeakRss(benchmark::State& state) {
    const bool large = state.range(0) == kExpiryRows;
    long kb = 0;
    for (auto _ : state) {
        kb = run_rss_probe(large ? world->rss_dir_large : world->rss_dir_small,
                           large ? world->rss_capture_large : world->rss_capture_small);
    }
    state.counters["peak_rss_kB"] = static_cast<double>(kb);
    state.counters["rows"] = static_cast<double>(state.range(0));
}

// ---- ratios ----------------------------------------------------------------

// Keeps the medians (seconds per item) and prints the ratios after the
// usual table.
class RatioReporter : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            const std::string& name = run.run_name.function_name;
            const double real =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const double cpu =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            seconds_[name] = real;
            cpu_seconds_[name] = cpu;
            auto items = run.counters.find("items_per_second");
            if (items != run.counters.end() && items->second.value > 0) {
                // The rate is items over real time.
                const double count = items->second.value * real;
                per_item_[name] = real / count;
                cpu_per_item_[name] = cpu / count;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nRatios of medians, on real and on CPU time (target in brackets):\n");
        ratio("steady: cached frames/s / uncached frames/s", "BM_SteadyHandleFrameNoCache",
              "BM_SteadyHandleFrame", ">= 5");
        ratio("steady: cached frames/s / bare lookup/s", "BM_SteadyBareLookup",
              "BM_SteadyHandleFrame", ">= 4");
        ratio("steady: uncached frames/s / bare lookup/s", "BM_SteadyBareLookup",
              "BM_SteadyHandleFrameNoCache", "was >= 0.80");
        ratio("mixed: ND frame cost / ARP frame cost", "BM_MixedNdPart", "BM_MixedArpPart",
              "<= 1.20");
        ratio("new bindings: handle_frame inserts/s / bare inserts/s", "BM_NewBareInsert",
              "BM_NewHandleFrame", ">= 15");
        time_ratio("expiry: pass / bare DELETE+optimize+VACUUM", "BM_ExpiryPass", "BM_ExpiryBare",
                   "<= 1.25");
    }

   private:
    // a and b are per-item times; for a rate ratio a is the floor and b
    // ours, for a cost ratio a is the cost compared and b its reference.
    void ratio(const char* what, const std::string& a, const std::string& b, const char* target) {
        if (!per_item_.count(a) || !per_item_.count(b)) return;
        std::printf("  %-54s real %6.3f  cpu %6.3f  [%s]\n", what, per_item_[a] / per_item_[b],
                    cpu_per_item_[a] / cpu_per_item_[b], target);
        std::printf("      %s %.2f us (cpu %.2f us), %s %.2f us (cpu %.2f us) per item\n",
                    a.c_str(), per_item_[a] * 1e6, cpu_per_item_[a] * 1e6, b.c_str(),
                    per_item_[b] * 1e6, cpu_per_item_[b] * 1e6);
    }
    void time_ratio(const char* what, const std::string& a, const std::string& b,
                    const char* target) {
        if (!seconds_.count(a) || !seconds_.count(b)) return;
        std::printf("  %-54s real %6.3f  cpu %6.3f  [%s]\n", what, seconds_[a] / seconds_[b],
                    cpu_seconds_[a] / cpu_seconds_[b], target);
        std::printf("      %s %.3f s (cpu %.3f s), %s %.3f s (cpu %.3f s)\n", a.c_str(),
                    seconds_[a], cpu_seconds_[a], b.c_str(), seconds_[b], cpu_seconds_[b]);
    }

    std::map<std::string, double> per_item_, cpu_per_item_;
    std::map<std::string, double> seconds_, cpu_seconds_;
};

void register_benchmarks(int repetitions) {
    auto timed = [repetitions](benchmark::internal::Benchmark* b) {
        b->Iterations(1)
            ->Repetitions(repetitions)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->ReportAggregatesOnly(true);
    };
    timed(benchmark::RegisterBenchmark("BM_SteadyHandleFrame", BM_SteadyHandleFrame));
    timed(benchmark::RegisterBenchmark("BM_SteadyHandleFrameNoCache", BM_SteadyHandleFrameNoCache));
    timed(benchmark::RegisterBenchmark("BM_SteadyBareLookup", BM_SteadyBareLookup));
    timed(benchmark::RegisterBenchmark("BM_SteadyReplayOnly", BM_SteadyReplayOnly));
    timed(benchmark::RegisterBenchmark("BM_MixedHandleFrame", BM_MixedHandleFrame));
    timed(benchmark::RegisterBenchmark("BM_MixedArpPart", BM_MixedArpPart));
    timed(benchmark::RegisterBenchmark("BM_MixedNdPart", BM_MixedNdPart));
    timed(benchmark::RegisterBenchmark("BM_NewHandleFrame", BM_NewHandleFrame));
    timed(benchmark::RegisterBenchmark("BM_NewBareInsert", BM_NewBareInsert));
    timed(benchmark::RegisterBenchmark("BM_ExpiryPass", BM_ExpiryPass));
    timed(benchmark::RegisterBenchmark("BM_ExpiryBare", BM_ExpiryBare));
    benchmark::RegisterBenchmark("BM_PeakRss", BM_PeakRss)
        ->Arg(kSteadyHosts)
        ->Arg(kExpiryRows)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--rss-probe") == 0) return rss_probe(argv[2], argv[3]);

    // Repetitions of the two sides of each ratio are interleaved at random
    // unless told otherwise, so that a burst of load elsewhere on the
    // machine does not land on one side only.
    std::vector<char*> args(argv, argv + argc);
    bool interleave_given = false;
    int repetitions = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0)
            interleave_given = true;
        if (std::strncmp(argv[i], "--repetitions=", 14) == 0) repetitions = std::atoi(argv[i] + 14);
    }
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!interleave_given) args.insert(args.begin() + 1, interleave);
    // Our own option, not the library's.
    std::erase_if(args, [](const char* a) { return std::strncmp(a, "--repetitions=", 14) == 0; });
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    if (repetitions < 1) repetitions = 1;
    build_world(repetitions);
    register_benchmarks(repetitions);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    destroy_world();
    return 0;
}
