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
# - The kernel release that uname reports is the bed's own (Debian's 6.1),
#   where the simulated board says 2.6.37: the program reads it only to
#   choose the disk size request, which both kernels answer alike. A
#   scenario that sets another release is not run (bed/plan.jq).
