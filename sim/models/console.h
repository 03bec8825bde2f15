// The operator's console: standard input, output and error of the program.
//
// The operator either presses Enter at each console wait (after reading
// what the program printed), types a script of lines at given times, is not
// there at all, or the input is at its end.
#pragma once

#include "sim/kernel/model.h"

#include <algorithm>
#include <cstring>

namespace sim {

class Console : public Model, public Device {
  public:
    Console(Kernel &k, const Section &s) : k_(k) {
        s.only({"operator", "delay", "script", "then"});
        mode_ = s.choice("operator", "enter", {"enter", "absent", "eof", "script"});
        // A setting the chosen operator ignores would make the scenario say
        // more than the run does.
        if (mode_ != "enter")
            s.unused("delay", "unless operator is \"enter\"");
        if (mode_ != "script") {
            s.unused("script", "unless operator is \"script\"");
            s.unused("then", "unless operator is \"script\"");
        }
        delay_ = s.seconds_us("delay", 0.3);
        then_eof_ = s.choice("then", "absent", {"absent", "eof"}) == "eof";
        if (mode_ == "script") {
            for (const Section &line : s.list("script")) {
                line.only({"at", "text"});
                Time at = line.seconds_us("at", 0);
                std::string text = line.content("text", "\n");
                ++script_left_;
                k_.at(at, [this, text] {
                    input_ += text;
                    --script_left_;
                    k_.trace("console", "type", {{"text", text}});
                });
            }
        }
        k_.vfs().add_device("/dev/console", this);
    }

    ssize_t read(OpenFile &f, void *buf, size_t n) override {
        if (f.path != "/dev/stdin" && f.path != "/dev/console")
            return -EBADF;
        if (!input_.empty()) {
            size_t take = std::min(n, input_.size());
            std::memcpy(buf, input_.data(), take);
            input_.erase(0, take);
            return static_cast<ssize_t>(take);
        }
        return at_end() ? 0 : -EAGAIN;
    }

    ssize_t write(OpenFile &f, const void *buf, size_t n) override {
        // A terminal takes a write to standard input too, so it is shown;
        // its stream is kept apart, as a pipe there would lose it.
        int stream = f.path == "/dev/stderr" ? 2 : f.path == "/dev/stdin" ? 0 : 1;
        k_.record_console(stream, buf, n);
        return static_cast<ssize_t>(n);
    }

    bool readable(const OpenFile &) override {
        if (!input_.empty() || at_end())
            return true;
        // A console wait is starting: an operator who has seen new output
        // presses Enter a moment later; one who has seen nothing new waits.
        size_t seen = k_.console().size();
        if (mode_ == "enter" && !press_pending_ && seen > output_at_last_press_) {
            press_pending_ = true;
            output_at_last_press_ = seen;
            // Where in the console's bytes the wait began and the press came,
            // so that an operator elsewhere (the kernel test bed's) can be
            // held to the same answers at the same points.
            size_t waited_at = shown();
            k_.after(delay_, [this, waited_at] {
                input_ += "\n";
                press_pending_ = false;
                k_.trace("console", "type",
                         {{"text", "\n"}, {"waited_at", waited_at}, {"shown", shown()}});
            });
        }
        return false;
    }

    // What a person types at the console now (interactive runs).
    void type(const std::string &text) {
        input_ += text;
        k_.trace("console", "type", {{"text", text}});
    }

  private:
    size_t shown() const {
        size_t n = 0;
        for (const auto &w : k_.console())
            n += w.bytes.size();
        return n;
    }

    bool at_end() const {
        return mode_ == "eof" || (mode_ == "script" && script_left_ == 0 && then_eof_);
    }

    Kernel &k_;
    std::string mode_;
    Time delay_;
    bool then_eof_ = false;
    int script_left_ = 0;
    std::string input_;
    bool press_pending_ = false;
    size_t output_at_last_press_ = 0;
};

} // namespace sim
