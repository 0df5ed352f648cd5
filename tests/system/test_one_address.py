"""One address, one guest across the service's life: guests that hold
addresses after a restart or a scope change, a station configured by hand,
a DECLINE, and a scope that crosses its subnet; on both bridges."""
import os
import signal
import struct
import subprocess

import pytest

from test_kbridge import _missing_kernel_support
from vlmsandbox.daemon import (ERR, Daemon, config_text, dhcp_request_frame, exchange,
                               from_server, guest_mac, ip2int, udhcpc_lease)
from vlmsandbox.sandbox import wait_until

SERVER = "10.37.129.1"
RENEWING = (ERR, "Velmarind DHCP server for virtual NIC renewing scope.")


@pytest.fixture(params=["fuse", "kernel"])
def box(request, make_sandbox):
    guests = ["g1", "g2", "g3"]
    if request.param == "fuse":
        return make_sandbox(guests=guests)
    reason = _missing_kernel_support()
    if reason is not None:
        pytest.skip(reason)
    return make_sandbox(kind="kernel", kbridge=request.getfixturevalue("kbridge"),
                        guests=guests)


def start(box, tmp_path, **conf):
    d = Daemon(box, tmp_path, conf=config_text(**conf) if conf else None)
    assert d.start() == 0
    d.wait_serving()
    return d


def yiaddr(frame):
    return ".".join(str(b) for b in frame[14 + 20 + 8 + 16:14 + 20 + 8 + 20])


def offers(box, guest, macs, replies=None):
    """The addresses offered to DISCOVERs from macs, sent in turn from guest,
    once that many replies came (one for each unless told)."""
    frames = [dhcp_request_frame(mac, 0x100 + n, 1) for n, mac in enumerate(macs)]
    got = exchange(box, guest, frames, replies=len(macs) if replies is None else replies)
    return [yiaddr(f) for f in from_server(got)]


def test_guests_keep_their_addresses_across_a_restart(box, tmp_path):
    d = start(box, tmp_path)
    assert udhcpc_lease(box, "g1", tmp_path)[0] == "10.37.129.3"
    os.kill(d.service_pid, signal.SIGTERM)
    assert d.wait_exit() == -signal.SIGTERM
    start(box, tmp_path)
    # A new guest after the restart: not g1's address, which g1 still holds.
    assert udhcpc_lease(box, "g3", tmp_path)[0] == "10.37.129.4"
    # g1 asks again, as after its renewal was refused: it keeps its address.
    assert udhcpc_lease(box, "g1", tmp_path)[0] == "10.37.129.3"


def test_a_station_configured_by_hand_keeps_its_address(box, tmp_path):
    box.guest_run("g2", ["ip", "addr", "add", "10.37.129.3/24", "dev", "eth0"], check=True)
    start(box, tmp_path)
    assert udhcpc_lease(box, "g1", tmp_path)[0] == "10.37.129.4"
    # When the station asks itself, it is offered the address it uses.
    assert offers(box, "g2", [guest_mac(box, "g2")]) == ["10.37.129.3"]


def test_an_overlapping_renewal_keeps_held_addresses(box, tmp_path):
    d = start(box, tmp_path)
    assert udhcpc_lease(box, "g1", tmp_path)[0] == "10.37.129.3"
    # A new end: the table is emptied, g1 still holds .3.
    d.renew_path().write_bytes(struct.pack("<iIIII16si", 0, ip2int(SERVER),
                                           ip2int("10.37.129.100"), ip2int("255.255.255.0"),
                                           0, b"vnic0", 0))
    d.sighup()
    d.wait_service_log((ERR, "     Start=0xa258101 Stop=0xa258164 Mask=0xffffff00."))
    assert udhcpc_lease(box, "g2", tmp_path)[0] == "10.37.129.4"
    assert udhcpc_lease(box, "g1", tmp_path)[0] == "10.37.129.3"


