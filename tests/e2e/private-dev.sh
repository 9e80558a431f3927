#!/bin/bash
# Runs a command in a private mount namespace whose /dev holds no serial
# device at all, only what programs need (null, zero, random, urandom, tty,
# ptmx, pts, fresh shm), and optionally whose /sys/class/tty is a given fixture tree:
#
#   private-dev.sh [--sys-class-tty DIR] [--link NAME=TARGET]... -- COMMAND...
#
# --link makes /dev/NAME a symlink to TARGET (a pty slave, for instance).
# Nothing outside the namespace is changed. Runs as root, or in an
# unprivileged user namespace where the kernel allows them.
set -euo pipefail

if [ "${TANDREL_IN_PRIVATE_DEV:-}" != 1 ]; then
  export TANDREL_IN_PRIVATE_DEV=1
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --mount --propagation private "$0" "$@"
  fi
  # Elsewhere a user namespace, where the kernel allows unprivileged ones.
  exec unshare --user --map-root-user --mount --propagation private "$0" "$@"
fi
unset TANDREL_IN_PRIVATE_DEV

sys_class_tty=""
links=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sys-class-tty) sys_class_tty="$2"; shift 2 ;;
    --link) links+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "private-dev.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# Keep handles on the real nodes before /dev is covered.
real=$(mktemp -d)
mount -t tmpfs -o mode=755 tandrel-real "$real"
for node in null zero random urandom tty; do
  touch "$real/$node"
  mount --bind "/dev/$node" "$real/$node"
done
mkdir "$real/pts"
mount --bind /dev/pts "$real/pts"

mount -t tmpfs -o mode=755 tandrel-dev /dev
for node in null zero random urandom tty; do
  touch "/dev/$node"
  mount --bind "$real/$node" "/dev/$node"
done
mkdir /dev/pts /dev/shm
mount --bind "$real/pts" /dev/pts
# A ptmx node only finds its devpts instance beside it on the real /dev.
ln -s pts/ptmx /dev/ptmx
mount -t tmpfs -o mode=1777 tandrel-shm /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount -l "$real" && rmdir "$real"

for link in "${links[@]}"; do
  ln -s "${link#*=}" "/dev/${link%%=*}"
done

if [ -n "$sys_class_tty" ]; then
  mount --bind "$sys_class_tty" /sys/class/tty
fi

exec "$@"
