// Test 10's work on one port multiplier: check the chip and the image
// file, find out what the flash holds, and program the image when the
// flash does not already hold it.
#include "driver/procstate.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "storage/storage.h"
#include "storage/storagestate.h"

#include <cerrno>
#include <cstring>

namespace {

const char *const IMAGE_PATH = "/dav0/vex321.bin";

constexpr uint8_t CHIP_ID = 0x32;
constexpr uint8_t VENDOR_LOW = 0x7B;
constexpr uint8_t VENDOR_HIGH = 0x19;
constexpr uint8_t CONTROL_PORT = 15;

constexpr uint32_t REG_PRESENCE = 0xFC00;
constexpr uint32_t REG_REVISION = 0xFC03;
constexpr uint32_t REG_BONDING_HIGH = 0xFAFD;
constexpr uint32_t REG_BONDING_LOW = 0xFAFC;

constexpr int BLOCK = 512;
constexpr int HEADER = 32;

// Written to a flash with no image to see that it can be erased, written
// and read back at all.
const uint32_t PROBE[4] = {0x00010203, 0xFFFEFDFC, 0x55AA55AA, 0xF00FFF00};

int readregister(uint32_t address) {
    pmpblock.commandWord = 0x0084;
    pmpblock.addressWord = address;
    return pmprw(PMP_REGREAD);
}

uint8_t registervalue() {
    return static_cast<uint8_t>(pmpblock.dataWord);
}

// A flash word holds the four image bytes at its address in file order.
uint32_t fileword(const uint8_t *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint16_t le16(const uint8_t *bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// A read of the image may come back short of a word's end. Its odd bytes
// move to the front of the block for the next read to complete: dropped,
// every later word would shift and the image would never match. Returns
// how many were kept.
size_t keeppartial(uint8_t *block, size_t filled) {
    size_t whole = filled / 4 * 4;
    std::memmove(block, block + whole, filled - whole);
    return filled - whole;
}

} // namespace

int32_t firmwareupdated() {
    return pmpblock.fwUpdated;
}

int chk39xdev() {
    pmpblock.regPort = CONTROL_PORT;
    int rc = readregister(REG_PRESENCE);
    if (rc < 0) {
        say("ERR : chk39xdev, read JMB39X fail1\n");
        return rc;
    }
    uint8_t presence = registervalue();
    if (presence != 0x8F && presence != 0xF8) {
        say("ERR : JMB39X device doesn't exist (%08Xh)\n", pmpblock.dataWord);
        return -1;
    }
    say("INFO: JMB39X device exist\n");
    rc = readregister(REG_REVISION);
    if (rc < 0) {
        say("ERR : chk39xdev, read JMB39X fail2\n");
        return rc;
    }
    pmpblock.chipRevision = registervalue();
    say("INFO: JMB39X CHIP ID = %02Xh, Revision ID = %02Xh\n", CHIP_ID, pmpblock.chipRevision);
    return rc;
}

int chkbinfile() {
    off_t length = sys::lseek(pmpblock.binFd, 0, SEEK_END);
    sys::lseek(pmpblock.binFd, 0, SEEK_SET);
    pmpblock.imageLength = static_cast<int32_t>(length);
    if (length < 0 || length % 4 != 0) {
        say("ERR : chkbinfile, length of binfile isn't alignment (%d)\n", pmpblock.imageLength);
        return -1;
    }
    uint8_t head[BLOCK];
    ssize_t got = sys::pread(pmpblock.binFd, head, sizeof head, 0);
    if (got < 0) {
        say("ERR : chkbinfile, read binfile fail (%d)\n", errno);
        return static_cast<int>(got);
    }
    if (got < HEADER) {
        say("ERR : chkbinfile, too few data when read binfile (< 32 bytes)\n");
        return -1;
    }
    if (head[0] != VENDOR_LOW || head[1] != VENDOR_HIGH || head[3] != CHIP_ID) {
        say("ERR : chkbinfile, binfile ID error (%02Xh %02X%02Xh)\n", head[3], head[1], head[0]);
        return -1;
    }
    say("INFO: Binfile ID = %02Xh %02X%02Xh\n", CHIP_ID, VENDOR_HIGH, VENDOR_LOW);
    if (head[2] == pmpblock.chipRevision) {
        say("INFO: Revision ID = %02Xh\n", head[2]);
    } else {
        say("WRN : chkbinfile, revision ID is mismatch (JMB39X = %02Xh, binfile = %02Xh)\n",
            pmpblock.chipRevision, head[2]);
        // Only a warning: the next message finishes this line.
        say("      continue!");
    }
    pmpblock.regPort = CONTROL_PORT;
    int rc = readregister(REG_BONDING_HIGH);
    if (rc < 0) {
        say("ERR : chkbinfile, read JMB39X fail1\n");
        return rc;
    }
    uint8_t high = registervalue();
    rc = readregister(REG_BONDING_LOW);
    if (rc < 0) {
        say("ERR : chkbinfile, read JMB39X fail2\n");
        return rc;
    }
    uint8_t bonding = static_cast<uint8_t>(high << 2 | registervalue());
    if (head[4] != bonding) {
        say("ERR : chkbinfile, bonding is mismatch (JMB39X = %02Xh, binfile = %02Xh)\n", bonding,
            head[4]);
        return -1;
    }
    say("INFO: Bonding = %02Xh\n", head[4]);
    int32_t expected = le16(head + 12) + le16(head + 8);
    if (expected != pmpblock.imageLength) {
        say("ERR : Binfine length is mismatch (exp: %d, act: %d)\n", expected,
            pmpblock.imageLength);
        return -1;
    }
    say("INFO: Binfile length = %d bytes\n", expected);
    return rc;
}

int chkflashsts() {
    int rc = spiREAD(0);
    if (rc < 0) {
        say("ERR : chkflashsts, spiREAD fail (00000000h)\n");
        return rc;
    }
    uint32_t first = pmpblock.dataWord;
    uint8_t b[4] = {static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8),
                    static_cast<uint8_t>(first >> 16), static_cast<uint8_t>(first >> 24)};
    if (b[0] == VENDOR_LOW && b[1] == VENDOR_HIGH && b[2] == pmpblock.chipRevision &&
        b[3] == CHIP_ID) {
        say("INFO: Flash is found by chk1\n");
        return 1;
    }
    say("WRN : chkflashsts, chk1 fail, try chk0 (%08X)\n", first);

    rc = disableflashWP();
    if (rc < 0) {
        say("ERR : chkflashsts, disableflashWP fail\n");
        return rc;
    }
    rc = eraseflash();
    if (rc < 0) {
        say("ERR : chkflashsts, eraseflash fail\n");
        return rc;
    }
    rc = writeflash(0, PROBE, 4);
    if (rc < 0) {
        say("ERR : chkflashsts, writeflash fail\n");
        return rc;
    }
    uint32_t back[4] = {};
    rc = readflash(0, back, 4);
    if (rc < 0) {
        say("ERR : chkflashsts, readflash fail\n");
        return rc;
    }
    if (back[0] == PROBE[0] && back[1] == PROBE[1] && back[2] == PROBE[2] && back[3] == PROBE[3]) {
        say("INFO: Flash is found by chk0\n");
        return 0;
    }
    say("ERR : chkflashsts, chk0 fail, (%08X %08X %08X %08X)\n", back[0], back[1], back[2],
        back[3]);
    return -1;
}

int verifycode() {
    sys::lseek(pmpblock.binFd, 0, SEEK_SET);
    say("INFO: Verify flash #%d\n", pmpblock.flashNum + 1);
    int32_t verified = 0;
    int result = 0;
    bool stopped = false;
    ssize_t got = 0;
    uint8_t block[BLOCK];
    size_t kept = 0;
    for (;;) {
        got = sys::read(pmpblock.binFd, block + kept, sizeof block - kept);
        if (got <= 0)
            break;
        size_t filled = kept + static_cast<size_t>(got);
        for (size_t at = 0; at + 4 <= filled; at += 4) {
            uint32_t word = 0;
            uint32_t address = static_cast<uint32_t>(verified);
            if (readflash(address, &word, 1) < 0) {
                say("ERR : verifycode, readflash fail (%08Xh)\n", address);
                result = -1;
                stopped = true;
                break;
            }
            if (word != fileword(block + at)) {
                say("WRN : verifycode, verify fail (%08Xh) (JMB39X = %08Xh, binfile = "
                    "%02X%02X%02X%02Xh)\n",
                    address, word, block[at + 3], block[at + 2], block[at + 1], block[at]);
                stopped = true;
                break;
            }
            verified += 4;
        }
        if (stopped)
            break;
        kept = keeppartial(block, filled);
        say(".");
    }
    if (!stopped) {
        say("\n");
        if (got < 0) {
            say("ERR : verifycode, read binfile fail (%08Xh)\n", verified);
            result = -1;
        }
    }
    say("INFO: Total verify size = %d\n", verified);
    if (verified == pmpblock.imageLength) {
        say("INFO: Verify complete\n");
        return 1;
    }
    say("WRN : verifycode, verify not complete\n");
    return result;
}

namespace {

// Programming can only clear bits, and the chip answers a page program
// whatever the flash made of it: a stuck bit, or an image longer than the
// flash whose end wraps over its start, leaves other bytes than the image.
// So the whole image is compared once more before the upload counts.
int readback() {
    sys::lseek(pmpblock.binFd, 0, SEEK_SET);
    // As long as a verify: without the dots an operator may take it for a
    // hang and interrupt the update.
    say("INFO: Read back flash #%d\n", pmpblock.flashNum + 1);
    uint32_t address = 0;
    uint8_t block[BLOCK];
    size_t kept = 0;
    for (;;) {
        ssize_t got = sys::read(pmpblock.binFd, block + kept, sizeof block - kept);
        if (got <= 0) {
            say("\n");
            if (got == 0)
                return 0;
            say("ERR : uploadcode, read back binfile fail (%08Xh)\n", address);
            return -1;
        }
        size_t filled = kept + static_cast<size_t>(got);
        for (size_t at = 0; at + 4 <= filled; at += 4, address += 4) {
            uint32_t word = 0;
            if (readflash(address, &word, 1) < 0) {
                say("ERR : uploadcode, readflash fail (%08Xh)\n", address);
                return -1;
            }
            if (word != fileword(block + at)) {
                say("ERR : uploadcode, verify fail (%08Xh) (JMB39X = %08Xh, binfile = "
                    "%02X%02X%02X%02Xh)\n",
                    address, word, block[at + 3], block[at + 2], block[at + 1], block[at]);
                return -1;
            }
        }
        kept = keeppartial(block, filled);
        say(".");
    }
}

} // namespace

int uploadcode() {
    int rc = disableflashWP();
    if (rc < 0) {
        say("ERR : uploadcode, disableflashWP fail\n");
        return rc;
    }
    rc = eraseflash();
    if (rc < 0) {
        say("ERR : uploadcode, eraseflash fail\n");
        return rc;
    }
    sys::lseek(pmpblock.binFd, 0, SEEK_SET);
    say("INFO: Upload flash #%d\n", pmpblock.flashNum + 1);
    int32_t uploaded = 0;
    int result = 0;
    bool stopped = false;
    ssize_t got = 0;
    uint8_t block[BLOCK];
    size_t kept = 0;
    for (;;) {
        got = sys::read(pmpblock.binFd, block + kept, sizeof block - kept);
        if (got <= 0)
            break;
        size_t filled = kept + static_cast<size_t>(got);
        for (size_t at = 0; at + 4 <= filled; at += 4) {
            uint32_t word = fileword(block + at);
            uint32_t address = static_cast<uint32_t>(uploaded);
            result = writeflash(address, &word, 1);
            if (result < 0) {
                say("ERR : uploadcode, writeflash fail (%08Xh)\n", address);
                result = -1;
                stopped = true;
                break;
            }
            uploaded += 4;
        }
        if (stopped)
            break;
        kept = keeppartial(block, filled);
        say(".");
    }
    if (!stopped) {
        say("\n");
        if (got < 0) {
            say("ERR : uploadcode, read binfile fail (%08Xh)\n", uploaded);
            result = -1;
        }
    }
    say("INFO: Total upload size = %d\n", uploaded);
    if (uploaded != pmpblock.imageLength) {
        say("ERR : uploadcode, upload not complete\n");
        return -1;
    }
    if (result >= 0 && readback() < 0)
        return -1;
    say("INFO: Upload complete\n");
    return result;
}

namespace {

// Everything between opening the image and the exits: true when the flash
// holds the image at the end.
bool checkandupdate() {
    if (chk39xdev() < 0) {
        say("ERR : main, check 39x device fail\n");
        return false;
    }
    if (chkbinfile() < 0) {
        say("ERR : main, check binary file fail\n");
        return false;
    }
    int found = chkflashsts();
    if (found < 0) {
        say("ERR : main, check flash status fail\n");
        return false;
    }
    pmpblock.flashNum = 0;
    if (found == 1) {
        int same = verifycode();
        if (same < 0) {
            say("ERR : main, verifycode fail\n");
            return false;
        }
        if (same == 1) {
            say("INFO: Flash #%d is the same as binary file\n", pmpblock.flashNum + 1);
            return true;
        }
    }
    if (uploadcode() < 0) {
        say("ERR : main, uploadcode fail\n");
        return false;
    }
    pmpblock.fwUpdated = 1;
    return true;
}

} // namespace

int pmpupdate(int fd) {
    pmpblock.fwUpdated = 0;
    pmpblock.binFd = sys::open(IMAGE_PATH, O_RDONLY);
    if (pmpblock.binFd < 0) {
        say("ERR : open config binfile fail\n");
        if (fd >= 0)
            sys::close(fd);
        return -1;
    }
    if (fd < 0)
        say("ERR:the sata fd is error\n");
    pmpblock.diskFd = fd;

    bool ok = checkandupdate();

    sys::close(pmpblock.binFd);
    pmpblock.binFd = -1;
    if (fd >= 0)
        sys::close(fd);
    pmpblock.diskFd = -1;
    say("INFO: Finish\n");
    return ok ? 0 : -1;
}

void storage_reset_state() {
    pmpblock = pmpregs{};
    pmpblock.regPort = CONTROL_PORT;
    kernelversion = -1;
}
