"""dhcpload against the daemon, a peer server and a real client, all inside a sandbox.

dhcpload attaches either as a port of the stand-in bridge (as the daemon does)
or with a raw socket on a guest's interface. Its frames are also handed to
tshark's dissector, which knows nothing of our code.
"""
import ipaddress
import json
import signal
import subprocess

import pytest

from conftest import built_program
from vlmsandbox.sandbox import sleeping_in_read, wait_until

SCOPE = "[vnic0]\nDHCP=1\nStart interface=1\nScope start=10.1.0.1\n" \
        "Scope end=10.1.255.254\nScope network mask=255.255.0.0\n"
CLEAN_FRAME_COUNTERS = ("truncated", "bad_checksum", "malformed", "send_errors",
                        "bad_replies", "ack_mismatches", "duplicate_offers", "duplicate_acks")


@pytest.fixture(scope="module")
def dhcpload():
    return built_program("tools/dhcpload/dhcpload")


@pytest.fixture(scope="module")
def daemon():
    return built_program("daemon/vlm_dhcpd")


CENSUS_END = "Velmarind DHCP server for virtual NIC found "


def start_daemon(box, daemon):
    config = box.workdir / "dhcpd.conf"
    config.write_text(SCOPE)
    # The start-up process forks the service and returns; the service keeps
    # no descriptor of ours open.
    started = box.run([str(daemon), "-c", str(config), "-d", "vnic0"],
                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
    assert started.returncode == 0
    started = box.wait_logs(lambda r: "started" in r["message"] and r["ident"] == "vlm_dhcp")
    assert started
    # The service attaches to the bridge after it logs its start.
    wait_until(lambda: sleeping_in_read(started["pid"], "vm-bridge"),
               "the service to read the bridge")
    # New guests are answered once the service has learned who holds its
    # pool; until then it keeps only a few of their DISCOVERs.
    assert box.wait_logs(lambda r: r["pid"] == started["pid"] and
                         r["message"].startswith(CENSUS_END), 30)


def run_load(box, dhcpload, args, guest=None, expect_status=0):
    cmd = [str(dhcpload), "--json", "--timeout-ms", "500", "--retries", "2"] + list(args)
    result = (box.guest_run(guest, cmd, capture_output=True, text=True, timeout=120) if guest
              else box.run(cmd, capture_output=True, text=True, timeout=120))
    assert result.returncode == expect_status, result.stdout + result.stderr
    return json.loads(result.stdout)


def assert_clean(report, exchanges):
    assert report["started"] == exchanges
    assert report["completed"] == exchanges, report
    assert report["offers"] == exchanges and report["acks"] == exchanges
    for name in CLEAN_FRAME_COUNTERS:
        assert report[name] == 0, (name, report)
    assert report["latency_us"]["offer"]["count"] + report["retransmits"] >= exchanges
    assert 0 < report["latency_us"]["ack"]["min"] <= report["latency_us"]["ack"]["median"] \
        <= report["latency_us"]["ack"]["p99"] <= report["latency_us"]["ack"]["max"]


def test_daemon_answers_every_guest_and_again_on_a_second_round(make_sandbox, dhcpload, daemon):
    box = make_sandbox()
    start_daemon(box, daemon)
    report = run_load(box, dhcpload, ["--guests", "3000", "--exchanges", "6000",
                                      "--window", "32"])
    assert_clean(report, 6000)
    assert report["naks"] == 0, "a known guest is offered its own address again"
    assert report["exchanges_per_s"] > 0 and report["drops_pct"] == 0.0


def test_dnsmasq_over_bridge_port_and_raw_socket(make_sandbox, dhcpload, tmp_path):
    box = make_sandbox(guests=["g1"])
    box.run(["ip", "addr", "add", "10.1.0.1/16", "dev", "vnic0"], check=True)
    box.run(["ip", "link", "set", "vnic0", "up"], check=True)
    box.guest_run("g1", ["ip", "link", "set", "eth0", "up"], check=True)
    server = box.popen(["dnsmasq", "--keep-in-foreground", "--port=0", "--interface=vnic0",
                        "--bind-interfaces", "--dhcp-range=10.1.0.10,10.1.255.250,255.255.0.0,1h",
                        "--no-ping", "--leasefile-ro", "--dhcp-lease-max=70000", "--no-resolv",
                        "--no-hosts", "--dhcp-authoritative", "--quiet-dhcp",
                        f"--pid-file={tmp_path / 'dnsmasq.pid'}", "--log-facility=-"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: box.run(["ss", "-Hlun", "sport = :67"], capture_output=True,
                                   text=True).stdout.strip() != "",
                   "dnsmasq to listen on the DHCP port")
        # Without the broadcast flag the replies are unicast to the guests'
        # hardware addresses: the raw socket must take those too.
        bridge = run_load(box, dhcpload, ["--guests", "300", "--window", "1", "--mac-seed", "1"])
        assert_clean(bridge, 300)
        raw = run_load(box, dhcpload, ["--interface", "eth0", "--guests", "300", "--window", "1",
                                       "--mac-seed", "2", "--broadcast"], guest="g1")
        assert_clean(raw, 300)
        assert raw["link"] == "interface eth0"
    finally:
        server.terminate()
        server.wait(timeout=10)


def test_responder_gives_a_real_client_its_address(make_sandbox, dhcpload):
    box = make_sandbox(guests=["g1"])
    box.guest_run("g1", ["ip", "link", "set", "eth0", "up"], check=True)
    mac = box.guest_run("g1", ["cat", "/sys/class/net/eth0/address"], capture_output=True,
                        text=True, check=True).stdout.strip()
    responder = box.popen([str(dhcpload), "--respond", "--json", "--server-ip", "10.1.0.1",
                           "--pool-base", "10.2.0.0"], stdout=subprocess.PIPE, text=True)
    script = box.workdir / "udhcpc.sh"
    lease = box.workdir / "lease"
    script.write_text(f'#!/bin/sh\n[ "$1" = bound ] && echo "$ip $subnet $serverid" > {lease}\n'
                      "exit 0\n")
    script.chmod(0o755)
    try:
        client = box.guest_run("g1", ["busybox", "udhcpc", "-f", "-q", "-n", "-i", "eth0",
                                      "-t", "3", "-T", "1", "-s", str(script)],
                               capture_output=True, text=True, timeout=30)
        assert client.returncode == 0, client.stdout + client.stderr
    finally:
        responder.send_signal(signal.SIGTERM)
        out, _ = responder.communicate(timeout=10)
    # The responder gives guest ..:a:b:c the address pool base + a.b.c.
    a, b, c = (int(part, 16) for part in mac.split(":")[3:])
    expected = str(ipaddress.IPv4Address("10.2.0.0") + (a << 16 | b << 8 | c))
    assert lease.read_text().split() == [expected, "255.255.0.0", "10.1.0.1"]
    counts = json.loads(out)
    assert counts["offers"] >= 1 and counts["acks"] >= 1 and counts["send_errors"] == 0


def test_tshark_reads_the_exchange_as_dhcp(make_sandbox, dhcpload, daemon):
    box = make_sandbox(pcap=True)
    start_daemon(box, daemon)
    report = run_load(box, dhcpload, ["--guests", "20", "--window", "4", "--mac-seed", "7"])
    assert_clean(report, 20)

    def guest_rows():
        fields = subprocess.run(
            ["tshark", "-r", str(box.pcap_path), "-Y", "dhcp && eth.src[0:2] == 02:07",
             "-T", "fields", "-E", "separator=,", "-e", "dhcp.option.dhcp",
             "-e", "dhcp.option.requested_ip_address", "-e", "dhcp.option.dhcp_server_id",
             "-e", "udp.checksum.status", "-e", "ip.checksum.status",
             "-o", "udp.check_checksum:TRUE", "-o", "ip.check_checksum:TRUE"],
            capture_output=True, text=True, check=True).stdout.split()
        return [line.split(",") for line in fields]
    # The bridge writes its capture as frames pass; the last ones may still be
    # on their way to the file when the load tool is done.
    rows = []

    def all_captured():
        nonlocal rows
        rows = guest_rows()
        return len(rows) >= 40
    wait_until(all_captured, "the guests' 40 frames in the capture", timeout=10)
    discovers = [r for r in rows if r[0] == "1"]
    requests = [r for r in rows if r[0] == "3"]
    assert len(discovers) == 20 and len(requests) == 20
    for kind, requested, server, udp_ok, ip_ok in discovers + requests:
        assert (udp_ok, ip_ok) == ("1", "1"), "both checksums verify (1 = good)"
    for kind, requested, server, _, _ in requests:
        assert server == "10.1.0.1" and requested.startswith("10.1.")
    malformed = subprocess.run(["tshark", "-r", str(box.pcap_path), "-Y", "_ws.malformed"],
                               capture_output=True, text=True, check=True).stdout
    assert malformed == ""
