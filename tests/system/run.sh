#!/bin/bash
# The system test: velkupdate against a real kernel USB HID device. Boots a Debian kernel under
# QEMU (TCG) with an initramfs that holds busybox, the kernel's USB host, HID and gadget modules,
# velkupdate, the gadget-side Velk (velkgadget) and the bare report loop (velkrate), and reads the
# scenarios' results from the serial console.
#
#   tests/system/run.sh BUILD_DIR [WORK_DIR]
#
# BUILD_DIR holds the built programs (src/velkupdate, tests/system/velkgadget and velkrate).
# WORK_DIR (default BUILD_DIR/guest) receives the kernel package, the initramfs and the console
# log; a kernel already unpacked there is reused. Needs qemu-system-x86_64, a static busybox, cpio
# and apt-get (for `apt-get download` of the kernel package only; nothing is installed).
# Exits 0 when every scenario passed, 1 with the reason otherwise.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR [WORK_DIR]}" && pwd)
work=${2:-$build/guest}
mkdir -p "$work"
work=$(cd "$work" && pwd)
boot_limit=${VELK_GUEST_TIMEOUT:-420}  # seconds for the whole guest run

die() {
    echo "system test: FAILED: $*" >&2
    exit 1
}
now_ms() { date +%s%3N; }

for tool in qemu-system-x86_64 cpio dpkg-deb apt-get gzip timeout; do
    command -v "$tool" >/dev/null || die "$tool is missing"
done
busybox=$(command -v busybox) || die "busybox is missing (package busybox-static)"
ldd "$busybox" >/dev/null 2>&1 && die "$busybox is not static (package busybox-static)"
programs=("$build/src/velkupdate" "$build/tests/system/velkgadget" "$build/tests/system/velkrate")
for p in "${programs[@]}"; do [ -x "$p" ] || die "$p is not built"; done

# --- The kernel: Debian's current linux-image-<abi>-amd64, unpacked, not installed ---
t0=$(now_ms)
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ {print $2; exit}')
[ -n "$package" ] || die "cannot resolve the kernel package from linux-image-amd64 (apt-get update?)"
abi=${package#linux-image-}
kernel=$work/kernel/boot/vmlinuz-$abi
modules=$work/kernel/lib/modules/$abi/kernel
if [ ! -f "$kernel" ]; then
    rm -rf "$work/kernel" "$work"/linux-image-*.deb
    (cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$package") ||
        die "apt-get download $package failed"
    dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel" || die "cannot unpack $package"
    rm -f "$work"/linux-image-*.deb
fi
[ -f "$kernel" ] || die "no kernel in $package"
echo "system test: kernel $package ($(($(now_ms) - t0)) ms to fetch)"

# --- The initramfs ---
t0=$(now_ms)
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,etc}
cp "$busybox" "$root/bin/busybox"
install -m 0755 "$here/guest-init.sh" "$root/init"
for p in "${programs[@]}"; do cp "$p" "$root/bin/"; done
# The programs' shared libraries, at the paths the dynamic loader looks for them.
for lib in $(ldd "${programs[@]}" | awk '/=> \// {print $3} /^\t\/lib/ {print $1}' | sort -u); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
for m in configfs usb-common usbcore udc-core hid usbhid hid-generic libcomposite usb_f_hid dummy_hcd; do
    ko=$(find "$modules" -name "$m.ko" | head -n 1)
    if [ -z "$ko" ]; then
        xz=$(find "$modules" -name "$m.ko.xz" | head -n 1)
        [ -n "$xz" ] || die "module $m is not in $package"
        xz -dc "$xz" >"$root/modules/$m.ko"
    else
        cp "$ko" "$root/modules/$m.ko"
    fi
done
mknod "$root/dev/console" c 5 1
printf 'root:x:0:0::/:/bin/sh\nvelk:x:1000:1000::/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nvelk:x:1000:\n' >"$root/etc/group"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz" || die "cannot build the initramfs"
echo "system test: initramfs $(du -k "$work/initrd.gz" | cut -f1) KiB ($(($(now_ms) - t0)) ms to build)"

# --- Boot ---
log=$work/console.log
: >"$log"
t0=$(now_ms)
timeout "$boot_limit" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot -nic none \
    -kernel "$kernel" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" </dev/null >"$log" 2>&1 &
qemu=$!
init_seen=""
while kill -0 "$qemu" 2>/dev/null; do
    if [ -z "$init_seen" ] && grep -q 'VELK-INIT' "$log"; then init_seen=$(($(now_ms) - t0)); fi
    sleep 0.1
done
wait "$qemu"
qemu_status=$?
wall=$(($(now_ms) - t0))
tr -d '\r' <"$log" >"$log.txt"

echo "system test: guest console (VELK lines):"
grep '^VELK-' "$log.txt" | sed 's/^/  /'
[ "$qemu_status" -eq 124 ] && die "the guest did not finish within ${boot_limit} s (console: $log.txt)"
[ -n "$init_seen" ] || die "the guest did not reach /init (qemu status $qemu_status; console: $log.txt)"
grep -q '^VELK-FATAL' "$log.txt" && die "$(grep '^VELK-FATAL' "$log.txt" | head -n 1)"
grep -q '^VELK-DONE' "$log.txt" || die "the guest ended before its last scenario (console: $log.txt)"
echo "VELK-MEASURE host_wall_to_init_ms $init_seen"
echo "VELK-MEASURE host_wall_qemu_ms $wall"

failed=0
for scenario in no-velk complete-update decoy-first raw-rate user-access refuse-fpga-block \
    refuse-mcu-block stalled-writes exchange-bounds no-out-endpoint; do
    line=$(grep "^VELK-RESULT $scenario " "$log.txt" | head -n 1)
    case "$line" in
        "VELK-RESULT $scenario PASS"*) ;;
        "") echo "system test: scenario $scenario has no result" >&2; failed=1 ;;
        *) echo "system test: scenario $scenario failed: ${line#VELK-RESULT $scenario FAIL }" >&2; failed=1 ;;
    esac
done
[ "$failed" -eq 0 ] || die "see above (console: $log.txt)"
echo "system test: every scenario passed"
