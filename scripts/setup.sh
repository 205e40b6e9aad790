#!/usr/bin/env bash
# Installs everything the build, the tests and the simulator need, from Debian
# packages, and registers qemu-user for mipsel binaries. Safe to run twice.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  g++-mipsel-linux-gnu libc6-dev-mipsel-cross
  qemu-user-static
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  busybox-static
  fuse3 libfuse3-dev
  faketime libfaketime
  libpng-dev
  nlohmann-json3-dev libssl-dev
  nettle-dev libgmp-dev
  valgrind
  fonts-terminus xfonts-base
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# qemu-user through binfmt_misc. The static interpreter with the F flag is
# opened at registration time, so mipsel binaries also run inside a chroot.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
interp=/usr/bin/qemu-mipsel-static
entry="$binfmt/qemu-mipsel"
if [ -e "$entry" ] && ! { grep -q "interpreter $interp" "$entry" && grep -q '^flags: .*F' "$entry"; }; then
  echo -1 > "$entry"
fi
if [ ! -e "$entry" ]; then
  magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08\x00'
  mask='\xff\xff\xff\xff\xff\xff\xff\x00\xfe\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':qemu-mipsel:M::%s:%s:%s:F' "$magic" "$mask" "$interp" > "$binfmt/register"
fi
grep -q enabled "$entry"

# The static mipsel libraries the phone's program links (nettle, gmp),
# unpacked into build/mipsel-libs, never installed.
bash "$(dirname "$0")/mipsel-libs.sh"

# The real-kernel tier (docs/simulator.md, "On a real kernel"): qemu-system-mips
# on the host, and Debian's mipsel Malta kernel, static busybox and static
# libfuse3 unpacked (never installed) into build/kernel-cache. A machine where
# this cannot be had still builds and runs every other test.
bash "$(dirname "$0")/kernel-cache.sh" || echo "setup: the real-kernel tier is not available (see above); its tests will be skipped"
