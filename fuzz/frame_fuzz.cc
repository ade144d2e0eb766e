// Feeds arbitrary bytes to the daemon's frame handler as one captured frame
// of that length, over a real interface database with the vendor database
// attached, as the capture loop would. The capture second is picked from the
// input too, so the expiry pass and its cut-off see extreme clocks.
#include <pcap/pcap.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "frame_decode.h"
#include "store.h"

namespace {

sqlite3* db = nullptr;
char directory[] = "/tmp/pelorin-frame-fuzz-XXXXXX";

void remove_directory() {
    char path[sizeof directory + 32];
    for (const char* name : {"ma_db.sqlite", "fuzz0.sqlite", "fuzz0.sqlite-journal"}) {
        std::snprintf(path, sizeof path, "%s/%s", directory, name);
        unlink(path);
    }
    rmdir(directory);
}

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (mkdtemp(directory) == nullptr) std::abort();
    std::atexit(remove_directory);
    library_directory = directory;

    sqlite3* vendor = store_open_vendor(kOpenWrite);
    vendor_insert(vendor, "ma_l", "00:11:22", "Alpha Org");
    vendor_insert(vendor, "ma_u", "2", "(private)");
    store_close(vendor);

    db = store_open_interface("fuzz0", kOpenWrite);
    store_attach_vendor(db);
    // Every accepted frame warns; keep that off the fuzzer's own output,
    // which still reaches descriptor 2 with any sanitizer report.
    static FILE* quiet = std::fopen("/dev/null", "w");
    if (quiet != nullptr) stderr = quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy: any read past the captured length is caught.
    std::vector<u_char> frame(data, data + size);
    pcap_pkthdr header{};
    header.ts.tv_sec = capture_second(data, size);
    header.ts.tv_usec = size > 1 ? data[size - 2] : 0;
    header.caplen = static_cast<bpf_u_int32>(size);
    header.len = header.caplen;
    handle_frame(reinterpret_cast<u_char*>(db), &header, frame.data());
    return 0;
}
