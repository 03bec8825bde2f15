// Test 7: counts the mice and USB storage devices plugged into the board and
// shows the free space of each storage device.
#include "driver/result.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "tests/peripheral.h"
#include "tests/state.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int USB_DISK_MAX = 8;
constexpr int USB_NAME_SIZE = 50; // 49 characters and the terminating NUL
// Blocks held back from the free space shown, as the file system keeps them.
constexpr uint64_t RESERVED_BLOCKS = 5000;

const char *const MICE[] = {"/dev/input/mouse0", "/dev/input/mouse1", "/dev/input/mouse2"};

bool hasdigit(const char *name) {
    for (; *name != '\0'; ++name)
        if (*name >= '0' && *name <= '9')
            return true;
    return false;
}

// Storage devices appear as ms<letter>[<partition>]; msm... are not disks.
bool isusbdisk(const char *name) {
    return name[0] == 'm' && name[1] == 's' && name[2] != 'm';
}

// Megabytes free, leaving the reserved blocks aside. Computed in 64 bits and
// clamped at 0: a nearly full or very large disk must not wrap to an absurd
// size.
uint64_t freemegabytes(const struct statfs &st) {
    uint64_t bfree = static_cast<uint64_t>(st.f_bfree);
    uint64_t bsize = st.f_bsize > 0 ? static_cast<uint64_t>(st.f_bsize) : 0;
    uint64_t usable = bfree > RESERVED_BLOCKS ? bfree - RESERVED_BLOCKS : 0;
    return ((usable >> 10) * bsize) >> 10;
}

// The fall-backs run as argument vectors: a device name comes from /dev and
// must never reach a shell.
void makemountpoint(const char *mountpoint) {
    if (sys::mkdir(mountpoint, 0777) == 0)
        return;
    const char *argv[] = {"mkdir", mountpoint, nullptr};
    sys::run(argv);
}

void mountdisk(const char *device, const char *mountpoint) {
    if (sys::mount(device, mountpoint, "vfat", 0, nullptr) == 0)
        return;
    const char *argv[] = {"mount", "-t", "vfat", device, mountpoint, nullptr};
    sys::run(argv);
}

// Whatever the mount call and the mount program said: a mount point that
// lies on the same file system as /mnt holds no stick, and its free space
// would be /mnt's own disk under the stick's name. When either stat fails
// nothing was shown to be mounted, so nothing is counted.
bool mountedhere(const char *mountpoint) {
    struct stat point;
    struct stat parent;
    if (sys::stat(mountpoint, &point) != 0 || sys::stat("/mnt", &parent) != 0)
        return false;
    return point.st_dev != parent.st_dev;
}

void showdisk(const char *name) {
    char device[64];
    char mountpoint[64];
    snprintf(device, sizeof device, "/dev/%.49s", name);
    snprintf(mountpoint, sizeof mountpoint, "/mnt/%.49s", name);
    makemountpoint(mountpoint);
    mountdisk(device, mountpoint);
    if (!mountedhere(mountpoint)) {
        say("Failed to mount");
        --usbResult;
        // The stick may be mounted all the same (a stat that failed): it is
        // unmounted like every other before it is pulled out.
        sys::umount(mountpoint);
        return;
    }

    struct statfs st;
    memset(&st, 0, sizeof st);
    if (sys::statfs(mountpoint, &st) != 0) {
        say("Failed to statfs");
        --usbResult;
        sys::umount(mountpoint);
        return;
    }
    sys::umount(mountpoint);
    say("%s 剩余空间 = %lluM\n", device, static_cast<unsigned long long>(freemegabytes(st)));
}

} // namespace

int usbtest() {
    sys::Dir *dir = sys::opendir("/dev");
    if (dir == nullptr) {
        say_err("can not open directory /proc\n");
        return 0;
    }
    sys::chdir("/dev");

    for (const char *mouse : MICE)
        if (sys::access(mouse, F_OK) == 0)
            ++usbResult;

    char disks[USB_DISK_MAX][USB_NAME_SIZE];
    memset(disks, 0, sizeof disks);
    int count = 0;
    while (count < USB_DISK_MAX) {
        sys::DirEntry *entry = sys::readdir(dir);
        if (entry == nullptr)
            break;
        if (!isusbdisk(entry->d_name))
            continue;
        snprintf(disks[count], USB_NAME_SIZE, "%.49s", entry->d_name);
        // A disk and its partitions are listed one after the other: keep
        // one of them, the partition, which is what holds the file system.
        if (count > 0 && strncmp(disks[count - 1], disks[count], 3) == 0) {
            if (hasdigit(disks[count])) {
                memcpy(disks[count - 1], disks[count], USB_NAME_SIZE);
                memset(disks[count], 0, USB_NAME_SIZE);
                continue;
            }
            if (hasdigit(disks[count - 1])) {
                memset(disks[count], 0, USB_NAME_SIZE);
                continue;
            }
        }
        ++count;
    }

    usbResult += count;
    for (int i = 0; i < count; ++i)
        showdisk(disks[i]);
    sys::closedir(dir);
    return 0;
}

// The disk list lives on the test's stack; nothing outlasts a run.
void usb_reset_state() {}
