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
PREFIX = None


def setUpModule():
    global PREFIX
    PREFIX = WinePrefix()


def tearDownModule():
    PREFIX.close()


class WindowsService(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tandrel-wine-run-")
        # cmd finds an explorer.bat in the current folder before the system's
        # explorer.exe: it leaves a mark that "cmd /c explorer" ran.
        self.marker = os.path.join(self.dir, "explorer-ran")
        with open(os.path.join(self.dir, "explorer.bat"), "w", newline="\r\n") as f:
            f.write("@echo off\necho ran> explorer-ran\n")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_service(self, timeout=60):
        process = subprocess.Popen(["wine", SERVICE_EXE, "ignored", "/args"], cwd=self.dir, env=PREFIX.env(),
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
        deadline = time.monotonic() + 20
        while not os.path.exists(self.marker) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertTrue(os.path.exists(self.marker), "cmd /c explorer did not run")

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
