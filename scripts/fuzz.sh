#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan, UBSan) and runs
# each executable named fuzz_* for a bounded time on a copy of its seed
# corpus tests/fuzz/corpus/<name without fuzz_>. Any crash, leak or
# sanitizer report fails the run; the reproducer is kept outside the tree.
# Targets that use the phone's fixed paths or run commands run inside a
# simulated root (simdev of the host build), never on the host's files.
#
#   bash scripts/fuzz.sh --smoke         about 10 s per target (inside the test command)
#   bash scripts/fuzz.sh [SECONDS]       longer runs (default 300 s per target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
case "${1:-}" in
  --smoke) seconds=10 ;;
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

# Targets that touch /var/ipc, /dev/input, /tmp or run a shell.
sandboxed=" fuzz_ipc_listen fuzz_keypad fuzz_layout fuzz_set_env "
simdev=build/host/sim/simdev
if [ ! -x "$simdev" ]; then
  cmake --preset host > build/host.configure.log 2>&1 || { cat build/host.configure.log; exit 1; }
  cmake --build build/host -j "$(nproc)" --target simdev
fi

# Inputs larger than libFuzzer's default of 4096 bytes where the format has them.
max_len_of() {
  case "$1" in
    fuzz_rom_check) echo 65536 ;;
    fuzz_profile) echo $((0x28000 + 64)) ;;
    *) echo 4096 ;;
  esac
}

# Corpora and findings of this run stay in the build tree.
mkdir -p "$build/fuzz-work"
work=$(mktemp -d "$build/fuzz-work/run.XXXXXX")
failed=()
for name in $targets; do
  exe=$(find "$build" -type f -name "$name" -perm -u+x | head -n 1)
  [ -n "$exe" ] || { echo "fuzz: $name was not built"; failed+=("$name"); continue; }
  dir="$work/$name"
  run=()
  if [[ "$sandboxed" == *" $name "* ]]; then
    # The root is made under the work folder; inside it the folder is /fuzz.
    "$simdev" mkroot --fresh "$dir/root" > /dev/null
    dir="$dir/root/fuzz"
    run=("$simdev" run --root "$work/$name/root" --bind "$PWD/$build"
         --env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 --env UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 --)
    inside=/fuzz
  else
    inside="$dir"
  fi
  corpus="$dir/corpus"
  mkdir -p "$corpus" "$dir/artifacts" "$dir/tmp"
  seeds="tests/fuzz/corpus/${name#fuzz_}"
  if [ -d "$seeds" ]; then cp -R "$seeds/." "$corpus/"; fi
  if [ "$name" = fuzz_profile ]; then
    # One file past the loader's size cap, made here rather than kept in git.
    { printf 'Version RomVersion\n[Version]\n'; head -c $((0x28000)) /dev/zero | tr '\0' 'x'; printf '\nRomVersion = 1\n'; } \
      > "$corpus/past_the_size_cap"
  fi
  echo "=== $name: ${seconds}s"
  if TMPDIR="$dir/tmp" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     "${run[@]}" "$PWD/$exe" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
       -max_len="$(max_len_of "$name")" -artifact_prefix="$inside/artifacts/" "$inside/corpus" \
       > "$work/$name/log" 2>&1; then
    tail -n 12 "$work/$name/log" | grep -E '^(stat::number_of_executed_units|Done|#)' | tail -n 2 || true
  else
    echo "fuzz: $name FAILED; last lines of its log:"
    tail -n 60 "$work/$name/log"
    ls -l "$dir/artifacts/"
    failed+=("$name")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]} (inputs kept in $work)"
  exit 1
fi
rm -rf "$work"
echo "fuzz: every target ran clean"
