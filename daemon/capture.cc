#include "capture.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag.h"
#include "lifecycle.h"
#include "metrics.h"
#include "notifier.h"
#include "sensor.h"

pcap_t* open_capture(const char* interface_name, std::int32_t snaplen, int promiscuous) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(interface_name, errbuf);
    if (handle == nullptr) {
        diag_fatal("pcap_create for interface %s failed: %s\n", interface_name, errbuf);
    }
    int rc = pcap_set_snaplen(handle, snaplen);
    if (rc != 0) diag_fatal("pcap_set_snaplen failed: %d\n", rc);
    rc = pcap_set_promisc(handle, promiscuous);
    if (rc != 0) diag_fatal("pcap_set_promisc failed: %d\n", rc);
    // Not immediate mode: that wakes the process for every frame, and a
    // wake-up costs more than handling the frame. With a buffer timeout the
    // kernel fills blocks of frames and hands each over when it is full or
    // the timeout has passed.
    rc = pcap_set_timeout(handle, kCaptureTimeoutMs);
    if (rc != 0) diag_fatal("pcap_set_timeout failed: %d\n", rc);
    rc = pcap_set_buffer_size(handle, kCaptureBufferBytes);
    if (rc != 0) diag_fatal("pcap_set_buffer_size failed: %d\n", rc);
    // A positive result is only an activation warning.
    if (pcap_activate(handle) < 0) diag_fatal("pcap_activate failed: %s\n", pcap_geterr(handle));

    const int fd = pcap_get_selectable_fd(handle);
    if (fd < 0) {
        diag_warn("pcap_get_selectable_fd failed: %s\n", pcap_geterr(handle));
    } else if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) {
        // Otherwise every notify command would inherit the capture socket.
        diag_warn("fcntl FD_CLOEXEC on pcap fd failed: %s\n", std::strerror(errno));
    }
    return handle;
}

std::string build_filter_text(const char* user_filter, bool vlan_tags) {
    std::string untagged = CAPTURE_FILTER;
    if (user_filter != nullptr) {
        untagged += " and (";
        untagged += user_filter;
        untagged += ')';
    }
    if (!vlan_tags) return untagged;
    const std::string level = "(" + untagged + ")";
    return level + " or (vlan and (" + level + " or (vlan and " + level + ")))";
}

namespace {

// Sleeps until the capture descriptor has a block of frames or an error to
// report, the wake descriptor says a signal came or a child ended, or
// timeout_ms (-1: no limit) has passed.
void wait_for_frames(pcap_t* handle, int capture_fd, int timeout_ms) {
    pollfd fds[2] = {{capture_fd, POLLIN, 0}, {wake_descriptor(), POLLIN, 0}};
    const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    // While the interface is down, libpcap must be asked again and again
    // whether it has gone for good.
    if (const timeval* required = pcap_get_required_select_timeout(handle)) {
        int required_ms = static_cast<int>(required->tv_sec * 1000 + required->tv_usec / 1000);
        if (required_ms < 1) required_ms = 1;
        if (timeout_ms < 0 || required_ms < timeout_ms) timeout_ms = required_ms;
    }
    // EINTR is a signal, which the caller looks at next.
    if (poll(fds, count, timeout_ms) > 0 && count == 2 && fds[1].revents != 0) clear_wake();
}

}  // namespace

void install_filter(pcap_t* handle, const char* user_filter, bool vlan_tags) {
    const std::string filter_text = build_filter_text(user_filter, vlan_tags);
    bpf_program program{};
    if (pcap_compile(handle, &program, filter_text.c_str(), 1, PCAP_NETMASK_UNKNOWN) == -1) {
        diag_fatal("pcap_compile failed: %s\n", pcap_geterr(handle));
    }
    if (pcap_setfilter(handle, &program) != 0) {
        diag_fatal("pcap_setfilter failed: %s\n", pcap_geterr(handle));
    }
    pcap_freecode(&program);
}

int run_capture(pcap_t* handle, Sensor& sensor, Notifier& notifier, MetricsFile* metrics,
                pcap_handler handler) {
    if (handler == nullptr) handler = Sensor::on_frame;
    const bool from_file = pcap_file(handle) != nullptr;
    // A live capture sleeps in poll() here, so that the loop also wakes for
    // what is not a frame; libpcap then only takes what is ready. Without a
    // descriptor to sleep on (never on Linux) libpcap blocks instead.
    const int capture_fd = from_file ? -1 : pcap_get_selectable_fd(handle);
    if (capture_fd >= 0) {
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        if (pcap_setnonblock(handle, 1, errbuf) != 0) {
            diag_fatal("pcap_setnonblock failed: %s\n", errbuf);
        }
    }
    for (;;) {
        if (pending_exit_signal() != 0) return PCAP_ERROR_BREAK;
        const int n =
            pcap_dispatch(handle, kDispatchFrames, handler, reinterpret_cast<u_char*>(&sensor));
        // A full dispatch leaves frames waiting, most likely.
        sensor.after_dispatch(n >= kDispatchFrames);
        notifier.reap();
        if (metrics != nullptr) metrics->write_if_due(sensor, notifier, handle);
        // A break is a termination signal, looked at above.
        if (n == PCAP_ERROR_BREAK) continue;
        if (n < 0 || (n == 0 && from_file)) return n;
        // A full dispatch may have left frames in the ring.
        if (capture_fd >= 0 && n < kDispatchFrames) {
            int timeout_ms = sensor.wait_ms();
            const int metrics_ms = metrics != nullptr ? metrics->wait_ms() : -1;
            if (timeout_ms < 0 || (metrics_ms >= 0 && metrics_ms < timeout_ms)) {
                timeout_ms = metrics_ms;
            }
            wait_for_frames(handle, capture_fd, timeout_ms);
        }
    }
}

void report_capture_drops(pcap_t* handle) {
    pcap_stat stats{};
    if (pcap_stats(handle, &stats) != 0) return;
    if (stats.ps_drop == 0 && stats.ps_ifdrop == 0) return;
    diag_warn("capture dropped %u packets (%u by the interface)\n", stats.ps_drop, stats.ps_ifdrop);
}
