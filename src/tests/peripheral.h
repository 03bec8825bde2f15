// The peripheral tests: RS-485 loop, alarm I/O, RTC, USB ports and the
// network link report.
#pragma once

int rs485test();
int alarmtest();
int rtctest();
int usbtest();
int nettest();
int linkstate(int sock, const char *ifname);
int linkspeed(int sock, const char *ifname);
