"""The stand-in bridge driver, seen from its ports and from the host."""
import errno
import fcntl
import os
import select
import signal
import subprocess
import time

import pytest
from scapy.layers.inet import IP, UDP
from scapy.layers.l2 import ARP, Ether
from scapy.packet import Raw
from vlmsandbox.sandbox import descendant_running, sleeping_in_read, wait_until

ATTACH = 0x40166E10
DEVICE = "/dev/vm-bridge"


def record(name=b"port0", mac=b"\x02\x00\x00\x00\x00\x01"):
    """The 22-byte attach record: 16-byte NUL-padded name, 6-byte address."""
    return name.ljust(16, b"\0")[:16] + mac


def mac_bytes(text):
    return bytes(int(part, 16) for part in text.split(":"))


class Port:
    """A bridge port opened from the test process through the sandbox's root."""

    def __init__(self, box, name=None, mac=None):
        self.fd = os.open(box.path(DEVICE), os.O_RDWR | os.O_NONBLOCK)
        self.mac = mac
        if name is not None:
            fcntl.ioctl(self.fd, ATTACH, record(name.encode(), mac_bytes(mac)))

    def send(self, frame):
        return os.write(self.fd, bytes(frame))

    def recv(self, size=2048, timeout=2.0):
        """One frame, or None when none comes within the timeout."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return os.read(self.fd, size)
            except BlockingIOError:
                if time.monotonic() > deadline:
                    return None
                time.sleep(0.002)

    def close(self):
        os.close(self.fd)


class Client:
    """The daemon-like C++ client, driven line by line."""

    def __init__(self, box, binary, name, mac, read_size=2048):
        self.binary = binary
        self.process = box.popen(
            box.port_cmd([str(binary), DEVICE, name, mac, "--read-size", str(read_size)]),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""

    def line(self, timeout=5.0):
        # Own buffering: select() on a buffered reader misses lines it already holds.
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.process.stdout], [], [], max(left, 0))
            assert ready, "client said nothing"
            chunk = os.read(self.process.stdout.fileno(), 65536)
            assert chunk, "client ended"
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def wait_reading(self):
        """Until the client sleeps in its read of the device, so that a signal
        now meets a blocked read (the sandbox runs it under a wrapper)."""
        pid = None

        def reading():
            nonlocal pid
            pid = pid or descendant_running(self.process.pid, self.binary)
            return pid is not None and sleeping_in_read(pid, "vm-bridge")
        wait_until(reading, "the client's read to block")

    def sighup_latencies(self, count=5):
        """SIGHUPs sent while the read waits and no frame comes: each must end
        the read at once. Microseconds from the handler to the read's return."""
        latencies = []
        for _ in range(count):
            self.wait_reading()
            self.process.send_signal(signal.SIGHUP)
            kind, value = self.line().split()
            assert kind == "eintr"
            latencies.append(int(value))
        return latencies

    def send(self, frame):
        self.process.stdin.write(b"send " + bytes(frame).hex().encode() + b"\n")
        self.process.stdin.flush()


def frame(dst, src, payload=b"", ethertype=0x88B5):
    return bytes(Ether(dst=dst, src=src, type=ethertype) / payload)


A, B, C = "02:00:00:00:00:0a", "02:00:00:00:00:0b", "02:00:00:00:00:0c"
BROADCAST = "ff:ff:ff:ff:ff:ff"


@pytest.mark.parametrize("raw, expected", [
    (record(b"vnic0"), None),
    (record(b"n" * 15), None),                                   # longest name that fits
    (record(b""), errno.EINVAL),                                 # no name
    (b"n" * 16 + b"\x02\x00\x00\x00\x00\x01", errno.EINVAL),   # name not terminated
    (record(mac=b"\x01\x00\x5e\x00\x00\x01"), errno.EINVAL),     # group address
    (record(mac=bytes(6)), errno.EINVAL),                        # zero address
])
def test_attach_record_is_checked(make_sandbox, raw, expected):
    box = make_sandbox()
    fd = os.open(box.path(DEVICE), os.O_RDWR)
    try:
        if expected is None:
            fcntl.ioctl(fd, ATTACH, raw)
            with pytest.raises(OSError) as again:
                fcntl.ioctl(fd, ATTACH, raw)
            assert again.value.errno == errno.EISCONN
        else:
            with pytest.raises(OSError) as refused:
                fcntl.ioctl(fd, ATTACH, raw)
            assert refused.value.errno == expected
            # a refused descriptor is no port: it can neither read nor write
            for op in (lambda: os.read(fd, 2048), lambda: os.write(fd, bytes(60))):
                with pytest.raises(OSError) as unattached:
                    op()
                assert unattached.value.errno == errno.ENOTCONN
    finally:
        os.close(fd)


