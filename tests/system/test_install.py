"""Installing into a temporary DESTDIR: the tree, the modes, the unit naming
the installed daemon, and systemd-analyze accepting the unit."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VLM_BUILD", REPO / "build"))

EXPECTED = {
    # path under the prefix: permission bits
    "sbin/vlm_dhcpd": 0o755,
    "sbin/vlm_dhcp_renew": 0o755,
    "sbin/vlm_dhcp_leases": 0o755,
    "share/man/man8/vlm_dhcpd.8": 0o644,
    "share/man/man8/vlm_dhcp_renew.8": 0o644,
    "share/man/man8/vlm_dhcp_leases.8": 0o644,
    "share/man/man8/libnss_vlm.8": 0o644,
    "lib/libnss_vlm.so.2": 0o644,  # a library, as Debian installs them
    "share/man/man5/vlm_dhcpd.conf.5": 0o644,
    "share/doc/vlm_dhcpd/dhcpd_configuration.example": 0o644,
    "lib/systemd/system/vlm_dhcpd@.service": 0o644,
    "lib/systemd/system/vlm_dhcpd@.path": 0o644,
    "lib/systemd/system/vlm_dhcpd-bridge.service": 0o644,
    "lib/udev/rules.d/60-vlm-dhcpd.rules": 0o644,
}


def check_tree(destdir, prefix):
    root = destdir / prefix.lstrip("/")
    for relative, mode in EXPECTED.items():
        path = root / relative
        assert path.is_file(), f"{relative} not installed under {root}"
        assert path.stat().st_mode & 0o7777 == mode, relative
    # DESTDIR is only a staging root: nothing lands beside the prefix.
    strays = [str(p) for p in destdir.rglob("*") if p.is_file() and root not in p.parents]
    assert strays == []
    unit = (root / "lib/systemd/system/vlm_dhcpd@.service").read_text()
    assert f"ExecStart={prefix}/sbin/vlm_dhcpd -d %i\n" in unit
    return root


@pytest.fixture(scope="module", autouse=True)
def built():
    for target in ("daemon/vlm_dhcpd", "tools/vlm_dhcp_renew/vlm_dhcp_renew"):
        if not (BUILD / target).exists():
            pytest.fail(f"{BUILD / target} is not built (set VLM_BUILD to the build directory)")


def test_cmake_install_into_destdir(tmp_path):
    destdir = tmp_path / "stage"
    env = dict(os.environ, DESTDIR=str(destdir))
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", "/usr/local"], env=env,
                   check=True, capture_output=True, timeout=120)
    root = check_tree(destdir, "/usr/local")
    version = subprocess.run([str(root / "sbin/vlm_dhcp_renew"), "--version"],
                             capture_output=True, text=True, timeout=10)
    assert version.returncode == 0 and version.stdout.startswith("vlm_dhcp_renew ")


def test_make_install_honours_prefix_and_destdir(tmp_path):
    destdir = tmp_path / "stage"
    subprocess.run(["make", "-C", str(REPO), "install", f"BUILD={BUILD}",
                    f"DESTDIR={destdir}", "PREFIX=/usr"],
                   check=True, capture_output=True, timeout=600)
    check_tree(destdir, "/usr")


def test_systemd_analyze_verifies_an_instance(tmp_path):
    if shutil.which("systemd-analyze") is None:
        pytest.fail("systemd-analyze is missing (Debian package systemd)")
    # Installed under its final prefix so that ExecStart names a real file.
    prefix = tmp_path / "usr"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)],
                   check=True, capture_output=True, timeout=120)
    units = tmp_path / "units"
    units.mkdir()
    for kind in ("service", "path"):
        shutil.copy(prefix / f"lib/systemd/system/vlm_dhcpd@.{kind}",
                    units / f"vlm_dhcpd@vnic0.{kind}")
    # verify also looks up the Documentation= pages with man.
    env = dict(os.environ, MANPATH=str(prefix / "share/man"))
    shutil.copy(prefix / "lib/systemd/system/vlm_dhcpd-bridge.service", units)
    result = subprocess.run(["systemd-analyze", "verify", str(units / "vlm_dhcpd@vnic0.service"),
                             str(units / "vlm_dhcpd@vnic0.path"),
                             str(units / "vlm_dhcpd-bridge.service")],
                            capture_output=True, text=True, env=env, timeout=60)
    # Parse errors are only warnings: any output counts as a failure.
    assert result.returncode == 0 and result.stderr == "" and result.stdout == "", result.stderr
