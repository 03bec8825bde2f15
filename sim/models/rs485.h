// The RS-485 port /dev/ttyS1 with the loop-back fixture on its far end.
//
// Bytes the port sends go out on the line one after another at the speed
// the port was set to (10 bits a byte), and come back into the port's
// receive queue through the fixture. The line is driven only after the board
// I/O driver's request 7 and heard only after its request 8.
//
// The simulated kernel carries it as /dev/ttyS1; the kernel test bed's
// rs485-peer carries its line and fixture at the far end of a real port.
#pragma once

#include "sim/kernel/model.h"

#include <deque>
#include <termios.h>

namespace sim {

class Rs485Port : public Model, public Device {
  public:
    Rs485Port(Host &k, const Section &s);

    int open(OpenFile &f) override;
    int tcsetattr(OpenFile &, int actions, const struct termios &t) override;
    int tcgetattr(OpenFile &, struct termios &t) override;
    bool writable(const OpenFile &) override;
    bool readable(const OpenFile &) override { return hung_ || !rx_.empty(); }
    ssize_t write(OpenFile &, const void *buf, size_t n) override;
    ssize_t read(OpenFile &, void *buf, size_t n) override;

  private:
    void hangup();
    Time next_slot();
    void send(uint8_t b);
    void arrive(uint8_t b);

    Host &k_;
    bool connected_ = true;
    int64_t lose_ = -1;
    int64_t corrupt_ = -1;
    int64_t extra_after_ = -1;
    uint8_t extra_value_ = 0xAA;
    size_t accept_ = 4096;
    Time busy_after_write_ = 0;
    bool never_writable_ = false;
    int tcsetattr_error_ = 0;
    bool hung_ = false;
    int64_t hangup_after_write_ = 0; // 0: never
    int64_t writes_ = 0;

    struct termios tio_ {};
    int64_t baud_ = 9600;
    Time busy_until_ = 0;
    Time line_free_at_ = 0;
    Time burst_start_ = 0;
    int64_t burst_bytes_ = 0;
    int64_t sent_ = 0;
    std::deque<uint8_t> rx_;
};

} // namespace sim
