#!/usr/bin/env bash
# Fetches what the real-kernel tier boots, from Debian's archive, into
# build/kernel-cache (or $1): the mipsel Malta kernel and its modules,
# busybox-static and libfuse3's static library for mipsel. Nothing mipsel is
# installed into the host: the packages are downloaded and unpacked. Safe to
# run twice; a finished cache is kept until the kernel package changes.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=$(realpath -m "${1:-build/kernel-cache}")
export DEBIAN_FRONTEND=noninteractive
source scripts/debs.sh

if ! command -v qemu-system-mipsel >/dev/null; then
  apt-get update
  apt-get install -y --no-install-recommends qemu-system-mips
fi
debs_foreign_arch

# The kernel package of the day: the meta package names it.
kernel_pkg=$(apt-cache depends linux-image-4kc-malta:mipsel 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-4kc-malta\).*/\1/p' | head -n 1)
if [ -z "$kernel_pkg" ]; then
  apt-get update
  kernel_pkg=$(apt-cache depends linux-image-4kc-malta:mipsel |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-4kc-malta\).*/\1/p' | head -n 1)
fi
[ -n "$kernel_pkg" ] || { echo "kernel-cache: no linux-image-*-4kc-malta:mipsel in the archive" >&2; exit 1; }

if debs_ready "$cache" "$kernel_pkg"; then
  echo "kernel-cache: $cache holds $kernel_pkg"
  exit 0
fi
debs_unpack "$cache" "$kernel_pkg:mipsel" busybox-static:mipsel libfuse3-dev:mipsel

next="$cache.new"
vmlinuz=$(find "$next/root/boot" -name "vmlinuz-*" | head -n 1)
release=$(find "$next/root/lib/modules" -mindepth 1 -maxdepth 1 -printf "%f\n" | head -n 1)
[ -n "$vmlinuz" ] && [ -x "$next/root/bin/busybox" ] && [ -f "$next/root/usr/lib/mipsel-linux-gnu/libfuse3.a" ] || {
  echo "kernel-cache: the unpacked packages lack the kernel, busybox or libfuse3.a" >&2
  exit 1
}
ln -sf "${vmlinuz#$next/}" "$next/kernel"
echo "$release" > "$next/release"
debs_commit "$cache" "$kernel_pkg"
echo "kernel-cache: $kernel_pkg ($release) ready in $cache"
