#include "tests/state.h"

#include "driver/procstate.h"

void peripheral_reset_state() {
    rs485_reset_state();
    alarm_reset_state();
    rtc_reset_state();
    usb_reset_state();
    net_reset_state();
}
