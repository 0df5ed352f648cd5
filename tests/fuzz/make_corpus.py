#!/usr/bin/python3
"""Writes the seed corpora under tests/fuzz/corpus/ (run with Debian's python3).

Frame seeds are built with scapy, which is independent of the stack's own
codec; renew and attach records are packed here from their layouts. The DHCP option sets follow what common clients send: busybox udhcpc,
dhcpcd, ISC dhclient, and a Windows-like client. Each frame seed is the fuzz
input format of fuzz_frame: one pool-shape byte, then records of a 2-byte
big-endian length and the frame bytes.
"""

import os
import struct
import sys

from scapy.all import ARP, BOOTP, DHCP, IP, UDP, Ether, raw  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = "10.0.0.1"
OFFERED = "10.0.0.3"
BCAST = "ff:ff:ff:ff:ff:ff"

CLIENTS = {
    # busybox udhcpc: client id, max size, vendor class, parameter list
    "udhcpc": ("02:42:ac:11:00:02", [
        ("client_id", b"\x01\x02\x42\xac\x11\x00\x02"),
        ("max_dhcp_size", 576),
        ("vendor_class_id", b"udhcp 1.35.0"),
        ("param_req_list", [1, 3, 6, 12, 15, 28, 42]),
    ]),
    # dhcpcd: client id (DUID form), hostname, vendor class, long parameter list
    "dhcpcd": ("52:54:00:12:34:56", [
        ("client_id", b"\xff\x00\x00\x00\x01\x00\x01\x00\x01\x2b\x3c\x4d\x5e\x52\x54\x00\x12\x34\x56"),
        ("max_dhcp_size", 1472),
        ("vendor_class_id", b"dhcpcd-9.4.1:Linux-6.1.0:x86_64:GenuineIntel"),
        ("hostname", b"guest"),
        ("param_req_list", [1, 121, 33, 3, 6, 28, 51, 58, 59, 119, 15, 12, 26, 42]),
    ]),
    # ISC dhclient: hostname and parameter list, no client id
    "dhclient": ("08:00:27:aa:bb:cc", [
        ("hostname", b"debian"),
        ("param_req_list", [1, 28, 2, 3, 15, 6, 119, 12, 44, 47, 26, 121, 42]),
    ]),
    # Windows-like: client id with htype, hostname, vendor class MSFT 5.0
    "windows": ("00:15:5d:01:02:03", [
        ("client_id", b"\x01\x00\x15\x5d\x01\x02\x03"),
        ("hostname", b"DESKTOP-GUEST"),
        ("vendor_class_id", b"MSFT 5.0"),
        ("param_req_list", [1, 3, 6, 15, 31, 33, 43, 44, 46, 47, 119, 121, 249, 252]),
    ]),
}


def mac_bytes(mac):
    return bytes(int(x, 16) for x in mac.split(":"))


def dhcp_frame(mac, xid, options, flags=0x8000, ciaddr="0.0.0.0", op=1):
    return raw(
        Ether(dst=BCAST, src=mac)
        / IP(src="0.0.0.0", dst="255.255.255.255")
        / UDP(sport=68, dport=67)
        / BOOTP(op=op, chaddr=mac_bytes(mac) + b"\0" * 10, xid=xid, flags=flags, ciaddr=ciaddr)
        / DHCP(options=options + ["end"])
    )


def arp_request(mac, src_ip, target):
    return raw(Ether(dst=BCAST, src=mac) / ARP(op=1, hwsrc=mac, psrc=src_ip, pdst=target))


def frames_input(frames, shape=0x83):
    return bytes([shape]) + b"".join(struct.pack(">H", len(f)) + f for f in frames)


