// Each peripheral test's process-wide state, reset as a fresh process has it.
#pragma once

void rs485_reset_state();
void alarm_reset_state();
void rtc_reset_state();
void usb_reset_state();
void net_reset_state();
