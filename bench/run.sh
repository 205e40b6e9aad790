#!/usr/bin/env bash
# What an upgrade costs, measured in one run, each figure next to its
# reference in the same run; the table goes to bench/results.md.
#
#   bash bench/run.sh [--smoke]
#
# --smoke: a 256 KiB image and short runs, a couple of minutes at most; the
# table goes to a temporary file (printed), never to bench/results.md. It
# checks only that every figure was produced: nothing here asserts a time.
#
# Environment: BENCH_HOST_DIR, BENCH_MIPSEL_DIR (default build/host and
# build/mipsel, the presets' trees), BENCH_NO_BUILD=1 (use what is built),
# BENCH_WALL_FILE (default build/test-wall-time: "SECONDS [note]" written by
# a timed run of scripts/test.sh), BENCH_OUT (the table's path).
# Needs root (simulated phones), valgrind, libfaketime, mipsel-linux-gnu-strip.
set -euo pipefail

src=$(realpath "$(dirname "$0")/..")
smoke=0
case "${1:-}" in
  --smoke) smoke=1 ;;
  "") ;;
  *) echo "usage: bash bench/run.sh [--smoke]" >&2; exit 2 ;;
esac

host=${BENCH_HOST_DIR:-$src/build/host}
mipsel=${BENCH_MIPSEL_DIR:-$src/build/mipsel}
wall_file=${BENCH_WALL_FILE:-$src/build/test-wall-time}
# Scratch files live in the build tree, never in the host's /tmp.
mkdir -p "$host/bench-work"
work=$(mktemp -d "$host/bench-work/run.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ "$smoke" = 1 ]; then
  out=${BENCH_OUT:-$work/results.md}
  image_bytes=$((256 * 1024))
  reps=1
  min_time=0.01
  progress_calls=5
else
  out=${BENCH_OUT:-$src/bench/results.md}
  image_bytes=$((8 * 1024 * 1024))
  reps=5
  min_time=0.5
  progress_calls=50
fi
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1

say() { echo "bench: $*" >&2; }

# ---------------------------------------------------------------- build
host_targets=(upgrader simdev shmwriter romtool bench_romcheck bench_profile bench_burn bench_burn_screen bench_progress bench_copies)
if [ "${BENCH_NO_BUILD:-0}" != 1 ]; then
  say "building the host tree $host"
  if [ ! -f "$host/CMakeCache.txt" ]; then
    if [ "$host" = "$src/build/host" ]; then
      (cd "$src" && cmake --preset host >/dev/null)
    else
      cmake -S "$src" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
  fi
  cmake --build "$host" --target "${host_targets[@]}" -j2 >"$work/build-host.log" 2>&1 ||
    { cat "$work/build-host.log"; exit 1; }
  # The sizes come from the target build; a smoke run takes whatever is built.
  if [ "$smoke" = 0 ]; then
    say "building the mipsel tree $mipsel"
    if [ ! -f "$mipsel/CMakeCache.txt" ]; then
      if [ "$mipsel" = "$src/build/mipsel" ]; then
        (cd "$src" && cmake --preset mipsel >/dev/null)
      else
        cmake -S "$src" -B "$mipsel" -G Ninja --toolchain "$src/cmake/mipsel-toolchain.cmake" \
          -DCMAKE_BUILD_TYPE=MinSizeRel -DUPG_HOST_TOOLS_DIR="$host" >/dev/null
      fi
    fi
    cmake --build "$mipsel" --target upgrader upgrader_dynamic upgrader_without_signatures bench_signature -j2 >"$work/build-mipsel.log" 2>&1 ||
      { cat "$work/build-mipsel.log"; exit 1; }
  fi
fi
simdev=$host/sim/simdev
romtool=$host/tools/romtool/romtool

# ---------------------------------------------------------------- table
rows=()
notes=()
# row FIGURE MEASURED REFERENCE RATIO GOAL STATUS
row() { rows+=("| $1 | $2 | $3 | $4 | $5 | $6 |"); }
note() { notes+=("- $*"); }
# ratio A B: A / B to two decimals
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# le A B: "met" when A <= B
le() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "met" : "missed" }'; }
lt() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? "met" : "missed" }'; }
ms() { awk -v t="$1" 'BEGIN { printf "%.2f ms", t }'; }
# Median real time (ms) of benchmark NAME in a Google Benchmark CSV file.
bm_ms() {
  awk -F, -v want="\"$2\"" -v want_med="\"$2_median\"" '
    ($1 == want_med || $1 == want) && $5 == "ms" { v = $3 } END { if (v != "") print v; else exit 1 }' "$1"
}
bm_args=(--benchmark_repetitions=$reps --benchmark_report_aggregates_only=true
         --benchmark_min_time=$min_time --benchmark_format=csv)

