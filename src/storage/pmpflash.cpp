// The port multiplier's SPI flash, reached only through the multiplier:
// every operation is one pass-through request on a disk behind it.
#include "platform/console.h"
#include "platform/sys.h"
#include "storage/storage.h"

#include <cerrno>

pmpregs pmpblock = {0, 0, 0, 15, 0, 0, 0, 0, 0, 0};

namespace {

constexpr uint8_t CONTROL_PORT_DEVICE = 0x80;
constexpr uint8_t CMD_READ_PORT_MULTIPLIER = 0xE4;
constexpr uint8_t CMD_SPI_TRANSACTION = 0xF7;

// Command words: SPI opcode in the low byte, the multiplier's SPI engine
// control in the high byte.
constexpr uint16_t SPI_WREN = 0x0006;
constexpr uint16_t SPI_CE = 0x00C7;
constexpr uint16_t SPI_RDSR = 0x0805;
constexpr uint16_t SPI_WRSR = 0x0401;
constexpr uint16_t SPI_READ = 0xE903;
constexpr uint16_t SPI_PP = 0xE502;

constexpr uint32_t STATUS_BUSY = 0x01;

void putword(uint8_t *bytes, uint32_t word) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

uint32_t getword(const uint8_t *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// One SPI transaction with the command word set; `name` is the primitive
// that its failure line names.
int spitransaction(uint16_t command, const char *name) {
    pmpblock.commandWord = command;
    int rc = pmprw(PMP_SPI);
    if (rc < 0)
        say("ERR : %s, spi JMB39X fail (%d)\n", name, errno);
    return rc;
}

} // namespace

int pmprw(int kind) {
    bool regread = kind == PMP_REGREAD;
    uint8_t task[16] = {};
    task[0] = 0; // data
    task[1] = static_cast<uint8_t>(pmpblock.commandWord);
    putword(task + 2, pmpblock.dataWord);
    task[6] = static_cast<uint8_t>(CONTROL_PORT_DEVICE |
                                   (regread ? pmpblock.regPort : pmpblock.flashNum));
    task[7] = regread ? CMD_READ_PORT_MULTIPLIER : CMD_SPI_TRANSACTION;
    task[8] = 0; // HOB data
    task[9] = static_cast<uint8_t>(pmpblock.commandWord >> 8);
    putword(task + 10, pmpblock.addressWord);
    task[14] = 0; // HOB device
    task[15] = 0; // HOB control

    int rc = sys::ioctl(pmpblock.diskFd, PMP_REQUEST, task);
    int err = errno;
    pmpblock.dataWord = getword(task + 2);
    pmpblock.addressWord = getword(task + 10);
    if (rc < 0) {
        say("ERR : pmprw, ioctl fail (%d)\n", err);
        // The callers above print the same errno.
        errno = err;
    }
    return rc;
}

int spiWREN() {
    return spitransaction(SPI_WREN, "spiWREN");
}

int spiCE() {
    return spitransaction(SPI_CE, "spiCE");
}

int spiRDSR() {
    return spitransaction(SPI_RDSR, "spiRDSR");
}

int spiWRSR(uint8_t value) {
    pmpblock.dataWord = value;
    return spitransaction(SPI_WRSR, "spiWRSR");
}

int spiREAD(uint32_t address) {
    pmpblock.addressWord = address;
    return spitransaction(SPI_READ, "spiREAD");
}

int spiPP(uint32_t address, uint32_t word) {
    pmpblock.dataWord = word;
    pmpblock.addressWord = address;
    return spitransaction(SPI_PP, "spiPP");
}

int waitflashrdy(int count) {
    for (int reads = 1;; ++reads) {
        int rc = spiRDSR();
        if (rc < 0) {
            say("ERR : waitflashrdy, spiRDSR fail\n");
            return rc;
        }
        if ((pmpblock.dataWord & STATUS_BUSY) == 0)
            return rc;
        if (reads >= count) {
            // The caller's failure line finishes this one.
            say("ERR : waitflashrdy, timeout (%d)", count);
            return -1;
        }
    }
}

int readflash(uint32_t address, uint32_t *words, int count) {
    int rc = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t at = address + 4 * static_cast<uint32_t>(i);
        rc = spiREAD(at);
        if (rc < 0) {
            say("ERR : readflash, spiREAD fail (%08Xh)\n", at);
            return rc;
        }
        words[i] = pmpblock.dataWord;
    }
    return rc;
}

int writeflash(uint32_t address, const uint32_t *words, int count) {
    int rc = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t at = address + 4 * static_cast<uint32_t>(i);
        rc = spiWREN();
        if (rc < 0) {
            say("ERR : writeflash, spiWREN fail (%08Xh)\n", at);
            return rc;
        }
        rc = spiPP(at, words[i]);
        if (rc < 0) {
            say("ERR : writeflash, spiPP fail (%08Xh)\n", at);
            return rc;
        }
        rc = waitflashrdy(1000);
        if (rc < 0) {
            say("ERR : writeflash, waitflashrdy(1000) fail2 (%08Xh)\n", at);
            return rc;
        }
    }
    return rc;
}

int eraseflash() {
    int rc = waitflashrdy(10000);
    if (rc < 0) {
        say("ERR : eraseflash, waitflashrdy(10000) fail1\n");
        return rc;
    }
    rc = spiWREN();
    if (rc < 0) {
        say("ERR : eraseflash, spiWREN fail\n");
        return rc;
    }
    rc = spiCE();
    if (rc < 0) {
        say("ERR : eraseflash, spiCE fail\n");
        return rc;
    }
    rc = waitflashrdy(10000);
    if (rc < 0) {
        say("ERR : eraseflash, waitflashrdy(10000) fail2\n");
        return rc;
    }
    return rc;
}

int disableflashWP() {
    int rc = waitflashrdy(10000);
    if (rc < 0) {
        say("ERR : disableflashWP, waitflashrdy(10000) fail1\n");
        return rc;
    }
    rc = spiWREN();
    if (rc < 0) {
        say("ERR : disableflashWP, spiWREN fail\n");
        return rc;
    }
    rc = spiWRSR(0);
    if (rc < 0) {
        say("ERR : disableflashWP, spiWRSR fail\n");
        return rc;
    }
    rc = waitflashrdy(10000);
    if (rc < 0) {
        say("ERR : disableflashWP, waitflashrdy(10000) fail2\n");
        return rc;
    }
    return rc;
}
