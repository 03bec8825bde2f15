// The front-panel controller at the far end of /dev/ttyS2.
#pragma once

#include "sim/kernel/model.h"

#include <array>
#include <deque>
#include <string>
#include <vector>

namespace sim {

class PanelController : public Model, public Device {
  public:
    // How long the panel waits on an LED sequence before it judges it: a
    // complete one that might still grow, and one stopped half way. The
    // defaults are the real panel's; only a transport whose bytes come
    // late for reasons of its own (the kernel test bed's starved host)
    // waits longer.
    struct LedWaits {
        Time grow = 100 * kMillisecond;
        Time incomplete = 1500 * kMillisecond;
    };
    PanelController(Host &k, const Section &s) : PanelController(k, s, LedWaits{}) {}
    PanelController(Host &k, const Section &s, LedWaits waits);

    int open(OpenFile &f) override;
    ssize_t read(OpenFile &f, void *buf, size_t n) override;
    ssize_t write(OpenFile &f, const void *buf, size_t n) override;
    void close(OpenFile &f) override;
    bool readable(const OpenFile &) override { return !rx_.empty(); }
    int tcsetattr(OpenFile &f, int action, const struct termios &tio) override;
    int tcgetattr(OpenFile &f, struct termios &tio) override;

    // Bytes the panel has sent that the program has not read yet.
    std::string queued() const { return std::string(rx_.begin(), rx_.end()); }
    // The code of a key name (the first code that carries it), or -1.
    static int key_code(const std::string &name);
    // A key pressed or released on the panel now.
    void key_event(int code, bool pressed);
    // The bytes of a key event frame, as the panel sends it.
    static std::vector<uint8_t> key_frame(int code, bool pressed);

  private:
    using Command = std::array<uint8_t, 3>;
    struct Sequence {
        const char *mode;
        int value;
        std::vector<Command> frames;
    };

    static const std::vector<Sequence> &variant_sequences(int variant);
    void schedule_script();
    void send(const std::vector<uint8_t> &bytes, const char *what, nlohmann::json info);
    void parse_written(bool fresh, size_t written);
    void on_frame(const std::vector<uint8_t> &frame, bool whole_write);
    void on_led(const Command &c);
    void emit_pending(size_t count);
    void arm_flush();
    bool pending_complete() const;
    void flush_pending();

    Host &k_;
    LedWaits waits_;
    int variant_ = 0; // 1: board types 1 and 6, 2: board types 2 and 5, 0: none
    bool tcsetattr_fails_ = false;
    bool silent_ = false;
    bool answer_heartbeats_ = true;
    bool answer_leds_ = false;
    Time reply_delay_ = 0;
    size_t queue_limit_ = 4096;

    struct KeyEvent {
        Time at;
        int code;
        bool pressed;
    };
    struct RawBytes {
        Time at;
        std::vector<uint8_t> bytes;
    };
    std::vector<KeyEvent> keys_;
    std::vector<RawBytes> raw_;

    bool opened_ = false;
    struct termios tio_ {};
    std::deque<uint8_t> rx_;
    std::vector<uint8_t> tx_;

    const std::vector<Sequence> *sequences_ = nullptr;
    std::vector<Command> pending_;
    std::vector<Time> pending_at_; // when each pending frame arrived
    uint64_t pending_generation_ = 0;
};

} // namespace sim