# ------------------------------------------- ROM check: checksums and whole
say "ROM check"
"$simdev" run --root "$work/romcheck" --fresh --bind "$host" -- "$host/bench/romcheck/bench_romcheck" \
  --benchmark_filter='^(PlainXor|CheckNoDevice|CheckNoDeviceQuiet|CheckOnDevice)$' "${bm_args[@]}" \
  >"$work/romcheck.csv" 2>"$work/romcheck.err" || { cat "$work/romcheck.err"; exit 1; }
xor_ms=$(bm_ms "$work/romcheck.csv" PlainXor)
quiet_ms=$(bm_ms "$work/romcheck.csv" CheckNoDeviceQuiet)
mem_ms=$(bm_ms "$work/romcheck.csv" CheckNoDevice)
dev_ms=$(bm_ms "$work/romcheck.csv" CheckOnDevice)
r=$(ratio "$quiet_ms" "$xor_ms")
row "checksum validation, 8 MiB 10-partition image (the four checksums as the check runs them, logging off)" \
  "$(ms "$quiet_ms")" "$(ms "$xor_ms") (one plain 32-bit XOR pass)" "$r" "at most 2.2 x" "$(le "$r" 2.2)"
shell_ms=$(awk -v a="$dev_ms" -v b="$mem_ms" 'BEGIN { d = a - b; if (d < 0) d = 0; printf "%.3f", d }')
share=$(awk -v s="$shell_ms" -v a="$dev_ms" 'BEGIN { p = 0; if (a > 0) p = 100 * s / a; printf "%.0f%%", p }')
row "whole ROM check on the phone, environment loading through the shell included" \
  "$(ms "$dev_ms")" "(none)" "-" "report it, and the shell's share" "reported: shell and device files $(ms "$shell_ms") = $share"
note "ROM check: the same check with in-memory device hooks and logging on takes $(ms "$mem_ms"); the shell's share is the on-device check less that (the shell commands dominate it: each is a fork and exec of busybox sh). The checksum benchmark always uses its own 8 MiB image, also in a smoke run (it costs milliseconds)."

# ------------------------------------------------ progress update (callgrind)
say "progress update under callgrind"
prog_out=$(bash "$src/bench/progress/run.sh" "$host" "$progress_calls" 2>&1) || { echo "$prog_out"; exit 1; }
per_update=$(echo "$prog_out" | sed -n 's/.*, \([0-9]*\) instructions per update.*/\1/p' | head -1)
[ -n "$per_update" ] || { echo "$prog_out"; exit 1; }
valgrind --tool=callgrind --callgrind-out-file="$work/copies.out" --toggle-collect='two_copies*' \
  "$host/bench/upgrade/bench_copies" "$work/fb0" "$progress_calls" >"$work/copies.log" 2>&1 ||
  { cat "$work/copies.log"; exit 1; }
