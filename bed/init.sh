#!/bin/sh
# init of the kernel test bed's guest (scripts/test-kernel.sh, docs/kernel-bed.md):
# Debian's 32-bit ARM kernel under qemu-system-arm, busybox, and the
# unchanged board build of ftq. It plays the board's own start-up (devices,
# node names, the main application) as the run's board file /bed/run.env
# describes it, runs ftq with the arguments in /bed/args, records what it
# saw on the record port /dev/ttyS3, and always powers the machine off.
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
# The board: DISKS (ports with a disk), STICKS, MICE, LINKS (eth0 eth1,
# 1 up), RS485 (loop, open, missing), RTC_MISSING, START_TIME, RTC_OFFSET,
# RESTART (the simulated board was restarted by its watchdog).
. /bed/run.env

# Drivers: the order file lists each module after the ones it needs.
while read -r mod args; do
    insmod "/lib/modules/$mod" $args || echo "BED: insmod $mod failed"
done </bed/modules.order
echo "BED: modules loaded at $(cut -d' ' -f1 /proc/uptime) s"

# Wait until every device of the board is there.
ready() {
    for d in rtc0 ttyS1 ttyS2 ttyS3 cuse; do
        [ -e /dev/$d ] || return 1
    done
    [ "$MICE" = 0 ] || [ -e /dev/input/mouse$((MICE - 1)) ] || return 1
    [ -e /sys/class/net/eth0 ] && [ -e /sys/class/net/eth1 ] || return 1
    [ "$(ls -l /sys/block | grep -c '/ata[0-9]')" = "$DISKS" ] || return 1
    [ "$(ls -l /sys/block | grep -c '/usb')" = "$STICKS" ]
}
n=0
until ready; do
    n=$((n + 1))
    [ $n -gt 300 ] && fail "devices not ready after 30 s: $(ls /dev | tr '\n' ' ')"
    sleep 0.1
done
# A stick's partition shows up a moment after its disk.
parts=$(grep -c ':part$\|:both$' /bed/sticks)
n=0
until [ "$(ls -d /sys/block/sd*/sd*1 2>/dev/null | wc -l)" -ge "$parts" ]; do
    n=$((n + 1))
    [ $n -gt 50 ] && fail "the USB sticks' partitions did not appear"
    sleep 0.1
done

# Node names as the board's own kernel gives them: /dev/rtc, and each USB
# stick ms<letter> with its partition ms<letter>1, the letter by the USB
# port it sits in (their /dev/sdX nodes go, as on the board).
[ "$RTC_MISSING" = 1 ] || ln -s rtc0 /dev/rtc
for b in /sys/block/sd*; do
    link=$(readlink "$b")
    case $link in */usb*) ;; *) continue ;; esac
    port=$(echo "$link" | sed -n 's,.*/usb[0-9]*/[0-9]*-\([0-9]*\)/.*,\1,p')
    entry=$(grep "^$port:" /bed/sticks)
    letter=$(echo "$entry" | cut -d: -f2)
    nodes=$(echo "$entry" | cut -d: -f3)
    sd=${b##*/}
    case $nodes in disk | both) mv /dev/$sd /dev/.usb-ms$letter ;; *) rm -f /dev/$sd ;; esac
    if [ -e /dev/${sd}1 ]; then
        case $nodes in part | both) mv /dev/${sd}1 /dev/.usb-ms${letter}1 ;; *) rm -f /dev/${sd}1 ;; esac
    fi
done
# /dev lists its newest node first: named in the reverse of the scenario's
# order, the nodes list in that order, as on the simulated board.
for name in $(sed -n '1!G;h;$p' /bed/usb_order); do
    [ -e /dev/.usb-$name ] && mv /dev/.usb-$name /dev/$name
