"""The Windows build under Wine: the real .exe against a virtual device on a
pty, and the Windows unit tests.

Runs in a private mount namespace whose /dev has no serial device, with one
throwaway Wine prefix for the whole run, so Wine cannot give a COM number to
any real port of this machine; each test pins the COM numbers it wants to
paths of its own through HKLM\\Software\\Wine\\Ports.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import FIRST, SECOND, LineReader, VirtualDevice, outcount
from wine import WinePrefix, windows_path

WINDOWS_BUILD = os.environ.get("TANDREL_WINDOWS_BUILD", "")
SERVICE_EXE = os.path.join(WINDOWS_BUILD, "tandrel-service.exe")
LAUNCHER_EXE = os.path.join(WINDOWS_BUILD, "tandrel-launcher.exe")
WINDOWS_ZIP = os.environ.get("TANDREL_WINDOWS_ZIP", "")
RECORD_START = os.path.join(WINDOWS_BUILD, "tests", "tandrel-record-start.exe")
PLANTED_DLL = os.path.join(WINDOWS_BUILD, "tests", "shcore.dll")
PREFIX = None


def setUpModule():
    global PREFIX
    PREFIX = WinePrefix(start_recorder=RECORD_START)


def explorer_starts():
    """Starts of explorer by cmd ("cmd /c explorer" runs it as plain "explorer")."""
    return [start for start in PREFIX.starts() if len(start) == 3 and start[1] == "explorer"]


def tearDownModule():
    PREFIX.close()


class WindowsService(unittest.TestCase):
    def setUp(self):
        # The service runs from a folder of its own, started from another that
        # stands for Downloads. Both hold what someone could have planted: a
        # DLL that shell32 loads, and programs named cmd and explorer.
        self.dir = tempfile.mkdtemp(prefix="tandrel-wine-run-")
        self.app = os.path.join(self.dir, "app")
        self.downloads = os.path.join(self.dir, "downloads")
        for folder in (self.app, self.downloads):
            os.makedirs(folder)
            shutil.copy(PLANTED_DLL, folder)
        shutil.copy(SERVICE_EXE, self.app)
        for name in ("cmd.exe", "explorer.exe"):
            shutil.copy(RECORD_START, os.path.join(self.downloads, name))
        self.marker = os.path.join(self.downloads, "explorer-bat-ran")
        with open(os.path.join(self.downloads, "explorer.bat"), "w", newline="\r\n") as f:
            f.write("@echo off\necho ran> explorer-bat-ran\n")
        PREFIX.forget_starts()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_service(self, timeout=60):
        exe = os.path.join(self.app, "tandrel-service.exe")
        process = subprocess.Popen(["wine", exe, "ignored", "/args"], cwd=self.downloads, env=PREFIX.env(),
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        output = LineReader(process.stdout)
        # The launched cmd may inherit the pipe, so end of file may come late:
        # wait for the process, then take what it wrote.
        status = process.wait(timeout=timeout)
        lines = output.settle()
        process.stdout.close()
        return status, lines

    def test_recognition_trace_settings_and_explorer(self):
        with VirtualDevice("configured", "settings", "1", "100ms", "2", "1") as device:
            PREFIX.pin_ports({"COM3": "/nonexistent/tandrel-port", "COM5": device.slave})
            status, lines = self.run_service()
            settings = device.output.wait_for("settings ")
        self.assertEqual(status, 0)
        self.assertEqual(lines[:6], harness.BANNER + [
            "[Debug] Selected port 5",
            "[Debug] Filename : \\\\.\\COM5",
            "[Debug] opening serial port successful",
        ])
        trace = lines[6:]
        self.assertEqual(trace[-4:], [outcount(1, 1), FIRST, SECOND, outcount(0, 0)])
        self.assertGreaterEqual(len(trace), 5)
        self.assertEqual(set(trace[:-4]), {outcount(0, 0)})
        self.assertEqual(settings, harness.EXPECTED_SETTINGS)
        harness.wait_until(explorer_starts, 20, f"cmd /c explorer did not run; starts: {PREFIX.starts()}")
        # Windows' own explorer, found from the system folder; nothing that
        # was planted beside the .exe or in the folder it was started from.
        system32 = "C:\\windows\\system32"
        self.assertEqual(explorer_starts(), [(system32 + "\\explorer.exe", "explorer", system32)])
        planted = [start for start in PREFIX.starts()
                   if start[0].startswith("planted") or "downloads" in start[0].lower()]
        self.assertEqual(planted, [])
        self.assertFalse(os.path.exists(self.marker), "explorer.bat in the current folder ran")

    def test_no_com_port(self):
        PREFIX.pin_ports({})
        status, lines = self.run_service()
        self.assertEqual(status, 255)
        self.assertEqual(lines, harness.BANNER + ["[Debug] No serial port found"])

    def test_port_pinned_to_a_missing_path_fails_at_the_timeouts(self):
        PREFIX.pin_ports({"COM7": "/nonexistent/tandrel-port"})
        status, lines = self.run_service()
        self.assertEqual(status, 255)
        self.assertEqual(lines, harness.BANNER + [
            "[Debug] Selected port 7",
            "[Debug] Filename : \\\\.\\COM7",
            "[Debug] opening serial port successful",
            "[Debug] Failed to set serial timeouts",
        ])


def running(image):
    """Process ids of Wine processes running `image` (a file name)."""
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        if any(word.lower().endswith(image.encode()) for word in words):
            pids.append(int(pid))
    return pids


def stop_everything():
    """What a logoff does to the session's programs."""
    PREFIX.quiet("wineserver", "-k")
    PREFIX.quiet("wineserver", "-w")
    harness.wait_until(lambda: not running("tandrel-launcher.exe"), 20, "a launcher outlived its wineserver")