copies_total=$(grep -E '^(summary|totals):' "$work/copies.out" | head -1 | awk '{print $2}')
per_copies=$((copies_total / progress_calls))
r=$(ratio "$per_update" "$per_copies")
row "instructions per progress update (SetUpgradingProgressBar, callgrind, x86-64)" \
  "$per_update" "$per_copies (the two 261120-byte framebuffer copies alone)" "$r" "below 1,000,000" \
  "$(lt "$per_update" 1000000)"

# ------------------------------------------------------------ burn, screen
say "burn of the image, screen off and on"
burn() {  # burn BINARY NAME
  "$simdev" run --root "$work/$2" --fresh --bind "$host" --env BENCH_IMAGE_BYTES="$image_bytes" -- \
    "$host/bench/burn/$1" "${bm_args[@]}" >"$work/$2.csv" 2>"$work/$2.err" || { cat "$work/$2.err"; exit 1; }
}
burn bench_burn burn-off
burn bench_burn_screen burn-on
off_ms=$(bm_ms "$work/burn-off.csv" BM_BurnFlash)
on_ms=$(bm_ms "$work/burn-on.csv" BM_BurnFlash)
copy_ms=$(bm_ms "$work/burn-off.csv" BM_PlainCopy)
r=$(ratio "$on_ms" "$off_ms")
row "burn of the $((image_bytes / 1024)) KiB 10-partition image on file-backed flash, screen updates included" \
  "$(ms "$on_ms")" "$(ms "$off_ms") (same erase and write calls, screen off)" "$r" "report both and the ratio" "reported"
note "Burn: a plain copy of the same payload bytes into the same files takes $(ms "$copy_ms"); the burn with the screen off costs $(ratio "$off_ms" "$copy_ms") x that (the erase of every region comes first)."

# ------------------------------------------------------------ peak memory
say "peak memory of the program on the simulated phone"
sed "s/^pattern = \([0-9]*\) .*/pattern = \1 $(( (image_bytes - 140 - 44 * 10) / 10 / 4 * 4 ))/" \
  "$src/bench/upgrade/bench-upgrade.desc" >"$work/rom.desc"
"$romtool" build "$work/rom.desc" "$work/rom.bin" --size "$image_bytes" >/dev/null
rom_kb=$(( $(stat -c %s "$work/rom.bin") / 1024 ))
boot_env=()
[ -f "$faketime_lib" ] && boot_env=(--env LD_PRELOAD="$faketime_lib" --env FAKETIME="+0 x10")
peak() {  # peak MODE [PROFILE ROM] -> "max_rss_kb anon file shmem"
  local mode=$1 profile=${2:-$src/bench/upgrade/bench.ini} rom=${3:-$work/rom.bin} args=()
  if [ "${mode%-*}" = shm ]; then args=(--shm /data/rom.bin); else args=(-- /basic/bin/upgrader /data/rom.bin); fi
  "$simdev" boot --root "$work/phone-$mode" --fresh --profile "$profile" \
    --program "$host/bin/upgrader" --install "$rom:/data/rom.bin" --timeout 300 \
    "${boot_env[@]}" "${args[@]}" >"$work/boot-$mode.log" 2>&1 || { cat "$work/boot-$mode.log"; exit 1; }
  local result=$work/phone-$mode/sim/boot/result
  grep -q '^end reboot' "$result" || { echo "the $mode upgrade did not end in a reboot:"; cat "$result"; exit 1; }
  awk '/^max_rss_kb / { m = $2 } /^rss_end_kb / { a = $3; f = $5; s = $7 }
       END { if (m == "") exit 1; print m, a + 0, f + 0, s + 0 }' "$result"
}
for mode in file shm; do
  read -r rss anon file shmem <<<"$(peak "$mode")"
  goal_kb=$((rom_kb + 2048))
  label="file mode (/basic/bin/upgrader ROM_FILE)"
  [ "$mode" = shm ] && label="shared-memory mode (--shm)"
  row "peak resident memory of the program during a $rom_kb KiB upgrade, $label" \
    "$rss KiB" "$rom_kb KiB (the image)" "$(ratio "$rss" "$rom_kb")" "at most image + 2048 KiB = $goal_kb KiB" \
    "$(le "$rss" "$goal_kb")"
  if [ "$mode" = file ]; then
    libs=$((file - rom_kb - 255)); files_are="the mapped image, the 255 KiB framebuffer"
  else
    libs=$((file - 255)); files_are="the 255 KiB framebuffer"
  fi
  own=$((rss - libs - rom_kb))
  note "Peak memory, $mode mode: at the reboot the program held $anon KiB private, $shmem KiB of shared memory (the attached segment in shared-memory mode) and $file KiB of files: $files_are and about $libs KiB of the host's shared libraries (libc, libstdc++, libm, the loader, libfaketime). Less those library pages the peak is the image + $own KiB ($(le "$((rss - libs))" "$goal_kb") against the goal)."
