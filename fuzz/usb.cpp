// Names of /dev entries through the USB port test.
//
// The USB model adds the fuzz input's names as storage device nodes in
// /dev, whatever characters they hold (blanks, quotes, semicolons, control
// bytes, very long names), each with its own mount and statfs behaviour.
//
// Input: byte 0 holds the mice (bits 0-2) and removes /mnt (bit 3); the
// rest is a list of names separated by '/'. A name whose first byte is
// below 8 takes it as its behaviour: bits 0-1 the mount (works, only the
// mount program works, fails both ways), bit 2 a failing statfs.
#include "fuzzsupport.h"

#include "driver/result.h"
#include "tests/peripheral.h"

#include <algorithm>
#include <set>

namespace {

using fuzz::json;
using strings = std::vector<std::string>;

json board_without_usb_devices() {
    return {{"console", {{"operator", "absent"}}},
            {"panel", {{"silent", true}}},
            {"usb", {{"devices", json::array()}}},
            {"disks", fuzz::small_storage()},
            {"system", {{"time_limit", 60}, {"spin_limit", 20000}}}};
}

// The names in /dev that the board has of its own.
bool board_node(const std::string &name) {
    static const strings nodes =
        fuzz::make_board(board_without_usb_devices())->kernel->vfs().list("/dev");
    return std::find(nodes.begin(), nodes.end(), name) != nodes.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t control = in.byte();
    std::vector<uint8_t> rest = in.rest();
    json mice = json::array();
    for (int m = 0; m < 3; ++m)
        if (control & (1 << m))
            mice.push_back(m);
    json devices = json::array();
    std::set<std::string> names;
    for (size_t from = 0; from <= rest.size() && devices.size() < 16;) {
        size_t to =
            std::find(rest.begin() + static_cast<long>(from), rest.end(), '/') - rest.begin();
        std::string name(rest.begin() + static_cast<long>(from),
                         rest.begin() + static_cast<long>(to));
        from = to + 1;
        uint8_t how = 0;
        if (!name.empty() && static_cast<uint8_t>(name[0]) < 8) {
            how = static_cast<uint8_t>(name[0]);
            name.erase(0, 1);
        }
        // The model takes plain file names only, never one of the board's
        // own nodes, and a directory entry holds no NUL; the same name twice
        // is one node.
        if (name.empty() || name == "." || name == ".." || board_node(name) ||
            name.find('\0') != std::string::npos || !names.insert(name).second)
            continue;
        static const char *const kMounts[4] = {"ok", "fallback", "fails", "ok"};
        devices.push_back({{"name", name},
                           {"mount", kMounts[how & 3]},
                           {"statfs", (how & 4) ? "fails" : "ok"},
                           {"free_blocks", 1000000 + devices.size()}});
    }
    json doc = board_without_usb_devices();
    doc["usb"] = {
        {"mice", mice}, {"devices", devices}, {"mnt", (control & 8) ? "absent" : "present"}};
    int rc = -1;
    int32_t counted = -1;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &) {
        rc = usbtest();
        counted = usbResult;
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0) && rc == 0, "usbtest returned %d, the run: %s", rc,
               b->result.describe().c_str());
    FUZZ_CHECK(b, b->left_open.empty(), "%s left open", b->left_open.front().c_str());
    FUZZ_CHECK(b, b->count("shell", "system") == 0, "a device name went to a shell");

    // Mount points only for storage names (cut to 49 characters), at most
    // eight, and every program started gets such a name whole.
    strings made;
    for (const sim::TraceEvent &e : b->events("fs", "mkdir")) {
        std::string path = e.data.at("path");
        made.push_back(path.substr(std::min(path.size(), size_t{5})));
        const std::string &n = made.back();
        FUZZ_CHECK(
            b, path.rfind("/mnt/ms", 0) == 0 && n.size() <= 49 && (n.size() == 2 || n[2] != 'm'),
            "mount point %s is no storage device's", path.c_str());
    }
    FUZZ_CHECK(b, made.size() <= 8, "%zu mount points made", made.size());
    for (const sim::TraceEvent &e : b->events("shell", "run")) {
        strings argv = e.data.at("argv").get<strings>();
        bool whole = false;
        for (const std::string &n : made)
            whole = whole || argv == strings{"mkdir", "/mnt/" + n} ||
                    argv == strings{"mount", "-t", "vfat", "/dev/" + n, "/mnt/" + n};
        FUZZ_CHECK(b, whole, "a program started with arguments that are not a whole name: %s",
                   e.data.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    }

    // Each device reports once, in one write: its free space, or the
    // failure that takes it back out of the count. Whatever was mounted is
    // unmounted again. Standard error is the board's shell's (busybox's
    // mount and mkdir say there why they failed), not the test's report.
    size_t shown = 0, failed = 0;
    for (const auto &w : b->kernel->console())
        if (w.fd == 1)
            ++(w.bytes == "Failed to mount" || w.bytes == "Failed to statfs" ? failed : shown);
    FUZZ_CHECK(
        b, shown + failed == made.size() && counted == static_cast<int32_t>(mice.size() + shown),
        "usbResult %d: %zu mice, %zu devices, %zu free-space lines, %zu failures", counted,
        mice.size(), made.size(), shown, failed);
    long mounted = 0;
    for (const sim::TraceEvent &e : b->kernel->trace().events())
        if (e.dev == "usb" && (e.ev == "mount" || e.ev == "umount") && e.data.at("result") == 0)
            mounted += e.ev == "mount" ? 1 : -1;
    FUZZ_CHECK(b, mounted == 0, "%ld disks left mounted", mounted);
    return 0;
}
