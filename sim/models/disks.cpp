#include "sim/models/disks.h"

#include "sim/models/firmware_image.h"

#include <linux/fs.h>
#include <linux/hdreg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

namespace sim {

namespace {

constexpr unsigned long kPmpRequest = 0x197B;
constexpr uint8_t kIdentifyDevice = 0xEC;
const char *const kImagePath = "/dav0/vex321.bin";

struct Identity {
    const char *serial;
    const char *model;
    const char *firmware;
    uint64_t bytes;
};

// The healthy board's disks, by letter: drives a factory line would use.
const Identity kDefaultIdentities[] = {
    {"WD-WCC2EFA12345", "WDC WD5000AAKX-00ERMA0", "15.01H15", 500107862016ULL},
    {"Z1D2K7QM", "ST1000DM003-9YN162", "CC4C", 1000204886016ULL},
    {"JP1570FR1ABCDK", "Hitachi HDS721050CLA362", "JP2OA3MA", 500107862016ULL},
    {"Z1E3N8PX", "ST2000DM001-1CH164", "CC24", 2000398934016ULL},
    {"WD-WMC1S1234567", "WDC WD10EZEX-00RKKA0", "80.00A80", 1000204886016ULL},
    {"S2A4J9BB301234", "SAMSUNG HD502HJ", "1AJ10001", 500107862016ULL},
    {"W2A0F3RT", "ST500DM002-1BD142", "KC45", 500107862016ULL},
    {"WD-WCAV5E765432", "WDC WD5000AADS-00S9B0", "01.00A01", 500107862016ULL},
    {"Z1F0QW12", "ST3000DM001-9YN166", "CC4B", 3000592982016ULL},
    {"JK1101YAG0ABCD", "Hitachi HDS723020BLA642", "MN6OA580", 2000398934016ULL},
};

// An ATA string: space padded, the first of each pair of characters in
// the high byte of its word.
void put_ata_string(uint16_t *words, int count, const std::string &text) {
    std::string padded = text.substr(0, static_cast<size_t>(count) * 2);
    padded.resize(static_cast<size_t>(count) * 2, ' ');
    for (int i = 0; i < count; ++i)
        words[i] = static_cast<uint16_t>(static_cast<uint8_t>(padded[2 * i]) << 8 |
                                         static_cast<uint8_t>(padded[2 * i + 1]));
}

std::array<uint8_t, 512> identify_data(const std::string &serial, const std::string &model,
                                       const std::string &firmware, uint64_t bytes) {
    uint16_t w[256] = {};
    uint64_t sectors = bytes / 512;
    w[0] = 0x0040; // fixed ATA device
    w[1] = 16383;
    w[3] = 16;
    w[6] = 63;
    put_ata_string(w + 10, 10, serial);
    put_ata_string(w + 23, 4, firmware);
    put_ata_string(w + 27, 20, model);
    w[47] = 0x8010;
    w[49] = 0x2F00; // LBA, DMA
    w[53] = 0x0007;
    uint32_t lba28 = static_cast<uint32_t>(std::min<uint64_t>(sectors, 0x0FFFFFFF));
    w[60] = static_cast<uint16_t>(lba28);
    w[61] = static_cast<uint16_t>(lba28 >> 16);
    w[80] = 0x01F0;
    w[83] = 0x7400; // 48-bit addressing
    for (int i = 0; i < 4; ++i)
        w[100 + i] = static_cast<uint16_t>(sectors >> (16 * i));
    std::array<uint8_t, 512> out{};
    for (int i = 0; i < 256; ++i) {
        out[2 * i] = static_cast<uint8_t>(w[i]);
        out[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
    }
    // Integrity word: signature A5h, and a checksum that makes all 512
    // bytes add up to 0.
    out[510] = 0xA5;
    uint8_t sum = 0;
    for (int i = 0; i < 511; ++i)
        sum = static_cast<uint8_t>(sum + out[i]);
    out[511] = static_cast<uint8_t>(-sum);
    return out;
}

std::string hex4(const uint8_t *b) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X", b[0], b[1], b[2], b[3]);
    return text;
}

} // namespace

class DiskDrive : public Device {
  public:
    struct Config {
        std::string name; // "sda"
        std::string serial, model, firmware;
        uint64_t bytes = 0;
        int chip = 1; // 0: straight on a host port
        bool rejects_identify = false;
        bool size_fails = false;
        bool getsize64_fails = false;
    };

