// The capture handle: opening it on the watched interface, installing the
// fixed filter (optionally narrowed by the administrator's), and running the
// loop that hands every frame to the frame handler.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "settings.h"

class MetricsFile;
class Notifier;
class Sensor;

struct PcapCloser {
    void operator()(pcap_t* handle) const noexcept { pcap_close(handle); }
};
using Capture = std::unique_ptr<pcap_t, PcapCloser>;

// ARP with a sender address, and Neighbor Solicitations and Advertisements
// from a source other than the unspecified address.
constexpr char CAPTURE_FILTER[] =
    "((arp && not src 0) || (icmp6 && (icmp6[icmp6type] == icmp6-neighborsolicit || "
    "icmp6[icmp6type] == icmp6-neighboradvert) && not src ::))";
static_assert(sizeof CAPTURE_FILTER - 1 == 136);

// How long the kernel may hold captured frames before it hands them over:
// frames arrive in blocks, one wake-up for many of them, and a frame on a
// quiet segment still reaches the watcher within about this long.
constexpr int kCaptureTimeoutMs = 20;

// Activated handle that delivers frames in blocks (kCaptureTimeoutMs at the
// latest); ends the process on failure.
pcap_t* open_capture(const char* interface_name, std::int32_t snaplen, int promiscuous);

// Two VLAN tags, which libpcap puts back into the frame ahead of the
// payload after it has cut the frame to the snap length.
constexpr std::int32_t kVlanTagsLength = 8;

// The text that is compiled: CAPTURE_FILTER alone, or followed by
// " and (user_filter)". With vlan_tags the same again under one and under
// two VLAN tags: libpcap's "vlan" moves the offsets of everything after it
// in the expression, so each level nests inside the one before, and the
// user filter applies to what follows the tags.
std::string build_filter_text(const char* user_filter, bool vlan_tags);

// Compiles and installs the filter; ends the process when it does not
// compile or cannot be installed.
void install_filter(pcap_t* handle, const char* user_filter, bool vlan_tags);

// Frames handed over by one capture dispatch, at most.
constexpr int kDispatchFrames = 256;

// Room the kernel keeps for frames not yet read: a burst of tens of
// thousands of frames must wait there, not be dropped, while a commit is
// being synced.
constexpr int kCaptureBufferBytes = 32 << 20;

// Runs the capture until it ends (an error, the end of a capture file, or
// a termination signal): each dispatch of up to kDispatchFrames frames goes
// to handler with the sensor as its user argument, then the sensor ends the
// batches that are due, the notifier collects ended children, and the
// metrics file (when there is one) is rewritten when due. Between dispatches a live capture
// sleeps until the kernel hands over the next block of frames, a signal arrives or a notify child
// ends. Returns the last dispatch's result: PCAP_ERROR when capture failed (the interface vanished,
// say), PCAP_ERROR_BREAK after a termination signal, 0 at the end of a capture file.
int run_capture(pcap_t* handle, Sensor& sensor, Notifier& notifier, MetricsFile* metrics = nullptr,
                pcap_handler handler = nullptr);

// Warns "capture dropped N packets (M by the interface)" when the capture
// library counted any; silent otherwise.
void report_capture_drops(pcap_t* handle);
