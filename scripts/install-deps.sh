#!/usr/bin/env bash
# Installs the Debian packages that building and testing pondrel needs and
# that are missing. As root it runs apt-get; otherwise it prints the apt-get
# line to run and fails. With nothing missing it only asks dpkg and returns.
set -euo pipefail

packages=(
  cmake
  ninja-build
  g++
  googletest
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  g++-mingw-w64-x86-64-posix
  mingw-w64-x86-64-dev
  binutils-mingw-w64-x86-64
  tshark
  # The JSON reader of the tests of pondrel-sim's output.
  nlohmann-json3-dev
  # The PE check of pondrel.sys (tests/build/check_pe.py).
  python3-pefile
  clang
  # libFuzzer and the sanitizer runtimes of clang (the fuzz preset).
  libclang-rt-14-dev
  # The Wine run of pondrel.sys (make wine-test): Debian 12's Wine 8.0 and
  # the harness's interpreter.
  wine
  wine64
  python3
)
# Installed with their recommended packages, as the Wine run was proven with.
with_recommends=(wine wine64)

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps: not a Debian system; make sure these are installed: ${packages[*]}" >&2
  exit 0
fi

# One dpkg-query for all of them; a package dpkg has never heard of prints
# nothing on stdout and counts as missing.
installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null \
  | awk '$2 == "installed" { print $1 }' || true)
missing=()
for package in "${packages[@]}"; do
  if ! grep -qx -- "$package" <<<"$installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: as root, run:" >&2
  echo "  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# tshark's package would otherwise ask whether ordinary users may capture.
if printf '%s\n' "${missing[@]}" | grep -qx tshark; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
fi
echo "install-deps: installing ${missing[*]}"
apt-get update
plain=()
recommended=()
for package in "${missing[@]}"; do
  if printf '%s\n' "${with_recommends[@]}" | grep -qx -- "$package"; then
    recommended+=("$package")
  else
    plain+=("$package")
  fi
done
if [ ${#plain[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${plain[@]}"
fi
if [ ${#recommended[@]} -gt 0 ]; then
  apt-get install -y "${recommended[@]}"
fi
