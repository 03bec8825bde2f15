#include "board/boardinfo.h"

#include "board/vexio.h"
#include "driver/procstate.h"
#include "platform/console.h"
#include "platform/sys.h"

#include <cstring>

uint8_t devinfo[256];
int32_t boardtype;
int32_t netPortCount = 1;
uint8_t sata_port_num;
int32_t alarmOutCount;
int32_t alarmInCount;
uint8_t usbExpected;

const uint8_t sataPortTable[8] = {0, 2, 4, 5, 6, 7, 8, 9};

namespace {

constexpr int DEVICE_TYPE_OFFSET = 100;

uint16_t le16(const uint8_t *block, int offset) {
    return static_cast<uint16_t>(block[offset] | (block[offset + 1] << 8));
}

uint8_t bits(uint16_t word, int high, int low) {
    return static_cast<uint8_t>((word >> low) & ((1u << (high - low + 1)) - 1));
}

} // namespace

void board_reset_state() {
    memset(devinfo, 0, sizeof devinfo);
    boardtype = 0;
    netPortCount = 1;
    sata_port_num = 0;
    alarmOutCount = 0;
    alarmInCount = 0;
    usbExpected = 0;
}

void sysInit() {
    memset(devinfo, 0, sizeof devinfo);
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0) {
        say("sysInit 1 Fatal\n");
        return;
    }
    if (sys::ioctl(fd, VEXIO_DEVICE_INFO, devinfo) == -1) {
        say("sysInit2 Fatal\n");
        sys::close(fd);
        return;
    }
    boardinfo info;
    if (getboardinfo(fd, &info) < 0)
        say("sysInit3 Fatal\n");
    sys::close(fd);
}

int getboardtype() {
    uint16_t code = le16(devinfo, DEVICE_TYPE_OFFSET);
    if (code >= 0x4500 && code <= 0x450F)
        return 1;
    if (code == 0x461F)
        return 2;
    if (code == 0x453F || (code >= 0x7C00 && code <= 0x7C0F))
        return 3;
    if ((code >= 0x4600 && code <= 0x460F) || (code >= 0x4620 && code <= 0x462F) || code == 0x46C1)
        return 5;
    if (code >= 0x4510 && code <= 0x451F)
        return 6;
    return 0;
}

int getboardinfo(int fd, boardinfo *info) {
    if (fd == -1 || info == nullptr)
        return -1;
    uint8_t raw[256];
    memset(info, 0, sizeof *info);
    memset(raw, 0, sizeof raw);
    if (sys::ioctl(fd, VEXIO_BOARD_INFO, raw) != 0)
        return -1;

    uint16_t identity = le16(raw, 6);
    info->nvrSecondPort = bits(identity, 11, 11);
    info->nvrSataCode = bits(identity, 4, 1);
    info->modelCode = static_cast<uint16_t>(le16(raw, 14) >> 8);
    info->cpldDate = le16(raw, 20);
    if (le16(raw, 4) == 0xFFFF)
        return -1;

    uint16_t word = le16(raw, 16);
    info->armClock = bits(word, 15, 14);
    info->dspClock = bits(word, 13, 12);
    info->memClock = bits(word, 11, 10);
    info->memSize = bits(word, 9, 8);
    info->flashSize = bits(word, 6, 3);
    if (!(word & 1))
        return 0;

    word = le16(raw, 32);
    info->secondPort = bits(word, 10, 10);
    info->sataCode = bits(word, 5, 2);
    if (!(word & 1))
        return 0;

    word = le16(raw, 48);
    info->isNvr = bits(word, 13, 13);
    info->usbCount = bits(word, 9, 8);
    info->isDvs = bits(word, 1, 1);
    usbExpected = info->usbCount;
    if (!(word & 1))
        return 0;

    word = le16(raw, 64);
    info->alarmOutCode = bits(word, 15, 13);
    info->alarmInCode = bits(word, 12, 10);
    return 0;
}

void setnetports(const boardinfo &info) {
    if (info.isNvr)
        netPortCount = info.nvrSecondPort ? 2 : 1;
    else
        netPortCount = info.secondPort ? 2 : 1;
}

void setsataports(const boardinfo &info) {
    // The gate looks at sataCode even on an NVR, whose own code is
    // nvrSataCode.
    if (info.sataCode > 8)
        return;
    uint8_t code = info.isNvr ? info.nvrSataCode : info.sataCode;
    if (code <= 7)
        sata_port_num = sataPortTable[code];
}

void setalarmcounts(const boardinfo &info) {
    alarmOutCount = info.alarmOutCode == 1 ? 2 : 4;
    alarmInCount = info.alarmInCode == 1 ? 4 : 16;
}

int boardsettings() {
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
    setnetports(info);
    setsataports(info);
    setalarmcounts(info);
    sys::close(fd);
    return 0;
}
