#!/usr/bin/env python3
"""Runs the pondrel-sim examples of README.md and docs/*.md and compares
their output with what the page shows; with --rewrite, puts the output of
this build into the pages instead.

Which blocks are examples (docs/testing.md says the same):
  - a fenced block whose commands (lines starting with "$ ") are all
    `pondrel-sim ...` or `build/host/pondrel-sim ...`, or `echo $?` (the exit
    status of the command before it); the lines after a command are its
    output, stdout and stderr together;
  - a fenced block right after the line `<!-- output of: pondrel-sim ARGS -->`:
    the whole block is what that command prints.
A line `[... anything ...]` in the output stands for any number of lines.
Compared are the lines with runs of white space made one space, numbers with
a decimal point (times, rates) written #.#, and addresses (0x and nine or
more hex digits) written 0x#.

usage: docs_examples.py --sim PATH --root SOURCE_DIR [--rewrite] [PAGE...]
exit status: 0 when every example holds (or was rewritten), 1 otherwise.
"""

import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```[a-z]*$")
MARKER = re.compile(r"^<!-- output of: (pondrel-sim( .*)?) -->$")
ELISION = re.compile(r"^\[\.\.\..*\.\.\.\]$")
SIM_COMMAND = re.compile(r"^(build/host/)?pondrel-sim(\s|$)")
COMMAND_SECONDS = 300


class Example:
    """One block: where it is, its commands and what each one shows."""

    def __init__(self, page, first, last, steps, marked):
        self.page = page
        self.first = first  # the index of the block's first line (after the fence)
        self.last = last    # the index of the closing fence
        self.steps = steps  # [(command text lines, command, shown output lines)]
        self.marked = marked


def masked(line):
    line = re.sub(r"0x[0-9a-fA-F]{9,}", "0x#", line)
    line = re.sub(r"\d+\.\d+", "#.#", line)
    return " ".join(line.split())


def complete(command):
    try:
        shlex.split(command)
        return True
    except ValueError:
        return False


def transcript(lines):
    """The steps of a block of "$ " commands; None when it is not an example."""
    steps = []
    i = 0
    while i < len(lines):
        if not lines[i].startswith("$ "):
            return None
        text = [lines[i]]
        command = lines[i][2:]
        while not complete(command) and i + len(text) < len(lines):
            text.append(lines[i + len(text)])
            command += "\n" + text[-1]
        i += len(text)
        output = []
        while i < len(lines) and not lines[i].startswith("$ "):
            output.append(lines[i])
            i += 1
        if not (SIM_COMMAND.match(command) or command.strip() == "echo $?"):
            return None
        steps.append((text, command, output))
    return steps if steps and SIM_COMMAND.match(steps[0][1]) else None


def find_examples(page, lines):
    examples = []
    i = 0
    while i < len(lines):
        if not FENCE.match(lines[i]):
            i += 1
            continue
        end = i + 1
        while end < len(lines) and lines[end] != "```":
            end += 1
        body = lines[i + 1:end]
        before = i - 1
        while before >= 0 and not lines[before].strip():
            before -= 1
        marker = MARKER.match(lines[before]) if before >= 0 else None
        if marker:
            examples.append(Example(page, i + 1, end, [([], marker.group(1), body)], True))
        else:
            steps = transcript(body)
            if steps:
                examples.append(Example(page, i + 1, end, steps, False))
        i = end + 1
    return examples


def run(command, sim, workdir):
    command = SIM_COMMAND.sub(shlex.quote(sim) + r"\2", command, count=1)
    environment = {k: v for k, v in os.environ.items() if not k.startswith("PONDREL_")}
    done = subprocess.run(["sh", "-c", command], cwd=workdir, env=environment, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=COMMAND_SECONDS)
    text = done.stdout.decode("utf-8", "replace")
    return text.rstrip("\n").split("\n") if text.strip() else [], done.returncode


