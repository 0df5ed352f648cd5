"""The kernel-path bridge: ports made TAP ports of a kernel bridge by the
kbridge supervisor, seen from the ports, a stock client and the daemon."""
import errno
import os
import pathlib
import select
import signal
import socket
import subprocess
import time

import pytest

from test_vmbridge import A, BROADCAST, Client, frame, record
from vlmsandbox.daemon import (RECORD, WIRE, Daemon, config_text, guest_mac, ip2int,
                               udhcpc_lease)
from vlmsandbox.sandbox import Sandbox, host_has_interface, host_snapshot, wait_until


def _missing_kernel_support():
    if not os.path.exists("/dev/net/tun"):
        return "the kernel has no tun (/dev/net/tun is missing)"
    try:
        actions = pathlib.Path("/proc/sys/kernel/seccomp/actions_avail").read_text()
    except OSError:
        return "the kernel has no seccomp filters"
    if "user_notif" not in actions.split():
        return "the kernel has no seccomp user notification"
    return None


pytestmark = pytest.mark.skipif(_missing_kernel_support() is not None,
                                reason=str(_missing_kernel_support()))

EXITED = (6, "Velmarind DHCP server for virtual NIC exited.")
BRIDGE_GONE = (6, "VLM-DHCP: Successfully deleted all bridge connections and freed "
                  "allocated memory.")

# Run as a port owner: each argument is a record in hex (or "tun:" + record
# for /dev/net/tun, "tunsetiff" for tun's own request on the device). Each
# goes to a fresh descriptor, kept open; prints the errno of the attach and,
# when it was accepted, of a second attach on the same descriptor.
ATTACHER = r"""
import errno, fcntl, os, sys
kept = []
for arg in sys.argv[1:]:
    path, raw, request = "/dev/vm-bridge", arg, 0x40166E10
    if arg.startswith("tun:"):
        path, raw = "/dev/net/tun", arg[4:]
    elif arg == "tunsetiff":
        raw, request = (b"x".ljust(16, b"\0") + bytes(24)).hex(), 0x400454CA
    fd = os.open(path, os.O_RDWR)
    kept.append(fd)
    codes = []
    for _ in range(2):
        try:
            fcntl.ioctl(fd, request, bytes.fromhex(raw))
            codes.append("0")
        except OSError as e:
            codes.append(errno.errorcode[e.errno])
            break
    print(" ".join(codes), flush=True)
"""


@pytest.fixture
def kbox(make_sandbox, kbridge):
    return make_sandbox(kind="kernel", kbridge=kbridge, guests=["g1"])


def attach_all(box, records, prefix=()):
    """prefix: a command the attacher runs under (inside kbridge-launch)."""
    out = box.run(box.port_cmd([*prefix, "/usr/bin/python3", "-c", ATTACHER] + records),
                  capture_output=True, text=True, check=True, timeout=30).stdout
    return out.splitlines()


def bridge_ports(box):
    """The TAP ports of br0 with their aliases (the attach records' names)."""
    out = box.run(["ip", "-o", "-d", "link", "show", "master", "br0", "type", "tun"],
                  capture_output=True, text=True, check=True).stdout
    return sorted(line.split(": ")[1] + " " + line.split(" alias ")[1].split()[0]
                  for line in out.splitlines())


def test_attach_accepted_and_refused(make_sandbox, kbridge):
    box = make_sandbox(kind="kernel", kbridge=kbridge, ports=2)
    station = b"\x02\x00\x00\x00\x00\x01"
    cases = [  # in order: two ports fit
        (record(b"vnic0"), "0 EISCONN"),
        (record(b"n" * 15, b"\x02\x00\x00\x00\x00\x02"), "0 EISCONN"),
        (record(b"third", b"\x02\x00\x00\x00\x00\x03"), "ENOSPC"),
        (record(b""), "EINVAL"),                                       # checked before the limit
        (b"n" * 16 + station, "EINVAL"),                               # name not terminated
        (record(mac=b"\x01\x00\x5e\x00\x00\x01"), "EINVAL"),           # group address
        (record(mac=bytes(6)), "EINVAL"),                              # zero address
    ]
    args = [raw.hex() for raw, _ in cases] + ["tun:" + record().hex(), "tunsetiff"]
    assert attach_all(box, args) == [code for _, code in cases] + ["ENOTTY", "ENOTTY"]
    # the ports ended with their process: their places are free again, and
    # their TAP interfaces are gone
    assert attach_all(box, [record(b"again").hex()]) == ["0 EISCONN"]
    ports = box.run(["ip", "-o", "link", "show", "master", "br0", "type", "tun"],
                    capture_output=True, text=True, check=True).stdout
    assert ports == ""


