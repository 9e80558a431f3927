"""Runs every benchmark and prints one table, each figure beside its goal.

  report.py --build DIR --windows-build DIR --packages DIR [--short]

--short runs each measure once, briefly: a check that the benchmarks build
and run, whose figures mean little.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PRIVATE_DEV = os.path.join(HERE, "..", "tests", "e2e", "private-dev.sh")
IN_CI = os.environ.get("CI") == "true"


def json_lines(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit(f"report.py: {' '.join(command)} failed with {result.returncode}")
    return [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]


def detector(build, short):
    command = [os.path.join(build, "bench", "tandrel-detector-bench"), "--benchmark_format=json"]
    if short:
        command.append("--benchmark_min_time=0.01")
    result = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
    runs = {b["name"]: b["items_per_second"] for b in json.loads(result.stdout)["benchmarks"]}
    return [{"measure": "detector alone: samples per second, lines to a null sink", "unit": "/s",
             "value": runs["NullSink"]},
            {"measure": "detector alone: samples per second, lines to a pipe", "unit": "/s", "value": runs["Pipe"]}]


def sizes(build, windows_build):
    rows = []
    for label, path in (("footprint: Linux executable size", os.path.join(build, "tandrel-service")),
                        ("footprint: Windows .exe size (static)", os.path.join(windows_build, "tandrel-service.exe"))):
        if os.path.exists(path):
            rows.append({"measure": label, "unit": "KiB", "value": os.path.getsize(path) / 1024})
        else:
            rows.append({"measure": label, "missing": f"{path} is not built"})
    return rows


def wine(windows_build, short):
    exe = os.path.join(windows_build, "tandrel-service.exe")
    why = None
    if not shutil.which("wine"):
        why = "wine is not installed"
    elif not os.path.exists(exe):
        why = f"{exe} is not built"
    if why:
        if IN_CI:
            sys.exit(f"report.py: {why} (required in CI)")
        return [{"measure": "Wine figures", "missing": why}]
    return json_lines([sys.executable, os.path.join(HERE, "wine_bench.py"), "--exe", exe] + (["--short"] if short else []))


def deploy(packages, windows_build, short):
    deb = os.path.join(packages, "tandrel-service_0.1_amd64.deb")
    if not os.path.exists(deb):
        why = f"{deb} is not built (cmake --workflow --preset package)"
        if IN_CI:
            sys.exit(f"report.py: {why} (required in CI)")
        return [{"measure": "packaged figures", "missing": why}]
    return json_lines([sys.executable, os.path.join(HERE, "deploy_bench.py"), "--deb", deb,
                       "--windows-build", windows_build] + (["--short"] if short else []))


# Goals by measure: (text, test of a row).
GOALS = {
    "reaction: completing byte to recognition line": [
        ("median < 0.2 ms", lambda r: r["median"] < 0.2), ("p99 < 1 ms", lambda r: r["p99"] < 1)],
    "reaction: recognition line to launched program": [("all < 5 ms", lambda r: r["max"] < 5)],
    "start-up: process start to first read": [("median < 5 ms", lambda r: r["median"] < 5)],
    "waiting: CPU time, share of one core": [("< 0.05 %", lambda r: r["value"] < 0.05)],
    "waiting: wake-ups per second": [("<= 5 /s", lambda r: r["value"] <= 5.0)],
    "footprint: peak resident memory (Linux)": [("< 2048 KiB", lambda r: r["value"] < 2048)],
    "footprint: Windows .exe size (static)": [("< 512 KiB", lambda r: r["value"] < 512)],
    "throughput: samples per second through a pty, trace to a pipe": [(">= 500,000 /s", lambda r: r["value"] >= 5e5)],
    "throughput: samples lost or out of order": [("0", lambda r: r["value"] == 0)],
    "blind time after a launch: Linux user unit": [("median < 1500 ms", lambda r: r["median"] < 1500)],
    "no-device loop: runs per second (Linux user unit)": [("<= 1 /s", lambda r: r["value"] <= 1.0)],
    "no-device loop: CPU share of one core (service runs, user manager, journal)": [
        ("< 0.1 %", lambda r: r["value"] < 0.1)],
}


def figure(row):
    if "missing" in row:
        return "not measured: " + row["missing"]
    unit = row["unit"]
    fmt = (lambda v: f"{v:,.0f}") if unit in ("/s", "KiB") and row.get("value", 0) > 100 else (lambda v: f"{v:.3f}")
    if "median" in row:
        return (f"median {fmt(row['median'])} {unit}, p99 {fmt(row['p99'])}, "
                f"range {fmt(row['min'])} to {fmt(row['max'])} ({row['rounds']} rounds)")
    return f"{fmt(row['value'])} {unit}".strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--packages", required=True)
    parser.add_argument("--short", action="store_true")
    args = parser.parse_args()
    args.packages = os.path.abspath(args.packages)
    args.build = os.path.abspath(args.build)
    args.windows_build = os.path.abspath(args.windows_build)
    short = ["--short"] if args.short else []

    rows = detector(args.build, args.short)
    rows += json_lines([os.path.join(args.build, "bench", "tandrel-service-bench"),
                        "--service", os.path.join(args.build, "tandrel-service"), "--private-dev", PRIVATE_DEV] + short)
    rows += sizes(args.build, args.windows_build)
    rows += wine(args.windows_build, args.short)
    rows += deploy(args.packages, args.windows_build, args.short)

    print("| measure | figure | goal | met |")
    print("|---|---|---|---|")
    for row in rows:
        goals = GOALS.get(row["measure"], [])
        if "missing" in row or not goals:
            print(f"| {row['measure']} | {figure(row)} | {'; '.join(g for g, _ in goals) or '-'} | |")
            continue
        met = ["yes" if test(row) else "NO" for _, test in goals]
        print(f"| {row['measure']} | {figure(row)} | {'; '.join(g for g, _ in goals)} | {', '.join(met)} |")
    if args.short:
        print("\n(short mode: every measure ran once, briefly; the figures are not meaningful)")


if __name__ == "__main__":
    main()
