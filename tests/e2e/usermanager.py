"""The installed .deb under a real systemd user manager, contained.

`contained(argv)` re-runs the calling script in a private PID and mount
namespace with the private /dev of private-dev.sh, where it may call
`UserManager(...)`, which then:
  - lays the package's files (dpkg-deb -x) over /usr with an overlay, with a
    layer of stand-ins on top (an xdg-open that notes each launch);
  - puts scratch folders over /etc/systemd/user, /var/lib/systemd and
    /var/log, and a tmpfs over /run holding an empty /run/systemd/system;
  - runs the package's postinst as dpkg would;
  - starts systemd-journald and `systemd --user`, logging to that journal.
Nothing outside the namespace is touched, and no system manager is started.
"""
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import harness

PACKAGE = "tandrel-service"
UNIT = "tandrel-service.service"
SESSION = "tandrel-test-session.target"
DISPLAY = ":77"

# The stand-in xdg-open notes "DISPLAY|arguments|pid of the file manager"
# and leaves a stand-in file manager running, as a real one would.
STAND_IN_XDG_OPEN = """#!/bin/sh
sleep 86400 </dev/null >/dev/null 2>&1 &
printf '%s|%s|%s\\n' "${DISPLAY:-}" "$*" "$!" >> '@RECORD@'
"""

# A desktop's session: starting it starts graphical-session.target, which
# refuses to be started by hand; stopping it is the logout.
SESSION_TARGET = """[Unit]
Description=Stand-in graphical session
BindsTo=graphical-session.target
Before=graphical-session.target
"""


def contained(script, argv):
    """Re-executes `script` inside the namespaces, unless already there."""
    if os.environ.get("TANDREL_CONTAINED") == "1":
        return
    for tool in ("unshare", "dpkg-deb", "systemctl", "journalctl", "systemd-analyze"):
        if not shutil.which(tool):
            harness.missing(f"{tool} is not installed")
    for path in ("/lib/systemd/systemd", "/lib/systemd/systemd-journald"):
        if not os.path.exists(path):
            harness.missing(f"{path} is not installed")
    harness.require_namespaces()
    fixture = tempfile.mkdtemp(prefix="tandrel-sys-")
    env = dict(os.environ, TANDREL_CONTAINED="1", TANDREL_SYS_FIXTURE=fixture)
    command = ["unshare", "--pid", "--fork", "--mount-proc", "--propagation", "private",
               harness.PRIVATE_DEV, "--sys-class-tty", fixture, "--",
               sys.executable, os.path.abspath(script), *argv]
    status = subprocess.run(command, env=env, stdin=subprocess.DEVNULL).returncode
    shutil.rmtree(fixture, ignore_errors=True)
    sys.exit(status)


def run(*args, check=True, **kw):
    return subprocess.run(list(args), check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          stdin=subprocess.DEVNULL, **kw)