class WindowsLauncher(unittest.TestCase):
    """tandrel-launcher.exe keeps the service armed: it starts the service
    beside it, waits, pauses and starts it again."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tandrel-wine-launcher-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.addCleanup(stop_everything)
        PREFIX.forget_starts()

    def install(self, service):
        shutil.copy(LAUNCHER_EXE, self.dir)
        if service:
            shutil.copy(service, os.path.join(self.dir, "tandrel-service.exe"))

    def launcher(self):
        return subprocess.Popen(["wine", os.path.join(self.dir, "tandrel-launcher.exe")], cwd="/",
                                env=PREFIX.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def service_starts(self):
        return [start for start in PREFIX.starts() if start[0].lower().endswith("tandrel-service.exe")]

    def test_each_launch_re_arms_the_service(self):
        line = harness.PtyLine()
        self.addCleanup(line.hangup)
        PREFIX.pin_ports({"COM5": line.slave})
        self.install(SERVICE_EXE)
        self.launcher()
        for launch in (1, 2):
            line.wait_configured(timeout=30)
            line.send(b"121")
            harness.wait_until(lambda: len(explorer_starts()) >= launch, 20,
                               f"no launch number {launch}; starts: {PREFIX.starts()}")
            line.unconfigure()
        self.assertEqual(len(explorer_starts()), 2)

    def test_runs_are_paced_and_a_second_launcher_ends_at_once(self):
        # A service that ends at once, as it does while no port is there.
        PREFIX.pin_ports({})
        self.install(RECORD_START)
        first = self.launcher()
        harness.wait_until(self.service_starts, 30, "the launcher started no service")
        start = time.monotonic()
        second = self.launcher()
        self.assertEqual(second.wait(timeout=30), 0)
        time.sleep(max(0.0, 7 - (time.monotonic() - start)))
        runs = len(self.service_starts())
        elapsed = time.monotonic() - start
        self.assertIsNone(first.poll(), "the first launcher ended")
        self.assertGreaterEqual(runs, 2, "the launcher stopped starting the service")
        self.assertLessEqual(runs, 1 + elapsed / 2 + 1, "more than one run per two-second pause")
        program = windows_path(self.dir) + "\\tandrel-service.exe"
        self.assertEqual(set(self.service_starts()), {(program, f'"{program}"', "C:\\windows\\system32")},
                         "started by its full path, from the system folder")

    def test_missing_service_ends_the_launcher(self):
        PREFIX.pin_ports({})
        self.install(None)
        self.assertEqual(self.launcher().wait(timeout=30), 1)


class WindowsInstall(unittest.TestCase):
    """install.cmd and uninstall.cmd from the .zip, for the current user."""

    RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
    FILES = ["LICENSE", "README.md", "tandrel-launcher.exe", "tandrel-service.exe"]

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tandrel-wine-install-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.addCleanup(stop_everything)
        subprocess.run(["unzip", "-q", WINDOWS_ZIP, "-d", self.dir], check=True)
        (self.package,) = [os.path.join(self.dir, d) for d in os.listdir(self.dir)]
        PREFIX.forget_starts()

    def script(self, path):
        # To a file, not a pipe: the launcher that install.cmd starts would
        # hold a pipe open for as long as it runs.
        log = os.path.join(self.dir, "script.log")
        with open(log, "w") as out:
            status = subprocess.run(["wine", "cmd", "/c", windows_path(path)], env=PREFIX.env(), cwd=self.dir,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                    timeout=120).returncode
        with open(log, errors="replace") as f:
            return status, f.read()

    def installed(self):
        users = os.path.join(PREFIX.path, "drive_c", "users")
        return [os.path.join(users, user, "AppData", "Local", "Programs", "Tandrel") for user in os.listdir(users)
                if os.path.isdir(os.path.join(users, user, "AppData", "Local", "Programs", "Tandrel"))]

    def run_value(self):
        return PREFIX.quiet("wine", "reg", "query", self.RUN_KEY, "/v", "Tandrel").stdout

    def test_install_starts_at_logon_and_uninstall_leaves_nothing(self):
        line = harness.PtyLine()
        self.addCleanup(line.hangup)
        PREFIX.pin_ports({"COM5": line.slave})
        for attempt in (1, 2):  # a second install replaces the first
            status, output = self.script(os.path.join(self.package, "install.cmd"))
            self.assertEqual(status, 0, output)
            (folder,) = self.installed()
            self.assertEqual(sorted(os.listdir(folder)), self.FILES)
            self.assertIn("tandrel-launcher.exe", self.run_value())
            harness.wait_until(lambda: len(running("tandrel-launcher.exe")) == 1, 30,
                               f"install {attempt} left {running('tandrel-launcher.exe')} launchers")
        line.wait_configured(timeout=30)

        # A new logon: nothing runs until wineboot runs the Run values.
        stop_everything()
        line.unconfigure()
        # Not through a pipe: the launcher it starts would hold it open.
        subprocess.run(["wine", "wineboot"], env=PREFIX.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        harness.wait_until(lambda: running("tandrel-launcher.exe"), 30, "the Run value did not start the launcher")
        line.wait_configured(timeout=30)
        line.send(b"121")
        harness.wait_until(explorer_starts, 30, f"the installed service did not launch; {PREFIX.starts()}")

        # Uninstall, twice: the second finds nothing to do.
        for attempt in (1, 2):
            status, output = self.script(os.path.join(self.package, "uninstall.cmd"))
            self.assertEqual(status, 0, output)
            self.assertEqual(self.installed(), [])
            self.assertNotIn("tandrel-launcher.exe", self.run_value())
            harness.wait_until(lambda: not running("tandrel-launcher.exe"), 20, "uninstall left the launcher running")
            self.assertEqual(running("tandrel-service.exe"), [])


class WindowsUnitTests(unittest.TestCase):
    def run_exe(self, name):
        exe = os.path.join(WINDOWS_BUILD, "tests", name)
        result = subprocess.run(["wine", exe], env=PREFIX.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, text=True, timeout=120)
        print(result.stdout, flush=True)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("[  PASSED  ]", result.stdout)

    def test_core(self):
        PREFIX.pin_ports({})
        self.run_exe("core_tests.exe")

    def test_win32_platform(self):
        PREFIX.pin_ports({})
        self.run_exe("win32_platform_tests.exe")


if __name__ == "__main__":
    if os.environ.get("TANDREL_WINE_NAMESPACE") != "1":
        for tool in ("wine", "wineboot", "wineserver"):
            if not shutil.which(tool):
                harness.missing(f"{tool} is not installed")
        for built in (SERVICE_EXE, LAUNCHER_EXE, RECORD_START, PLANTED_DLL):
            if not os.path.exists(built):
                harness.missing(f"the Windows build is missing {built}")
        if not os.path.exists(WINDOWS_ZIP):
            harness.missing(f"TANDREL_WINDOWS_ZIP does not name the built .zip ({WINDOWS_ZIP or 'unset'})")
        harness.binary("TANDREL_VIRTUAL_DEVICE")
        harness.require_namespaces()
        os.environ["TANDREL_WINE_NAMESPACE"] = "1"
        os.execv(harness.PRIVATE_DEV, [harness.PRIVATE_DEV, "--", sys.executable, os.path.abspath(__file__)])
    harness.main()
