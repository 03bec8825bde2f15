# The kernel test bed's board for one scenario (scripts/test-kernel.sh,
# docs/kernel-bed.md): what a stock kernel and qemu can build of each
# section, or why the bed cannot build it.
#
#   jq -f bed/plan.jq SCENARIO.json
#
# gives {"skip": "REASON"} or the board: the SATA disks by port, the USB
# sticks and mice, each network port, the RS-485 line, the clock, the files,
# the processes and the console operator. The sections the peers serve
# (board, alarm, panel) go to them as they are, in the scenario itself.

# The simulator's default drives, by letter (sim/models/disks.cpp).
def default_drives: [
  ["WD-WCC2EFA12345", "WDC WD5000AAKX-00ERMA0", "15.01H15", 500107862016],
  ["Z1D2K7QM", "ST1000DM003-9YN162", "CC4C", 1000204886016],
  ["JP1570FR1ABCDK", "Hitachi HDS721050CLA362", "JP2OA3MA", 500107862016],
  ["Z1E3N8PX", "ST2000DM001-1CH164", "CC24", 2000398934016],
  ["WD-WMC1S1234567", "WDC WD10EZEX-00RKKA0", "80.00A80", 1000204886016],
  ["S2A4J9BB301234", "SAMSUNG HD502HJ", "1AJ10001", 500107862016]
];

def letters: "abcdefghijklmnopqrstuvwxyz";
def index_of($c): letters | index($c);

# The first reason of a list of [condition, reason] pairs.
def first_reason(pairs): [pairs | select(.[0]) | .[1]] | first // null;

def ascii_text: test("^[ -~]*$");

