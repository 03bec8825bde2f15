// The board's wires between the board I/O driver and the models that sit
// at their far ends (fixtures, port multipliers, the mount table). The
// board I/O driver model drives them; the fixture models attach to them.
#pragma once

#include <sys/statfs.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct Wiring {
    // Alarm lines. The alarm fixture computes the inputs from the outputs
    // last written; without a fixture the inputs read back 0. A negative
    // result is the errno of a failed input read.
    uint32_t alarm_outputs = 0;
    std::function<int64_t(uint32_t outputs)> alarm_inputs;

    // RS-485 line control: requests 7 and 8 of the board I/O driver.
    bool rs485_driver_enabled = false;   // request 7
    bool rs485_receiver_enabled = false; // request 8

    // Port-multiplier reset lines (request 0x52), with the mask.
    std::vector<std::function<void(int mask)>> pmp_reset;

    // The mount table, served by whichever model owns removable storage.
    // Each returns 0 or -errno.
    std::function<int(const std::string &source, const std::string &target,
                      const std::string &fstype)>
        mount;
    std::function<int(const std::string &target)> umount;
    std::function<int(const std::string &path, struct statfs &out)> statfs;
    // The device number of the file system a path lies on (stat's st_dev).
    std::function<uint64_t(const std::string &path)> fs_device;
};

// The device number of the board's root file system, where every path lies
// that no mount covers.
constexpr uint64_t ROOT_FS_DEVICE = 0x1f01;

} // namespace sim
