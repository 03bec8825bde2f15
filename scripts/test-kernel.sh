#!/usr/bin/env bash
# The kernel test bed: the unchanged board build of ftq on Debian's 32-bit
# ARM kernel under qemu-system-arm (docs/kernel-bed.md).
#
#   ./scripts/test-kernel.sh             # the whole run, tests 1-8 and 11 alone, test 10
#   ./scripts/test-kernel.sh whole 3     # only these runs
#   ./scripts/test-kernel.sh --surface 2.6.37 [RUN...]
#                                        # ftq sees only 2.6.37's system calls
#
# For each run it boots a fresh guest with the board's devices, lets the
# operator (sim/bed/console_operator.cpp) press Enter at the console and the
# panel peer (sim/bed/panel_peer.cpp) play the front panel, powers the guest
# off, and judges: the transcript against bed/expected/RUN.expected line by
# line, the board's record (CUSE /dev/vexio and init) and the panel's.
# A run that cannot be judged (the guest never reached it, hung, or left no
# record) fails. The kernel and busybox are downloaded once into
# $FTQ_KERNEL_CACHE (default ~/.cache/ftq-kernel).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/kernel-bed
CACHE=${FTQ_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ftq-kernel}
BOOT_LIMIT=${FTQ_BED_TIMEOUT:-150} # seconds a guest may live, boot to power-off
RTC_BASE=2012-05-23T08:07:29
# --surface VERSION: init starts ftq through sim/bed/surface_launcher.cpp,
# which answers ENOSYS to every system call that kernel did not have and
# counts them; uname reports a 2.6 release.
SURFACE=""
if [ "${1:-}" = --surface ]; then
    case "${2:-}" in
    2.6.37) SURFACE=369 ;; # the last ARM EABI call of 2.6.37: prlimit64
    *)
        printf 'test-kernel: --surface: no system call table for "%s" (known: 2.6.37)\n' "${2:-}" >&2
        exit 2
        ;;
    esac
    shift 2
