// Feeds arbitrary bytes to the daemon's frame decoder as one captured frame
// of that length: no file, no database, just the verdict.
#include <cstdint>
#include <cstring>
#include <vector>

#include "frame_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy: any read past the captured length is caught.
    const std::vector<std::uint8_t> frame(data, data + size);
    const FrameVerdict verdict = decode_frame(frame, {1'800'000'000, 0});
    // A verdict that claims an observation must have passed the Ethernet
    // checks and hold terminated texts.
    if (verdict.observed &&
        (!verdict.reaches_expiry ||
         std::memchr(verdict.observation.hwaddr, 0, sizeof verdict.observation.hwaddr) == nullptr ||
         verdict.observation.ipaddr()[0] == '\0')) {
        __builtin_trap();
    }
    return 0;
}
