#!/usr/bin/env bash
# A finding makes `pondrel-sim stress` exit 1 and print the command that
# replays it, and that command finds it again.
#   planted_finding.sh PONDREL_SIM DEVICE_FILE
set -u
sim=$1
device=$2
fail() { echo "planted finding: $*" >&2; exit 1; }

output=$("$sim" stress --lives 2 --seed 5 --device "$device" 2>&1)
status=$?
[ "$status" -eq 1 ] || fail "exit $status, expected 1; output: $output"
replay=$(sed -n 's/^  replay: //p' <<<"$output" | head -1)
[[ "$replay" == *" stress --seed 5 --lives 1 --device "* ]] || fail "no replay line for seed 5; output: $output"
eval "$replay" >/dev/null 2>&1
again=$?
[ "$again" -eq 1 ] || fail "the replay line exited $again: $replay"
json=$("$sim" stress --lives 1 --device "$device" --json 2>&1)
grep -q '"findings":[1-9]' <<<"$json" || fail "--json does not count the finding: $json"
echo "planted finding: exit 1, replayed by: $replay"
