// Placeholder until the front panel is built: no link, no test.
#include "driver/procstate.h"
#include "panel/panel.h"

int panelfd = -1;
uint32_t panelRepliesHigh = 0;
uint32_t panelRepliesLow = 0;

int panelopen() { return 0; }
void makepanelframe(const payload *, uint8_t *, int *len) { *len = 0; }
int sendhb() { return 1; }
void *hbthread(void *) { return nullptr; }
void sigintreport(int) {}
void panelleds(int, int) {}
int paneltest() { return 0; }
void panelkeyloop(int) {}
void panel_reset_state() {}
