"""A throwaway machine under a real systemd, for tests of packages and units.

systemd-nspawn boots the host's own /usr with an empty /etc and /var
(--volatile=yes), a private network, /dev/fuse and /dev/net/tun. /usr is an
overlay whose upper directory is on the host, so that a package can be
installed and the test sees every file it adds. The container runs from
cgroups of its own; everything made on the host (the container, its
cgroups, what systemd-nspawn leaves under /run/systemd, the work directory)
is removed by close(), also after a failure.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import uuid
from pathlib import Path

NSPAWN_STATE = [Path("/run/systemd/nspawn"), Path("/run/systemd/nspawn-root")]
CONTAINER_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class ContainerError(Exception):
    pass


def cgroup_roots():
    """Where the container's cgroups go: the unified hierarchy, and the named
    systemd one of a hybrid host. Empty when the kernel offers no cgroup v2."""
    base = Path("/sys/fs/cgroup")
    if (base / "cgroup.controllers").exists():
        return [base]
    roots = [base / "unified"] if (base / "unified" / "cgroup.controllers").exists() else []
    if roots and (base / "systemd" / "cgroup.procs").exists():
        roots.append(base / "systemd")
    return roots


def unavailable_reason():
    """Why this kernel cannot boot the container, or None."""
    if not cgroup_roots():
        return "the kernel has no cgroup v2 hierarchy for the container's systemd"
    for device in ("/dev/fuse", "/dev/net/tun"):
        if not os.path.exists(device):
            return f"{device} is missing: the kernel has no FUSE or TUN support"
    return None


def _mounts_below(path):
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    return sorted((p for p in points if p == str(path) or p.startswith(f"{path}/")),
                  key=len, reverse=True)


class Machine:
    """What the systemd tests ask of the machine they run on: run a command
    there (as command() wraps it) with the machine's PATH, or a script."""

    def command(self, cmd):
        return cmd

    def run(self, cmd, check=True, timeout=60, **kw):
        kw.setdefault("capture_output", True)
        if "input" not in kw or isinstance(kw["input"], str):
            kw.setdefault("text", True)
        result = subprocess.run(self.command(cmd),
                                env={"PATH": CONTAINER_PATH, "LANG": "C.UTF-8"},
                                timeout=timeout, **kw)
        if check and result.returncode != 0:
            raise ContainerError(f"{cmd} failed ({result.returncode}): {result.stderr}"
                                 f"{result.stdout}")
        return result

    def sh(self, script, **kw):
        return self.run(["/bin/sh", "-ec", script], **kw)


class Container(Machine):
    def __init__(self, binds_ro, boot_timeout=120):
        """binds_ro: {host path: container path}, bound read-only."""
        self.workdir = Path(tempfile.mkdtemp(prefix="vlm-nspawn-"))
        self.upper = self.workdir / "usr-upper"
        self.upper.mkdir()
        self.cgroups = [root / self.workdir.name for root in cgroup_roots()]
        self.state_existed = {p: p.exists() for p in NSPAWN_STATE}
        self.process = None
        self.leader = None
        try:
            self._boot(binds_ro, boot_timeout)
        except BaseException:
            self.close()
            raise

    def _boot(self, binds_ro, timeout):
        machine_id = self.workdir / "machine-id"
        # A machine id of its own: without one a first boot enables every
        # installed service.
        machine_id.write_text(uuid.uuid4().hex + "\n")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify_path = self.workdir / "notify"
        notify.bind(str(notify_path))
        for cgroup in self.cgroups:
            cgroup.mkdir()
        cmd = ["systemd-nspawn", "--boot", "--directory=/", "--volatile=yes",
               "--private-network", "--register=no", "--keep-unit", "--quiet",
               "--console=passive", "--notify-ready=yes", "--system-call-filter=bpf",
               "--capability=CAP_NET_ADMIN,CAP_SYS_ADMIN",
               "--bind=/dev/fuse", "--bind=/dev/net/tun",
               f"--bind-ro={machine_id}:/etc/machine-id",
               f"--overlay=/usr:{self.upper}:/usr"]
        cmd += [f"--bind-ro={host}:{inside}" for host, inside in binds_ro.items()]
        env = dict(os.environ, SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1",
                   NOTIFY_SOCKET=str(notify_path))
        cgroups = self.cgroups

        def own_cgroup():
            for cgroup in cgroups:
                (cgroup / "cgroup.procs").write_text("0")

        self.log = open(self.workdir / "nspawn.log", "wb")
        self.process = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT, preexec_fn=own_cgroup)
        # nspawn names its leader, then says READY=1 once the container's
        # systemd has finished starting up.
        deadline = time.monotonic() + timeout
        ready = False
        with notify:
            while not ready:
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    raise ContainerError(f"container did not boot: {self.boot_log()}")
                notify.settimeout(min(left, 0.5))
                try:
                    message = notify.recv(4096).decode()
                except socket.timeout:
                    continue
                for line in message.splitlines():
                    if line.startswith("X_NSPAWN_LEADER_PID="):
                        self.leader = int(line.split("=", 1)[1])
                    ready = ready or line == "READY=1"
        if self.leader is None:
            raise ContainerError("nspawn did not name the container's leader")

    def boot_log(self):
        return (self.workdir / "nspawn.log").read_text(errors="replace")[-3000:]

    def command(self, cmd):
        """cmd as run inside (all of the container's namespaces)."""
        return ["nsenter", "-t", str(self.leader), "-m", "-u", "-i", "-n", "-p", "-C", "--", *cmd]

    # --- teardown ------------------------------------------------------

    def close(self):
        errors = []
        if self.process is not None and self.process.poll() is None:
            # SIGTERM makes nspawn power the container off in order.
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        for cgroup in self.cgroups:
            try:
                self._remove_cgroup(cgroup)
            except OSError as error:
                errors.append(f"cgroup {cgroup}: {error}")
        for path, existed in self.state_existed.items():
            if existed or not path.exists():
                continue
            for point in _mounts_below(path):
                subprocess.run(["umount", "-l", point], check=False)
            shutil.rmtree(path, ignore_errors=True)
        if getattr(self, "log", None):
            self.log.close()
        shutil.rmtree(self.workdir, ignore_errors=True)
        if errors:
            raise ContainerError("; ".join(errors))

    @staticmethod
    def _remove_cgroup(cgroup):
        if not cgroup.exists():
            return
        if (cgroup / "cgroup.kill").exists():
            (cgroup / "cgroup.kill").write_text("1")
        dirs = sorted((Path(d) for d, _, _ in os.walk(cgroup)), key=lambda p: len(p.parts),
                      reverse=True)
        for directory in dirs:
            for pid in (directory / "cgroup.procs").read_text().split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass
        deadline = time.monotonic() + 10
        for directory in dirs:
            # A cgroup can be removed once its last process has been reaped.
            while True:
                try:
                    directory.rmdir()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.05)
