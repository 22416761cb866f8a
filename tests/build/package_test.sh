#!/bin/sh
# make-package.sh gathers exactly the files of the Windows package, those for
# application writers among them, each a copy of where it comes from. The
# two built files are stand-ins, so no Windows build is needed.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'driver image' >"$work/built.sys"
printf 'console client' >"$work/built.exe"
"$root/tools/package/make-package.sh" "$work/built.sys" "$work/built.exe" "$work/dist" >/dev/null

failed=0
count=0
# packaged name, and the file it copies
while read -r name source; do
    count=$((count + 1))
    if ! cmp -s "$work/dist/$name" "$source"; then
        echo "package: $name is missing or not a copy of $source"
        failed=1
    fi
done <<TABLE
pondrel.sys $work/built.sys
pondrelctl.exe $work/built.exe
pondrel.inf $root/driver/pondrel.inf
INSTALL.txt $root/tools/package/INSTALL.txt
pondrel.h $root/include/pondrel.h
application-header.md $root/docs/application-header.md
pondrel_example.c $root/docs/example/pondrel_example.c
TABLE
present=$(ls "$work/dist" | wc -l)
if [ "$present" -ne "$count" ]; then
    echo "package: $present files, not $count:" $(ls "$work/dist")
    failed=1
fi
exit $failed
