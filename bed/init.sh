#!/bin/sh
# init of the kernel test bed's guest (scripts/test-kernel.sh, docs/kernel-bed.md):
# Debian's 32-bit ARM kernel under qemu-system-arm, busybox, and the
# unchanged board build of ftq. It plays the board's own start-up (devices,
# node names, the main application), runs the run that the kernel command
# line names (bed.run=whole or bed.run=N), records what it saw on the
# record port /dev/ttyS3, and always powers the machine off.
export PATH=/bin:/sbin
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
exec </dev/ttyAMA0 >/dev/ttyAMA0 2>&1
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
mkdir -p /dev/pts /mnt
mount -t devpts devpts /dev/pts
dmesg -n 1

REC=/dev/ttyS3
stty -F $REC raw -echo 2>/dev/null
# One record line, in the format of ftq-sim --trace (keys in order, times
# in microseconds of uptime).
rec() {
    data=${2:-'{}'}
    t=$(cut -d' ' -f1 /proc/uptime | tr -d .)0000
    printf '{"data":%s,"dev":"init","ev":"%s","t_us":%s}\n' "$data" "$1" "$t" >$REC
}
fail() {
    echo "BED: $1"
    rec failed "{\"why\":\"$1\"}"
    poweroff -f
}
echo "BED: kernel $(uname -r) up at $(cut -d' ' -f1 /proc/uptime) s"

# Drivers: the order file lists each module after the ones it needs.
while read -r mod args; do
    insmod "/lib/modules/$mod" $args || echo "BED: insmod $mod failed"
done </bed/modules.order
echo "BED: modules loaded at $(cut -d' ' -f1 /proc/uptime) s"

# Wait until every device of the board is there.
ready() {
    for d in rtc0 ttyS1 ttyS2 ttyS3 input/mouse0 cuse; do
        [ -e /dev/$d ] || return 1
    done
    [ -e /sys/class/net/eth0 ] && [ -e /sys/class/net/eth1 ] || return 1
    [ "$(ls -l /sys/block | grep -c '/ata[0-9]')" = 5 ] || return 1
    ls -l /sys/block | grep -q /usb
}
n=0
until ready; do
    n=$((n + 1))
    [ $n -gt 200 ] && fail "devices not ready after 20 s: $(ls /dev | tr '\n' ' ')"
    sleep 0.1
done

# Node names as the board's own kernel gives them: /dev/rtc, and the USB
# stick as msa1 (its node moves, so no /dev/sdX stands for it).
ln -s rtc0 /dev/rtc
for b in /sys/block/sd*; do
    if readlink "$b" | grep -q /usb; then
        stick=${b##*/}
        mv /dev/$stick /dev/msa1
    fi
done
# SATA disks are named after their port (ata1 is sda), whatever order the
# kernel's asynchronous probing named them in.
mkdir /dev/.ata
for b in /sys/block/sd*; do
    port=$(readlink "$b" | sed -n 's,.*/ata\([0-9]*\)/.*,\1,p')
    [ -n "$port" ] && mv /dev/${b##*/} /dev/.ata/$port
done
for p in /dev/.ata/*; do
    mv $p /dev/sd$(echo $p | sed 's,.*/,,' | tr 123456789 abcdefghi)
done
rmdir /dev/.ata
ip link set eth0 up
ip link set eth1 up
# Links come up a moment after the interfaces.
n=0
until [ "$(cat /sys/class/net/eth0/carrier 2>/dev/null)$(cat /sys/class/net/eth1/carrier 2>/dev/null)" = 11 ]; do
    n=$((n + 1))
    [ $n -gt 50 ] && fail "network links not up after 5 s"
    sleep 0.1
done

# The board I/O driver.
/bed/vexio-cuse --scenario /bed/board.json --record $REC &
n=0
until [ -e /dev/vexio ]; do
    n=$((n + 1))
    [ $n -gt 50 ] && fail "/dev/vexio did not appear"
    sleep 0.1
done

# The board's main application.
cd /bed && ./vexmain &
vexmain=$!
cd /root

restarted=0
trap 'restarted=1' USR2
run=$(sed -n 's/.*bed\.run=\([^ ]*\).*/\1/p' /proc/cmdline)
# In the --surface mode ftq runs under the launcher, which refuses every
# system call numbered above bed.surface and counts them.
surface=$(sed -n 's/.*bed\.surface=\([0-9]*\).*/\1/p' /proc/cmdline)
launch=""
if [ -n "$surface" ]; then
    launch="/bed/surface-launcher --last $surface --uname26 --counts /tmp/refused.json --"
    rec surface "{\"last\":$surface,\"uname\":\"$($launch uname -r)\"}"
fi
rec devices_ready "{\"uptime\":\"$(cut -d' ' -f1 /proc/uptime)\",\"stick\":\"/dev/$stick\",\"vexmain\":$vexmain}"
echo "BED: devices ready at $(cut -d' ' -f1 /proc/uptime) s; run: ${run:-none}"

# The run. The console shows the program's bytes as they are: the
# operator's Enter is not echoed and no carriage return is added.
stty -echo -opost
echo "@@BED-BEGIN@@"
if [ "$run" = whole ]; then $launch ./ftq; else $launch ./ftq -o "$run"; fi
status=$?
printf '@@BED-END status=%d@@\n' "$status"
stty echo opost
rec ftq_ended "{\"status\":$status}"
[ -z "$surface" ] || rec refused_calls "$(cat /tmp/refused.json 2>/dev/null || echo null)"

if kill -0 $vexmain 2>/dev/null; then
    rec vexmain_running
else
    wait $vexmain
    rec vexmain_ended "{\"status\":$?}"
fi
for f in /dav2/devCfg.bin /dav2/netOsd.bin; do
    [ -e $f ] || rec file_missing "{\"path\":\"$f\"}"
done
# An armed watchdog restarts the board: the driver's daemon tells init.
n=0
if [ "$run" = whole ]; then
    while [ $restarted = 0 ] && [ $n -lt 100 ]; do
        n=$((n + 1))
        sleep 0.1
    done
fi
[ $restarted = 1 ] && rec restarted
rec poweroff
sync
poweroff -f
