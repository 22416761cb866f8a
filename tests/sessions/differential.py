#!/usr/bin/env python3
"""Runs each session script on two kernels and compares their result lines
(command, status, Information, data, handles, expectations; not timings).

usage: differential.py SIM PONDRELCTL_EXE WINEPREFIX[:WINEPREFIX...] [SESSION ...]
         pondrel-sim against the shipped pondrel.sys under Wine, through
         pondrelctl.exe --test-bus; one scenario at a time in each prefix.
       differential.py --image SYS SIM [SESSION ...]
         pondrel-sim's linked host build against SYS loaded by
         `SIM --sys SYS`; PONDREL_DIFF_JOBS scenarios at a time (2).

A scenario fails on any difference that its mode's list of known
differences does not give with its reason, on an expectation that does not
hold on an emulator side, on a verifier finding, and on a run that hangs or
refuses its input. Prints one line per scenario and ends with
"N passed, N failed"."""
import concurrent.futures
import json
import os
import pathlib
import queue
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
FIELDS = ("cmd", "status", "information", "data", "handle", "request", "done", "held")
# Longest run of one side of one scenario; a hung run is killed (under
# Wine, the prefix's wineserver with it).
RUN_SECONDS = int(os.environ.get("PONDREL_WINE_RUN_SECONDS", "120"))
MAX_SHOWN = 8


class Mode:
    """Two sides to compare: their names, how each runs a session (given a
    slot: a Wine prefix, or nothing), whether each is the emulator (whose
    expectations and verifier are judged too), and the known differences."""

    def __init__(self, names, runners, emulated, known, slots):
        self.names, self.runners, self.emulated = names, runners, emulated
        self.known_file, self.slots = HERE / known, slots


def load_known(path):
    """{(scenario, cmd, field)}: each line 'scenario | cmd | field | reason'."""
    known = set()
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        parts = [part.strip() for part in line.split("|")]
        if len(parts) != 4 or not parts[3]:
            sys.exit(f"{path}:{number}: want 'scenario | cmd | field | reason'")
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


def findings(output):
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


def sim_runner(sim, *options):
    return lambda session, slot: run([sim, *options, "--json", "--script", str(session)])


def wine_runner(exe):
    def run_wine(session, prefix):
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        windows_path = "Z:" + str(session).replace("/", "\\")
        outcome = run(["wine", exe, "--test-bus", "--json", "--script", windows_path], env)
        # Each scenario starts from a fresh driver host: the prefix's
        # wineserver (and with it every driver) goes, even when the run hung.
        subprocess.run(["wineserver", "-k"], env=env, timeout=60, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=env, timeout=60, capture_output=True)
        return outcome
    return run_wine


def side_problems(name, emulated, outcome):
    """Exit status 1 says an expectation did not hold, which the line by line
    comparison judges; a timeout, bad input (2) or no output at all fails the
    scenario, and on the emulator so do an expectation that does not hold and
    a finding."""
    status, out, err = outcome
    problems = [] if status in (0, 1) else [f"{name} exit {status} {err.strip()[:200]}"]
    lines = result_lines(out)
    if not lines:
        problems.append(f"{name} printed no result line")
    if not emulated:
        return problems
    problems += [f"'{line['cmd']}' does not hold on {name} after '{lines[i - 1]['cmd']}' ({line['status']})"
                 for i, line in enumerate(lines) if line["held"] is False]
    if findings(out):
        problems.append(f"{name} reports {findings(out)} verifier finding(s)")
    return problems


def differences(left, right):
    for index in range(max(len(left), len(right))):
        one = left[index] if index < len(left) else {}
        other = right[index] if index < len(right) else {}
        cmd = one.get("cmd") or other.get("cmd")
        for field in FIELDS:
            if one.get(field) != other.get(field):
                yield cmd, field, one.get(field), other.get(field)


def shorten(value):
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def describe(names, cmd, field, left, right):
    if field == "data" and isinstance(left, str) and isinstance(right, str):
        at = next((i for i in range(0, min(len(left), len(right)), 2) if left[i:i + 2] != right[i:i + 2]),
                  min(len(left), len(right)))
        return (f"'{cmd}' data: first difference at byte {at // 2}: {names[0]} {left[at:at + 8] or 'ends'}, "
                f"{names[1]} {right[at:at + 8] or 'ends'}")
    return f"'{cmd}' {field}: {names[0]} {shorten(left)}, {names[1]} {shorten(right)}"


def judge(mode, known, session, slot):
    """Runs one scenario on both sides: its problems, the known differences
    it showed, and its seconds."""
    started = time.monotonic()
    outcomes = [runner(session, slot) for runner in mode.runners]
    problems, seen = [], set()
    for name, emulated, outcome in zip(mode.names, mode.emulated, outcomes):
        problems += side_problems(name, emulated, outcome)
    left, right = (result_lines(outcome[1]) for outcome in outcomes)
    for cmd, field, one, other in differences(left, right):
        if (session.name, cmd, field) in known:
            seen.add((session.name, cmd, field))
        else:
            problems.append(describe(mode.names, cmd, field, one, other))
    return problems, seen, time.monotonic() - started


def parse(argv):
    """The mode and the sessions that argv asks for."""
    if len(argv) >= 4 and argv[1] == "--image":
        sys_file, sim = argv[2:4]
        jobs = int(os.environ.get("PONDREL_DIFF_JOBS", "2"))
        mode = Mode(("the host build", "the loaded image"), (sim_runner(sim), sim_runner(sim, "--sys", sys_file)),
                    (True, True), "known-differences-image.txt", [None] * jobs)
        paths = argv[4:]
    elif len(argv) >= 4 and argv[1] != "--image":
        sim, exe, prefixes = argv[1:4]
        slots = [str(pathlib.Path(prefix).resolve()) for prefix in prefixes.split(os.pathsep)]
        mode = Mode(("emulator", "Wine"), (sim_runner(sim), wine_runner(exe)), (True, False),
                    "known-differences.txt", slots)
        paths = argv[4:]
    else:
        sys.exit(__doc__)
    return mode, [pathlib.Path(p).resolve() for p in paths] or sorted(HERE.glob("*.session"))


def main(argv):
    mode, sessions = parse(argv)
    known = load_known(mode.known_file)
    free = queue.Queue()
    for slot in mode.slots:
        free.put(slot)

    def in_a_slot(session):
        slot = free.get()
        try:
            return judge(mode, known, session, slot)
        finally:
            free.put(slot)

    used = set()
    passed = failed = 0
    with concurrent.futures.ThreadPoolExecutor(len(mode.slots)) as pool:
        for session, (problems, seen, seconds) in zip(sessions, pool.map(in_a_slot, sessions)):
            used |= seen
            print(f"{'FAILED ' if problems else 'passed '} {session.name} ({seconds:.1f} s)")
            for problem in problems[:MAX_SHOWN]:
                print(f"        {problem}")
            if len(problems) > MAX_SHOWN:
                print(f"        ... and {len(problems) - MAX_SHOWN} more")
            failed += bool(problems)
            passed += not problems
            sys.stdout.flush()
    for entry in sorted(known - used):
        if HERE / entry[0] in sessions:
            print(f"note: known difference not seen: {' | '.join(entry)}")
    stage_start = os.environ.get("PONDREL_WINE_STAGE_START")
    if stage_start:
        print(f"== wine: {time.time() - float(stage_start):.0f} s with the prefixes")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
