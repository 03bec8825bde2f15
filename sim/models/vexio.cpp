#include "sim/models/vexio.h"

#include <cstring>
#include <set>

namespace sim {

namespace {

// A device type code for each board type.
uint16_t type_code(int type) {
    switch (type) {
    case 1:
        return 0x4500;
    case 2:
        return 0x461F;
    case 3:
        return 0x453F;
    case 5:
        return 0x4600;
    case 6:
        return 0x4510;
    default:
        return 0x1234; // matches no row: an unrecognised board
    }
}

void put16(uint8_t *block, int offset, uint32_t value) {
    block[offset] = static_cast<uint8_t>(value);
    block[offset + 1] = static_cast<uint8_t>(value >> 8);
}

class Vexio : public Model, public Device {
  public:
    Vexio(Host &k, const Section &s) : k_(k) {
        s.only({"type", "device_type", "device_info", "info", "raw_info", "missing",
                "device_info_fails", "info_fails", "watchdog_fails"});
        devinfo_.fill(0);
        // Each of these sets the device type code; the whole block also
        // replaces the rest, so a second one would be silently lost.
        s.one_of({"type", "device_type", "device_info"});
        s.one_of({"info", "raw_info"});
        int type = static_cast<int>(s.integer("type", 1, 0, 6));
        if (type == 4)
            s.fail("type", "board type 4 does not exist");
        put16(devinfo_.data(), 100,
              static_cast<uint32_t>(s.integer("device_type", type_code(type), 0, 0xFFFF)));
        if (s.has("device_info")) {
            auto raw = s.hex("device_info");
            if (raw.size() != 256)
                s.fail("device_info", "must be 256 bytes");
            std::memcpy(devinfo_.data(), raw.data(), 256);
        }
        info_ = board_info_block(s.child("info"));
        if (s.has("raw_info")) {
            auto raw = s.hex("raw_info");
            if (raw.size() != 256)
                s.fail("raw_info", "must be 256 bytes");
            std::memcpy(info_.data(), raw.data(), 256);
        }
        devinfo_fails_ = s.flag("device_info_fails", false);
        info_fails_ = s.flag("info_fails", false);
        watchdog_fails_ = s.flag("watchdog_fails", false);
        if (!s.flag("missing", false))
            k_.add_device("/dev/vexio", this);
    }

    int ioctl(OpenFile &f, unsigned long req, uintptr_t arg) override {
        auto *ptr = reinterpret_cast<uint8_t *>(arg);
        switch (req) {
        case 0x10:
            k_.trace("vexio", "device_info", {{"result", devinfo_fails_ ? -1 : 0}});
            if (devinfo_fails_)
                return -EIO;
            std::memcpy(ptr, devinfo_.data(), 256);
            return 0;
        case 0x04:
            k_.trace("vexio", "board_info", {{"result", info_fails_ ? -1 : 0}});
            if (info_fails_)
                return -EIO;
            std::memcpy(ptr, info_.data(), 256);
            return 0;
        case 0x20:
            k_.trace("vexio", arg == 5 ? "watchdog_armed" : "watchdog_setup",
                     {{"value", arg}, {"result", watchdog_fails_ ? -1 : 0}});
            return watchdog_fails_ ? -EIO : 0;
        case 0x22:
            k_.trace("vexio", "watchdog_hold", {{"value", arg}});
            return 0;
        case 0x03:
            k_.trace("vexio", "buzzer_setup", {{"value", arg}});
            buzzer_ready_.insert(f.id);
            return 0;
        case 0x01:
            // The driver sounds the buzzer only for an opening that has
            // prepared it.
            if (arg == 4 && !buzzer_ready_.count(f.id)) {
                k_.trace("vexio", "buzzer_refused", {{"why", "not set up"}});
                return -EINVAL;
            }
            if (arg == 4) {
                if (!tone_on_)
                    k_.trace("vexio", "buzzer_on");
                tone_on_ = true;
                tone_since_ = k_.now();
            } else if (arg == 0x104) {
                if (tone_on_)
                    k_.trace("vexio", "buzzer_off", {{"ms", (k_.now() - tone_since_) / 1000}});
                tone_on_ = false;
            }
            return 0;
        case 0x07:
        case 0x08: {
            // The argument is the line's new state: 1 on, 0 off. The driver
            // refuses anything else and leaves the line as it was.
            bool driver = req == 0x07;
            int r = arg <= 1 ? 0 : -EINVAL;
            k_.trace("vexio", driver ? "rs485_tx_enable" : "rs485_rx_enable",
                     {{"value", arg}, {"result", r}});
            if (r == 0)
                (driver ? k_.wiring().rs485_driver_enabled : k_.wiring().rs485_receiver_enabled) =
                    arg == 1;
            return r;
        }
        case 0x52:
            k_.trace("vexio", "pmp_reset", {{"mask", arg}});
            for (auto &listener : k_.wiring().pmp_reset)
                listener(static_cast<int>(arg));
            return 0;
        case 0x40026B91UL:
            k_.trace("vexio", "alarm_setup", {{"value", arg}});
            return 0;
        case 0x80026B90UL: {
            uint32_t outputs = k_.wiring().alarm_outputs;
            int64_t inputs = k_.wiring().alarm_inputs ? k_.wiring().alarm_inputs(outputs) : 0;
            k_.trace("vexio", "alarm_inputs", {{"outputs", outputs}, {"inputs", inputs}});
            if (inputs < 0)
                return static_cast<int>(inputs);
            // The request carries a size of 2: only two bytes are stored.
            ptr[0] = static_cast<uint8_t>(inputs);
            ptr[1] = static_cast<uint8_t>(inputs >> 8);
            return 0;
        }
        default:
            k_.trace("vexio", "unknown_request", {{"request", req}});
            return -ENOTTY;
        }
    }

