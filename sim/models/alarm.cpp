// The alarm test fixture: every alarm output wired to a fixed group of alarm
// inputs. The board I/O driver asks it for the input state that the outputs
// last written give.
#include "sim/kernel/model.h"

#include <array>

namespace sim {

namespace {

class AlarmFixture : public Model {
  public:
    AlarmFixture(Host &k, const Section &s) : k_(k) {
        s.only({"connected", "outputs", "stuck_active", "miswire", "read_error"});
        connected_ = s.flag("connected", true);
        outputs_ = static_cast<int>(s.integer("outputs", board_outputs(k), 2, 4));
        if (outputs_ == 3)
            s.fail("outputs", "the fixture exists for 2 or 4 outputs");
        // Output n drives inputs n and n+2 (two outputs, four inputs), or
        // n, n+4, n+8 and n+12 (four outputs, sixteen inputs).
        uint32_t factor = outputs_ == 2 ? 0x5 : 0x1111;
        for (int n = 0; n < outputs_; ++n)
            drives_[n] = (1u << n) * factor;
        int inputs = outputs_ == 2 ? 4 : 16;
        stuck_ = static_cast<uint32_t>(s.integer("stuck_active", 0, 0, (1 << inputs) - 1));
        for (const Section &m : s.list("miswire")) {
            m.only({"output", "inputs"});
            int output = static_cast<int>(m.integer("output", 1, 1, outputs_));
            uint32_t mask = 0;
            for (const Section &in : m.list("inputs"))
                mask |= 1u << (in.as_integer(1, inputs) - 1);
            drives_[output - 1] = mask;
        }
        read_error_ = s.errno_value("read_error", 0);
        k_.wiring().alarm_inputs = [this](uint32_t outputs) { return inputs_for(outputs); };
    }

  private:
    // The fixture variant that matches the board's own alarm output code.
    static int64_t board_outputs(Host &k) {
        Section info = k.scenario().section("board").child("info");
        return info.integer("alarmOutCode", 0, 0, 7) == 1 ? 2 : 4;
    }

    int64_t inputs_for(uint32_t outputs) const {
        if (read_error_ != 0)
            return -read_error_;
        uint32_t in = stuck_;
        if (connected_)
            for (int n = 0; n < outputs_; ++n)
                if (outputs & (1u << n))
                    in |= drives_[n];
        return in;
    }

    Host &k_;
    bool connected_ = true;
    int outputs_ = 4;
    std::array<uint32_t, 4> drives_{};
    uint32_t stuck_ = 0;
    int read_error_ = 0;
};

} // namespace

std::unique_ptr<Model> make_alarm(Host &host, const Section &s) {
    return std::make_unique<AlarmFixture>(host, s);
}

std::unique_ptr<Model> make_alarm(Kernel &k, const Section &s) {
    return make_alarm(static_cast<Host &>(k), s);
}

} // namespace sim