    DiskDrive(Kernel &k, Config c, Jmb321 *chip, Time latency)
        : k_(k), c_(std::move(c)), chip_(chip), latency_(latency),
          identify_(identify_data(c_.serial, c_.model, c_.firmware, c_.bytes)) {}

    // What the chip served through this descriptor, as one trace event.
    void close(OpenFile &f) override {
        auto it = sessions_.find(f.id);
        if (it == sessions_.end())
            return;
        const PmpCounters &now = chip_->counters();
        const PmpCounters &then = it->second;
        if (now.requests != then.requests)
            k_.trace("pmp", "counts",
                     {{"chip", chip_->number()},
                      {"disk", c_.name},
                      {"requests", now.requests - then.requests},
                      {"failed", now.failed - then.failed},
                      {"register_reads", now.register_reads - then.register_reads},
                      {"write_enable", now.write_enable - then.write_enable},
                      {"chip_erase", now.chip_erase - then.chip_erase},
                      {"status_read", now.status_read - then.status_read},
                      {"busy_status", now.busy_status - then.busy_status},
                      {"status_write", now.status_write - then.status_write},
                      {"read", now.read - then.read},
                      {"program", now.program - then.program},
                      {"ignored", now.ignored - then.ignored}});
        sessions_.erase(it);
    }

    int ioctl(OpenFile &f, unsigned long req, uintptr_t arg) override {
        auto *p = reinterpret_cast<uint8_t *>(arg);
        if (req == HDIO_DRIVE_CMD)
            return drive_cmd(p);
        if (req == BLKGETSIZE64) {
            bool fails = c_.size_fails || c_.getsize64_fails;
            k_.trace(
                "disk", "size",
                {{"disk", c_.name}, {"request", "BLKGETSIZE64"}, {"result", fails ? -EIO : 0}});
            if (fails)
                return -EIO;
            uint64_t bytes = c_.bytes;
            std::memcpy(p, &bytes, sizeof bytes);
            return 0;
        }
        if (req == BLKGETSIZE) {
            uint64_t sectors = c_.bytes / 512;
            int rc = c_.size_fails ? -EIO : sectors > ULONG_MAX ? -EFBIG : 0;
            k_.trace("disk", "size",
                     {{"disk", c_.name}, {"request", "BLKGETSIZE"}, {"result", rc}});
            if (rc < 0)
                return rc;
            // The kernel stores an unsigned long, whatever its width.
            unsigned long value = static_cast<unsigned long>(sectors);
            std::memcpy(p, &value, sizeof value);
            return 0;
        }
        if (req == kPmpRequest) {
            // The multiplier takes this long to answer each request.
            k_.busy(latency_);
            if (chip_ == nullptr)
                return -EIO;
            // Counted from the first request, so that the close can tell
            // what this descriptor cost.
            sessions_.try_emplace(f.id, chip_->counters());
            return chip_->request(p);
        }
        k_.trace("disk", "unknown_request", {{"disk", c_.name}, {"request", req}});
        return -ENOTTY;
    }

  private:
    // HDIO_DRIVE_CMD: command, sector count register, features, sectors of
    // data, then the data.
    int drive_cmd(uint8_t *a) {
        int rc = 0;
        if (a[0] != kIdentifyDevice)
            rc = -EIO; // the drive aborts what this board never sends
        else if (a[1] != 0 || a[2] != 0 || a[3] != 1)
            rc = -EINVAL;
        else if (c_.rejects_identify)
            rc = -EIO;
        k_.trace("disk", "identify", {{"disk", c_.name}, {"args", hex4(a)}, {"result", rc}});
        if (rc < 0)
            return rc;
        a[0] = 0x50; // status: ready, seek complete
        a[1] = 0;    // error
        a[2] = 0;    // sector count
        std::memcpy(a + 4, identify_.data(), identify_.size());
        return 0;
    }

