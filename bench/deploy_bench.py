"""The service as packaged: its user unit under a contained systemd user
manager (the .deb's own files), and the Windows launcher under Wine. Prints
one JSON object per measure, like the other benchmarks.

  deploy_bench.py --deb PATH --windows-build DIR [--short]

Blind time: from the completing byte of a pattern (the recognition line
follows it within a fraction of a millisecond) to the moment the next run has
set up the line, just before its first read. The no-device loop: with the
device unplugged, runs per second and the CPU time they and the manager take.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402
import usermanager  # noqa: E402
from wine import WinePrefix  # noqa: E402

PATTERN = b"121"


def summarise(name, values, unit="ms"):
    values = sorted(values)
    at = lambda q: values[round(q * (len(values) - 1))]  # noqa: E731
    return {"measure": name, "unit": unit, "median": statistics.median(values), "p99": at(0.99),
            "min": values[0], "max": values[-1], "rounds": len(values)}


def blind_times(line, launches, rounds, timeout=30):
    """Plays `rounds` patterns; `launches()` counts the launches seen so far."""
    times = []
    line.wait_configured(timeout=timeout)
    for _ in range(rounds):
        before = launches()
        line.send(PATTERN)
        sent = time.monotonic()
        harness.wait_until(lambda: launches() > before, timeout, "no launch")
        line.unconfigure()
        times.append((line.wait_configured(timeout=timeout) - sent) * 1000)
    return times


CPUACCT = "/sys/fs/cgroup/cpuacct"


class CpuMeter:
    """CPU time of this process and all it starts (the manager, the journal,
    every run of the service), from a cpuacct group of its own: exact to the
    nanosecond, where /proc counts in clock ticks."""

    def __init__(self):
        self.group = os.path.join(CPUACCT, f"tandrel-bench-{os.getpid()}")
        os.makedirs(self.group)
        with open(os.path.join(self.group, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))

    def seconds(self):
        with open(os.path.join(self.group, "cpuacct.usage")) as f:
            return int(f.read()) / 1e9

    def close(self):
        with open(os.path.join(CPUACCT, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
        os.rmdir(self.group)


def linux(deb, short):
    manager = usermanager.UserManager(deb)
    meter = CpuMeter()
    rows = []
    try:
        line = manager.plug()
        manager.start()
        manager.login()
        times = blind_times(line, lambda: len(manager.launches()), 2 if short else 10)
        rows.append(summarise("blind time after a launch: Linux user unit", times))

        manager.unplug(line)
        time.sleep(2)  # the run that saw the hang-up is over
        restarts = int(manager.show("NRestarts"))
        cpu = meter.seconds()
        start = time.monotonic()
        time.sleep(5 if short else 30)
        elapsed = time.monotonic() - start
        runs = int(manager.show("NRestarts")) - restarts
        cpu = meter.seconds() - cpu
        rows.append({"measure": "no-device loop: runs per second (Linux user unit)", "unit": "/s",
                     "value": runs / elapsed})
        rows.append({"measure": "no-device loop: CPU share of one core (service runs, user manager, journal)",
                     "unit": "%", "value": 100 * cpu / elapsed})
        rows.append({"measure": "no-device loop: CPU time per run", "unit": "ms",
                     "value": 1000 * cpu / max(runs, 1)})
    finally:
        manager.stop()
        meter.close()
    return rows


def wine(windows_build, short):
    prefix = WinePrefix(start_recorder=os.path.join(windows_build, "tests", "tandrel-record-start.exe"))
    folder = prefix.path + "-installed"
    os.makedirs(folder)
    for exe in ("tandrel-service.exe", "tandrel-launcher.exe"):
        shutil.copy(os.path.join(windows_build, exe), folder)
    line = harness.PtyLine()
    try:
        prefix.pin_ports({"COM5": line.slave})
        subprocess.Popen(["wine", os.path.join(folder, "tandrel-launcher.exe")], env=prefix.env(),
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        explorer = lambda: sum(1 for s in prefix.starts() if len(s) == 3 and s[1] == "explorer")  # noqa: E731
        times = blind_times(line, explorer, 2 if short else 5, timeout=60)
        return [summarise("blind time after a launch: Windows launcher under Wine", times)]
    finally:
        line.hangup()
        prefix.close()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--deb", required=True)
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--short", action="store_true")
    args = parser.parse_args()
    for row in linux(args.deb, args.short) + wine(args.windows_build, args.short):
        print(json.dumps(row), flush=True)


if __name__ == "__main__":
    usermanager.contained(__file__, sys.argv[1:])
    main()
