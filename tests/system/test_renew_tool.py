"""vlm_dhcp_renew against renew files in a private directory: what it refuses,
with which exit status, and what it writes and signals when it accepts; and at
the end against a real service in the sandbox.

A copy of sleep(1) named vlm_dhcpd stands in for the service: its program file
and process name are the service's, and SIGHUP (default action) ends it, so
its end shows that the tool signalled it.
"""
import os
import shutil
import signal
import struct
import subprocess
import time
from pathlib import Path

import pytest

from vlmsandbox.sandbox import build_dir, untouched_by_signals

REPO = Path(__file__).resolve().parents[2]
BUILD = build_dir()
TOOL = BUILD / "tools" / "vlm_dhcp_renew" / "vlm_dhcp_renew"

# pid, scopeStart, scopeEnd, scopeMask, reserved, adapterName, startInterface;
# native order, as the service writes it.
RECORD = struct.Struct("=iIIII16si")
assert RECORD.size == 40

EXIT_USAGE, EXIT_BAD_SCOPE, EXIT_NO_FILE, EXIT_MALFORMED, EXIT_NOT_RUNNING = 1, 2, 3, 4, 5


def ip(text):
    a, b, c, d = (int(x) for x in text.split("."))
    return (a << 24) | (b << 16) | (c << 8) | d


def record(pid, start="10.37.129.1", end="10.37.129.254", mask="255.255.255.0",
           name=b"vnic0", start_interface=1):
    return RECORD.pack(pid, ip(start), ip(end), ip(mask), 0, name, start_interface)


def run(install_dir, *args):
    return subprocess.run([str(TOOL), "--install-dir", str(install_dir), *args],
                          capture_output=True, text=True, timeout=10)


@pytest.fixture(scope="module", autouse=True)
def tool_built():
    if not TOOL.exists():
        pytest.fail(f"{TOOL} is not built (set VLM_BUILD to the build directory)")


@pytest.fixture
def fake_service(tmp_path):
    program = tmp_path / "bin" / "vlm_dhcpd"
    program.parent.mkdir()
    shutil.copy("/usr/bin/sleep", program)
    # SIGHUP's default action is what shows the signal, so it is set in the
    # child: a suite started under nohup would hand down SIGHUP ignored.
    proc = subprocess.Popen([str(program), "60"],
                            preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_DFL))
    yield proc
    if proc.poll() is None:
        proc.kill()
    proc.wait()


@pytest.fixture
def install_dir(tmp_path):
    d = tmp_path / "velmarind"
    d.mkdir()
    return d


def dead_pid():
    proc = subprocess.Popen(["/bin/true"])
    proc.wait()
    return proc.pid


def test_new_scope_is_written_whole_and_the_service_signalled(install_dir, fake_service):
    path = install_dir / ".dhcp.vnic0"
    path.write_bytes(record(fake_service.pid, start_interface=0))
    result = run(install_dir, "-d", "vnic0", "--start", "192.168.50.1",
                 "--end", "0xc0a832fe", "--mask", "255.255.0.0")
    assert result.returncode == 0, result.stderr
    assert fake_service.wait(timeout=5) == -signal.SIGHUP
    pid, start, end, mask, reserved, name, start_interface = RECORD.unpack(path.read_bytes())
    assert (start, end, mask) == (ip("192.168.50.1"), ip("192.168.50.254"), ip("255.255.0.0"))
    # What the service wrote about itself stays.
    assert (pid, reserved, name, start_interface) == (fake_service.pid, 0, b"vnic0" + bytes(11), 0)
    assert path.stat().st_mode & 0o7777 == 0o644
    assert sorted(p.name for p in install_dir.iterdir()) == [".dhcp.vnic0"]


def test_mask_stays_without_mask_option(install_dir, fake_service):
    path = install_dir / ".dhcp.vnic0"
    path.write_bytes(record(fake_service.pid, mask="255.255.254.0"))
    result = run(install_dir, "--start", "10.1.0.1", "--end", "10.1.1.200")
    assert result.returncode == 0, result.stderr
    assert RECORD.unpack(path.read_bytes())[3] == ip("255.255.254.0")


