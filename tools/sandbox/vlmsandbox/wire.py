#!/usr/bin/python3
"""Sends Ethernet frames on an interface and prints the frames that come back.

Runs inside a guest's network namespace (ip netns exec NAME wire.py ...):

    wire.py IFACE SECONDS [--until=N,MAC] [HEXFRAME ...]

Opens a raw packet socket on IFACE, sends each frame in turn, then collects
every frame received (not the ones sent) until SECONDS have passed, and
prints them as one JSON list of hex strings on stdout. With --until it stops
as soon as N frames from the hardware address MAC have come instead (its ARP
requests, which the service sends to learn who holds its addresses, are not
counted): a busy machine then only makes it slower. With "-" as the only frame argument,
frames are read from stdin, one hex string a line.
"""
import json
import socket
import sys
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4


def counted(frame, source):
    """A frame from source that answers something: not an ARP request."""
    asks = frame[12:14] == b"\x08\x06" and frame[20:22] == b"\x00\x01"
    return frame[6:12] == source and not asks


def main():
    iface, seconds = sys.argv[1], float(sys.argv[2])
    frames = sys.argv[3:]
    until, source = None, None
    if frames and frames[0].startswith("--until="):
        count, mac = frames.pop(0)[len("--until="):].split(",")
        until, source = int(count), bytes.fromhex(mac.replace(":", ""))
    if frames == ["-"]:
        frames = [line.strip() for line in sys.stdin if line.strip()]
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((iface, 0))
    s.settimeout(0.05)
    for frame in frames:
        s.send(bytes.fromhex(frame))
    got = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            data, address = s.recvfrom(65536)
        except socket.timeout:
            continue
        if address[2] != PACKET_OUTGOING:
            got.append(data.hex())
            if until is not None and sum(counted(bytes.fromhex(h), source) for h in got) >= until:
                break
    json.dump(got, sys.stdout)


if __name__ == "__main__":
    main()
