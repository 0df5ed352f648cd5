"""vlm_dhcp_leases: against stand-in services in a private directory (what it
refuses, and that it never shows a snapshot that isn't the service's answer
to its request), then against the real service in the sandbox, with a real
client's lease, snapshots refused by the file system, storms of requests and
two tools at once.

A copy of python3 named vlm_dhcpd stands in for the service: its program
file and process name are the service's, and the script it runs decides
what it does with SIGUSR1.
"""
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import built_program
from vlmsandbox.daemon import (ERR, Daemon, daemon_binary, dhcp_request_frame, exchange,
                               from_server, guest_mac, held_service_lock, udhcpc_lease)

RECORD = struct.Struct("=iIIII16si")
EXIT_NONE, EXIT_USAGE, EXIT_NO_FILE, EXIT_MALFORMED, EXIT_NOT_RUNNING, EXIT_NO_SNAPSHOT = (
    1, 2, 3, 4, 5, 6)
SNAPSHOT_FAILED = "Velmarind DHCP server for virtual NIC couldn't write lease snapshot"


@pytest.fixture(scope="module")
def tool():
    return built_program("tools/vlm_dhcp_leases/vlm_dhcp_leases")


def record(pid):
    return RECORD.pack(pid, 0x0A258101, 0x0A2581FE, 0xFFFFFF00, 0, b"vnic0", 1)


def snapshot_text(pid, monotonic, leases=()):
    lines = ["vlm_dhcpd-leases 1", "device vnic0", f"pid {pid}", "time 1700000000",
             f"monotonic {monotonic:.9f}", "own-address 10.37.129.1",
             "scope 10.37.129.1 10.37.129.254", "mask 255.255.255.0"]
    lines += [f"lease {a} {m} {s}" for a, m, s in leases]
    return "\n".join(lines + [f"end {len(leases)}"]) + "\n"


# The stand-in's answer to SIGUSR1: "write" writes a snapshot with its own pid
# and the time of the request, "ignore" does nothing.
STAND_IN = r"""
import os, signal, sys, time
mode, path = sys.argv[1], sys.argv[2]
def answer(*_):
    if mode == "write":
        text = open(path + ".template").read().replace("PID", str(os.getpid()))
        text = text.replace("NOW", "%.9f" % time.clock_gettime(time.CLOCK_MONOTONIC))
        with open(path + ".tmp", "w") as out:
            out.write(text)
        os.rename(path + ".tmp", path)
    with open(path + ".asked", "a") as out:
        out.write("x")
signal.signal(signal.SIGUSR1, answer)
print("ready", flush=True)
while True:
    signal.pause()
"""


class Dirs:
    def __init__(self, tmp_path):
        self.install = tmp_path / "velmarind"
        self.run = tmp_path / "run"
        self.install.mkdir()
        self.run.mkdir()
        self.snapshot = self.run / "vnic0.leases"
        self.renew = self.install / ".dhcp.vnic0"
        self.program = tmp_path / "bin" / "vlm_dhcpd"  # the stand-in's


@pytest.fixture
def dirs(tmp_path):
    return Dirs(tmp_path)


@pytest.fixture
def stand_in(tmp_path, dirs):
    program = dirs.program
    program.parent.mkdir()
    shutil.copy(sys.executable, program)
    started = []

    def start(mode):
        lock = held_service_lock(dirs.install)
        proc = subprocess.Popen([str(program), "-c", STAND_IN, mode, str(dirs.snapshot)],
                                stdout=subprocess.PIPE, text=True, pass_fds=[lock])
        os.close(lock)
        started.append(proc)
        assert proc.stdout.readline().strip() == "ready"
        dirs.renew.write_bytes(record(proc.pid))
        return proc

    yield start
    for proc in started:
        proc.kill()
        proc.wait()
        proc.stdout.close()


