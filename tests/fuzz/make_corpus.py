#!/usr/bin/python3
"""Writes the seed corpora under tests/fuzz/corpus/ (run with Debian's python3).

Frame seeds are built with scapy, which is independent of the stack's own
codec. The DHCP option sets follow what common clients send: busybox udhcpc,
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
