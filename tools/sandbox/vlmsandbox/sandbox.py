"""A private virtual network for system tests, built on scripts/vlm-sandbox.

    with Sandbox(guests=["g1"]) as box:
        box.run(["ip", "link"])                  # in the sandbox's mount+net namespaces
        box.guest_run("g1", ["ip", "addr"])      # in a guest's network namespace
        records = box.logs()                     # what was sent to the sandbox's /dev/log

Processes started with run/popen stay children of this Python process (nsenter
does not fork without --pid), so a test that makes itself a child subreaper
can reap a daemon's detached service process. close() ends every process that
lives in the sandbox's mount namespace, stops the sandbox and checks that it
left nothing behind.
"""
import json
import os
import pathlib
import select
import shutil
import signal
import subprocess
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[3]
SCRIPT = REPO / "scripts" / "vlm-sandbox"
DEVICE_PATH = "/dev/vm-bridge"
INSTALL_DIR = "/usr/lib/velmarind"


def build_dir():
    """The build tree under test: $VLM_BUILD, else the repository's build/."""
    return pathlib.Path(os.environ.get("VLM_BUILD") or REPO / "build")


def _namespace(pid, kind):
    try:
        return os.readlink(f"/proc/{pid}/ns/{kind}")
    except OSError:
        return None


def _pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def pids_in_namespace(kind, ident):
    return [p for p in _pids() if _namespace(p, kind) == ident]


