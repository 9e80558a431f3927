#!/bin/bash
# Builds what the benchmarks need (optimised) and prints the table of figures
# and goals. `bench/run.sh --short` runs each measure once, briefly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash tools/setup.sh
jobs=$(nproc)
for preset in windows bench; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
done
python3 bench/report.py --build build/bench --windows-build build/windows "$@"
