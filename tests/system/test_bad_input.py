"""Bad input to the real daemon in the sandbox: malformed frames from a guest,
odd configuration files and scope renew files. Each case gets the right
silence or reply, and afterwards the service process is alive and still
answers a valid DHCPDISCOVER.

Frames shorter than an Ethernet header cannot reach the service here: a
guest's kernel refuses to send them (EINVAL) and the bridge refuses them from
its ports, so their handling is covered by the unit tests and the frame
fuzzer; here the shortest frames are bare headers. The
70000-guest flood is a unit test (Flood.*) through the in-process stack;
here a smaller flood goes through the bridge."""
import os
import random
import stat
import struct
import threading
import time

import pytest
from scapy.all import ARP, BOOTP, DHCP, IP, UDP, Ether, raw

from vlmsandbox.daemon import (BROADCAST_MAC, Daemon, config_text, dhcp_request_frame,
                               exchange, from_server, guest_mac)

SERVER = "10.37.129.1"
FIRST = "10.37.129.3"
COOKIE = b"\x63\x82\x53\x63"
OFFER, ACK, NAK = 2, 5, 6


@pytest.fixture
def served(make_sandbox, tmp_path):
    box = make_sandbox(guests=["g1", "g2"])
    d = Daemon(box, tmp_path)
    assert d.start() == 0
    d.wait_serving()
    return box, d


def udp_frame(mac, payload, ip_kw=None, udp_kw=None):
    """A guest's broadcast to port 67 carrying payload, built by scapy."""
    return raw(Ether(src=mac, dst=BROADCAST_MAC) /
               IP(src="0.0.0.0", dst="255.255.255.255", **(ip_kw or {})) /
               UDP(sport=68, dport=67, **(udp_kw or {})) / payload)


def fixed_part(mac, xid, op=1):
    """The 236-byte BOOTP part and the magic cookie."""
    chaddr = bytes.fromhex(mac.replace(":", "")) + bytes(10)
    return raw(BOOTP(op=op, xid=xid, chaddr=chaddr, flags=0x8000)) + COOKIE


def replies(box, guest, frames, seconds=0.4):
    """(message type or 'arp', yiaddr) of every frame the service sent back."""
    got = exchange(box, guest, frames, seconds)
    out = [(f[42 + 242], ".".join(str(b) for b in f[42 + 16:42 + 20]))
           for f in from_server(got)]
    return out + [("arp", None) for _ in from_server(got, 0x0806)]


def still_serving(box, d, guest="g2", xid=0xC0FFEE):
    """The service lives and answers a well-formed DHCPDISCOVER."""
    assert d.alive()
    mac = guest_mac(box, guest)
    got = from_server(exchange(box, guest, [dhcp_request_frame(mac, xid, 1)], replies=1))
    assert len(got) == 1 and got[0][42 + 242] == OFFER


def types(got):
    return [kind for kind, _ in got]


# --- frames -------------------------------------------------------------------

def test_runts_and_oversized_frames(served):
    box, d = served
    mac = guest_mac(box, "g1")
    # Frames of 2048 bytes and more need a larger MTU on the guest's side.
    box.guest_run("g1", ["ip", "link", "set", "eth0", "mtu", "9000"], check=True)
    discover = raw(dhcp_request_frame(mac, 1, 1))
    # Headers alone and truncated IPv4/ARP payloads: silence.
    for ethertype in (0x0800, 0x0806, 0x86DD):
        header = raw(Ether(src=mac, dst=BROADCAST_MAC, type=ethertype))
        frames = [header + discover[14:14 + n] for n in (0, 1, 19, 20, 27, 28)]
        assert replies(box, "g1", frames, 0.3) == [], hex(ethertype)
    # The service reads at most 2048 bytes of a frame; the rest of a longer
    # one is cut off by the read, and trailing bytes are never looked at.
    for size in (2047, 2048, 2049, 4000, 9014):
        assert types(replies(box, "g1", [discover + bytes(size - len(discover))])) == [OFFER], size
    still_serving(box, d)