def test_other_requests_and_modes_are_refused(make_sandbox):
    box = make_sandbox()
    fd = os.open(box.path(DEVICE), os.O_RDWR)
    try:
        with pytest.raises(OSError) as wrong_size:  # same type and number, 21 bytes
            fcntl.ioctl(fd, 0x40156E10, record()[:21])
        assert wrong_size.value.errno == errno.ENOTTY
    finally:
        os.close(fd)
    with pytest.raises(OSError) as read_only:
        os.open(box.path(DEVICE), os.O_RDONLY)
    assert read_only.value.errno == errno.EACCES


@pytest.mark.parametrize("limit", [0, 2])
def test_port_limit_refuses_then_frees(make_sandbox, limit):
    box = make_sandbox(ports=limit)
    ports = [Port(box, f"p{i}", f"02:00:00:00:01:{i:02x}") for i in range(limit)]
    extra = os.open(box.path(DEVICE), os.O_RDWR)
    try:
        with pytest.raises(OSError) as full:
            fcntl.ioctl(extra, ATTACH, record(b"extra", b"\x02\x00\x00\x00\x02\x00"))
        assert full.value.errno == errno.ENOSPC
        if ports:  # closing a port gives its place back
            ports.pop().close()
            fcntl.ioctl(extra, ATTACH, record(b"extra", b"\x02\x00\x00\x00\x02\x00"))
    finally:
        os.close(extra)
        for p in ports:
            p.close()


def test_frames_keep_their_boundaries(make_sandbox):
    box = make_sandbox()
    a, b = Port(box, "a", A), Port(box, "b", B)
    sizes = [14, 60, 61, 342, 1514, 1518]
    frames = [frame(BROADCAST, A, bytes([n % 251]) * (n - 14)) for n in sizes]
    for f in frames:
        assert a.send(f) == len(f)
    for f in frames:
        assert b.recv() == f
    # a short read takes the head of one frame; the rest of it is dropped
    a.send(frames[4])
    a.send(frames[1])
    assert b.recv(size=100) == frames[4][:100]
    assert b.recv() == frames[1]
    assert b.recv(timeout=0.1) is None
    # (a write of zero bytes never reaches the driver: the kernel returns 0 itself)
    for size, code in [(1, errno.EINVAL), (13, errno.EINVAL), (1519, errno.EMSGSIZE)]:
        with pytest.raises(OSError) as bad:
            a.send(bytes(size))
        assert bad.value.errno == code


def test_learning_switch_forwards_floods_and_never_echoes(make_sandbox):
    box = make_sandbox()
    a, b, c = Port(box, "a", A), Port(box, "b", B), Port(box, "c", C)
    station = "02:00:00:00:00:5e"  # a station behind port c, not c's own address

    def delivered(payload):
        """Ports that got the frame with this payload, proved by a marker after it."""
        got = []
        for name, port in (("a", a), ("b", b), ("c", c)):
            first = port.recv(timeout=0.5)
            if first is not None and first.endswith(payload):
                got.append(name)
        return got

    cases = [
        # (sender, destination, ports that must get it)
        (a, BROADCAST, ["b", "c"]),
        (a, "01:00:5e:00:00:01", ["b", "c"]),     # multicast floods
        (a, "02:00:00:00:99:99", ["b", "c"]),     # unknown unicast floods
        (a, B, ["b"]),                            # own address known from the attach
        (c, A, ["a"]),
    ]
    for i, (sender, dst, expected) in enumerate(cases):
        payload = f"case{i}".encode()
        sender.send(frame(dst, sender.mac, payload))
        assert delivered(payload) == expected, (dst, expected)
        for p in (a, b, c):
            assert p.recv(timeout=0.05) is None

    # learning: once the station has sent through c, frames for it go to c alone
    c.send(frame(BROADCAST, station, b"hello"))
    assert delivered(b"hello") == ["a", "b"]
    a.send(frame(station, A, b"learnt"))
    assert delivered(b"learnt") == ["c"]
    # a port that closes is forgotten: its address floods again
    c.close()
    a.send(frame(station, A, b"gone"))
    assert b.recv() == frame(station, A, b"gone")


def test_queue_is_bounded_and_keeps_the_oldest(make_sandbox):
    box = make_sandbox()
    a, b = Port(box, "a", A), Port(box, "b", B)
    for i in range(300):
        a.send(frame(B, A, i.to_bytes(2, "big")))
    got = []
    while (f := b.recv(timeout=0.2)) is not None:
        got.append(int.from_bytes(f[14:16], "big"))
    assert got == list(range(256))


