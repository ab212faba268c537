#!/usr/bin/env bash
# The Windows stage: cross-builds velkupdate.exe and its tests for 32- and 64-bit Windows with
# MinGW-w64 and runs the tests under Wine. Works on its own from the repository root, as root.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

step() { printf '\n---- %s (%s)\n' "$1" "$(date -u +%H:%M:%S)"; }
start=$(date +%s)

packages=(cmake ninja-build googletest
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 wine32:i386)

step "packages"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${packages[@]}"
else
  echo "all installed"
fi
# Without 32-bit Wine the 32-bit tests would not run at all; the wrapper refuses them, and this
# says so before anything is built.
if [ ! -x /usr/lib/wine/wine ]; then
  echo "error: 32-bit Wine (wine32:i386) is missing; the 32-bit tests cannot run" >&2
  exit 1
fi

presets=(windows-x86 windows-x64)

# One persistent wineserver per build tree's prefix, its standard streams away from this script's
# (a server holding them would keep CTest waiting), stopped on every way out.
stop_servers() {
  for p in "${presets[@]}"; do
    WINEPREFIX="$PWD/build/$p/wine-prefix" wineserver -k </dev/null >/dev/null 2>&1 || true
  done
}
trap stop_servers EXIT

for p in "${presets[@]}"; do
  step "$p: configure and build"
  cmake --preset "$p"
  cmake --build --preset "$p"

  step "$p: Wine prefix"
  prefix="$PWD/build/$p/wine-prefix"
  mkdir -p "$prefix"
  WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true  # one left by an earlier run
  WINEPREFIX="$prefix" WINEDEBUG=-all wineserver -p </dev/null >/dev/null 2>&1
  cmake/wine-run.sh "$prefix" --init  # wine wineboot -i, once per prefix

  step "$p: tests under Wine"
  ctest --preset "$p" -j2
done

step "Windows stage passed in $(( $(date +%s) - start )) s"