def test_ipv4_and_udp_headers(served):
    box, d = served
    mac = guest_mac(box, "g1")
    dhcp = fixed_part(mac, 7) + bytes([53, 1, 1, 255])
    good = udp_frame(mac, dhcp)
    bad_checksum = bytearray(good)
    bad_checksum[24] ^= 0xFF
    cases = [
        # IPv4 options push the UDP header back by 4 bytes, and only 20 header
        # bytes are ever stripped: the option bytes are read as ports.
        ("options", udp_frame(mac, dhcp, ip_kw={"options": b"\x01\x01\x01\x01"}), []),
        ("wrong header checksum", bytes(bad_checksum), []),
        # Lengths are not used to trim what the frame holds.
        ("total length short", udp_frame(mac, dhcp, ip_kw={"len": 100}), [OFFER]),
        ("total length long", udp_frame(mac, dhcp, ip_kw={"len": 1400}), [OFFER]),
        ("UDP length short", udp_frame(mac, dhcp, udp_kw={"len": 9}), [OFFER]),
        ("UDP length long", udp_frame(mac, dhcp, udp_kw={"len": 4000}), [OFFER]),
        ("UDP length zero", udp_frame(mac, dhcp, udp_kw={"len": 0}), [OFFER]),
        ("wrong UDP checksum", udp_frame(mac, dhcp, udp_kw={"chksum": 0x1234}), [OFFER]),
        ("to port 68", raw(Ether(src=mac, dst=BROADCAST_MAC) /
                           IP(src="0.0.0.0", dst="255.255.255.255") /
                           UDP(sport=67, dport=68) / dhcp), []),
        ("not for us", raw(Ether(src=mac, dst=BROADCAST_MAC) /
                           IP(src="0.0.0.0", dst="10.37.129.77") /
                           UDP(sport=68, dport=67) / dhcp), []),
        ("ICMP", raw(Ether(src=mac, dst=BROADCAST_MAC) /
                     IP(src="0.0.0.0", dst="255.255.255.255", proto=1) / dhcp), []),
    ]
    for what, frame, expected in cases:
        assert types(replies(box, "g1", [frame])) == expected, what
    still_serving(box, d)


def test_dhcp_message_sizes_and_options(served):
    box, d = served
    mac = guest_mac(box, "g1")
    fixed = fixed_part(mac, 9)
    assert len(fixed) == 240
    cases = [
        ("239 bytes", fixed[:239], []),
        ("240 bytes", fixed, []),
        ("241 bytes", fixed + bytes([53]), []),
        ("243 bytes", fixed + bytes([53, 1, 1]), []),
        ("244 bytes", fixed + bytes([53, 1, 1, 255]), [OFFER]),
        ("no End", fixed + bytes([53, 1, 1, 12, 3]) + b"abc", [OFFER]),
        ("option runs past the end", fixed + bytes([53, 1, 1, 12, 200]) + b"abcd", [OFFER]),
        ("type behind an overrun", fixed + bytes([12, 200]) + b"abcd" + bytes([53, 1, 1]), []),
        ("type length 0", fixed + bytes([53, 0, 255, 0]), []),
        ("type length 2", fixed + bytes([53, 2, 1, 1, 255]), [OFFER]),
        ("type length 3", fixed + bytes([53, 3, 1, 9, 9, 255]), [OFFER]),
        ("type repeated, last wins", fixed + bytes([53, 1, 7, 53, 1, 1, 255]), [OFFER]),
        ("type repeated, release last", fixed + bytes([53, 1, 1, 53, 1, 7, 255]), []),
        ("Pad run", fixed + bytes(300) + bytes([53, 1, 1, 255]), [OFFER]),
        ("only Pad", fixed + bytes(60), []),
        ("options after End", fixed + bytes([255, 53, 1, 1]), []),
        ("type 0", fixed + bytes([53, 1, 0, 255]), []),
        ("type 200", fixed + bytes([53, 1, 200, 255]), []),
        ("wrong cookie", fixed[:236] + b"\x63\x82\x53\x64" + bytes([53, 1, 1, 255]), []),
        ("BOOTREPLY to port 67", fixed_part(mac, 9, op=2) + bytes([53, 1, 1, 255]), []),
    ]
    for what, payload, expected in cases:
        assert types(replies(box, "g1", [udp_frame(mac, payload)])) == expected, what
    still_serving(box, d)


