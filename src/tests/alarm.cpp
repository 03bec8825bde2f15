// Test 5: the alarm I/O test. Each alarm output is switched on in turn and
// the inputs that the fixture wires to it must follow.
#include "board/boardinfo.h"
#include "board/buzzer.h"
#include "board/vexio.h"
#include "driver/result.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "tests/peripheral.h"
#include "tests/state.h"

namespace {

constexpr unsigned SETTLE_S = 2;

// Read by the interrupt handler while the test updates them.
volatile uint32_t alarmSuccessCount;
volatile uint32_t alarmErrorCount;

void alarmsigint(int sig) {
    SignalSafeLine()
        .text("success is ")
        .number(alarmSuccessCount)
        .text(", and error is ")
        .number(alarmErrorCount)
        .text("\n")
        .write_to(1);
    sys::signal(sig, SIG_DFL);
    sys::raise(sig);
}

// What the fixture makes each output drive, per the board's output count:
// the expected input state is the output mask times this factor.
uint32_t wiringfactor(int outputs) {
    switch (outputs) {
    case 2:
        return 0x5;
    case 4:
        return 0x1111;
    default:
        return 0;
    }
}

void setoutputs(int fd, uint32_t mask) {
    // The driver takes the mask in the processor's byte order.
    sys::write(fd, &mask, sizeof mask);
}

// The input state after the outputs settled; false when it could not be read.
bool readinputs(int fd, uint32_t *inputs) {
    sys::sleep(SETTLE_S);
    // The driver fills only the low two bytes of the word.
    *inputs = 0;
    if (sys::ioctl(fd, VEXIO_ALARM_INPUTS, inputs) < 0) {
        say("IOCTL ERROR\n");
        return false;
    }
    return true;
}

void checkfailed(bool outputon) {
    alarmErrorCount = alarmErrorCount + 1;
    if (outputon)
        beep(2);
    alarmError = 1;
}

} // namespace

int alarmtest() {
    sys::signal(SIGINT, alarmsigint);
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0) {
        say("open /dev/iop failed\n");
        // No check was made: the board must not pass on it.
        alarmError = 1;
        return -1;
    }
    sys::ioctl(fd, VEXIO_ALARM_SETUP, 0);

    uint32_t inputs = 0;
    setoutputs(fd, 0);
    bool read = readinputs(fd, &inputs);
    if (inputs != 0) {
        say("\n 断开报警输出时, 报警输入为 %x ，报警输入应为 0\n", inputs);
        checkfailed(false);
    } else if (!read) {
        // Nothing was read, so nothing was shown to be off.
        checkfailed(false);
    } else {
        alarmSuccessCount = alarmSuccessCount + 1;
    }

    uint32_t factor = wiringfactor(alarmOutCount);
    if (factor == 0) {
        // The start-up decoding left no known wiring: the outputs cannot be
        // checked, and an unchecked board must not pass.
        say("unknown alarm output count %d, alarm outputs not tested\n",
            static_cast<int>(alarmOutCount));
        checkfailed(true);
    }
    for (int output = 0; factor != 0 && output < alarmOutCount; ++output) {
        uint32_t mask = 1u << output;
        setoutputs(fd, mask);
        readinputs(fd, &inputs);
        uint32_t expected = mask * factor;
        if (inputs != expected) {
            say("\n 报警输出为 %x, 报警输入为 %x ，报警输入应为 %x\n", mask, inputs, expected);
            checkfailed(true);
        } else {
            alarmSuccessCount = alarmSuccessCount + 1;
        }
    }

    uint32_t passed = alarmSuccessCount;
    uint32_t failed = alarmErrorCount;
    say("成功 %u, 失败 %u\n", passed, failed);
    sys::close(fd);
    return static_cast<int>(failed);
}

void alarm_reset_state() {
    alarmSuccessCount = 0;
    alarmErrorCount = 0;
}
