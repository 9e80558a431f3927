"""The real Linux service against a virtual device, in a private namespace."""
import os
import shutil
import tempfile
import time
import unittest

import harness
from harness import FIRST, SECOND, ServiceRun, VirtualDevice, outcount

OPENING = [
    "[Debug] Selected port 65",
    "[Debug] Filename : /dev/ttyACM0",
    "[Debug] opening serial port successful",
]


class LinuxService(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tandrel-e2e-")
        self.bin, self.record = harness.stand_in_xdg_open(self.dir)
        self.path = [self.bin, "/usr/bin", "/bin"]
        self.runs = []

    def tearDown(self):
        for run in self.runs:
            run.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, device, **kw):
        kw.setdefault("path_dirs", self.path)
        run = ServiceRun(self.dir, device.slave if device else None, **kw)
        self.runs.append(run)
        return run

    def test_recognition_trace_settings_and_launch(self):
        # The "1" arrives once the line is set up; then 200 ms timeouts
        # repeat it until the "2" and the completing "1".
        with VirtualDevice("configured", "settings", "1", "100ms", "2", "1") as device:
            run = self.start(device)
            status, lines = run.finish()
            settings = device.output.wait_for("settings ")
        self.assertEqual(status, 0)
        self.assertEqual(lines[:6], harness.BANNER + OPENING)
        # Reads that time out before the "1" lands feed the starting 0.
        trace = lines[6:]
        self.assertEqual(trace[-4:], [outcount(1, 1), FIRST, SECOND, outcount(0, 0)])
        self.assertGreaterEqual(len(trace), 5)
        self.assertEqual(set(trace[:-4]), {outcount(0, 0)})
        self.assertEqual(settings, harness.EXPECTED_SETTINGS)
        with open(self.record) as f:
            self.assertEqual(f.read(), "/home/tandrel\n")

    def test_exact_trace_of_one_two_one(self):
        # All three bytes queued before the first read: no timeout in between.
        with VirtualDevice("1", "2", "1") as device:
            status, lines = self.start(device).finish()
        self.assertEqual(status, 0)
        self.assertEqual(lines, harness.BANNER + OPENING + [
            outcount(0, 0), outcount(1, 1), FIRST, SECOND, outcount(0, 0)])

    def test_second_instance_takes_the_open_failure_path(self):
        with VirtualDevice("configured") as device:
            first = self.start(device)
            first.output.wait_for(outcount(0, 0))
            status, lines = self.start(device).finish()
            self.assertEqual(status, 255)
            self.assertEqual(lines, harness.BANNER + OPENING[:2] + [
                "[Debug] Error in opening serial port", "[Debug] Failed to set serial timeouts"])
            self.assertIsNone(first.process.poll(), "the first instance keeps listening")

    def test_hangup_while_listening_ends_within_a_second(self):
        with VirtualDevice("configured", "1", "300ms", "hangup") as device:
            run = self.start(device)
            device.output.wait_for("hung up")
            hung_up = time.monotonic()
            status, lines = run.finish()
            ended = time.monotonic()
        self.assertEqual(status, 255)
        self.assertEqual(lines[-1], "[Debug] Error reading serial port")
        self.assertLess(ended - hung_up, 1.0)
        self.assertFalse(os.path.exists(self.record))

    def test_no_port_present(self):
        status, lines = self.start(None, devices=()).finish()
        self.assertEqual(status, 255)
        self.assertEqual(lines, harness.BANNER + ["[Debug] No serial port found"])

    def test_no_xdg_open_on_path(self):
        with VirtualDevice("1", "2", "1") as device:
            status, lines = self.start(device, path_dirs=["/nonexistent"]).finish()
        self.assertEqual(status, 255)
        self.assertEqual(lines[-2:], [outcount(0, 0), "[Debug] Failed to open the file manager"])

    def test_failing_xdg_open_is_a_failed_launch(self):
        failing_bin, record = harness.stand_in_xdg_open(os.path.join(self.dir, "failing"), status=4)
        with VirtualDevice("1", "2", "1") as device:
            status, lines = self.start(device, path_dirs=[failing_bin, "/usr/bin", "/bin"]).finish()
        self.assertEqual(status, 255)
        self.assertEqual(lines[-1], "[Debug] Failed to open the file manager")
        self.assertTrue(os.path.exists(record))

    # What the service inherits from whoever starts it must not change what
    # it does: closed standard streams, ignored SIGCHLD, a reader that leaves.
    def test_closed_standard_output_never_reaches_the_line(self):
        # With descriptor 1 closed the port would be opened as descriptor 1
        # and the trace written to the device.
        line = harness.PtyLine()
        self.addCleanup(line.hangup)
        run = ServiceRun(self.dir, line.slave, path_dirs=self.path,
                         wrapper=["/bin/sh", "-c", 'exec "$@" >&- 2>&-', "sh"])
        self.runs.append(run)
        line.wait_configured()
        line.send(b"1")
        time.sleep(0.5)  # timeouts: several trace lines' worth
        line.send(b"21")
        status, _ = run.finish()
        self.assertEqual(status, 0)
        os.set_blocking(line.master, False)
        try:
            written = os.read(line.master, 4096)
        except (BlockingIOError, OSError):  # nothing queued; EIO once the service closed its end
            written = b""
        self.assertEqual(written, b"", "the service wrote to the serial line")
        with open(self.record) as f:
            self.assertEqual(f.read(), "/home/tandrel\n")

    def test_ignored_sigchld_does_not_hide_a_successful_launch(self):
        with VirtualDevice("1", "2", "1") as device:
            status, lines = self.start(device, wrapper=["/usr/bin/env", "--ignore-signal=CHLD"]).finish()
        self.assertEqual(status, 0)
        self.assertEqual(lines[-3:], [FIRST, SECOND, outcount(0, 0)])
        self.assertTrue(os.path.exists(self.record))

    def test_reader_of_the_trace_going_away_does_not_stop_the_launch(self):
        reader, writer = os.pipe()
        line = harness.PtyLine()
        self.addCleanup(line.hangup)
        run = ServiceRun(self.dir, line.slave, path_dirs=self.path, stdout=writer)
        self.runs.append(run)
        os.close(writer)
        line.wait_configured()
        os.read(reader, 4096)
        os.close(reader)  # whoever read the trace is gone: the next line meets a broken pipe
        line.send(b"121")
        status, _ = run.finish()
        self.assertEqual(status, 0, "the service did not survive the broken pipe")
        with open(self.record) as f:
            self.assertEqual(f.read(), "/home/tandrel\n")

    def test_output_arrives_line_by_line_through_a_pipe(self):
        # A silent device: one OutCount line per 200 ms timeout. The lines
        # must reach the pipe as they are written, not when the service ends.
        with VirtualDevice("configured") as device:
            run = self.start(device)
            run.output.wait_for(outcount(0, 0))
            first = run.output.times[-1]
            for _ in range(3):
                self.assertEqual(run.output.next(timeout=2), outcount(0, 0))
            self.assertIsNone(run.process.poll())
            self.assertGreater(run.output.times[-1] - first, 0.3)


if __name__ == "__main__":
    harness.require_namespaces()
    harness.binary("TANDREL_SERVICE")
    harness.binary("TANDREL_VIRTUAL_DEVICE")
    harness.main()
