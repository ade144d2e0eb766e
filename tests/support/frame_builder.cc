#include "frame_builder.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace pelorin_frames {

namespace {

void put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
}

template <std::size_t N>
void put(Bytes& out, const std::array<std::uint8_t, N>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

[[noreturn]] void bad_text(const char* what, std::string_view text) {
    std::fprintf(stderr, "frame_builder: bad %s '%.*s'\n", what, static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

}  // namespace

Mac mac(std::string_view text) {
    Mac out{};
    unsigned v[6];
    const std::string copy(text);
    char extra = 0;
    if (std::sscanf(copy.c_str(), "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &extra) != 6) {
        bad_text("hardware address", text);
    }
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 0xff) bad_text("hardware address", text);
        out[i] = static_cast<std::uint8_t>(v[i]);
    }
    return out;
}

Ipv4 ipv4(std::string_view text) {
    Ipv4 out{};
    if (inet_pton(AF_INET, std::string(text).c_str(), out.data()) != 1) bad_text("IPv4", text);
    return out;
}

Ipv6 ipv6(std::string_view text) {
    Ipv6 out{};
    if (inet_pton(AF_INET6, std::string(text).c_str(), out.data()) != 1) bad_text("IPv6", text);
    return out;
}

Bytes arp_frame(const Arp& arp) {
    Bytes out;
    out.reserve(60);
    put(out, arp.eth_destination);
    put(out, arp.eth_source);
    put16(out, arp.ether_type);
    put16(out, arp.hardware_type);
    put16(out, arp.protocol_type);
    out.push_back(arp.hardware_length);
    out.push_back(arp.protocol_length);
    put16(out, arp.opcode);
    put(out, arp.sender_mac);
    put(out, arp.sender_ip);
    put(out, arp.target_mac);
    put(out, arp.target_ip);
    if (arp.pad && out.size() < 60) out.resize(60, 0);
    out.resize(out.size() + arp.extra, 0);
    return out;
}

Bytes arp_request(const Mac& source, const Ipv4& sender, const Ipv4& target) {
    Arp arp;
    arp.eth_source = source;
    arp.sender_mac = source;
    arp.sender_ip = sender;
    arp.target_ip = target;
    return arp_frame(arp);
}

NdOption link_option(std::uint8_t type, const Mac& address) {
    return NdOption{type, Bytes(address.begin(), address.end())};
}

std::uint16_t icmp6_checksum(const Ipv6& source, const Ipv6& destination,
                             const std::uint8_t* message, std::size_t length) {
    std::uint32_t sum = 0;
    auto add_bytes = [&sum](const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i + 1 < n; i += 2)
            sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
        if (n % 2 == 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    };
    add_bytes(source.data(), source.size());
    add_bytes(destination.data(), destination.size());
    sum += static_cast<std::uint32_t>(length >> 16);
    sum += static_cast<std::uint32_t>(length & 0xffff);
    sum += 58;  // next header, ICMPv6
    add_bytes(message, length);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

Bytes nd_frame(const Nd& nd) {
    Bytes icmp;
    icmp.push_back(nd.type);
    icmp.push_back(0);  // code
    put16(icmp, 0);     // checksum, filled in below
    put16(icmp, static_cast<std::uint16_t>(nd.flags >> 16));
    put16(icmp, static_cast<std::uint16_t>(nd.flags & 0xffff));
    put(icmp, nd.target);
    for (const NdOption& option : nd.options) {
        const std::size_t whole = option.body.size() + 2;
        const std::size_t units = (whole + 7) / 8;
        icmp.push_back(option.type);
        icmp.push_back(option.length >= 0 ? static_cast<std::uint8_t>(option.length)
                                          : static_cast<std::uint8_t>(units));
        icmp.insert(icmp.end(), option.body.begin(), option.body.end());
        icmp.resize(icmp.size() + units * 8 - whole, 0);
    }
    icmp.insert(icmp.end(), nd.raw_options.begin(), nd.raw_options.end());
    const std::uint16_t sum = icmp6_checksum(nd.source, nd.destination, icmp.data(), icmp.size());
    icmp[2] = static_cast<std::uint8_t>(sum >> 8);
    icmp[3] = static_cast<std::uint8_t>(sum & 0xff);

    Bytes out;
    out.reserve(14 + 40 + icmp.size());
    put(out, nd.eth_destination);
    put(out, nd.eth_source);
    put16(out, 0x86dd);
    put16(out, 0x6000);  // version 6, no traffic class, no flow label
    put16(out, 0);
    put16(out, static_cast<std::uint16_t>(nd.payload_length < 0 ? icmp.size()
                                                                : nd.payload_length));
    out.push_back(nd.next_header);
    out.push_back(255);  // hop limit, as neighbor discovery requires
    put(out, nd.source);
    put(out, nd.destination);
    out.insert(out.end(), icmp.begin(), icmp.end());
    return out;
}

Bytes tagged(Bytes frame, const std::vector<VlanTag>& tags) {
    Bytes inserted;
    for (const VlanTag& tag : tags) {
        inserted.push_back(static_cast<std::uint8_t>(tag.type >> 8));
        inserted.push_back(static_cast<std::uint8_t>(tag.type));
        inserted.push_back(static_cast<std::uint8_t>(tag.id >> 8 & 0x0f));
        inserted.push_back(static_cast<std::uint8_t>(tag.id));
    }
    frame.insert(frame.begin() + 12, inserted.begin(), inserted.end());
    return frame;
}

}  // namespace pelorin_frames
