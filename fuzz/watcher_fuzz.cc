// Runs the daemon's whole frame handler over arbitrary bytes, against an
// interface database in memory (with a vendor database attached, also in
// memory), as the capture loop would. The capture second is picked from the
// input too, so the expiry pass and its cut-off see extreme clocks.
#include <pcap/pcap.h>
#include <sqlite3.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "settings.h"
#include "store.h"
#include "watcher.h"

namespace {

Watcher* watcher = nullptr;

std::int64_t capture_second(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 1'800'000'000;
    switch (data[size - 1] % 8) {
        case 0:
            return INT64_MAX;
        case 1:
            return INT64_MIN;
        case 2:
            return 0;
        default: {
            // Mostly ordinary times, spread over days so passes come and go.
            std::uint64_t mix = 1'800'000'000;
            for (std::size_t i = 0; i < size && i < 16; ++i) mix = mix * 131 + data[i];
            return 1'800'000'000 + static_cast<std::int64_t>(mix % (60ull * 86'400));
        }
    }
}

void exec_or_abort(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sqlite3* raw = nullptr;
    if (sqlite3_open(":memory:", &raw) != SQLITE_OK) std::abort();
    Db db(raw);
    exec_or_abort(raw, kInterfaceSchema);
    exec_or_abort(raw, "ATTACH DATABASE ':memory:' AS ma_db");
    exec_or_abort(raw,
                  "CREATE TABLE ma_db.ma_l (prefix TEXT NOT NULL PRIMARY KEY, org TEXT NOT NULL);"
                  "CREATE TABLE ma_db.ma_m (prefix TEXT NOT NULL PRIMARY KEY, org TEXT NOT NULL);"
                  "CREATE TABLE ma_db.ma_s (prefix TEXT NOT NULL PRIMARY KEY, org TEXT NOT NULL);"
                  "CREATE TABLE ma_db.ma_u (prefix TEXT NOT NULL PRIMARY KEY, org TEXT NOT NULL);"
                  "INSERT INTO ma_db.ma_l VALUES ('00:11:22', 'Alpha Org');");
    settings.interface_name = "fuzz0";
    // Lives as long as the fuzzer does.
    watcher = new Watcher(settings, std::move(db));
    // Every accepted frame warns; keep that off the fuzzer's own output,
    // which still reaches descriptor 2 with any sanitizer report.
    static FILE* quiet = std::fopen("/dev/null", "w");
    if (quiet != nullptr) stderr = quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy: any read past the captured length is caught.
    const std::vector<u_char> frame(data, data + size);
    pcap_pkthdr header{};
    header.ts.tv_sec = capture_second(data, size);
    header.ts.tv_usec = size > 1 ? data[size - 2] : 0;
    header.caplen = static_cast<bpf_u_int32>(size);
    header.len = header.caplen;
    watcher->handle_frame(&header, frame.data());
    return 0;
}
