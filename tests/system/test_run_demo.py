"""make run's demo, once through: a guest gets a lease, the lease tool shows
it, a renewal moves it."""
import re
import subprocess

from vlmsandbox.sandbox import REPO, build_dir, host_snapshot


def test_demo_once_serves_renews_and_leaves_nothing():
    before = host_snapshot()
    result = subprocess.run([str(REPO / "scripts" / "run-demo"), "--once", "--build",
                             str(build_dir())], capture_output=True, text=True, timeout=120)
    out = result.stdout + result.stderr
    assert result.returncode == 0, out
    assert "guest1: lease 10.37.129.3/24 from server 10.37.129.1" in out
    assert re.search(r"64 bytes from 10\.37\.129\.3", out)
    shown = re.search(r"\n   10\.37\.129\.3 +([0-9a-f:]{17})  bound ", out)
    assert shown, out
    assert f"vlm_dhcp_leases --mac {shown.group(1)}: 10.37.129.3\n" in out
    assert "Start=0xa630001 Stop=0xa6300fe Mask=0xffffff00." in out
    assert "guest1: lease 10.99.0.3/24 from server 10.99.0.1" in out
    assert "vlm_dhcp[" in out and "Velmarind DHCP server for virtual NIC exited." in out
    assert host_snapshot() == before
