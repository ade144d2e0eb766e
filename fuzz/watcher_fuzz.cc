// Runs the daemon's whole frame handler over arbitrary bytes, against an
// interface database in memory, as the capture loop would. The capture
// second is picked from the input too, so the expiry pass and its cut-off
// see extreme clocks.
#include <pcap/pcap.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "interface_db.h"
#include "notifier.h"
#include "settings.h"
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // All live as long as the fuzzer does. Without a notify command
    // nothing reads the vendor database.
    static DaemonSettings settings;
    settings.interface_name = "fuzz0";
    static Notifier notifier(nullptr, nullptr);
    watcher = new Watcher(settings, settings.interface_name,
                          InterfaceDb(":memory:", OpenMode::write), notifier);
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
