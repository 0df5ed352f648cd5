"""The real vlm_dhcpd inside a sandbox: start-up, service, host adapter,
renew file, DHCP and ARP on the wire, SIGHUP renewals and bridge failures."""
import os
import signal
import struct
import subprocess
import time

import pytest
from scapy.all import ARP, Ether, raw

from vlmsandbox.daemon import (BROADCAST_MAC, ERR, INFO, LOG_USER, RECORD, SERVICE_MAC,
                               Daemon, adapter_state, config_text, dhcp_request_frame,
                               exchange, expected_reply, from_server, guest_mac, ip2int,
                               udhcpc_lease)
from vlmsandbox.sandbox import wait_until

SERVER = "10.37.129.1"
MASK = "255.255.255.0"
STARTED = [(INFO, "Velmarind DHCP server for virtual NIC started."),
           (INFO, "Velmarind DHCP server for virtual NIC reading configuration.")]
RENEWING = (ERR, "Velmarind DHCP server for virtual NIC renewing scope.")
EXITED = (INFO, "Velmarind DHCP server for virtual NIC exited.")
NO_ADDRESS_YET = (ERR, "vlm_dhcp: Error getting current address for adapter vnic0 "
                       "(Cannot assign requested address)")
BRIDGE_GONE = (INFO, "VLM-DHCP: Successfully deleted all bridge connections and freed "
               "allocated memory.")


@pytest.fixture
def box(make_sandbox):
    return make_sandbox(guests=["g1", "g2"])


def start(box, tmp_path, **conf):
    d = Daemon(box, tmp_path, conf=config_text(**conf) if conf else None)
    assert d.start() == 0
    d.wait_serving()
    return d


# --- start-up process -------------------------------------------------------

@pytest.mark.parametrize("args,status,message", [
    (["-x"], 1, "Velmarind DHCP daemon: bad argument -x"),
    (["-c"], 1, "Velmarind DHCP daemon: config file name missing"),
    (["-d"], 1, "Velmarind DHCP daemon: device name missing"),
    (["-c", "/nonexistent"], 2, "Velmarind DHCP daemon failed to read config /nonexistent"),
    ([], 2, "Velmarind DHCP daemon failed to read config "
            "/usr/lib/velmarind/.dhcpd_configuration"),
])
def test_startup_failures_exit_status_and_log(make_sandbox, tmp_path, args, status, message):
    box = make_sandbox()
    d = Daemon(box, tmp_path, args=args)
    assert d.start(wait_service=False) == status
    assert box.wait_logs(lambda r: r["message"] == message, 5)
    records = [r for r in box.logs() if r["ident"] == "vlm_dhcpd"]
    assert [(r["facility"], r["severity"], r["message"]) for r in records] == [
        (LOG_USER, INFO, "Velmarind DHCP daemon is starting"), (LOG_USER, ERR, message)]
    assert len({r["pid"] for r in records}) == 1


def test_disabled_adapter_forks_nothing(make_sandbox, tmp_path):
    box = make_sandbox()
    d = Daemon(box, tmp_path, conf=config_text(dhcp="0"))
    assert d.start(wait_service=False) == 0
    assert box.wait_logs(lambda r: r["message"] == "Velmarind DHCP daemon is disabled for vnic0")
    d.assert_no_service()


