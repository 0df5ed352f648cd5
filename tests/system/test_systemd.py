"""The Debian package under a real systemd: a container boots the host's
/usr (systemd-container), the package is installed with dpkg, the stand-in
bridge runs as a transient unit, and the shipped, hardened unit serves a
stock DHCP client. Needs the package built first (make deb; VLM_DEB_DIR).

With VLM_SYSTEMD_MACHINE=this the tests take the machine they run on instead
of a container: the 32-bit x86 virtual machine (scripts/i386-vm), booted
under its own systemd for this run and thrown away after it."""
import json
import os
import shutil
import struct
import time
from pathlib import Path

import pytest

from systemd_container import Container, unavailable_reason
from this_machine import ThisMachine

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VLM_BUILD", REPO / "build"))
DEB_DIR = Path(os.environ.get("VLM_DEB_DIR", REPO / "build-deb"))
UNIT = "vlm_dhcpd@vnic0.service"
PATH_UNIT = "vlm_dhcpd@vnic0.path"
CONFIG = "/usr/lib/velmarind/.dhcpd_configuration"
RENEW = "/usr/lib/velmarind/.dhcp.vnic0"
DEB = "/srv/deb"
ON_THIS_MACHINE = os.environ.get("VLM_SYSTEMD_MACHINE") == "this"
CAP_NET_ADMIN = 1 << 12
UNIT_SUCCEEDED = "7ad2d189f7e94e70a38c781354912448"  # systemd's "Deactivated successfully"
BRIDGE_MOUNT = r"dev-vm\x2dbridge.mount"
ANNOUNCED = "/run/vlm_dhcpd/bridge"

UDHCPC_SCRIPT = """#!/bin/sh
[ "$1" = bound ] || exit 0
ip addr flush dev "$interface"
ip addr add "$ip/$mask" dev "$interface"
echo "lease $ip $mask $serverid"
"""


def config_text(dhcp="1", start="10.37.129.1", end="10.37.129.254"):
    return (f"[vnic0]\nDHCP={dhcp}\nStart interface=1\nScope start={start}\n"
            f"Scope end={end}\nScope network mask=255.255.255.0\n")


def wait_for(probe, what, timeout=30):
    """Polls probe() until it returns something true; fails with what."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what} (last: {value!r})")
        time.sleep(0.05)


def package_for(c):
    """The package built for the machine's own architecture."""
    arch = c.run(["dpkg", "--print-architecture"]).stdout.strip()
    debs = sorted(DEB_DIR.glob(f"vlm-dhcpd_*_{arch}.deb"))
    if not debs:
        pytest.fail(f"no vlm-dhcpd package for {arch} in {DEB_DIR}: build it with make deb")
    return debs[-1]


@pytest.fixture(scope="module")
def machine():
    vmbridge = BUILD / "tools" / "vmbridge" / "vmbridge"
    if not vmbridge.exists():
        pytest.fail(f"{vmbridge} is not built (set VLM_BUILD to the build directory)")
    if ON_THIS_MACHINE:
        c = ThisMachine()
        c.package, c.vmbridge = str(package_for(c)), str(vmbridge)
        yield prepared(c)
        return
    if shutil.which("systemd-nspawn") is None:
        pytest.fail("systemd-nspawn is missing (Debian package systemd-container; scripts/setup)")
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    started = time.monotonic()
    c = Container({str(DEB_DIR): DEB, str(vmbridge): "/srv/vmbridge",
                   "/var/lib/dpkg": "/srv/host-dpkg"})
    try:
        c.package, c.vmbridge = f"{DEB}/{package_for(c).name}", "/srv/vmbridge"
        print(f"container running after {time.monotonic() - started:.1f} s")
        # dpkg's database is the host's (the same /usr), minus the ownership
        # overrides: the container's /etc has only the base system's groups.
        c.sh("cp -a /srv/host-dpkg/. /var/lib/dpkg/ && : > /var/lib/dpkg/statoverride")
        yield prepared(c)
    finally:
        c.close()
        print(f"systemd test took {time.monotonic() - started:.1f} s")


def prepared(c):
    """The guest's client script and namespace."""
    c.run(["sh", "-c", "cat > /root/udhcpc.script && chmod 755 /root/udhcpc.script"],
          input=UDHCPC_SCRIPT)
    c.run(["ip", "netns", "add", "g1"])
    return c


def props(c, unit, *names):
    out = c.run(["systemctl", "show", unit, *(f"--property={n}" for n in names)]).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def no_jobs(c):
    return "No jobs running." in c.run(["systemctl", "list-jobs"]).stdout


