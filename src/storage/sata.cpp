// Test 8: every SATA disk the kernel presents as /dev/sdX is asked for its
// identity and capacity, and the disks that answer are counted.
#include "board/boardinfo.h"
#include "driver/result.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "storage/storage.h"
#include "storage/storagestate.h"

#include <linux/fs.h>
#include <linux/hdreg.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int IDENTIFY_SIZE = 512;
constexpr uint8_t ATA_IDENTIFY = 0xEC;
constexpr uint64_t UNKNOWN_SIZE = ~static_cast<uint64_t>(0);

// The three text fields of the IDENTIFY data that the test prints.
constexpr int SERIAL_OFFSET = 20, SERIAL_LENGTH = 20;
constexpr int FIRMWARE_OFFSET = 46, FIRMWARE_LENGTH = 8;
constexpr int MODEL_OFFSET = 54, MODEL_LENGTH = 40;

// ATA strings hold the first of each pair of characters in the high byte
// of a little-endian word.
void swapwords(uint8_t *field, int length) {
    for (int i = 0; i + 1 < length; i += 2) {
        uint8_t first = field[i];
        field[i] = field[i + 1];
        field[i + 1] = first;
    }
}

// Appends n raw bytes; the fields are printed byte for byte, whatever they
// hold, padding included.
size_t append(char *out, size_t used, size_t room, const void *bytes, size_t n) {
    if (used >= room)
        return used;
    if (n > room - used)
        n = room - used;
    std::memcpy(out + used, bytes, n);
    return used + n;
}

size_t appendtext(char *out, size_t used, size_t room, const char *text) {
    return append(out, used, room, text, std::strlen(text));
}

} // namespace

// -1: not worked out yet in this process.
int32_t kernelversion = -1;

int32_t getkernelver() {
    if (kernelversion != -1)
        return kernelversion;
    struct utsname name;
    int major = 0, minor = 0, patch = 0;
    if (sys::uname(&name) != 0)
        kernelversion = 0;
    else if (std::sscanf(name.release, "%d.%d.%d", &major, &minor, &patch) == 3)
        kernelversion = major * 65536 + minor * 256 + patch;
    else
        kernelversion = 0;
    return kernelversion;
}

int atacmd(int fd, uint8_t command, uint8_t *block) {
    uint8_t args[4 + IDENTIFY_SIZE];
    std::memset(args, 0, sizeof args);
    args[0] = command; // command register
    args[1] = 0;       // sector count register
    args[2] = 0;       // features register
    args[3] = 1;       // sectors of data that come back
    if (sys::ioctl(fd, HDIO_DRIVE_CMD, args) != 0)
        return -1;
    std::memcpy(block, args + 4, IDENTIFY_SIZE);
    return 0;
}

int identifydisk(const char *path, uint8_t *block) {
    int fd = sys::open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        say("open %s failed\n", path);
        return -1;
    }
    int rc = atacmd(fd, ATA_IDENTIFY, block);
    if (rc < 0)
        say("send IDENTIFY DEVICE command, return %d\n", rc);
    swapwords(block + SERIAL_OFFSET, SERIAL_LENGTH);
    swapwords(block + MODEL_OFFSET, MODEL_LENGTH);
    swapwords(block + FIRMWARE_OFFSET, FIRMWARE_LENGTH);
    sys::close(fd);
    return rc;
}

uint64_t getdisksize(int index) {
    char name[20];
    std::snprintf(name, sizeof name, "/dev/sd%c", 'a' + index);
    int fd = sys::open(name, O_RDONLY);
    if (fd < 0) {
        say("Can not open %s \n", name);
        return UNKNOWN_SIZE;
    }
    int32_t version = getkernelver();
    if (version >= 0x020600 || (version >= 0x020412 && version <= 0x0204FF)) {
        uint64_t bytes = 0;
        if (sys::ioctl(fd, BLKGETSIZE64, &bytes) == 0) {
            sys::close(fd);
            return bytes;
        }
    }
    // The kernel stores an unsigned long: 32 bits on the board, and the full
    // width wherever long is wider.
    unsigned long sectors = 0;
    if (sys::ioctl(fd, BLKGETSIZE, &sectors) != 0) {
        say("Can not get %s size \n", name);
        sys::close(fd);
        return UNKNOWN_SIZE;
    }
    sys::close(fd);
    return static_cast<uint64_t>(sectors) << 9;
}

int satatest() {
    sataResult = 0;
    int names = sata_port_num == 9 ? 9 : sata_port_num + 1;
    uint8_t block[IDENTIFY_SIZE];
    for (int i = 0; i < names; ++i) {
        std::memset(block, 0, sizeof block);
        char name[20];
        std::snprintf(name, sizeof name, "/dev/sd%c", 'a' + i);
        if (identifydisk(name, block) == -1)
            continue;

        // One write for the whole identity, so that the fields' bytes go
        // out exactly as the disk gave them.
        char report[256];
        size_t n = 0;
        n = appendtext(report, n, sizeof report, name);
        n = appendtext(report, n, sizeof report, "\n序列号    :");
        n = append(report, n, sizeof report, block + SERIAL_OFFSET, SERIAL_LENGTH);
        n = appendtext(report, n, sizeof report, "\n型号      :");
        n = append(report, n, sizeof report, block + MODEL_OFFSET, MODEL_LENGTH);
        n = appendtext(report, n, sizeof report, "\n固件版本  :");
        n = append(report, n, sizeof report, block + FIRMWARE_OFFSET, FIRMWARE_LENGTH);
        n = appendtext(report, n, sizeof report, "\n");
        write_all(1, report, n);

        uint64_t bytes = getdisksize(i);
        say("硬盘容量  :%lldGB\n", static_cast<long long>(bytes >> 30));
        ++sataResult;
    }
    return 0;
}
