#!/usr/bin/env bash
# make image-test: the shipped pondrel.sys loaded by the emulator
# (pondrel-sim --sys) under its verifier. Each session of tests/sessions and
# the demo run on the loaded image and on the host build and are compared
# line by line (tests/sessions/differential.py --image); then random lives
# and the short form of every explore scenario run on the loaded image,
# with zero findings.
#
# usage: scripts/image-test.sh PONDREL_SIM [PONDREL_SYS]
# LIVES (200) sets the number of random lives. The demo, the lives and the
# explore scenarios run IMAGE_JOBS (3) at a time, the longest first: most of
# their time is spent waiting on emulated threads, not computing. Their
# results are printed in a fixed order once all have ended.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sim=${1:?usage: scripts/image-test.sh PONDREL_SIM [PONDREL_SYS]}
sys=${2:-$root/build/windows/pondrel.sys}
lives=${LIVES:-200}
for file in "$sim" "$sys"; do
  [ -f "$file" ] || { echo "image-test: $file is missing (make windows host)" >&2; exit 1; }
done
passed=0
failed=0
start=$(date +%s)

jobs_dir=$(mktemp -d)
trap 'rm -rf "$jobs_dir"' EXIT

# One step started in the background once fewer than IMAGE_JOBS run: its
# output, status and seconds kept in jobs_dir under its number; report_steps
# prints them in the order the steps were started.
jobs_at_once=${IMAGE_JOBS:-3}
started=()
start_step() {
  local name=$1 at=${#started[@]}
  shift
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_at_once" ]; do
    wait -n || true
  done
  started+=("$name")
  { local began=$SECONDS status=0
    "$@" >"$jobs_dir/$at.log" 2>&1 || status=$?
    echo "$((SECONDS - began))" >"$jobs_dir/$at.seconds"
    echo "$status" >"$jobs_dir/$at.status"; } &
}
report_steps() {
  wait
  local at
  for at in "${!started[@]}"; do
    local name=${started[$at]} seconds
    seconds=$(cat "$jobs_dir/$at.seconds" 2>/dev/null || echo "?")
    if [ "$(cat "$jobs_dir/$at.status" 2>/dev/null || echo 1)" -eq 0 ]; then
      passed=$((passed + 1))
      echo "passed  $name ($seconds s)"
    else
      failed=$((failed + 1))
      echo "FAILED  $name ($seconds s); the end of its output:"
      tail -n 15 "$jobs_dir/$at.log" | sed 's/^/        /'
    fi
  done
}

# The stress, sweep and explore audits read the driver's device context out
# of the device extension: the image's layout of it (mingw-w64 and the DDK
# headers) must be the host build's.
layout() {
  local fields source host win
  fields=$(sed -n '/^struct DeviceContext {/,/^};/p' "$root/driver/device_context.h" | grep -v '^\s*//' |
    sed -nE 's/\s*\/\/.*//; s/.*[ *]([A-Za-z_0-9]+)(\[[^]]*\])?;\s*$/\1/p' | sort -u)
  source=$(mktemp --suffix=.cpp)
  { echo '#include "driver/device_context.h"'
    echo '#include <stddef.h>'
    echo 'extern "C" __attribute__((section(".layout"))) const unsigned long long pondrel_layout[] = {sizeof(DeviceContext),'
    for field in $fields; do echo "offsetof(DeviceContext, $field),"; done
    echo '};'; } >"$source"
  g++ -std=c++17 -fshort-wchar -I"$root" -c "$source" -o "$source.host.o" || return 1
  x86_64-w64-mingw32-g++ -std=c++17 -ffreestanding -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset -I"$root" -I/usr/share/mingw-w64/include/ddk \
    -c "$source" -o "$source.win.o" || return 1
  # The values only: a PE object pads its section to 16 bytes.
  local bytes=$(( ($(echo "$fields" | wc -w) + 1) * 8 ))
  host=$(objcopy -O binary -j .layout "$source.host.o" /dev/stdout | head -c $bytes | od -An -tx8 | tr -s ' \n' ' ')
  win=$(x86_64-w64-mingw32-objcopy -O binary -j .layout "$source.win.o" /dev/stdout | head -c $bytes | od -An -tx8 | tr -s ' \n' ' ')
  rm -f "$source" "$source".*.o
  echo "$(echo "$fields" | wc -w) fields; host: $host"
  echo "image: $win"
  [ -n "$host" ] && [ "$host" = "$win" ]
}

# The demo (no session) on both builds: the same result lines, no finding.
demo() {
  python3 - "$sim" "$sys" <<'PY'
import json, subprocess, sys
sim, image = sys.argv[1:3]
def lines(command):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    rows = [json.loads(t) for t in done.stdout.splitlines() if t.startswith("{")]
    summary = next((r["summary"] for r in rows if "summary" in r), {})
    results = [{k: r.get(k) for k in ("cmd", "status", "information", "data", "handle")} for r in rows if "cmd" in r]
    return done.returncode, summary, results
host, image_run = lines([sim, "--json"]), lines([sim, "--sys", image, "--json"])
problems = [f"{side} exit {run[0]}, {run[1].get('findings')} finding(s)"
            for side, run in (("host", host), ("image", image_run)) if run[0] != 0 or run[1].get("findings")]
problems += [f"'{a.get('cmd')}': host {a}, image {b}" for a, b in zip(host[2], image_run[2]) if a != b]
if len(host[2]) != len(image_run[2]):
    problems.append(f"host {len(host[2])} result lines, image {len(image_run[2])}")
print("\n".join(problems) or f"{len(host[2])} result lines agree")
sys.exit(1 if problems else 0)
PY
}

echo "== image: $sys in the emulator, $sim"
# Everything at once, at most IMAGE_JOBS, the longest first: the lives,
# then the session scenarios (differential.py runs two of them at a time),
# the explore scenarios, the demo and the layout check.
scenarios=$("$sim" explore --scenario '?' 2>&1 | sed -n 's/.*there are: //p')
[ -n "$scenarios" ] || { failed=$((failed + 1)); echo "FAILED  explore listed no scenarios"; }
start_step "stress --lives $lives" env PONDREL_LIVES="$lives" "$sim" --sys "$sys" stress --lives "$lives"
python3 "$root/tests/sessions/differential.py" --image "$sys" "$sim" >"$jobs_dir/sessions.out" 2>&1 &
for scenario in $scenarios; do
  budget=()
  [ "$scenario" = close-vs-stop ] && budget=(--budget 120)  # as tests/interleavings runs it
  start_step "explore $scenario" "$sim" --sys "$sys" explore --scenario "$scenario" "${budget[@]}"
done
start_step "demo" demo
start_step "device context layout" layout
wait

echo "== image: the session scenarios, loaded image vs host build"
sessions_out=$(cat "$jobs_dir/sessions.out")
echo "$sessions_out" | grep -v '^[0-9]* passed, [0-9]* failed$'
if tally=$(echo "$sessions_out" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -1) && [ -n "$tally" ]; then
  passed=$((passed + $(echo "$tally" | cut -d' ' -f1)))
  failed=$((failed + $(echo "$tally" | cut -d' ' -f3)))
else
  failed=$((failed + 1))
  echo "FAILED  differential.py --image gave no tally"
fi

echo "== image: $lives random lives, the interleaving search (each scenario's short form), the demo and the device context's layout, on the loaded image"
report_steps

echo "== image: $(( $(date +%s) - start )) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