done
# SATA disks are named after their port (ata1 is sda), whatever order the
# kernel's asynchronous probing named them in.
mkdir /dev/.ata
for b in /sys/block/sd*; do
    port=$(readlink "$b" | sed -n 's,.*/ata\([0-9]*\)/.*,\1,p')
    [ -n "$port" ] && mv /dev/${b##*/} /dev/.ata/$port
done
for p in /dev/.ata/*; do
    [ -e "$p" ] && mv $p /dev/sd$(echo $p | sed 's,.*/,,' | tr 123456789 abcdefghi)
done
rmdir /dev/.ata
[ "$RS485" = missing ] && rm -f /dev/ttyS1
[ "$MNT" = absent ] && rmdir /mnt
for p in $(cat /bed/mount_points); do mkdir -p "/mnt/$p"; done
ip link set eth0 up
ip link set eth1 up
# Links come up a moment after the interfaces (a port whose cable qemu
# pulled stays down).
n=0
until [ "$(cat /sys/class/net/eth0/carrier 2>/dev/null) $(cat /sys/class/net/eth1/carrier 2>/dev/null)" = "$LINKS" ]; do
    n=$((n + 1))
    [ $n -gt 50 ] && fail "network links not as planned ($LINKS) after 5 s"
    sleep 0.1
done

# The board I/O driver.
/bed/vexio-cuse --scenario /bed/board.json --record $REC &
daemon=$!
n=0
until [ -e /dev/vexio ]; do
    n=$((n + 1))
    [ $n -gt 50 ] && fail "/dev/vexio did not appear"
    sleep 0.1
done

# The board's processes: the main application ./vexmain, or those the
# scenario names, in order, so that /proc lists them in that order.
cd /bed
pids=""
while read -r cmd rest; do
    [ -n "$cmd" ] || continue
    case $cmd in /*) path=$cmd ;; *) path=/bed/${cmd#./} ;; esac
    mkdir -p "${path%/*}"
    [ -e "$path" ] || cp /bed/vexmain "$path"
    # shellcheck disable=SC2086
    "$cmd" $rest &
    pids="$pids $!"
done </bed/processes
cd /root

# The files the scenario gives, to tell which of them the run removed.
find /dav0 /dav2 -type f >/tmp/files.before 2>/dev/null

restarted=0
trap 'restarted=1' USR2
# In the --surface mode ftq runs under the launcher, which refuses every
# system call numbered above bed.surface and counts them.
surface=$(sed -n 's/.*bed\.surface=\([0-9]*\).*/\1/p' /proc/cmdline)
launch=""
if [ -n "$surface" ]; then
    launch="/bed/surface-launcher --last $surface --uname26 --counts /tmp/refused.json --"
    rec surface "{\"last\":$surface,\"uname\":\"$($launch uname -r)\"}"
fi
rec devices_ready "{\"uptime\":\"$(cut -d' ' -f1 /proc/uptime)\",\"processes\":\"${pids# }\"}"
echo "BED: devices ready at $(cut -d' ' -f1 /proc/uptime) s"

# The clocks as the simulated board's at power-on: the system clock at
# START_TIME, the clock chip RTC_OFFSET seconds ahead of it.
/bed/bed-clock "$START_TIME" "$RTC_OFFSET" || fail "the clocks could not be set"

# The run. The console shows the program's bytes as they are: the
# operator's Enter is not echoed and no carriage return is added.
set --
while IFS= read -r a; do set -- "$@" "$a"; done </bed/args
stty -echo -opost
echo "@@BED-BEGIN@@"
$launch ./ftq "$@"
status=$?
printf '@@BED-END status=%d@@\n' "$status"
stty echo opost
rec ftq_ended "{\"status\":$status}"
[ -z "$surface" ] || rec refused_calls "$(cat /tmp/refused.json 2>/dev/null || echo null)"

for p in $pids; do
    if kill -0 "$p" 2>/dev/null; then
        rec process_running "{\"pid\":$p}"
    else
        wait "$p"
        rec process_ended "{\"pid\":$p,\"status\":$?}"
    fi
done
kill -0 $daemon 2>/dev/null || rec daemon_ended
while read -r f; do
    [ -e "$f" ] || rec file_missing "{\"path\":\"$f\"}"
done </tmp/files.before
# An armed watchdog restarts the board: the driver's daemon tells init.
n=0
if [ "$RESTART" = 1 ]; then
    while [ $restarted = 0 ] && [ $n -lt 50 ]; do
        n=$((n + 1))
        sleep 0.1
    done
fi
[ $restarted = 1 ] && rec restarted
rec poweroff
sync
poweroff -f