def run(tool, dirs, *args):
    cmd = [str(tool), "--install-dir", str(dirs.install), "--run-dir", str(dirs.run),
           "--daemon", str(dirs.program), *args]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=20)


def dead_pid():
    proc = subprocess.Popen(["/bin/true"])
    proc.wait()
    return proc.pid


def test_answer_from_the_service_is_shown(tool, dirs, stand_in):
    (dirs.run / "vnic0.leases.template").write_text(
        snapshot_text("PID", 0, [("10.37.129.3", "52:54:00:12:34:56", "bound"),
                                 ("10.37.129.4", "52:54:00:12:34:57", "offered")])
        .replace("0.000000000", "NOW"))
    service = stand_in("write")
    result = run(tool, dirs, "--json")
    assert result.returncode == 0, result.stderr
    shown = json.loads(result.stdout)
    assert shown["pid"] == service.pid
    assert [(l["address"], l["mac"], l["state"]) for l in shown["leases"]] == [
        ("10.37.129.3", "52:54:00:12:34:56", "bound"),
        ("10.37.129.4", "52:54:00:12:34:57", "offered")]
    # One value each, and 1 when no bound lease answers (an offer is not one).
    for args, status, out in [
            (["--mac", "52:54:00:12:34:56"], 0, "10.37.129.3\n"),
            (["--mac", "52-54-00-12-34-56"], 0, "10.37.129.3\n"),
            (["--address", "10.37.129.3"], 0, "52:54:00:12:34:56\n"),
            (["--mac", "52:54:00:12:34:57"], EXIT_NONE, ""),
            (["--address", "10.37.129.9"], EXIT_NONE, "")]:
        result = run(tool, dirs, *args)
        assert (result.returncode, result.stdout) == (status, out), (args, result.stderr)


@pytest.mark.parametrize("left_by", ["another pid", "this pid, before the request"])
def test_a_snapshot_that_does_not_answer_the_request_is_never_shown(tool, dirs, stand_in,
                                                                    left_by):
    service = stand_in("ignore")
    pid = dead_pid() if left_by == "another pid" else service.pid
    stale = snapshot_text(pid, 0.5, [("10.37.129.3", "52:54:00:12:34:56", "bound")])
    dirs.snapshot.write_text(stale)
    for args in ([], ["--json"], ["--mac", "52:54:00:12:34:56"]):
        result = run(tool, dirs, *args)
        assert result.returncode == EXIT_NO_SNAPSHOT, result.stdout
        assert result.stdout == ""
        assert "within 1 s" in result.stderr
        if left_by == "another pid":
            assert f"written by pid {pid}, not by the running service" in result.stderr
    assert (dirs.run / "vnic0.leases.asked").read_text() == "xxx"  # each run asked
    assert dirs.snapshot.read_text() == stale


@pytest.mark.parametrize("renew, status, words", [
    (None, EXIT_NO_FILE, "does not exist"),
    (b"\0" * 39, EXIT_MALFORMED, "not one 40-byte"),
    ("dead", EXIT_NOT_RUNNING, "is not running"),
    ("sleep", EXIT_NOT_RUNNING, "runs sleep, not vlm_dhcpd"),
])
def test_refusals_before_anything_is_signalled(tool, dirs, renew, status, words):
    other = subprocess.Popen(["/usr/bin/sleep", "60"])
    try:
        if renew == "dead":
            dirs.renew.write_bytes(record(dead_pid()))
        elif renew == "sleep":
            dirs.renew.write_bytes(record(other.pid))
        elif renew is not None:
            dirs.renew.write_bytes(renew)
        result = run(tool, dirs)
        assert result.returncode == status, result.stderr
        assert words in result.stderr
        assert other.poll() is None, "SIGUSR1 reached a process that is not the service"
    finally:
        other.kill()
        other.wait()


