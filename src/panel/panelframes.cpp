// The LED command frames: one fixed sequence per LED mode and panel
// variant. What the commands mean is the panel firmware's business; the
// sequences are what the panel expects to receive.
#include "board/boardinfo.h"
#include "panel/panel.h"
#include "platform/sys.h"

#include <cstddef>

namespace {

constexpr useconds_t SHORT_PAUSE_US = 10000;
constexpr useconds_t LONG_PAUSE_US = 1000000;

struct ledframe {
    uint8_t cmd;
    uint8_t p1;
    uint8_t p2;
    useconds_t pause; // after this frame
};

struct ledsequence {
    const ledframe *frames;
    size_t count;
};

template <size_t N> constexpr ledsequence seq(const ledframe (&frames)[N]) {
    return {frames, N};
}

constexpr useconds_t P = SHORT_PAUSE_US;

// Board types 1 and 6.
constexpr ledframe JOY_ALL_OFF[] = {
    {0x3B, 0x00, 0x00, P}, {0x07, 0x00, 0x00, P}, {0x17, 0x00, 0x00, P}, {0x19, 0x00, 0x00, P},
    {0x41, 0x00, 0x00, P}, {0x35, 0x00, 0x00, P}, {0x38, 0x00, 0x00, P}, {0x3B, 0x00, 0x00, P},
    {0x3C, 0x00, 0x00, P}, {0x39, 0x00, 0x00, P}, {0x36, 0x00, 0x00, P},
};
constexpr ledframe JOY_RED_ON[] = {
    {0x3B, 0x00, 0x00, P}, {0x07, 0xFF, 0xFF, P}, {0x17, 0x00, 0x01, P},
    {0x19, 0x00, 0x01, P}, {0x41, 0x00, 0x01, 0},
};
constexpr ledframe JOY_CHANNEL_FUNC_ON[] = {
    {0x3B, 0x00, 0x00, P},
    {0x07, 0x00, 0x00, P},
    {0x17, 0x00, 0x00, P},
    {0x18, 0x00, 0x00, P},
    {0x19, 0x00, 0x00, P},
    {0x41, 0x00, 0x00, P},
    {0x35, 0x00, 0x01, P},
    {0x38, 0x00, 0x01, P},
    {0x3B, 0x00, 0x00, P},
    {0x3C, 0xFF, 0xFF, P},
    {0x39, 0x00, 0x01, P},
    {0x36, 0x00, 0x01, P},
    {0x3A, 0x00, 0x00, LONG_PAUSE_US},
    {0x3A, 0x00, 0x01, 0},
};
constexpr ledframe JOY_CHANNEL_FUNC_OFF[] = {
    {0x35, 0x00, 0x00, P}, {0x38, 0x00, 0x00, P}, {0x3B, 0x00, 0x00, P},
    {0x3C, 0x00, 0x00, P}, {0x39, 0x00, 0x00, P}, {0x36, 0x00, 0x00, 0},
};
constexpr ledframe JOY_STATUS_ON[] = {
    {0x17, 0x00, 0x00, P},
    {0x18, 0x00, 0x00, P},
    {0x19, 0x00, 0x00, P},
    {0x41, 0x01, 0x00, 0},
};
constexpr ledframe JOY_STATUS_OFF[] = {
    {0x17, 0x00, 0x00, P},
    {0x18, 0x00, 0x01, P},
    {0x41, 0x00, 0x00, 0},
};

// Board types 2 and 5.
constexpr ledframe KEY_ALL_OFF[] = {
    {0x04, 0x00, 0x04, P}, {0x0D, 0x00, 0x00, P}, {0x0B, 0x00, 0x00, P},
    {0x0A, 0x00, 0x00, P}, {0x09, 0x00, 0x00, P},
};
constexpr ledframe KEY_RED_ON[] = {
    {0x04, 0x00, 0x04, P},
    {0x0B, 0xFF, 0xFF, P},
    {0x04, 0x00, 0xFF, P},
    {0x0A, 0x05, 0x00, 0},
};
constexpr ledframe KEY_CHANNEL_FUNC_ON[] = {
    {0x04, 0x00, 0x04, P}, {0x0B, 0x00, 0x00, P}, {0x04, 0x00, 0x04, P},
    {0x0D, 0xFF, 0xFF, P}, {0x0A, 0xFA, 0xFF, 0},
};
constexpr ledframe KEY_CHANNEL_FUNC_OFF[] = {
    {0x04, 0x00, 0x04, P},
    {0x0D, 0x00, 0x00, P},
    {0x0B, 0x00, 0x00, P},
    {0x0A, 0x00, 0x00, 0},
};
constexpr ledframe KEY_STATUS_ON[] = {{0x09, 0x00, 0x01, P}, {0x04, 0x00, 0x04, P}};
constexpr ledframe KEY_STATUS_OFF[] = {{0x04, 0x00, 0x04, P}, {0x09, 0x00, 0x00, P}};

bool findsequence(int mode, ledsequence *out) {
    bool joystick = boardtype == 1 || boardtype == 6;
    bool keypad = boardtype == 2 || boardtype == 5;
    if (!joystick && !keypad)
        return false;
    switch (mode) {
    case LED_ALL_OFF:
        *out = joystick ? seq(JOY_ALL_OFF) : seq(KEY_ALL_OFF);
        return true;
    case LED_RED_ON:
        *out = joystick ? seq(JOY_RED_ON) : seq(KEY_RED_ON);
        return true;
    case LED_CHANNEL_FUNC_ON:
        *out = joystick ? seq(JOY_CHANNEL_FUNC_ON) : seq(KEY_CHANNEL_FUNC_ON);
        return true;
    case LED_CHANNEL_FUNC_OFF:
        *out = joystick ? seq(JOY_CHANNEL_FUNC_OFF) : seq(KEY_CHANNEL_FUNC_OFF);
        return true;
    case LED_STATUS_ON:
        *out = joystick ? seq(JOY_STATUS_ON) : seq(KEY_STATUS_ON);
        return true;
    case LED_STATUS_OFF:
        *out = joystick ? seq(JOY_STATUS_OFF) : seq(KEY_STATUS_OFF);
        return true;
    default:
        return false;
    }
}

} // namespace

void panelleds(int fd, int mode) {
    ledsequence s;
    if (!findsequence(mode, &s))
        return;
    for (size_t i = 0; i < s.count; ++i) {
        const ledframe &f = s.frames[i];
        payload p = {4, {0x30, f.cmd, f.p1, f.p2}};
        uint8_t frame[sizeof p.data + 3];
        int len = 0;
        makepanelframe(&p, frame, &len);
        // Whole frames only: the heartbeat thread writes to the same port.
        sys::write(fd, frame, static_cast<size_t>(len));
        if (f.pause != 0)
            sys::usleep(f.pause);
    }
}
