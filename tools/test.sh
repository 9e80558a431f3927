#!/bin/bash
# The whole test suite, from a fresh machine: installs what is missing,
# builds the Windows build with its unit tests and the packages (.deb, .tar.gz,
# .zip), then builds and tests the native build (unit, platform, end-to-end
# and package tests, Wine and a contained systemd user manager included) and
# the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

jobs=$(nproc)
export CMAKE_BUILD_PARALLEL_LEVEL="$jobs"
cmake --workflow --preset package-windows
cmake --workflow --preset package

for preset in native sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done
