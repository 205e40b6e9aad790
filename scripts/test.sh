#!/usr/bin/env bash
# Sets the machine up, builds the host, asan and mipsel presets and runs
# every test of each (the mipsel ones under qemu-user). Stops at the first
# preset that fails, so the last CTest summary printed is the one that counts.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

for preset in host asan mipsel; do
  echo "=== build: $preset"
  cmake --preset "$preset" > "build-$preset.configure.log" 2>&1 || { cat "build-$preset.configure.log"; exit 1; }
  rm -f "build-$preset.configure.log"
  cmake --build --preset "$preset" -j "$jobs"
done

if [ -f scripts/fuzz.sh ]; then
  echo "=== fuzz (bounded runs)"
  bash scripts/fuzz.sh --smoke
fi

for preset in host asan mipsel; do
  echo "=== test: $preset"
  ctest --preset "$preset" -j "$jobs" --timeout 900
done
# The benchmark's table reports this run's wall time.
echo "$SECONDS seconds, $(git rev-parse --short HEAD 2>/dev/null)" > build/test-wall-time