@pytest.mark.parametrize("conf,expected_line,refusal", [
    # No address keys at all: the defaults, then a refused scope of width 0.
    (config_text(start=None, end=None, mask=None),
     "255.255.255.255-255.255.255.255(255.255.255.0)",
     "Velmarind DHCP server for virtual NIC have not enough free addresses. "
     "Need at least 20 but allocated only 0."),
    (config_text(start="10.0.0.1", end="10.0.0.18"), "10.0.0.1-10.0.0.18(255.255.255.0)",
     "Velmarind DHCP server for virtual NIC have not enough free addresses. "
     "Need at least 20 but allocated only 17."),
    (config_text(start="10.0.0.200", end="10.0.0.1"), "10.0.0.200-10.0.0.1(255.255.255.0)",
     "Velmarind DHCP server for virtual NIC have scope misconfiguration. "
     "Seems ScopeStart > ScopeEnd."),
])
def test_refused_scope_ends_service_with_status_3(make_sandbox, tmp_path, conf, expected_line,
                                                  refusal):
    box = make_sandbox()
    d = Daemon(box, tmp_path, conf=conf)
    assert d.start() == 0
    assert d.wait_exit() == 3
    assert (INFO, f"Velmarind DHCP daemon at vnic0 scope: {expected_line}") in d.startup_logs()
    assert d.service_logs() == STARTED + [(ERR, refusal),
                                          (ERR, "Velmarind DHCP daemon failed to start")]
    assert {r["ident"] for r in box.logs() if r["pid"] == d.service_pid} == {"vlm_dhcp"}
    # Nothing was created: no renew file, adapter untouched.
    assert d.renew_record() is None
    assert adapter_state(box) == ([], False)


def test_smallest_accepted_scope_serves_17_addresses(make_sandbox, tmp_path):
    box = make_sandbox(guests=["g1"])
    d = start(box, tmp_path, start="10.0.0.1", end="10.0.0.19")
    assert d.alive()
    record = RECORD.unpack(d.renew_record())
    assert record[1:4] == (ip2int("10.0.0.1"), ip2int("10.0.0.19"), ip2int(MASK))
    # Seventeen guests lease .3 to .19, in the order they ask; an eighteenth
    # is offered nothing.
    server = "10.0.0.1"
    macs = [f"02:00:00:00:01:{i:02x}" for i in range(18)]
    addresses = [f"10.0.0.{3 + i}" for i in range(17)]
    got = from_server(exchange(box, "g1", [dhcp_request_frame(mac, 0x100 + i, 1)
                                           for i, mac in enumerate(macs[:17])], 2.0))
    assert got == [expected_reply("offer", 1 + i, server, 0x100 + i, mac, address, MASK)
                   for i, (mac, address) in enumerate(zip(macs, addresses))]
    got = from_server(exchange(box, "g1", [dhcp_request_frame(
        mac, 0x200 + i, 3, [("server_id", server), ("requested_addr", address)])
        for i, (mac, address) in enumerate(zip(macs, addresses))], 2.0))
    assert got == [expected_reply("ack", 18 + i, server, 0x200 + i, mac, address, MASK)
                   for i, (mac, address) in enumerate(zip(macs, addresses))]
    assert from_server(exchange(box, "g1", [dhcp_request_frame(macs[17], 0x300, 1)], 0.5)) == []
    assert d.alive()


# --- service start --------------------------------------------------------

def test_service_start_renew_file_and_adapter(box, tmp_path):
    d = start(box, tmp_path)
    # The service is a process of its own, forked off the start-up process.
    startup_pids = {r["pid"] for r in box.logs() if r["ident"] == "vlm_dhcpd"}
    assert len(startup_pids) == 1 and d.service_pid not in startup_pids and d.alive()
    data = d.renew_record()
    assert len(data) == 40
    assert data == struct.pack("<iIIII16si", d.service_pid, ip2int(SERVER),
                               ip2int("10.37.129.254"), ip2int(MASK), 0, b"vnic0", 1)
    assert data[4:8] == bytes([1, 129, 37, 10])  # host order on x86
    assert os.stat(d.renew_path()).st_mode & 0o777 == 0o644
    assert adapter_state(box) == (["10.37.129.2/24"], True)
    # The fresh adapter had no address to read yet.
    assert d.service_logs() == STARTED + [NO_ADDRESS_YET]
    # One line from the start-up process with the scope.
    assert d.startup_logs() == [
        (INFO, "Velmarind DHCP daemon is starting"),
        (INFO, "Velmarind DHCP daemon at vnic0 scope: 10.37.129.1-10.37.129.254(255.255.255.0)")]


