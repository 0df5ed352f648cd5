"""The sandbox harness: private virtual networks built on scripts/vlm-sandbox,
and the real vlm_dhcpd run and spoken to inside them.

    sandbox          Sandbox, a private network with the stand-in bridge and
                     guest namespaces; build_dir() finds the build under test
    daemon           the daemon run inside a sandbox, frames built with scapy
                     (importing it makes the process a child subreaper)
    wire.py          run inside a guest: sends frames, prints those that come back
    syslog_receiver.py  the sandbox's /dev/log, started by scripts/vlm-sandbox

The system tests and the benchmark import it as a package: the folder above
this one (tools/sandbox) is their one import path entry, named by
tests/system/pytest.ini and by bench/run-all.
"""
