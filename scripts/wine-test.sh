#!/usr/bin/env bash
# make wine-test: the shipped pondrel.sys, unchanged, under Wine 8.0's kernel.
# Makes a fresh prefix under build/wine, installs the test bus (tests/wine)
# as a root-enumerated device and pondrel.inf for the child it reports, then
# runs every session of tests/sessions on pondrel-sim and under Wine and
# compares them (tests/sessions/differential.py). PONDREL_WINE_JOBS (3)
# copies of the prefix each run one scenario at a time, side by side: each
# has its own wineserver and driver host. Most of a scenario's time is Wine
# starting and waiting, not computing: three prefixes on two cores end the
# stage sooner than two (34-38 s against 47 s).
#
# usage: scripts/wine-test.sh PONDREL_SIM [SESSION ...]
# Every Wine step is bounded; the prefixes' wineservers are shut down on
# exit, whatever happened, so that no Wine process outlives the stage.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sim=${1:?usage: scripts/wine-test.sh PONDREL_SIM [SESSION ...]}
shift
windows=$root/build/windows
stage=$root/build/wine
prefix=$stage/prefix
jobs=${PONDREL_WINE_JOBS:-3}
[[ $jobs =~ ^[1-8]$ ]] || { echo "wine-test: PONDREL_WINE_JOBS must be 1 to 8, not '$jobs'" >&2; exit 1; }
prefixes=("$prefix")
for (( i = 2; i <= jobs; i++ )); do prefixes+=("$prefix$i"); done
for file in "$windows/pondrel.sys" "$windows/pondreltestbus.sys" "$windows/pondrelctl.exe" "$sim"; do
  [ -f "$file" ] || { echo "wine-test: $file is missing (make windows host)" >&2; exit 1; }
done
command -v wine >/dev/null || { echo "wine-test: wine is not installed (make deps)" >&2; exit 1; }

export WINEPREFIX=$prefix WINEDEBUG=-all
stop_wine() {
  for each in "${prefixes[@]}"; do
    [ -d "$each" ] && WINEPREFIX=$each timeout 30 wineserver -k >/dev/null 2>&1 || true
  done
}
trap stop_wine EXIT

start=$(date +%s)
stop_wine
rm -rf "${prefixes[@]}"
mkdir -p "$stage"
echo "== wine: fresh prefix in $prefix"
timeout 120 wine wineboot -i >/dev/null 2>&1
timeout 120 wineserver -w

drivers=$prefix/drive_c/windows/system32/drivers
inf=$prefix/drive_c/windows/inf
cp "$windows/pondreltestbus.sys" "$windows/pondrel.sys" "$drivers/"
# The package as make package ships it: the INF and the driver side by side.
cp "$root/driver/pondrel.inf" "$windows/pondrel.sys" "$inf/"
cp "$windows/pondrelctl.exe" "$prefix/drive_c/"

# The bus is a root-enumerated device whose service Wine starts with the
# first Wine process; ClassGUID makes setupapi list the device.
cat > "$stage/testbus.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\ROOT\PONDRELTESTBUS\0000]
"Service"="pondreltestbus"
"ClassGUID"="{4d36e97d-e325-11ce-bfc1-08002be10318}"
REG
timeout 60 wine reg import "Z:${stage//\//\\}\\testbus.reg" >/dev/null 2>&1
timeout 60 wine sc create pondreltestbus type= kernel start= demand \
  binPath= 'C:\windows\system32\drivers\pondreltestbus.sys' >/dev/null 2>&1
stop_wine
# The copies are made from the finished prefix, its wineserver gone.
for each in "${prefixes[@]:1}"; do cp -a "$prefix" "$each"; done
echo "== wine: ${#prefixes[@]} prefix(es) ready in $(( $(date +%s) - start )) s; the scenarios"

# The harness's last line, "N passed, N failed", is the stage's last line.
list=$(IFS=:; echo "${prefixes[*]}")
PONDREL_WINE_STAGE_START=$start python3 "$root/tests/sessions/differential.py" "$sim" 'C:\pondrelctl.exe' "$list" "$@"
