// Shared by the storage tests: scenarios built as JSON, and a run of
// pmpupdate on one disk of the simulated board with what it left behind.
#pragma once

#include "simrun.h"

#include "platform/sys.h"
#include "sim/models/disks.h"
#include "sim/models/firmware_image.h"
#include "storage/storage.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace storageqa {

using json = nlohmann::json;

// A board whose "disks" section is `disks` (other sections as given).
inline std::string board(const json &disks, json rest = json::object()) {
    rest["disks"] = disks;
    return rest.dump();
}

// A chip whose flash starts as described, and an image of `length` bytes.
inline json one_chip(const json &flash, size_t length = 2048, json image = json::object()) {
    if (!image.contains("length"))
        image["length"] = length;
    return {{"chips", json::array({json{{"flash", flash}}})}, {"image", image}};
}

inline sim::Disks &disks(const qa::SimRun &r) {
    return *r.kernel->model<sim::Disks>();
}

inline std::vector<uint8_t> image_bytes(const qa::SimRun &r) {
    const std::string &s = disks(r).image();
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The first `n` bytes of chip 1's flash.
inline std::vector<uint8_t> flash_head(const qa::SimRun &r, size_t n, int chip = 1) {
    const auto &b = disks(r).chip(chip).flash().bytes();
    return std::vector<uint8_t>(b.begin(), b.begin() + static_cast<long>(std::min(n, b.size())));
}

inline bool flash_holds_image(const qa::SimRun &r, int chip = 1) {
    return flash_head(r, disks(r).image().size(), chip) == image_bytes(r);
}

struct Update {
    int result = 0;
    int flag = 0;
    int open_before = 0; // descriptors of process 1 before the disk was opened
    int open_after = 0;  // and after pmpupdate returned
};

struct UpdateRun {
    qa::SimRun run;
    std::vector<Update> updates;
    std::string out() const { return run.out(); }
    const sim::PmpCounters &counters(int chip = 1) const {
        return disks(run).chip(chip).counters();
    }
};

// pmpupdate `times` times in one process, each on a fresh descriptor of
// `disk` opened read-only, as test 10 opens them.
inline UpdateRun update(const std::string &scenario, int times = 1, const char *disk = "/dev/sda") {
    UpdateRun u;
    u.run = qa::run_on_board(scenario, [&](sim::Kernel &k) {
        for (int i = 0; i < times; ++i) {
            Update one;
            one.open_before = k.open_descriptors(1);
            int fd = sys::open(disk, O_RDONLY);
            one.result = pmpupdate(fd);
            one.flag = firmwareupdated();
            one.open_after = k.open_descriptors(1);
            u.updates.push_back(one);
        }
        return 0;
    });
    return u;
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace storageqa