@pytest.mark.parametrize("args, words", [
    (["--mac", "52:54:00:12:34"], "--mac '52:54:00:12:34' is not a hardware address"),
    (["--mac", "zz:54:00:12:34:56"], "is not a hardware address"),
    (["--address", "10.37.129.300"], "--address '10.37.129.300' is not an IPv4 address"),
    (["--address", ""], "is not an IPv4 address"),
    (["--json", "--mac", "52:54:00:12:34:56"], "exclude each other"),
    (["-d", "a/b"], "not a device name"),
    (["--frobnicate"], "unknown option --frobnicate"),
])
def test_unparsable_arguments_exit_2(tool, dirs, args, words):
    result = run(tool, dirs, *args)
    assert result.returncode == EXIT_USAGE
    assert words in result.stderr
    assert result.stdout == ""


# --- the real service ---------------------------------------------------------

def in_box(box, tool, *args, **kw):
    return box.run([str(tool), "-d", "vnic0", "--daemon", str(daemon_binary()), *args],
                   capture_output=True, text=True, timeout=20, **kw)


def serving(box, tmp_path, run_dir=True):
    if run_dir:
        box.run(["mkdir", "-p", "/run/vlm_dhcpd"], check=True)
    d = Daemon(box, tmp_path)
    assert d.start() == 0
    d.wait_serving()
    return d


def lease_rows(shown):
    return [{k: lease[k] for k in ("address", "mac", "state")} for lease in shown["leases"]]


def offered(box, guest, mac, xid):
    replies = from_server(exchange(box, guest, [dhcp_request_frame(mac, xid, 1)], seconds=2))
    return len(replies)


def test_udhcpc_lease_shown_as_bound_with_its_mac(make_sandbox, tmp_path, tool):
    box = make_sandbox(guests=["g1"])
    d = serving(box, tmp_path)
    mac = guest_mac(box, "g1")
    leased = udhcpc_lease(box, "g1", tmp_path)[0]

    result = in_box(box, tool, "--json")
    assert result.returncode == 0, result.stderr
    shown = json.loads(result.stdout)
    assert shown["pid"] == d.service_pid
    assert shown["device"] == "vnic0"
    assert (shown["own_address"], shown["mask"]) == ("10.37.129.1", "255.255.255.0")
    assert [(l["address"], l["mac"], l["state"]) for l in shown["leases"]] == [
        (leased, mac, "bound")]
    counters = shown["counters"]
    assert counters["discovers-seen"] >= 1 and counters["offers-sent"] >= 1
    assert counters["requests-seen"] >= 1 and counters["acks-sent"] >= 1
    assert counters["frames-read"] >= 2

    assert in_box(box, tool, "--mac", mac).stdout == leased + "\n"
    assert in_box(box, tool, "--address", leased).stdout == mac + "\n"
    assert in_box(box, tool, "--mac", "02:00:00:00:00:01").returncode == EXIT_NONE
    table = in_box(box, tool).stdout
    assert f"{leased:<16} {mac:<18} bound" in table

    # Gone with the renew file when the service ends.
    snapshot = Path(box.path("/run/vlm_dhcpd/vnic0.leases"))
    assert snapshot.exists()
    box.kill_bridge()
    assert d.wait_exit() == 0
    assert not snapshot.exists() and d.renew_record() is None


def test_temporaries_left_by_a_killed_service_are_removed(make_sandbox, tmp_path):
    box = make_sandbox(guests=["g1"])
    box.run(["mkdir", "-p", "/run/vlm_dhcpd"], check=True)
    run_dir = Path(box.path("/run/vlm_dhcpd"))
    left = run_dir / "vnic0.leases.Ab3xZ9"
    others = [run_dir / "vnic1.leases.Ab3xZ9", run_dir / "vnic0.leases.notours"]
    for path in [left] + others:
        path.write_text("vlm_dhcpd-leases 1\n")
    d = serving(box, tmp_path, run_dir=False)
    assert not left.exists()
    assert all(path.exists() for path in others)
    left.write_text("vlm_dhcpd-leases 1\n")
    box.kill_bridge()
    assert d.wait_exit() == 0
    assert not left.exists()
    assert all(path.exists() for path in others)