def test_frames_both_ways_and_sighup_during_a_blocked_read(kbox, bridge_client):
    client = Client(kbox, bridge_client, "vnic0", A)
    assert [client.line(), client.line()] == ["attached", "ready"]
    # a SIGHUP while the read waits and no frame comes: the read returns at once
    latencies = client.sighup_latencies()
    assert max(latencies) < 50_000, latencies  # microseconds
    # guest -> port: unicast to the port's address (known from the attach) and
    # broadcast, each one frame per read
    mac = guest_mac(kbox, "g1")
    to_port = [frame(A, mac, bytes([n]) * (size - 14)) for n, size in ((1, 60), (2, 1514))]
    to_port.append(frame(BROADCAST, mac, b"\x03" * 328))
    wire = kbox.guest_popen("g1", ["/usr/bin/python3", str(WIRE), "eth0", "3", "-"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    wire.stdin.write("\n".join(f.hex() for f in to_port).encode() + b"\n")
    wire.stdin.close()
    for f in to_port:
        assert client.line() == f"frame {len(f)} {f.hex()}"
    # port -> guest, while the guest still listens
    back = frame(mac, A, b"\x04" * 46)
    client.send(back)
    assert client.line() == f"sent {len(back)}"
    assert wire.wait(timeout=10) == 0
    received = wire.stdout.read().decode()
    assert back.hex() in received
    for size in (1, 13):  # shorter than a header: refused, as by the driver
        client.send(bytes(size))
        assert client.line() == f"send-error {errno.EINVAL}"


def start_daemon(box, tmp_path, **conf):
    d = Daemon(box, tmp_path, conf=config_text(**conf) if conf else None)
    assert d.start() == 0
    d.wait_serving()
    return d


def test_stock_client_lease_and_ping(kbox, tmp_path):
    start_daemon(kbox, tmp_path)
    assert udhcpc_lease(kbox, "g1", tmp_path) == ("10.37.129.3", "24", "10.37.129.1")
    ping = kbox.run(["ping", "-c", "1", "-W", "2", "10.37.129.3"], capture_output=True,
                    text=True)
    assert ping.returncode == 0, ping.stdout


def test_second_start_up_for_the_same_adapter_adds_no_port(kbox, tmp_path):
    first = start_daemon(kbox, tmp_path)
    ports = kbox.kernel_ports()
    record_ = first.renew_record()
    assert Daemon(kbox, tmp_path).start(wait_service=False) == 3
    assert kbox.wait_logs(lambda r: r["ident"] == "vlm_dhcpd" and "is already served by a "
                          "running service" in r["message"], 5), kbox.logs()
    assert kbox.processes_of(first.binary) == [first.service_pid]
    assert kbox.kernel_ports() == ports and first.renew_record() == record_
    assert udhcpc_lease(kbox, "g1", tmp_path) == ("10.37.129.3", "24", "10.37.129.1")


def test_renewal_is_served_while_no_frame_arrives(kbox, tmp_path):
    # tun, like a driver's interruptible wait, restarts a read after a handler
    # installed with SA_RESTART: only a handler without it is served at once.
    # No frame comes on this path (IPv6 is off), so the read must return.
    d = start_daemon(kbox, tmp_path)
    d.wait_serving()  # asleep in its read of the bridge
    d.renew_path().write_bytes(RECORD.pack(0, ip2int("10.60.0.1"), ip2int("10.60.0.100"),
                                           ip2int("255.255.255.0"), 0, b"vnic0", 0))
    sent = time.time()
    d.sighup()
    record_ = kbox.wait_logs(lambda r: r["message"].startswith("     Start=0xa3c0001"), 3)
    assert record_ is not None, d.service_logs()
    assert record_["time"] - sent < 1.0


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL])
def test_daemon_exits_when_the_bridge_goes_away(kbox, tmp_path, how):
    d = start_daemon(kbox, tmp_path)
    kbox.kill_bridge(how)
    assert d.wait_exit() == 0
    d.wait_service_log(BRIDGE_GONE)  # a line may still be on its way after the exit
    assert d.service_logs()[-2:] == [EXITED, BRIDGE_GONE]


