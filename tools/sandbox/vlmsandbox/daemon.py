"""Running the real vlm_dhcpd inside a sandbox and talking to it from guests.

The test process makes itself a child subreaper, so the daemon's detached
service process becomes its child when the start-up process ends, and its
exit status can be read with waitpid.
"""
import ctypes
import fcntl
import json
import os
import pathlib
import struct
import subprocess
import time

from scapy.all import ARP, BOOTP, DHCP, IP, UDP, Ether, raw  # noqa: F401

from vlmsandbox.sandbox import build_dir, sleeping_in_read, wait_until

HERE = pathlib.Path(__file__).resolve().parent
WIRE = HERE / "wire.py"
SERVICE_MAC = "00:01:23:45:be:f0"
BROADCAST_MAC = "ff:ff:ff:ff:ff:ff"
RENEW_FILE = "/usr/lib/velmarind/.dhcp.{}"
LOCK_FILE = ".dhcp-lock.{}"  # beside the renew file: the service's claim on its adapter
RECORD = struct.Struct("<iIIII16si")  # the 40-byte renew record, host order (x86)
LOG_USER = 1
ERR, INFO = 3, 6

PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def held_service_lock(install_dir, device="vnic0"):
    """A descriptor holding the write lock on the adapter's lock file, as the
    service holds it; a stand-in started with it (pass_fds) holds the claim,
    and keeps it after the caller closed its own copy."""
    fd = os.open(os.path.join(install_dir, LOCK_FILE.format(device)),
                 os.O_RDWR | os.O_CREAT, 0o600)
    # struct flock: l_type, l_whence, l_start, l_len, l_pid; the whole file.
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
    return fd


def daemon_binary(asan=False):
    if asan:
        return pathlib.Path(os.environ["VLM_ASAN_BUILD"]) / "daemon" / "vlm_dhcpd"
    return build_dir() / "daemon" / "vlm_dhcpd"


def ip2int(text):
    a, b, c, d = (int(x) for x in text.split("."))
    return (a << 24) | (b << 16) | (c << 8) | d


def int2ip(value):
    return ".".join(str((value >> s) & 0xFF) for s in (24, 16, 8, 0))


def config_text(device="vnic0", start="10.37.129.1", end="10.37.129.254",
                mask="255.255.255.0", dhcp="1", start_interface="1"):
    lines = [f"[{device}]"]
    for key, value in (("DHCP", dhcp), ("Start interface", start_interface),
                       ("Scope start", start), ("Scope end", end),
                       ("Scope network mask", mask)):
        if value is not None:
            lines.append(f"{key}={value}")
    return "\n".join(lines) + "\n"


