#!/usr/bin/env bash
# Runs each libFuzzer target for SECONDS over a scratch copy of its seed
# corpus (the corpus in the repository is never written), one after the
# other, and fails when any target finds a crash or a broken invariant.
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
  targets=(pipe_name config_descriptor session_script device_file)
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

failed=()
for target in "${targets[@]}"; do
  program=$build_dir/fuzz_$target
  if [ ! -x "$program" ]; then
    echo "fuzz: $target: $program was not built" >&2
    failed+=("$target")
    continue
  fi
  corpus=$scratch/$target
  findings=$log_dir/$target-findings
  mkdir -p "$corpus" "$findings"
  cp "$here/corpus/$target/." "$corpus/" -r
  log=$log_dir/$target.log
  status=0
  # -timeout: one input taking this long is a hang; -rss_limit_mb leaves
  # room for the emulated machine's threads. The targets that keep an
  # emulated machine across inputs check the driver's leaks themselves (its
  # pool tag, IRPs, the verifier's report at unload); LeakSanitizer would
  # scan the machine's growing records after nearly every input and cut
  # their rate tenfold.
  leaks=1
  case $target in pipe_name | config_descriptor) leaks=0 ;; esac
  "$program" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -detect_leaks=$leaks \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(stat_of number_of_executed_units "$log")
  rate=$(stat_of average_exec_per_sec "$log")
  found=$(find "$findings" -type f | wc -l)
  if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then
    found=1
  fi
  echo "fuzz: $target runs=$runs exec/s=$rate findings=$found"
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $target failed (exit $status); the end of $log:" >&2
    tail -n 40 "$log" >&2
    for input in "$findings"/*; do
      [ -f "$input" ] && echo "fuzz: replay with: $program $input" >&2
    done
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
