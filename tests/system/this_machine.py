"""The machine the tests run on, used as the systemd tests' machine: for a
throwaway machine that boots its own systemd (the 32-bit x86 virtual machine
of scripts/i386-vm), where no container is needed. It has the interface of
systemd_container.Container that the tests use: run, sh, close, and no /usr
overlay (upper is None: the root file system holds /usr)."""
import subprocess

from systemd_container import CONTAINER_PATH, ContainerError


class ThisMachine:
    upper = None

    def run(self, cmd, check=True, timeout=60, **kw):
        kw.setdefault("capture_output", True)
        if "input" not in kw or isinstance(kw["input"], str):
            kw.setdefault("text", True)
        result = subprocess.run(cmd, env={"PATH": CONTAINER_PATH, "LANG": "C.UTF-8"},
                                timeout=timeout, **kw)
        if check and result.returncode != 0:
            raise ContainerError(f"{cmd} failed ({result.returncode}): {result.stderr}"
                                 f"{result.stdout}")
        return result

    def sh(self, script, **kw):
        return self.run(["/bin/sh", "-ec", script], **kw)

    def close(self):
        """What the tests started is theirs to stop; the machine itself is
        thrown away after the run."""
