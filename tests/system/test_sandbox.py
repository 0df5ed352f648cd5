"""The sandbox: what it offers inside, and that it leaves nothing outside."""
import errno
import fcntl
import os
import signal
import stat
import subprocess
import time

import pytest

from vlmsandbox.sandbox import (SCRIPT, alive_in_namespaces, build_dir, host_has_interface,
                                host_has_netns, host_snapshot, namespaces_of)

ATTACH = 0x40166E10


def unique_names():
    """Adapter and guest names no other work on the machine uses."""
    tag = f"{os.getpid() % 10000:04d}{int(time.monotonic() * 1000) % 1000:03d}"
    return f"vs{tag}", f"vg{tag}"


def assert_no_trace(before, namespaces, device, guest, timeout=5.0):
    """Waits for the host to look as before; then checks every kind of trace."""
    deadline = time.monotonic() + timeout
    while True:
        now = host_snapshot()
        alive = alive_in_namespaces(namespaces)
        clean = (now == before and not alive and not host_has_interface(device)
                 and not host_has_netns(guest))
        if clean or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert now == before
    assert alive == []
    assert not host_has_interface(device) and not host_has_interface("g-" + guest)
    assert not host_has_netns(guest)


def script(*args, **kw):
    env = dict(os.environ, VLM_BUILD=str(build_dir()))
    return subprocess.run([str(SCRIPT), *args], env=env, capture_output=True, text=True,
                          timeout=60, **kw)


@pytest.mark.parametrize("command, status", [
    (["true"], 0),
    (["sh", "-c", "mkdir -p /usr/lib/velmarind/x && touch /dev/extra && exit 3"], 3),
    (["sh", "-c", "kill -9 $$"], 128 + 9),
    (["sh", "-c", "sleep 100 & setsid sleep 100 & exit 1"], 1),  # leaves processes inside
])
def test_command_status_and_no_trace(vmbridge, tmp_path, command, status):
    device, guest = unique_names()
    before = host_snapshot()
    # the command first notes the sandbox's namespaces, to look for survivors later
    ids = tmp_path / "namespaces"
    note = f'readlink /proc/self/ns/mnt /proc/self/ns/net /proc/self/ns/pid > {ids}; exec "$@"'
    result = script("--device", device, "--guest", guest, "--", "sh", "-c", note, "sh", *command)
    assert result.returncode == status, result.stderr
    namespaces = dict(zip(("mnt", "net", "pid"), ids.read_text().split()))
    assert namespaces["mnt"] != os.readlink("/proc/self/ns/mnt")
    assert_no_trace(before, namespaces, device, guest)


