#!/bin/bash
# The Linux program and its system test: builds velkupdate with the libusb backend, checks it on
# this machine (no USB: the not-found message, status 2), then boots a Debian kernel under QEMU in
# which velkupdate updates a real kernel USB HID gadget (tests/system/run.sh). Run from anywhere,
# as root (apt-get); needs only Debian's package archive. Exits non-zero with the reason when
# anything fails or the guest cannot boot.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
build=build/system

die() {
    echo "system.sh: FAILED: $*" >&2
    exit 1
}

# --- Packages ---
packages=(cmake ninja-build g++ pkg-config libusb-1.0-0-dev libgtest-dev qemu-system-x86 busybox-static cpio)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
# The package lists are needed to install and to find the current kernel package.
if [ "${#missing[@]}" -gt 0 ] || ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
    apt-get update -qq || die "apt-get update failed"
fi
if [ "${#missing[@]}" -gt 0 ]; then
    echo "system.sh: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        die "apt-get install ${missing[*]} failed"
fi

# --- Build ---
t0=$(date +%s)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELK_BENCH=OFF -DVELK_WERROR=ON >/dev/null ||
    die "cmake configure failed"
cmake --build "$build" --target velkupdate velkgadget velkrate || die "build failed"
echo "system.sh: built in $(($(date +%s) - t0)) s"

# --- This machine: no USB, so no Velk ---
ctest --test-dir "$build" -R '^velkupdate\.notFound$' --output-on-failure --no-tests=error ||
    die "velkupdate without a Velk did not print the not-found message with status 2"

# --- The guest ---
bash tests/system/run.sh "$build" "$build/guest" || die "the system test failed"
echo "system.sh: passed in $(($(date +%s) - start)) s"