def test_requests_with_short_address_options(served):
    box, d = served
    mac = guest_mac(box, "g1")
    assert types(replies(box, "g1", [dhcp_request_frame(mac, 20, 1)])) == [OFFER]
    server, first = bytes([10, 37, 129, 1]), bytes([10, 37, 129, 3])
    fixed = fixed_part(mac, 21)
    for n in range(4):
        # A requested address shorter than 4 bytes is no address: refused.
        opts = bytes([53, 1, 3, 54, 4]) + server + bytes([50, n]) + first[:n] + b"\xff"
        assert replies(box, "g1", [udp_frame(mac, fixed + opts)]) == [(NAK, "0.0.0.0")], n
        # A server identifier shorter than 4 bytes names no server: refused
        # like a renewal, and the guest's offer stays.
        opts = bytes([53, 1, 3, 54, n]) + server[:n] + bytes([50, 4]) + first + b"\xff"
        assert replies(box, "g1", [udp_frame(mac, fixed + opts)]) == [(NAK, "0.0.0.0")], n
    opts = bytes([53, 1, 3, 54, 4]) + server + bytes([50, 4]) + first + b"\xff"
    assert replies(box, "g1", [udp_frame(mac, fixed + opts)]) == [(ACK, FIRST)]
    still_serving(box, d)


def test_arp_with_odd_fields(served):
    box, d = served
    mac = guest_mac(box, "g1")

    def arp(**kw):
        return raw(Ether(src=mac, dst=BROADCAST_MAC) /
                   ARP(op=kw.pop("op", 1), hwsrc=mac, psrc="10.37.129.50", pdst=SERVER, **kw))

    def lengths(hwlen, plen):
        """The request with other address lengths in its header, fields in place."""
        frame = bytearray(arp())
        frame[14 + 4], frame[14 + 5] = hwlen, plen
        return bytes(frame)

    whole = arp()
    cases = [
        ("request", whole, True),
        # The address lengths are not examined, only their places are used.
        ("hardware length 0", lengths(0, 4), True),
        ("protocol length 0", lengths(6, 0), True),
        ("lengths 8 and 16", lengths(8, 16), True),
        ("not IPv4", arp(ptype=0x86DD), False),
        ("reply", arp(op=2), False),
        ("for another address", raw(Ether(src=mac, dst=BROADCAST_MAC) /
                                    ARP(op=1, hwsrc=mac, psrc="10.37.129.50",
                                        pdst="10.37.129.3")), False),
        ("27 bytes of ARP", whole[:14 + 27], False),
        ("header only", whole[:14], False),
    ]
    for what, frame, answered in cases:
        got = from_server(exchange(box, "g1", [frame], 0.4), 0x0806)
        assert len(got) == (1 if answered else 0), what
    still_serving(box, d)


def test_flood_of_new_guests_keeps_known_guests_served(served):
    box, d = served
    known = guest_mac(box, "g1")
    got = from_server(exchange(box, "g1", [dhcp_request_frame(known, 1, 1)], replies=1))
    assert len(got) == 1
    offered = ".".join(str(b) for b in got[0][42 + 16:42 + 20])
    # 1000 new guests in bursts the bridge's queue can hold.
    rng = random.Random(5)
    answered = 0
    for burst in range(10):
        frames = []
        for i in range(100):
            mac = "02:%02x:%02x:%02x:%02x:%02x" % tuple(rng.randrange(256) for _ in range(5))
            frames.append(dhcp_request_frame(mac, burst * 100 + i, 1))
        # Wait for as many offers as the pool can still give (the known
        # guest holds one of its 252 addresses); once it is empty, listen
        # a while for answers that must not come.
        can_offer = min(len(frames), 251 - answered)
        answered += len(from_server(exchange(box, "g2", frames, 0.5,
                                             replies=can_offer if can_offer > 0 else None)))
    # The scope has 252 addresses for guests. Once it is full, offers that
    # nobody confirmed and whose guests answer no ARP come back, paced, for
    # later guests: more than the pool may be answered, never the known
    # guest's address.
    assert answered >= 200
    got = from_server(exchange(box, "g1", [dhcp_request_frame(known, 2, 1)], replies=1))
    assert [(f[42 + 242], ".".join(str(b) for b in f[42 + 16:42 + 20])) for f in got] == [
        (OFFER, offered)]
    assert d.alive()


