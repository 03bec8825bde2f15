#include "sim/models/rs485.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>

namespace sim {

namespace {

struct Speed {
    speed_t code;
    int64_t baud;
};
const Speed kSpeeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                         {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};

} // namespace

Rs485Port::Rs485Port(Host &k, const Section &s) : k_(k) {
    s.only({"fixture", "lose_byte", "corrupt_byte", "extra_byte_after", "extra_byte_value",
            "accept_per_write", "busy_after_write", "never_writable", "missing", "tcsetattr_error",
            "stale", "noise", "hangup_at", "hangup_after_write"});
    connected_ = s.choice("fixture", "connected", {"connected", "disconnected"}) == "connected";
    lose_ = s.integer("lose_byte", -1, -1, INT32_MAX);
    corrupt_ = s.integer("corrupt_byte", -1, -1, INT32_MAX);
    extra_after_ = s.integer("extra_byte_after", -1, -1, INT32_MAX);
    extra_value_ = static_cast<uint8_t>(s.integer("extra_byte_value", 0xAA, 0, 0xFF));
    accept_ = static_cast<size_t>(s.integer("accept_per_write", 4096, 1, 4096));
    busy_after_write_ = s.seconds_us("busy_after_write", 0);
    never_writable_ = s.flag("never_writable", false);
    tcsetattr_error_ = s.errno_value("tcsetattr_error", 0);
    for (uint8_t b : s.hex("stale"))
        rx_.push_back(b);
    for (const Section &n : s.list("noise")) {
        n.only({"at", "bytes"});
        std::vector<uint8_t> bytes = n.hex("bytes");
        k_.at(n.seconds_us("at", 0), [this, bytes] {
            k_.trace("rs485", "noise", {{"bytes", bytes.size()}});
            for (uint8_t b : bytes)
                arrive(b);
        });
    }
    if (s.has("hangup_at"))
        k_.at(s.seconds_us("hangup_at", 0), [this] { hangup(); });
    hangup_after_write_ = s.integer("hangup_after_write", 0, 0, INT32_MAX);
    if (!s.flag("missing", false))
        k_.add_device("/dev/ttyS1", this);
}

int Rs485Port::open(OpenFile &f) {
    k_.trace("rs485", "open",
             {{"nonblock", (f.flags & O_NONBLOCK) != 0},
              {"noctty", (f.flags & O_NOCTTY) != 0},
              {"rdwr", (f.flags & O_ACCMODE) == O_RDWR}});
    return 0;
}

int Rs485Port::tcsetattr(OpenFile &, int actions, const struct termios &t) {
    if (tcsetattr_error_ != 0) {
        k_.trace("rs485", "tcsetattr", {{"result", -tcsetattr_error_}});
        return -tcsetattr_error_;
    }
    tio_ = t;
    baud_ = 0;
    for (const Speed &sp : kSpeeds)
        if (cfgetospeed(&t) == sp.code)
            baud_ = sp.baud;
    bool raw = (t.c_lflag & (ICANON | ECHO | ECHOE | ISIG)) == 0 &&
               (t.c_iflag & (INLCR | IGNCR | ICRNL | IXON | IXOFF)) == 0 &&
               (t.c_oflag & OPOST) == 0;
    k_.trace("rs485", "tcsetattr",
             {{"now", actions == TCSANOW},
              {"speed", baud_},
              {"in_speed_matches", cfgetispeed(&t) == cfgetospeed(&t)},
              {"cs8", (t.c_cflag & CSIZE) == CS8},
              {"parity", (t.c_cflag & PARENB) != 0},
              {"two_stop_bits", (t.c_cflag & CSTOPB) != 0},
              {"clocal_cread", (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD)},
              {"raw", raw},
              {"result", 0}});
    return 0;
}

int Rs485Port::tcgetattr(OpenFile &, struct termios &t) {
    t = tio_;
    return 0;
}

bool Rs485Port::writable(const OpenFile &) {
    if (hung_)
        return true; // a hung-up port reports ready, and then fails
    return !never_writable_ && k_.now() >= busy_until_;
}

ssize_t Rs485Port::write(OpenFile &, const void *buf, size_t n) {
    if (hung_)
        return -EIO;
    if (never_writable_ || k_.now() < busy_until_)
        return -EAGAIN;
    size_t take = std::min(n, accept_);
    k_.trace("rs485", "write", {{"requested", n}, {"accepted", take}});
    const auto *bytes = static_cast<const uint8_t *>(buf);
    if (k_.wiring().rs485_driver_enabled)
        for (size_t i = 0; i < take; ++i)
            send(bytes[i]);
    busy_until_ = k_.now() + busy_after_write_;
    if (busy_after_write_ > 0) // waiters look again when the port frees up
        k_.at(busy_until_, [] {});
    if (++writes_ == hangup_after_write_)
        hangup();
    return static_cast<ssize_t>(take);
}

ssize_t Rs485Port::read(OpenFile &, void *buf, size_t n) {
    if (hung_ && rx_.empty())
        return 0;
    if (rx_.empty())
        return -EAGAIN;
    size_t take = std::min(n, rx_.size());
    std::copy_n(rx_.begin(), take, static_cast<uint8_t *>(buf));
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(take));
    k_.trace("rs485", "read", {{"requested", n}, {"returned", take}});
    return static_cast<ssize_t>(take);
}

void Rs485Port::hangup() {
    hung_ = true;
    k_.trace("rs485", "hangup");
}

// Puts one byte on the line after those already on their way.
Time Rs485Port::next_slot() {
    if (k_.now() >= line_free_at_) {
        burst_start_ = k_.now();
        burst_bytes_ = 0;
    }
    ++burst_bytes_;
    int64_t baud = baud_ > 0 ? baud_ : 9600;
    line_free_at_ = burst_start_ + burst_bytes_ * 10 * kSecond / baud;
    return line_free_at_;
}

void Rs485Port::send(uint8_t b) {
    int64_t index = sent_++;
    Time when = next_slot();
    if (!connected_)
        return;
    if (index == lose_) {
        k_.trace("rs485", "lost", {{"index", index}});
    } else {
        if (index == corrupt_)
            b = static_cast<uint8_t>(~b);
        k_.at(when, [this, b] { arrive(b); });
    }
    if (index == extra_after_) {
        uint8_t extra = extra_value_;
        k_.at(next_slot(), [this, extra] { arrive(extra); });
    }
}

void Rs485Port::arrive(uint8_t b) {
    if (k_.wiring().rs485_receiver_enabled && !hung_)
        rx_.push_back(b);
}

std::unique_ptr<Model> make_rs485(Kernel &k, const Section &s) {
    return std::make_unique<Rs485Port>(k, s);
}

} // namespace sim
