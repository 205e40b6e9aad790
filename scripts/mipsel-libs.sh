#!/usr/bin/env bash
# Fetches the mipsel libraries the phone's program links (nettle's Ed25519
# and SHA-256 with GMP under them: static, and shared for the variant that
# measures the program's own size) from Debian's archive into
# build/mipsel-libs (or $1): downloaded and unpacked, never installed. Safe to
# run twice; a finished tree is kept until the package versions change.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=$(realpath -m "${1:-build/mipsel-libs}")
packages=(nettle-dev:mipsel libgmp-dev:mipsel libnettle8:mipsel libhogweed6:mipsel libgmp10:mipsel)
export DEBIAN_FRONTEND=noninteractive
source scripts/debs.sh

debs_foreign_arch
want=$(apt-cache policy "${packages[@]}" | sed -n 's/^ *Candidate: //p' | tr '\n' ' ')
if debs_ready "$dest" "$want"; then
  echo "mipsel-libs: $dest ready"
  exit 0
fi
debs_unpack "$dest" "${packages[@]}"
lib="$dest.new/root/usr/lib/mipsel-linux-gnu"
[ -f "$lib/libhogweed.a" ] && [ -f "$lib/libnettle.a" ] && [ -f "$lib/libgmp.a" ] && [ -e "$lib/libgmp.so" ] || {
  echo "mipsel-libs: the unpacked packages lack nettle's or GMP's libraries" >&2
  exit 1
}
debs_commit "$dest" "$want"
echo "mipsel-libs: nettle and gmp ready in $dest"