def test_start_interface_0_leaves_adapter_down(make_sandbox, tmp_path):
    box = make_sandbox()
    start(box, tmp_path, start_interface="0")
    assert adapter_state(box) == (["10.37.129.2/24"], False)


def test_service_is_detached(box, tmp_path):
    d = start(box, tmp_path)
    stat = open(f"/proc/{d.service_pid}/stat").read().rsplit(")", 1)[1].split()
    session = int(stat[3])
    assert session == d.service_pid  # its own session
    assert os.readlink(f"/proc/{d.service_pid}/cwd") == "/"
    status = open(f"/proc/{d.service_pid}/status").read()
    assert "Umask:\t0000" in status


# --- DHCP and ARP on the wire -----------------------------------------------

def test_dora_byte_for_byte(box, tmp_path):
    d = start(box, tmp_path)
    mac = guest_mac(box, "g1")
    got = from_server(exchange(box, "g1", [dhcp_request_frame(mac, 0x11223344, 1)], replies=1))
    assert got == [expected_reply("offer", 1, SERVER, 0x11223344, mac, "10.37.129.3", MASK)]
    got = from_server(exchange(box, "g1", [dhcp_request_frame(
        mac, 0x55667788, 3, [("server_id", SERVER), ("requested_addr", "10.37.129.3")])],
        replies=1))
    assert got == [expected_reply("ack", 2, SERVER, 0x55667788, mac, "10.37.129.3", MASK)]
    assert d.alive()


def test_nak_and_silence(box, tmp_path):
    start(box, tmp_path)
    mac1, mac2 = guest_mac(box, "g1"), guest_mac(box, "g2")
    exchange(box, "g1", [dhcp_request_frame(mac1, 1, 1)], replies=1)  # offer .3 to g1 (ip id 1)
    cases = [
        # another guest asks for g1's offered address: NAK
        ("g2", dhcp_request_frame(mac2, 2, 3, [("server_id", SERVER),
                                               ("requested_addr", "10.37.129.3")]), "nak"),
        # an address nobody was offered: NAK
        ("g1", dhcp_request_frame(mac1, 3, 3, [("server_id", SERVER),
                                               ("requested_addr", "10.37.129.77")]), "nak"),
        # no server identifier (a reboot or a renewal): NAK
        ("g1", dhcp_request_frame(mac1, 4, 3, [("requested_addr", "10.37.129.3")],
                                  ciaddr="10.37.129.3", flags=0), "nak"),
        # another server chosen: silence
        ("g1", dhcp_request_frame(mac1, 5, 3, [("server_id", "10.37.129.99"),
                                               ("requested_addr", "10.37.129.3")]), None),
        # release, decline (of an address g1 doesn't hold), inform: silence
        ("g1", dhcp_request_frame(mac1, 6, 7, [("server_id", SERVER)]), None),
        ("g1", dhcp_request_frame(mac1, 7, 4, [("requested_addr", "10.37.129.77")]), None),
        ("g1", dhcp_request_frame(mac1, 8, 8), None),
    ]
    ip_id = 2
    for guest, frame, reply in cases:
        got = from_server(exchange(box, guest, [frame], seconds=0.5))
        xid = frame["BOOTP"].xid
        mac = frame[Ether].src
        if reply is None:
            assert got == [], xid
        else:
            assert got == [expected_reply(reply, ip_id, SERVER, xid, mac, "0.0.0.0", MASK)], xid
            ip_id += 1
    # g1's offer survived all of that: its request is acknowledged.
    got = from_server(exchange(box, "g1", [dhcp_request_frame(
        mac1, 9, 3, [("server_id", SERVER), ("requested_addr", "10.37.129.3")])], replies=1))
    assert got == [expected_reply("ack", ip_id, SERVER, 9, mac1, "10.37.129.3", MASK)]