    ssize_t write(OpenFile &, const void *buf, size_t n) override {
        if (n != 4)
            return -EINVAL;
        uint8_t b[4];
        std::memcpy(b, buf, 4);
        uint32_t mask = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
        k_.wiring().alarm_outputs = mask;
        k_.trace("vexio", "alarm_outputs", {{"mask", mask}});
        return 4;
    }

    void close(OpenFile &f) override { buzzer_ready_.erase(f.id); }

  private:
    Host &k_;
    std::array<uint8_t, 256> devinfo_{};
    std::array<uint8_t, 256> info_{};
    bool devinfo_fails_ = false;
    bool info_fails_ = false;
    bool watchdog_fails_ = false;
    bool tone_on_ = false;
    std::set<int> buzzer_ready_; // openings that issued the buzzer set-up
    Time tone_since_ = 0;
};

} // namespace

std::array<uint8_t, 256> board_info_block(const Section &s) {
    s.only({"valid", "words", "nvrSecondPort", "nvrSataCode", "modelCode", "cpldDate", "armClock",
            "dspClock", "memClock", "memSize", "flashSize", "secondPort", "sataCode", "isNvr",
            "usbCount", "isDvs", "alarmOutCode", "alarmInCode"});
    std::array<uint8_t, 256> b{};
    auto f = [&s](const char *key, int64_t fallback, int64_t max) {
        return static_cast<uint32_t>(s.integer(key, fallback, 0, max));
    };
    int words = static_cast<int>(s.integer("words", 4, 1, 4));
    put16(b.data(), 4, s.flag("valid", true) ? 0 : 0xFFFF);
    put16(b.data(), 6, f("nvrSecondPort", 0, 1) << 11 | f("nvrSataCode", 0, 15) << 1);
    put16(b.data(), 14, f("modelCode", 1, 255) << 8);
    put16(b.data(), 16,
          f("armClock", 0, 3) << 14 | f("dspClock", 0, 3) << 12 | f("memClock", 0, 3) << 10 |
              f("memSize", 0, 3) << 8 | f("flashSize", 0, 15) << 3 | (words > 1 ? 1 : 0));
    put16(b.data(), 20, f("cpldDate", 0x4963, 0xFFFF));
    put16(b.data(), 32,
          f("secondPort", 1, 1) << 10 | f("sataCode", 3, 15) << 2 | (words > 2 ? 1 : 0));
    put16(b.data(), 48,
          f("isNvr", 0, 1) << 13 | f("usbCount", 2, 3) << 8 | f("isDvs", 0, 1) << 1 |
              (words > 3 ? 1 : 0));
    put16(b.data(), 64, f("alarmOutCode", 0, 7) << 13 | f("alarmInCode", 0, 7) << 10);
    return b;
}

std::unique_ptr<Model> make_vexio(Host &host, const Section &s) {
    return std::make_unique<Vexio>(host, s);
}

std::unique_ptr<Model> make_vexio(Kernel &k, const Section &s) {
    return make_vexio(static_cast<Host &>(k), s);
}

} // namespace sim
