#!/bin/bash
# Builds what the benchmarks need (optimised) and prints the table of figures
# and goals. `bench/run.sh --short` runs each measure once, briefly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash tools/setup.sh
jobs=$(nproc)
export CMAKE_BUILD_PARALLEL_LEVEL="$jobs"
for workflow in package-windows package; do
  cmake --workflow --preset "$workflow" >/dev/null
done
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$jobs" >/dev/null
python3 bench/report.py --build build/bench --windows-build build/windows --packages build/packages "$@"