def frame_seeds():
    seeds = {}
    for name, (mac, extra) in CLIENTS.items():
        xid = int.from_bytes(mac_bytes(mac)[2:], "big")
        discover = dhcp_frame(mac, xid, [("message-type", "discover")] + extra)
        request = dhcp_frame(mac, xid, [("message-type", "request"),
                                        ("requested_addr", OFFERED),
                                        ("server_id", SERVER)] + extra)
        reboot = dhcp_frame(mac, xid + 1, [("message-type", "request"),
                                           ("requested_addr", OFFERED)] + extra)
        renew = dhcp_frame(mac, xid + 2, [("message-type", "request")] + extra,
                           flags=0, ciaddr=OFFERED)
        release = dhcp_frame(mac, xid + 3, [("message-type", "release"),
                                            ("server_id", SERVER)], flags=0, ciaddr=OFFERED)
        seeds[f"{name}-discover"] = frames_input([discover])
        seeds[f"{name}-exchange"] = frames_input([discover, request])
        seeds[f"{name}-reboot-renew-release"] = frames_input([discover, request, reboot,
                                                             renew, release])
    macs = [mac for mac, _ in CLIENTS.values()]
    # Four guests on a two-address pool: the pool runs dry, then a request
    # for an offer that was taken.
    many = [dhcp_frame(m, i, [("message-type", "discover")]) for i, m in enumerate(macs)]
    many.append(dhcp_frame(macs[0], 9, [("message-type", "request"),
                                        ("requested_addr", OFFERED), ("server_id", SERVER)]))
    seeds["pool-exhausted"] = frames_input(many, shape=0x01)
    # The pool runs dry and the reclaimer asks about both offers, a frame
    # apart; the first guest answers for its own, time passes (a frame
    # each), and the third guest, asking again, gets the silent one.
    seeds["pool-reclaimed"] = frames_input(many[:3] + [
        b"\x00" * 14,
        raw(Ether(dst="00:01:23:45:be:f0", src=macs[0])
            / ARP(op=2, hwsrc=macs[0], psrc=OFFERED, hwdst="00:01:23:45:be:f0", pdst=SERVER)),
        b"\x00" * 14, b"\x00" * 14, many[2]], shape=0x01)
    seeds["other-server"] = frames_input([dhcp_frame(macs[1], 5, [
        ("message-type", "request"), ("requested_addr", OFFERED), ("server_id", "10.0.0.9")])])
    seeds["decline-inform"] = frames_input([
        dhcp_frame(macs[2], 6, [("message-type", "decline"), ("requested_addr", OFFERED),
                                ("server_id", SERVER)]),
        dhcp_frame(macs[2], 7, [("message-type", "inform")], ciaddr="10.0.0.50"),
    ])
    seeds["bootreply"] = frames_input([dhcp_frame(macs[3], 8, [("message-type", "offer")], op=2)])
    seeds["arp"] = frames_input([
        arp_request(macs[0], "10.0.0.3", SERVER),
        arp_request(macs[1], "0.0.0.0", SERVER),
        arp_request("12:34:56:78:9a:bc", "10.0.0.4", "10.0.0.2"),
    ])
    # Stations that hold pool addresses: an answer to the service's own
    # request, a station asking for the host, one claiming an address just
    # offered to a guest; then a guest that declines its address.
    station = "02:00:00:00:00:33"
    seeds["arp-holders"] = frames_input([
        raw(Ether(dst="00:01:23:45:be:f0", src=station)
            / ARP(op=2, hwsrc=station, psrc="10.0.0.3", hwdst="00:01:23:45:be:f0", pdst=SERVER)),
        arp_request(station, "10.0.0.9", "10.0.0.2"),
        many[0],
        arp_request("02:00:00:00:00:44", "10.0.0.4", "10.0.0.2"),
        many[1],
    ])
    seeds["decline-after-ack"] = frames_input([
        many[0],
        dhcp_frame(macs[0], 0, [("message-type", "request"), ("requested_addr", OFFERED),
                                ("server_id", SERVER)]),
        dhcp_frame(macs[0], 1, [("message-type", "decline"), ("requested_addr", OFFERED),
                                ("server_id", SERVER)]),
        many[0],
        raw(Ether(dst="00:01:23:45:be:f0", src=station)
            / ARP(op=2, hwsrc=station, psrc=OFFERED, hwdst="00:01:23:45:be:f0", pdst=SERVER)),
    ])
    seeds["mixed"] = frames_input([
        arp_request(macs[0], "10.0.0.3", SERVER),
        many[0],
        b"\x00" * 13,
        many[1][:300],
        dhcp_frame(macs[0], 0, [("message-type", "request"), ("requested_addr", OFFERED),
                                ("server_id", SERVER)]),
    ])
    return seeds