done
note "Peak memory is the host build (RelWithDebInfo, dynamic against the host's glibc and libstdc++) on the simulated phone; the resident pages of the image count as they are touched, it is mapped or attached, never copied."

# ------------------------------------------------------- signed releases
# The image is the benchmark image with payloads 84 bytes shorter, so that
# image and signature block fit the 8 MiB shared segment.
say "signed releases: the check's instructions, peak memory with a key, size"
sed "s/^pattern = \([0-9]*\) .*/pattern = \1 $(( (image_bytes - 84 - 140 - 44 * 10) / 10 / 4 * 4 ))/" \
  "$src/bench/upgrade/bench-upgrade.desc" >"$work/signed.desc"
"$romtool" build "$work/signed.desc" "$work/unsigned.bin" >/dev/null
"$romtool" sign "$work/unsigned.bin" "$src/sim/keys/private/demo-release.pem" "$work/signed.bin"
mkdir -p "$work/keys" && cp "$src/sim/keys/demo-release.pem" "$work/keys/"
{ cat "$src/bench/upgrade/bench.ini"; printf '\n[keys]\nrelease = %s\n' "$src/sim/keys/demo-release.pem"; } >"$work/keys.ini"
for mode in file shm; do
  read -r rss anon file shmem <<<"$(peak "$mode-signed" "$work/keys.ini" "$work/signed.bin")"
  row "peak resident memory of the program during a signed $rom_kb KiB upgrade on a phone with a key, $mode mode" \
    "$rss KiB" "$rom_kb KiB (the image)" "$(ratio "$rss" "$rom_kb")" "at most image + 2048 KiB = $((rom_kb + 2048)) KiB" \
    "$(le "$rss" "$((rom_kb + 2048))")"
  note "Peak memory, signed, $mode mode: at the reboot $anon KiB private (the checked copy of the image among them), $shmem KiB shared, $file KiB of files (the host's shared libraries, nettle and GMP now among them, and the framebuffer). The copy replaces the mapped or attached pages as it grows, so it adds no second image."