fi
RUNS=("$@")
[ ${#RUNS[@]} -gt 0 ] || RUNS=(whole 1 2 3 4 5 6 7 8 11 10)

t_script=$(date +%s.%N)
say() { printf 'test-kernel: %s\n' "$*"; }
die() { printf 'test-kernel: FAILED: %s\n' "$*" >&2; exit 1; }
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# Every process this script starts is ended by its id when it stops, and
# every guest is powered off.
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# ---- the host's tools -------------------------------------------------------
./scripts/setup.sh --board
need=()
for p in qemu-system-arm dosfstools mtools cpio; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ ${#need[@]} -gt 0 ]; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# ---- the programs -----------------------------------------------------------
cmake --preset arm >/dev/null
cmake --build --preset arm --target ftq vexio-cuse vexmain
[ -z "$SURFACE" ] || cmake --build --preset arm --target surface-launcher
cmake --preset host >/dev/null
cmake --build --preset host --target panel-peer console-operator ftq-sim
ARM=$ROOT/build/arm
HOST=$ROOT/build/host

# ---- the kernel and busybox, downloaded once --------------------------------
t_fetch=$(date +%s.%N)
downloaded=no
if [ ! -f "$CACHE/ready" ]; then
    say "downloading the kernel and busybox into $CACHE"
    dpkg --print-foreign-architectures | grep -qx armhf || {
        $SUDO dpkg --add-architecture armhf
        $SUDO apt-get update -qq
    }
    rm -rf "$CACHE"
    mkdir -p "$CACHE/debs" "$CACHE/root"
    # The metapackage names the current ABI; older ones leave the archive.
    image=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
        sed -n 's/.*Depends: \(linux-image-[0-9][^ :]*\).*/\1/p' | head -1)
    if [ -z "$image" ]; then
        $SUDO apt-get update -qq
        image=$(apt-cache depends linux-image-armmp:armhf |
            sed -n 's/.*Depends: \(linux-image-[0-9][^ :]*\).*/\1/p' | head -1)
    fi
    [ -n "$image" ] || die "no kernel behind linux-image-armmp:armhf"
    (cd "$CACHE/debs" && apt-get download "$image:armhf" busybox-static:armhf) ||
        die "could not download $image:armhf and busybox-static:armhf"
    for deb in "$CACHE"/debs/*.deb; do dpkg-deb -x "$deb" "$CACHE/root"; done
    echo "$image" >"$CACHE/ready"
    downloaded=yes
fi
KVER=$(ls "$CACHE/root/lib/modules")
VMLINUZ=$CACHE/root/boot/vmlinuz-$KVER
[ -f "$VMLINUZ" ] && [ -x "$CACHE/root/bin/busybox" ] || die "the cache $CACHE is incomplete: remove it"
say "kernel $KVER (downloaded: $downloaded, $(since "$t_fetch") s)"

# ---- the initramfs ----------------------------------------------------------
rm -rf "$WORK"
mkdir -p "$WORK"
R=$WORK/initramfs
mkdir -p "$R"/{bin,sbin,dev,proc,sys,tmp,mnt,root,bed,lib/modules,dav0,dav2}
cp "$CACHE/root/bin/busybox" "$R/bin/busybox"
ln -s busybox "$R/bin/sh"
cp bed/init.sh "$R/init"
chmod 755 "$R/init"
cp "$ARM/ftq" "$R/root/ftq"
cp "$ARM/sim/bed/vexio-cuse" "$ARM/sim/bed/vexmain" bed/board.json "$R/bed/"
arm-linux-gnueabihf-strip "$R/root/ftq" "$R/bed/vexio-cuse" "$R/bed/vexmain"
if [ -n "$SURFACE" ]; then # static: it needs nothing copied beside it
    arm-linux-gnueabihf-strip -o "$R/bed/surface-launcher" "$ARM/sim/bed/surface-launcher"
fi
# The ARM glibc loader and the libraries the programs need.
ARMLIB=/usr/arm-linux-gnueabihf/lib
cp -L "$ARMLIB/ld-linux-armhf.so.3" "$R/lib/"
for lib in $(arm-linux-gnueabihf-readelf -d "$R/root/ftq" "$R/bed/vexio-cuse" "$R/bed/vexmain" |
    sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort -u); do
    cp -L "$ARMLIB/$lib" "$R/lib/"
done
# The stored configuration that a passed whole run removes, and a firmware
# image for test 10.
printf 'bed device configuration\n' >"$R/dav2/devCfg.bin"
head -c 65536 /dev/zero | tr '\0' '\377' >"$R/dav0/vex321.bin"

# Modules, each after those it depends on (read from its .modinfo section).
KMOD=$CACHE/root/lib/modules/$KVER/kernel
declare -A modpath loaded
while IFS= read -r f; do
    n=${f##*/}
    n=${n%.ko}
    modpath[${n//-/_}]=$f
done < <(find "$KMOD" -name '*.ko')
order=()
addmod() { # name [args...]
    local key=${1//-/_} dep f
    shift
    [ -n "${loaded[$key]:-}" ] && return 0
    f=${modpath[$key]:-}
    [ -n "$f" ] || die "module $key is not in $KVER"
    for dep in $(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | head -1 | tr , ' '); do
        addmod "$dep"
    done
    loaded[$key]=1
    cp "$f" "$R/lib/modules/"
    order+=("$(basename "$f") $*")
}
while read -r name args; do
    case "$name" in '#'* | '') continue ;; esac
    # shellcheck disable=SC2086
    addmod "$name" $args
done <bed/modules.txt
printf '%s\n' "${order[@]}" >"$R/bed/modules.order"
(cd "$R" && find . | cpio -o -H newc --quiet) | gzip -1 >"$WORK/initrd.gz"
say "initramfs: $(du -k "$WORK/initrd.gz" | cut -f1) KiB, ${#order[@]} modules"

# ---- the board's disks: sparse images, as the simulator's default disks -----
DISKS=(
    "WD-WCC2EFA12345|WDC WD5000AAKX-00ERMA0|15.01H15|500107862016"
    "Z1D2K7QM|ST1000DM003-9YN162|CC4C|1000204886016"
    "JP1570FR1ABCDK|Hitachi HDS721050CLA362|JP2OA3MA|500107862016"
    "Z1E3N8PX|ST2000DM001-1CH164|CC24|2000398934016"
    "WD-WMC1S1234567|WDC WD10EZEX-00RKKA0|80.00A80|1000204886016"
)

# ---- one boot ---------------------------------------------------------------
# boot RUN: boots a fresh guest that performs RUN (whole or a test number)
# and leaves its console log, transcript and records in $WORK/RUN/.
boot() {
    local run=$1 out=$WORK/$1 t0 rc i
    mkdir -p "$out"
    local s=$out/sock
    mkdir -p "$s"
    # The USB stick is new for every boot: 256 MiB of FAT32.
    rm -f "$out/stick.img"
    truncate -s 256M "$out/stick.img"
    mkfs.vfat -F 32 -n FTQBED -i 20120523 "$out/stick.img" >/dev/null
    mkfifo "$s/rs485" # qemu reads back what it writes: the loop-back fixture
    # The SATA disks are sparse images of their real sizes, new for every boot.
    for i in "${!DISKS[@]}"; do
        IFS='|' read -r _ _ _ bytes <<<"${DISKS[$i]}"
        truncate -s "$bytes" "$out/sata$i.img"
    done

    "$HOST/sim/bed/console-operator" --socket "$s/console" --log "$out/console.log" \
        --transcript "$out/transcript.gb2312" --timeline "$out/timeline.txt" 2>"$out/operator.txt" &
    local operator=$!
    PIDS+=("$operator")
    "$HOST/sim/bed/panel-peer" --scenario bed/board.json --socket "$s/panel" \
        --record "$out/panel.jsonl" 2>"$out/peer.txt" &
    local peer=$!
    PIDS+=("$peer")
    for i in $(seq 100); do
        [ -S "$s/console" ] && [ -S "$s/panel" ] && break
        sleep 0.05
    done
    [ -S "$s/console" ] && [ -S "$s/panel" ] || die "$run: the operator or the panel peer did not start"

    local args=(-M virt,highmem=off -m 512 -smp 1 -display none -monitor none -no-reboot
        -kernel "$VMLINUZ" -initrd "$WORK/initrd.gz"
        -append "console=ttyAMA0 panic=-1 quiet bed.run=$run${SURFACE:+ bed.surface=$SURFACE}"
        -rtc base=$RTC_BASE
        -chardev "socket,id=con,path=$s/console" -serial chardev:con
        -chardev null,id=s0 -chardev "pipe,id=s1,path=$s/rs485"
        -chardev "socket,id=s2,path=$s/panel" -chardev "file,id=s3,path=$out/board.jsonl"
        -device pci-serial-4x,chardev1=s0,chardev2=s1,chardev3=s2,chardev4=s3
        -netdev hubport,id=n0,hubid=0 -device virtio-net-pci,netdev=n0,romfile=,speed=100,duplex=full
        -netdev hubport,id=n1,hubid=0 -device e1000,netdev=n1,romfile=
        -device ich9-ahci,id=ahci
        -device qemu-xhci,id=xhci
        -drive "if=none,id=stick,format=raw,file=$out/stick.img"
        -device usb-storage,bus=xhci.0,drive=stick -device usb-mouse,bus=xhci.0)
    for i in "${!DISKS[@]}"; do
        local serial model ver
        IFS='|' read -r serial model ver _ <<<"${DISKS[$i]}"
        args+=(-drive "if=none,id=d$i,format=raw,file=$out/sata$i.img"
            -device "ide-hd,bus=ahci.$i,drive=d$i,model=$model,serial=$serial,ver=$ver")
    done

    t0=$(date +%s.%N)
    rc=0
    timeout --kill-after=5 "$BOOT_LIMIT" qemu-system-arm "${args[@]}" >"$out/qemu.txt" 2>&1 &
    local qemu=$!
    PIDS+=("$qemu")
    wait "$qemu" || rc=$?
    echo "$(since "$t0")" >"$out/seconds"
    # qemu has closed both sockets: the operator and the peer end by themselves.
    for i in $(seq 50); do
        kill -0 "$operator" 2>/dev/null || kill -0 "$peer" 2>/dev/null || break
        sleep 0.1
    done
    kill "$operator" "$peer" 2>/dev/null || true
    wait "$operator" "$peer" 2>/dev/null || true
    echo "$rc" >"$out/qemu-status"
}

# ---- judging ----------------------------------------------------------------
FAILS=()
fail() { FAILS+=("$1: $2"); printf '  FAIL %s\n' "$2"; }

# compare EXPECTED ACTUAL: line by line; an expected line "~ REGEX" matches
# a line by pattern (the RTC lines, which depend on the second of the run).
compare() {
    local expected=$1 actual=$2 n=0 e a
    local -a want got
    mapfile -t want <"$expected"
    mapfile -t got <"$actual"
    while [ $n -lt ${#want[@]} ] || [ $n -lt ${#got[@]} ]; do
        e=${want[$n]-<no line>}
        a=${got[$n]-<no line>}
        if [ "${e:0:2}" = "~ " ]; then
            [[ "$a" =~ ^${e:2}$ ]] || { echo "line $((n + 1)): expected /${e:2}/, got \"$a\""; return 1; }
        elif [ "$e" != "$a" ]; then
            echo "line $((n + 1)): expected \"$e\", got \"$a\""
            return 1
        fi
        n=$((n + 1))
    done
}

# count FILE DEV EV: how many records of that device and kind.
count() {
    local n
    n=$(grep -c "\"dev\":\"$2\",\"ev\":\"$3\"" "$1" 2>/dev/null) || true
    echo "${n:-0}"
}

# driver_requests TRACE: the board I/O driver's events, without their times.
driver_requests() {
    grep '"dev":"vexio"' "$1" 2>/dev/null | sed 's/,"t_us":[0-9]*//; s/"ms":[0-9]*/"ms":_/' || true
}

# The refused calls whose fallback has been looked at: what the C library
# does instead is in docs/kernel-bed.md. Any other refused call fails the
# run until someone has.
SURFACE_FALLBACKS=" 384 397 398 403 "
# judge_surface RUN RECORD: ftq ran under the launcher and saw a 2.6
# release; prints the refused calls.
judge_surface() {
    local run=$1 rec=$2 line counts nr
    grep -q '"data":{"last":'"$SURFACE"',"uname":"2\.6\.[^"]*"},"dev":"init","ev":"surface"' "$rec" ||
        fail "$run" "the launcher did not set up $SURFACE's surface: $(grep '"ev":"surface"' "$rec" || echo 'no record')"
    line=$(grep '"dev":"init","ev":"refused_calls"' "$rec" || true)
    if [ "$(grep -c . <<<"$line")" != 1 ] || ! grep -q '^{"data":{' <<<"$line"; then
        fail "$run" "the launcher left no count of refused calls: ${line:-no record}"
        return
    fi
    grep -q '"uncounted":true' <<<"$line" &&
        fail "$run" "processes outlived ftq under the filter: their refused calls were not counted"
    counts=$(grep -o '^{"data":{[^}]*}' <<<"$line" | grep -o '"[0-9]*":[0-9]*' | tr -d '"' | sort -n)
    printf '  refused: %s\n' "$(echo "${counts:-none}" | cut -d: -f1 | xargs)"
    for nr in $(echo "$counts" | cut -d: -f1); do
        case $SURFACE_FALLBACKS in
        *" $nr "*) ;;
        *) fail "$run" "system call $nr was refused, and nothing shows that ftq goes on correctly without it" ;;
        esac
    done
}

judge() {
    local run=$1 out=$WORK/$1 diff rc
    rc=$(cat "$out/qemu-status" 2>/dev/null || echo "not started")
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        fail "$run" "the guest did not power off within $BOOT_LIMIT s (killed); see $out/console.log"
    elif [ "$rc" != 0 ]; then
        fail "$run" "qemu ended with status $rc: $(tail -3 "$out/qemu.txt" | tr '\n' ' ')"
    fi
    if ! grep -q '@@BED-BEGIN@@' "$out/console.log" 2>/dev/null; then
        fail "$run" "the guest never reached the run: $(grep '^BED:' "$out/console.log" 2>/dev/null | tail -2 | tr '\n' ' ')"
        return
    fi
    if ! grep -q '@@BED-END status=0@@' "$out/console.log"; then
        fail "$run" "ftq did not end with status 0: $(grep -ao '@@BED-END[^@]*@@' "$out/console.log" || echo 'it never ended')"
    fi
    # The transcript, converted from GB2312 as the catalog does.
    if ! iconv -f GB2312 -t UTF-8 "$out/transcript.gb2312" >"$out/transcript.txt"; then
        fail "$run" "the transcript is not GB2312"
    elif ! diff=$(compare "bed/expected/$run.expected" "$out/transcript.txt"); then
        fail "$run" "transcript differs from bed/expected/$run.expected at $diff"
    fi

    # The board's record.
    local rec=$out/board.jsonl
    [ -s "$rec" ] || fail "$run" "the board left no record ($rec)"
    [ -s "$out/panel.jsonl" ] || fail "$run" "the panel peer left no record"
    tr -d '\r' <"$rec" >"$rec.tmp" 2>/dev/null && mv "$rec.tmp" "$rec"
    [ "$(count "$rec" init devices_ready)" = 1 ] || fail "$run" "no record of the board's devices"
    [ "$(count "$rec" cuse init)" = 1 ] || fail "$run" "/dev/vexio was never served"
    grep -q '"data":{"status":137},"dev":"init","ev":"vexmain_ended"' "$rec" ||
        fail "$run" "./vexmain was not killed with SIGKILL"
    grep -q '"ev":"poweroff"' "$rec" || fail "$run" "init did not power the board off"
    [ -z "$SURFACE" ] || judge_surface "$run" "$rec"
    local tones ms bad
    tones=$(count "$rec" vexio buzzer_off)
    ms=$(grep -o '"data":{"ms":[0-9]*},"dev":"vexio","ev":"buzzer_off"' "$rec" | sed 's/[^0-9]*\([0-9]*\).*/\1/' | xargs || true)
    bad=$(for m in $ms; do [ "$m" -ge 150 ] && [ "$m" -le 400 ] || echo "$m"; done)
    case $run in
    whole)
        [ "$tones" = 5 ] && [ -z "$bad" ] || fail "$run" "expected five OK beeps of 200 ms, heard $tones ($ms)"
        grep -q '"data":{"result":0,"value":5},"dev":"vexio","ev":"watchdog_armed"' "$rec" ||
            fail "$run" "the watchdog was not armed with 5"
        grep -q '"ev":"restarted"' "$rec" || fail "$run" "the watchdog did not restart the board"
        grep -q '"data":{"path":"/dav2/devCfg.bin"},"dev":"init","ev":"file_missing"' "$rec" ||
            fail "$run" "/dav2/devCfg.bin was not removed"
        ;;
    *)
        local want=0
        [ "$run" = 2 ] && want=3
        [ "$tones" = "$want" ] && [ -z "$bad" ] || fail "$run" "expected $want beeps of 200 ms, heard $tones ($ms)"
        [ "$(count "$rec" vexio watchdog_armed)" = 0 ] || fail "$run" "the watchdog was armed"
        ! grep -q '"data":{"path":"/dav2/devCfg.bin"},"dev":"init","ev":"file_missing"' "$rec" ||
            fail "$run" "/dav2/devCfg.bin was removed"
        ;;
    esac

    # The same run on the simulated board, with the same scenario: the board
    # I/O driver must have been asked the same, in the same order (times and
    # tone lengths aside).
    local simargs=()
    [ "$run" = whole ] || simargs=(-- -o "$run")
    "$HOST/ftq-sim" --scenario bed/board.json --trace "$out/sim-trace.jsonl" "${simargs[@]}" \
        >"$out/sim.txt" 2>&1 || true
    if ! diff=$(diff <(driver_requests "$out/sim-trace.jsonl") <(driver_requests "$rec")); then
        fail "$run" "the board I/O driver was asked otherwise than on the simulated board: $(echo "$diff" | head -4 | tr '\n' ' ')"
    fi

    # The panel's record.
    local panel=$out/panel.jsonl hb modes
    hb=$(count "$panel" panel heartbeat)
    modes=$(grep '"dev":"panel","ev":"led_mode"' "$panel" | sed 's/.*"mode":"\([A-Z_]*\)".*/\1/' | xargs || true)
    # Heartbeats come every 10 s from the port's opening: the whole run sees
    # some, a short single test none. Each one is answered.
    if [ "$run" = whole ] && [ "$hb" -lt 1 ]; then fail "$run" "the panel saw no heartbeat"; fi
    [ "$(grep -c '"what":"reply"' "$panel" || true)" = "$hb" ] || fail "$run" "a heartbeat went unanswered"
    [ "$(count "$panel" panel bad_checksum)" = 0 ] || fail "$run" "the panel saw a frame with a bad checksum"
    case $run in
    whole | 3)
        [ "$modes" = "$(cat bed/expected/panel-leds)" ] ||
            fail "$run" "LED modes: expected $(cat bed/expected/panel-leds), saw $modes"
        ;;
    *) [ -z "$modes" ] || fail "$run" "LED modes in a run without the key test: $modes" ;;
    esac
    local begins ends
    begins=$(awk '/RUN BEGINS/ { print $1 }' "$out/timeline.txt")
    ends=$(awk '/RUN ENDS/ { print $1 }' "$out/timeline.txt")
    printf '  ready to run at %s s, run %s s, powered off at %s s; Enter pressed %s times; heartbeats %s; LED modes: %s\n' \
        "${begins:-?}" "$(awk -v a="${begins:-0}" -v b="${ends:-0}" 'BEGIN { printf "%.1f", b - a }')" \
        "$(cat "$out/seconds")" "$(grep -o 'pressed Enter [0-9]*' "$out/operator.txt" | sed 's/.* //')" \
        "$hb" "${modes:-none}"
}