def journal(c, *matches):
    out = c.run(["journalctl", "--no-pager", "-o", "json", *matches]).stdout
    return [json.loads(line) for line in out.splitlines()]


def bridge_announced(c):
    """When vlm_dhcpd-bridge.service last touched the file the services'
    path units watch (nanoseconds), or "" before it ever did."""
    return c.run(["stat", "-c", "%.9Y", ANNOUNCED], check=False).stdout.strip()


def start_bridge(c):
    c.run(["systemd-run", "--quiet", "--unit=vlm-bridge", "--collect", c.vmbridge,
           "--tap", "vnic0", "--tap", "g1port"])
    announced = bridge_announced(c)
    wait_for(lambda: c.run(["mountpoint", "-q", "/dev/vm-bridge"], check=False).returncode == 0,
             "the bridge to be served")
    # Its appearance is announced to the waiting services before anything
    # else goes on.
    wait_for(lambda: bridge_announced(c) != announced and no_jobs(c),
             "the bridge's appearance to be announced")
    # The guest's port is made anew with each bridge; it goes into the
    # guest's namespace.
    c.sh("ip link set g1port netns g1 && ip -n g1 link set g1port up")


def stop_bridge(c):
    c.run(["systemctl", "stop", "vlm-bridge"])
    assert c.run(["test", "-e", "/dev/vm-bridge"], check=False).returncode != 0


def running(c):
    """The unit's main process once it runs, else None."""
    p = props(c, UNIT, "ActiveState", "SubState", "MainPID")
    if (p["ActiveState"], p["SubState"]) == ("active", "running") and p["MainPID"] != "0":
        return int(p["MainPID"])
    return None


def lease(c):
    """A stock client's lease in the guest namespace: (address, server)."""
    result = c.run(["ip", "netns", "exec", "g1", "busybox", "udhcpc", "-i", "g1port", "-n", "-q",
                    "-f", "-t", "5", "-T", "1", "-s", "/root/udhcpc.script"], check=False)
    assert result.returncode == 0, result.stderr
    words = [line.split() for line in result.stdout.splitlines() if line.startswith("lease ")]
    assert len(words) == 1, result.stdout
    return words[0][1], words[0][3]


def guest_mac(c):
    return c.run(["ip", "-n", "g1", "-br", "link", "show", "g1port"]).stdout.split()[2]


def holder(c, address):
    """Who holds address, as the lease tool tells from the service's snapshot."""
    return c.run(["vlm_dhcp_leases", "-d", "vnic0", "--address", address]).stdout.strip()


def adapter_address(c):
    out = c.run(["ip", "-4", "-o", "addr", "show", "dev", "vnic0"]).stdout.split()
    return out[out.index("inet") + 1] if "inet" in out else None


def start_service(c, text=None):
    c.run(["systemctl", "reset-failed", UNIT, PATH_UNIT], check=False)
    c.run(["sh", "-c", f"cat > {CONFIG}"], input=text or config_text())
    c.run(["systemctl", "start", UNIT])
    return wait_for(lambda: running(c), "the service to run")


def snapshot(c):
    """Every file of the container a package could leave, as piuparts
    compares them: the root (/etc, /var, ...) and what the /usr overlay
    holds beyond the host's /usr. Logs, caches, dpkg's status and systemd's
    runtime state change with any activity and are left out."""
    skip = ["/var/log", "/var/cache", "/var/lib/dpkg", "/var/lib/systemd", "/tmp", "/root",
            "/var/tmp"]
    prune = " -o ".join(f"-path {p}" for p in skip)
    out = c.sh(f"find / -xdev \\( {prune} \\) -prune -o -printf '%p %y %m %u\\n'").stdout
    files = set(out.splitlines())
    for path in c.upper.rglob("*") if c.upper else []:
        relative = path.relative_to(c.upper)
        # A directory copied up because something below it changed is not a
        # change of its own.
        if not (path.is_dir() and (Path("/usr") / relative).is_dir()):
            files.add(f"/usr/{relative} {'d' if path.is_dir() else 'f'}")
    return files