done
flash_ms=$(awk '$1 == "total_ms" { print $2 }' "$work/phone-file/sim/boot/flash")
bench_sig=$mipsel/bench/signature/bench_signature
label="instructions of the signature check of the $rom_kb KiB benchmark image on the phone (mipsel; keys, private copy, SHA-256, Ed25519), at 200 M a second"
if [ "$smoke" = 0 ] && [ -x "$bench_sig" ] && [ -n "$flash_ms" ]; then
  count() {
    qemu-mipsel-static -d in_asm,exec,nochain -D "$work/qemu.log" "$bench_sig" "$@" >/dev/null
    python3 "$src/bench/signature/count_insns.py" "$work/qemu.log"
    rm -f "$work/qemu.log"
  }
  base=$(count read "$work/signed.bin")
  gate=$(( $(count gate "$work/signed.bin" "$work/keys") - base ))
  sha512=$(( $(count sha512 "$work/signed.bin") - base ))
  secs() { awk -v n="$1" 'BEGIN { printf "%.3f s", n / 200e6 }'; }
  row "$label" "$gate = $(secs "$gate")" "$(awk -v t="$flash_ms" 'BEGIN { printf "%.1f s", t / 1000 }') (modelled flash time of the image)" \
    "$(awk -v n="$gate" -v t="$flash_ms" 'BEGIN { printf "%.2f%%", n / 200e6 / (t / 1000) * 100 }')" "at most 1% of the flash time" \
    "$(le "$(awk -v n="$gate" 'BEGIN { print n / 200e6 }')" "$(awk -v t="$flash_ms" 'BEGIN { print t / 1000 / 100 }')")"
  note "Signature check: guest instructions of the static mipsel bench_signature counted under qemu-user (translated blocks' sizes times their runs, bench/signature/count_insns.py), less a run that only reads the image ($base). SHA-512 of the same image alone would take $sha512 instructions = $(secs "$sha512"): a 64-bit-word hash costs about three times SHA-256 on the 32-bit phone, which is why the key signs a SHA-256 digest of the image rather than the image itself (Ed25519 would hash it with SHA-512)."
else
  row "$label" "not measured (smoke run, or no mipsel bench_signature)" "(flash time)" "-" "at most 1% of the flash time" "not measured"
fi
with=$mipsel/bin/upgrader without=$mipsel/bench/signature/upgrader_without_signatures
label="growth of the static mipsel program by signed releases (stripped; the same program with the check stubbed out as reference)"
if [ -f "$with" ] && [ -f "$without" ] && command -v mipsel-linux-gnu-strip >/dev/null; then
  mipsel-linux-gnu-strip -o "$work/with" "$with" && mipsel-linux-gnu-strip -o "$work/without" "$without"
  kb() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1024 }'; }
  grow=$(awk -v a="$(kb "$work/with")" -v b="$(kb "$work/without")" 'BEGIN { printf "%.1f", a - b }')
  row "$label" "$grow KiB" "$(kb "$work/without") KiB (without the check)" "-" "at most 128 KiB" "$(le "$grow" 128)"
else
  row "$label" "not measured: no mipsel build" "(none)" "-" "at most 128 KiB" "not measured"
fi

# ----------------------------------------------------- modelled flash time
say "modelled flash time of the typical release"
"$romtool" build "$src/sim/roms/typical-upgrade.desc" "$work/typical.rom" >/dev/null
"$simdev" boot --root "$work/phone-typical" --fresh --profile "$src/sim/profiles/typical.ini" \
  --program "$host/bin/upgrader" --install "$work/typical.rom:/data/rom.bin" --timeout 300 \
  "${boot_env[@]}" -- /basic/bin/upgrader /data/rom.bin >"$work/boot-typical.log" 2>&1 ||
  { cat "$work/boot-typical.log"; exit 1; }
read -r erases writes erase_ms program_ms total_ms <<<"$(awk '{ v[$1] = $2 }
  END { print v["erases"], v["writes"], v["erase_ms"], v["program_ms"], v["total_ms"] }' \
  "$work/phone-typical/sim/boot/flash")"
row "modelled flash time of the typical release (sim/roms/typical-upgrade.desc) on the typical phone" \
  "$(awk -v t="$total_ms" 'BEGIN { printf "%.1f s", t / 1000 }')" "(none)" "-" "(none)" "reported"
note "Flash time of the typical release, modelled by the simulated chip with the typical profile's datasheet figures (0.7 s a 64 KiB erase unit, 10 ms a KiB programmed): $erases erase requests, $erase_ms ms; $writes write requests, $program_ms ms."
# -------------------------------------------- a profile of many sections
say "reading a 1 MiB profile of many sections"
"$host/bench/profile/bench_profile" "${bm_args[@]}" >"$work/profile.csv" 2>"$work/profile.err" ||
  { cat "$work/profile.err"; exit 1; }