@pytest.mark.parametrize("content, status, words", [
    (None, EXIT_NO_FILE, "does not exist"),
    (b"", EXIT_MALFORMED, "holds 0 bytes"),
    (bytes(20), EXIT_MALFORMED, "holds 20 bytes"),
    (bytes(39), EXIT_MALFORMED, "holds 39 bytes"),
    (bytes(41), EXIT_MALFORMED, "holds more than 40 bytes"),
    (bytes(400), EXIT_MALFORMED, "holds more than 40 bytes"),
])
def test_unusable_renew_file(install_dir, content, status, words):
    path = install_dir / ".dhcp.vnic0"
    if content is not None:
        path.write_bytes(content)
    for args in (["--start", "10.0.0.1", "--end", "10.0.0.100"], ["--print"]):
        result = run(install_dir, *args)
        assert result.returncode == status, result.stderr
        assert words in result.stderr
    if content is not None:
        assert path.read_bytes() == content


def test_stale_file_naming_a_dead_pid_is_left_alone(install_dir):
    path = install_dir / ".dhcp.vnic0"
    stale = record(dead_pid())
    path.write_bytes(stale)
    result = run(install_dir, "--start", "10.0.0.1", "--end", "10.0.0.100")
    assert result.returncode == EXIT_NOT_RUNNING
    assert "is not running" in result.stderr
    assert path.read_bytes() == stale


def test_pid_of_another_program_is_not_signalled(install_dir):
    other = subprocess.Popen(["/usr/bin/sleep", "60"])
    try:
        path = install_dir / ".dhcp.vnic0"
        path.write_bytes(record(other.pid))
        result = run(install_dir, "--start", "10.0.0.1", "--end", "10.0.0.100")
        assert result.returncode == EXIT_NOT_RUNNING
        assert "runs sleep, not vlm_dhcpd" in result.stderr
        assert untouched_by_signals(other.pid), \
            "the tool signalled a process that is not the service"
        assert path.read_bytes() == record(other.pid)
    finally:
        other.kill()
        other.wait()


@pytest.mark.parametrize("args, words", [
    (["--start", "10.0.0.256", "--end", "10.0.0.100"], "--start '10.0.0.256' is not an address"),
    (["--start", "10.0.0.1", "--end", "10.0.0"], "--end '10.0.0' is not an address"),
    (["--start", "10.0.0.1", "--end", ""], "--end '' is not an address"),
    (["--start", "10.0.0.1 ", "--end", "10.0.0.100"], "is not an address"),
    (["--start", "10.0.0.1", "--end", "10.0.0.100", "--mask", "-1.0.0.0"], "--mask '-1.0.0.0'"),
    # end - start of 17: one guest address short.
    (["--start", "10.0.0.1", "--end", "10.0.0.18"], "end - start is 17"),
    (["--start", "10.0.0.5", "--end", "10.0.0.5"], "end - start is 0"),
    (["--start", "10.0.0.200", "--end", "10.0.0.1"], "lies above scope end"),
])
def test_bad_scope_is_refused_before_anything_is_touched(install_dir, fake_service, args, words):
    path = install_dir / ".dhcp.vnic0"
    path.write_bytes(record(fake_service.pid))
    result = run(install_dir, *args)
    assert result.returncode == EXIT_BAD_SCOPE
    assert words in result.stderr
    assert path.read_bytes() == record(fake_service.pid)
    assert fake_service.poll() is None


def test_force_applies_a_scope_the_checks_refuse(install_dir, fake_service):
    path = install_dir / ".dhcp.vnic0"
    path.write_bytes(record(fake_service.pid))
    result = run(install_dir, "--start", "10.0.0.1", "--end", "10.0.0.18", "--force")
    assert result.returncode == 0, result.stderr
    assert RECORD.unpack(path.read_bytes())[1:3] == (ip("10.0.0.1"), ip("10.0.0.18"))
    assert fake_service.wait(timeout=5) == -signal.SIGHUP


@pytest.mark.parametrize("args", [
    [],
    ["--start", "10.0.0.1"],
    ["--bogus"],
    ["--start"],
    ["-d", "a/b", "--print"],
    ["-d", "", "--print"],
    ["--print", "--start", "10.0.0.1"],
    ["--print", "extra"],
])
def test_usage_errors(install_dir, args):
    result = run(install_dir, *args)
    assert result.returncode == EXIT_USAGE, result.stderr
    assert result.stderr.strip()
    assert list(install_dir.iterdir()) == []