# The boots run side by side, one guest per core (FTQ_BED_JOBS, at most 2
# by default); each is judged once all have ended, in the order asked.
JOBS=${FTQ_BED_JOBS:-$(nproc)}
[ "${FTQ_BED_JOBS:-}" ] || [ "$JOBS" -le 2 ] || JOBS=2
for run in "${RUNS[@]}"; do
    [ -f "bed/expected/$run.expected" ] || die "no expected transcript bed/expected/$run.expected"
done
say "${#RUNS[@]} boots, $JOBS at a time: ${RUNS[*]}${SURFACE:+ (system calls up to $SURFACE only)}"
for run in "${RUNS[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
    (
        PIDS=()
        trap cleanup EXIT
        trap 'exit 143' TERM INT
        boot "$run"
    ) &
    PIDS+=($!)
done
wait || true
for run in "${RUNS[@]}"; do
    say "run ${run/whole/whole run}"
    judge "$run"
done

say "${#RUNS[@]} boots in $(since "$t_script") s (results in $WORK)"
if [ ${#FAILS[@]} -gt 0 ]; then
    printf 'test-kernel: FAILED: %s\n' "${FAILS[@]}" >&2
    printf '%d passed, %d failed\n' $((${#RUNS[@]} - $(printf '%s\n' "${FAILS[@]}" | cut -d: -f1 | sort -u | wc -l))) \
        "$(printf '%s\n' "${FAILS[@]}" | cut -d: -f1 | sort -u | wc -l)"
    exit 1
fi
printf '%d passed, 0 failed\n' ${#RUNS[@]}
