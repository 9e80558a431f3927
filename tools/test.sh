#!/bin/bash
# The whole test suite, from a fresh machine: installs what is missing,
# builds the Windows .exe and its unit tests, then builds and tests the native
# build (unit, platform and end-to-end tests, Wine included) and the
# sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

jobs=$(nproc)
cmake --preset windows
cmake --build --preset windows -j "$jobs"

for preset in native sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done