class UserManager:
    def __init__(self, deb):
        self.dir = tempfile.mkdtemp(prefix="tandrel-deploy-")
        self.record = os.path.join(self.dir, "launches")
        self.sys = os.environ["TANDREL_SYS_FIXTURE"]
        self.processes = []
        self.manager = None
        root = self._unpack(deb)
        self._mount(root)
        self.env = dict(os.environ, XDG_RUNTIME_DIR="/run/user/0", HOME=os.path.join(self.dir, "home"),
                        XDG_CONFIG_HOME=os.path.join(self.dir, "home", ".config"))
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        os.makedirs(os.path.join(self.env["XDG_CONFIG_HOME"], "systemd", "user"))
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "systemd", "user", SESSION), "w") as f:
            f.write(SESSION_TARGET)
        self.maintainer_script("postinst", "configure")

    def _unpack(self, deb):
        root = os.path.join(self.dir, "root")
        self.control = os.path.join(self.dir, "control")
        run("dpkg-deb", "-x", deb, root)
        run("dpkg-deb", "-e", deb, self.control)
        return root

    def _mount(self, root):
        stand_ins = os.path.join(self.dir, "stand-ins")
        os.makedirs(os.path.join(stand_ins, "bin"))
        xdg_open = os.path.join(stand_ins, "bin", "xdg-open")
        with open(xdg_open, "w") as f:
            f.write(STAND_IN_XDG_OPEN.replace("@RECORD@", self.record))
        os.chmod(xdg_open, 0o755)
        run("mount", "-t", "overlay", "tandrel-usr", "-o",
            f"lowerdir={stand_ins}:{os.path.join(root, 'usr')}:/usr", "/usr")
        for target in ("/etc/systemd/user", "/var/lib/systemd", "/var/log"):
            scratch = os.path.join(self.dir, "overlays", target.strip("/").replace("/", "-"))
            os.makedirs(scratch)
            os.makedirs(target, exist_ok=True)
            run("mount", "--bind", scratch, target)
        run("mount", "-t", "tmpfs", "-o", "mode=755", "tandrel-run", "/run")
        os.makedirs("/run/systemd/system")
        os.makedirs("/run/user/0", mode=0o700)

    def maintainer_script(self, name, *args):
        env = dict(os.environ, DPKG_MAINTSCRIPT_PACKAGE=PACKAGE, DPKG_MAINTSCRIPT_NAME=name)
        return run(os.path.join(self.control, name), *args, env=env)

    def start(self):
        """Starts the journal and the user manager; waits until it answers."""
        # With no cgroup namespace the manager makes its groups at the top of
        # the machine's hierarchies; those it makes are removed in stop().
        self.new_groups = [g for g in glob.glob("/sys/fs/cgroup/*/") if not os.path.exists(g + "init.scope")]
        self.processes.append(subprocess.Popen(["/lib/systemd/systemd-journald"], stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        harness.wait_until(lambda: os.path.exists("/run/systemd/journal/socket"), 10, "journald did not start")
        self.manager = subprocess.Popen(["/lib/systemd/systemd", "--user", "--log-target=journal"], env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        self.processes.append(self.manager)
        harness.wait_until(lambda: self.systemctl("is-system-running", check=False).stdout.strip()
                           in ("running", "degraded"), 20, "the user manager did not come up")

    def systemctl(self, *args, check=True):
        return run("systemctl", "--user", *args, env=self.env, check=check)

    def show(self, prop, unit=UNIT):
        return self.systemctl("show", "-P", prop, unit).stdout.strip()

    def login(self):
        """What a desktop does: hands its display to the manager, starts its session."""
        run("systemctl", "--user", "import-environment", "DISPLAY", env=dict(self.env, DISPLAY=DISPLAY))
        self.systemctl("start", SESSION)

    def logout(self):
        self.systemctl("stop", SESSION)

    def launches(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return [line.rstrip("\n").split("|") for line in f]

    def plug(self, name="ttyACM0"):
        """A device appears: its sysfs entry and its node, a fresh pty behind it."""
        line = harness.PtyLine()
        entry = os.path.join(self.sys, name)
        os.makedirs(entry)
        os.symlink("../../../1-1:1.0", os.path.join(entry, "device"))
        os.symlink(line.slave, os.path.join("/dev", name))
        return line

    def unplug(self, line, name="ttyACM0"):
        """The device goes: the line hangs up, its entry and node disappear."""
        line.hangup()
        os.remove(os.path.join("/dev", name))
        shutil.rmtree(os.path.join(self.sys, name))

    def journal(self):
        out = run("journalctl", "--no-pager", "-o", "json", "--directory", self._journal_dir()).stdout
        return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

    def _journal_dir(self):
        base = "/run/log/journal"
        names = os.listdir(base)
        return os.path.join(base, names[0]) if len(names) == 1 else base

    def stop(self):
        if self.manager:
            self.systemctl("exit", check=False)
        for process in reversed(self.processes):
            if process is not self.manager:
                process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for _, _, pid in self.launches():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        for group in getattr(self, "new_groups", []):
            try:
                os.rmdir(group + "init.scope")
            except OSError:
                pass
        for target in ("/run", "/var/log", "/var/lib/systemd", "/etc/systemd/user", "/usr"):
            run("umount", "-l", target, check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split()[2] != "Z"
    except FileNotFoundError:
        return False


def wait_for_launches(manager, count, timeout=15):
    return harness.wait_until(lambda: len(manager.launches()) >= count and manager.launches(), timeout,
                              f"no launch number {count}; launches: {manager.launches()}")


