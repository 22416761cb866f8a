#!/usr/bin/env bash
# The long form of the reliability checks, run by `make reliability` once the
# host and fuzz builds exist: `pondrel-sim stress` (random lives), `sweep`
# (low resources) and `explore` (interleavings, with a larger budget), and
# every fuzz target for minutes; then one table of what ran and what was
# found. A program that is not built is shown as such, never as a number.
#
#   scripts/reliability.sh HOST_BUILD FUZZ_BUILD LOG_DIR
#
# LIVES (2000), BUDGET (interleavings per scenario, 2000) and FUZZ_SECONDS
# (600 per target) set the sizes.
set -uo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 HOST_BUILD FUZZ_BUILD LOG_DIR" >&2
  exit 2
fi
host=$1
fuzz_build=$2
logs=$3
lives=${LIVES:-2000}
budget=${BUDGET:-2000}
fuzz_seconds=${FUZZ_SECONDS:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$logs"

failures=()
missing=()

# run NAME PROGRAM ARGS...: runs one program with its output in
# LOG_DIR/NAME.log; remembers a failing exit and a program not built. The
# bench's commands print one JSON object, with the replay line of each
# finding.
run() {
  local name=$1 program=$2
  shift 2
  if [ ! -x "$program" ]; then
    echo "== $name: not built ($program)"
    missing+=("$name")
    return
  fi
  echo "== $name: $program $*"
  local start=$SECONDS status=0
  "$program" "$@" >"$logs/$name.log" 2>&1 || status=$?
  echo "   exit $status after $((SECONDS - start)) s; output in $logs/$name.log"
  if [ "$status" -ne 0 ]; then
    failures+=("$name")
    grep -oE '"replay":"[^"]*"|\[hang\].*' "$logs/$name.log" | head -20
  fi
}

# field NAME KEY: the whole number KEY has at the top of the JSON object the
# command printed (its totals come before its lists); empty when the command
# did not run or printed none.
field() {
  local name=$1 key=$2
  [ -f "$logs/$name.log" ] || return 0
  grep '^{"check":' "$logs/$name.log" | tail -1 | grep -oE "\"$key\":[0-9]+" | head -1 | cut -d: -f2
}

sim="$host/pondrel-sim"
run lives "$sim" stress --lives "$lives" --json
run low-resources "$sim" sweep --json
run interleavings "$sim" explore --budget "$budget" --json

echo "== fuzz: $fuzz_seconds s per target"
fuzz_status=0
if [ -d "$fuzz_build/fuzz" ]; then
  "$root/fuzz/run-targets.sh" "$fuzz_seconds" "$fuzz_build/fuzz" "$logs/fuzz" | tee "$logs/fuzz.log" || fuzz_status=$?
  [ "$fuzz_status" -eq 0 ] || failures+=(fuzz)
else
  echo "== fuzz: not built ($fuzz_build/fuzz)"
  missing+=(fuzz)
fi

# ---- The table ----
show() { [ -n "$1" ] && echo "$1" || echo "not built"; }
total_findings=0
add() { [ -n "$1" ] && total_findings=$((total_findings + $1)); }

lives_seeds=$(field lives lives); lives_faults=$(field lives faults); lives_findings=$(field lives findings)
low_faults=$(field low-resources faults); low_findings=$(field low-resources findings)
inter_total=$(field interleavings runs); inter_findings=$(field interleavings findings)
add "$lives_findings"; add "$low_findings"; add "$inter_findings"

echo
echo "reliability table ($(date -u '+%Y-%m-%d %H:%M UTC'); lives=$lives, budget=$budget, fuzz ${fuzz_seconds} s per target)"
printf '  %-28s %-26s %s\n' "check" "measure" "findings"
printf '  %-28s %-26s %s\n' "random lives" "seeds run: $(show "$lives_seeds")" "$(show "$lives_findings")"
printf '  %-28s %-26s %s\n' "" "faults injected: $(show "$lives_faults")" ""
printf '  %-28s %-26s %s\n' "low-resource sweeps" "faults injected: $(show "$low_faults")" "$(show "$low_findings")"
printf '  %-28s %-26s %s\n' "interleavings" "explored: $(show "$inter_total")" "$(show "$inter_findings")"
for target in pipe_name config_descriptor session_script device_file; do
  line=$(grep "^fuzz: $target " "$logs/fuzz.log" 2>/dev/null | tail -1 || true)
  runs=$(sed -n 's/.* runs=\([0-9]*\).*/\1/p' <<<"$line")
  found=$(sed -n 's/.* findings=\([0-9]*\).*/\1/p' <<<"$line")
  add "$found"
  printf '  %-28s %-26s %s\n' "fuzz $target" "executions: $(show "$runs")" "$(show "$found")"
done
printf '  %-28s %-26s %s\n' "total" "" "$total_findings"

if [ ${#missing[@]} -ne 0 ]; then
  echo "make reliability: incomplete: not built: ${missing[*]}"
fi
if [ ${#failures[@]} -ne 0 ] || [ "$total_findings" -ne 0 ]; then
  echo "make reliability: FAILED: ${failures[*]:-} (findings: $total_findings)" >&2
  exit 1
fi
echo "make reliability: no findings."
