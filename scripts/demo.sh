#!/usr/bin/env bash
# Upgrades a typical simulated phone with a sample release, in file mode,
# and tells what happened: partitions written, versions, the reboot, and
# where the LCD frames are. Sets the machine up and builds what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh > build-setup.log 2>&1 || { cat build-setup.log; exit 1; }
rm -f build-setup.log
echo "building the program, the simulator and romtool (host build)..."
cmake --preset host > /dev/null
cmake --build --preset host --target upgrader simdev romtool shmwriter > /dev/null

B=build/host
D=build/demo
mkdir -p "$D"
"$B/tools/romtool/romtool" build sim/roms/typical-upgrade.desc "$D/release.rom"
echo
echo "The release (romtool info):"
"$B/tools/romtool/romtool" info "$D/release.rom" | sed 's/^/  /'
echo
echo "Upgrading a typical phone (sim/profiles/typical.ini) from the file /data/release.rom..."
status=0
"$B/sim/simdev" boot --root "$D/phone" --fresh --profile sim/profiles/typical.ini --report "$D/report" \
  --program "$B/bin/upgrader" --install "$D/release.rom:/data/release.rom" --timeout 120 \
  -- /basic/bin/upgrader /data/release.rom || status=$?

report="$D/report/report.txt"
echo
echo "What happened:"
sed -n 's/^program started at .*boot ended at \(.*\): \(.*\)$/  the boot ended at \1: \2/p' "$report"
grep -q '^  reboot requested' "$report" && echo "  reboot requested: yes" || echo "  reboot requested: no"
written=$(grep -E '^  mtd[0-9]+ .*CHANGED' "$report" | awk '{print $1}' | tr '\n' ' ')
echo "  partitions written: ${written:-none}"
installed=$(sed -n 's/^RomVersion = //p' sim/profiles/typical.ini)
released=$("$B/tools/romtool/romtool" info "$D/release.rom" | sed -n 's/^rom_version: *//p')
echo "  version: $installed before, $released in the release"
grep -E '^  [0-9:]+ err:' "$report" | sed 's/^/  error line: /' | head -5 || true
echo "  full report: $report (and report.json)"
echo "  LCD frames: $D/report/frames/"
echo "  all frames in one picture: $D/report/frames.png"
exit "$status"
