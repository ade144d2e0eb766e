// The capture handle: opening it on the watched interface, installing the
// fixed filter (optionally narrowed by the administrator's), and running the
// loop that hands every frame to the frame handler.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "settings.h"

class Watcher;

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

// CAPTURE_FILTER, " and (", the longest user filter, ")" and the terminator.
constexpr std::size_t kFilterTextSize = sizeof CAPTURE_FILTER - 1 + 6 + kUserFilterMax + 2;
static_assert(kFilterTextSize == 244);

// Activated handle with immediate delivery; ends the process on failure.
pcap_t* open_capture(const char* interface_name, std::int32_t snaplen, int promiscuous);

// The text that is compiled: CAPTURE_FILTER alone, or followed by
// " and (user_filter)". REQUIRES: out holds kFilterTextSize bytes.
void build_filter_text(const char* user_filter, char* out);

// Installs the filter and runs the loop until it ends (error or break),
// handing every frame to handler with user as its first argument.
void run_capture(pcap_t* handle, const char* user_filter, pcap_handler handler, u_char* user);
// The same with the watcher's own frame handler.
void run_capture(pcap_t* handle, const char* user_filter, Watcher& watcher);
