// The real-time clock chip behind /dev/rtc. It runs with the system clock,
// off by a fixed number of seconds, and holds either UTC or the local time
// of the board's zone.
#include "sim/kernel/model.h"

#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <linux/rtc.h>

namespace sim {

namespace {

static_assert(sizeof(struct rtc_time) == 36, "RTC_RD_TIME carries nine ints");

class Rtc : public Model, public Device {
  public:
    Rtc(Kernel &k, const Section &s) : k_(k) {
        s.only({"offset", "local_time", "missing", "open_error", "read_error"});
        // Kept within a range that a 32-bit time_t still holds around the
        // default start date.
        offset_ = s.integer("offset", 0, -1000000000, 700000000);
        if (s.flag("local_time", false))
            zone_ = k.scenario().section("system").integer("zone_offset", 0, -14 * 3600, 14 * 3600);
        open_error_ = s.errno_value("open_error", 0);
        read_error_ = s.errno_value("read_error", 0);
        if (!s.flag("missing", false))
            k_.vfs().add_device("/dev/rtc", this);
    }

    int open(OpenFile &f) override {
        k_.trace("rtc", "open",
                 {{"read_only", (f.flags & O_ACCMODE) == O_RDONLY}, {"result", -open_error_}});
        return -open_error_;
    }

    void close(OpenFile &) override { k_.trace("rtc", "close"); }

    int ioctl(OpenFile &, unsigned long req, uintptr_t arg) override {
        if (req != RTC_RD_TIME) {
            k_.trace("rtc", "unknown_request", {{"request", req}});
            return -ENOTTY;
        }
        if (read_error_ != 0) {
            k_.trace("rtc", "read_time", {{"result", -read_error_}});
            return -read_error_;
        }
        time_t t = static_cast<time_t>(k_.epoch_at(k_.now()) + offset_ + zone_);
        struct tm broken;
        gmtime_r(&t, &broken);
        struct rtc_time chip;
        std::memset(&chip, 0, sizeof chip);
        chip.tm_sec = broken.tm_sec;
        chip.tm_min = broken.tm_min;
        chip.tm_hour = broken.tm_hour;
        chip.tm_mday = broken.tm_mday;
        chip.tm_mon = broken.tm_mon;
        chip.tm_year = broken.tm_year;
        chip.tm_wday = broken.tm_wday;
        chip.tm_yday = broken.tm_yday;
        chip.tm_isdst = 0;
        // Exactly the request's size: the caller's record ends there.
        std::memcpy(reinterpret_cast<void *>(arg), &chip, sizeof chip);
        k_.trace("rtc", "read_time", {{"epoch", static_cast<int64_t>(t)}, {"result", 0}});
        return 0;
    }

  private:
    Kernel &k_;
    int64_t offset_ = 0;
    int64_t zone_ = 0;
    int open_error_ = 0;
    int read_error_ = 0;
};

} // namespace

std::unique_ptr<Model> make_rtc(Kernel &k, const Section &s) {
    return std::make_unique<Rtc>(k, s);
}

} // namespace sim
