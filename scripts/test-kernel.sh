#!/usr/bin/env bash
# The kernel test bed: the unchanged board build of ftq on Debian's 32-bit
# ARM kernel under qemu-system-arm, on a board built from a scenario and
# judged against the simulated board's run of the same scenario
# (docs/kernel-bed.md).
usage() {
    cat <<'EOF'
usage: scripts/test-kernel.sh [--surface 2.6.37] [RUN...]
       scripts/test-kernel.sh [--surface 2.6.37] --scenario FILE_OR_CATALOG_NAME [--scenario ...]
       scripts/test-kernel.sh [--surface 2.6.37] --catalog [NAME...]

  RUN        whole, or a test number: that run on the bed's own healthy board
             (bed/board.json); no RUN and no option: whole, 1-8, 11 and 10
  --scenario a scenario file, or the name of one in scenarios/; its args
             choose the run
  --catalog  every scenario of the catalog (or the NAMEs given)
  --surface 2.6.37
             ftq runs through sim/bed/surface_launcher.cpp, which answers
             ENOSYS to every system call that kernel did not have and counts
             them, and uname reports a 2.6 release; each run then also
             prints "refused: NUMBERS", and a refused call whose fallback
             nobody has looked at fails the run

Each run boots a fresh guest whose devices are built from the scenario
(bed/plan.jq), runs ftq on it and compares what happened with ftq-sim's run
of the same scenario: the transcript byte for byte, the Enter presses
against the program's console waits, the board I/O driver's requests, the
tones, the watchdog, the files removed, the process killed and the panel's
record (the allowed differences: bed/differences.sh). A scenario the bed
cannot build is skipped with the reason. Each run prints "NAME: same",
"NAME: differs: WHY" or "NAME: skipped: WHY"; the last line is
"N passed, N failed, N skipped".

Environment: FTQ_BED_TIMEOUT (seconds all the guests together may take; by
default 300 + 120 per run and core), FTQ_BED_JOBS (guests at a time; 2 at
most by default), FTQ_BED_WORK (the results, default build/kernel-bed),
FTQ_KERNEL_CACHE (the kernel and busybox, default ~/.cache/ftq-kernel),
FTQ_BED_OPERATOR=absent (nobody presses Enter, to see the judge catch it).

Exit status: 0 when nothing failed, 1 when a run failed, 2 for a bad
command line.
EOF
}
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=${FTQ_BED_WORK:-$ROOT/build/kernel-bed}
CACHE=${FTQ_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ftq-kernel}

say() { printf 'test-kernel: %s\n' "$*"; }
die() { printf 'test-kernel: FAILED: %s\n' "$*" >&2; exit 1; }
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# ---- the command line -------------------------------------------------------
RUNS=()
SCENARIOS=()
CATALOG=0
SURFACE=""
while [ $# -gt 0 ]; do
    case $1 in
    -h | --help) usage; exit 0 ;;
    --scenario)
        [ $# -ge 2 ] || { echo "test-kernel: --scenario needs a file or a catalog name" >&2; exit 2; }
        SCENARIOS+=("$2")
        shift 2
        ;;
    --scenario=*) SCENARIOS+=("${1#*=}"); shift ;;
    --catalog) CATALOG=1; shift ;;
    --surface | --surface=*)
        if [ "$1" = --surface ]; then
            [ $# -ge 2 ] || { echo "test-kernel: --surface needs a kernel release" >&2; exit 2; }
            v=$2
            shift 2
        else
            v=${1#*=}
            shift
        fi
        case $v in
        2.6.37) SURFACE=369 ;; # the last ARM EABI call of 2.6.37: prlimit64
        *) echo "test-kernel: --surface: no system call table for '$v' (known: 2.6.37)" >&2; exit 2 ;;
        esac
        ;;
    -*) echo "test-kernel: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) RUNS+=("$1"); shift ;;
    esac
done
for r in "${RUNS[@]}"; do
    [ "$CATALOG" = 1 ] || [[ $r =~ ^(whole|[0-9]+)$ ]] ||
        { echo "test-kernel: a run is 'whole' or a test number, not '$r' (see --help)" >&2; exit 2; }
