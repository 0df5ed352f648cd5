"""A running service takes a new scope from vlm_dhcp_renew: its new own
address answers ARP on the bridge and the host adapter gets start + 1."""
import os
import subprocess
import time

import pytest

from sandbox import build_dir

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
