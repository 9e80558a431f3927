#!/bin/bash
# Shows a whole recognition on a machine with no serial hardware: builds the
# service, plays a device on a pseudo-terminal ("1", a pause, "2", "1"), and
# runs the unmodified service in a private namespace where that pty is the
# only serial port, /dev/ttyACM0 (COM65). The service's trace is shown live.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

say() { printf 'demo: %s\n' "$*"; }

bash tools/setup.sh service
cmake --preset service >/dev/null
cmake --build --preset service -j "$(nproc)" --target tandrel-service tandrel-virtual-device >/dev/null
build="$root/build/service"

if ! errors=$("$root/tests/e2e/private-dev.sh" -- true 2>&1); then
  say "private mount namespaces cannot be had here, so the service cannot be shown a virtual port:"
  say "$errors"
  say "run this as root, or where the kernel allows unprivileged user namespaces"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A /sys/class/tty with one USB modem-like entry.
mkdir -p "$work/sys/ttyACM0"
ln -s ../../../1-1:1.0 "$work/sys/ttyACM0/device"

# The real xdg-open on a desktop; elsewhere a stand-in that notes the folder.
service_path="$PATH"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || ! command -v xdg-open >/dev/null; then
  mkdir "$work/bin"
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" > "%s/opened"\n' "$work" > "$work/bin/xdg-open"
  chmod +x "$work/bin/xdg-open"
  service_path="$work/bin:$PATH"
  say "no desktop session here: a stand-in xdg-open will say what would have been opened"
fi

# The device waits until the service has set up the line, then plays.
coproc DEVICE { exec "$build/tandrel-virtual-device" configured 1 1500ms 2 1; }
read -r slave <&"${DEVICE[0]}"
say "the virtual device is $slave, seen by the service as /dev/ttyACM0; it sends 1, waits 1.5 s, then sends 2 and 1"
echo

status=0
"$root/tests/e2e/private-dev.sh" --sys-class-tty "$work/sys" --link "ttyACM0=$slave" -- \
  /usr/bin/env PATH="$service_path" "$build/tandrel-service" || status=$?
exec {DEVICE[1]}>&-
wait "$DEVICE_PID" 2>/dev/null || true

echo
say "the service ended with exit status $status"
if [ -f "$work/opened" ]; then
  say "the stand-in xdg-open was asked to open: $(cat "$work/opened")"
fi
exit "$status"