CONFIGS = {
    "basic.ini": b"[vnic0]\nDHCP=1\nStart interface=1\nScope start=10.37.129.1\n"
                 b"Scope end=10.37.129.254\nScope network mask=255.255.255.0\n",
    "hex.ini": b"# host adapters\n[vnic0]\nDHCP=10\nStart interface=0\nScope start=0a258101\n"
               b"Scope end=0x0a2581fe\nScope network mask=ffffff00\n",
    "crlf.ini": b"[vnic1]\r\nDHCP = 0\r\n[vnic0]\r\nScope start = 192.168.50.1\r\n"
                b"Scope end=192.168.50.200\r\nScope network mask=255.255.255.0\r\n",
    "odd.ini": b"key=before header\n[abc]x\n[ vnic0 ]\n=novalue\nnoequals\nk=\nk=a=b\n"
               b"[vnic0\n[]\n[\xc3\xa9t\xc3\xa9]\nScope start=10.0.0.256\n",
}


def sized_config(size):
    """A valid configuration of exactly size bytes, filled up by a comment."""
    text = CONFIGS["basic.ini"]
    return text + b"#" + b"x" * (size - len(text) - 2) + b"\n"


CONFIGS["limit-20480.ini"] = sized_config(20480)
CONFIGS["over-20481.ini"] = sized_config(20481)

ADDRESSES = {
    "dotted": b"10.37.129.2",
    "hex": b"0a258102",
    "hex-prefix": b"0x0a258102",
    "broadcast": b"255.255.255.255",
    "plain": b"100",
    "too-big": b"10.0.0.256",
    "short": b"10.0.0",
    "trailing": b"10.0.0.1x",
    "negative": b"-1.0.0.0",
    "blank": b"10.0.0.1 ",
    "empty": b"",
}


# The 40-byte scope renew record, host order (little-endian x86): pid, scope
# start, end, mask, reserved, 16-byte adapter name, start interface.
def renew_record(start, end, mask, name=b"vnic0", pid=4242, reserved=0, start_if=1):
    return struct.pack("<iIIII16si", pid, start, end, mask, reserved, name, start_if)


def ip_value(text):
    return int.from_bytes(bytes(int(x) for x in text.split(".")), "big")


RENEWS = {
    "service": renew_record(ip_value("10.0.0.1"), ip_value("10.0.0.254"), ip_value("255.255.255.0")),
    "other-net": renew_record(ip_value("192.168.7.1"), ip_value("192.168.7.100"),
                              ip_value("255.255.255.0"), name=b"vnic1", start_if=0),
    "too-small": renew_record(ip_value("10.0.0.1"), ip_value("10.0.0.18"), ip_value("255.255.255.0")),
    "reversed": renew_record(ip_value("10.0.0.200"), ip_value("10.0.0.1"), ip_value("255.255.255.0")),
    "wrapping": renew_record(0xFFFFFFFE, 0xFFFFFFFF, 0),
    "whole-space": renew_record(0, 0xFFFFFFFF, 0),
    "name-unterminated": renew_record(ip_value("10.0.0.1"), ip_value("10.0.0.254"),
                                      ip_value("255.255.255.0"), name=b"\x01\xffabcdefghijklmn"),
    "short": renew_record(ip_value("10.1.0.1"), ip_value("10.1.0.254"), ip_value("255.255.0.0"))[:20],
    "long": renew_record(ip_value("10.0.0.1"), ip_value("10.0.0.254"), ip_value("255.255.255.0")) + b"\0",
    "empty": b"",
}


# The 22-byte attach record: a NUL-terminated name in 16 bytes, then the
# port's hardware address. Each fuzz input is records of a 1-byte length.
def attach_input(records):
    return b"".join(bytes([len(r)]) + r for r in records)


def attach_record(name, mac):
    return name.ljust(16, b"\0")[:16] + mac_bytes(mac)