done
if [ "$CATALOG" = 0 ] && [ ${#SCENARIOS[@]} -eq 0 ] && [ ${#RUNS[@]} -eq 0 ]; then
    RUNS=(whole 1 2 3 4 5 6 7 8 11 10)
fi

t_script=$(date +%s.%N)
# Every process this script starts is ended by its id when it stops.
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# ---- the host's tools -------------------------------------------------------
./scripts/setup.sh --board
need=()
for p in qemu-system-arm dosfstools mtools cpio jq socat; do
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
cmake --build --preset arm --target ftq vexio-cuse vexmain bed-clock
[ -z "$SURFACE" ] || cmake --build --preset arm --target surface-launcher
cmake --preset host >/dev/null
cmake --build --preset host --target panel-peer console-operator ftq-sim ftq-record
ARM=$ROOT/build/arm
HOST=$ROOT/build/host

# The RS-485 line of the runs whose line has faults.
cmake --build --preset host --target rs485-peer

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

# ---- the initramfs that every guest shares ----------------------------------
rm -rf "$WORK"
mkdir -p "$WORK"
R=$WORK/initramfs
mkdir -p "$R"/{bin,sbin,dev,proc,sys,tmp,mnt,root,bed,lib/modules,dav0,dav2}
cp "$CACHE/root/bin/busybox" "$R/bin/busybox"
ln -s busybox "$R/bin/sh"
cp bed/init.sh "$R/init"
chmod 755 "$R/init"
cp "$ARM/ftq" "$R/root/ftq"
cp "$ARM/sim/bed/vexio-cuse" "$ARM/sim/bed/vexmain" "$ARM/sim/bed/bed-clock" "$R/bed/"
arm-linux-gnueabihf-strip "$R/root/ftq" "$R/bed/vexio-cuse" "$R/bed/vexmain" "$R/bed/bed-clock"
if [ -n "$SURFACE" ]; then # static: it needs nothing copied beside it
    arm-linux-gnueabihf-strip -o "$R/bed/surface-launcher" "$ARM/sim/bed/surface-launcher"
fi
# The ARM glibc loader and the libraries of whichever programs are dynamic.
ARMLIB=/usr/arm-linux-gnueabihf/lib
for prog in "$R/root/ftq" "$R/bed/vexio-cuse" "$R/bed/vexmain" "$R/bed/bed-clock"; do
    loader=$(arm-linux-gnueabihf-readelf -l "$prog" | sed -n 's,.*Requesting program interpreter: /lib/\(.*\)\],\1,p')
    [ -z "$loader" ] || cp -L "$ARMLIB/$loader" "$R/lib/"
    for lib in $(arm-linux-gnueabihf-readelf -d "$prog" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
        cp -L "$ARMLIB/$lib" "$R/lib/"
    done
done
# The firmware image test 10 reads.
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

# shellcheck source=bed/differences.sh
. bed/differences.sh

# ---- the runs: a name, a scenario file and ftq's arguments ------------------
ID=()
FILE=()
ARGS=()
add_run() { # name file args-json
    ID+=("$1")
    FILE+=("$2")
    ARGS+=("$3")
}
for r in "${RUNS[@]}"; do
    [ "$CATALOG" = 1 ] && continue
    if [ "$r" = whole ]; then add_run whole bed/board.json '[]'; else add_run "$r" bed/board.json "[\"-o\",\"$r\"]"; fi
done
for s in "${SCENARIOS[@]}"; do
    if [ -f "$s" ]; then f=$s; elif [ -f "scenarios/$s.json" ]; then f=scenarios/$s.json; else
        echo "test-kernel: no scenario '$s': neither a file nor a name in scenarios/" >&2
        exit 2
    fi
    name=$(basename "$f" .json)
    add_run "$name" "$f" "$(jq -c '.args // []' "$f")" || die "$f is not JSON"
done
if [ "$CATALOG" = 1 ]; then
    if [ ${#RUNS[@]} -gt 0 ]; then
        for n in "${RUNS[@]}"; do
            [ -f "scenarios/$n.json" ] || { echo "test-kernel: no catalog scenario '$n'" >&2; exit 2; }
            add_run "$n" "scenarios/$n.json" "$(jq -c '.args // []' "scenarios/$n.json")"
        done
    else
        for f in scenarios/*.json; do add_run "$(basename "$f" .json)" "$f" "$(jq -c '.args // []' "$f")"; done
    fi
fi
declare -A seen
for i in "${!ID[@]}"; do
    [ -z "${seen[${ID[$i]}]:-}" ] || ID[i]="${ID[$i]}-$i"
    seen[${ID[$i]}]=1
done

# ---- what the simulated board does, and what the bed can build --------------
SKIP=()
JOBS=${FTQ_BED_JOBS:-$(nproc)}
[ "${FTQ_BED_JOBS:-}" ] || [ "$JOBS" -le 2 ] || JOBS=2
# sim_run I: ftq-sim on the run's scenario and arguments; its transcript
# (the program's bytes), its trace, its report and its exit status.
sim_run() {
    local i=$1 out=$WORK/${ID[$1]} args
    mkdir -p "$out"
    cp "${FILE[$i]}" "$out/scenario.json"
    mapfile -t args < <(jq -r '.[]' <<<"${ARGS[$i]}")
    local rc=0
    "$HOST/ftq-sim" --raw --scenario "$out/scenario.json" --trace "$out/sim.jsonl" --result "$out/sim.result" \
        -- "${args[@]}" \
        >"$out/sim.gb2312" 2>"$out/sim.report" || rc=$?
    echo "$rc" >"$out/sim.status"
}
for i in "${!ID[@]}"; do
    out=$WORK/${ID[$i]}
    sim_run "$i"
    rc=$(cat "$out/sim.status")
    SKIP[i]=""
    if [ "$rc" = 2 ]; then
        SKIP[i]="!ftq-sim refused the scenario: $(head -1 "$out/sim.report")"
    elif [ "$rc" = 124 ]; then
        SKIP[i]="the simulated run stalls (ftq-sim exits 124): there is no end to compare"
    elif ! jq -f bed/plan.jq "$out/scenario.json" >"$out/plan.json" 2>"$out/plan.err"; then
        SKIP[i]="!bed/plan.jq failed on it: $(head -1 "$out/plan.err")"
    else
        SKIP[i]=$(jq -r '.skip // empty' "$out/plan.json")
        jq -e --argjson a "${ARGS[$i]}" '.args = $a' "$out/plan.json" >"$out/plan.tmp" && mv "$out/plan.tmp" "$out/plan.json"
        if [ -z "${SKIP[$i]}" ] && [ $(($(jq '.sticks | length' "$out/plan.json") + $(jq .mice "$out/plan.json"))) -gt 4 ]; then
            SKIP[i]="more than four USB devices (the bed's USB controller has four ports)"
        fi
        # The panel peer starts its key script at the program's first frame,
        # as it cannot see the port's opening; keys due before that frame
        # (a board whose key test sends the panel nothing) cannot be played
        # where the program shows them.
        if [ -z "${SKIP[$i]}" ] && grep -q ' is pressed' "$out/sim.gb2312" && [ "$(grep -o '"dev":"panel","ev":"[a-z_]*","t_us":[0-9]*' "$out/sim.jsonl" |
            awk -F'"|:' '$10 == "send" && k == "" { k = $14 + 0 }
                $10 != "send" && $10 != "open" && $10 != "tcsetattr" && $10 != "led_mode" && f == "" { f = $14 + 0 }
                END { print (k != "" && (f == "" || k < f)) ? 1 : 0 }')" = 1 ]; then
            SKIP[i]="panel keys before the program's first frame (the panel peer cannot see the port open)"
        fi
        # Whatever the arguments (-o 105 runs test 10 too), a run that
        # reached a port multiplier on the simulated board cannot on the bed.
        if [ -z "${SKIP[$i]}" ] && grep -q '"dev":"pmp"' "$out/sim.jsonl"; then
            SKIP[i]="port-multiplier requests (the bed's SATA driver has none)"
        fi
    fi
done

# ---- one boot ---------------------------------------------------------------
# fat_stick IMG FREE_BYTES PARTITIONED FAT: a new stick image. A FAT32 (or,
# small, FAT16) file system of 4 KiB clusters with the scenario's free bytes
# (the kernel's statfs counts free clusters), behind one partition when
# PARTITIONED; zeros, which no file system takes, when not FAT.
fat_stick() {
    local img=$1 free=$2 part=$3 fat=$4 n fatsz sectors offset=0 type=32
    n=$(((free + 4095) / 4096 + 16))
    if [ $n -lt 65525 ]; then
        type=16
        n=$((n < 4085 ? 4085 : n))
        fatsz=$(((n + 2) * 2 / 512 + 1))
        sectors=$((4 + 2 * fatsz + 32 + 8 * n))
    else
        fatsz=$(((n + 2) * 4 / 512 + 1))
        sectors=$((32 + 2 * fatsz + 8 * n))
    fi
    [ "$part" = 1 ] && offset=2048
    rm -f "$img"
    truncate -s $(((sectors + offset) * 512)) "$img"
    if [ "$part" = 1 ]; then
        # One partition of type 0x0C (FAT32, LBA) from sector 2048 on.
        local start count entry
        start=$(printf '%08x' $offset)
        count=$(printf '%08x' "$sectors")
        entry="\\x00\\xfe\\xff\\xff\\x0c\\xfe\\xff\\xff"
        entry+="\\x${start:6:2}\\x${start:4:2}\\x${start:2:2}\\x${start:0:2}"
        entry+="\\x${count:6:2}\\x${count:4:2}\\x${count:2:2}\\x${count:0:2}"
        # shellcheck disable=SC2059
        printf "$entry" | dd of="$img" bs=1 seek=446 conv=notrunc status=none
        printf '\x55\xaa' | dd of="$img" bs=1 seek=510 conv=notrunc status=none
    fi
    [ "$fat" = true ] || return 0
    mkfs.vfat -F "$type" -s 8 -S 512 -n FTQBED -i 20120523 --offset=$offset "$img" $((sectors / 2)) >/dev/null
}

# overlay I: the run's own files for the guest, as a second initramfs
# archive: the scenario, the board file init reads, ftq's arguments, the
# scenario's files.
overlay() {
    local i=$1 out=$WORK/${ID[$1]} plan=$WORK/${ID[$1]}/plan.json o=$WORK/${ID[$1]}/overlay
    rm -rf "$o"
    mkdir -p "$o/bed"
    cp "$out/scenario.json" "$o/bed/board.json"
    jq -r '.args[]' "$plan" >"$o/bed/args"
    jq -r '.sticks[] | "\(.port):\(.letter):\(if .disk and .part then "both" elif .part then "part" else "disk" end)"' \
        "$plan" >"$o/bed/sticks"
    jq -r '.mount_points[]' "$plan" >"$o/bed/mount_points"
    jq -r '(.usb.devices // ["msa", "msa1"])[] | if type == "string" then . else .name end' \
        "$out/scenario.json" >"$o/bed/usb_order"
    jq -r '.processes[] | join(" ")' "$plan" >"$o/bed/processes"
    local restart=0
    grep -q '"result":0,.*"dev":"vexio","ev":"watchdog_armed"' "$out/sim.jsonl" && restart=1
    jq -r --arg restart $restart '
        "DISKS=\(.disks | length)", "STICKS=\(.sticks | length)", "MICE=\(.mice)",
        "LINKS=\"\(if .net.eth0.link then 1 else 0 end) \(if .net.eth1.link then 1 else 0 end)\"",
        "RS485=\(.rs485)", "RTC_MISSING=\(if .rtc.missing then 1 else 0 end)",
        "START_TIME=\(.start_time)", "RTC_OFFSET=\(.rtc.offset)", "MNT=\(.mnt)",
        "RESTART=\($restart)"' "$plan" >"$o/bed/run.env"
    local path kind
    while IFS=$'\t' read -r path kind; do
        [[ $path == /* && $path != *..* ]] || die "${ID[$i]}: a file path that is not absolute: $path"
        mkdir -p "$o$(dirname "$path")"
        case $kind in
        text) jq -j --arg p "$path" '.files[$p].text' "$plan" >"$o$path" ;;
        hex)
            # shellcheck disable=SC2059
            printf "$(jq -r --arg p "$path" '.files[$p].hex' "$plan" | tr -d ' ' | sed 's/../\\x&/g')" >"$o$path"
            ;;
        size)
            head -c "$(jq --arg p "$path" '.files[$p].size' "$plan")" /dev/zero |
                tr '\0' "\\$(printf %o "$(jq --arg p "$path" '.files[$p].fill // 0' "$plan")")" >"$o$path"
            ;;
        esac
    done < <(jq -r '.files | to_entries[] | select(.value != null)
                    | "\(.key)\t\(.value | if has("text") then "text" elif has("hex") then "hex" else "size" end)"' "$plan")
    (cd "$o" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out/run.cpio.gz"
    cat "$WORK/initrd.gz" "$out/run.cpio.gz" >"$out/initrd.gz"
}

# boot I LIMIT: boots a fresh guest on the run's board, for at most LIMIT
# seconds, and leaves its console log, transcript, records and the peers'
# exit statuses in $WORK/NAME/.
boot() {
    local i=$1 limit=$2 out=$WORK/${ID[$1]} plan=$WORK/${ID[$1]}/plan.json t0 rc j
    local s=$out/sock
    mkdir -p "$s"
    overlay "$i"
    local args=(-M virt,highmem=off -m 512 -smp 1 -display none -monitor none -no-reboot -S
        -qmp "unix:$s/qmp,server=on,wait=off"
        -kernel "$VMLINUZ" -initrd "$out/initrd.gz"
        -append "console=ttyAMA0 panic=-1 quiet${SURFACE:+ bed.surface=$SURFACE}"
        -chardev "socket,id=con,path=$s/console" -serial chardev:con
        -chardev null,id=s0 -chardev "socket,id=s2,path=$s/panel" -chardev "file,id=s3,path=$out/board.jsonl"
        -device ich9-ahci,id=ahci -device qemu-xhci,id=xhci)
    # The RS-485 loop-back fixture: qemu reads back what it writes; a line
    # with faults is the RS-485 model's, in rs485-peer on the host.
    local rs485 rs485_peer=""
    rs485=$(jq -r .rs485 "$plan")
    if [ "$rs485" = open ]; then
        args+=(-chardev null,id=s1)
    elif [ "$rs485" = peer ]; then
        args+=(-chardev "socket,id=s1,path=$s/rs485")
    else
        mkfifo "$s/rs485"
        args+=(-chardev "pipe,id=s1,path=$s/rs485")
    fi
    args+=(-device pci-serial-4x,chardev1=s0,chardev2=s1,chardev3=s2,chardev4=s3)
    # The network ports, joined to each other only (a qemu hub).
    local port speed duplex
    for j in 0 1; do
        speed=$(jq ".net.eth$j.speed" "$plan")
        duplex=$(jq -r ".net.eth$j.duplex" "$plan")
        args+=(-netdev "hubport,id=n$j,hubid=0"
            -device "virtio-net-pci,netdev=n$j,romfile=,speed=$speed,duplex=$duplex")
    done
    # The SATA disks: sparse images of their sizes on their ports.
    local serial model ver bytes
    while IFS=$'\t' read -r port serial model ver bytes; do
        truncate -s "$bytes" "$out/sata$port.img"
        args+=(-drive "if=none,id=d$port,format=raw,file=$out/sata$port.img"
            -device "ide-hd,bus=ahci.$port,drive=d$port,model=${model//,/,,},serial=${serial//,/,,},ver=${ver//,/,,}")
    done < <(jq -r '.disks[] | [.port, .serial, .model, .firmware, .bytes] | @tsv' "$plan")
    # The USB sticks, then the mice, each on its own port.
    local free part fat
    while IFS=$'\t' read -r port free part fat; do
        fat_stick "$out/stick$port.img" "$free" "$part" "$fat"
        args+=(-drive "if=none,id=stick$port,format=raw,file=$out/stick$port.img"
            -device "usb-storage,bus=xhci.0,port=$port,drive=stick$port,removable=on")
    done < <(jq -r '.sticks[] | [.port, .free_bytes, (if .part then 1 else 0 end), .fat] | @tsv' "$plan")
    port=$(jq '.sticks | length' "$plan")
    for j in $(seq "$(jq .mice "$plan")"); do
        args+=(-device "usb-mouse,bus=xhci.0,port=$((port + j))")
    done

    local waits="" quiet
    if [ "$(jq -r .operator "$plan")" = enter ] && [ "${FTQ_BED_OPERATOR:-}" != absent ]; then
        waits=$(sed -n 's/.*"waited_at":\([0-9]*\).*"dev":"console","ev":"type".*/\1/p' "$out/sim.jsonl" | paste -sd, -)
    fi
    quiet=$(jq '.delay * 1000 | floor' "$plan")
    local op_args=(--socket "$s/console" --log "$out/console.log" --transcript "$out/transcript.gb2312"
        --timeline "$out/timeline.txt" --quiet-ms "$quiet")
    [ -z "$waits" ] || op_args+=(--waits "$waits")
    "$HOST/sim/bed/console-operator" "${op_args[@]}" 2>"$out/operator.txt" &
    local operator=$!
    PIDS+=("$operator")
    # The simulated heartbeats, from the port's opening: the peer keeps its
    # key script on the program's time by them.
    local beats
    beats=$(grep -o '"dev":"panel","ev":"\(open\|heartbeat\)","t_us":[0-9]*' "$out/sim.jsonl" |
        awk -F'"|:' '$10 == "open" && o == "" { o = $14 } $10 == "heartbeat" && o != "" { printf "%s%d", n++ ? "," : "", $14 - o }' || true)
    "$HOST/sim/bed/panel-peer" --scenario "$out/scenario.json" --socket "$s/panel" \
        --record "$out/panel.jsonl" ${beats:+--heartbeats "$beats"} \
        --led-grow-ms "$PANEL_LED_GROW_MS" --led-incomplete-ms "$PANEL_LED_INCOMPLETE_MS" 2>"$out/peer.txt" &
    local peer=$!
    PIDS+=("$peer")
    echo "$peer" >"$out/peer.pid"
    for j in $(seq 100); do
        [ -S "$s/console" ] && [ -S "$s/panel" ] && break
        sleep 0.05
    done
    [ -S "$s/console" ] && [ -S "$s/panel" ] || echo "the operator or the panel peer did not start" >"$out/boot-failed"
    if [ "$rs485" = peer ]; then
        "$HOST/sim/bed/rs485-peer" --scenario "$out/scenario.json" --socket "$s/rs485" \
            --board-record "$out/board.jsonl" --record "$out/rs485.jsonl" 2>"$out/rs485-peer.txt" &
        rs485_peer=$!
        PIDS+=("$rs485_peer")
        for j in $(seq 100); do
            [ -S "$s/rs485" ] && break
            sleep 0.05
        done
        [ -S "$s/rs485" ] || echo "the RS-485 peer did not start: $(tail -1 "$out/rs485-peer.txt")" >"$out/boot-failed"
    fi

    t0=$(date +%s.%N)
    rc=0
    timeout --kill-after=5 "$limit" qemu-system-arm "${args[@]}" >"$out/qemu.txt" 2>&1 &
    local qemu=$!
    PIDS+=("$qemu")
    # The ports whose cable is out are set down before the guest runs.
    for j in $(seq 100); do
        [ -S "$s/qmp" ] && break
        sleep 0.05
    done
    local qmp='{"execute":"qmp_capabilities"}'
    for j in 0 1; do
        [ "$(jq ".net.eth$j.link" "$plan")" = true ] ||
            qmp+=$'\n'"{\"execute\":\"set_link\",\"arguments\":{\"name\":\"n$j\",\"up\":false}}"
    done
    qmp+=$'\n''{"execute":"cont"}'
    local answers
    answers=$(printf '%s\n' "$qmp" | socat -t 3 - "UNIX-CONNECT:$s/qmp" 2>&1 | grep -c '"return"' || true)
    [ "$answers" = "$(printf '%s\n' "$qmp" | wc -l)" ] ||
        echo "qemu's monitor took $answers of $(printf '%s\n' "$qmp" | wc -l) commands" >"$out/boot-failed"
    wait "$qemu" || rc=$?
    echo "$(since "$t0")" >"$out/seconds"
    # qemu has closed both sockets: the operator and the peer end by themselves.
    local st
    for j in $(seq 50); do
        kill -0 "$operator" 2>/dev/null || kill -0 "$peer" 2>/dev/null || break
        sleep 0.1
    done
    # A peer still there 5 s after qemu closed its side is stuck.
    st=0
    if kill -0 "$operator" 2>/dev/null; then kill "$operator"; wait "$operator" || true; st=stuck; fi
    [ "$st" = stuck ] || wait "$operator" || st=$?
    echo "$st" >"$out/operator-status"
    st=0
    if kill -0 "$peer" 2>/dev/null; then kill "$peer"; wait "$peer" || true; st=stuck; fi
    [ "$st" = stuck ] || wait "$peer" || st=$?
    echo "$st" >"$out/peer-status"
    if [ -n "$rs485_peer" ]; then
        for j in $(seq 50); do
            kill -0 "$rs485_peer" 2>/dev/null || break
            sleep 0.1
        done
        st=0
        if kill -0 "$rs485_peer" 2>/dev/null; then kill "$rs485_peer"; wait "$rs485_peer" || true; st=stuck; fi
        [ "$st" = stuck ] || wait "$rs485_peer" || st=$?
        echo "$st" >"$out/rs485-peer-status"
    fi
    echo "$rc" >"$out/qemu-status"
}

# ---- judging ----------------------------------------------------------------
PROBLEMS=()
problem() { PROBLEMS+=("$1"); }

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

# show_line FILE N: line N of a GB2312 transcript in UTF-8, with its end.
show_line() {
    local lines
    lines=$(LC_ALL=C awk 'END { print NR }' "$1")
    if [ "$2" -gt "$lines" ]; then
        echo "<no line>"
        return
    fi
    LC_ALL=C sed -n "${2}p" "$1" | LC_ALL=C sed 's/\x0/\\0/g' | iconv -f GB2312 -t UTF-8 -c | tr -d '\n'
    if [ "$2" = "$lines" ] && [ -n "$(tail -c1 "$1")" ]; then echo " <no newline at the end>"; else echo; fi
}

# transcript I: the guest's bytes against ftq-sim's, after the declared
# differences; the first differing line, with both versions.
transcript() {
    local out=$WORK/${ID[$1]} msg at
    LC_ALL=C sed "$TRANSCRIPT_SED" "$out/sim.gb2312" >"$out/sim.cmp"
    LC_ALL=C sed "$TRANSCRIPT_SED" "$out/transcript.gb2312" >"$out/bed.cmp"
    if jq -e "$RS485_SPLIT_SCENARIO" "$out/scenario.json" >/dev/null; then
        rs485_split "$out/sim.cmp"
        rs485_split "$out/bed.cmp"
    fi
    msg=$(LC_ALL=C cmp "$out/sim.cmp" "$out/bed.cmp" 2>&1) && return 0
    at=$(sed -n 's/.*differ: [a-z]* [0-9]*, line \([0-9]*\).*/\1/p' <<<"$msg")
    if [ -z "$at" ]; then
        # One is the beginning of the other: the first line the shorter
        # lacks, or its last line when that has no newline.
        if at=$(sed -n 's/.*EOF on .* after [a-z]* [0-9]*, line \([0-9]*\)$/\1/p' <<<"$msg") && [ -n "$at" ]; then
            at=$((at + 1))
        else
            at=$(sed -n 's/.*EOF on .* after [a-z]* [0-9]*, in line \([0-9]*\)$/\1/p' <<<"$msg")
            [ -n "$at" ] || at=1 # one of them is empty
        fi
    fi
    problem "transcript line $at: ftq-sim \"$(show_line "$out/sim.cmp" "$at")\", the bed \"$(show_line "$out/bed.cmp" "$at")\""
}

# read_record OUT WHOSE FILE: ftq-record's record of one transcript into
# FILE.record, or the reason it cannot be read exactly (no run, more than
# one, a line it does not know).
read_record() {
    local out=$1 whose=$2 f=$1/$3 rc=0 n
    "$HOST/record/ftq-record" parse "$f" >"$f.record" 2>"$f.record-err" || rc=$?
    n=$(grep -c . "$f.record" || true)
    if [ "$rc" != 0 ] || [ "$n" != 1 ]; then
        problem "ftq-record read $n runs from $whose transcript (status $rc)$([ ! -s "$f.record-err" ] || echo ": $(head -1 "$f.record-err")")"
        return 1
    fi
    n=$(jq -r '.unknown[]? | tostring' "$f.record" | head -1)
    [ -z "$n" ] || { problem "ftq-record could not read a line of $whose transcript: $n"; return 1; }
}

# record I: the run as ftq-record reads it from the guest's transcript: its
# verdict, USB and SATA counts and failures are the simulated run's result
# (ftq-sim --result; a whole run that ended before its summary is one that
# ftq-record calls "incomplete"), and the whole record is what ftq-record reads from
# ftq-sim's transcript, after the declared differences.
record() {
    local out=$WORK/${ID[$1]} first
    read_record "$out" "the bed's" transcript.gb2312 || return 0
    read_record "$out" "the simulated board's" sim.gb2312 || return 0
    first=$(jq -rn --slurpfile r "$out/sim.result" --slurpfile b "$out/transcript.gb2312.record" '
        $r[0] as $r | $b[0] as $b
        | {verdict: (if $r.verdict == null and ($r.steps | length) > 0 then "incomplete" else $r.verdict end),
           failed: $r.failed,
           usb: (if $r.verdict == null then null else $r.record.usbResult end),
           sata: (if $r.verdict == null then null else $r.record.sataResult end)}
        | to_entries[] | select(.value != $b[.key])
        | "\(.key) \($b[.key] | tojson), ftq-sim --result \(.value | tojson)"' | head -1)
    [ -z "$first" ] || problem "ftq-record reads the bed's run as $first"
    local filter=$RECORD_JQ
    if jq -e "$RS485_SPLIT_SCENARIO" "$out/scenario.json" >/dev/null; then
        filter="($RECORD_JQ) | ($RS485_SPLIT_RECORD_JQ)"
    fi
    first=$(jq -rn --slurpfile s <(jq -c "$filter" "$out/sim.gb2312.record") \
        --slurpfile b <(jq -c "$filter" "$out/transcript.gb2312.record") '
        $s[0] as $s | $b[0] as $b
        | [($s | keys_unsorted[]), ($b | keys_unsorted[])] | unique[]
        | select($s[.] != $b[.])
        | "\(.) \($b[.] | tojson | .[:160]), from ftq-sim'"'"'s \($s[.] | tojson | .[:160])"' | head -1)
    [ -z "$first" ] || problem "ftq-record's record of the bed's run differs: $first"
}

# run_seconds OUT: the run's length by the operator's clock.
run_seconds() {
    awk '/RUN BEGINS/ { b = $1 } /RUN ENDS/ { e = $1 } END { if (b != "" && e != "") printf "%.1f", e - b; else print "?" }' \
        "$1/timeline.txt" 2>/dev/null || echo "?"
}

# The refused calls whose fallback has been looked at: what the C library
# does instead is in docs/kernel-bed.md. Any other refused call fails the
# run until someone has.
SURFACE_FALLBACKS=" 384 397 398 403 "
# judge_surface RECORD: ftq ran under the launcher and saw a 2.6 release;
# leaves the refused calls in REFUSED.
judge_surface() {
    local rec=$1 line counts nr
    grep -q '"data":{"last":'"$SURFACE"',"uname":"2\.6\.[^"]*"},"dev":"init","ev":"surface"' "$rec" ||
        problem "the launcher did not set up $SURFACE's surface: $(grep '"ev":"surface"' "$rec" || echo 'no record')"
    line=$(grep '"dev":"init","ev":"refused_calls"' "$rec" || true)
    if [ "$(grep -c . <<<"$line")" != 1 ] || ! grep -q '^{"data":{' <<<"$line"; then
        problem "the launcher left no count of refused calls: ${line:-no record}"
        return
    fi
    grep -q '"uncounted":true' <<<"$line" &&
        problem "processes outlived ftq under the filter: their refused calls were not counted"
    counts=$(grep -o '^{"data":{[^}]*}' <<<"$line" | grep -o '"[0-9]*":[0-9]*' | tr -d '"' | sort -n)
    REFUSED=$(echo "${counts:-none}" | cut -d: -f1 | xargs)
    for nr in $(echo "$counts" | cut -d: -f1); do
        case $SURFACE_FALLBACKS in
        *" $nr "*) ;;
        *) problem "system call $nr was refused, and nothing shows that ftq goes on correctly without it" ;;
        esac
    done
}

# judge_rs485 I: the RS-485 peer served the whole run, its line carried
# what the program sent and lost what the simulated line lost.
judge_rs485() {
    local out=$WORK/${ID[$1]} rec=$WORK/${ID[$1]}/rs485.jsonl sent sim_sent lost sim_lost
    peer_status "RS-485 peer" "$out/rs485-peer-status" "$out/rs485-peer.txt"
    grep -q '"dev":"peer","ev":"disconnected"' "$rec" 2>/dev/null ||
        problem "the RS-485 peer's connection to the guest did not last the run"
    line_sent() { jq -s '[.[] | select(.dev == "rs485" and .ev == "write") | .data.accepted] | add // 0' "$1" 2>/dev/null || echo "?"; }
    line_lost() { { grep '"dev":"rs485","ev":"lost"' "$1" 2>/dev/null || true; } | sed 's/,"t_us":[0-9]*//' | paste -sd' ' -; }
    sent=$(line_sent "$rec")
    sim_sent=$(line_sent "$out/sim.jsonl")
    [ "$sent" = "$sim_sent" ] || problem "the RS-485 line carried $sent bytes from the program, on the simulated board $sim_sent"
    lost=$(line_lost "$rec")
    sim_lost=$(line_lost "$out/sim.jsonl")
    [ "$lost" = "$sim_lost" ] || problem "the RS-485 line lost: ${lost:-nothing}; on the simulated board: ${sim_lost:-nothing}"
    # A socket carries no line settings: the peer's line runs at the model's 9600 baud.
    local speed
    speed=$(grep '"dev":"rs485","ev":"tcsetattr"' "$out/sim.jsonl" | grep -o '"speed":[0-9]*' | tail -1 | cut -d: -f2 || true)
    [ -z "$speed" ] || [ "$speed" = 9600 ] || problem "the program set the RS-485 port to $speed baud; the peer's line runs at 9600"
}

judge() {
    local i=$1 out=$WORK/${ID[$1]} rc
    REFUSED=""
    PROBLEMS=()
    [ ! -f "$out/boot-failed" ] || problem "$(cat "$out/boot-failed")"
    rc=$(cat "$out/qemu-status" 2>/dev/null || echo "not started")
    local last
    last=$(grep -a '^BED:' "$out/console.log" 2>/dev/null | tail -1 || true)
    if [ "$rc" = "not started" ]; then
        [ -f "$out/limit" ] || problem "not started: the script's time bound of $LIMIT s was spent"
        [ -f "$out/limit" ] && [ ! -f "$out/boot-failed" ] && problem "the guest's boot ended before qemu did: see $out/boot.txt"
        return
    elif [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        if ! grep -q '@@BED-BEGIN@@' "$out/console.log" 2>/dev/null; then
            problem "the guest never reached the run within $(cat "$out/limit") s (killed); it was at: ${last:-nothing printed}"
        elif ! grep -q '@@BED-END' "$out/console.log"; then
            problem "ftq was still running after $(cat "$out/limit") s (the simulated run takes $(cat "$out/sim-seconds") s); killed; its last output: $(tail -c 200 "$out/transcript.gb2312" | iconv -f GB2312 -t UTF-8 -c | tr '\n' '|')"
        else
            problem "the guest did not power off within $(cat "$out/limit") s after the run (killed); see $out/console.log"
        fi
    elif [ "$rc" != 0 ]; then
        problem "qemu ended with status $rc: $(tail -3 "$out/qemu.txt" | tr '\n' ' ')"
    fi
    if ! grep -q '@@BED-BEGIN@@' "$out/console.log" 2>/dev/null; then
        problem "the guest never reached the run: ${last:-nothing printed}"
        return
    fi
    # The peers: each serves the whole run and ends when qemu closes its side.
    local st
    # peer_status NAME FILE LOG: how a peer ended, if not as it should.
    peer_status() {
        local st
        st=$(cat "$2" 2>/dev/null || echo "unknown")
        case $st in
        0) ;;
        stuck) problem "the $1 did not end when qemu closed its connection" ;;
        *[!0-9]* | '') problem "the $1 left no exit status" ;;
        *)
            if [ "$st" -gt 128 ]; then
                problem "the $1 died during the run (killed by signal $((st - 128))): $(tail -1 "$3" 2>/dev/null)"
            else
                problem "the $1 failed (status $st): $(tail -1 "$3" 2>/dev/null)"
            fi
            ;;
        esac
    }
    peer_status "panel peer" "$out/peer-status" "$out/peer.txt"
    grep -q '"dev":"peer","ev":"disconnected"' "$out/panel.jsonl" 2>/dev/null ||
        problem "the panel peer's connection to the guest did not last the run"
    peer_status "console operator" "$out/operator-status" "$out/operator.txt"
    [ "$(jq -r .rs485 "$out/plan.json")" != peer ] || judge_rs485 "$i"
    local rec=$out/board.jsonl
    tr -d '\r' <"$rec" >"$rec.tmp" 2>/dev/null && mv "$rec.tmp" "$rec"
    [ "$(count "$rec" cuse init)" = 1 ] || problem "/dev/vexio was never served"
    [ "$(count "$rec" init daemon_ended)" = 0 ] || problem "the /dev/vexio daemon (vexio-cuse) died during the run"
    grep -q '"ev":"poweroff"' "$rec" || problem "init did not power the board off"
    [ -z "$SURFACE" ] || judge_surface "$rec"

    # ftq's end, and what it printed.
    local status sim_status
    status=$(grep -ao '@@BED-END status=[0-9]*@@' "$out/console.log" | sed 's/[^0-9]//g' || true)
    sim_status=$(cat "$out/sim.status")
    if [ -z "$status" ]; then
        problem "ftq never ended"
    elif [ "$status" != "$sim_status" ]; then
        problem "ftq ended with status $status, on the simulated board with $sim_status"
    fi
    transcript "$i"
    record "$i"

    # The operator answered the program's console waits: as many Enter
    # presses as the simulated operator's, each after the same output.
    local want got
    want=$(sed -n 's/.*"shown":\([0-9]*\).*"dev":"console","ev":"type".*/\1/p' "$out/sim.jsonl" | paste -sd' ' -)
    got=$(sed -n 's/.*ENTER after \([0-9]*\).*/\1/p' "$out/timeline.txt" 2>/dev/null | paste -sd' ' -)
    [ "$got" = "$want" ] ||
        problem "Enter was pressed $(wc -w <<<"$got") times (after bytes ${got:-none}), the program waited $(wc -w <<<"$want") times (after bytes ${want:-none})"

    # The board I/O driver was asked the same, in the same order (times and
    # tone lengths aside), and each tone lasted as long.
    local diff
    if ! diff=$(diff <(driver_requests "$out/sim.jsonl") <(driver_requests "$rec")); then
        problem "the board I/O driver was asked otherwise than on the simulated board: $(echo "$diff" | head -4 | tr '\n' ' ')"
    fi
    local sim_ms bed_ms
    sim_ms=$(sed -n 's/.*"ms":\([0-9]*\)},"dev":"vexio","ev":"buzzer_off".*/\1/p' "$out/sim.jsonl" | xargs)
    bed_ms=$(sed -n 's/.*"ms":\([0-9]*\)},"dev":"vexio","ev":"buzzer_off".*/\1/p' "$rec" | xargs)
    awk -v a="$sim_ms" -v b="$bed_ms" -v slack="$TONE_SLACK_MS" 'BEGIN {
        n = split(a, x); m = split(b, y); if (n != m) exit 1
        for (k = 1; k <= n; k++) if (y[k] - x[k] > slack || x[k] - y[k] > slack) exit 1 }' ||
        problem "tones of ${bed_ms:-none} ms, on the simulated board ${sim_ms:-none} ms"
    local restarted=0
    grep -q '"ev":"restarted"' "$rec" && restarted=1
    [ "$restarted" = "$(sed -n 's/RESTART=//p' "$out/overlay/bed/run.env")" ] ||
        problem "the watchdog restart: $([ $restarted = 1 ] && echo "the board restarted, the simulated one did not" || echo "the simulated board restarted, the board did not")"
    # Files removed and the process killed.
    want=$(sed -n 's/.*"path":"\([^"]*\)","result":0},"dev":"fs","ev":"remove".*/\1/p' "$out/sim.jsonl" | sort | xargs)
    got=$(sed -n 's/.*"path":"\([^"]*\)"},"dev":"init","ev":"file_missing".*/\1/p' "$rec" | sort | xargs)
    [ "$got" = "$want" ] || problem "files removed: ${got:-none}; on the simulated board: ${want:-none}"
    # The scenario's processes, in order; which of them SIGKILL ended.
    local pids killed=() k=0 p
    read -ra pids <<<"$(sed -n 's/.*"processes":"\([0-9 ]*\)".*/\1/p' "$rec")"
    for p in "${pids[@]}"; do
        k=$((k + 1))
        grep -q "\"data\":{\"pid\":$p,\"status\":137}" "$rec" && killed+=("$k")
    done
    local sim_pids sim_killed=() kp
    mapfile -t sim_pids < <(jq -r 'if has("processes") then .processes[] | select((.cmdline // []) | length > 0) | select(.cmdline != ["init"]) | .pid else 612 end' "$out/scenario.json")
    for kp in $(sed -n 's/.*"found":true,"pid":"\([0-9]*\)"},"dev":"proc","ev":"kill".*/\1/p' "$out/sim.jsonl"); do
        for k in "${!sim_pids[@]}"; do [ "${sim_pids[$k]}" = "$kp" ] && sim_killed+=("$((k + 1))"); done
    done
    [ "${killed[*]}" = "${sim_killed[*]}" ] ||
        problem "processes killed (by their place in the list): ${killed[*]:-none}; on the simulated board: ${sim_killed[*]:-none}"

    # The panel: the LED modes it recognised, its heartbeats against the
    # run's length, each answered, and the frames it could not take.
    local panel=$out/panel.jsonl modes sim_modes hb sim_hb
    modes=$(sed -n 's/.*"mode":"\([A-Z_]*\)".*"dev":"panel","ev":"led_mode".*/\1/p' "$panel" 2>/dev/null | xargs)
    sim_modes=$(sed -n 's/.*"mode":"\([A-Z_]*\)".*"dev":"panel","ev":"led_mode".*/\1/p' "$out/sim.jsonl" | xargs)
    [ "$modes" = "$sim_modes" ] || problem "LED modes: ${modes:-none}; on the simulated board: ${sim_modes:-none}"
    local cut sim_cut
    cut=$(sed -n 's/.*"frames":"\([0-9A-F ,]*\)".*"dev":"panel","ev":"led_incomplete".*/[\1]/p' "$panel" 2>/dev/null | xargs)
    sim_cut=$(sed -n 's/.*"frames":"\([0-9A-F ,]*\)".*"dev":"panel","ev":"led_incomplete".*/[\1]/p' "$out/sim.jsonl" | xargs)
    [ "$cut" = "$sim_cut" ] || problem "LED sequences left unfinished: ${cut:-none}; on the simulated board: ${sim_cut:-none}"
    [ "$(count "$panel" panel led_stray)" = "$(count "$out/sim.jsonl" panel led_stray)" ] ||
        problem "the panel saw $(count "$panel" panel led_stray) LED frames in no sequence, on the simulated board $(count "$out/sim.jsonl" panel led_stray)"
    hb=$(count "$panel" panel heartbeat)
    sim_hb=$(count "$out/sim.jsonl" panel heartbeat)
    if [ "$hb" != "$sim_hb" ]; then
        # Near a heartbeat's time the real run may end either side of it.
        local end_s last_hb near
        end_s=$(sed -n 's/.*virtual time \([0-9.]*\) s.*/\1/p' "$out/sim.report" | head -1)
        last_hb=$(sed -n 's/.*"dev":"panel","ev":"heartbeat","t_us":\([0-9]*\).*/\1/p' "$out/sim.jsonl" | tail -1)
        near=$(awk -v e="${end_s:-0}" -v h="${last_hb:-0}" -v s="$HEARTBEAT_SLACK_S" -v a="$hb" -v b="$sim_hb" \
            'BEGIN { d = a - b; n = (e - h / 1e6 < s) || (e - h / 1e6 > 10 - s); print (d * d == 1 && n) ? 1 : 0 }')
        [ "$near" = 1 ] || problem "the panel had $hb heartbeats in a run of $(run_seconds "$out") s; on the simulated board $sim_hb in ${end_s:-?} s"
    fi
    [ "$(grep -c '"what":"reply"' "$panel" 2>/dev/null || true)" = "$hb" ] || problem "a heartbeat went unanswered"
    [ "$(count "$panel" panel bad_checksum)" = "$(count "$out/sim.jsonl" panel bad_checksum)" ] ||
        problem "the panel saw $(count "$panel" panel bad_checksum) frames with a bad checksum, on the simulated board $(count "$out/sim.jsonl" panel bad_checksum)"
}

