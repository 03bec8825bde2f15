// Storage: the SATA disk test and the port multipliers' firmware.
#pragma once

#include <cstdint>

int satatest();
// Checks (and when needed rewrites) the flash of the port multiplier
// behind the open disk descriptor fd, which it takes over and closes.
int pmpupdate(int fd);
// 1 after the last pmpupdate programmed the flash.
int32_t firmwareupdated();

// The disk test's steps.
// Fills the caller's 512-byte block with the disk's IDENTIFY DEVICE data,
// its three text fields put in reading order. 0, or -1.
int identifydisk(const char *path, uint8_t *block);
// Sends ATA command `command` (one sector of data in) and copies the data
// into the 512-byte block. 0, or -1 with the block untouched.
int atacmd(int fd, uint8_t command, uint8_t *block);
// Capacity of /dev/sd('a' + index) in bytes; all ones when it is unknown.
uint64_t getdisksize(int index);
// major * 65536 + minor * 256 + patch of the running kernel, 0 when the
// release cannot be read; worked out once per process.
int32_t getkernelver();

// The board SATA driver's pass-through to the port multiplier: a 16-byte
// taskfile, the current registers then the 48-bit (HOB) ones. The number
// carries no direction or size bits.
constexpr unsigned long PMP_REQUEST = 0x197B;

// The one record every port-multiplier request passes through. A routine
// sets what its request needs; whatever it leaves alone is sent as the
// previous request left it.
struct pmpregs {
    uint16_t commandWord; // low byte: features, high byte: HOB features
    uint32_t dataWord;    // sector count and LBA registers, sent and returned
    uint32_t addressWord; // HOB sector count and LBA registers, likewise
    uint8_t regPort;      // port of register reads: the control port
    uint8_t flashNum;     // flash of SPI transactions
    int diskFd;           // descriptor every request is made on
    int binFd;            // the firmware image file
    uint8_t chipRevision; // read by chk39xdev
    int32_t fwUpdated;    // 1 once this pmpupdate programmed the flash
    int32_t imageLength;  // bytes in the image file
};
extern pmpregs pmpblock;

enum pmpkind { PMP_REGREAD, PMP_SPI };

// One request of the given kind built from the register block; the
// returned register values are taken back into it whatever the result.
int pmprw(int kind);

// SPI transactions on the flash behind the multiplier.
int spiWREN();
int spiCE();
int spiRDSR();
int spiWRSR(uint8_t value);
int spiREAD(uint32_t address);
int spiPP(uint32_t address, uint32_t word);

// Status reads until the flash is ready, at most `count` of them.
int waitflashrdy(int count);
int readflash(uint32_t address, uint32_t *words, int count);
int writeflash(uint32_t address, const uint32_t *words, int count);
int eraseflash();
int disableflashWP();

// The firmware check's steps.
int chk39xdev();
int chkbinfile();
int chkflashsts();
int verifycode();
int uploadcode();
