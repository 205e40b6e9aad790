#!/usr/bin/env bash
# Instructions per SetUpgradingProgressBar call, counted by callgrind inside a
# simulated device root.
#   bench/progress/run.sh BUILD_DIR [N]
# BUILD_DIR is a host build tree holding sim/simdev and bench/progress/bench_progress.
set -euo pipefail
build=$(realpath "${1:?usage: run.sh BUILD_DIR [N]}")
n=${2:-50}
src=$(realpath "$(dirname "$0")/../..")
root=$(mktemp -d /tmp/bench-progress.XXXXXX)
trap 'rm -rf "$root"' EXIT

"${SIMDEV:-$build/sim/simdev}" run --root "$root/phone" --fresh --keep --bind "$src" --bind "$build" --bind /usr/bin -- \
  /usr/bin/valgrind --tool=callgrind --callgrind-out-file=/tmp/callgrind.out \
  --toggle-collect='progress_updates(CBasicUI&, int)' \
  "$build/bench/progress/bench_progress" "$n" >"$root/log" 2>&1 || { cat "$root/log"; exit 1; }
total=$(grep -E '^(summary|totals):' "$root/phone/tmp/callgrind.out" | head -1 | awk '{print $2}')
echo "$n updates, $total instructions, $((total / n)) instructions per update"
callgrind_annotate "$root/phone/tmp/callgrind.out" 2>/dev/null | sed -n '1,40p' | grep -E '^ *[0-9,]+ ' | head -15 || true
