// The front panel: its serial link, heartbeat, LED frames and key test.
#pragma once

#include <cstdint>

struct payload {
    int len;
    uint8_t data[8];
};

extern int panelfd;
extern uint32_t panelRepliesHigh;
extern uint32_t panelRepliesLow;

int panelopen();
void makepanelframe(const payload *p, uint8_t *frame, int *len);
int sendhb();
void *hbthread(void *arg);
void sigintreport(int sig);

enum {
    LED_CHANNEL_FUNC_ON = 3,
    LED_CHANNEL_FUNC_OFF = 4,
    LED_RED_ON = 5,
    LED_STATUS_ON = 6,
    LED_STATUS_OFF = 7,
    LED_ALL_OFF = 9,
};
void panelleds(int fd, int mode);

int paneltest();
void panelkeyloop(int fd);
