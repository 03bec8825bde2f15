// Names of /dev entries through the USB port test.
//
// The USB model adds the fuzz input's names as storage device nodes in
// /dev, whatever characters they hold (blanks, quotes, semicolons, control
// bytes, very long names), each with its own mount and statfs behaviour.
//
// Checks: the run ends normally; no name ever reaches a shell (no system()
// call at all), and every program started gets each name as one whole
// argument; the mount points made are exactly those of the device list
// that the merge rules give, in order; usbResult counts the mice and the
// list, less the devices that did not mount or whose statfs failed; every
// listed device gets its free-space line or its failure.
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

constexpr size_t kMaxNames = 16;
constexpr size_t kListMax = 8;
constexpr size_t kNameMax = 49;

bool hasdigit(const std::string &s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The storage device list that the directory listing gives.
std::vector<std::string> reference(const std::vector<std::string> &entries) {
    std::vector<std::string> list;
    for (std::string name : entries) {
        // What readdir hands over: a C string of at most 255 bytes.
        name = name.substr(0, std::min(name.find('\0'), size_t{255}));
        if (name.size() < 2 || name[0] != 'm' || name[1] != 's' ||
            (name.size() > 2 && name[2] == 'm'))
            continue;
        std::string e = name.substr(0, kNameMax);
        if (!list.empty() && list.back().substr(0, 3) == e.substr(0, 3)) {
            if (hasdigit(e)) {
                list.back() = e;
                continue;
            }
            if (hasdigit(list.back()))
                continue;
        }
        list.push_back(e);
        if (list.size() == kListMax)
            break;
    }
    return list;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

json board_without_usb_devices() {
    return {
        {"console", {{"operator", "absent"}}},
        {"panel", {{"silent", true}}},
        {"usb", {{"devices", json::array()}}},
        {"disks", fuzz::small_storage()},
        {"system", {{"time_limit", 60}, {"spin_limit", 20000}}},
    };
}

// The names in /dev that the board has of its own.
const std::set<std::string> &board_nodes() {
    static const std::set<std::string> nodes = [] {
        auto b = fuzz::make_board(board_without_usb_devices());
        std::vector<std::string> names = b->kernel->vfs().list("/dev");
        return std::set<std::string>(names.begin(), names.end());
    }();
    return nodes;
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
    std::vector<std::string> names;
    size_t from = 0;
    while (from <= rest.size() && devices.size() < kMaxNames) {
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
        // The model takes plain file names only, never the name of one of
        // the board's own nodes; the same name twice is one node.
        if (name.empty() || name == "." || name == ".." || board_nodes().count(name) ||
            std::find(names.begin(), names.end(), name) != names.end())
            continue;
        static const char *const kMounts[4] = {"ok", "fallback", "fails", "ok"};
        devices.push_back({{"name", name},
                           {"mount", kMounts[how & 3]},
                           {"statfs", (how & 4) ? "fails" : "ok"},
                           {"free_blocks", 1000000 + devices.size()}});
        names.push_back(name);
    }

    json doc = board_without_usb_devices();
    doc["usb"] = {
        {"mice", mice}, {"devices", devices}, {"mnt", (control & 8) ? "absent" : "present"}};
    int rc = -1;
    int32_t counted = 0;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &) {
        rc = usbtest();
        counted = usbResult;
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run did not end normally: %s",
               b->result.describe().c_str());
    FUZZ_CHECK(b, rc == 0, "usbtest returned %d", rc);
    FUZZ_CHECK(b, b->count("shell", "system") == 0, "a device name went to a shell");

    std::vector<std::string> list = reference(b->kernel->vfs().list("/dev"));
    for (const sim::TraceEvent &e : b->kernel->trace().of("shell", "run")) {
        std::vector<std::string> argv = e.data.at("argv").get<std::vector<std::string>>();
        bool known = false;
        for (const std::string &name : list)
            known = known || argv == std::vector<std::string>{"mkdir", "/mnt/" + name} ||
                    argv == std::vector<std::string>{"mount", "-t", "vfat", "/dev/" + name,
                                                     "/mnt/" + name};
        FUZZ_CHECK(b, known, "a program started with arguments that are not a whole name: %s",
                   e.data.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    }
    std::vector<std::string> made;
    for (const sim::TraceEvent &e : b->kernel->trace().of("fs", "mkdir"))
        made.push_back(e.data.at("path").get<std::string>());
    std::vector<std::string> points;
    for (const std::string &name : list)
        points.push_back("/mnt/" + name);
    FUZZ_CHECK(b, made == points, "%zu mount points made for a list of %zu devices", made.size(),
               points.size());

    std::string out = b->out();
    size_t failed = occurrences(out, "Failed to statfs") + occurrences(out, "Failed to mount");
    size_t shown = 0;
    for (const std::string &name : list)
        shown += out.find("/dev/" + name + " ") != std::string::npos ? 1 : 0;
    FUZZ_CHECK(b, failed + shown >= list.size() && failed <= list.size(),
               "%zu devices listed, %zu free-space lines and %zu failures", list.size(),
               shown, failed);
    int32_t expected =
        static_cast<int32_t>(mice.size() + list.size()) - static_cast<int32_t>(failed);
    FUZZ_CHECK(b, counted == expected, "usbResult %d, expected %d", counted, expected);
    return 0;
}
