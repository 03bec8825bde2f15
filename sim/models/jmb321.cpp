#include "sim/models/jmb321.h"

#include <cstdio>

namespace sim {

namespace {

constexpr uint8_t kReadPortMultiplier = 0xE4;
constexpr uint8_t kSpiTransaction = 0xF7;
constexpr uint8_t kControlPortDevice = 0x8F; // 0x80 | port 15
constexpr uint8_t kFlashDevice = 0x80;       // 0x80 | flash 0
constexpr uint16_t kRegisterReadCommand = 0x0084;

// Each SPI opcode with the engine control byte it runs with: address
// phase (0xE0), data in (0x08) or out (0x04), four data bytes (0x01).
struct SpiOp {
    uint8_t opcode;
    uint8_t control;
    const char *name;
};
constexpr SpiOp kSpiOps[] = {
    {0x06, 0x00, "WREN"}, {0xC7, 0x00, "CE"},   {0x05, 0x08, "RDSR"},
    {0x01, 0x04, "WRSR"}, {0x03, 0xE9, "READ"}, {0x02, 0xE5, "PP"},
};

// Recent trace events of ignored commands, per chip: a protected flash
// ignores every word of an image, and the counters hold the rest.
constexpr uint64_t kIgnoredTraced = 16;

uint32_t le32(const uint8_t *b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

std::string hex(const uint8_t *b, size_t n) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, i ? " %02X" : "%02X", b[i]);
        out += two;
    }
    return out;
}

const char *outcome_name(SpiFlash::Outcome o) {
    switch (o) {
    case SpiFlash::Outcome::Done:
        return "done";
    case SpiFlash::Outcome::Busy:
        return "busy";
    case SpiFlash::Outcome::NoLatch:
        return "no_write_enable";
    case SpiFlash::Outcome::Protected:
        return "protected";
    }
    return "?";
}

} // namespace

Jmb321::Jmb321(Kernel &k, int number, Config config, SpiFlash flash)
    : k_(k), number_(number), config_(std::move(config)), flash_(std::move(flash)) {}

std::string Jmb321::kind_name(const uint8_t *task) {
    if (task[7] == kReadPortMultiplier)
        return "register_read";
    if (task[7] == kSpiTransaction)
        for (const auto &op : kSpiOps)
            if (op.opcode == task[1])
                return op.name;
    return "other";
}

int Jmb321::request(uint8_t *task) {
    PmpRequest rec;
    std::copy(task, task + 16, rec.sent.begin());
    ++counters_.requests;
    int rc = serve(task);
    if (rc < 0)
        ++counters_.failed;
    std::copy(task, task + 16, rec.returned.begin());
    rec.result = rc;
    recent_.push_back(rec);
    if (recent_.size() > kRecent)
        recent_.pop_front();
    return rc;
}

int Jmb321::serve(uint8_t *task) {
    std::string kind = kind_name(task);
    const Fault *fired = nullptr;
    for (auto &f : config_.faults) {
        if (!f.kind.empty() && f.kind != kind)
            continue;
        ++f.seen;
        if ((f.seen == f.nth || (f.every && f.seen > f.nth)) && fired == nullptr)
            fired = &f;
    }
    if (fired != nullptr && fired->status >= 0) {
        ++counters_.status_read;
        if (fired->status & SpiFlash::kBusy)
            ++counters_.busy_status;
        task[2] = static_cast<uint8_t>(fired->status);
        return 0;
    }
    if (fired != nullptr) {
        k_.trace("pmp", "request_failed",
                 {{"chip", number_}, {"kind", kind}, {"errno", errno_name(fired->err)}});
        return -fired->err;
    }
    // Without a multiplier the disk itself aborts the command.
    if (config_.absent)
        return -EIO;
    if (task[0] != 0 || task[8] != 0 || task[14] != 0 || task[15] != 0)
        return reject(task, "data, HOB data, HOB device and HOB control must be 0");
    if (task[7] == kReadPortMultiplier)
        return register_read(task);
    if (task[7] == kSpiTransaction)
        return spi(task);
    return reject(task, "unknown command");
}

