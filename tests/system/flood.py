#!/usr/bin/python3
"""Floods a link with DHCPDISCOVERs from ever new client hardware addresses.

Runs inside a guest's network namespace (ip netns exec NAME flood.py ...):

    flood.py IFACE COUNT RATE SERVICE_MAC < frames

Reads hex frames from stdin, one a line, up to the first empty line, then
sends them in turn, RATE a second, over and over, until it has sent COUNT and a line "stop"
came on stdin; prints "flooding" once the first COUNT/5 are out. Meanwhile
it times the ARP requests that SERVICE_MAC sends. At the end it prints one
JSON object: frames sent, ARP requests seen, and the most seen in any one
second.
"""
import json
import select
import socket
import sys
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4


def main():
    iface, count, rate = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    service = bytes.fromhex(sys.argv[4].replace(":", ""))
    frames = []
    for line in sys.stdin:
        if not line.strip():
            break
        frames.append(bytes.fromhex(line.strip()))
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((iface, 0))
    s.setblocking(False)
    asked_at = []
    sent, stopped, told = 0, False, False
    began = time.monotonic()
    while sent < count or not stopped:
        if sent > (time.monotonic() - began) * rate:
            select.select([s], [], [], 0.001)
        else:
            try:
                s.send(frames[sent % len(frames)])
                sent += 1
            except BlockingIOError:
                select.select([], [s], [], 0.01)
        if sent >= count // 5 and not told:
            told = True
            print("flooding", flush=True)
        while True:
            try:
                data, address = s.recvfrom(65536)
            except BlockingIOError:
                break
            if (address[2] != PACKET_OUTGOING and data[6:12] == service
                    and data[12:14] == b"\x08\x06" and data[20:22] == b"\x00\x01"):
                asked_at.append(time.monotonic())
        if not stopped and select.select([sys.stdin], [], [], 0)[0]:
            stopped = sys.stdin.readline().strip() in ("stop", "")
    most, first = 0, 0
    for last, at in enumerate(asked_at):
        while at - asked_at[first] >= 1.0:
            first += 1
        most = max(most, last - first + 1)
    print(json.dumps({"sent": sent, "arp": len(asked_at), "most_per_second": most}), flush=True)


if __name__ == "__main__":
    main()
