#include "board/boardreport.h"

#include "board/vexio.h"
#include "platform/console.h"
#include "platform/sys.h"

#include <cstdio>
#include <cstring>

namespace {

const char *modeltext(unsigned code) {
    switch (code) {
    case 1:
        return "QB-71024";
    case 2:
        return "QB-71031";
    case 3:
        return "QB-71033";
    case 4:
        return "QB-71027";
    case 6:
        return "QB-71046";
    case 7:
        return "QB-71052";
    case 8:
        return "QB-71058";
    case 9:
        return "QB-71063";
    case 10:
        return "QB-71069";
    default:
        return nullptr;
    }
}

const char *armclock(unsigned code) {
    switch (code) {
    case 0:
        return "720M";
    case 1:
        return "1G";
    default:
        return "N/A";
    }
}

const char *dspclock(unsigned code) {
    switch (code) {
    case 0:
        return "600MHz";
    case 1:
        return "800MHz";
    default:
        return "N/A";
    }
}

const char *memclock(unsigned code) {
    switch (code) {
    case 0:
        return "666MHz";
    case 1:
        return "800MHz";
    case 2:
        return "933MHz";
    default:
        return "N/A";
    }
}

const char *memsize(unsigned code) {
    switch (code) {
    case 0:
        return "1GB";
    case 1:
        return "768MB";
    case 2:
        return "1.5GB";
    default:
        return "N/A";
    }
}

const char *flashsize(unsigned code) {
    switch (code) {
    case 0:
        return "16MB";
    case 1:
        return "32MB";
    case 2:
        return "64MB";
    case 3:
        return "2MB+256MB";
    default:
        return "N/A";
    }
}

} // namespace

int boardinfotest() {
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0) {
        say("sysInit 1 Fatal\n");
        return -1;
    }
    boardinfo info;
    if (getboardinfo(fd, &info) < 0) {
        sys::close(fd);
        return -1;
    }
    sys::usleep(100000);
    printboardinfo(info);
    sys::close(fd);
    return 0;
}

void printboardinfo(const boardinfo &info) {
    char value[64];
    memset(value, 0, sizeof value);

    say("CPLD信息: \n");

    const char *model = modeltext(info.modelCode);
    if (model != nullptr) {
        snprintf(value, sizeof value, "%s", model);
    } else {
        // An unknown board still gets a report; the code itself names it.
        snprintf(value, sizeof value, "QB00%02X", static_cast<unsigned>(info.modelCode));
        say("无法识别的CPLD信息(%s)\n", value);
    }
    const char *kind = info.isNvr ? "(NVR)" : info.isDvs ? "(DVS)" : "(DVR)";
    size_t used = strlen(value);
    snprintf(value + used, sizeof value - used, "%s", kind);
    say("\n设备类型 : %s\n", value);

    say("ARM主频  : %s\n", armclock(info.armClock));
    say("DSP主频  : %s\n", dspclock(info.dspClock));
    say("内存频率 : %s\n", memclock(info.memClock));
    say("内存大小 : %s\n", memsize(info.memSize));
    say("FLASH大小: %s\n", flashsize(info.flashSize));

    setnetports(info);
    setsataports(info);

    // Each field prints as the plain value of its bits: the CPLD is trusted
    // to hold decimal digits, and a stray value shows rather than hides.
    unsigned date = info.cpldDate;
    say("CPLD版本 : 20%u%u年%02u月%u%u日\n", (date >> 14) & 0x3, (date >> 10) & 0xF,
        (date >> 6) & 0xF, (date >> 4) & 0x3, date & 0xF);

    setalarmcounts(info);
    say("报警 I/O : %d/%d\n", static_cast<int>(alarmInCount), static_cast<int>(alarmOutCount));
}