    Kernel &k_;
    Config c_;
    Jmb321 *chip_;
    Time latency_;
    std::array<uint8_t, 512> identify_;
    std::map<int, PmpCounters> sessions_;
};

namespace {

SpiFlash::BusyReads busy_reads(const Section &s, int64_t *at_start) {
    s.only({"start", "program", "erase", "status_write"});
    SpiFlash::BusyReads b;
    const int64_t most = 1'000'000'000;
    b.program = s.integer("program", b.program, -1, most);
    b.erase = s.integer("erase", b.erase, -1, most);
    b.status_write = s.integer("status_write", b.status_write, -1, most);
    *at_start = s.integer("start", 0, -1, most);
    return b;
}

SpiFlash make_flash(const Section &s, const std::string &image) {
    s.only({"size", "contents", "differ", "protected", "busy_reads", "stuck_bits"});
    size_t size = static_cast<size_t>(s.integer("size", 65536, 256, 16 << 20));
    if (size % 256 != 0)
        s.fail("size", "must be a whole number of 256-byte pages");
    std::string contents = s.choice("contents", "image", {"image", "blank"});
    std::vector<uint8_t> bytes(size, 0xFF);
    if (contents == "image")
        std::copy_n(image.begin(), std::min(image.size(), size), bytes.begin());
    for (const Section &d : s.list("differ")) {
        uint32_t at = static_cast<uint32_t>(d.as_integer(0, static_cast<int64_t>(size) - 4));
        if (at % 4 != 0)
            d.fail("", "must be a word address (a multiple of 4)");
        for (uint32_t i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<uint8_t>(~bytes[at + i]);
    }
    std::vector<SpiFlash::StuckBit> stuck;
    for (const Section &b : s.list("stuck_bits")) {
        b.only({"address", "bit", "value"});
        stuck.push_back(
            {static_cast<uint32_t>(b.integer("address", 0, 0, static_cast<int64_t>(size) - 1)),
             static_cast<int>(b.integer("bit", 0, 0, 7)),
             static_cast<int>(b.integer("value", 0, 0, 1))});
    }
    int64_t at_start = 0;
    SpiFlash::BusyReads busy = busy_reads(s.child("busy_reads"), &at_start);
    uint8_t status = s.flag("protected", false) ? SpiFlash::kProtect : 0;
    return SpiFlash(std::move(bytes), busy, status, at_start, std::move(stuck));
}

Jmb321::Config chip_config(const Section &s) {
    s.only({"absent", "presence", "revision", "bonding_high", "bonding_low", "request_faults",
            "flash"});
    Jmb321::Config c;
    c.absent = s.flag("absent", false);
    c.presence = static_cast<uint8_t>(s.integer("presence", c.presence, 0, 255));
    c.revision = static_cast<uint8_t>(s.integer("revision", c.revision, 0, 255));
    c.bonding_high = static_cast<uint8_t>(s.integer("bonding_high", c.bonding_high, 0, 255));
    c.bonding_low = static_cast<uint8_t>(s.integer("bonding_low", c.bonding_low, 0, 255));
    for (const Section &f : s.list("request_faults")) {
        f.only({"nth", "every", "errno", "kind", "status"});
        Jmb321::Fault fault;
        fault.nth = f.integer("nth", 1, 1, INT64_MAX);
        fault.every = f.flag("every", false);
        fault.err = f.errno_value("errno", EIO);
        fault.kind =
            f.choice("kind", "", {"", "register_read", "WREN", "CE", "RDSR", "WRSR", "READ", "PP"});
        fault.status = static_cast<int>(f.integer("status", -1, 0, 255));
        if (fault.status >= 0 && fault.kind != "RDSR")
            f.fail("status", "only a status read (kind \"RDSR\") can answer with a status");
        c.faults.push_back(fault);
    }
    return c;
}

// A healthy drive with the identity the board's default gives its letter.
DiskDrive::Config named_drive(const std::string &name, int chips) {
    DiskDrive::Config c;
    c.name = name;
    int index = name[2] - 'a';
    const Identity &id = kDefaultIdentities[index % 10];
    c.serial = id.serial;
    c.model = id.model;
    c.firmware = id.firmware;
    c.bytes = id.bytes;
    // On two-chip boards sde to sdh and sdj sit behind the second chip.
    bool second = index == 4 || index == 5 || index == 6 || index == 7 || index == 9;
    c.chip = chips >= 2 && second ? 2 : chips >= 1 ? 1 : 0;
    return c;
}

DiskDrive::Config drive_config(const Section &s, int chips) {
    bool named_only = s.raw()->is_string();
    std::string name = named_only ? s.as_text() : s.text("name", "");
    if (name.size() != 3 || name.compare(0, 2, "sd") != 0 || name[2] < 'a' || name[2] > 'z')
        s.fail(named_only ? "" : "name", "must be a disk name such as \"sda\"");
    DiskDrive::Config c = named_drive(name, chips);
    if (named_only)
        return c;
    s.only({"name", "serial", "model", "firmware", "bytes", "chip", "rejects_identify",
            "size_fails", "getsize64_fails"});
    c.serial = s.content("serial", c.serial);
    c.model = s.content("model", c.model);
    c.firmware = s.content("firmware", c.firmware);
    c.bytes =
        static_cast<uint64_t>(s.integer("bytes", static_cast<int64_t>(c.bytes), 0, INT64_MAX));
    c.chip = static_cast<int>(s.integer("chip", c.chip, 0, chips));
    c.rejects_identify = s.flag("rejects_identify", false);
    c.size_fails = s.flag("size_fails", false);
    c.getsize64_fails = s.flag("getsize64_fails", false);
    return c;
}

} // namespace

Disks::Disks(Kernel &k, const Section &s) : k_(k) {
    s.only({"request_latency_us", "drives", "chips", "image"});
    latency_ = s.integer("request_latency_us", 0, 0, kSecond);

    std::vector<Section> chip_sections = s.has("chips") ? s.list("chips") : std::vector<Section>{};
    std::vector<Jmb321::Config> configs;
    for (const Section &c : chip_sections)
        configs.push_back(chip_config(c));
    if (!s.has("chips"))
        configs.push_back(chip_config(s.child("chips"))); // one healthy chip
    if (configs.size() > 2)
        s.fail("chips", "the board has at most two port multipliers");

    // The image fits the first chip unless the scenario says otherwise.
    Section img = s.child("image");
    img.only(
        {"missing", "length", "revision", "bonding", "vendor", "chip_id", "length_parts", "seed"});
    uint8_t revision = configs.empty() ? 0x01 : configs[0].revision;
    uint8_t bonding =
        configs.empty()
            ? 0x05
            : static_cast<uint8_t>(configs[0].bonding_high << 2 | configs[0].bonding_low);
    image_ = make_firmware_image(firmware_image_from(img, revision, bonding));
    if (!img.flag("missing", false))
        k_.vfs().add_file(kImagePath, image_);

    for (size_t i = 0; i < configs.size(); ++i) {
        Section flash = chip_sections.empty() ? s.child("chips").child("flash")
                                              : chip_sections[i].child("flash");
        chips_.push_back(std::make_unique<Jmb321>(k_, static_cast<int>(i + 1), configs[i],
                                                  make_flash(flash, image_)));
    }

    std::vector<DiskDrive::Config> drives;
    if (s.has("drives")) {
        for (const Section &d : s.list("drives"))
            drives.push_back(drive_config(d, chip_count()));
    } else {
        for (const char *name : {"sda", "sdb", "sdc", "sdd", "sde"})
            drives.push_back(named_drive(name, chip_count()));
    }
    for (auto &d : drives) {
        Jmb321 *chip = d.chip > 0 ? chips_[static_cast<size_t>(d.chip - 1)].get() : nullptr;
        std::string path = "/dev/" + d.name;
        if (k_.vfs().exists(path))
            s.fail("drives", "disk " + d.name + ": " + path +
                                 " is already a node of the board (a disk listed twice, or a "
                                 "USB device of that name)");
        drives_.push_back(std::make_unique<DiskDrive>(k_, std::move(d), chip, latency_));
        k_.vfs().add_device(path, drives_.back().get());
    }

    // Mask 0x100 resets the first chip, 0x80 the second.
    k_.wiring().pmp_reset.push_back([this](int mask) {
        if ((mask & 0x100) && chip_count() >= 1)
            chip(1).reset();
        if ((mask & 0x80) && chip_count() >= 2)
            chip(2).reset();
    });
}

Disks::~Disks() = default;

std::unique_ptr<Model> make_disks(Kernel &k, const Section &s) {
    return std::make_unique<Disks>(k, s);
}

} // namespace sim