# --- configuration files --------------------------------------------------------

FAILED_TO_READ = "Velmarind DHCP daemon failed to read config {}"


def padded_config(size):
    """A valid configuration of exactly size bytes (a comment fills it up)."""
    text = config_text().encode()
    filler = size - len(text) - 2
    assert filler >= 0
    return text + b"#" + b"x" * filler + b"\n"


def startup(box, tmp_path, path):
    d = Daemon(box, tmp_path, args=["-c", str(path), "-d", "vnic0"])
    status = d.start(wait_service=False)
    return d, status


@pytest.mark.parametrize("kind", ["empty", "binary", "20480", "20481", "dev-zero", "directory"])
def test_configuration_files(make_sandbox, tmp_path, kind):
    box = make_sandbox()
    path = tmp_path / "conf"
    if kind == "empty":
        path.write_bytes(b"")
    elif kind == "binary":
        path.write_bytes(bytes(random.Random(3).randrange(256) for _ in range(4096)))
    elif kind in ("20480", "20481"):
        path.write_bytes(padded_config(int(kind)))
        assert path.stat().st_size == int(kind)
    elif kind == "dev-zero":
        path = "/dev/zero"
    else:
        path.mkdir()
    d, status = startup(box, tmp_path, path)
    if kind in ("20481", "dev-zero", "directory"):
        assert status == 2
        assert box.wait_logs(lambda r: r["message"] == FAILED_TO_READ.format(path), 5)
        d.assert_no_service()
    elif kind == "20480":
        assert status == 0
        assert box.wait_logs(lambda r: r["ident"] == "vlm_dhcp" and "started" in r["message"], 10)
    else:
        # Read, but no section for the adapter: the default scope, which the
        # service refuses.
        assert status == 0
        assert box.wait_logs(lambda r: "255.255.255.255-255.255.255.255(255.255.255.0)"
                             in r["message"], 5)
        assert box.wait_logs(lambda r: r["ident"] == "vlm_dhcp"
                             and "not enough free addresses" in r["message"], 10)


@pytest.mark.parametrize("size,status", [(len(config_text()), 0), (70000, 2)])
def test_configuration_from_a_fifo(make_sandbox, tmp_path, size, status):
    """A FIFO is read until its writer closes it, and never past the limit."""
    box = make_sandbox()
    fifo = tmp_path / "conf.fifo"
    os.mkfifo(fifo)
    data = config_text().encode() + b"#" * (size - len(config_text()))

    def writer():
        try:
            with open(fifo, "wb") as out:
                out.write(data)
        except BrokenPipeError:
            pass  # the reader stopped at the limit

    t = threading.Thread(target=writer, daemon=True)
    t.start()
    d, got = startup(box, tmp_path, fifo)
    t.join(5)
    assert got == status
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


# --- scope renew files ----------------------------------------------------------

def test_random_renew_files_leave_the_service_serving(served):
    box, d = served
    rng = random.Random(11)
    for round_ in range(5):
        d.renew_path().write_bytes(bytes(rng.randrange(256) for _ in range(40)))
        before = len(d.service_logs())
        d.sighup()
        deadline = time.monotonic() + 5
        while len(d.service_logs()) == before and time.monotonic() < deadline:
            time.sleep(0.02)
        assert any("renewing scope" in m for _, m in d.service_logs()[before:]), round_
        # Whatever scope the bytes made, the service lives through it and
        # goes back to its read.
        d.wait_serving()
        assert d.alive(), round_
    # A sound renew file afterwards brings back a scope that serves.
    d.renew_path().write_bytes(struct.pack("<iIIII16si", 0, 0x0A258101, 0x0A2581FE, 0xFFFFFF00,
                                           0, b"vnic0", 0))
    before = len(d.service_logs())
    d.sighup()
    assert box.wait_logs(lambda r: r["pid"] == d.service_pid and r["message"].startswith(
        "     Start=0xa258101"), 10), d.service_logs()[before:]
    d.wait_serving()
    still_serving(box, d)