def test_arp_for_own_address_only(box, tmp_path):
    start(box, tmp_path)
    mac = guest_mac(box, "g1")
    request = Ether(src=mac, dst=BROADCAST_MAC) / ARP(op=1, hwsrc=mac, psrc="10.37.129.50",
                                                      pdst=SERVER)
    got = from_server(exchange(box, "g1", [request], replies=1), 0x0806)
    reply = raw(Ether(src=SERVICE_MAC, dst=mac) /
                ARP(op=2, hwsrc=SERVICE_MAC, psrc=SERVER, hwdst=mac, pdst="10.37.129.50"))
    assert got == [reply + b"ThisIsJustFiller.He"]
    # Other addresses of the scope, the host adapter's included, get nothing from us.
    for target in ("10.37.129.3", "10.37.129.200"):
        other = Ether(src=mac, dst=BROADCAST_MAC) / ARP(op=1, hwsrc=mac, psrc="10.37.129.50",
                                                        pdst=target)
        assert from_server(exchange(box, "g1", [other], 0.3), 0x0806) == []


def test_udhcpc_gets_a_lease_and_the_host_reaches_the_guest(box, tmp_path):
    start(box, tmp_path)
    assert udhcpc_lease(box, "g1", tmp_path) == ("10.37.129.3", "24", "10.37.129.1")
    ping = box.run(["ping", "-c", "1", "-W", "2", "10.37.129.3"], capture_output=True, text=True)
    assert ping.returncode == 0, ping.stdout


# --- SIGHUP renewals ------------------------------------------------------

def write_renew(d, start_, end, mask, name=b"vnic0", pid=0):
    d.renew_path().write_bytes(struct.pack("<iIIII16si", pid, ip2int(start_), ip2int(end),
                                           ip2int(mask), 0, name, 0))


def hup_and_wait(d, count):
    """The service's next count lines after a SIGHUP (fewer when they don't come)."""
    before = len(d.service_logs())
    d.sighup()
    deadline = time.monotonic() + 10
    while len(d.service_logs()) < before + count and time.monotonic() < deadline:
        time.sleep(0.01)
    return d.service_logs()[before:]


def wait_adapter(box, expected, timeout=10):
    """The host adapter's state once it is as expected (or as it is at the deadline):
    the service configures it after it logged the renewal."""
    deadline = time.monotonic() + timeout
    while adapter_state(box) != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return adapter_state(box)