# A drive of the disks section on its AHCI port.
def drive:
  (if type == "string" then {name: .} else . end) as $d
  | ($d.name | .[2:3]) as $letter
  | (index_of($letter)) as $port
  | if ($d.name | test("^sd[a-z]$") | not) then {skip: "a disk named \($d.name)"}
    elif $port > 5 then {skip: "a disk on a port past the sixth (\($d.name)): the bed's SATA controller has six"}
    elif ($d.rejects_identify // false) or ($d.size_fails // false) or ($d.getsize64_fails // false)
    then {skip: "a disk that fails a request (\($d.name)): a stock disk answers every one"}
    else
      default_drives[$port] as $dflt
      | {port: $port,
         serial: (($d.serial // $dflt[0]) | .[0:20]),
         model: (($d.model // $dflt[1]) | .[0:40]),
         firmware: (($d.firmware // $dflt[2]) | .[0:8]),
         bytes: ($d.bytes // $dflt[3])}
      | if ([.serial, .model, .firmware] | all(ascii_text) | not)
        then {skip: "a disk whose identity is not plain ASCII (\($d.name))"}
        elif .bytes % 512 != 0 or .bytes < 512
        then {skip: "a disk of \(.bytes) bytes, not whole sectors (\($d.name))"}
        else . end
    end;

# USB storage: the device nodes grouped into sticks by their letter.
def usb_devices:
  [(.usb.devices // ["msa", "msa1"])[] | if type == "string" then {name: .} else . end];

def stick_reason:
  first_reason(
    [(.name | test("^ms[a-z]1?$") | not), "a USB node named \(.name | tojson) (a stick is ms<letter> and its partition ms<letter>1)"],
    [(.mount // "ok") == "fallback", "a USB stick only the mount program mounts (\(.name))"],
    [((.mount // "ok") == "fails") and ((.mount_errno // "EINVAL") | tostring | . != "EINVAL" and . != "22"),
     "a USB stick whose mount fails otherwise than as a stick that is not FAT (\(.name))"],
    [(.statfs // "ok") == "fails", "a USB stick whose statfs fails (\(.name))"]);

def sticks:
  usb_devices
  | group_by(.name[2:3])
  | map({letter: .[0].name[2:3],
         disk: (map(select(.name | length == 3)) | length > 0),
         part: (map(select(.name | length == 4)) | length > 0),
         fat: (map(.mount // "ok") | all(. == "ok")),
         free_bytes: (map(select(has("free_blocks") or has("block_size"))
                          | (.free_blocks // 1000000) * (.block_size // 4096)) | first // 4096000000)})
  | to_entries | map(.value + {port: (.key + 1)});

def net_port($name):
  (.net[$name] // {}) as $p
  | (if $p | has("link") then $p.link else true end) as $link
  | if ($p | has("present")) and $p.present == false then {skip: "\($name) not present"}
    elif ($p | has("glink_fails") or has("gset_fails")) then {skip: "\($name)'s ethtool queries failing"}
    elif ($link | type) != "boolean" then {skip: "\($name)'s link answered as the number \($link)"}
    elif ($p.duplex // 1) > 1 then {skip: "\($name) with duplex \($p.duplex)"}
    elif ($p.speed // 100) < 1 or ($p.speed // 100) > 100000 then {skip: "\($name) at \($p.speed) Mbit/s"}
    else {link: $link, speed: ($p.speed // 100), duplex: (if ($p.duplex // 1) == 1 then "full" else "half" end)}
    end;

# The one fault the bed's kernel brings by itself: libata has no
# port-multiplier request.
def native_fault:
  . == {"call": "ioctl", "request": "0x197B", "every": true, "errno": "ENOTTY"};

def test_ten: (.args // []) as $a | ($a | length) == 2 and $a[0] == "-o" and ($a[1] | tonumber? // -1) == 10;

def processes_reason:
  if has("processes") | not then null
  else first_reason(.processes[] | select(.cmdline != ["init"])
                    | [(.vanishes // false), "a process that ends while the program scans /proc"],
                    [((.cmdline // []) | length > 0) and (.cmdline[0] | test("^(\\./|/)[A-Za-z0-9_./-]+$") | not),
                     "a process started as \(.cmdline[0] | tojson)"])
  end;

# The RS-485 line's far end is rs485-peer (sim/bed/rs485_peer.cpp), which
# plays the line and the fixture: no fixture, a byte lost, corrupted or one
# more, bytes waiting at the open. What the port's own driver does (part of
# a write, busy, refused settings, a hang-up) it cannot.
def rs485_line_fields: ["lose_byte", "corrupt_byte", "extra_byte_after", "extra_byte_value", "stale"];
def rs485_port_only:
  if .rs485.missing // false then []
  else .rs485 // {} | keys - rs485_line_fields - ["fixture", "missing", "noise"] end;

def reason:
  first_reason(
    [(.faults // [] | map(select(native_fault | not)) | length > 0), "call faults"],
    [(.signals // [] | length > 0), "signals at a virtual time"],
    [(.system.setuid_fails // false), "a failing setuid"],
    [(.system.kernel_release // "2.6.37") != "2.6.37", "the kernel release uname reports (the bed's kernel is its own)"],
    [(.system.zone_offset // 0) != 0, "a time zone other than UTC"],
    [(.console.operator // "enter") | (. == "eof" or . == "script"), "console input at its end or typed by a script"],
    [(.board.missing // false), "a board without /dev/vexio"],
    [(.panel.missing // false) or (.panel.tcsetattr_fails // false), "a panel port that is missing or refuses its settings"],
    [(.rs485 // {} | (has("corrupt_byte") or has("lose_byte")) and has("extra_byte_after")),
     "RS-485 bytes both spoiled and added: whether the receiver ever counts the whole pattern right rests on the pieces the port hands over, which a real UART's FIFO makes larger than one byte"],
    [(rs485_port_only | length > 0),
     "RS-485 port behaviour (\(rs485_port_only | join(", "))): the bed's port is a stock 8250, which the peer at the line's far end cannot change"],
    [(.rs485.missing // false | not) and (.rs485 // {} | has("noise")),
     "RS-485 noise at a virtual time: the peer on the line cannot tell when the guest's run began"],
    [(.rtc // {} | del(.offset, .missing) | length > 0), "clock chip behaviour (\(.rtc // {} | del(.offset, .missing) | keys | join(", ")))"],
    [test_ten and (.faults // [] | any(native_fault) | not), "port-multiplier requests (the bed's SATA driver has none)"],
    [(.disks.request_latency_us // 0) != 0 and test_ten, "port-multiplier request latency"],
    [(.usb.root_fs != null), "the root file system's figures"],
    [(.net.socket // "ok") == "fails", "no network socket"],
    [(.usb.mice // [0]) != [range(0; (.usb.mice // [0]) | length)], "USB mice \(.usb.mice) (the kernel numbers mice from 0)"],
    [(usb_devices | length > 0) and (usb_devices | map(stick_reason) | any(. != null)), (usb_devices | map(stick_reason) | map(select(. != null)) | first)],
    [processes_reason != null, processes_reason]);

(reason) as $why
| if $why != null then {skip: $why}
  else
    [(.disks.drives // ["sda", "sdb", "sdc", "sdd", "sde"])[] | drive] as $disks
    | [net_port("eth0"), net_port("eth1")] as $net
    | ([$disks[], $net[] | .skip // empty] | first) as $why2
    | if $why2 != null then {skip: $why2}
      else {
        args: (.args // []),
        disks: $disks,
        sticks: sticks,
        mice: (.usb.mice // [0] | length),
        mnt: (.usb.mnt // "present"),
        mount_points: (.usb.mount_points // []),
        net: {eth0: $net[0], eth1: $net[1]},
        rs485: (if .rs485.missing // false then "missing"
                elif (.rs485 // {} | keys - (keys - rs485_line_fields) | length > 0) then "peer"
                elif (.rs485.fixture // "connected") == "disconnected" then "open" else "loop" end),
        start_time: (.system.start_time // 1337760429),
        rtc: {missing: (.rtc.missing // false), offset: (.rtc.offset // 0)},
        files: ({"/dav2/devCfg.bin": {text: "bed device configuration\n"},
                 "/dav2/netOsd.bin": {text: "bed network settings\n"}} + (.files // {})),
        processes: (if has("processes") then [.processes[] | select((.cmdline // []) | length > 0)
                                                 | select(.cmdline != ["init"]) | .cmdline]
                    else [["./vexmain"]] end),
        operator: (.console.operator // "enter"),
        delay: (.console.delay // 0.3)
      } end
  end
