#!/bin/busybox sh
# /init of the system test's guest. The guest's kernel hosts both ends of a real USB link:
# dummy_hcd gives two USB device controllers, each wired to a host controller of its own, and the
# gadget framework presents HID gadgets on them that the guest's own host-side stack enumerates.
# velkupdate runs against them unchanged. Each scenario prints one line
#     VELK-RESULT <scenario> PASS|FAIL <detail>
# and each measurement one line "VELK-MEASURE <name> <value>"; "VELK-DONE" ends the run.

/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp

# Milliseconds since boot (10 ms steps).
ms() {
    read -r up _ </proc/uptime
    frac=${up#*.}
    frac=${frac#0}
    echo $((${up%.*} * 1000 + frac * 10))
}
echo "VELK-INIT uptime_ms=$(ms)"
echo "VELK-MEASURE init_uptime_ms $(ms)"

failures=0
result() {  # scenario, PASS|FAIL, detail
    echo "VELK-RESULT $1 $2 $3"
    [ "$2" = PASS ] || failures=$((failures + 1))
}
finish() {
    echo "VELK-MEASURE end_uptime_ms $(ms)"
    echo "VELK-DONE failures=$failures"
    sync
    poweroff -f
}
fatal() {
    echo "VELK-FATAL $*"
    finish
}

# --- Modules, in dependency order (the package has no modules.dep) ---
for m in configfs usb-common usbcore udc-core hid usbhid hid-generic libcomposite usb_f_hid; do
    insmod "/modules/$m.ko" || fatal "insmod $m"
done
insmod /modules/dummy_hcd.ko num=2 || fatal "insmod dummy_hcd"
mount -t configfs none /sys/kernel/config || fatal "mount configfs"
echo "VELK-MEASURE modules_loaded_uptime_ms $(ms)"

# --- Expected output ---
dots() {
    s=""
    i=0
    while [ "$i" -lt "$1" ]; do s="$s."; i=$((i + 1)); done
    printf %s "$s"
}
printf 'No Velk found. Please restart Velk in bootloader mode (press and hold CONFIG during power on).\n' >/tmp/want.notfound
printf 'Updating FPGA.%s done.\nUpdating MCU.%s done.\nRestarting...\n' "$(dots 249)" "$(dots 7)" >/tmp/want.complete
[ "$(wc -c </tmp/want.complete)" -eq 311 ] || fatal "expected output is not 311 characters"

# Runs velkupdate (or the given command that runs it) into /tmp/run.out; leaves the exit status
# in $status and the wall time in $elapsed (ms).
run_update() {
    [ "$#" -gt 0 ] || set -- /bin/velkupdate
    t0=$(ms)
    "$@" >/tmp/run.out 2>/tmp/run.err </dev/null
    status=$?
    elapsed=$(($(ms) - t0))
}
# Compares /tmp/run.out with a file; on a difference appends what came to $why.
same_output() {
    if cmp -s /tmp/run.out "$1"; then return 0; fi
    why="$why output=[$(od -An -c /tmp/run.out | tr -s ' \n' ' ' | cut -c1-200)]"
    return 1
}
check_stderr() {
    [ -s /tmp/run.err ] && why="$why stderr=[$(head -c 200 /tmp/run.err | tr '\n' ' ')]"
}

# --- Gadgets ---
# The report descriptor: vendor page, 63-byte input and output reports, no report IDs.
DESC='\006\000\377\011\001\241\001\011\002\025\000\046\377\000\165\010\225\077\201\002\011\003\025\000\046\377\000\165\010\225\077\221\002\300'
# make_gadget NAME PRODUCT CONFIGURATION NO_OUT: string 4 is the configuration string.
make_gadget() {
    g=/sys/kernel/config/usb_gadget/$1
    mkdir "$g" || return 1
    echo 0x5a17 >"$g/idVendor"
    echo 0x0005 >"$g/idProduct"
    echo 0x0100 >"$g/bcdDevice"
    echo 0x0200 >"$g/bcdUSB"
    mkdir "$g/strings/0x409"
    echo "Velk" >"$g/strings/0x409/manufacturer"
    echo "$2" >"$g/strings/0x409/product"
    echo "$1" >"$g/strings/0x409/serialnumber"
    f=$g/functions/hid.usb0
    mkdir "$f"
    echo 0 >"$f/protocol"
    echo 0 >"$f/subclass"
    echo 63 >"$f/report_length"
    printf "$DESC" >"$f/report_desc"
    if [ "$4" = 1 ]; then
        [ -e "$f/no_out_endpoint" ] || return 1
        echo 1 >"$f/no_out_endpoint"
    fi
    mkdir "$g/configs/c.1"
    mkdir "$g/configs/c.1/strings/0x409"
    echo "$3" >"$g/configs/c.1/strings/0x409/configuration"
    echo 100 >"$g/configs/c.1/MaxPower"
    ln -s "$f" "$g/configs/c.1/"
}
# The host side's USB device directory name (e.g. 1-1) of the device with this product string.
host_device() {
    for d in /sys/bus/usb/devices/*; do
        [ -f "$d/product" ] && [ "$(cat "$d/product")" = "$1" ] && { basename "$d"; return 0; }
    done
    return 1
}
# Waits up to 10 s until the device with this product is enumerated and its hidraw node bound.
wait_host() {
    i=0
    while [ "$i" -lt 100 ]; do
        d=$(host_device "$1") && ls -d "/sys/bus/usb/devices/$d:1.0/"0003:*/hidraw >/dev/null 2>&1 && {
            echo "$d"
            return 0
        }
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}
hid_name() { basename "$(ls -d "/sys/bus/usb/devices/$1:1.0/"0003:* 2>/dev/null | head -n 1)"; }
driver_of() { basename "$(readlink "/sys/bus/usb/devices/$1:1.0/driver")" 2>/dev/null; }
devnode() { printf '/dev/bus/usb/%03d/%03d' "$(cat "/sys/bus/usb/devices/$1/busnum")" "$(cat "/sys/bus/usb/devices/$1/devnum")"; }

# Starts the gadget-side program: gadget_start DEVICE MODE [N]. gadget_stop ends it and leaves its
# line in $line (it must run in this shell, not in a subshell, to wait for the program).
gadget_start() {
    /bin/velkgadget "$@" >/tmp/gadget.out 2>&1 &
    gadget_pid=$!
    sleep 0.2
}
gadget_stop() {
    kill -TERM "$gadget_pid" 2>/dev/null
    wait "$gadget_pid"
    line=$(cat /tmp/gadget.out)
}
field() { echo "$1" | sed -n "s/.* $2=\([^ ]*\).*/\1/p"; }
# expect LINE NAME VALUE: appends to $why when the gadget's field differs.
expect() {
    v=$(field "$1" "$2")
    [ "$v" = "$3" ] || why="$why $2=$v(want $3)"
}
# What every complete update must show: status 0, the exact output, nothing on stderr, and the
# gadget holding both images and one restart report.
expect_complete_update() {
    [ "$status" -eq 0 ] || why="$why status=$status"
    same_output /tmp/want.complete
    check_stderr
    expect "$line" fpga match
    expect "$line" mcu match
    expect "$line" restarts 1
}

# === Scenario: no Velk (no gadget bound) ===
why=""
run_update
[ "$status" -eq 2 ] || why="$why status=$status"
same_output /tmp/want.notfound
check_stderr
status2=0
/bin/velkupdate some arguments >/tmp/run.out 2>/tmp/run.err </dev/null || status2=$?
[ "$status2" -eq 2 ] || why="$why status_with_args=$status2"
same_output /tmp/want.notfound
check_stderr
if [ -z "$why" ]; then result no-velk PASS "status 2, not-found message alone, also with arguments"; else result no-velk FAIL "$why"; fi

# === The decoy on the first controller, the Velk on the second ===
UDC0=$(ls /sys/class/udc | sort | sed -n 1p)
UDC1=$(ls /sys/class/udc | sort | sed -n 2p)
[ -n "$UDC1" ] || fatal "two UDCs expected, found: $(ls /sys/class/udc)"
make_gadget velk "Velk bootloader" "FW bootloader" 0 || fatal "cannot make the Velk gadget"     # /dev/hidg0
make_gadget decoy "Velk decoy" "HID decoy" 0 || fatal "cannot make the decoy gadget"           # /dev/hidg1
t0=$(ms)
echo "$UDC0" >/sys/kernel/config/usb_gadget/decoy/UDC || fatal "cannot bind the decoy"
echo "$UDC1" >/sys/kernel/config/usb_gadget/velk/UDC || fatal "cannot bind the Velk"
DECOY=$(wait_host "Velk decoy") || fatal "the decoy was not enumerated"
VELK=$(wait_host "Velk bootloader") || fatal "the Velk was not enumerated"
echo "VELK-MEASURE enumeration_ms $(($(ms) - t0))"
[ -e /dev/hidg0 ] && [ -e /dev/hidg1 ] || fatal "no /dev/hidg0 and /dev/hidg1"
# The list is ordered by bus: the decoy must come first for the scenario to mean anything.
[ "$(cat /sys/bus/usb/devices/$DECOY/busnum)" -lt "$(cat /sys/bus/usb/devices/$VELK/busnum)" ] ||
    fatal "the decoy ($DECOY) is not before the Velk ($VELK)"
echo "VELK-INFO decoy=$DECOY velk=$VELK velk-endpoints=$(ls -d /sys/bus/usb/devices/$VELK:1.0/ep_* | sed 's|.*/||' | tr '\n' ' ')"

# === Scenario: a complete update, with the decoy before the Velk ===
decoy_hid_before=$(hid_name "$DECOY")
velk_hid_before=$(hid_name "$VELK")
/bin/velkgadget /dev/hidg1 count >/tmp/decoy.out 2>&1 &
decoy_pid=$!
gadget_start /dev/hidg0 velk
run_update
gadget_stop
kill -TERM "$decoy_pid"
wait "$decoy_pid"
decoy_line=$(cat /tmp/decoy.out)
echo "VELK-INFO $line"
echo "VELK-MEASURE complete_update_ms $elapsed"
why=""
expect_complete_update
expect "$line" afterRestart 0
expect "$line" rejected 0
expect "$line" badsums 0
[ "$(driver_of "$VELK")" = usbhid ] || why="$why velk-driver-not-reattached"
[ "$(hid_name "$VELK")" != "$velk_hid_before" ] || why="$why velk-driver-never-detached"
if [ -z "$why" ]; then result complete-update PASS "status 0, 311 characters, FPGA stream and MCU image equal, restart report came (${elapsed} ms)"; else result complete-update FAIL "$why"; fi

why=""
expect "$decoy_line" reports 0
[ "$(driver_of "$DECOY")" = usbhid ] || why="$why decoy-driver=$(driver_of "$DECOY")"
[ "$(hid_name "$DECOY")" = "$decoy_hid_before" ] || why="$why decoy-hid-device-changed:$decoy_hid_before->$(hid_name "$DECOY")"
if [ -z "$why" ]; then result decoy-first PASS "decoy $DECOY opened and rejected: no report reached it, its driver stayed bound ($decoy_hid_before)"; else result decoy-first FAIL "$why"; fi

# === Measurement: the raw report rate through the same stack ===
gadget_start /dev/hidg0 count
/bin/velkrate write 9216 >/tmp/rate.out 2>&1
rate_status=$?
gadget_stop
echo "VELK-MEASURE $(cat /tmp/rate.out) status=$rate_status"
gadget_start /dev/hidg0 echo
/bin/velkrate echo 2000 >/tmp/rate.out 2>&1
echo_status=$?
rate_status=$((rate_status + echo_status))
gadget_stop
echo "VELK-MEASURE $(cat /tmp/rate.out) status=$echo_status"
if [ "$rate_status" -eq 0 ]; then result raw-rate PASS "every report went through"; else result raw-rate FAIL "a report of the bare loop failed"; fi

# === Scenario: a user without root, the decoy not openable for lack of permission ===
chmod 0600 "$(devnode "$DECOY")"
chmod 0666 "$(devnode "$VELK")"
gadget_start /dev/hidg0 velk
run_update su -s /bin/sh -c /bin/velkupdate velk
gadget_stop
why=""
expect_complete_update
if [ -z "$why" ]; then result user-access PASS "user velk (uid 1000): decoy skipped (not openable), Velk updated (${elapsed} ms)"; else result user-access FAIL "$why"; fi
chmod 0664 "$(devnode "$DECOY")" "$(devnode "$VELK")"

# === Scenario: a Velk that stops acknowledging at a chosen block ===
# refuse_at POSITION NAME EXPECTED-OUTPUT-FILE
refuse_at() {
    gadget_start /dev/hidg0 refuse "$1"
    run_update
    gadget_stop
    echo "VELK-INFO $line"
    why=""
    [ "$status" -eq 3 ] || why="$why status=$status"
    same_output "$3"
    check_stderr
    expect "$line" lastOrder "$1"  # no later block was sent
    expect "$line" acked "$1"
    expect "$line" frames $(($1 + 4))  # the refused block arrived four times
    expect "$line" restarts 0
    # The refused block alone: four attempts, each with three unanswered reads of 2000 ms.
    [ "$elapsed" -ge 24000 ] || why="$why too-fast=${elapsed}ms"
    [ "$elapsed" -le 60000 ] || why="$why too-slow=${elapsed}ms"
    if [ -z "$why" ]; then result "$2" PASS "status 3, exact output, refused block sent 4 times, no later block (${elapsed} ms)"; else result "$2" FAIL "$why"; fi
}
printf 'Updating FPGA.%s failed.\n' "$(dots 5)" >/tmp/want.refuse-fpga
refuse_at 5 refuse-fpga-block /tmp/want.refuse-fpga
printf 'Updating FPGA.%s done.\nUpdating MCU.%s failed.\n' "$(dots 249)" "$(dots 2)" >/tmp/want.refuse-mcu
refuse_at 251 refuse-mcu-block /tmp/want.refuse-mcu

# === Scenario: a Velk that stops reading output reports ===
# It reads block 0 and four reports of block 1, then nothing: the host's writes stall, each try
# ends after its 200 ms wait, and each of the four attempts fails after three tries.
gadget_start /dev/hidg0 deaf 40
run_update
gadget_stop
echo "VELK-INFO $line"
echo "VELK-MEASURE stalled_run_ms $elapsed"
why=""
[ "$status" -eq 3 ] || why="$why status=$status"
printf 'Updating FPGA.. failed.\n' >/tmp/want.deaf
same_output /tmp/want.deaf
check_stderr
# Four attempts of three 200 ms waits at least; far less than one 5 s kernel write time-out each.
[ "$elapsed" -ge 2390 ] || why="$why too-fast=${elapsed}ms"
[ "$elapsed" -le 8000 ] || why="$why too-slow=${elapsed}ms"
if [ -z "$why" ]; then result stalled-writes PASS "status 3 after ${elapsed} ms (4 attempts x 3 waits of 200 ms = 2400 ms)"; else result stalled-writes FAIL "$why"; fi

# === Scenario: the bounds of one report exchange, timed call by call ===
# A read that nothing answers: three tries of 2000 ms. A write that nothing takes: three of 200 ms.
gadget_start /dev/hidg0 count
/bin/velkrate read 2 >/tmp/bounds.out 2>&1
gadget_stop
gadget_start /dev/hidg0 deaf 0
/bin/velkrate stall 3 >>/tmp/bounds.out 2>&1
gadget_stop
sed 's/^/VELK-INFO /' /tmp/bounds.out
read_line=" $(grep 'mode=read' /tmp/bounds.out)"
stall_line=" $(grep 'mode=stall' /tmp/bounds.out)"
why=""
expect "$read_line" succeeded 0
expect "$stall_line" succeeded 0
# whole milliseconds, rounded down
read_short=$(field "$read_line" shortest_ms); read_short=${read_short%.*}
read_long=$(field "$read_line" longest_ms); read_long=${read_long%.*}
stall_short=$(field "$stall_line" shortest_ms); stall_short=${stall_short%.*}
stall_long=$(field "$stall_line" longest_ms); stall_long=${stall_long%.*}
[ "${read_short:-0}" -ge 6000 ] || why="$why read-shortest=${read_short}ms"
[ "${read_long:-99999}" -le 7000 ] || why="$why read-longest=${read_long}ms"
[ "${stall_short:-0}" -ge 600 ] || why="$why write-shortest=${stall_short}ms"
[ "${stall_long:-99999}" -le 1000 ] || why="$why write-longest=${stall_long}ms"
if [ -z "$why" ]; then result exchange-bounds PASS "unanswered read ${read_short}-${read_long} ms (3 x 2000), stalled write ${stall_short}-${stall_long} ms (3 x 200)"; else result exchange-bounds FAIL "$why"; fi

# === Scenario: a Velk without an interrupt OUT endpoint: output reports as SET_REPORT ===
echo "" >/sys/kernel/config/usb_gadget/velk/UDC
make_gadget velkctl "Velk bootloader control" "FW bootloader" 1 || fatal "cannot make a gadget with no_out_endpoint"  # /dev/hidg2
echo "$UDC1" >/sys/kernel/config/usb_gadget/velkctl/UDC || fatal "cannot bind the control-pipe Velk"
VELKCTL=$(wait_host "Velk bootloader control") || fatal "the control-pipe Velk was not enumerated"
endpoints=$(ls -d /sys/bus/usb/devices/$VELKCTL:1.0/ep_* | sed 's|.*/||' | tr '\n' ' ')
echo "VELK-INFO velkctl=$VELKCTL endpoints=$endpoints"
gadget_start /dev/hidg2 velk
run_update
gadget_stop
echo "VELK-INFO $line"
echo "VELK-MEASURE complete_update_set_report_ms $elapsed"
why=""
case "$endpoints" in *ep_02*) why="$why has-out-endpoint" ;; esac
expect_complete_update
expect "$line" rejected 0
if [ -z "$why" ]; then result no-out-endpoint PASS "complete update over SET_REPORT (${elapsed} ms)"; else result no-out-endpoint FAIL "$why"; fi

finish
