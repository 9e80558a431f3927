"""Reaction and start-up of the Windows build under Wine, against a pty
standing in for COM5. Prints one JSON object per measure, like the Linux
service benchmark. Runs itself in a private namespace with a throwaway prefix.

  wine_bench.py --exe PATH [--short]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402
from harness import LineReader  # noqa: E402
from wine import WinePrefix  # noqa: E402


def summarise(name, values):
    values = sorted(values)
    at = lambda q: values[round(q * (len(values) - 1))]  # noqa: E731
    return {"measure": name, "unit": "ms", "median": statistics.median(values), "p99": at(0.99),
            "min": values[0], "max": values[-1], "rounds": len(values)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--short", action="store_true")
    args = parser.parse_args()
    rounds = 1 if args.short else 10

    prefix = WinePrefix()
    work = tempfile.mkdtemp(prefix="tandrel-wine-bench-")
    # COM5 is pinned once to a link that each round points at a fresh pty.
    link = os.path.join(work, "com5")
    prefix.pin_ports({"COM5": link})
    reaction, startup = [], []
    try:
        for _ in range(rounds):
            master, slave = os.openpty()
            slave_path = os.ttyname(slave)
            os.close(slave)
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(slave_path, link)
            os.write(master, b"2")  # queued, so the first read returns at once
            started = time.monotonic()
            process = subprocess.Popen(["wine", args.exe], cwd=work, env=prefix.env(), stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            output = LineReader(process.stdout)
            output.wait_for(harness.outcount(0, 0), timeout=60)
            startup.append((output.times[-1] - started) * 1000)
            os.write(master, b"12")
            output.wait_for(harness.outcount(1, 1), timeout=10)
            sent = time.monotonic()
            os.write(master, b"1")
            output.wait_for(harness.SECOND, timeout=10)
            reaction.append((output.times[-1] - sent) * 1000)
            process.wait(timeout=60)
            process.stdout.close()
            os.close(master)
    finally:
        prefix.close()
    print(json.dumps(summarise("Wine: reaction, completing byte to recognition line", reaction)), flush=True)
    print(json.dumps(summarise("Wine: start-up, wine started to first read", startup)), flush=True)


if __name__ == "__main__":
    if os.environ.get("TANDREL_WINE_NAMESPACE") != "1":
        harness.require_namespaces()
        os.environ["TANDREL_WINE_NAMESPACE"] = "1"
        os.execv(harness.PRIVATE_DEV, [harness.PRIVATE_DEV, "--", sys.executable, os.path.abspath(__file__),
                                       *sys.argv[1:]])
    main()