def test_a_declined_address_is_not_offered_again(box, tmp_path):
    start(box, tmp_path)
    mac = guest_mac(box, "g1")
    server = [("server_id", SERVER)]
    assert offers(box, "g1", [mac]) == ["10.37.129.3"]
    got = from_server(exchange(box, "g1", [
        dhcp_request_frame(mac, 2, 3, server + [("requested_addr", "10.37.129.3")])], replies=1))
    assert [(f[14 + 20 + 8 + 240 + 2], yiaddr(f)) for f in got] == [(5, "10.37.129.3")]
    # The guest found the address in use. A DECLINE gets no reply; the
    # guest's next DISCOVER (answered after it) is offered another address,
    # and so is a new guest.
    got = from_server(exchange(box, "g1", [
        dhcp_request_frame(mac, 3, 4, server + [("requested_addr", "10.37.129.3")]),
        dhcp_request_frame(mac, 4, 1)], replies=1))
    assert [(f[14 + 20 + 8 + 240 + 2], yiaddr(f)) for f in got] == [(2, "10.37.129.4")]
    assert offers(box, "g2", [guest_mac(box, "g2")]) == ["10.37.129.5"]


def test_a_scope_across_its_subnet_is_refused_at_start(box, tmp_path):
    d = Daemon(box, tmp_path, conf=config_text(start="192.168.50.200", end="192.168.51.20"))
    assert d.start() == 0
    assert d.wait_exit() == 3
    d.wait_service_log((ERR, "Velmarind DHCP server for virtual NIC have scope "
                             "misconfiguration. Seems ScopeEnd 0xc0a83314 lies outside the "
                             "subnet of ScopeStart 0xc0a832c8 under mask 0xffffff00."))
    assert d.renew_record() is None


def test_a_renewal_across_its_subnet_offers_only_its_host_addresses(box, tmp_path):
    d = start(box, tmp_path)
    d.renew_path().write_bytes(struct.pack("<iIIII16si", 0, ip2int("192.168.50.250"),
                                           ip2int("192.168.51.20"), ip2int("255.255.255.0"),
                                           0, b"vnic0", 0))
    d.sighup()
    d.wait_service_log((ERR, "     Start=0xc0a832fa Stop=0xc0a83314 Mask=0xffffff00."))
    # Only the three host addresses are asked for; new guests are answered
    # once the census is over.
    d.wait_service_log((6, "Velmarind DHCP server for virtual NIC found 0 of 3 pool addresses "
                           "in use."))
    macs = [f"02:00:00:00:01:{n:02x}" for n in range(4)]
    # Four new guests, then the first again: the fourth is offered nothing
    # (no .255, no 192.168.51.x), which the repeat's answer after it shows.
    assert offers(box, "g1", macs + macs[:1], replies=4) == [
        "192.168.50.252", "192.168.50.253", "192.168.50.254", "192.168.50.252"]


def test_guests_keep_their_addresses_across_a_bridge_loss(make_sandbox, kbridge, tmp_path):
    """The unit's way after a bridge loss: the service ends, the bridge comes
    back (here a new supervisor of the kernel path's bridge), the service is
    started again."""
    reason = _missing_kernel_support()
    if reason is not None:
        pytest.skip(reason)
    box = make_sandbox(kind="kernel", kbridge=kbridge, guests=["g1", "g3"])
    d = start(box, tmp_path)
    assert udhcpc_lease(box, "g1", tmp_path)[0] == "10.37.129.3"
    box.kill_bridge(signal.SIGTERM)
    assert d.wait_exit() == 0
    box.socket_path.unlink(missing_ok=True)
    supervisor = subprocess.Popen([str(kbridge), "--socket", str(box.socket_path), "--bridge",
                                   "br0", "--ports", "32"], stdin=subprocess.DEVNULL)
    try:
        wait_until(box.socket_path.exists, "the new supervisor to listen", 10)
        start(box, tmp_path)
        assert udhcpc_lease(box, "g3", tmp_path)[0] == "10.37.129.4"
        assert udhcpc_lease(box, "g1", tmp_path)[0] == "10.37.129.3"
    finally:
        supervisor.terminate()
        supervisor.wait(timeout=10)