# ---- the guests, side by side, within one time bound -------------------------
todo=()
for i in "${!ID[@]}"; do [ -n "${SKIP[$i]}" ] || todo+=("$i"); done
LIMIT=${FTQ_BED_TIMEOUT:-$((300 + 120 * (${#todo[@]} + JOBS - 1) / JOBS))}
t_guests=$(date +%s)
deadline=$((t_guests + LIMIT))
say "${#ID[@]} runs: ${#todo[@]} on the bed, $JOBS at a time, within $LIMIT s; $((${#ID[@]} - ${#todo[@]})) not${SURFACE:+; system calls up to $SURFACE only}"
for i in "${todo[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
    out=$WORK/${ID[$i]}
    left=$((deadline - $(date +%s)))
    [ "$left" -gt 5 ] || continue
    # A guest may take three minutes to boot (a loaded host slows its
    # emulated core several times over) and the simulated run's length
    # three times over.
    sim_s=$(sed -n 's/.*virtual time \([0-9.]*\) s.*/\1/p' "$out/sim.report" | head -1)
    echo "${sim_s:-?}" >"$out/sim-seconds"
    own=$(awk -v s="${sim_s:-60}" 'BEGIN { printf "%d", 180 + 3 * s }')
    [ "$own" -lt "$left" ] || own=$left
    echo "$own" >"$out/limit"
    (
        PIDS=()
        trap cleanup EXIT
        trap 'exit 143' TERM INT
        trap 'echo "the bed could not set the guest up (scripts/test-kernel.sh line $LINENO)" >"$out/boot-failed"' ERR
        boot "$i" "$own"
    ) >"$out/boot.txt" 2>&1 &
    PIDS+=($!)
done
wait || true
t_bed=$(($(date +%s) - t_guests))

passed=0
failed=0
skipped=0
declare -A reasons
for i in "${!ID[@]}"; do
    if [ -n "${SKIP[$i]}" ] && [ "${SKIP[$i]:0:1}" != "!" ]; then
        printf '%s: skipped: %s\n' "${ID[$i]}" "${SKIP[$i]}"
        skipped=$((skipped + 1))
        r=${SKIP[$i]%% (*}
        r=${r%%:*}
        reasons[$r]=$((${reasons[$r]:-0} + 1))
        continue
    fi
    REFUSED=""
    if [ -n "${SKIP[$i]}" ]; then
        PROBLEMS=("${SKIP[$i]:1}")
    else
        judge "$i"
    fi
    if [ ${#PROBLEMS[@]} -eq 0 ]; then
        printf '%s: same\n' "${ID[$i]}"
        passed=$((passed + 1))
    else
        printf '%s: differs: %s\n' "${ID[$i]}" "${PROBLEMS[0]}"
        for p in "${PROBLEMS[@]:1}"; do printf '    also: %s\n' "$p"; done
        failed=$((failed + 1))
    fi
    [ -z "$SURFACE" ] || [ -z "$REFUSED" ] || printf '    refused: %s\n' "$REFUSED"
done
if [ "$skipped" -gt 0 ]; then
    say "skipped by reason:"
    for r in "${!reasons[@]}"; do printf '%6d  %s\n' "${reasons[$r]}" "$r"; done | sort -rn
fi
say "guests in $t_bed s, the whole script in $(since "$t_script") s (results in $WORK)"
printf '%d passed, %d failed, %d skipped\n' "$passed" "$failed" "$skipped"
[ "$failed" = 0 ]