@pytest.mark.parametrize("folder", ["missing", "read-only"])
def test_unwritable_folder_logs_once_per_request_and_serving_goes_on(make_sandbox, tmp_path,
                                                                     tool, folder):
    box = make_sandbox(guests=["g1"])
    if folder == "read-only":
        box.run(["mkdir", "-p", "/run/vlm_dhcpd"], check=True)
        box.run(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "ro", "/run/vlm_dhcpd"],
                check=True)
    d = serving(box, tmp_path, run_dir=False)
    for attempt in (1, 2):
        result = in_box(box, tool)
        assert result.returncode == EXIT_NO_SNAPSHOT, result.stdout
        failures = [m for s, m in d.service_logs() if m.startswith(SNAPSHOT_FAILED)]
        assert len(failures) == attempt, d.service_logs()
        assert all(s == ERR for s, m in d.service_logs() if m.startswith(SNAPSHOT_FAILED))
    mac = guest_mac(box, "g1")
    assert offered(box, "g1", mac, 7) == 1
    assert d.alive()


def test_request_storm_while_frames_flow(make_sandbox, tmp_path, tool):
    box = make_sandbox(guests=["g1", "g2"])
    d = serving(box, tmp_path)
    stop = threading.Event()
    sent = [0]

    def storm():
        while not stop.is_set():
            os.kill(d.service_pid, signal.SIGUSR1)
            sent[0] += 1
            time.sleep(0.0005)

    stormer = threading.Thread(target=storm)
    stormer.start()
    try:
        macs = [guest_mac(box, g) for g in ("g1", "g2")]
        # Every DISCOVER answered, from both guests, while requests rain down.
        for xid in range(1, 6):
            for guest, mac in zip(("g1", "g2"), macs):
                assert offered(box, guest, mac, xid) == 1, (guest, xid)
        # A SIGHUP in the storm is served, not lost among the other signals.
        d.sighup()
        assert box.wait_logs(lambda r: r["pid"] == d.service_pid and r["message"] ==
                             "Velmarind DHCP server for virtual NIC renewing scope.", 5)
        # The tool still gets an answer of its own.
        result = in_box(box, tool, "--json")
        assert result.returncode == 0, result.stderr
        assert len(json.loads(result.stdout)["leases"]) == 2
    finally:
        stop.set()
        stormer.join()
    assert sent[0] > 100
    assert d.alive()
    assert not [m for _, m in d.service_logs() if m.startswith(SNAPSHOT_FAILED)]


def test_two_tools_at_once_both_read_whole_snapshots(make_sandbox, tmp_path, tool):
    box = make_sandbox(guests=["g1"])
    serving(box, tmp_path)
    mac = guest_mac(box, "g1")
    assert offered(box, "g1", mac, 1) == 1
    for _ in range(5):
        tools = [box.popen([str(tool), "-d", "vnic0", "--daemon", str(daemon_binary()), "--json"],
                           stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True) for _ in range(2)]
        for proc in tools:
            out, err = proc.communicate(timeout=20)
            assert proc.returncode == 0, err
            assert lease_rows(json.loads(out)) == [
                {"address": "10.37.129.3", "mac": mac, "state": "offered"}]


def test_runs_where_run_is_read_only_but_for_its_folder(make_sandbox, tmp_path, tool):
    # As a hardened unit has it: /run read-only, /run/vlm_dhcpd writable.
    box = make_sandbox(guests=["g1"])
    box.run(["mkdir", "-p", "/run/vlm_dhcpd"], check=True)
    box.run(["mount", "--bind", "/run/vlm_dhcpd", "/run/vlm_dhcpd"], check=True)
    box.run(["mount", "-o", "remount,bind,ro", "/run"], check=True)
    assert box.run(["touch", "/run/probe"]).returncode != 0
    d = serving(box, tmp_path, run_dir=False)
    mac = guest_mac(box, "g1")
    assert offered(box, "g1", mac, 3) == 1
    result = in_box(box, tool, "--json")
    assert result.returncode == 0, result.stderr
    assert lease_rows(json.loads(result.stdout)) == [
        {"address": "10.37.129.3", "mac": mac, "state": "offered"}]
    assert not [m for _, m in d.service_logs() if m.startswith(SNAPSHOT_FAILED)]


