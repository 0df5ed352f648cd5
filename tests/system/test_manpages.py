"""The manual pages: formatted without a warning by man and groff, and the
daemon page names every log line the daemon can write, as a host manager
greps for them."""
import os
import re
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
PAGES = sorted((REPO / "docs" / "man").glob("*.[58]"))
PREFIXES = ("Velmarind DHCP", "VLM-DHCP: ", "vlm_dhcp: ", "Error getting")


def test_every_page_is_there():
    assert [p.name for p in PAGES] == ["libnss_vlm.8", "vlm_dhcp_leases.8", "vlm_dhcp_renew.8",
                                       "vlm_dhcpd.8", "vlm_dhcpd.conf.5"]


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_page_formats_without_warnings(page):
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    man = subprocess.run(["man", "--warnings", "-l", str(page)], capture_output=True,
                         text=True, env=env, timeout=30)
    assert man.returncode == 0 and man.stderr == "", man.stderr
    assert "NAME" in man.stdout and "SEE ALSO" in man.stdout
    groff = subprocess.run(["groff", "-ww", "-t", "-man", "-z", str(page)],
                           capture_output=True, text=True, timeout=30)
    assert groff.returncode == 0 and groff.stderr == "", groff.stderr


def daemon_log_texts():
    """The format strings of the daemon's syslog lines, read from its sources:
    adjacent string literals joined as the compiler joins them."""
    texts = set()
    for source in list((REPO / "daemon").glob("*.cpp")) + list((REPO / "net").glob("*.cpp")):
        code = source.read_text()
        for run in re.finditer(r'(?:"(?:[^"\\\n]|\\.)*"\s*)+', code):
            text = "".join(re.findall(r'"((?:[^"\\\n]|\\.)*)"', run.group(0)))
            text = text.replace("\\n", "").strip()
            if text.startswith(PREFIXES):
                texts.add(text)
    return sorted(texts)


def test_daemon_page_lists_every_log_line():
    texts = daemon_log_texts()
    if len(texts) < 20:
        pytest.skip(f"only {len(texts)} log lines found in the daemon's sources")
    env = dict(os.environ, MANWIDTH="1000", LC_ALL="C.UTF-8")
    rendered = subprocess.run(["man", "-l", str(REPO / "docs" / "man" / "vlm_dhcpd.8")],
                              capture_output=True, text=True, env=env, timeout=30).stdout
    rendered = " ".join(rendered.replace("\u2010", "-").split())
    missing = [t for t in texts if " ".join(t.split()) not in rendered]
    assert missing == []
