#!/usr/bin/env bash
# Installs everything the build, the tests and the simulator need, from Debian
# packages, and registers qemu-user for mipsel binaries. Safe to run twice.
set -euo pipefail

# Every simulated phone runs in a user namespace of its own (docs/simulator.md,
# "Confinement"). Root can always make one; a normal user only where the
# kernel lets unprivileged users do so. Said first, before anything is built.
userns_off=""
for knob in /proc/sys/kernel/unprivileged_userns_clone /proc/sys/user/max_user_namespaces \
            /proc/sys/kernel/apparmor_restrict_unprivileged_userns; do
  [ -r "$knob" ] || continue
  value=$(cat "$knob")
  case "$knob" in
    *apparmor*) [ "$value" = 0 ] || userns_off="$knob = $value" ;;
    *) [ "$value" != 0 ] || userns_off="$knob = 0" ;;
  esac
done
if [ -n "$userns_off" ]; then
  echo "setup: unprivileged user namespaces are switched off on this machine ($userns_off):" \
       "the simulator and the tests run here only as root. To run them as a normal user, switch them on" \
       "(sysctl kernel.unprivileged_userns_clone=1, user.max_user_namespaces above 0," \
       "kernel.apparmor_restrict_unprivileged_userns=0)." >&2
fi

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

# FUSE inside a phone's user namespace: the mapped ids open /dev/fuse
# themselves (Debian's udev rule makes it 0666; a machine without udev keeps
# the kernel's 0600).
if [ -c /dev/fuse ] && [ "$(id -u)" = 0 ] && [ "$(stat -c %a /dev/fuse)" != 666 ]; then
  chmod 0666 /dev/fuse
fi

# The real-kernel tier (docs/simulator.md, "On a real kernel"): qemu-system-mips
# on the host, and Debian's mipsel Malta kernel, static busybox and static
# libfuse3 unpacked (never installed) into build/kernel-cache. A machine where
# this cannot be had still builds and runs every other test.
bash "$(dirname "$0")/kernel-cache.sh" || echo "setup: the real-kernel tier is not available (see above); its tests will be skipped"