def test_install_reinstall_remove_purge_leave_the_system_as_it_was(machine):
    c = machine
    before = snapshot(c)
    c.run(["dpkg", "-i", c.package])
    # Nothing is enabled or started at install: the unit is a template.
    assert c.run(["systemctl", "list-units", "--all", "--no-legend", "vlm_dhcpd*"]).stdout == ""
    assert c.run(["systemctl", "is-enabled", UNIT], check=False).stdout.strip() == "disabled"
    assert c.run(["test", "-d", "/usr/lib/velmarind"], check=False).returncode == 0
    c.run(["dpkg", "-i", c.package])
    c.run(["dpkg", "-r", "vlm-dhcpd"])
    c.run(["dpkg", "-P", "vlm-dhcpd"])
    assert c.run(["dpkg-query", "-W", "vlm-dhcpd"], check=False).returncode != 0
    after = snapshot(c)
    assert sorted(after - before) == [] and sorted(before - after) == []


@pytest.fixture(scope="module")
def installed(machine):
    # A policy-rc.d in the host's /usr (as container images have) forbids
    # maintainer scripts to touch services; a host running the service has
    # none.
    machine.run(["rm", "-f", "/usr/sbin/policy-rc.d"])
    machine.run(["dpkg", "-i", machine.package])
    # No udev runs in the container, and the stand-in bridge is a FUSE
    # mount, not a device: its mount unit stands in for the device unit that
    # the package's udev rule gives a real bridge, and wants the same unit
    # when it appears.
    wants = f"/run/systemd/system/{BRIDGE_MOUNT}.wants"
    machine.run(["mkdir", "-p", wants])
    machine.run(["ln", "-sf", "/lib/systemd/system/vlm_dhcpd-bridge.service", wants])
    machine.run(["systemctl", "daemon-reload"])
    start_bridge(machine)
    return machine


def test_start_serves_a_guest_confined(installed):
    c = installed
    pid = start_service(c)
    # The main process is the service process: the one the renew file names.
    assert c.run(["cat", f"/proc/{pid}/comm"]).stdout.strip() == "vlm_dhcpd"
    # systemd counts the service as started when the start-up process ends,
    # which may be before the service process has written its renew file.
    wait_for(lambda: f"service pid:      {pid} (running vlm_dhcpd)" in c.run(
        ["vlm_dhcp_renew", "-d", "vnic0", "--print"], check=False).stdout,
        "the renew file to name the service")
    invocation = props(c, UNIT, "InvocationID")["InvocationID"]
    wait_for(lambda: {"vlm_dhcpd", "vlm_dhcp"} <= {
        e.get("SYSLOG_IDENTIFIER") for e in journal(c, f"_SYSTEMD_INVOCATION_ID={invocation}")},
        "the lines of the start-up process and the service process in the journal")

    assert lease(c) == ("10.37.129.3", "10.37.129.1")
    assert adapter_address(c) == "10.37.129.2/24"
    c.run(["ping", "-c", "1", "-W", "2", "10.37.129.3"])
    # The lease tool gets its snapshot from the confined service, whose /run
    # is read-only but for its runtime folder: the guest's port address.
    assert holder(c, "10.37.129.3") == guest_mac(c)

    status = dict(line.split(":", 1) for line in
                  c.run(["cat", f"/proc/{pid}/status"]).stdout.splitlines())
    for field in ("CapEff", "CapPrm", "CapBnd"):
        assert int(status[field], 16) == CAP_NET_ADMIN, field
    assert int(status["CapAmb"], 16) == 0
    assert status["NoNewPrivs"].strip() == "1"
    assert status["Seccomp"].strip() == "2"  # a filter
    # The exposure figure of the unit as the running systemd sees it.
    score = c.run(["systemd-analyze", "security", "--no-pager", UNIT]).stdout.splitlines()[-1]
    figure = float(score.split("level for")[1].split(":")[1].split()[0])
    assert figure <= 2.0, score


def renew_record(pid, start, end, mask):
    def value(text):
        return struct.unpack(">I", bytes(int(x) for x in text.split(".")))[0]
    # The renew file's 40-byte record in the host's order (x86: little).
    return struct.pack("<iIIII16si", pid, value(start), value(end), value(mask), 0, b"vnic0", 1)


def test_reload_and_renew_tool_apply_a_new_scope(installed):
    c = installed
    pid = running(c) or start_service(c)
    c.run(["sh", "-c", f"cat > {RENEW}"],
          input=renew_record(pid, "10.37.130.1", "10.37.130.254", "255.255.255.0"))
    c.run(["systemctl", "reload", UNIT])
    wait_for(lambda: adapter_address(c) == "10.37.130.2/24", "the adapter's new address")
    assert lease(c) == ("10.37.130.3", "10.37.130.1")
    c.run(["ping", "-c", "1", "-W", "2", "10.37.130.3"])
    assert holder(c, "10.37.130.3") == guest_mac(c)

    c.run(["vlm_dhcp_renew", "-d", "vnic0", "--start", "10.37.131.1", "--end", "10.37.131.254"])
    wait_for(lambda: adapter_address(c) == "10.37.131.2/24", "the adapter's address from the tool")
    assert lease(c) == ("10.37.131.3", "10.37.131.1")
    assert running(c) == pid