def test_device_selects_the_file(install_dir, fake_service):
    (install_dir / ".dhcp.vnic0").write_bytes(record(dead_pid()))
    (install_dir / ".dhcp.vnic7").write_bytes(record(fake_service.pid, name=b"vnic7"))
    assert run(install_dir, "-d", "vnic3", "--print").returncode == EXIT_NO_FILE
    result = run(install_dir, "--device", "vnic7", "--start", "10.9.0.1", "--end", "10.9.0.99")
    assert result.returncode == 0, result.stderr
    assert RECORD.unpack((install_dir / ".dhcp.vnic7").read_bytes())[1] == ip("10.9.0.1")
    assert (install_dir / ".dhcp.vnic0").read_bytes()[4:8] == struct.pack("=I", ip("10.37.129.1"))


def test_print_tells_the_address_plan(install_dir, fake_service):
    (install_dir / ".dhcp.vnic0").write_bytes(record(fake_service.pid))
    result = run(install_dir, "--print")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert f"{fake_service.pid} (running vlm_dhcpd)" in out
    assert "10.37.129.1 - 10.37.129.254 mask 255.255.255.0" in out
    assert "vnic0 gets 10.37.129.2" in out
    assert "10.37.129.3 - 10.37.129.254 (252 addresses)" in out
    assert fake_service.poll() is None, "--print must not signal"


# --- a running service in the sandbox -----------------------------------------

SERVICE_MAC = "00:01:23:45:be:f0"
ARP_PROBE = """
import sys
from scapy.all import ARP, Ether, srp, conf
conf.verb = 0
answered, _ = srp(Ether(dst="ff:ff:ff:ff:ff:ff") / ARP(op=1, hwsrc="02:00:00:00:00:77",
                  psrc="0.0.0.0", pdst=sys.argv[1]), iface="eth0", timeout=2, retry=2)
for _, reply in answered:
    if reply[ARP].op == 2 and reply[ARP].psrc == sys.argv[1]:
        print(reply[ARP].hwsrc)
"""

CONFIG = """[vnic0]
DHCP=1
Start interface=1
Scope start=10.37.129.1
Scope end=10.37.129.254
Scope network mask=255.255.255.0
"""


def adapter_addresses(box):
    out = box.run(["ip", "-4", "-o", "addr", "show", "dev", "vnic0"], capture_output=True,
                  text=True, check=True).stdout
    return [line.split()[3] for line in out.splitlines()]


def arp_answer(box, address):
    result = box.guest_run("g1", ["/usr/bin/python3", "-c", ARP_PROBE, address],
                           capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_renew_tool_moves_a_running_service(make_sandbox, tmp_path):
    daemon = build_dir() / "daemon" / "vlm_dhcpd"
    tool = build_dir() / "tools" / "vlm_dhcp_renew" / "vlm_dhcp_renew"
    for program in (daemon, tool):
        if not program.exists():
            pytest.fail(f"{program} is not built")
    config = tmp_path / "dhcpd.conf"
    config.write_text(CONFIG)
    box = make_sandbox(guests=["g1"])
    box.run(["mkdir", "-p", "/usr/lib/velmarind"], check=True)
    start = box.run([str(daemon), "-c", str(config), "-d", "vnic0"])
    assert start.returncode == 0
    renew_file = box.path("/usr/lib/velmarind/.dhcp.vnic0")
    assert wait_for(lambda: os.path.exists(renew_file)), box.logs()
    assert wait_for(lambda: adapter_addresses(box) == ["10.37.129.2/24"]), adapter_addresses(box)
    assert arp_answer(box, "10.37.129.1") == [SERVICE_MAC]

    result = box.run([str(tool), "-d", "vnic0", "--start", "10.50.0.1", "--end", "10.50.0.100",
                      "--mask", "255.255.0.0"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert box.wait_logs(lambda r: "Start=0xa320001 Stop=0xa320064 Mask=0xffff0000."
                         in r["message"]), box.logs()
    assert wait_for(lambda: adapter_addresses(box) == ["10.50.0.2/16"]), adapter_addresses(box)
    assert arp_answer(box, "10.50.0.1") == [SERVICE_MAC]
    assert arp_answer(box, "10.37.129.1") == []

    # A scope the service would refuse at start is stopped by the tool.
    refused = box.run([str(tool), "-d", "vnic0", "--start", "10.60.0.1", "--end", "10.60.0.10"],
                      capture_output=True, text=True)
    assert refused.returncode == 2
    assert arp_answer(box, "10.50.0.1") == [SERVICE_MAC]