def _comm(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/comm").read_text().strip()
    except OSError:
        return None


def _alive(pid):
    """True for a process that runs; a zombie only waits for its reaper."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def _parent(pid):
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat[stat.rindex(")") + 2:].split()[1])


# read(2) as /proc/PID/syscall numbers it, for x86-64 and i386 programs.
READ_SYSCALLS = (0, 3)


def sleeping_in_read(pid, target_suffix=""):
    """Is the process asleep in read(2) of a descriptor whose path ends with
    target_suffix? The moment a test may signal it or rely on its read."""
    try:
        fields = pathlib.Path(f"/proc/{pid}/syscall").read_text().split()
        number, fd = int(fields[0]), int(fields[1], 16)
        target = os.readlink(f"/proc/{pid}/fd/{fd}")
    except (OSError, ValueError, IndexError):  # running, ended, or not in a call
        return False
    return number in READ_SYSCALLS and target.endswith(target_suffix)


def untouched_by_signals(pid):
    """True while the process runs with no signal pending. A signal sent to it
    is pending from the moment kill(2) returns until it is handled, and one
    that kills it makes it a zombie or gone: no wait can miss a signal that
    was sent before this look."""
    if not _alive(pid):
        return False
    try:
        status = pathlib.Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return False
    fields = dict(line.split(":\t", 1) for line in status.splitlines() if ":\t" in line)
    return int(fields["SigPnd"], 16) == 0 and int(fields["ShdPnd"], 16) == 0


def descendant_running(root, program):
    """The pid of a process below root (a wrapper such as the sandbox's
    nsenter) whose program is `program`, or None while there is none."""
    program = os.path.realpath(program)
    for pid in _pids():
        try:
            if os.readlink(f"/proc/{pid}/exe") != program:
                continue
        except OSError:
            continue
        ancestor = pid
        while ancestor not in (None, 0, 1):
            if ancestor == root:
                return pid
            ancestor = _parent(ancestor)
    return None


def wait_until(predicate, what, timeout=20.0):
    """Polls until predicate() is true; fails naming what it waited for."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)


def host_snapshot():
    """What a sandbox could leave in the host's file system, in comparable form.

    Interfaces, namespace names and processes are left out: other work on the
    machine changes them. Check those by name (host_has_interface,
    host_has_netns) and by namespace (alive_in_namespaces)."""
    def listing(path):
        try:
            return sorted(os.listdir(path))
        except FileNotFoundError:
            return []
    return {
        "dev": listing("/dev"),
        "usr/lib": listing("/usr/lib"),
        "mounts": sorted(line.split()[4] for line in
                         pathlib.Path("/proc/self/mountinfo").read_text().splitlines()),
    }


def host_has_interface(name):
    return os.path.exists(f"/sys/class/net/{name}")


def host_has_netns(name):
    return os.path.exists(f"/run/netns/{name}")


def namespaces_of(pid):
    return {kind: _namespace(pid, kind) for kind in ("mnt", "net", "pid")}


def alive_in_namespaces(namespaces):
    """Running processes in any of the given namespaces ({kind: ident})."""
    return [(p, _comm(p)) for p in _pids() if _alive(p) and
            any(_namespace(p, kind) == ident for kind, ident in namespaces.items())]


class SandboxError(Exception):
    pass


class Sandbox:
    def __init__(self, guests=(), device="vnic0", bridge=True, ports=None, pcap=False,
                 vmbridge=None, start_timeout=60, kind="fuse", kbridge=None):
        """kind "fuse": the stand-in vmbridge; "kernel": a kernel bridge whose
        ports are made by the supervisor kbridge (start port owners with
        port_cmd). start_timeout bounds the wait for "ready", which returns
        as soon as it comes: an emulated 32-bit machine takes over 15 s to
        set up a sandbox with two guests."""
        self.guests = list(guests)
        self.kind = kind
        self.supervisor_pid = None
        self.device = device
        self.workdir = pathlib.Path(tempfile.mkdtemp(prefix="vlm-sandbox-"))
        self.log_path = self.workdir / "syslog.jsonl"
        self.pcap_path = self.workdir / "bridge.pcap" if pcap else None
        self.stderr_path = self.workdir / "sandbox.stderr"
        self._children = []
        self._closed = False
        cmd = [str(SCRIPT), "--device", device, "--log", str(self.log_path)]
        for g in self.guests:
            cmd += ["--guest", g]
        if self.pcap_path:
            cmd += ["--pcap", str(self.pcap_path)]
        if ports is not None:
            cmd += ["--ports", str(ports)]
        if not bridge:
            cmd.append("--no-bridge")
        cmd += ["--vmbridge", str(vmbridge or build_dir() / "tools" / "vmbridge" / "vmbridge")]
        if kind == "kernel":
            self.kbridge = pathlib.Path(kbridge or build_dir() / "tools" / "kbridge" / "kbridge")
            self.socket_path = self.workdir / "kbridge.sock"
            cmd += ["--bridge", "kernel", "--kbridge", str(self.kbridge),
                    "--socket", str(self.socket_path)]
        cmd.append("--hold")
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self._stderr,
                                        stdin=subprocess.DEVNULL)
        try:
            self.pid = self._await_ready(start_timeout)
        except BaseException:
            self._stop()
            shutil.rmtree(self.workdir, ignore_errors=True)
            raise
        # The kernel path's supervisor and its watcher live on the host's side.
        self._host_pids = []
        if self.supervisor_pid:
            self._host_pids = [self.supervisor_pid] + [
                p for p in _pids() if _parent(p) == self.supervisor_pid]
        self.mnt_ns = _namespace(self.pid, "mnt")
        self.net_ns = _namespace(self.pid, "net")
        self.pid_ns = _namespace(self.pid, "pid")

    def _await_ready(self, timeout):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline().decode() if ready else ""
        if not line.startswith("ready "):
            raise SandboxError(f"sandbox did not start: {line!r} {self.stderr()}")
        fields = line.split()
        if len(fields) > 2:
            self.supervisor_pid = int(fields[2])
        return int(fields[1])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- running things inside ------------------------------------------
    def enter_cmd(self, cmd):
        return ["nsenter", "--target", str(self.pid), "--mount", "--net", "--"] + list(cmd)

    def port_cmd(self, cmd):
        """The command as a bridge port owner: under kbridge-launch on the
        kernel path, unchanged on the stand-in."""
        if self.kind != "kernel":
            return list(cmd)
        return [f"{self.kbridge}-launch", "--socket", str(self.socket_path), "--"] + list(cmd)

    def kernel_ports(self):
        """The kernel path's attached ports: {TAP interface: the record's port name}."""
        out = self.run(["ip", "-d", "-o", "link", "show", "master", "br0", "type", "tun"],
                       capture_output=True, text=True, check=True).stdout
        ports = {}
        for line in out.splitlines():
            name = line.split(": ")[1].split("@")[0]
            alias = line.split(" alias ")[1].split()[0] if " alias " in line else ""
            ports[name] = alias
        return ports

    def run(self, cmd, **kw):
        kw.setdefault("timeout", 60)
        return subprocess.run(self.enter_cmd(cmd), **kw)

    def popen(self, cmd, **kw):
        process = subprocess.Popen(self.enter_cmd(cmd), **kw)
        self._children.append(process)
        return process

    def guest_run(self, name, cmd, **kw):
        return self.run(["ip", "netns", "exec", name] + list(cmd), **kw)

    def guest_popen(self, name, cmd, **kw):
        return self.popen(["ip", "netns", "exec", name] + list(cmd), **kw)

    def path(self, inside):
        """A host path that reaches a path of the sandbox's file system."""
        return f"/proc/{self.pid}/root{inside}"

    # --- what it saw ------------------------------------------------------
    def logs(self):
        """Syslog records so far: dicts with facility, severity, ident, pid, message."""
        if not self.log_path.exists():
            return []
        return [json.loads(line) for line in self.log_path.read_text().splitlines() if line]

    def wait_logs(self, predicate, timeout=5.0):
        """Waits until a record satisfies predicate; returns it (None on timeout)."""
        deadline = time.monotonic() + timeout
        while True:
            for record in self.logs():
                if predicate(record):
                    return record
            if time.monotonic() > deadline:
                return None
            time.sleep(0.02)

    def logs_before_marker(self, timeout=5.0):
        """The records sent to the sandbox's /dev/log before this call. A
        marker goes through the same socket now; its queue hands datagrams
        to the receiver in the order they were sent, so once the marker is
        in the log, everything sent before it is there too."""
        marker = f"marker {time.monotonic_ns()}"
        self.run(["logger", "--socket", "/dev/log", "--tag", "vlm-sandbox", marker],
                 check=True, timeout=10)
        if self.wait_logs(lambda r: r["message"] == marker, timeout) is None:
            raise SandboxError(f"the log marker did not arrive: {self.logs()}")
        records = self.logs()
        return records[:next(i for i, r in enumerate(records) if r["message"] == marker)]

    def processes_of(self, program):
        """The pids of the processes of the sandbox's mount namespace that run
        program."""
        program = os.path.realpath(program)
        found = []
        for pid in pids_in_namespace("mnt", self.mnt_ns):
            try:
                if os.readlink(f"/proc/{pid}/exe") == program and _alive(pid):
                    found.append(pid)
            except OSError:
                pass
        return found

    def stderr(self):
        self._stderr.flush()
        return self.stderr_path.read_text(errors="replace")

    def bridge_pid(self):
        if self.kind == "kernel":
            return self.supervisor_pid if _alive(self.supervisor_pid) else None
        for p in pids_in_namespace("pid", self.pid_ns):
            if _comm(p) == "vmbridge":
                return p
        return None

    def kill_bridge(self, sig=signal.SIGKILL, timeout=5.0):
        pid = self.bridge_pid()
        if pid is None:
            raise SandboxError("no bridge is running")
        comm = _comm(pid)
        os.kill(pid, sig)
        deadline = time.monotonic() + timeout
        while _alive(pid) and _comm(pid) == comm:
            if time.monotonic() > deadline:
                raise SandboxError("bridge did not end")
            time.sleep(0.01)

    # --- ending -----------------------------------------------------------
    def _stop(self):
        if self.process.poll() is None:
            # The shell inside cleans up on SIGTERM; unshare outside would only
            # kill it outright, so it is the last resort.
            pid = getattr(self, "pid", None)
            try:
                os.kill(pid, signal.SIGTERM) if pid else self.process.kill()
            except ProcessLookupError:
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self._stderr.close()

    def close(self, check=True):
        if self._closed:
            return
        self._closed = True
        # Everything started in the sandbox, including detached descendants.
        for p in self._children:
            if p.poll() is None:
                p.kill()
        # (unshare itself lives in the sandbox's mount and network namespaces
        # too; it ends by itself once the shell inside has.)
        for p in pids_in_namespace("mnt", self.mnt_ns):
            if p not in (self.pid, self.process.pid) and _namespace(p, "pid") != self.pid_ns:
                try:
                    os.kill(p, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        for p in self._children:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self._stop()
        # The shell inside ends its helpers on SIGTERM; on a busy machine that
        # takes a while, so the deadline is generous (the wait ends at once
        # when they are gone).
        leftovers = self._leftovers(timeout=30.0)
        leftovers += self._supervisor_left(timeout=30.0)
        shutil.rmtree(self.workdir, ignore_errors=True)
        if check and leftovers:
            raise SandboxError(f"sandbox left processes behind: {leftovers}")

    def _supervisor_left(self, timeout):
        """The kernel path's supervisor and its watcher, which live on the
        host's side, end with the sandbox."""
        deadline = time.monotonic() + timeout
        while True:
            left = [(p, _comm(p)) for p in self._host_pids
                    if _alive(p) and (_comm(p) or "").startswith("kbridge")]
            if not left or time.monotonic() > deadline:
                return left
            time.sleep(0.02)

    def _leftovers(self, timeout):
        namespaces = {"mnt": self.mnt_ns, "net": self.net_ns, "pid": self.pid_ns}
        deadline = time.monotonic() + timeout
        while True:
            left = alive_in_namespaces(namespaces)
            if not left or time.monotonic() > deadline:
                return left
            time.sleep(0.02)
