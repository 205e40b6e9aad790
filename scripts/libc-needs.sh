#!/usr/bin/env bash
# What the phone's program needs of the libraries it is linked with: the
# undefined symbols of the mipsel program linked against the shared
# libraries (build/mipsel/bin/upgrader_dynamic: the objects of the static
# program), one a line, grouped by what provides them. docs/libc-needs.txt
# is its output, for a maintainer to check against the phone's uClibc.
#
#   scripts/libc-needs.sh build/mipsel/bin/upgrader_dynamic [--check FILE]
#
# With --check, fails (and shows the difference) when FILE is not the list.
set -euo pipefail
export LC_ALL=C
program=${1:?usage: libc-needs.sh UPGRADER_DYNAMIC [--check FILE]}
nm=${NM:-mipsel-linux-gnu-nm}

# "name@VERSION" lines of the strong undefined symbols.
symbols=$("$nm" -D --undefined-only "$program" | awk '$1 == "U" { print $2 }')
[ -n "$symbols" ] || { echo "libc-needs: no undefined symbols in $program" >&2; exit 1; }

group() {
  echo "$symbols" | grep -E "$1" | sed 's/@.*//' | sort
}

list() {
  echo "# What build/mipsel/bin/upgrader needs of the libraries it links statically,"
  echo "# from the undefined symbols of upgrader_dynamic (scripts/libc-needs.sh)."
  echo "# C library (glibc here; names as glibc spells them, e.g. open64 for open"
  echo "# with 64-bit file offsets and __isoc99_sscanf for sscanf). Nettle and GMP,"
  echo "# linked from Debian's mipsel archive for the release signature check, are"
  echo "# not in the list; what they need of the C library is what nm -D shows of"
  echo "# build/mipsel-libs' libnettle.so.8 and libgmp.so.10:"
  # glibc also exports the 64-bit division helpers; they are libgcc's.
  group '@GLIBC_' | grep -vE '^__(u?div|u?mod)di3$'
  echo "# C++ runtime (libstdc++ of the compiler):"
  group '@(GLIBCXX|CXXABI)_'
  echo "# compiler support (libgcc):"
  { group '@GCC_'; group '@GLIBC_' | grep -E '^__(u?div|u?mod)di3$'; } | sort
}

if [ "${2:-}" = --check ]; then
  file=${3:?--check needs a FILE}
  diff -u "$file" <(list) || { echo "libc-needs: $file is not the program's list; write it again with $0 $program > $file" >&2; exit 1; }
else
  list
fi
