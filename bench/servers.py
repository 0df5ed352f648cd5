"""The servers the benchmark loads, each started fresh inside a sandbox.

Every server listens on the same bridge: the daemon and the bridge responder
as bridge ports, dnsmasq, Kea and the host-adapter responder behind the host
adapter vnic0, a port of the same bridge (a TAP port of the stand-in, a veth
port of the kernel bridge). dhcpload always attaches as a bridge port, so
the load takes one path to every server. Bridge ports start as port owners
(box.port_cmd), which the kernel path needs.
"""
import json
import os
import pathlib
import signal
import subprocess
import time

from vlmsandbox.sandbox import descendant_running, sleeping_in_read, wait_until

POOL_FIRST, POOL_LAST = "10.1.0.10", "10.1.255.250"
CENSUS_END = "Velmarind DHCP server for virtual NIC found "
SCOPE = ("[vnic0]\nDHCP=1\nStart interface=1\nScope start=10.1.0.1\n"
         "Scope end=10.1.255.254\nScope network mask=255.255.0.0\n")


class Server:
    """One kind of server; start() and stop() bracket every run."""
    name = "?"
    programs = ()  # what must be installed
    path = "?"  # what the load passes through, for the report
    uses_host_adapter = False

    def __init__(self, box, build):
        self.box = box
        self.build = build
        self.process = None

    def prepare(self):
        """The host adapter as this server needs it; servers share one
        sandbox, and the daemon addresses the adapter itself."""
        if self.uses_host_adapter:
            self.box.run(["ip", "addr", "flush", "dev", "vnic0"], check=True)
            self.box.run(["ip", "addr", "add", "10.1.0.1/16", "dev", "vnic0"], check=True)
            self.box.run(["ip", "link", "set", "vnic0", "up"], check=True)

    def start(self):
        raise NotImplementedError

    def pid(self):
        return self.process.pid if self.process else None

    def stop(self):
        if self.process is None:
            return
        # A signal that lands just before a blocking read is not seen until
        # the next frame: ask again before forcing it.
        for _ in range(3):
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=1)
                break
            except subprocess.TimeoutExpired:
                pass
        else:
            self.process.kill()
            self.process.wait()
        self.process = None

    def popen(self, cmd, env=None):
        self.prepare()
        self.process = self.box.popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, env=env)


def socket_inodes(pid):
    """The inodes of the sockets a process holds open."""
    inodes = set()
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return inodes
    for fd in fds:
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(int(link[len("socket:["):-1]))
    return inodes


def table_inodes(box, table, port=None):
    """The socket inodes of a /proc/net table (udp: column 9, the local
    address's port as hex; packet: the last column) of the sandbox's network."""
    lines = pathlib.Path(f"/proc/{box.pid}/net/{table}").read_text().splitlines()[1:]
    inodes = set()
    for line in lines:
        fields = line.split()
        if table == "packet":
            inodes.add(int(fields[-1]))
        elif int(fields[1].split(":")[1], 16) == port:
            inodes.add(int(fields[9]))
    return inodes


def wait_listening(box, pid, tables, what, timeout=10):
    """Until the process holds a socket in each of the tables ("udp" for a
    socket on the DHCP server port, "packet" for a packet socket). Once it
    holds them, frames that arrive wait in them: nothing is lost while the
    server still starts."""
    def holds():
        mine = socket_inodes(pid)
        return all(mine & table_inodes(box, t, 67 if t == "udp" else None) for t in tables)
    wait_until(holds, f"{what} to listen", timeout)