reader_ms=$(bm_ms "$work/profile.csv" IniReader/1048576)
small_ms=$(bm_ms "$work/profile.csv" ProfileDistinct/65536)
distinct_ms=$(bm_ms "$work/profile.csv" ProfileDistinct/1048576)
repeated_ms=$(bm_ms "$work/profile.csv" ProfileRepeated)
linear_ms=$(awk -v t="$small_ms" 'BEGIN { printf "%.3f", 16 * t }')
r=$(ratio "$distinct_ms" "$linear_ms")
row "reading a 1 MiB device profile of about 70,000 one-key sections of distinct names" \
  "$(ms "$distinct_ms")" "$(ms "$linear_ms") (16 x the same reading of 64 KiB)" "$r" \
  "at most 3 x (a merge quadratic in the sections: 16 x)" "$(le "$r" 3)"
note "Profile: the INI reader alone takes $(ms "$reader_ms") on the 1 MiB text; the same 1 MiB in sections of 1024 names repeated, each merged into the first of its name, reads in $(ms "$repeated_ms"). The merge that searched the sections read so far took about 9 s for the 1 MiB text on this machine."

# ------------------------------------------ peak memory on the real kernel
# qemu-user cannot tell the static program's own memory; the guest's kernel can.
say "peak memory of the mipsel program on the real kernel"
simkernel=$host/sim/kernel/simkernel
simguest=$mipsel/sim/kernel/guest/simguest
kernel_cache=$src/build/kernel-cache
if [ "$smoke" = 0 ] && [ "${BENCH_NO_BUILD:-0}" != 1 ] && [ -f "$kernel_cache/READY" ]; then
  cmake --build "$host" --target simkernel -j2 >>"$work/build-host.log" 2>&1 || { cat "$work/build-host.log"; exit 1; }
  cmake --build "$mipsel" --target simguest -j2 >>"$work/build-mipsel.log" 2>&1 || { cat "$work/build-mipsel.log"; exit 1; }
fi
label="peak resident memory of the static mipsel program on the real kernel during a $rom_kb KiB upgrade, file mode"
if [ -x "$simkernel" ] && [ -x "$simguest" ] && [ -x "$mipsel/bin/upgrader" ] && [ -f "$kernel_cache/READY" ]; then
  "$simkernel" boot --root "$work/phone-kernel" --fresh --profile "$src/bench/upgrade/bench.ini" \
    --program "$mipsel/bin/upgrader" --install "$work/rom.bin:/data/rom.bin" --timeout 300 \
    --guest "$simguest" --cache "$kernel_cache" -- /basic/bin/upgrader /data/rom.bin \
    >"$work/boot-kernel.log" 2>&1 || { cat "$work/boot-kernel.log"; exit 1; }
  kresult=$work/phone-kernel/sim/boot/result
  grep -q '^end reboot' "$kresult" || { echo "the upgrade on the real kernel did not end in a reboot:"; cat "$kresult"; exit 1; }
  krss=$(awk '/^max_rss_kb / { print $2 }' "$kresult")
  row "$label" "$krss KiB" "$rom_kb KiB (the image)" "$(ratio "$krss" "$rom_kb")" \
    "at most image + 2048 KiB = $((rom_kb + 2048)) KiB" "$(le "$krss" "$((rom_kb + 2048))")"
  note "Peak memory on the real kernel: VmHWM of the static mipsel program (MinSizeRel) at its reboot, on Debian's Malta kernel under qemu-system-mipsel (simkernel); no shared libraries, the mapped image counts as its pages are touched."
  "$simkernel" boot --root "$work/phone-kernel-signed" --fresh --profile "$work/keys.ini" \
    --program "$mipsel/bin/upgrader" --install "$work/signed.bin:/data/rom.bin" --timeout 300 \
    --guest "$simguest" --cache "$kernel_cache" -- /basic/bin/upgrader /data/rom.bin \
    >"$work/boot-kernel-signed.log" 2>&1 || { cat "$work/boot-kernel-signed.log"; exit 1; }
  grep -q '^end reboot' "$work/phone-kernel-signed/sim/boot/result" ||
    { echo "the signed upgrade on the real kernel did not end in a reboot"; exit 1; }
  ksrss=$(awk '/^max_rss_kb / { print $2 }' "$work/phone-kernel-signed/sim/boot/result")
  row "$label, signed, on a phone with a key" "$ksrss KiB" "$rom_kb KiB (the image)" "$(ratio "$ksrss" "$rom_kb")" \
    "at most image + 2048 KiB = $((rom_kb + 2048)) KiB" "$(le "$ksrss" "$((rom_kb + 2048))")"
