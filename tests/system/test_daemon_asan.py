"""The real daemon built with AddressSanitizer, UndefinedBehaviorSanitizer and
the leak checker serves guests in the sandbox; when the bridge goes away the
service ends normally, and the sanitizers have nothing to report."""
import glob
import os
import signal

import pytest
from scapy.all import ARP, Ether

from vlmsandbox.daemon import (BROADCAST_MAC, Daemon, config_text, daemon_binary,
                               dhcp_request_frame, exchange, from_server, guest_mac)

SERVER = "10.37.129.1"


def sanitizer_binary():
    if not os.environ.get("VLM_ASAN_BUILD"):
        pytest.skip("VLM_ASAN_BUILD names no sanitizer build")
    path = daemon_binary(asan=True)
    if not path.exists():
        pytest.fail(f"{path} is missing: build vlm_dhcpd in $VLM_ASAN_BUILD")
    return path


def test_sanitized_daemon_serves_and_exits_clean(make_sandbox, tmp_path):
    binary = sanitizer_binary()
    logs = tmp_path / "sanitizer"
    options = f"log_path={logs}:detect_leaks=1:abort_on_error=0"
    env = dict(os.environ, ASAN_OPTIONS=options, LSAN_OPTIONS=f"log_path={logs}",
               UBSAN_OPTIONS=f"log_path={logs}:print_stacktrace=1")
    box = make_sandbox(guests=["g1", "g2"])
    # The reports would land where this test looks: a short run asked for
    # the sanitizer's exit statistics writes them there.
    probe = tmp_path / "probe"
    box.run([str(binary), "-x"],
            env=dict(os.environ, ASAN_OPTIONS=f"log_path={probe}:atexit=1:print_stats=1"),
            capture_output=True, timeout=30)
    assert any(os.path.getsize(p) > 0 for p in glob.glob(f"{probe}*"))

    d = Daemon(box, tmp_path, conf=config_text(), binary=binary, env=env)
    assert d.start() == 0
    d.wait_serving()

    mac1, mac2 = guest_mac(box, "g1"), guest_mac(box, "g2")
    # A whole exchange, a refusal, silence, ARP and some junk.
    got = from_server(exchange(box, "g1", [dhcp_request_frame(mac1, 1, 1)], replies=1))
    assert len(got) == 1 and got[0][42 + 242] == 2
    got = from_server(exchange(box, "g1", [dhcp_request_frame(
        mac1, 2, 3, [("server_id", SERVER), ("requested_addr", "10.37.129.3")])], replies=1))
    assert len(got) == 1 and got[0][42 + 242] == 5
    got = from_server(exchange(box, "g2", [dhcp_request_frame(
        mac2, 3, 3, [("requested_addr", "10.37.129.3")])], replies=1))
    assert len(got) == 1 and got[0][42 + 242] == 6
    arp = Ether(src=mac2, dst=BROADCAST_MAC) / ARP(op=1, hwsrc=mac2, psrc="0.0.0.0", pdst=SERVER)
    junk = [bytes(14), bytes(300), bytes(Ether(src=mac2, dst=BROADCAST_MAC)) + bytes(1500)]
    got = from_server(exchange(box, "g2", [arp] + junk, replies=1), 0x0806)
    assert len(got) == 1
    # A renewal with the file as the service wrote it: read, compared, kept.
    d.sighup()
    assert box.wait_logs(lambda r: r["pid"] == d.service_pid
                         and "renewing scope" in r["message"], 5)
    got = from_server(exchange(box, "g2", [dhcp_request_frame(mac2, 4, 1)], replies=1))
    assert len(got) == 1 and got[0][42 + 242] == 2

    assert d.alive()
    box.kill_bridge(signal.SIGTERM)
    assert d.wait_exit(timeout=30) == 0

    reports = {path: open(path, errors="replace").read()
               for path in glob.glob(f"{logs}*")}
    assert {p: text for p, text in reports.items() if text.strip()} == {}