class Daemon:
    """One run of vlm_dhcpd -c CONF -d DEVICE inside a sandbox."""

    def __init__(self, box, tmp_path, conf=None, device="vnic0", args=None, binary=None,
                 env=None, preexec_fn=None):
        self.box = box
        self.device = device
        self.conf = tmp_path / "dhcpd.conf"
        self.conf.write_text(conf if conf is not None else config_text(device=device))
        self.args = args if args is not None else ["-c", str(self.conf), "-d", device]
        self.binary = binary or daemon_binary()
        self.env = env
        self.preexec_fn = preexec_fn
        self.service_pid = None
        self.startup_status = None

    def start(self, wait_service=True):
        # The service process keeps the standard descriptors: files, not
        # pipes, or reading them would wait for the service to end.
        self.terminal = self.conf.parent / "terminal.out"
        # A service started before in this sandbox logged the same line.
        earlier = {r["pid"] for r in self.box.logs() if r["ident"] == "vlm_dhcp"}
        with open(self.terminal, "wb") as out:
            result = self.box.run(self.box.port_cmd([str(self.binary)] + self.args), timeout=30,
                                  env=self.env, preexec_fn=self.preexec_fn,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        self.startup_status = result.returncode
        # Nothing may reach the terminal: everything goes to syslog.
        assert self.terminal.read_bytes() == b""
        if wait_service:
            record = self.box.wait_logs(
                lambda r: r["ident"] == "vlm_dhcp" and r["pid"] not in earlier
                and r["message"] == "Velmarind DHCP server for virtual NIC started.", 10)
            assert record is not None, self.box.logs()
            self.service_pid = record["pid"]
        return self.startup_status

    def assert_no_service(self):
        """After a start-up that must not start a service: none runs and none
        logged. Start-up forks the service before it exits, so a service it
        started either still runs or has already sent all it logged."""
        assert self.startup_status is not None, "start() first"
        assert self.box.processes_of(self.binary) == []
        assert [r for r in self.box.logs_before_marker() if r["ident"] == "vlm_dhcp"] == []

    def reading_bridge(self):
        """Is the service asleep in a read of its bridge port? It gets there
        only after it wrote the renew file, configured the adapter, attached
        to the bridge and built its stack."""
        return sleeping_in_read(self.service_pid, "vm-bridge")

    def wait_serving(self, timeout=20):
        """Until the service waits for frames on the bridge it attached to."""
        try:
            wait_until(self.reading_bridge, "the service to read the bridge", timeout)
        except AssertionError as error:
            raise AssertionError(f"{error}: {self.service_logs()}") from None

    def wait_service_log(self, line, timeout=10):
        """Until the service's (severity, message) line has reached the log
        collector; a process that ended may still have lines on their way."""
        severity, message = line
        record = self.box.wait_logs(lambda r: r["pid"] == self.service_pid
                                    and r["severity"] == severity and r["message"] == message,
                                    timeout)
        assert record is not None, self.service_logs()

    def wait_exit(self, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            pid, status = os.waitpid(self.service_pid, os.WNOHANG)
            if pid == self.service_pid:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > deadline:
                raise AssertionError("service process did not end")
            time.sleep(0.02)

    def alive(self):
        pid, _ = os.waitpid(self.service_pid, os.WNOHANG)
        return pid == 0

    def sighup(self):
        os.kill(self.service_pid, 1)

    def renew_path(self):
        return pathlib.Path(self.box.path(RENEW_FILE.format(self.device)))

    def renew_record(self):
        try:
            data = self.renew_path().read_bytes()
        except FileNotFoundError:
            return None
        return data

    def service_logs(self):
        return [(r["severity"], r["message"]) for r in self.box.logs()
                if r["pid"] == self.service_pid]

    def startup_logs(self):
        return [(r["severity"], r["message"]) for r in self.box.logs()
                if r["ident"] == "vlm_dhcpd"]


# How long a guest waits for replies it was told to expect.
REPLY_TIMEOUT = 20.0


def exchange(box, guest, frames, seconds=1.0, replies=None):
    """Sends frames (scapy packets or bytes) from a guest; returns the frames received
    within seconds, or, given replies, as soon as that many came from the service."""
    hexes = [bytes(f).hex() for f in frames]
    until = []
    if replies is not None:
        seconds = max(seconds, REPLY_TIMEOUT)
        until = [f"--until={replies},{SERVICE_MAC}"]
    result = box.guest_run(guest, ["/usr/bin/python3", str(WIRE), "eth0", str(seconds)] + until
                           + ["-"],
                           input="\n".join(hexes).encode(), capture_output=True, check=True)
    return [bytes.fromhex(h) for h in json.loads(result.stdout)]


def guest_mac(box, guest):
    out = box.guest_run(guest, ["cat", "/sys/class/net/eth0/address"], capture_output=True,
                        text=True, check=True).stdout.strip()
    return out


def dhcp_request_frame(mac, xid, message_type, options=(), ciaddr="0.0.0.0", flags=0x8000):
    """A client's broadcast DHCP message, built with scapy."""
    chaddr = bytes.fromhex(mac.replace(":", "")) + bytes(10)
    return (Ether(src=mac, dst=BROADCAST_MAC) /
            IP(src="0.0.0.0", dst="255.255.255.255") / UDP(sport=68, dport=67) /
            BOOTP(op=1, xid=xid, chaddr=chaddr, ciaddr=ciaddr, flags=flags) /
            DHCP(options=[("message-type", message_type)] + list(options) + ["end"]))


def expected_reply(kind, ip_id, server, xid, mac, yiaddr, mask):
    """The server's broadcast reply as it must appear on the wire, built by scapy."""
    chaddr = bytes.fromhex(mac.replace(":", "")) + bytes(10)
    times = [("renewal_time", 432000), ("rebinding_time", 756000), ("lease_time", 864000)]
    if kind == "offer":
        options = [("message-type", 2), ("subnet_mask", mask)] + times + [("server_id", server)]
    elif kind == "ack":
        options = [("message-type", 5)] + times + [("server_id", server), ("subnet_mask", mask)]
    else:
        options = [("message-type", 6), ("server_id", server), ("subnet_mask", mask)]
        yiaddr = "0.0.0.0"
    return raw(Ether(src=SERVICE_MAC, dst=BROADCAST_MAC) /
               IP(id=ip_id, ttl=64, flags=0, src=server, dst="255.255.255.255") /
               UDP(sport=67, dport=68) /
               BOOTP(op=2, htype=1, hlen=6, hops=0, xid=xid, secs=0, flags=0,
                     yiaddr=yiaddr, siaddr=server, chaddr=chaddr) /
               DHCP(options=options + ["end"]))


def is_arp_request(frame):
    return frame[12:14] == b"\x08\x06" and frame[20:22] == b"\x00\x01"


def from_server(frames, ethertype=0x0800):
    """The frames the service sent (by its source address), but for the ARP
    requests by which it learns who holds its addresses."""
    return [f for f in frames if f[6:12] == bytes.fromhex(SERVICE_MAC.replace(":", ""))
            and f[12:14] == ethertype.to_bytes(2, "big") and not is_arp_request(f)]


def arp_requests_from_server(frames):
    """The service's ARP requests among frames, by the address each asks for."""
    return [int2ip(int.from_bytes(f[38:42], "big")) for f in frames
            if f[6:12] == bytes.fromhex(SERVICE_MAC.replace(":", "")) and is_arp_request(f)]


def adapter_state(box, device="vnic0"):
    """(addresses with prefix, is it up) of the host adapter."""
    out = box.run(["ip", "-j", "addr", "show", device], capture_output=True, text=True,
                  check=True).stdout
    info = json.loads(out)[0]
    addresses = [f"{a['local']}/{a['prefixlen']}" for a in info.get("addr_info", [])
                 if a["family"] == "inet"]
    return addresses, "UP" in info["flags"]


def udhcpc_lease(box, guest, tmp_path, interface="eth0", options=(),
                 retries=("-t", "5", "-T", "1")):
    """A stock client (busybox udhcpc) takes a lease in the guest and puts
    the address on its interface; options go to udhcpc as they are (such as
    ["-x", "hostname:web1"]). Returns (address, mask bits, server).
    retries=() leaves the client's own: three DISCOVERs, 3 s apart."""
    script = tmp_path / "udhcpc.script"
    script.write_text("#!/bin/sh\n"
                      "[ \"$1\" = bound ] && ip addr add \"$ip/$mask\" dev \"$interface\"\n"
                      "[ \"$1\" = bound ] && echo \"lease $ip $mask $serverid\"\n"
                      "exit 0\n")
    script.chmod(0o755)
    result = box.guest_run(guest, ["busybox", "udhcpc", "-i", interface, "-n", "-q", "-f",
                                   *retries, "-s", str(script), *options],
                           capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    leases = [line.split()[1:] for line in result.stdout.splitlines()
              if line.startswith("lease ")]
    assert len(leases) == 1, result.stdout
    return tuple(leases[0])