def test_reload_right_after_start_is_served(installed):
    """systemctl start returns as soon as the start-up process has ended;
    a reload at once may reach the service before its handlers are in
    place. It must be served then, not end the service."""
    c = installed
    c.run(["systemctl", "stop", UNIT])
    c.run(["systemctl", "reset-failed", UNIT, PATH_UNIT], check=False)
    c.run(["sh", "-c", f"cat > {CONFIG}"], input=config_text())
    for _ in range(5):
        c.sh(f"systemctl start {UNIT} && systemctl reload {UNIT}")
        pid = wait_for(lambda: running(c), "the service to run after an early reload")
        wait_for(lambda: any(e.get("MESSAGE") == "Velmarind DHCP server for virtual NIC "
                             "renewing scope." for e in journal(c, f"_PID={pid}")),
                 "the service to serve the early reload")
        assert running(c) == pid
        c.run(["systemctl", "stop", UNIT])
    start_service(c)
    assert lease(c) == ("10.37.129.3", "10.37.129.1")


def bridge_goes_away(c):
    """Stops the bridge; the service must end with status 0 (a success for
    systemd). Returns the time the bridge went."""
    pid = running(c) or start_service(c)
    invocation = props(c, UNIT, "InvocationID")["InvocationID"]
    gone = time.monotonic()
    stop_bridge(c)
    wait_for(lambda: any(e.get("MESSAGE_ID") == UNIT_SUCCEEDED
                         for e in journal(c, f"INVOCATION_ID={invocation}", "_PID=1")),
             "the service to end successfully")
    assert c.run(["test", "-d", f"/proc/{pid}"], check=False).returncode != 0
    return gone


def test_service_comes_back_with_the_bridge(installed):
    c = installed
    restarts = int(props(c, UNIT, "NRestarts")["NRestarts"])
    # A short absence: back before the restart is due.
    bridge_goes_away(c)
    start_bridge(c)
    wait_for(lambda: running(c), "the service after a short absence")
    assert lease(c) == ("10.37.129.3", "10.37.129.1")
    assert int(props(c, UNIT, "NRestarts")["NRestarts"]) == restarts + 1

    # A long one: the restart finds no bridge and is skipped, not failed.
    gone = bridge_goes_away(c)
    wait_for(lambda: props(c, UNIT, "ActiveState", "ConditionResult") ==
             {"ActiveState": "inactive", "ConditionResult": "no"} and no_jobs(c),
             "the restart to be skipped for want of the bridge")
    assert props(c, PATH_UNIT, "SubState")["SubState"] == "waiting"
    # The bridge stays away for longer than the restart policy alone would
    # have tried (burst x delay); this is the absence itself, not a wait.
    p = props(c, UNIT, "RestartUSec", "StartLimitBurst")
    limit = int(p["StartLimitBurst"]) * float(p["RestartUSec"].rstrip("s"))
    time.sleep(max(0.0, gone + limit + 1 - time.monotonic()))
    assert props(c, UNIT, "ActiveState")["ActiveState"] == "inactive"
    start_bridge(c)
    wait_for(lambda: running(c), "the service after a long absence")
    assert lease(c) == ("10.37.129.3", "10.37.129.1")


CONFIGURATION_ERRORS = [
    # (what, configuration text or None for no file, states it may end in)
    ("missing configuration", None, {"failed"}),
    ("refused scope", config_text(end="10.37.129.10"), {"failed", "inactive"}),
    ("DHCP disabled", config_text(dhcp="0"), {"inactive"}),
]


@pytest.mark.parametrize("what,text,states", CONFIGURATION_ERRORS,
                         ids=[e[0] for e in CONFIGURATION_ERRORS])
