"""A throwaway Wine prefix whose only COM numbers are the ones a caller pins.

Use it inside a private mount namespace with no serial device nodes
(private-dev.sh), so that Wine cannot give a COM number to a real port.
"""
import glob
import os
import shutil
import subprocess
import tempfile

PORTS_KEY = r"HKLM\Software\Wine\Ports"


def windows_path(path):
    """How a program under Wine names a file of this machine."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WinePrefix:
    """`start_recorder`: a program (tests/win32/RecordStart.cpp) that takes
    the place of the prefix's explorer.exe, so that every start of explorer,
    wherever it is started from, is noted in `self.record`."""

    def __init__(self, start_recorder=None):
        self.path = tempfile.mkdtemp(prefix="tandrel-wine-")
        self.record = os.path.join(self.path, "starts.txt")
        self.overrides = "mscoree,mshtml="
        if self.quiet("wineboot", "-i").returncode != 0:
            raise RuntimeError("wineboot failed")
        self.quiet("wineserver", "-w")
        self._remove_com_links()
        if start_recorder:
            shutil.copy(start_recorder, os.path.join(self.system32(), "explorer.exe"))
            self.overrides += ";explorer.exe=n"  # the file, not Wine's built-in explorer

    def system32(self):
        return os.path.join(self.path, "drive_c", "windows", "system32")

    def env(self):
        return dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES=self.overrides,
                    TANDREL_START_RECORD=windows_path(self.record))

    def forget_starts(self):
        if os.path.exists(self.record):
            os.remove(self.record)

    def starts(self):
        """The starts noted so far, as (program, command line, current directory)."""
        if not os.path.exists(self.record):
            return []
        with open(self.record, errors="replace") as f:
            return [tuple(line.rstrip("\r\n").split("|")) for line in f if line.strip()]

    def quiet(self, *args):
        return subprocess.run(list(args), env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, text=True, timeout=120)

    def pin_ports(self, ports):
        """Makes `ports` ({"COM5": "/dev/pts/3"}) the prefix's only COM numbers."""
        self.quiet("wine", "reg", "delete", PORTS_KEY, "/f")
        self.quiet("wine", "reg", "add", PORTS_KEY, "/f")
        for name, path in ports.items():
            self.quiet("wine", "reg", "add", PORTS_KEY, "/v", name, "/t", "REG_SZ", "/d", path, "/f")
        # Wine reads the key when its device manager starts, and keeps the
        # links it made before: clear them, restart, check what it made anew.
        self.quiet("wineserver", "-k")
        self.quiet("wineserver", "-w")
        self._remove_com_links()
        self.quiet("wine", "reg", "query", PORTS_KEY)
        for link in glob.glob(os.path.join(self.path, "dosdevices", "com*")):
            target = os.readlink(link)
            if target not in ports.values():
                raise AssertionError(f"{link} points at {target}, which is no port of ours")

    def _remove_com_links(self):
        for link in glob.glob(os.path.join(self.path, "dosdevices", "com*")):
            os.remove(link)

    def close(self):
        self.quiet("wineserver", "-k")
        shutil.rmtree(self.path, ignore_errors=True)
