"""A pool that outlives its guests: guests that come and go on the smallest
scope are all served, and a flood of DISCOVERs from made-up hardware
addresses ends with the flood; on both bridges."""
import json
import pathlib
import random
import subprocess
import time

import pytest

from test_kbridge import _missing_kernel_support
from vlmsandbox.daemon import SERVICE_MAC, Daemon, config_text, dhcp_request_frame, udhcpc_lease

GUESTS = ["g1", "g2", "g3"]
FLOOD = pathlib.Path(__file__).with_name("flood.py")


@pytest.fixture(params=["fuse", "kernel"])
def box(request, make_sandbox):
    if request.param == "fuse":
        return make_sandbox(guests=GUESTS)
    reason = _missing_kernel_support()
    if reason is not None:
        pytest.skip(reason)
    return make_sandbox(kind="kernel", kbridge=request.getfixturevalue("kbridge"), guests=GUESTS)


def start(box, tmp_path, **conf):
    d = Daemon(box, tmp_path, conf=config_text(**conf))
    assert d.start() == 0
    d.wait_serving()
    return d


def new_guest(box, guest, n):
    """The guest's namespace becomes a new VM: a new hardware address, no
    address of the VM before it (which so no longer answers ARP)."""
    box.guest_run(guest, ["ip", "addr", "flush", "dev", "eth0"], check=True)
    box.guest_run(guest, ["ip", "link", "set", "eth0", "down"], check=True)
    box.guest_run(guest, ["ip", "link", "set", "eth0", "address", f"02:00:00:00:23:{n:02x}"],
                  check=True)
    box.guest_run(guest, ["ip", "link", "set", "eth0", "up"], check=True)


def test_guests_that_come_and_go_are_all_served(box, tmp_path):
    # 17 addresses; three VMs live at a time, 40 in all.
    start(box, tmp_path, start="10.0.0.1", end="10.0.0.19")
    live = {}
    for n in range(40):
        guest = GUESTS[n % len(GUESTS)]
        live.pop(guest, None)
        new_guest(box, guest, n)
        address = udhcpc_lease(box, guest, tmp_path)[0]
        assert address not in live.values(), (n, address, live)
        live[guest] = address


def test_a_flood_ends_with_the_flood(box, tmp_path):
    start(box, tmp_path)
    known = udhcpc_lease(box, "g1", tmp_path)[0]
    rng = random.Random(23)
    frames = [bytes(dhcp_request_frame(
        "02:" + ":".join(f"{rng.randrange(256):02x}" for _ in range(5)), n, 1)).hex()
        for n in range(5000)]
    # 2,000 a second: a rate the service outruns on a busy machine too, so
    # that what a known guest sees is the service's doing, not lost frames.
    flood = box.guest_popen("g2", ["/usr/bin/python3", str(FLOOD), "eth0", "5000", "2000",
                                   SERVICE_MAC],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    flood.stdin.write("\n".join(frames) + "\n\n")
    flood.stdin.flush()
    assert flood.stdout.readline().strip() == "flooding"
    # A known guest is served while the flood goes on.
    assert udhcpc_lease(box, "g1", tmp_path)[0] == known
    flood.stdin.write("stop\n")
    flood.stdin.flush()
    report = flood.stdout.readline()
    assert flood.wait(timeout=120) == 0

    report = json.loads(report)
    assert report["sent"] >= 5000
    # The service's ARP stays within its pace (50 a second), whatever came.
    assert report["most_per_second"] <= 55, report
    # A new guest with the client's own retries: three DISCOVERs 3 s apart.
    began = time.monotonic()
    assert udhcpc_lease(box, "g3", tmp_path, retries=())[0] not in ("", known)
    assert time.monotonic() - began <= 30
