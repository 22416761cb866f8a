#!/usr/bin/env bash
# Runs each libFuzzer target for SECONDS over a scratch copy of its seed
# corpus (the corpus in the repository is never written), FUZZ_JOBS of
# them at a time (2 unless set: one per core of the machine CI runs on; each
# target is single-threaded), and fails when any target finds a crash or a
# broken invariant.
#
#   fuzz/run-targets.sh SECONDS BUILD_DIR LOG_DIR [TARGET...]
#
# BUILD_DIR holds the fuzz_<target> programs (build/fuzz/fuzz). Each
# target's output goes to LOG_DIR/<target>.log; an input that broke a
# target is kept in LOG_DIR/<target>-findings/. One line per target sums
# it up:  fuzz: <target> runs=<n> exec/s=<n> findings=<n>
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 SECONDS BUILD_DIR LOG_DIR [TARGET...]" >&2
  exit 2
fi
seconds=$1
build_dir=$2
log_dir=$3
shift 3
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(pipe_name config_descriptor session_script device_file pe_image)
fi

here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$log_dir"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A number from the target's final statistics, 0 when it printed none.
stat_of() {
  local name=$1 log=$2 value
  value=$(grep -o "^stat::$name: *[0-9]*" "$log" | tail -1 | grep -o '[0-9]*$' || true)
  echo "${value:-0}"
}

# One target over its scratch corpus. Prints its summary line; on a
# failure also the end of its log and how to replay what it kept, then
# returns non-zero.
run_target() {
  local target=$1 program=$build_dir/fuzz_$1
  if [ ! -x "$program" ]; then
    echo "fuzz: $target: $program was not built" >&2
    return 1
  fi
  local corpus=$scratch/$target findings=$log_dir/$target-findings log=$log_dir/$target.log
  mkdir -p "$corpus" "$findings"
  cp "$here/corpus/$target/." "$corpus/" -r
  local status=0
  # -timeout: one input taking this long is a hang; -rss_limit_mb leaves
  # room for the emulated machine's threads. The targets that keep an
  # emulated machine across inputs check the driver's leaks themselves (its
  # pool tag, IRPs, the verifier's report at unload); LeakSanitizer would
  # scan the machine's growing records after nearly every input and cut
  # their rate tenfold.
  local leaks=1
  case $target in pipe_name | config_descriptor) leaks=0 ;; esac
  "$program" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -detect_leaks=$leaks \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?
  local runs rate found
  runs=$(stat_of number_of_executed_units "$log")
  rate=$(stat_of average_exec_per_sec "$log")
  found=$(find "$findings" -type f | wc -l)
  if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then
    found=1
  fi
  echo "fuzz: $target runs=$runs exec/s=$rate findings=$found"
  [ "$status" -eq 0 ] && return 0
  echo "fuzz: $target failed (exit $status); the end of $log:"
  tail -n 40 "$log"
  for input in "$findings"/*; do
    [ -f "$input" ] && echo "fuzz: replay with: $program $input"
  done
  return 1
}

# Targets run in the background, at most FUZZ_JOBS at once; each one's
# report is kept apart and printed in the targets' order, so that two
# targets' lines never interleave.
jobs_at_once=${FUZZ_JOBS:-2}
# Each one's exit status goes to a file: bash may forget the status of a
# job that `wait -n` has already reaped.
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_at_once" ]; do
    wait -n || true
  done
  { status=0; run_target "$target" >"$scratch/$target.report" 2>&1 || status=$?; echo "$status" >"$scratch/$target.status"; } &
done
wait
failed=()
for target in "${targets[@]}"; do
  if [ "$(cat "$scratch/$target.status" 2>/dev/null || echo 1)" -ne 0 ]; then
    cat "$scratch/$target.report" >&2
    failed+=("$target")
  else
    cat "$scratch/$target.report"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