# --- guests' names ------------------------------------------------------------

def resolve(box, nss_dir, name):
    """getent hosts through the module alone, as any program on the host would."""
    return box.run(["env", f"LD_LIBRARY_PATH={nss_dir}", "getent", "hosts", name],
                   capture_output=True, text=True, timeout=20)


def test_guest_names_shown_resolved_and_captured_nowhere(make_sandbox, tmp_path, tool):
    nss_dir = built_program("nss/libnss_vlm.so.2").parent
    box = make_sandbox(guests=["g1", "g2", "g3"])
    # The module in the sandbox's own mount namespace only; the host's
    # nsswitch.conf is never touched.
    nsswitch = tmp_path / "nsswitch.conf"
    nsswitch.write_text("hosts: files vlm\n")
    box.run(["mount", "--bind", str(nsswitch), "/etc/nsswitch.conf"], check=True)
    d = serving(box, tmp_path)
    probes = ["localhost", "github.com", "localhost.vnic0.vlm.internal",
              "github.com.vnic0.vlm.internal", "web1", "web1.vnic0"]
    before = {name: resolve(box, nss_dir, name).stdout for name in probes}

    leased = udhcpc_lease(box, "g1", tmp_path, options=["-x", "hostname:web1"])[0]
    acked = time.monotonic()
    while (answer := resolve(box, nss_dir, "web1.vnic0.vlm.internal")).returncode != 0:
        assert time.monotonic() - acked < 5, "web1 did not resolve within 5 s of its ACK"
    waited = time.monotonic() - acked
    print(f"web1.vnic0.vlm.internal resolved {waited:.2f} s after the ACK")
    assert answer.stdout.split() == [leased, "web1.vnic0.vlm.internal"]
    assert resolve(box, nss_dir, "WEB1.vnic0.VLM.internal.").stdout.split()[0] == leased
    assert waited < 2.5

    assert in_box(box, tool, "--hostname", "web1").stdout == leased + "\n"
    assert in_box(box, tool, "--hostname", "web2").returncode == EXIT_NONE
    row = next(l for l in json.loads(in_box(box, tool, "--json").stdout)["leases"]
               if l["address"] == leased)
    assert row["hostname"] == "web1" and row["client_id"].startswith("01")
    assert row["since"] is not None and row["last_seen"] >= row["since"]
    assert f" web1 " in next(l for l in in_box(box, tool).stdout.splitlines()
                             if l.startswith(leased + " "))
    # Read as it is, without the right to signal the service.
    as_nobody = box.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                         str(tool), "--hostname", "web1"], capture_output=True, text=True,
                        timeout=20)
    assert as_nobody.stdout == leased + "\n", as_nobody.stderr

    # Guests that call themselves localhost and github.com take their leases
    # (the tool shows them) but make nothing new resolve.
    for guest, name in (("g2", "localhost"), ("g3", "github.com")):
        udhcpc_lease(box, guest, tmp_path, options=["-x", f"hostname:{name}"])
        deadline = time.monotonic() + 5
        while not any(l.get("hostname") == name for l in
                      json.loads(in_box(box, tool, "--json").stdout)["leases"]):
            assert time.monotonic() < deadline, f"{name} not in the snapshot"
    assert {name: resolve(box, nss_dir, name).stdout for name in probes} == before
    assert in_box(box, tool, "--hostname", "localhost").returncode == EXIT_NONE
    box.kill_bridge()
    assert d.wait_exit() == 0
