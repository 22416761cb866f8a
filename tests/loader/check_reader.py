#!/usr/bin/env python3
"""The loader's reading of pondrel.sys (pondrel-sim --sys FILE
--describe-image) against python3-pefile's: sections, DIR64 relocations and
imports; then a copy with another machine type is refused with one line and
exit status 2.

usage: check_reader.py PONDREL_SIM PONDREL_SYS"""
import pathlib
import subprocess
import sys
import tempfile

import pefile


def pefile_view(path):
    pe = pefile.PE(path)
    lines = []
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode()
        span = s.Misc_VirtualSize or s.SizeOfRawData
        flags = s.Characteristics
        rights = ("r" if flags & 0x40000000 else "-") + ("w" if flags & 0x80000000 else "-") + \
                 ("x" if flags & 0x20000000 else "-")
        lines.append(f"section {name} rva {s.VirtualAddress:#x} size {span:#x} {rights}")
    fixups = sum(1 for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for e in block.entries if e.type == 10)
    lines.append(f"relocations {fixups}")
    for module in pe.DIRECTORY_ENTRY_IMPORT:
        lines += [f"import {module.dll.decode()} {i.name.decode()}" for i in module.imports]
    return lines


def main(sim, sys_path):
    described = subprocess.run([sim, "--sys", sys_path, "--describe-image"], capture_output=True, text=True, check=True)
    ours = [line for line in described.stdout.splitlines() if not line.startswith("image ")]
    theirs = pefile_view(sys_path)
    failed = False
    if ours != theirs:
        failed = True
        print("the loader and pefile disagree:")
        for line in sorted(set(ours) ^ set(theirs)):
            print(("  loader only: " if line in ours else "  pefile only: ") + line)
    bytes_ = bytearray(pathlib.Path(sys_path).read_bytes())
    pe_offset = int.from_bytes(bytes_[0x3c:0x40], "little")
    bytes_[pe_offset + 4:pe_offset + 6] = (0x1c0).to_bytes(2, "little")  # ARM
    with tempfile.TemporaryDirectory() as folder:
        broken = pathlib.Path(folder) / "pondrel.sys"
        broken.write_bytes(bytes_)
        run = subprocess.run([sim, "--sys", str(broken), "-c", "plug"], capture_output=True, text=True)
    if run.returncode != 2 or run.stderr.count("\n") != 1 or "is for machine 0x1c0" not in run.stderr:
        failed = True
        print(f"an ARM image: exit {run.returncode}, stderr {run.stderr!r}")
    print(f"{len(theirs)} lines agree" if not failed else "FAILED")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
