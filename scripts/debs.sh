# Sourced by the scripts that fetch mipsel packages from Debian's archive
# into the build tree: they are downloaded and unpacked, never installed.
# A tree is built beside its place ($dest.new) and moved there only once it
# is complete, so a failed download leaves the last good tree as it was.

# Debian's mipsel archive in apt's lists.
debs_foreign_arch() {
  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    dpkg --add-architecture mipsel
    apt-get update
  fi
}

# Whether DEST holds a finished tree of STAMP (the package versions).
debs_ready() {
  [ -f "$1/READY" ] && [ "$(cat "$1/READY")" = "$2" ]
}

# Downloads PKG... and unpacks them into DEST.new/root (the .debs stay in
# DEST.new/debs); once more after apt-get update when the lists are stale.
debs_unpack() {
  local next="$1.new" deb
  shift
  rm -rf "$next"
  mkdir -p "$next/debs" "$next/root"
  (cd "$next/debs" && apt-get download "$@") || { apt-get update && (cd "$next/debs" && apt-get download "$@"); }
  for deb in "$next"/debs/*.deb; do dpkg-deb -x "$deb" "$next/root"; done
}

# Puts the finished DEST.new in DEST's place, stamped STAMP.
debs_commit() {
  echo "$2" > "$1.new/READY"
  rm -rf "$1"
  mv "$1.new" "$1"
}
