// The board I/O driver's node and the requests the program makes of it.
#pragma once

constexpr const char *VEXIO_PATH = "/dev/vexio";

constexpr unsigned long VEXIO_BUZZER_TONE = 0x01;          // 4 on, 0x104 off
constexpr unsigned long VEXIO_BUZZER_SETUP = 0x03;         // 4
constexpr unsigned long VEXIO_BOARD_INFO = 0x04;           // 256-byte raw board information block
constexpr unsigned long VEXIO_RS485_TX = 0x07;             // 1
constexpr unsigned long VEXIO_RS485_RX = 0x08;             // 1
constexpr unsigned long VEXIO_DEVICE_INFO = 0x10;          // 256-byte device information block
constexpr unsigned long VEXIO_WATCHDOG = 0x20;             // 7 at set-up, 5 to restart the board
constexpr unsigned long VEXIO_WATCHDOG_HOLD = 0x22;        // 0
constexpr unsigned long VEXIO_PMP_RESET = 0x52;            // chip mask
constexpr unsigned long VEXIO_ALARM_SETUP = 0x40026B91UL;  // _IOW('k', 0x91, 2 bytes)
constexpr unsigned long VEXIO_ALARM_INPUTS = 0x80026B90UL; // _IOR('k', 0x90, 2 bytes)

constexpr int BUZZER_ARG = 4;
constexpr int BUZZER_OFF = 0x104;
constexpr int WATCHDOG_SETUP = 7;
constexpr int WATCHDOG_RESTART = 5;
constexpr int PMP_CHIP1 = 0x100;
constexpr int PMP_CHIP2 = 0x80;
