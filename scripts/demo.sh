#!/usr/bin/env bash
# Upgrades a typical simulated phone with a sample release, in file mode,
# and tells what happened: partitions written, versions, the reboot, the
# error lines, and where the LCD frames are. Sets the machine up (only what
# the demo needs) and builds what it needs, saying each step. Ends with the
# program's status (0 after a reboot), also when the upgrade fails: a person
# presses the "Reboot" key once the program reads the keypad, as a refused
# release asks. DEMO_PROFILE=FILE boots another phone profile.
# DEMO_SIGN=KEY.pem signs the release first (a signed release on a phone
# with a key: DEMO_PROFILE=sim/profiles/signed.ini
# DEMO_SIGN=sim/keys/private/demo-release.pem).
set -uo pipefail
cd "$(dirname "$0")/.."

profile=${DEMO_PROFILE:-sim/profiles/typical.ini}
B=build/host
D=build/demo
step() { echo "== $*"; }

step "1/5 setting up the machine (Debian packages for the demo; scripts/setup.sh --demo)"
bash scripts/setup.sh --demo || exit 1

# Without GoogleTest (a machine set up for the demo only) the tests are left
# out; the test command's setup installs it and its configure adds them.
tests=ON
[ -f /usr/src/googletest/CMakeLists.txt ] || tests=OFF
mkdir -p build
step "2/5 configuring the host build ($B; messages in build/demo-configure.log)"
cmake --preset host -DUPG_TESTS="$tests" > build/demo-configure.log 2>&1 || { cat build/demo-configure.log; exit 1; }
step "3/5 building the program, the simulator and romtool"
cmake --build --preset host --target upgrader simdev romtool shmwriter || exit 1

mkdir -p "$D"
step "4/5 making the release with romtool ($D/release.rom)"
"$B/tools/romtool/romtool" build sim/roms/typical-upgrade.desc "$D/release.rom" || exit 1
if [ -n "${DEMO_SIGN:-}" ]; then
  "$B/tools/romtool/romtool" sign "$D/release.rom" "$DEMO_SIGN" "$D/release.rom" || exit 1
fi
echo "The release (romtool info):"
"$B/tools/romtool/romtool" info "$D/release.rom" | sed 's/^/  /'

step "5/5 upgrading a phone ($profile) from the file /data/release.rom"
# A person presses "Reboot" once the program reads the keypad, which only a
# failure screen does: a refused release ends in seconds, not at the time-out.
status=0
"$B/sim/simdev" boot --root "$D/phone" --fresh --profile "$profile" --report "$D/report" \
  --program "$B/bin/upgrader" --install "$D/release.rom:/data/release.rom" --key 1:35 --key-wait \
  --timeout 120 -- /basic/bin/upgrader /data/release.rom || status=$?

# The summary is printed whatever the boot's outcome; each part says so
# when the report lacks it.
report="$D/report/report.txt"
echo
echo "What happened (simdev boot ended with status $status):"
if [ ! -r "$report" ]; then
  echo "  no report: the phone could not be booted (see the messages above)"
  exit "$status"
fi
started=$(sed -n 's/^program started at \([0-9.]*\) s; .*/\1/p' "$report")
ended=$(sed -n 's/^program started at .*boot ended at \(.*\) s: \(.*\)$/\1 s: \2/p' "$report")
if [ "${ended#*: }" = unknown ] && [ "$started" = 0.000 ]; then
  echo "  the boot never started: no program ran (see simdev's message above)"
  exit "$status"
fi
echo "  the boot ended at ${ended:-an unknown time (see the report)}"
# "modelled flash time: erases N writes N erase_ms X program_ms X total_ms X"
flash=$(sed -n 's/^  modelled flash time: //p' "$report")
if [ -n "$flash" ]; then
  read -r _ erases _ writes _ _ _ _ _ total_ms <<< "$flash"
fi
if [ -n "$flash" ] && [ "$erases $writes" = "0 0" ]; then
  echo "  the flash was not touched (no erase, no write)"
elif [ -n "$flash" ]; then
  echo "  on the phone's own flash the upgrade would take $(awk -v ms="$total_ms" 'BEGIN { printf "%.1f", ms / 1000 }') s" \
    "(modelled: $erases erases, $writes writes) against the simulated boot's ${ended%% s:*} s"
fi
if grep -q '^  reboot requested' "$report"; then echo "  reboot requested: yes"; else echo "  reboot requested: no"; fi
pressed=$(sed -n 's/^  \([0-9.]*\) s code=35 .* delivered$/\1/p' "$report" | head -n 1)
[ -z "$pressed" ] || echo "  the Reboot key was pressed at $pressed s, on the failure screen"
written=$(grep -E '^  mtd[0-9]+ .*CHANGED' "$report" | awk '{print $1}' | paste -sd ' ')
echo "  partitions written: ${written:-none}"
installed=$(sed -n 's/^RomVersion = //p' "$profile")
released=$("$B/tools/romtool/romtool" info "$D/release.rom" | sed -n 's/^rom_version: *//p')
echo "  version: ${installed:-unknown} before, ${released:-unknown} in the release"
errors=$(grep -E '^  [0-9.:]+ (emerg|alert|crit|err):' "$report" | head -5)
if [ -n "$errors" ]; then echo "$errors" | sed 's/^ */  error line: /'; else echo "  error lines: none"; fi
echo "  full report: $report (and report.json)"
echo "  LCD frames: $D/report/frames/"
echo "  all frames in one picture: $D/report/frames.png"
exit "$status"
