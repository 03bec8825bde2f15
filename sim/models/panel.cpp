// The front-panel controller: keys, joystick and LEDs behind /dev/ttyS2.
//
// It reads the frames the program writes, answers heartbeats, recognises
// each LED command sequence and reports which LED mode it sets, and plays
// the operator's key presses (or raw bytes) at times counted from the
// moment the port was opened. See docs/scenario-panel.md.
#include "sim/models/panel.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>

namespace sim {

namespace {

constexpr uint8_t kStart = 0xFF;
constexpr uint8_t kTypeKey = 0x20;

// The key codes of the panel firmware; some names occur twice.
const char *const kKeyNames[] = {
    "AN0",   "AN1",     "AN2",      "AN3",   "AN4",  "AN5",    "AN6",      "AN7",     "AN8",
    "AN9",   "MENU",    "ESC",      "EDIT",  "A",    "VOIP",   "PLAY",     "REC",     "PAN",
    "INFO",  "DISPLAY", "UP",       "DOWN",  "LEFT", "RIGHT",  "AN10",     "AN11",    "AN12",
    "AN13",  "AN14",    "AN15",     "AN16",  "",     "",       "",         "ENTER",   "POWER",
    "F1",    "F2",      "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "SEARCH",  "PREVIOUS", "PAUSE", "LIVE", "REPLAY", "ZOOM_OUT", "ZOOM_IN", "PRESET",
    "TOUR",  "",        "SEQUANCE", "A",     "B",    "F1",     "F2",       "",        "ALARM",
    "EJECT", "",        "ARCHIVE",
};
constexpr int kKeyCount = static_cast<int>(sizeof kKeyNames / sizeof kKeyNames[0]);

// The heartbeat command of each variant.
constexpr uint8_t kJoystickHeartbeat = 0x0B;
constexpr uint8_t kKeypadHeartbeat = 0x06;

std::string hex(const uint8_t *b, size_t n) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02X", b[i]);
        if (i)
            out += ' ';
        out += two;
    }
    return out;
}
std::string hex(const std::vector<uint8_t> &b) {
    return hex(b.data(), b.size());
}

uint8_t checksum(const uint8_t *b, size_t n) {
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum = static_cast<uint8_t>(sum + b[i]);
    return sum;
}

