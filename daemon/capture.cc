#include "capture.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag.h"
#include "lifecycle.h"
#include "notify.h"
#include "watcher.h"

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
    rc = pcap_set_immediate_mode(handle, 1);
    if (rc != 0) diag_fatal("pcap_set_immediate_mode failed: %d\n", rc);
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

void build_filter_text(const char* user_filter, char* out) {
    std::memset(out, 0, kFilterTextSize);
    if (user_filter == nullptr) {
        copy_bounded(out, CAPTURE_FILTER, kFilterTextSize);
    } else {
        std::snprintf(out, kFilterTextSize, "%s and (%s)", CAPTURE_FILTER, user_filter);
    }
}

int run_capture(pcap_t* handle, const char* user_filter, Watcher& watcher, pcap_handler handler) {
    char filter_text[kFilterTextSize];
    build_filter_text(user_filter, filter_text);

    bpf_program program{};
    if (pcap_compile(handle, &program, filter_text, 1, PCAP_NETMASK_UNKNOWN) == -1) {
        diag_fatal("pcap_compile failed: %s\n", pcap_geterr(handle));
    }
    if (pcap_setfilter(handle, &program) != 0) {
        diag_fatal("pcap_setfilter failed: %s\n", pcap_geterr(handle));
    }
    pcap_freecode(&program);

    if (handler == nullptr) handler = Watcher::on_frame;
    const bool from_file = pcap_file(handle) != nullptr;
    for (;;) {
        const int n = pcap_dispatch(handle, Watcher::kBatchFrames, handler,
                                    reinterpret_cast<u_char*>(&watcher));
        watcher.end_batch();
        notify_reap();
        // A break is a termination signal or an ended notify child; only the
        // first ends the capture.
        if (n == PCAP_ERROR_BREAK && pending_exit_signal() == 0) continue;
        if (n < 0 || (n == 0 && from_file)) return n;
    }
}

void report_capture_drops(pcap_t* handle) {
    pcap_stat stats{};
    if (pcap_stats(handle, &stats) != 0) return;
    if (stats.ps_drop == 0 && stats.ps_ifdrop == 0) return;
    diag_warn("capture dropped %u packets (%u by the interface)\n", stats.ps_drop, stats.ps_ifdrop);
}
