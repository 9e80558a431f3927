"""Shared pieces of the end-to-end tests: the real binaries, a virtual device
on a pty, fixture sysfs trees and a private /dev namespace.

Paths come from the environment that CTest sets:
  TANDREL_SERVICE         the Linux tandrel-service
  TANDREL_VIRTUAL_DEVICE  the tandrel-virtual-device tool
  TANDREL_WINDOWS_BUILD   the Windows build tree (tandrel-service.exe, tests)
"""
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PRIVATE_DEV = os.path.join(HERE, "private-dev.sh")
IN_CI = os.environ.get("CI") == "true"
SKIP = 77  # CTest's skip code for these tests

BANNER = ["Tandrel-Win64  v0.1", "Copyright (C) 2026 The Tandrel developers", ""]


def missing(what):
    """A component the tests need is not here: a failure in CI, a skip elsewhere."""
    if IN_CI:
        print(f"FAILED: {what} (required in CI)", flush=True)
        sys.exit(1)
    print(f"SKIPPED: {what}", flush=True)
    sys.exit(SKIP)


def require_namespaces():
    if not shutil.which("unshare"):
        missing("unshare (util-linux) is not installed")
    probe = subprocess.run([PRIVATE_DEV, "--", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        missing("private mount namespaces are not available here: " + probe.stderr.strip())


def binary(variable):
    path = os.environ.get(variable, "")
    if not path or not os.path.exists(path):
        missing(f"{variable} does not name a built file ({path or 'unset'})")
    return path


class LineReader:
    """Reads a pipe line by line in a thread, noting when each line came."""

    def __init__(self, pipe):
        self.lines = []
        self.times = []
        self._queue = queue.Queue()
        self._thread = threading.Thread(target=self._pump, args=(pipe,), daemon=True)
        self._thread.start()

    def _pump(self, pipe):
        for raw in iter(pipe.readline, b""):
            self._queue.put((time.monotonic(), raw.decode(errors="replace").rstrip("\r\n")))
        self._queue.put(None)

    def _take(self, timeout):
        item = self._queue.get(timeout=timeout)
        if item is None:
            raise EOFError
        self.times.append(item[0])
        self.lines.append(item[1])
        return item[1]

    def next(self, timeout=10):
        """The next line that arrives."""
        return self._take(timeout)

    def wait_for(self, text, timeout=10):
        """Reads until a line equal to (or starting with) text; returns it."""
        deadline = time.monotonic() + timeout
        for line in self.lines:
            if line.startswith(text):
                return line
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no line {text!r}; got {self.lines!r}")
            line = self._take(left)
            if line.startswith(text):
                return line

    def settle(self, quiet=0.3):
        """Reads until end of file or until no line has come for `quiet` seconds."""
        try:
            while True:
                self._take(quiet)
        except (EOFError, queue.Empty):
            pass
        return self.lines

    def drain(self, timeout=10):
        """Reads to end of file; returns all lines."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self._take(max(0.01, deadline - time.monotonic()))
        except EOFError:
            pass
        except queue.Empty:
            raise TimeoutError(f"output did not end; got {self.lines!r}")
        return self.lines


class VirtualDevice:
    """The virtual-device tool playing `steps` on a fresh pty pair."""

    def __init__(self, *steps):
        self.process = subprocess.Popen(
            [binary("TANDREL_VIRTUAL_DEVICE"), *steps],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.output = LineReader(self.process.stdout)
        self.slave = self.output.wait_for("/dev/pts/")

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def sys_fixture(directory, devices):
    """A /sys/class/tty tree in `directory` holding one device-backed entry per name."""
    root = os.path.join(directory, "sys-class-tty")
    os.makedirs(root)
    for name in ("console", "ptmx", "tty0"):
        os.makedirs(os.path.join(root, name))
    for name in devices:
        os.makedirs(os.path.join(root, name))
        os.symlink("../../../1-1:1.0", os.path.join(root, name, "device"))
    return root


def stand_in_xdg_open(directory, status=0):
    """A stand-in xdg-open that appends its arguments to a record; returns (bin dir, record)."""
    bin_dir = os.path.join(directory, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    record = os.path.join(directory, "xdg-open.record")
    script = os.path.join(bin_dir, "xdg-open")
    with open(script, "w") as f:
        f.write(f"#!/bin/sh\nprintf '%s\\n' \"$*\" >> '{record}'\nexit {status}\n")
    os.chmod(script, 0o755)
    return bin_dir, record


class ServiceRun:
    """The Linux service in a private namespace whose only serial port is the
    device's pty as /dev/ttyACM0 (COM65), with a stand-in xdg-open."""

    def __init__(self, workdir, slave, devices=("ttyACM0",), path_dirs=None, home="/home/tandrel", wrapper=(),
                 stdout=subprocess.PIPE):
        """`wrapper` comes between env and the service: a command that
        changes what the service inherits and then runs it."""
        sys_root = sys_fixture(tempfile.mkdtemp(dir=workdir), devices)
        env = dict(os.environ, HOME=home)
        # The namespace runner needs the ordinary PATH; the service gets its own.
        service_path = ":".join(path_dirs) if path_dirs is not None else env.get("PATH", "")
        command = [PRIVATE_DEV, "--sys-class-tty", sys_root]
        if slave:
            command += ["--link", f"ttyACM0={slave}"]
        command += ["--", "/usr/bin/env", f"PATH={service_path}", *wrapper, binary("TANDREL_SERVICE"),
                    "ignored", "--args"]
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, stdout=stdout, env=env)
        self.output = LineReader(self.process.stdout) if stdout == subprocess.PIPE else None

    def finish(self, timeout=10):
        lines = self.output.drain(timeout) if self.output else []
        status = self.process.wait(timeout=timeout)
        if self.process.stdout:
            self.process.stdout.close()
        return status, lines

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.process.stdout:
            self.process.stdout.close()


def outcount(out, gap):
    return f"[Debug] OutCount : {out} - {gap}"


FIRST = "[Debug] First recognition detected"
SECOND = "[Debug] Second recognition detected"
EXPECTED_SETTINGS = ("settings ispeed=9600 ospeed=9600 csize=8 parenb=0 cstopb=0 crtscts=0 ixon=0 ixoff=0"
                     " icrnl=0 icanon=0 echo=0 isig=0 opost=0")


def main():
    unittest.main(verbosity=2)


class PtyLine:
    """A serial line played from the test itself: the master end of a pty
    pair, for tests that must wait on the service between its steps."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.slave = os.ttyname(slave)
        os.close(slave)

    def settings(self):
        return termios.tcgetattr(self.master)

    def configured(self):
        """Whether the other end has set the line to 9600 baud, raw."""
        attrs = self.settings()
        return attrs[4] == termios.B9600 and not attrs[3] & termios.ICANON

    def unconfigure(self):
        """Sets the line back to 38400 baud, canonical, so that the next
        program to set it up can be told from the last one."""
        attrs = self.settings()
        attrs[3] |= termios.ICANON
        attrs[4] = attrs[5] = termios.B38400
        termios.tcsetattr(self.master, termios.TCSANOW, attrs)

    def wait_configured(self, timeout=10):
        """Waits until the line is set up; returns when that was seen."""
        wait_until(self.configured, timeout, f"{self.slave} was not set up within {timeout} s", step=0.005)
        return time.monotonic()

    def send(self, data):
        os.write(self.master, data)

    def hangup(self):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1


def wait_until(condition, timeout, what, step=0.02):
    """Polls `condition` until it gives a true value, which it returns."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(step)
