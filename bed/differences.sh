# What a real kernel brings that the simulated board does not: every
# difference the kernel test bed allows between a guest's run and ftq-sim's
# run of the same scenario, each with its reason. scripts/test-kernel.sh
# sources this file; nothing else is forgiven.

# The transcripts, as sed expressions applied to both before they are
# compared byte for byte (GB2312 bytes, LC_ALL=C).
#
# - The RTC test's lines ("时钟时间 2012 -  5 - 23   8: 7:29 " and
#   "系统时间 ..."): the guest runs in real time, and its clocks are set at
#   the second ftq starts, so a reading may fall one second either side of
#   the simulated board's. The date, the hour and the line's shape are
#   compared; the minutes and seconds are not.
TRANSCRIPT_SED='s/\([0-9]\{4\} - [ 0-9][0-9] - [ 0-9][0-9]   *[ 0-9]*\):[ 0-9][0-9]:[ 0-9][0-9] $/\1:mm:ss /'

# The records that ftq-record reads from the two transcripts, as a jq filter
# applied to both before they are compared: the same RTC readings' minutes
# and seconds as above, and the run's time of test (the first reading's
# system time), for the same reason. Where the record came from (its
# source) is not the run's.
RECORD_JQ='del(.source)
    | (.testedAt, .rtc.readings[]?.rtc, .rtc.readings[]?.system)
        |= (if type == "string" then sub(":[0-9]{2}:[0-9]{2}$"; ":mm:ss") else . end)'

# The board's record.
#
# - Tone lengths: the driver model times a tone by the real clock between
#   the program's two requests, and the guest's emulated core is late to
#   wake from the program's pause when the host is busy (seen: 319 ms for a
#   200 ms beep, two guests on a loaded 2-core host).
TONE_SLACK_MS=200
# - Heartbeats: they come every 10 s of real time from the port's opening;
#   when the simulated board's run ends within this many seconds of a
#   heartbeat, the guest's run may have one more or one fewer.
HEARTBEAT_SLACK_S=1
# - LED sequences: the panel judges a sequence stopped half way after 1.5 s
#   without its next frame, and waits 100 ms before it counts a complete one
#   that might still grow. A starved host delays the guest's frames and the
#   peer itself (seen at load 7: a frame that the program sends 1 s after
#   the one before came 1.88 s after it, the peer held up 1.1 s), so the
#   peer's panel waits this much longer before it judges. A sequence the
#   program really leaves unfinished is still reported (when the wait is
#   over, or when the port closes), and the sequences left unfinished and
#   the frames in no sequence are compared with the simulated board's.
PANEL_LED_GROW_MS=2000
PANEL_LED_INCOMPLETE_MS=6000
# - The kernel release that uname reports is the bed's own (Debian's 6.1),
#   where the simulated board says 2.6.37: the program reads it only to
#   choose the disk size request, which both kernels answer alike. A
#   scenario that sets another release is not run (bed/plan.jq).

# The transcripts of a faulty RS-485 line.
#
# - The RS-485 test's two counts ("发送  1023字节成功" and "    1字节失败 ")
#   where the line loses, corrupts or adds a byte: the receiver counts each
#   read whole as right or wrong, and a real UART hands the bytes over in
#   pieces (a 16550 interrupts at 8 bytes in its FIFO, or after four
#   characters' quiet), where the simulated port hands each byte over as
#   the line brings it. The piece that holds the fault counts wrong as a
#   whole, so right and wrong split otherwise by up to a piece or two.
#   Their sum and whether any byte was wrong are compared; on a clean line
#   the counts are compared as they are.
RS485_SPLIT_SCENARIO='.rs485 // {} | has("lose_byte") or has("corrupt_byte") or has("extra_byte_after")'
rs485_split() { # FILE: the two counts rewritten, in place, as their sum
    local sent ok bad right wrong pair
    sent=$(printf '发送  ' | iconv -f UTF-8 -t GB2312)
    ok=$(printf '字节成功' | iconv -f UTF-8 -t GB2312)
    bad=$(printf '字节失败 ' | iconv -f UTF-8 -t GB2312)
    pair="^$sent\([0-9]*\)$ok\n    \([0-9]*\)$bad\$"
    read -r right wrong < <(LC_ALL=C sed -n "/^$sent[0-9]*$ok\$/{N;s/$pair/\1 \2/p}" "$1") || true
    [ -n "$right" ] || return 0
    LC_ALL=C sed -i "/^$sent[0-9]*$ok\$/{N;s/$pair/$sent[$((right + wrong)) in all]$ok\n    [$([ "$wrong" -gt 0 ] && echo some || echo none)]$bad/}" "$1"
}
# The same two counts in ftq-record's record of such a run, as a jq filter
# applied to both records after RECORD_JQ.
RS485_SPLIT_RECORD_JQ='if (.rs485.correct | type) == "number" and (.rs485.wrong | type) == "number"
    then .rs485 |= (del(.correct, .wrong) + {"correct+wrong": (.correct + .wrong), anyWrong: (.wrong > 0)})
    else . end'
