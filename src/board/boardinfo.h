// Board identity: the board type, the board information record and the
// settings derived from it.
#pragma once

#include <cstdint>

struct boardinfo {
    uint8_t nvrSecondPort;
    uint8_t nvrSataCode;
    uint16_t modelCode;
    uint16_t cpldDate;
    uint8_t armClock;
    uint8_t dspClock;
    uint8_t memClock;
    uint8_t memSize;
    uint8_t flashSize;
    uint8_t secondPort;
    uint8_t sataCode;
    uint8_t isNvr;
    uint8_t usbCount;
    uint8_t isDvs;
    uint8_t alarmOutCode;
    uint8_t alarmInCode;
};

// Device information block (filled by sysInit) and the board type.
extern uint8_t devinfo[256];
extern int32_t boardtype;

// Board settings.
extern int32_t netPortCount;
extern uint8_t sata_port_num;
extern int32_t alarmOutCount;
extern int32_t alarmInCount;
extern uint8_t usbExpected;

extern const uint8_t sataPortTable[8];

void sysInit();
int getboardtype();
int getboardinfo(int fd, boardinfo *info);
int boardsettings();
// The settings rules shared by boardsettings and the board report.
void setnetports(const boardinfo &info);
void setsataports(const boardinfo &info);
void setalarmcounts(const boardinfo &info);