# Stops the service at its first step after the fork, before it has handlers.
STOP_AT_OPENLOG = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <string.h>
void openlog(const char *ident, int option, int facility) {
    void (*real)(const char *, int, int) = (void (*)(const char *, int, int))dlsym(RTLD_NEXT, "openlog");
    if (ident != NULL && strcmp(ident, "vlm_dhcp") == 0)
        raise(SIGSTOP);
    real(ident, option, facility);
}
"""


def default_signals():
    for sig in (signal.SIGHUP, signal.SIGUSR1):
        signal.signal(sig, signal.SIG_DFL)


def test_signals_before_the_handlers_wait_for_them(box, tmp_path):
    """systemctl start returns right after the fork, so a reload may come
    before the service has its handlers: it must be served, not end it."""
    source = tmp_path / "stop_at_openlog.c"
    source.write_text(STOP_AT_OPENLOG)
    d = Daemon(box, tmp_path, preexec_fn=default_signals)
    # The programs on the way to the daemon are the host's; the daemon may
    # be built for 32-bit x86 (ELF class 1). The loader picks the shim of
    # each program's platform.
    compilers = {"x86_64": "gcc"}
    if d.binary.read_bytes()[4] == 1:
        compilers["i686"] = "i686-linux-gnu-gcc"
    for platform, compiler in compilers.items():
        (tmp_path / platform).mkdir()
        subprocess.run([compiler, "-shared", "-fPIC", "-o",
                        str(tmp_path / platform / "stop_at_openlog.so"), str(source), "-ldl"],
                       check=True)
    d.env = dict(os.environ, LD_PRELOAD=str(tmp_path / "$PLATFORM" / "stop_at_openlog.so"))
    assert d.start(wait_service=False) == 0

    def stopped_service():
        pids = box.processes_of(d.binary)
        return pids[0] if len(pids) == 1 and _state(pids[0]) == "T" else None
    wait_until(stopped_service, "the service to stop in its first step")
    d.service_pid = stopped_service()
    for sig in (signal.SIGHUP, signal.SIGUSR1, signal.SIGCONT):
        os.kill(d.service_pid, sig)
    d.wait_service_log(RENEWING)
    d.wait_serving()
    assert d.alive()


def _state(pid):
    try:
        return open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def test_sighup_unchanged_file_keeps_leases(box, tmp_path):
    d = start(box, tmp_path)
    mac = guest_mac(box, "g1")
    exchange(box, "g1", [dhcp_request_frame(mac, 1, 1)], replies=1)
    assert hup_and_wait(d, 1) == [RENEWING]
    # The lease survived: the same guest is offered the same address.
    got = from_server(exchange(box, "g1", [dhcp_request_frame(mac, 2, 1)], replies=1))
    assert got[0][14 + 20 + 8 + 16:14 + 20 + 8 + 20] == bytes([10, 37, 129, 3])


def test_sighup_deleted_file_keeps_scope(box, tmp_path):
    d = start(box, tmp_path)
    d.renew_path().unlink()
    assert hup_and_wait(d, 1) == [
        (ERR, "Velmarind DHCP server for virtual NIC couldn't open scope renew file.")]
    assert adapter_state(box) == (["10.37.129.2/24"], True)


def test_sighup_short_file_reads_what_is_there(box, tmp_path):
    d = start(box, tmp_path)
    d.renew_path().write_bytes(b"")
    assert hup_and_wait(d, 2) == [
        (ERR, "Velmarind DHCP server for virtual NIC couldn't read scope renew file."), RENEWING]
    # 20 bytes: the scope fields come from the file, the name stays.
    d.renew_path().write_bytes(struct.pack("<iIIII", 0, ip2int("10.9.0.1"), ip2int("10.9.0.100"),
                                           ip2int("255.255.0.0"), 0))
    assert hup_and_wait(d, 3) == [
        (ERR, "Velmarind DHCP server for virtual NIC couldn't read scope renew file."), RENEWING,
        (ERR, "     Start=0xa090001 Stop=0xa090064 Mask=0xffff0000.")]
    assert wait_adapter(box, (["10.9.0.2/16"], True)) == (["10.9.0.2/16"], True)


def test_sighup_changed_scope_applies_everywhere(box, tmp_path):
    d = start(box, tmp_path, start_interface="0")
    mac = guest_mac(box, "g1")
    exchange(box, "g1", [dhcp_request_frame(mac, 1, 1)], replies=1)
    write_renew(d, "10.50.0.1", "10.50.0.40", "255.255.0.0")
    assert hup_and_wait(d, 2) == [RENEWING,
                                  (ERR, "     Start=0xa320001 Stop=0xa320028 Mask=0xffff0000.")]
    # The adapter is brought up although Start interface was 0.
    assert wait_adapter(box, (["10.50.0.2/16"], True)) == (["10.50.0.2/16"], True)
    # Leases were forgotten: the guest gets the new pool's first address
    # from the new server address.
    got = from_server(exchange(box, "g1", [dhcp_request_frame(mac, 2, 1)], replies=1))
    assert len(got) == 1
    assert got[0][14 + 12:14 + 16] == bytes([10, 50, 0, 1])
    assert got[0][14 + 20 + 8 + 16:14 + 20 + 8 + 20] == bytes([10, 50, 0, 3])
    # ARP: the new own address answers, the old one doesn't.
    for target, answered in (("10.50.0.1", True), (SERVER, False)):
        req = Ether(src=mac, dst=BROADCAST_MAC) / ARP(op=1, hwsrc=mac, psrc="10.50.0.9",
                                                      pdst=target)
        assert bool(from_server(exchange(box, "g1", [req], 0.3), 0x0806)) == answered
    # A renewal doesn't rewrite the file, and the file names the new scope.
    assert RECORD.unpack(d.renew_record())[1] == ip2int("10.50.0.1")


def test_sighup_served_while_no_frame_arrives(box, tmp_path):
    d = start(box, tmp_path)
    write_renew(d, "10.60.0.1", "10.60.0.100", MASK)
    sent = time.time()
    d.sighup()
    record = box.wait_logs(lambda r: r["message"].startswith("     Start=0xa3c0001"), 2)
    assert record is not None
    assert record["time"] - sent < 1.0


def test_renewal_name_without_nul_is_bounded(box, tmp_path):
    d = start(box, tmp_path)
    write_renew(d, "10.61.0.1", "10.61.0.100", MASK, name=b"ABCDEFGHIJKLMNOP")
    logs = hup_and_wait(d, 4)
    assert any("ABCDEFGHIJKLMNOP (" in m for _, m in logs), logs
    assert d.alive()


# --- one service per adapter ------------------------------------------------

SECOND_REFUSED = (ERR, "Velmarind DHCP daemon: vnic0 is already served by a running service; "
                       "not starting another")


def test_second_start_up_for_the_same_adapter_refuses(box, tmp_path):
    first = start(box, tmp_path)
    record = first.renew_record()
    adapter = adapter_state(box)
    second = Daemon(box, tmp_path)
    assert second.start(wait_service=False) == 3
    assert box.wait_logs(lambda r: r["ident"] == "vlm_dhcpd"
                         and (r["severity"], r["message"]) == SECOND_REFUSED, 5), box.logs()
    # Nothing was forked, and the running service keeps its record, adapter
    # and bridge port, and serves.
    assert box.processes_of(second.binary) == [first.service_pid]
    assert {r["pid"] for r in box.logs_before_marker() if r["ident"] == "vlm_dhcp"} == {
        first.service_pid}
    assert first.renew_record() == record
    assert adapter_state(box) == adapter
    assert first.reading_bridge()
    assert udhcpc_lease(box, "g1", tmp_path) == ("10.37.129.3", "24", SERVER)


# --- bridge failures --------------------------------------------------------

def test_bridge_absent(make_sandbox, tmp_path):
    box = make_sandbox(bridge=False)
    d = Daemon(box, tmp_path)
    assert d.start() == 0
    assert d.wait_exit() == 0
    d.wait_service_log(BRIDGE_GONE)
    assert d.service_logs() == STARTED + [
        NO_ADDRESS_YET, (ERR, "VLM-DHCP: Couldn't open virtual bridge."), EXITED, BRIDGE_GONE]
    assert d.renew_record() is None  # removed at shutdown
    # The bridge port's last line goes out after the service closed its log,
    # under the C library's default identity.
    last = [r for r in box.logs() if r["pid"] == d.service_pid][-1]
    assert last["ident"] != "vlm_dhcp"


def test_bridge_refuses_attach(make_sandbox, tmp_path):
    box = make_sandbox(ports=0)
    d = Daemon(box, tmp_path)
    assert d.start() == 0
    assert d.wait_exit() == 0
    d.wait_service_log(BRIDGE_GONE)
    assert d.service_logs() == STARTED + [
        NO_ADDRESS_YET, (ERR, "VLM-DHCP: Couldn't find free port at virtual bridge."), EXITED,
        BRIDGE_GONE]


def test_bridge_killed_while_serving(box, tmp_path):
    d = start(box, tmp_path)
    box.kill_bridge()
    assert d.wait_exit() == 0
    d.wait_service_log(BRIDGE_GONE)
    assert d.service_logs()[-2:] == [EXITED, BRIDGE_GONE]
    assert d.renew_record() is None
