#!/bin/bash
# Installs the Debian packages that are missing, when any is. Safe to run again.
#   setup.sh          everything: builds, tests, benchmarks
#   setup.sh service  only what building the service and the demonstration needs
set -euo pipefail

packages=(cmake make g++ util-linux)  # native build; unshare for the namespaces
if [ "${1:-all}" != service ]; then
  packages+=(
    libgtest-dev libbenchmark-dev  # tests, benchmarks
    g++-mingw-w64-x86-64           # the Windows build
    wine wine64                    # runs the Windows build in the tests
    python3                        # end-to-end harness
    dpkg-dev lintian unzip         # the packages: shlibdeps, checks
    systemd man-db                 # the contained user manager of the unit's tests
  )
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
