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
from wine import WinePrefix

WINDOWS_BUILD = os.environ.get("TANDREL_WINDOWS_BUILD", "")
SERVICE_EXE = os.path.join(WINDOWS_BUILD, "tandrel-service.exe")
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
        if os.path.exists(PREFIX.record):
            os.remove(PREFIX.record)

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
        if not os.path.exists(SERVICE_EXE):
            harness.missing(f"the Windows build is missing ({SERVICE_EXE})")
        harness.binary("TANDREL_VIRTUAL_DEVICE")
        harness.require_namespaces()
        os.environ["TANDREL_WINE_NAMESPACE"] = "1"
        os.execv(harness.PRIVATE_DEV, [harness.PRIVATE_DEV, "--", sys.executable, os.path.abspath(__file__)])
    harness.main()