else
  for kind in "" ", signed, on a phone with a key"; do
    row "$label$kind" "not measured: the real-kernel tier is not set up (scripts/kernel-cache.sh, simkernel, simguest)" \
      "$rom_kb KiB (the image)" "-" "at most image + 2048 KiB" "not measured"
  done
fi

# ------------------------------------------------------------ mipsel sizes
say "mipsel sizes"
for kind in dynamic static; do
  bin=$mipsel/bin/upgrader
  [ "$kind" = dynamic ] && bin=$mipsel/bin/upgrader_dynamic
  label="stripped size of the mipsel upgrader, $kind"
  [ "$kind" = dynamic ] && label="$label against glibc"
  if [ -f "$bin" ] && command -v mipsel-linux-gnu-strip >/dev/null; then
    mipsel-linux-gnu-strip -o "$work/upgrader-$kind" "$bin"
    kb=$(awk -v b="$(stat -c %s "$work/upgrader-$kind")" 'BEGIN { printf "%.1f", b / 1024 }')
    if [ "$kind" = dynamic ]; then
      row "$label" "$kb KiB" "(none)" "-" "below 200 KiB" "$(lt "$kb" 200)"
    else
      row "$label" "$kb KiB" "(none)" "-" "(none)" "reported"
    fi
  else
    row "$label" "not measured: no $bin" "(none)" "-" "$([ "$kind" = dynamic ] && echo 'below 200 KiB' || echo '(none)')" "not measured"
  fi
done

# ------------------------------------------------------ the test command
if [ -f "$wall_file" ] && read -r secs wall_note <"$wall_file" && [[ "$secs" =~ ^[0-9]+$ ]]; then
  row "wall time of the README's test command (bash scripts/test.sh)" \
    "$((secs / 60)) min $((secs % 60)) s" "(none)" "-" "below 15 minutes on this 2-core machine" "$(lt "$secs" 900)"
  [ -n "${wall_note:-}" ] && note "Test command: $wall_note"
else
  row "wall time of the README's test command (bash scripts/test.sh)" "not measured in this run" "(none)" "-" \
    "below 15 minutes on this 2-core machine" "not measured"
fi

# ------------------------------------------------------------ write
{
  echo "# What an upgrade costs"
  echo
  if [ "$smoke" = 1 ]; then echo "Smoke run (tiny image, short runs): the figures prove nothing."; else
    echo "Measured by \`bash bench/run.sh\` on $(date -u +%F), commit $(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown), $(nproc) cores, $(uname -m)."
  fi
  echo "Times are medians of $reps repetitions; each figure's reference is measured in the same run."
  echo
  echo "| figure | measured | reference in the same run | ratio | goal | status |"
  echo "|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "## Notes"
  echo
  printf '%s\n' "${notes[@]}"
} >"$out"

# Every figure must have been produced (a number, or a sizes/wall-time row
# that says why it was not measured).
expected=17
if [ "${#rows[@]}" -ne "$expected" ]; then
  echo "bench: $((${#rows[@]})) rows instead of $expected" >&2
  exit 1
fi
cat "$out"
[ "$smoke" = 1 ] || say "table written to $out"