def align(shown, got, take=0.0):
    """The cheapest way to turn `shown` into `got`: a line kept costs nothing
    when it matches once masked, one that differs, goes or comes costs 1, and
    an elision takes each line for `take`. Returns (cost, [(shown index or
    None, got index or None)])."""
    rows, columns = len(shown), len(got)
    shown_masked, got_masked = [masked(line) for line in shown], [masked(line) for line in got]
    elided = [bool(ELISION.match(line)) for line in shown]
    infinity = float("inf")
    cost = [[infinity] * (columns + 1) for _ in range(rows + 1)]
    step = [[None] * (columns + 1) for _ in range(rows + 1)]
    cost[rows][columns] = 0
    for i in range(rows, -1, -1):
        for j in range(columns, -1, -1):
            if i == rows and j == columns:
                continue
            choices = []
            if i < rows and elided[i]:
                choices.append((cost[i + 1][j], "leave"))
                if j < columns:
                    choices.append((cost[i][j + 1] + take, "take"))
            else:
                if i < rows and j < columns:
                    same = shown_masked[i] == got_masked[j]
                    choices.append((cost[i + 1][j + 1] + (0 if same else 1), "pair"))
                if i < rows:
                    choices.append((cost[i + 1][j] + 1, "drop"))
                if j < columns:
                    choices.append((cost[i][j + 1] + 1, "add"))
            cost[i][j], step[i][j] = min(choices, key=lambda choice: choice[0])
    path, i, j = [], 0, 0
    while (i, j) != (rows, columns):
        move = step[i][j]
        if move == "leave":
            path.append((i, None))
            i += 1
        elif move == "take":
            j += 1
        elif move == "pair":
            path.append((i, j))
            i, j = i + 1, j + 1
        elif move == "drop":
            i += 1
        else:
            path.append((None, j))
            j += 1
    return cost[0][0], path


def refreshed(shown, got, path):
    return [got[j] if j is not None else shown[i] for i, j in path]


def check_example(example, sim, workdir, rewrite, report):
    """True when the example holds; with `rewrite`, its new lines."""
    body = []
    holds = True
    status = None
    for text, command, shown in example.steps:
        if command.strip() == "echo $?":
            got = [str(status)]
        else:
            got, status = run(command, sim, workdir)
        cost, path = align(shown, got)
        if cost:
            holds = False
            report.append(describe(example, command, shown, got, path))
            # Rewritten, an elision keeps only the lines between the lines
            # around it; what comes or changes elsewhere is written out.
            cost, path = align(shown, got, take=0.99)
        body += text + (refreshed(shown, got, path) if rewrite else shown)
    return holds, body


def describe(example, command, shown, got, path):
    lines = ["%s:%d: the output of `%s` differs from the page (- page, + now):"
             % (example.page, example.first, command.split("\n")[0])]
    for i, j in path:
        if i is not None and j is not None and masked(shown[i]) == masked(got[j]):
            continue
        if i is not None and ELISION.match(shown[i]):
            continue
        if i is not None:
            lines.append("  - " + shown[i])
        if j is not None:
            lines.append("  + " + got[j])
    return "\n".join(lines)


def pages(root, named):
    if named:
        return named
    docs = sorted(os.path.join("docs", name) for name in os.listdir(os.path.join(root, "docs")) if name.endswith(".md"))
    return ["README.md"] + docs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sim", required=True, help="the pondrel-sim to run")
    parser.add_argument("--root", required=True, help="the source tree")
    parser.add_argument("--rewrite", action="store_true", help="put this build's output into the pages")
    parser.add_argument("pages", nargs="*", help="pages relative to the root (README.md and docs/*.md)")
    arguments = parser.parse_args()
    sim = os.path.abspath(arguments.sim)
    root = os.path.abspath(arguments.root)

    report, count = [], 0
    with tempfile.TemporaryDirectory(prefix="pondrel-docs-") as workdir:
        # Commands see the tree's folders (device files, sessions) and write
        # what they create (captures, traces) into the temporary folder.
        for name in os.listdir(root):
            if name != "build":
                os.symlink(os.path.join(root, name), os.path.join(workdir, name))
        for page in pages(root, arguments.pages):
            path = os.path.join(root, page)
            with open(path, encoding="utf-8") as file:
                lines = file.read().split("\n")
            changed = False
            for example in reversed(find_examples(page, lines)):
                count += 1
                holds, body = check_example(example, sim, workdir, arguments.rewrite, report)
                if not holds and arguments.rewrite:
                    lines[example.first:example.last] = body
                    changed = True
            if changed:
                with open(path, "w", encoding="utf-8") as file:
                    file.write("\n".join(lines))
    for entry in report:
        print(entry)
    verdict = "rewritten" if arguments.rewrite else "differ"
    print("%d examples run, %d %s" % (count, len(report), verdict if report else "differ"))
    if count == 0:
        print("no examples found: the pages or the rule that finds them changed")
        return 1
    return 0 if arguments.rewrite or not report else 1


if __name__ == "__main__":
    sys.exit(main())
