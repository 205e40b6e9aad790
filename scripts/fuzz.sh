#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan, UBSan) and runs
# each executable named fuzz_* for a bounded time on a copy of its seed
# corpus tests/fuzz/corpus/<name without fuzz_>. Any crash, leak or
# sanitizer report fails the run; the reproducer is kept outside the tree.
#
#   bash scripts/fuzz.sh --smoke         about 20 s per target
#   bash scripts/fuzz.sh [SECONDS]       longer runs (default 300 s per target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
case "${1:-}" in
  --smoke) seconds=20 ;;
  "") ;;
  *[!0-9]*) echo "usage: bash scripts/fuzz.sh [--smoke | SECONDS]" >&2; exit 2 ;;
  *) seconds=$1 ;;
esac

build=build/fuzz
mkdir -p build
cmake --preset fuzz > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
rm -f "$build.configure.log"
targets=$(ninja -C "$build" -t targets all | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): .*/\1/p' | sort -u)
if [ -z "$targets" ]; then
  echo "fuzz: no fuzz_* targets declared"
  exit 0
fi
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $targets

# Corpora and findings of this run stay in the build tree.
mkdir -p "$build/fuzz-work"
work=$(mktemp -d "$build/fuzz-work/run.XXXXXX")
failed=()
for name in $targets; do
  exe=$(find "$build" -type f -name "$name" -perm -u+x | head -n 1)
  [ -n "$exe" ] || { echo "fuzz: $name was not built"; failed+=("$name"); continue; }
  corpus="$work/$name/corpus"
  mkdir -p "$corpus" "$work/$name/artifacts"
  seeds="tests/fuzz/corpus/${name#fuzz_}"
  if [ -d "$seeds" ]; then cp -R "$seeds/." "$corpus/"; fi
  echo "=== $name: ${seconds}s"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     "$exe" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/$name/artifacts/" "$corpus" > "$work/$name/log" 2>&1; then
    tail -n 12 "$work/$name/log" | grep -E '^(stat::number_of_executed_units|Done|#)' | tail -n 2 || true
  else
    echo "fuzz: $name FAILED; last lines of its log:"
    tail -n 60 "$work/$name/log"
    ls -l "$work/$name/artifacts/"
    failed+=("$name")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]} (inputs kept in $work)"
  exit 1
fi
rm -rf "$work"
echo "fuzz: every target ran clean"
