#!/usr/bin/env bash
# Installs from Debian packages what the build, the tests and the simulator
# need, and registers qemu-user for mipsel binaries. With --demo, only what
# scripts/demo.sh needs: the host build of the program, the simulator and
# romtool. Safe to run twice.
set -euo pipefail
cd "$(dirname "$0")/.."

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

# The demo: a host build of the program, simdev and romtool.
demo_packages=(
  build-essential cmake ninja-build pkg-config
  busybox-static                # the simulated phone's syslogd and reboot
  fuse3 libfuse3-dev            # the simulated phone's /proc and flash
  libpng-dev                    # the LCD frames as pictures
  nlohmann-json3-dev libssl-dev # the boot report's JSON and digests; romtool's signatures
  nettle-dev libgmp-dev         # the program's release signature check
)
# The test command adds: the test and benchmark frameworks, the mipsel cross
# build and qemu-user, clang for fuzzing, libfaketime, valgrind, the fonts the
# font generator reads.
test_packages=(
  git
  g++-mipsel-linux-gnu libc6-dev-mipsel-cross
  qemu-user-static
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  faketime libfaketime
  valgrind
  fonts-terminus xfonts-base
)

# Every simulated boot starts by making a user namespace, which the kernel
# refuses to a process inside a chroot (whatever is mounted there): in a
# plain chroot every boot and every test would fail, so say it before
# anything is installed or built.
check_boots_possible() {
  if [ ! -r /proc/self/mountinfo ]; then
    echo "setup: /proc is not mounted; the simulated phone needs it (mount -t proc proc /proc)" >&2
    return 1
  fi
  if [ "$(id -u)" = 0 ] && ! unshare --user true 2>/dev/null; then
    echo "setup: this process cannot make a user namespace (inside a chroot the kernel refuses one)." >&2
    echo "setup: every simulated boot would fail: run outside the chroot (in a container or on the machine itself)." >&2
    return 1
  fi
  # A phone's root becomes its mount namespace's root through open_tree and
  # move_mount (Linux 5.2).
  local release major minor
  release=$(uname -r)
  major=${release%%.*}
  minor=${release#*.}
  minor=${minor%%[!0-9]*}
  if [ "$major" -lt 5 ] || { [ "$major" = 5 ] && [ "${minor:-0}" -lt 2 ]; }; then
    echo "setup: Linux $release is too old for the simulated phone: it needs 5.2 or later (open_tree, move_mount)." >&2
    return 1
  fi
}

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ "${#missing[@]}" -eq 0 ]; then return 0; fi
  echo "setup: installing ${missing[*]} (and what they depend on)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# qemu-user through binfmt_misc. The static interpreter with the F flag is
# opened at registration time, so mipsel binaries also run inside a chroot.
register_qemu() {
  local binfmt=/proc/sys/fs/binfmt_misc interp=/usr/bin/qemu-mipsel-static
  local entry=/proc/sys/fs/binfmt_misc/qemu-mipsel magic mask
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ -e "$entry" ] && ! { grep -q "interpreter $interp" "$entry" && grep -q '^flags: .*F' "$entry"; }; then
    echo -1 > "$entry"
  fi
  if [ ! -e "$entry" ]; then
    magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08\x00'
    mask='\xff\xff\xff\xff\xff\xff\xff\x00\xfe\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':qemu-mipsel:M::%s:%s:%s:F' "$magic" "$mask" "$interp" > "$binfmt/register"
  fi
  grep -q enabled "$entry"
}

check_boots_possible
if [ "${1:-}" = --demo ]; then
  install_missing "${demo_packages[@]}"
  exit 0
fi
install_missing "${demo_packages[@]}" "${test_packages[@]}"
register_qemu

# The static mipsel libraries the phone's program links (nettle, gmp),
# unpacked into build/mipsel-libs, never installed.
bash scripts/mipsel-libs.sh

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
bash scripts/kernel-cache.sh || echo "setup: the real-kernel tier is not available (see above); its tests will be skipped"
