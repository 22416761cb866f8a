#!/bin/sh
# Gathers the Windows package: make-package.sh PONDREL_SYS PONDRELCTL_EXE OUT_DIR
# (pondrel.inf, the install note, and for application writers the header,
# its page and the example program come from the source tree).
set -eu

if [ $# -ne 3 ]; then
    echo "usage: make-package.sh PONDREL_SYS PONDRELCTL_EXE OUT_DIR" >&2
    exit 2
fi
sys=$1
ctl=$2
out=$3
root=$(cd "$(dirname "$0")/../.." && pwd)

for file in "$sys" "$ctl"; do
    if [ ! -f "$file" ]; then
        echo "make-package: $file is missing (build the Windows side first)" >&2
        exit 1
    fi
done

rm -rf "$out"
mkdir -p "$out"
cp "$sys" "$out/pondrel.sys"
cp "$ctl" "$out/pondrelctl.exe"
cp "$root/driver/pondrel.inf" "$out/pondrel.inf"
cp "$root/tools/package/INSTALL.txt" "$out/INSTALL.txt"
cp "$root/include/pondrel.h" "$out/pondrel.h"
cp "$root/docs/application-header.md" "$out/application-header.md"
cp "$root/docs/example/pondrel_example.c" "$out/pondrel_example.c"
echo "package: $(cd "$out" && ls | tr '\n' ' ')in $out"
