#include "sim/tool/interactive.h"

#include "sim/models/console.h"
#include "sim/models/panel.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// The terminal as the person had it, put back on every way out.
struct termios saved_tio;
bool tio_saved = false;

void restore_terminal() {
    if (tio_saved)
        ::tcsetattr(0, TCSANOW, &saved_tio);
}

void restore_and_reraise(int sig) {
    restore_terminal();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// A signal that asks ftq-sim to end is passed on to ftq, as the board's
// kernel would deliver it, so that the run ends its own way and everything
// recorded up to then is still written.
// An atomic, not a volatile: the handler runs on the main thread while the
// simulated ftq's thread reads it; a lock-free atomic is safe in both.
std::atomic<int> signal_to_pass{0};
static_assert(std::atomic<int>::is_always_lock_free);

void pass_on(int sig) {
    signal_to_pass.store(sig, std::memory_order_relaxed);
}

void write_out(const std::string &s) {
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(1, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

const char *const KEYS = "  Enter        the console's Enter (ends a console wait)\n"
                         "  arrow keys   panel keys UP, DOWN, LEFT, RIGHT (press and release)\n"
                         "  e            panel key ENTER (the joystick on types 1 and 6)\n"
                         "  m            panel key MENU (ends the key test)\n"
                         "  Ctrl-C       interrupt ftq, as on the board's console\n\n";

// Colours only for a terminal: a file or a pipe gets the plain text.
bool colour = false;

std::string paint(const char *code, const std::string &text) {
    return colour ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
}

std::string legend(double speed) {
    char pace[96];
    if (speed == 1)
        snprintf(pace, sizeof pace, "at the speed of the wall clock");
    else
        snprintf(pace, sizeof pace, "%g virtual seconds to each second of the wall clock", speed);
    return paint("1", "ftq-sim interactive") + ": virtual time runs " + pace + ".\n" + KEYS;
}

double wall_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

class Operator {
  public:
    Operator(Kernel &k, double speed) : k_(k), speed_(speed) {
        start_wall_ = wall_now();
        start_virtual_ = k.now();
    }

    Time pace(Time next) {
        if (passed_on_)
            return next;
        for (;;) {
            if (int sig = signal_to_pass.load(std::memory_order_relaxed)) {
                // Once ftq has the signal nobody is left to pace for: the
                // rest of the run takes virtual time only.
                passed_on_ = true;
                Time at = k_.now();
                k_.at(at, [this, sig] { k_.signal_all(sig); });
                return at;
            }
            double target =
                next == Kernel::kForeverTime
                    ? 1e300
                    : start_wall_ + static_cast<double>(next - start_virtual_) / kSecond / speed_;
            double wait = target - wall_now();
            if (wait <= 0)
                return next;
            int timeout_ms = wait > 1.0 ? 1000 : static_cast<int>(wait * 1000) + 1;
            if (!input_open_) {
                ::usleep(static_cast<useconds_t>(timeout_ms) * 1000);
                continue;
            }
            struct pollfd p = {0, POLLIN, 0};
            int ready = ::poll(&p, 1, timeout_ms);
            if (ready <= 0)
                continue;
            char buf[64];
            ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                input_open_ = false;
                continue;
            }
            Time at =
                start_virtual_ + static_cast<Time>((wall_now() - start_wall_) * speed_ * kSecond);
            at = std::max(at, k_.now());
            if (next != Kernel::kForeverTime)
                at = std::min(at, next);
            for (ssize_t i = 0; i < n; ++i)
                take(static_cast<unsigned char>(buf[i]), at);
            return at;
        }
    }

  private:
    void take(unsigned char c, Time at) {
        if (escape_ == 1) {
            escape_ = c == '[' ? 2 : 0;
            return;
        }
        if (escape_ == 2) {
            escape_ = 0;
            const char *key = c == 'A'   ? "UP"
                              : c == 'B' ? "DOWN"
                              : c == 'C' ? "RIGHT"
                              : c == 'D' ? "LEFT"
                                         : nullptr;
            if (key)
                panel_key(key, at);
            return;
        }
        if (c == 0x1B) {
            escape_ = 1;
        } else if (c == 0x03) {
            k_.at(at, [this] { k_.signal_all(SIGINT); });
        } else if (c == '\r' || c == '\n') {
            write_out("\n");
            type("\n", at);
        } else if (c == 'e' || c == 'E') {
            panel_key("ENTER", at);
        } else if (c == 'm' || c == 'M') {
            panel_key("MENU", at);
        } else if (c >= 0x20 && c < 0x7F) {
            write_out(std::string(1, static_cast<char>(c)));
            type(std::string(1, static_cast<char>(c)), at);
        }
    }

    void type(const std::string &text, Time at) {
        Console *console = k_.model<Console>();
        if (console)
            k_.at(at, [console, text] { console->type(text); });
    }

    void panel_key(const char *name, Time at) {
        PanelController *panel = k_.model<PanelController>();
        int code = PanelController::key_code(name);
        if (panel == nullptr || code < 0)
            return;
        k_.at(at, [panel, code] { panel->key_event(code, true); });
        k_.at(at + 150 * kMillisecond, [panel, code] { panel->key_event(code, false); });
    }

    Kernel &k_;
    double speed_;
    double start_wall_;
    Time start_virtual_;
    bool input_open_ = true;
    bool passed_on_ = false;
    int escape_ = 0;
};

} // namespace

void show_board_events(Kernel &kernel) {
    kernel.trace().listen([](const TraceEvent &e) {
        if (e.dev == "panel" && e.ev == "led_mode" && e.data.contains("mode"))
            write_out(paint("36", "  [panel LEDs: " + e.data["mode"].get<std::string>() + "]") +
                      "\n");
        else if (e.dev == "vexio" && e.ev == "buzzer_on")
            write_out(paint("33", "  [buzzer sounds]") + "\n");
        else if (e.dev == "vexio" && e.ev == "buzzer_off" && e.data.contains("ms"))
            write_out(paint("33", "  [buzzer silent after " +
                                      std::to_string(e.data["ms"].get<int64_t>()) + " ms]") +
                      "\n");
        else if (e.dev == "vexio" && e.ev == "watchdog_armed")
            write_out(paint("35", "  [watchdog armed: the board restarts]") + "\n");
    });
}

InteractiveSession::InteractiveSession(Kernel &kernel, double speed) {
    if (::isatty(0) && ::tcgetattr(0, &saved_tio) == 0) {
        tio_saved = true;
        std::atexit(restore_terminal);
        std::set_terminate([] {
            restore_terminal();
            std::abort();
        });
        ::signal(SIGQUIT, restore_and_reraise);
        struct termios raw = saved_tio;
        // Keys reach us one by one and Ctrl-C as a byte: the simulated
        // console decides what they mean. Output processing stays, so a
        // newline still returns the carriage.
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        ::tcsetattr(0, TCSANOW, &raw);
    }
    // Without SA_RESTART, so that the wait for a key ends at once.
    struct sigaction pass = {};
    pass.sa_handler = pass_on;
    sigemptyset(&pass.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &pass, nullptr);
    colour = ::isatty(1) == 1;
    write_out(legend(speed));
    show_board_events(kernel);
    auto op = std::make_shared<Operator>(kernel, speed);
    kernel.set_pacer([op](Time next) { return op->pace(next); });
}

InteractiveSession::~InteractiveSession() {
    restore_terminal();
}

} // namespace sim