ATTACHES = {
    "service": attach_input([attach_record(b"vnic0", "00:01:23:45:be:f0")]),
    "two-ports": attach_input([attach_record(b"vnic0", "02:42:ac:11:00:02"),
                               attach_record(b"tap-guest1", "52:54:00:12:34:56")]),
    "same-address": attach_input([attach_record(b"a", "52:54:00:12:34:56"),
                                  attach_record(b"b", "52:54:00:12:34:56")]),
    "refused": attach_input([attach_record(b"", "52:54:00:12:34:56"),
                             b"x" * 16 + mac_bytes("52:54:00:12:34:56"),
                             attach_record(b"grp", "01:00:5e:00:00:01"),
                             attach_record(b"zero", "00:00:00:00:00:00"),
                             attach_record(b"short", "52:54:00:12:34:56")[:21],
                             attach_record(b"long", "52:54:00:12:34:56") + b"\0"]),
    "longest-name": attach_input([attach_record(b"n" * 15, "08:00:27:aa:bb:cc")]),
}


# Replies as dhcpload's book expects them: xids from 0x1000, guest k's
# hardware address 02:5a and four bytes of k * 0x9e3779 modulo 2^24.
def guest_mac(index, seed=0x5A):
    scattered = (index * 0x9E3779) & 0xFFFFFF
    return "02:%02x:" % seed + ":".join("%02x" % b for b in scattered.to_bytes(4, "big"))


def server_reply(kind, xid, mac, yiaddr, server="10.0.0.1", chksum=None, extra=()):
    udp = UDP(sport=67, dport=68) if chksum is None else UDP(sport=67, dport=68, chksum=chksum)
    return raw(
        Ether(dst=BCAST, src="00:01:23:45:be:f0")
        / IP(src=server, dst="255.255.255.255")
        / udp
        / BOOTP(op=2, chaddr=mac_bytes(mac) + b"\0" * 10, xid=xid, yiaddr=yiaddr, siaddr=server)
        / DHCP(options=[("message-type", kind), ("server_id", server),
                        ("subnet_mask", "255.255.255.0"), ("lease_time", 86400)]
               + list(extra) + ["end"])
    )


def reply_seeds():
    offers = [server_reply("offer", 0x1000 + k, guest_mac(k), "10.0.0.%d" % (3 + k))
              for k in range(4)]
    acks = [server_reply("ack", 0x1000 + k, guest_mac(k), "10.0.0.%d" % (3 + k)) for k in range(4)]
    return {
        "exchanges": frames_input([f for pair in zip(offers, acks) for f in pair], shape=0),
        "nak": frames_input([offers[0], server_reply("nak", 0x1000, guest_mac(0), "0.0.0.0")],
                            shape=0),
        "ack-mismatch-duplicate": frames_input([
            offers[0], offers[1],
            server_reply("ack", 0x1000, guest_mac(0), "10.0.0.9"),
            server_reply("ack", 0x1001, guest_mac(1), "10.0.0.9"),
        ], shape=0),
        "timeouts": frames_input([offers[0], b"", b"", offers[1], acks[1]], shape=0x0e),
        "no-checksum": frames_input([server_reply("offer", 0x1002, guest_mac(2), "10.0.0.5",
                                                  chksum=0)], shape=1),
        "options": frames_input([server_reply("offer", 0x1003, guest_mac(3), "10.0.0.6",
                                              extra=[("router", "10.0.0.1"), "pad",
                                                     ("hostname", b"guest")])], shape=0),
        "other-traffic": frames_input([
            raw(Ether(dst=BCAST) / ARP(op=1, psrc="10.0.0.1", pdst="10.0.0.3")),
            raw(Ether(dst=BCAST) / IP(src="10.0.0.1", dst="10.0.0.255") / UDP(sport=67, dport=67)),
            offers[2][:100],
        ], shape=0),
    }


def write_all(target, files):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


def main():
    write_all("frame", frame_seeds())
    write_all("config", CONFIGS)
    write_all("address", ADDRESSES)
    write_all("renew", RENEWS)
    write_all("attach", ATTACHES)
    write_all("reply", reply_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