@pytest.mark.parametrize("how", ["SIGTERM to the sandbox", "SIGKILL to the sandbox"])
def test_killed_sandbox_leaves_no_trace(vmbridge, how):
    device, guest = unique_names()
    before = host_snapshot()
    env = dict(os.environ, VLM_BUILD=str(build_dir()))
    process = subprocess.Popen([str(SCRIPT), "--device", device, "--guest", guest, "--hold"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = process.stdout.readline().decode()
    assert line.startswith("ready ")
    inner = int(line.split()[1])
    namespaces = namespaces_of(inner)
    assert len(alive_in_namespaces(namespaces)) >= 3  # shell, receiver, bridge at least
    if how.startswith("SIGTERM"):
        os.kill(inner, signal.SIGTERM)
    else:
        process.kill()
    process.wait(timeout=15)
    process.stdout.close()
    assert_no_trace(before, namespaces, device, guest)


def test_inside_there_is_a_device_an_install_dir_and_a_log(make_sandbox):
    box = make_sandbox(guests=["g1", "g2"])
    st = os.stat(box.path("/dev/vm-bridge"))
    assert stat.S_ISREG(st.st_mode)
    assert not os.path.exists("/dev/vm-bridge")
    box.run(["sh", "-c", "echo x > /usr/lib/velmarind/probe"], check=True)
    assert not os.path.exists("/usr/lib/velmarind/probe")
    links = box.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    assert ": vnic0:" in links and "state DOWN" in links.split(": vnic0:")[1].splitlines()[0]
    addresses = box.run(["ip", "-o", "-4", "addr", "show", "vnic0"], capture_output=True,
                        text=True).stdout
    assert addresses == ""  # the daemon gives the adapter its address
    for g in ("g1", "g2"):
        up = box.guest_run(g, ["ip", "-o", "link", "show", "eth0"], capture_output=True,
                           text=True).stdout
        assert "UP" in up
    names = [line.split()[0] for line in
             box.run(["ip", "netns"], capture_output=True, text=True).stdout.splitlines()]
    assert sorted(names) == ["g1", "g2"]  # the host's names do not show through


def test_syslog_records_keep_facility_severity_ident_and_pid(make_sandbox):
    box = make_sandbox()
    sender = box.popen(["/usr/bin/python3", "-c",
                        "import syslog\n"
                        "syslog.openlog('vlm_dhcp', syslog.LOG_PID, syslog.LOG_USER)\n"
                        "syslog.syslog(syslog.LOG_ERR, 'VLM-DHCP: error line')\n"
                        "syslog.syslog(syslog.LOG_INFO, 'progress: 100% done')\n"
                        "syslog.openlog('other', 0, syslog.LOG_DAEMON)\n"
                        "syslog.syslog(syslog.LOG_WARNING, 'no pid here')\n"])
    assert sender.wait(timeout=10) == 0
    assert box.wait_logs(lambda r: r["message"] == "no pid here")
    records = [{k: r[k] for k in ("facility", "severity", "ident", "pid", "message")}
               for r in box.logs()]
    assert records == [
        {"facility": 1, "severity": 3, "ident": "vlm_dhcp", "pid": sender.pid,
         "message": "VLM-DHCP: error line"},
        {"facility": 1, "severity": 6, "ident": "vlm_dhcp", "pid": sender.pid,
         "message": "progress: 100% done"},
        {"facility": 3, "severity": 4, "ident": "other", "pid": None,
         "message": "no pid here"},
    ]


def test_without_bridge_the_device_is_missing_but_the_adapter_exists(make_sandbox):
    box = make_sandbox(bridge=False)
    assert not os.path.exists(box.path("/dev/vm-bridge"))
    assert box.run(["ip", "link", "show", "vnic0"], capture_output=True).returncode == 0
    assert box.bridge_pid() is None


def test_a_bridge_without_ports_refuses_every_attach(make_sandbox):
    box = make_sandbox(ports=0)
    fd = os.open(box.path("/dev/vm-bridge"), os.O_RDWR)
    try:
        with pytest.raises(OSError) as refused:
            fcntl.ioctl(fd, ATTACH, b"vnic0".ljust(16, b"\0") + b"\x00\x01\x23\x45\xbe\xf0")
        assert refused.value.errno == errno.ENOSPC
    finally:
        os.close(fd)


UDHCPC_SCRIPT = """#!/bin/sh
# udhcpc calls this with the event; on a lease, keep what the server gave.
case "$1" in
  bound|renew) echo "$ip $subnet $serverid $lease" > "$LEASE_OUT" ;;
esac
exit 0
"""


def test_stock_dhcp_server_leases_to_a_guest_through_the_bridge(make_sandbox, tmp_path):
    box = make_sandbox(guests=["g1"], pcap=True)
    box.run(["ip", "addr", "add", "192.168.77.1/24", "dev", "vnic0"], check=True)
    box.run(["ip", "link", "set", "vnic0", "up"], check=True)
    leases = tmp_path / "dnsmasq.leases"
    dnsmasq = box.popen(["dnsmasq", "--no-daemon", "--port=0", "--conf-file=/dev/null",
                         "--interface=vnic0", "--bind-interfaces", "--user=root",
                         "--dhcp-range=192.168.77.50,192.168.77.60,255.255.255.0,1h",
                         f"--dhcp-leasefile={leases}", "--pid-file="],
                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    hook = tmp_path / "udhcpc.sh"
    hook.write_text(UDHCPC_SCRIPT)
    hook.chmod(0o755)
    out = tmp_path / "lease.txt"
    guest_mac = box.guest_run("g1", ["cat", "/sys/class/net/eth0/address"],
                              capture_output=True, text=True).stdout.strip()
    client = box.guest_run("g1", ["env", f"LEASE_OUT={out}", "busybox", "udhcpc", "-i", "eth0",
                                  "-f", "-q", "-n", "-t", "5", "-T", "2", "-s", str(hook)],
                           capture_output=True, text=True, timeout=60)
    dnsmasq.terminate()
    _, dnsmasq_err = dnsmasq.communicate(timeout=10)
    assert client.returncode == 0, client.stderr + dnsmasq_err.decode()
    ip, subnet, server, lease = out.read_text().split()
    assert 50 <= int(ip.split(".")[-1]) <= 60 and ip.startswith("192.168.77.")
    assert (subnet, server, lease) == ("255.255.255.0", "192.168.77.1", "3600")
    assert guest_mac in leases.read_text() and ip in leases.read_text()
    # the exchange crossed the switch: tshark's DHCP dissector sees all four messages
    kinds = subprocess.run(["tshark", "-r", str(box.pcap_path), "-Y", "dhcp", "-T", "fields",
                            "-e", "dhcp.option.dhcp"], capture_output=True, text=True,
                           check=True).stdout.split()
    # (a client may repeat a message while the server takes its time)
    assert list(dict.fromkeys(kinds)) == ["1", "2", "3", "5"]