def test_nothing_left_on_the_host(kbridge, tmp_path):
    names = ("br0", "h-vnic0", "p-g1", "vbp0")
    before = host_snapshot(), [n for n in names if host_has_interface(n)]
    box = Sandbox(kind="kernel", kbridge=kbridge, guests=["g1"])
    try:
        supervisor = box.supervisor_pid
        socket_path = box.socket_path
        assert supervisor is not None and socket_path.exists()
        start_daemon(box, tmp_path)
    finally:
        box.close()  # raises when a process of the sandbox or its supervisor is left
    assert not socket_path.exists()
    assert (host_snapshot(), [n for n in names if host_has_interface(n)]) == before


def test_a_silent_client_does_not_freeze_the_supervisor(kbox):
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as silent:
        silent.connect(str(kbox.socket_path))
        # the supervisor serves others while this one says nothing ...
        assert attach_all(kbox, [record(b"vnic0").hex()]) == ["0 EISCONN"]
        # ... and drops it at its deadline, without an answer
        silent.settimeout(30)
        assert silent.recv(256) == b""


def test_a_port_that_left_its_network_namespace_is_refused(kbox, bridge_client):
    # A port that runs unshare -n before it opens the device gets its TAP in
    # a namespace of its own; it must not take over the port of the same
    # name in the bridge's namespace.
    client = Client(kbox, bridge_client, "vnic0", A)
    assert [client.line(), client.line()] == ["attached", "ready"]
    before = bridge_ports(kbox)
    intruder = b"\x02\x00\x00\x00\x00\x09"
    assert attach_all(kbox, [record(b"intruder", intruder).hex()],
                      prefix=["unshare", "-n"]) == ["EXDEV"]
    assert bridge_ports(kbox) == before == ["vbp0 vnic0"]
    fdb = kbox.run(["bridge", "fdb", "show", "br", "br0"], capture_output=True, text=True,
                   check=True).stdout
    assert "02:00:00:00:00:09" not in fdb


def held_namespaces(pids):
    held = set()
    for pid in pids:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                held.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
            except OSError:
                pass
    return held


def test_a_network_is_let_go_with_its_last_port(make_sandbox, kbridge):
    box = make_sandbox(kind="kernel", kbridge=kbridge)
    # Each launcher in a network namespace of its own, with a bridge there.
    script = ('readlink /proc/self/ns/net && ip link add br0 type bridge && '
              'exec "$0" --socket "$1" -- /usr/bin/python3 -c "$2" "$3"')
    namespaces = []
    for n in range(3):
        out = box.run(["unshare", "-n", "sh", "-c", script, f"{kbridge}-launch",
                       str(box.socket_path), ATTACHER, record(b"p%d" % n).hex()],
                      capture_output=True, text=True, check=True, timeout=30).stdout.split("\n")
        assert out[1] == "0 EISCONN", out
        namespaces.append(out[0])
    # The supervisor and its watcher let each namespace go once its launcher's
    # processes have ended: none is held.
    watcher = [p for p in os.listdir("/proc") if p.isdigit() and _parent(p) == box.supervisor_pid]
    assert watcher, "no watcher process"
    wait_until(lambda: not set(namespaces) & held_namespaces([box.supervisor_pid, *watcher]),
               "the supervisor and its watcher to let the namespaces go")


def _parent(pid):
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rsplit(")", 1)[1].split()[1])


@pytest.mark.parametrize("mode,listens", [(0o700, True), (0o755, False), (0o1777, False)])
def test_the_socket_only_in_a_private_folder(kbridge, tmp_path, mode, listens):
    folder = tmp_path / "sock"
    folder.mkdir()
    folder.chmod(mode)
    path = folder / "kbridge.sock"
    read, write = os.pipe()
    proc = subprocess.Popen([str(kbridge), "--socket", str(path), "--ready-fd", str(write)],
                            pass_fds=[write], stderr=subprocess.PIPE, text=True)
    os.close(write)
    try:
        said = b""  # "ready" once it listens; nothing when it gives up
        while not said.endswith(b"\n"):
            assert select.select([read], [], [], 30)[0], f"kbridge said only {said!r}"
            chunk = os.read(read, 64)
            if not chunk:
                break
            said += chunk
        os.close(read)
        assert (said == b"ready\n") == listens
        if listens:
            assert path.stat().st_mode & 0o777 == 0o600
            proc.terminate()
        assert proc.wait(timeout=10) == (0 if listens else 1)
        if not listens:
            assert "mode 0700" in proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
