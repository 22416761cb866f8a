#!/usr/bin/env python3
"""Runs each session script on pondrel-sim and, through pondrelctl.exe
--test-bus, on the shipped pondrel.sys under Wine; compares their result
lines (command, status, Information, data; not timings) and fails on any
difference that known-differences.txt does not list with its reason, on an
expectation that does not hold on the emulator, on a verifier finding, and
on a run that hangs or refuses its input.

usage: differential.py SIM PONDRELCTL_EXE WINEPREFIX [SESSION ...]
Prints one line per scenario and ends with "N passed, N failed"."""
import json
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
KNOWN = HERE / "known-differences.txt"
FIELDS = ("cmd", "status", "information", "data", "handle", "request", "done", "held")
# Longest run of one side of one scenario; a hung run is killed, and the
# prefix's wineserver with it.
RUN_SECONDS = int(os.environ.get("PONDREL_WINE_RUN_SECONDS", "120"))
MAX_SHOWN = 8


def load_known():
    """{(scenario, cmd, field)}: each line 'scenario | cmd | field | reason'."""
    known = set()
    for number, line in enumerate(KNOWN.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        parts = [part.strip() for part in line.split("|")]
        if len(parts) != 4 or not parts[3]:
            sys.exit(f"{KNOWN}:{number}: want 'scenario | cmd | field | reason'")
        known.add(tuple(parts[:3]))
    return known


def result_lines(output):
    """The result lines of a --json run, without the summary and findings."""
    lines = []
    for text in output.splitlines():
        try:
            line = json.loads(text)
        except ValueError:
            continue
        if "cmd" in line:
            lines.append({field: line.get(field) for field in FIELDS})
    return lines


def side_problems(side, status, err):
    """Exit status 1 says an expectation did not hold, which the line by line
    comparison judges; a timeout or bad input (2) fails the scenario."""
    if status in (0, 1):
        return []
    return [f"{side} exit {status} {err.strip()[:200]}"]


def sim_findings(output):
    for text in output.splitlines():
        if text.startswith('{"summary"'):
            return json.loads(text)["summary"].get("findings", 0)
    return 0


def run(command, env=None):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=RUN_SECONDS, env=env)
        return done.returncode, done.stdout, done.stderr
    except subprocess.TimeoutExpired as expired:
        out = expired.stdout.decode() if isinstance(expired.stdout, bytes) else (expired.stdout or "")
        return "timeout", out, f"did not end within {RUN_SECONDS} s"


def run_wine(exe, prefix, session):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    windows_path = "Z:" + str(session).replace("/", "\\")
    outcome = run(["wine", exe, "--test-bus", "--json", "--script", windows_path], env)
    # Each scenario starts from a fresh driver host: the prefix's wineserver
    # (and with it every driver) goes, even when the run hung.
    subprocess.run(["wineserver", "-k"], env=env, timeout=60, capture_output=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60, capture_output=True)
    return outcome


def differences(name, sim, wine):
    found = []
    for index in range(max(len(sim), len(wine))):
        left = sim[index] if index < len(sim) else {}
        right = wine[index] if index < len(wine) else {}
        cmd = left.get("cmd") or right.get("cmd")
        for field in FIELDS:
            if left.get(field) != right.get(field):
                found.append((name, cmd, field, left.get(field), right.get(field)))
    return found


def shorten(value):
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def describe(cmd, field, left, right):
    if field == "data" and isinstance(left, str) and isinstance(right, str):
        at = next((i for i in range(0, min(len(left), len(right)), 2) if left[i:i + 2] != right[i:i + 2]),
                  min(len(left), len(right)))
        return (f"'{cmd}' data: first difference at byte {at // 2}: emulator {left[at:at + 8] or 'ends'}, "
                f"Wine {right[at:at + 8] or 'ends'}")
    return f"'{cmd}' {field}: emulator {shorten(left)}, Wine {shorten(right)}"


def main(argv):
    if len(argv) < 4:
        sys.exit(__doc__)
    sim, exe = argv[1:3]
    prefix = str(pathlib.Path(argv[3]).resolve())
    sessions = [pathlib.Path(p).resolve() for p in argv[4:]] or sorted(HERE.glob("*.session"))
    known = load_known()
    used = set()
    passed = failed = 0
    for session in sessions:
        started = time.monotonic()
        sim_status, sim_out, sim_err = run([sim, "--json", "--script", str(session)])
        wine_status, wine_out, wine_err = run_wine(exe, prefix, session)
        problems = side_problems("pondrel-sim", sim_status, sim_err)
        problems += side_problems("pondrelctl under Wine", wine_status, wine_err)
        sim_lines = result_lines(sim_out)
        problems += [f"'{line['cmd']}' does not hold on the emulator after '{sim_lines[i - 1]['cmd']}' "
                     f"({line['status']})" for i, line in enumerate(sim_lines) if line["held"] is False]
        findings = sim_findings(sim_out)
        if findings:
            problems.append(f"pondrel-sim reports {findings} verifier finding(s)")
        for name, cmd, field, left, right in differences(session.name, sim_lines, result_lines(wine_out)):
            if (name, cmd, field) in known:
                used.add((name, cmd, field))
                continue
            problems.append(describe(cmd, field, left, right))
        seconds = time.monotonic() - started
        if problems:
            failed += 1
            print(f"FAILED  {session.name} ({seconds:.1f} s)")
            for problem in problems[:MAX_SHOWN]:
                print(f"        {problem}")
            if len(problems) > MAX_SHOWN:
                print(f"        ... and {len(problems) - MAX_SHOWN} more")
        else:
            passed += 1
            print(f"passed  {session.name} ({seconds:.1f} s)")
        sys.stdout.flush()
    for entry in sorted(known - used):
        if pathlib.Path(HERE / entry[0]) in sessions:
            print(f"note: known difference not seen: {' | '.join(entry)}")
    stage_start = os.environ.get("PONDREL_WINE_STAGE_START")
    if stage_start:
        print(f"== wine: {time.time() - float(stage_start):.0f} s with the prefix")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