int Jmb321::reject(const uint8_t *task, const char *why) {
    k_.trace("pmp", "rejected", {{"chip", number_}, {"why", why}, {"taskfile", hex(task, 16)}});
    return -EINVAL;
}

int Jmb321::register_read(uint8_t *task) {
    if (task[6] != kControlPortDevice)
        return reject(task, "register reads go to the control port (device 0x8F)");
    if ((task[1] | task[9] << 8) != kRegisterReadCommand)
        return reject(task, "register read with a command word other than 0x0084");
    ++counters_.register_reads;
    uint32_t address = le32(task + 10);
    uint8_t value = 0;
    switch (address) {
    case 0xFC00:
        value = config_.presence;
        break;
    case 0xFC03:
        value = config_.revision;
        break;
    case 0xFAFD:
        value = config_.bonding_high;
        break;
    case 0xFAFC:
        value = config_.bonding_low;
        break;
    default:
        break;
    }
    task[2] = value;
    task[3] = task[4] = task[5] = 0;
    k_.trace("pmp", "register_read", {{"chip", number_}, {"address", address}, {"value", value}});
    return 0;
}

void Jmb321::note(const char *op, SpiFlash::Outcome outcome, nlohmann::json data) {
    if (outcome != SpiFlash::Outcome::Done) {
        if (++counters_.ignored > kIgnoredTraced)
            return;
        data["why"] = outcome_name(outcome);
        data["op"] = op;
        data["chip"] = number_;
        k_.trace("pmp", "ignored", std::move(data));
        return;
    }
    if (data.is_null())
        return;
    data["chip"] = number_;
    k_.trace("pmp", op, std::move(data));
    if (flash_.busy()) {
        k_.trace("pmp", "busy", {{"chip", number_}, {"busy", true}, {"op", op}});
        busy_traced_ = true;
    }
}

int Jmb321::spi(uint8_t *task) {
    if (task[6] != kFlashDevice)
        return reject(task, "SPI transactions go to flash 0 (device 0x80)");
    const SpiOp *op = nullptr;
    for (const auto &o : kSpiOps)
        if (o.opcode == task[1])
            op = &o;
    if (op == nullptr)
        return reject(task, "SPI opcode the engine is not set up for");
    if (task[9] != op->control)
        return reject(task, "SPI control byte does not fit the opcode");
    uint32_t address = le32(task + 10) & 0xFFFFFF;
    switch (op->opcode) {
    case 0x06:
        ++counters_.write_enable;
        note("write_enable", flash_.write_enable());
        break;
    case 0xC7:
        ++counters_.chip_erase;
        note("erase", flash_.chip_erase(), nlohmann::json::object());
        break;
    case 0x05: {
        ++counters_.status_read;
        uint8_t s = flash_.read_status();
        if (s & SpiFlash::kBusy)
            ++counters_.busy_status;
        if (busy_traced_ && !flash_.busy()) {
            k_.trace("pmp", "busy", {{"chip", number_}, {"busy", false}});
            busy_traced_ = false;
        }
        task[2] = s;
        break;
    }
    case 0x01:
        ++counters_.status_write;
        note("status_write", flash_.write_status(task[2]), {{"value", task[2]}});
        break;
    case 0x03:
        ++counters_.read;
        flash_.read(address, task + 2);
        break;
    case 0x02:
        ++counters_.program;
        note("program", flash_.page_program(address, task + 2));
        break;
    }
    return 0;
}

void Jmb321::reset() {
    ++resets_;
    const auto &b = flash_.bytes();
    // What the chip finds when it restarts from its flash.
    bool header =
        b.size() >= 4 && b[0] == 0x7B && b[1] == 0x19 && b[2] == config_.revision && b[3] == 0x32;
    k_.trace("pmp", "reset", {{"chip", number_}, {"count", resets_}, {"flash_header", header}});
}

} // namespace sim