int baud(speed_t s) {
    static const std::pair<speed_t, int> table[] = {
        {B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
        {B150, 150},     {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
        {B1800, 1800},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
        {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
    };
    for (const auto &e : table)
        if (e.first == s)
            return e.second;
    return -1;
}

const char *action_name(int action) {
    switch (action) {
    case TCSANOW:
        return "TCSANOW";
    case TCSADRAIN:
        return "TCSADRAIN";
    case TCSAFLUSH:
        return "TCSAFLUSH";
    default:
        return "?";
    }
}

} // namespace

// The LED command sequences each panel variant understands, with the LED
// mode the program asked for.
const std::vector<PanelController::Sequence> &PanelController::variant_sequences(int variant) {
    static const std::vector<Sequence> joystick = {
        {"LED_ALL_OFF",
         9,
         {{0x3B, 0, 0},
          {0x07, 0, 0},
          {0x17, 0, 0},
          {0x19, 0, 0},
          {0x41, 0, 0},
          {0x35, 0, 0},
          {0x38, 0, 0},
          {0x3B, 0, 0},
          {0x3C, 0, 0},
          {0x39, 0, 0},
          {0x36, 0, 0}}},
        {"LED_RED_ON",
         5,
         {{0x3B, 0, 0}, {0x07, 0xFF, 0xFF}, {0x17, 0, 1}, {0x19, 0, 1}, {0x41, 0, 1}}},
        {"LED_CHANNEL_FUNC_ON",
         3,
         {{0x3B, 0, 0},
          {0x07, 0, 0},
          {0x17, 0, 0},
          {0x18, 0, 0},
          {0x19, 0, 0},
          {0x41, 0, 0},
          {0x35, 0, 1},
          {0x38, 0, 1},
          {0x3B, 0, 0},
          {0x3C, 0xFF, 0xFF},
          {0x39, 0, 1},
          {0x36, 0, 1},
          {0x3A, 0, 0},
          {0x3A, 0, 1}}},
        {"LED_CHANNEL_FUNC_OFF",
         4,
         {{0x35, 0, 0}, {0x38, 0, 0}, {0x3B, 0, 0}, {0x3C, 0, 0}, {0x39, 0, 0}, {0x36, 0, 0}}},
        {"LED_STATUS_ON", 6, {{0x17, 0, 0}, {0x18, 0, 0}, {0x19, 0, 0}, {0x41, 1, 0}}},
        {"LED_STATUS_OFF", 7, {{0x17, 0, 0}, {0x18, 0, 1}, {0x41, 0, 0}}},
    };
    static const std::vector<Sequence> keypad = {
        {"LED_ALL_OFF", 9, {{0x04, 0, 4}, {0x0D, 0, 0}, {0x0B, 0, 0}, {0x0A, 0, 0}, {0x09, 0, 0}}},
        {"LED_RED_ON", 5, {{0x04, 0, 4}, {0x0B, 0xFF, 0xFF}, {0x04, 0, 0xFF}, {0x0A, 5, 0}}},
        {"LED_CHANNEL_FUNC_ON",
         3,
         {{0x04, 0, 4}, {0x0B, 0, 0}, {0x04, 0, 4}, {0x0D, 0xFF, 0xFF}, {0x0A, 0xFA, 0xFF}}},
        {"LED_CHANNEL_FUNC_OFF", 4, {{0x04, 0, 4}, {0x0D, 0, 0}, {0x0B, 0, 0}, {0x0A, 0, 0}}},
        {"LED_STATUS_ON", 6, {{0x09, 0, 1}, {0x04, 0, 4}}},
        {"LED_STATUS_OFF", 7, {{0x04, 0, 4}, {0x09, 0, 0}}},
    };
    return variant == 1 ? joystick : keypad;
}

int PanelController::key_code(const std::string &name) {
    for (int i = 0; i < kKeyCount; ++i)
        if (name == kKeyNames[i])
            return i;
    return -1;
}

std::vector<uint8_t> PanelController::key_frame(int code, bool pressed) {
    std::vector<uint8_t> f = {
        kStart, 7, kTypeKey, static_cast<uint8_t>(code), static_cast<uint8_t>(pressed ? 1 : 0), 0};
    f.push_back(checksum(f.data(), f.size()));
    return f;
}

PanelController::PanelController(Host &k, const Section &s, LedWaits waits) : k_(k), waits_(waits) {
    s.only({"missing", "tcsetattr_fails", "silent", "answer_heartbeats", "answer_leds",
            "reply_delay", "keys", "bytes", "queue_limit"});
    int type = static_cast<int>(k_.scenario().section("board").integer("type", 1, 0, 6));
    variant_ = (type == 1 || type == 6) ? 1 : (type == 2 || type == 5) ? 2 : 0;
    sequences_ = variant_ == 0 ? nullptr : &variant_sequences(variant_);

    tcsetattr_fails_ = s.flag("tcsetattr_fails", false);
    silent_ = s.flag("silent", false);
    if (silent_)
        for (const char *key : {"keys", "bytes", "answer_heartbeats", "answer_leds"})
            if (s.has(key))
                s.fail(key, "a silent panel sends nothing");
    answer_heartbeats_ = !silent_ && s.flag("answer_heartbeats", true);
    answer_leds_ = !silent_ && s.flag("answer_leds", false);
    reply_delay_ = s.seconds_us("reply_delay", 0.05);
    queue_limit_ = static_cast<size_t>(s.integer("queue_limit", 4096, 1, 1 << 20));

    if (s.has("keys")) {
        for (const Section &e : s.list("keys")) {
            e.only({"at", "key", "state", "hold"});
            Time at = e.seconds_us("at", 0);
            if (!e.has("key"))
                e.fail("key", "missing: a key name or code");
            int code = -1;
            const nlohmann::json &v = (*e.raw())["key"];
            if (v.is_string() && key_code(v.get<std::string>()) >= 0)
                code = key_code(v.get<std::string>());
            else if (v.is_string() && v.get<std::string>().rfind("0x", 0) != 0)
                e.fail("key", "'" + printable(v.get<std::string>()) + "' is no key name");
            else
                code = static_cast<int>(e.integer("key", 0, 0, 255));
            std::string state = e.choice("state", "click", {"press", "release", "click"});
            if (state != "release")
                keys_.push_back({at, code, true});
            if (state != "press")
                keys_.push_back(
                    {state == "click" ? at + e.seconds_us("hold", 0.3) : at, code, false});
        }
    } else if (!silent_) {
        // The operator of a healthy run: each key the prompts name, pressed
        // and released, a second apart, then MENU.
        Time at = 1 * kSecond;
        for (const char *name : {"ENTER", "UP", "DOWN", "LEFT", "RIGHT", "MENU"}) {
            keys_.push_back({at, key_code(name), true});
            keys_.push_back({at + 300 * kMillisecond, key_code(name), false});
            at += kSecond;
        }
    }
    for (const Section &e : s.list("bytes")) {
        e.only({"at", "hex"});
        raw_.push_back({e.seconds_us("at", 0), e.hex("hex")});
    }

    // A serial port as the kernel leaves it before anyone configures it.
    tio_.c_iflag = ICRNL | IXON;
    tio_.c_oflag = OPOST | ONLCR;
    tio_.c_cflag = CS8 | CREAD | HUPCL;
    tio_.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    tio_.c_cc[VMIN] = 1;
    cfsetispeed(&tio_, B9600);
    cfsetospeed(&tio_, B9600);

    if (!s.flag("missing", false))
        k_.add_device("/dev/ttyS2", this);
}

int PanelController::open(OpenFile &f) {
    k_.trace("panel", "open",
             {{"flags", f.flags},
              {"nonblock", (f.flags & O_NONBLOCK) != 0},
              {"noctty", (f.flags & O_NOCTTY) != 0}});
    if (!opened_) {
        opened_ = true;
        schedule_script();
    }
    return 0;
}

void PanelController::key_event(int code, bool pressed) {
    send(key_frame(code, pressed), "key",
         {{"key", code < kKeyCount ? kKeyNames[code] : ""},
          {"code", code},
          {"state", pressed ? "press" : "release"}});
}

void PanelController::schedule_script() {
    for (const KeyEvent &e : keys_) {
        int code = e.code;
        bool pressed = e.pressed;
        k_.after(e.at, [this, code, pressed] { key_event(code, pressed); });
    }
    for (const RawBytes &r : raw_) {
        std::vector<uint8_t> bytes = r.bytes;
        k_.after(r.at, [this, bytes] { send(bytes, "bytes", {}); });
    }
}

void PanelController::send(const std::vector<uint8_t> &bytes, const char *what,
                           nlohmann::json info) {
    size_t room = queue_limit_ > rx_.size() ? queue_limit_ - rx_.size() : 0;
    size_t take = std::min(room, bytes.size());
    rx_.insert(rx_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    info["what"] = what;
    info["bytes"] = hex(bytes);
    k_.trace("panel", "send", info);
    if (take < bytes.size())
        k_.trace("panel", "overrun", {{"dropped", bytes.size() - take}});
}

ssize_t PanelController::read(OpenFile &, void *buf, size_t n) {
    if (rx_.empty())
        return -EAGAIN;
    size_t take = std::min(n, rx_.size());
    auto *out = static_cast<uint8_t *>(buf);
    std::copy(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(take), out);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(take));
    return static_cast<ssize_t>(take);
}

ssize_t PanelController::write(OpenFile &, const void *buf, size_t n) {
    bool fresh = tx_.empty();
    const auto *b = static_cast<const uint8_t *>(buf);
    tx_.insert(tx_.end(), b, b + n);
    parse_written(fresh, n);
    return static_cast<ssize_t>(n);
}

void PanelController::parse_written(bool fresh, size_t written) {
    bool first = true;
    size_t pos = 0;
    while (pos < tx_.size()) {
        if (tx_[pos] != kStart) {
            size_t end = pos;
            while (end < tx_.size() && tx_[end] != kStart)
                ++end;
            k_.trace("panel", "garbage", {{"bytes", hex(&tx_[pos], end - pos)}});
            pos = end;
            first = false;
            continue;
        }
        if (tx_.size() - pos < 2)
            break;
        size_t len = tx_[pos + 1];
        if (len < 4) {
            k_.trace("panel", "garbage", {{"bytes", hex(&tx_[pos], 1)}});
            ++pos;
            first = false;
            continue;
        }
        if (tx_.size() - pos < len)
            break;
        std::vector<uint8_t> frame(tx_.begin() + static_cast<std::ptrdiff_t>(pos),
                                   tx_.begin() + static_cast<std::ptrdiff_t>(pos + len));
        bool whole = fresh && first && len == written;
        pos += len;
        first = false;
        if (checksum(frame.data(), len - 1) != frame[len - 1]) {
            k_.trace("panel", "bad_checksum",
                     {{"bytes", hex(frame)}, {"expected", checksum(frame.data(), len - 1)}});
            continue;
        }
        on_frame(frame, whole);
    }
    tx_.erase(tx_.begin(), tx_.begin() + static_cast<std::ptrdiff_t>(pos));
    if (!tx_.empty())
        k_.trace("panel", "partial_frame", {{"bytes", hex(tx_)}});
}

void PanelController::on_frame(const std::vector<uint8_t> &frame, bool whole_write) {
    bool command = frame.size() == 7 && frame[2] == 0x30;
    if (!command) {
        k_.trace("panel", "frame",
                 {{"type", frame[2]}, {"bytes", hex(frame)}, {"whole_write", whole_write}});
        return;
    }
    Command c = {frame[3], frame[4], frame[5]};
    bool hb_shape = c[1] == 0 && c[2] == 0;
    bool heartbeat = hb_shape && ((variant_ != 2 && c[0] == kJoystickHeartbeat) ||
                                  (variant_ != 1 && c[0] == kKeypadHeartbeat));
    if (heartbeat) {
        k_.trace("panel", "heartbeat", {{"bytes", hex(frame)}, {"whole_write", whole_write}});
        if (answer_heartbeats_) {
            k_.after(reply_delay_, [this, frame] { send(frame, "reply", {}); });
        }
        return;
    }
    k_.trace("panel", "led",
             {{"cmd", c[0]},
              {"p1", c[1]},
              {"p2", c[2]},
              {"bytes", hex(frame)},
              {"whole_write", whole_write}});
    if (answer_leds_)
        k_.after(reply_delay_, [this, frame] { send(frame, "reply", {}); });
    on_led(c);
}

// Sequences are recognised as they arrive. One sequence may be the start
// of a longer one (on the keypad variant LED_CHANNEL_FUNC_OFF begins
// LED_ALL_OFF), so a complete match that could still grow waits for the
// next command frame, or for a short quiet spell, before it counts.
void PanelController::on_led(const Command &c) {
    if (sequences_ == nullptr) {
        k_.trace("panel", "led_stray", {{"bytes", hex(c.data(), 3)}, {"why", "no panel variant"}});
        return;
    }
    pending_.push_back(c);
    pending_at_.push_back(k_.now());
    for (;;) {
        const Sequence *exact = nullptr;
        bool longer = false;
        for (const Sequence &s : *sequences_) {
            if (s.frames.size() < pending_.size() ||
                !std::equal(pending_.begin(), pending_.end(), s.frames.begin()))
                continue;
            if (s.frames.size() == pending_.size())
                exact = &s;
            else
                longer = true;
        }
        if (exact != nullptr && !longer) {
            emit_pending(pending_.size());
            return;
        }
        if (exact != nullptr || longer) {
            arm_flush();
            return;
        }
        // Nothing continues this way. The frames before this one may have
        // been a complete sequence that waited to see whether it grew.
        size_t head = pending_.size() - 1;
        bool head_done = false;
        for (const Sequence &s : *sequences_)
            head_done =
                head_done || (head > 0 && s.frames.size() == head &&
                              std::equal(s.frames.begin(), s.frames.end(), pending_.begin()));
        if (head_done) {
            emit_pending(head);
            continue;
        }
        k_.trace("panel", "led_stray",
                 {{"bytes", hex(pending_.front().data(), 3)}, {"why", "in no sequence"}});
        pending_.erase(pending_.begin());
        pending_at_.erase(pending_at_.begin());
        if (pending_.empty())
            return;
    }
}

void PanelController::emit_pending(size_t count) {
    std::vector<Command> done(pending_.begin(),
                              pending_.begin() + static_cast<std::ptrdiff_t>(count));
    for (const Sequence &s : *sequences_)
        if (s.frames == done) {
            k_.trace("panel", "led_mode",
                     {{"mode", s.mode},
                      {"value", s.value},
                      {"frames", count},
                      {"start", pending_at_.front()},
                      {"last", pending_at_[count - 1]},
                      {"end", k_.now()}});
            break;
        }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    pending_at_.erase(pending_at_.begin(),
                      pending_at_.begin() + static_cast<std::ptrdiff_t>(count));
    ++pending_generation_;
}

bool PanelController::pending_complete() const {
    for (const Sequence &s : *sequences_)
        if (s.frames == pending_)
            return true;
    return false;
}

// A sequence left unfinished (the program ended or stopped in the middle of
// one) is reported as such rather than silently forgotten.
void PanelController::flush_pending() {
    if (pending_.empty())
        return;
    if (pending_complete()) {
        emit_pending(pending_.size());
        return;
    }
    std::string frames;
    for (const Command &c : pending_)
        frames += (frames.empty() ? "" : ", ") + hex(c.data(), 3);
    k_.trace("panel", "led_incomplete", {{"frames", frames}, {"start", pending_at_.front()}});
    pending_.clear();
    pending_at_.clear();
    ++pending_generation_;
}

void PanelController::arm_flush() {
    uint64_t generation = ++pending_generation_;
    Time delay = pending_complete() ? waits_.grow : waits_.incomplete;
    k_.after(delay, [this, generation] {
        if (generation == pending_generation_)
            flush_pending();
    });
}

void PanelController::close(OpenFile &) {
    flush_pending();
}

int PanelController::tcsetattr(OpenFile &, int action, const struct termios &tio) {
    nlohmann::json info = {{"action", action_name(action)},
                           {"ispeed", baud(cfgetispeed(&tio))},
                           {"ospeed", baud(cfgetospeed(&tio))},
                           {"cflag", tio.c_cflag},
                           {"iflag", tio.c_iflag},
                           {"oflag", tio.c_oflag},
                           {"lflag", tio.c_lflag},
                           {"vmin", tio.c_cc[VMIN]},
                           {"vtime", tio.c_cc[VTIME]}};
    if (tcsetattr_fails_) {
        info["result"] = -EIO;
        k_.trace("panel", "tcsetattr", info);
        return -EIO;
    }
    if (action != TCSANOW && action != TCSADRAIN && action != TCSAFLUSH) {
        info["result"] = -EINVAL;
        k_.trace("panel", "tcsetattr", info);
        return -EINVAL;
    }
    info["result"] = 0;
    k_.trace("panel", "tcsetattr", info);
    tio_ = tio;
    return 0;
}

int PanelController::tcgetattr(OpenFile &, struct termios &tio) {
    tio = tio_;
    return 0;
}

std::unique_ptr<Model> make_panel(Kernel &k, const Section &s) {
    return std::make_unique<PanelController>(k, s);
}

} // namespace sim
