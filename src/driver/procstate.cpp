#include "driver/procstate.h"

#include "driver/result.h"

void driver_reset_state() {
    usbResult = 0;
    sataResult = 0;
    networkError = 0;
    rs485Error = 0;
    alarmError = 0;
    rtcError = 0;
}

void reset_process_state() {
    driver_reset_state();
    board_reset_state();
    panel_reset_state();
    peripheral_reset_state();
    storage_reset_state();
}