def test_configuration_error_is_not_restarted(installed, what, text, states):
    c = installed
    if c.run(["mountpoint", "-q", "/dev/vm-bridge"], check=False).returncode != 0:
        start_bridge(c)
    c.run(["systemctl", "stop", UNIT])
    c.run(["systemctl", "reset-failed", UNIT, PATH_UNIT], check=False)
    restarts = props(c, UNIT, "NRestarts")["NRestarts"]
    if text is None:
        c.run(["rm", "-f", CONFIG])
    else:
        c.run(["sh", "-c", f"cat > {CONFIG}"], input=text)
    c.run(["systemctl", "start", UNIT], check=False)
    # Settled: the service has ended, the bridge watch has seen it end
    # (it would start the service again now if it were going to) and no
    # job is queued.
    wait_for(lambda: props(c, UNIT, "ActiveState")["ActiveState"] in states
             and props(c, PATH_UNIT, "SubState")["SubState"] == "waiting" and no_jobs(c),
             f"the unit to settle after a {what}")
    p = props(c, UNIT, "ActiveState", "SubState", "NRestarts")
    assert p["ActiveState"] in states and p["SubState"] != "auto-restart", p
    assert p["NRestarts"] == restarts


# A witness that watches the bridge device itself: it sees every close of a
# port that had the device open for writing.
WITNESS = {
    "vlm-witness.path": "[Path]\nPathChanged=/dev/vm-bridge\nUnit=vlm-witness.service\n",
    "vlm-witness.service": "[Service]\nType=oneshot\nExecStart=/bin/true\n",
}
PORT_OPENS_AND_CLOSES = """import os
for _ in range(20):
    os.close(os.open("/dev/vm-bridge", os.O_RDWR))
"""


def test_a_failed_unit_stays_failed_until_the_bridge_comes_back(installed):
    c = installed
    if c.run(["mountpoint", "-q", "/dev/vm-bridge"], check=False).returncode != 0:
        start_bridge(c)
    c.run(["systemctl", "stop", UNIT])
    c.run(["systemctl", "reset-failed", UNIT, PATH_UNIT], check=False)
    c.run(["rm", "-f", CONFIG])
    c.run(["systemctl", "start", UNIT], check=False)
    wait_for(lambda: props(c, UNIT, "ActiveState")["ActiveState"] == "failed"
             and props(c, PATH_UNIT, "SubState")["SubState"] == "waiting" and no_jobs(c),
             "the unit to fail for want of its configuration")
    failed = props(c, UNIT, "InvocationID")["InvocationID"]
    for name, text in WITNESS.items():
        c.run(["sh", "-c", f"cat > /run/systemd/system/{name}"], input=text)
    try:
        c.run(["systemctl", "daemon-reload"])
        c.run(["systemctl", "start", "vlm-witness.path"])
        seen = props(c, "vlm-witness.service", "InvocationID")["InvocationID"]
        # A port opens and closes the bridge 20 times; once systemd has acted
        # on the closes (the witness ran), the unit is still the failed one.
        c.run(["python3", "-c", PORT_OPENS_AND_CLOSES])
        wait_for(lambda: props(c, "vlm-witness.service", "InvocationID")["InvocationID"] != seen
                 and no_jobs(c), "the witness to see the closes")
        assert props(c, UNIT, "ActiveState", "InvocationID") == {
            "ActiveState": "failed", "InvocationID": failed}
    finally:
        c.run(["systemctl", "stop", "vlm-witness.path"], check=False)
        c.run(["rm", "-f", *(f"/run/systemd/system/{name}" for name in WITNESS)])
        c.run(["systemctl", "daemon-reload"])
    # The bridge comes back (its configuration mended meanwhile): the unit is
    # started again and serves.
    c.run(["sh", "-c", f"cat > {CONFIG}"], input=config_text())
    stop_bridge(c)
    start_bridge(c)
    wait_for(lambda: running(c), "the service once the bridge is back")
    assert props(c, UNIT, "InvocationID")["InvocationID"] != failed
    assert lease(c) == ("10.37.129.3", "10.37.129.1")


def test_stop_removes_the_renew_file_and_remove_stops_instances(installed):
    c = installed
    start_service(c)
    c.run(["test", "-f", RENEW])
    c.run(["systemctl", "stop", UNIT])
    assert c.run(["test", "-e", RENEW], check=False).returncode != 0
    assert props(c, PATH_UNIT, "ActiveState")["ActiveState"] == "inactive"

    pid = start_service(c)
    c.run(["dpkg", "-r", "vlm-dhcpd"])
    assert c.run(["test", "-d", f"/proc/{pid}"], check=False).returncode != 0
    assert props(c, UNIT, "ActiveState")["ActiveState"] in {"inactive", "failed"}
    c.run(["dpkg", "-P", "vlm-dhcpd"])
