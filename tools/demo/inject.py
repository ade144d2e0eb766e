#!/usr/bin/env python3
"""Sends hand-made ARP and IPv6 Neighbor Discovery frames out of one
interface through a raw packet socket, for the demo's simulated hosts.

  inject.py [TAGS] IFACE arp request|reply ETH_SRC SENDER_IP TARGET_IP [--sender-hw MAC]
  inject.py [TAGS] IFACE ns ETH_SRC SRC_IP TARGET_IP
  inject.py [TAGS] IFACE na ETH_SRC SRC_IP TARGET_IP

ARP frames (RFC 826) carry ETH_SRC as sender hardware address unless
--sender-hw names another one (a relayed or forged answer). A Neighbor
Solicitation (RFC 4861) goes to the target's solicited-node group with a
source link-layer address option, an Advertisement to all nodes with a
target link-layer address option; both carry a valid ICMPv6 checksum.
TAGS, outermost first, put VLAN tags after the source address, as a trunk
port carries the frame: --vlan VID an IEEE 802.1Q tag (type 0x8100),
--svlan VID an 802.1ad service tag (type 0x88a8); priority 0 in each.
Only the given interface is used; run it inside the demo's namespace.
"""

import argparse
import ipaddress
import socket
import struct
import sys

ETH_P_ARP = 0x0806
ETH_P_IPV6 = 0x86DD
ETH_P_8021Q = 0x8100
ETH_P_8021AD = 0x88A8
BROADCAST = b"\xff" * 6


def mac_bytes(text):
    parts = text.split(":")
    if len(parts) != 6:
        raise argparse.ArgumentTypeError(f"not a hardware address: {text}")
    return bytes(int(p, 16) for p in parts)


def vlan_tag(tpid):
    """An argument type: VID to a (TPID, VID) tag. 4095 is allowed, so that a
    frame a receiver must refuse can be sent too."""
    def parse(text):
        if not text.isdigit() or int(text) > 4095:
            raise argparse.ArgumentTypeError(f"not a VLAN id: {text}")
        return tpid, int(text)
    return parse


def ethernet(dst, src, ethertype, payload, tags=()):
    header = dst + src
    for tpid, vid in tags:
        header += struct.pack("!HH", tpid, vid)
    return header + struct.pack("!H", ethertype) + payload


def arp_frame(opcode, eth_src, sender_hw, sender_ip, target_ip, tags=()):
    target_hw = b"\x00" * 6 if opcode == 1 else BROADCAST
    body = struct.pack("!HHBBH", 1, 0x0800, 6, 4, opcode)
    body += sender_hw + ipaddress.IPv4Address(sender_ip).packed
    body += target_hw + ipaddress.IPv4Address(target_ip).packed
    # Padded to the Ethernet minimum, as a network card would send it.
    return ethernet(BROADCAST, eth_src, ETH_P_ARP, body, tags).ljust(60, b"\x00")


def icmpv6_checksum(src, dst, message):
    pseudo = src + dst + struct.pack("!I3xB", len(message), 58)
    data = pseudo + message
    if len(data) % 2:
        data += b"\x00"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def nd_frame(kind, eth_src, src_ip, target_ip, tags=()):
    src = ipaddress.IPv6Address(src_ip).packed
    target = ipaddress.IPv6Address(target_ip).packed
    if kind == "ns":
        icmp_type, flags, option_type = 135, 0, 1
        dst = ipaddress.IPv6Address("ff02::1:ff00:0").packed[:13] + target[13:]
    else:
        # Unsolicited, to all nodes, so only the override flag is set.
        icmp_type, flags, option_type = 136, 0x20000000, 2
        dst = ipaddress.IPv6Address("ff02::1").packed
    option = struct.pack("!BB", option_type, 1) + eth_src
    message = struct.pack("!BBHI", icmp_type, 0, 0, flags) + target + option
    checksum = icmpv6_checksum(src, dst, message)
    message = message[:2] + struct.pack("!H", checksum) + message[4:]
    ip6 = struct.pack("!IHBB", 6 << 28, len(message), 58, 255) + src + dst
    eth_dst = b"\x33\x33" + dst[12:]
    return ethernet(eth_dst, eth_src, ETH_P_IPV6, ip6 + message, tags)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # One list, so that the tags keep their order on the command line.
    parser.add_argument("--vlan", dest="tags", action="append", default=[], metavar="VID",
                        type=vlan_tag(ETH_P_8021Q))
    parser.add_argument("--svlan", dest="tags", action="append", metavar="VID",
                        type=vlan_tag(ETH_P_8021AD))
    parser.add_argument("iface")
    sub = parser.add_subparsers(dest="kind", required=True)
    arp = sub.add_parser("arp")
    arp.add_argument("op", choices=["request", "reply"])
    arp.add_argument("eth_src", type=mac_bytes)
    arp.add_argument("sender_ip")
    arp.add_argument("target_ip")
    arp.add_argument("--sender-hw", type=mac_bytes)
    for kind in ("ns", "na"):
        nd = sub.add_parser(kind)
        nd.add_argument("eth_src", type=mac_bytes)
        nd.add_argument("src_ip")
        nd.add_argument("target_ip")
    args = parser.parse_args()

    if args.kind == "arp":
        opcode = 1 if args.op == "request" else 2
        frame = arp_frame(opcode, args.eth_src, args.sender_hw or args.eth_src,
                          args.sender_ip, args.target_ip, args.tags)
    else:
        frame = nd_frame(args.kind, args.eth_src, args.src_ip, args.target_ip, args.tags)

    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as sock:
        sock.bind((args.iface, 0))
        sock.send(frame)
    return 0


if __name__ == "__main__":
    sys.exit(main())
