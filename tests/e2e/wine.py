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


class WinePrefix:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="tandrel-wine-")
        if self.quiet("wineboot", "-i").returncode != 0:
            raise RuntimeError("wineboot failed")
        self.quiet("wineserver", "-w")
        self._remove_com_links()

    def env(self):
        return dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

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
