"""The machine the tests run on, used as the systemd tests' machine: for a
throwaway machine that boots its own systemd (the 32-bit x86 virtual machine
of scripts/i386-vm), where no container is needed. It has the interface of
systemd_container.Container that the tests use: run, sh, close, and no /usr
overlay (upper is None: the root file system holds /usr)."""
from systemd_container import Machine


class ThisMachine(Machine):
    upper = None

    def close(self):
        """What the tests started is theirs to stop; the machine itself is
        thrown away after the run."""