def test_blocked_read_returns_eintr_on_signal_and_goes_on(make_sandbox, bridge_client):
    box = make_sandbox()
    client = Client(box, bridge_client, "vnic0", A)
    assert client.line() == "attached"
    assert client.line() == "ready"
    latencies = client.sighup_latencies()
    assert max(latencies) < 50_000, latencies  # microseconds; measured in the tens
    # still a working port after the interruptions
    peer = Port(box, "peer", B)
    peer.send(frame(A, B, b"after"))
    after = frame(A, B, b"after")
    assert client.line() == f"frame {len(after)} {after.hex()}"


def test_two_daemon_like_ports_exchange_frames_while_reading(make_sandbox, bridge_client):
    box = make_sandbox()
    one = Client(box, bridge_client, "one", A)
    two = Client(box, bridge_client, "two", B)
    for c in (one, two):
        assert [c.line(), c.line()] == ["attached", "ready"]
    # each write goes out on a descriptor whose read is blocked at that moment
    for i in range(50):
        f = frame(B, A, b"ping%d" % i)
        one.send(f)
        assert one.line() == f"sent {len(f)}"
        assert two.line() == f"frame {len(f)} {f.hex()}"
        g = frame(A, B, b"pong%d" % i)
        two.send(g)
        assert two.line() == f"sent {len(g)}"
        assert one.line() == f"frame {len(g)} {g.hex()}"


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL])
def test_reader_fails_when_the_bridge_ends(make_sandbox, bridge_client, how):
    box = make_sandbox()
    client = Client(box, bridge_client, "vnic0", A)
    assert [client.line(), client.line()] == ["attached", "ready"]
    client.wait_reading()
    box.kill_bridge(how)
    kind, code = client.line().split()
    assert kind == "read-error"
    assert int(code) not in (errno.EINTR, errno.EAGAIN)
    assert client.process.wait(timeout=5) == 3
    # the mount is gone with the driver, killed or not
    deadline = time.monotonic() + 5
    while "vm-bridge" in box.run(["cat", "/proc/self/mountinfo"], capture_output=True,
                                 text=True).stdout:
        assert time.monotonic() < deadline, "dead mount left behind"
        time.sleep(0.05)


def test_tap_port_joins_guest_and_host_adapter(make_sandbox):
    box = make_sandbox(guests=["g1"])
    box.run(["ip", "addr", "add", "10.9.0.1/24", "dev", "vnic0"], check=True)
    box.run(["ip", "link", "set", "vnic0", "up"], check=True)
    box.guest_run("g1", ["ip", "addr", "add", "10.9.0.2/24", "dev", "eth0"], check=True)
    watcher = Port(box, "watch", C)
    arping = box.guest_run("g1", ["arping", "-c", "2", "-w", "5", "-I", "eth0", "10.9.0.1"],
                           capture_output=True, text=True)
    assert arping.returncode == 0, arping.stdout + arping.stderr
    # the broadcast request was flooded to the device port too; scapy reads it
    seen = []
    while (f := watcher.recv(timeout=0.3)) is not None:
        seen.append(Ether(f))
    requests = [p for p in seen if ARP in p and p[ARP].op == 1 and p[ARP].pdst == "10.9.0.1"]
    assert requests and requests[0][ARP].psrc == "10.9.0.2"


def test_pcap_is_readable_by_tshark(make_sandbox):
    box = make_sandbox(pcap=True)
    a, b = Port(box, "a", A), Port(box, "b", B)
    sent = [
        Ether(dst=BROADCAST, src=A) / ARP(op=1, hwsrc=A, psrc="10.9.0.7", pdst="10.9.0.1"),
        Ether(dst=B, src=A) / IP(src="10.9.0.7", dst="10.9.0.8") / UDP(sport=68, dport=67) /
        Raw(b"x" * 20),
    ]
    for p in sent:
        a.send(p)
        assert b.recv() == bytes(p)
    b.send(frame(A, B, b"reply"))
    assert a.recv() is not None
    out = subprocess.run(["tshark", "-r", str(box.pcap_path), "-T", "fields", "-e", "eth.src",
                          "-e", "eth.dst", "-e", "arp.dst.proto_ipv4", "-e", "udp.dstport",
                          "-e", "frame.len"], capture_output=True, text=True, check=True).stdout
    rows = [line.split("\t") for line in out.splitlines()]
    assert rows == [
        [A, BROADCAST, "10.9.0.1", "", str(len(sent[0]))],
        [A, B, "", "67", str(len(sent[1]))],
        [B, A, "", "", "19"],
    ]