class Daemon(Server):
    name = "vlm_dhcpd"
    path = "bridge port -> bridge port"
    RENEW_FILE = "/usr/lib/velmarind/.dhcp.vnic0"

    def __init__(self, box, build):
        super().__init__(box, build)
        self.service_pid = None

    def start(self):
        config = self.box.workdir / "dhcpd.conf"
        config.write_text(SCOPE)
        binary = str(self.build / "daemon" / "vlm_dhcpd")
        before = set(self._service_pids(binary))
        renew = pathlib.Path(self.box.path(self.RENEW_FILE))
        # The snapshot folder as the unit makes it, so that the service's
        # own rewrites of its lease snapshot are part of what is measured.
        self.box.run(["mkdir", "-p", "/run/vlm_dhcpd"], check=True)
        # The adapter as a fresh sandbox has it: the daemon configures it.
        self.box.run(["ip", "addr", "flush", "dev", "vnic0"], check=True)
        self.box.run(["ip", "link", "set", "vnic0", "down"], check=True)
        subprocess.run(self.box.enter_cmd(self.box.port_cmd([binary, "-c", str(config), "-d",
                                                             "vnic0"])),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=30)
        # The start-up process has forked the service and ended.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            fresh = [p for p in self._service_pids(binary) if p not in before]
            if fresh:
                self.service_pid = fresh[0]
                break
            time.sleep(0.02)
        else:
            raise RuntimeError("the daemon's service process did not appear")
        # It writes its renew file (removed again when it ends), configures
        # the host adapter and then attaches; on the kernel path the attach
        # shows as a bridge port named after the adapter.
        while not renew.exists() or (self.box.kind == "kernel" and
                                     "vnic0" not in self.box.kernel_ports().values()):
            if time.monotonic() > deadline:
                raise RuntimeError("the daemon's service did not start serving")
            time.sleep(0.01)
        if self.box.kind != "kernel":
            # The stand-in shows no attach from outside; the service reads
            # the bridge only once it has attached.
            wait_until(lambda: sleeping_in_read(self.service_pid, "vm-bridge"),
                       "the daemon's service to read the bridge", 10)
        # A daemon that learns who holds its pool first (an older build
        # doesn't) serves new guests once it logged the census's end.
        if CENSUS_END.encode() in pathlib.Path(binary).read_bytes():
            pid = self.service_pid
            found = self.box.wait_logs(lambda r: r["pid"] == pid
                                       and r["message"].startswith(CENSUS_END), 30)
            if found is None:
                raise RuntimeError("the daemon's census did not end")

    def _service_pids(self, binary):
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if (os.readlink(f"/proc/{entry}/exe") == binary and
                        os.readlink(f"/proc/{entry}/ns/mnt") == self.box.mnt_ns):
                    found.append(int(entry))
            except OSError:
                pass
        return found

    def pid(self):
        return self.service_pid

    def stop(self):
        if self.service_pid is None:
            return
        try:
            os.kill(self.service_pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.monotonic() + 10
        while os.path.exists(f"/proc/{self.service_pid}") and time.monotonic() < deadline:
            time.sleep(0.02)
        self.service_pid = None


class Dnsmasq(Server):
    name = "dnsmasq"
    programs = ("dnsmasq",)
    path = "bridge port -> TAP -> kernel UDP socket"
    uses_host_adapter = True

    def start(self):
        self.popen(["dnsmasq", "--keep-in-foreground", "--port=0", "--interface=vnic0",
                    "--bind-interfaces", f"--dhcp-range={POOL_FIRST},{POOL_LAST},255.255.0.0,12h",
                    "--no-ping", "--leasefile-ro", "--dhcp-lease-max=70000", "--no-resolv",
                    "--no-hosts", "--dhcp-authoritative", "--quiet-dhcp", "--log-facility=-",
                    f"--pid-file={self.box.workdir / 'dnsmasq.pid'}"])
        wait_listening(self.box, self.process.pid, ["udp"], "dnsmasq")


class Kea(Server):
    name = "kea-dhcp4"
    programs = ("kea-dhcp4",)
    path = "bridge port -> TAP -> raw socket"
    uses_host_adapter = True

    def start(self):
        work = self.box.workdir
        config = {
            "Dhcp4": {
                "interfaces-config": {"interfaces": ["vnic0"], "dhcp-socket-type": "raw"},
                "lease-database": {"type": "memfile", "persist": False, "lfc-interval": 0},
                "valid-lifetime": 43200,
                "subnet4": [{"id": 1, "subnet": "10.1.0.0/16",
                             "pools": [{"pool": f"{POOL_FIRST} - {POOL_LAST}"}]}],
                "loggers": [{"name": "kea-dhcp4", "severity": "WARN",
                             "output_options": [{"output": str(work / "kea.log")}]}],
            }
        }
        path = work / "kea-dhcp4.json"
        path.write_text(json.dumps(config, indent=2))
        env = dict(os.environ, KEA_PIDFILE_DIR=str(work), KEA_LOCKFILE_DIR=str(work))
        self.popen(["kea-dhcp4", "-c", str(path)], env=env)
        # Raw sockets: the packet socket takes the frames, beside one on the
        # server port.
        wait_listening(self.box, self.process.pid, ["udp", "packet"], "Kea")


class Responder(Server):
    """dhcpload's canned responder: what the path itself allows."""
    # The daemon brings the host adapter up with an address, and every
    # broadcast reply flooded there then also enters the host's stack; the
    # path's limit is measured in the same state.
    uses_host_adapter = True
    attach = ()  # how the responder reaches the bridge

    def start(self):
        binary = self.build / "tools" / "dhcpload" / "dhcpload"
        self.popen(self.box.port_cmd([str(binary), "--respond", *self.attach,
                                      "--server-ip", "10.1.0.1"]))
        deadline = time.monotonic() + 10
        if self.box.kind == "kernel" and "--port-name" in self.attach:
            name = self.attach[self.attach.index("--port-name") + 1]
            while name not in self.box.kernel_ports().values():
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError(f"{self.name} did not attach")
                time.sleep(0.01)
            return
        wait_until(lambda: descendant_running(self.process.pid, binary), self.name, 10)
        pid = descendant_running(self.process.pid, binary)
        if "--interface" in self.attach:
            wait_listening(self.box, pid, ["packet"], self.name)
        else:
            # A blocking reader on the stand-in has attached once it reads.
            wait_until(lambda: sleeping_in_read(pid, "vm-bridge"), f"{self.name} to attach", 10)


class BridgeResponder(Responder):
    name = "limit-bridge"
    path = "bridge port -> bridge port"
    # Blocking reads in one thread, as the daemon reads.
    attach = ("--port-name", "responder", "--port-mac", "06:00:00:00:00:02",
              "--bridge-reader", "blocking")


class TapResponder(Responder):
    name = "limit-tap"
    path = "bridge port -> TAP -> raw socket"
    attach = ("--interface", "vnic0")


def cpu_ns(pid):
    """CPU time of every thread of a process so far, in nanoseconds (0 when gone)."""
    total = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                total += int(stat.read().split()[0])
        except OSError:
            pass
    return total


KINDS = {cls.name: cls for cls in (Daemon, Dnsmasq, Kea, BridgeResponder, TapResponder)}


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None
