#!/usr/bin/env bash
# Upgrades a typical simulated phone with a sample release, in file mode,
# and tells what happened: partitions written, versions, the reboot, the
# error lines, and where the LCD frames are. Sets the machine up and builds
# what it needs. Ends with the program's status (0 after a reboot), also
# when the upgrade fails. DEMO_PROFILE=FILE boots another phone profile;
# DEMO_SIGN=KEY.pem signs the release first (a signed release on a phone
# with a key: DEMO_PROFILE=sim/profiles/signed.ini
# DEMO_SIGN=sim/keys/private/demo-release.pem).
set -uo pipefail
cd "$(dirname "$0")/.."

profile=${DEMO_PROFILE:-sim/profiles/typical.ini}
bash scripts/setup.sh > build-setup.log 2>&1 || { cat build-setup.log; exit 1; }
rm -f build-setup.log
echo "building the program, the simulator and romtool (host build)..."
{ cmake --preset host > /dev/null &&
  cmake --build --preset host --target upgrader simdev romtool shmwriter > /dev/null; } || exit 1

B=build/host
D=build/demo
mkdir -p "$D"
"$B/tools/romtool/romtool" build sim/roms/typical-upgrade.desc "$D/release.rom" || exit 1
if [ -n "${DEMO_SIGN:-}" ]; then
  "$B/tools/romtool/romtool" sign "$D/release.rom" "$DEMO_SIGN" "$D/release.rom" || exit 1
fi
echo
echo "The release (romtool info):"
"$B/tools/romtool/romtool" info "$D/release.rom" | sed 's/^/  /'
echo
echo "Upgrading a phone ($profile) from the file /data/release.rom..."
status=0
"$B/sim/simdev" boot --root "$D/phone" --fresh --profile "$profile" --report "$D/report" \
  --program "$B/bin/upgrader" --install "$D/release.rom:/data/release.rom" --timeout 120 \
  -- /basic/bin/upgrader /data/release.rom || status=$?

# The summary is printed whatever the boot's outcome; each part says so
# when the report lacks it.
report="$D/report/report.txt"
echo
echo "What happened (simdev boot ended with status $status):"
if [ ! -r "$report" ]; then
  echo "  no report: the phone could not be booted (see the messages above)"
  exit "$status"
fi
ended=$(sed -n 's/^program started at .*boot ended at \(.*\): \(.*\)$/\1: \2/p' "$report")
echo "  the boot ended at ${ended:-an unknown time (see the report)}"
if grep -q '^  reboot requested' "$report"; then echo "  reboot requested: yes"; else echo "  reboot requested: no"; fi
written=$(grep -E '^  mtd[0-9]+ .*CHANGED' "$report" | awk '{print $1}' | tr '\n' ' ')
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
