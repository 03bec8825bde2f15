// Test 3: the operator presses the panel keys and watches the LEDs switch
// while the console echoes every key event.
#include "board/boardinfo.h"
#include "driver/driver.h"
#include "panel/panel.h"
#include "platform/console.h"
#include "platform/sys.h"

#include <cstring>

namespace {

constexpr int RXBUF_SIZE = 512;
constexpr int MIN_FRAME = 5;
constexpr int MAX_FRAME = 14;
constexpr time_t SILENCE_S = 5;
constexpr int64_t SILENCE_US = SILENCE_S * 1000000;
constexpr int64_t FAILED_READ_REST_US = 100000;

constexpr uint8_t TYPE_KEY = 0x20;
constexpr uint8_t TYPE_CONTROL_PANEL = 0x21;
constexpr uint8_t TYPE_MAIN_KEYBOARD = 0x22;
constexpr uint8_t TYPE_REPLY = 0x30;

// Indexed by the key code the panel sends. Some names occur twice; the key
// handling goes by name, so both codes of a name act alike.
const char *const keynames[] = {
    "AN0",   "AN1",     "AN2",      "AN3",   "AN4",  "AN5",    "AN6",      "AN7",     "AN8",
    "AN9",   "MENU",    "ESC",      "EDIT",  "A",    "VOIP",   "PLAY",     "REC",     "PAN",
    "INFO",  "DISPLAY", "UP",       "DOWN",  "LEFT", "RIGHT",  "AN10",     "AN11",    "AN12",
    "AN13",  "AN14",    "AN15",     "AN16",  "",     "",       "",         "ENTER",   "POWER",
    "F1",    "F2",      "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "SEARCH",  "PREVIOUS", "PAUSE", "LIVE", "REPLAY", "ZOOM_OUT", "ZOOM_IN", "PRESET",
    "TOUR",  "",        "SEQUANCE", "A",     "B",    "F1",     "F2",       "",        "ALARM",
    "EJECT", "",        "ARCHIVE",
};
constexpr int KEYCODE_MAX = static_cast<int>(sizeof keynames / sizeof keynames[0]) - 1;
static_assert(KEYCODE_MAX == 83, "the key-name table covers the codes 0 to 83");

void printprompts() {
    if (boardtype == 1 || boardtype == 6)
        say("面板按下摇杆       点亮所有红色灯\n");
    else if (boardtype == 2 || boardtype == 5)
        say("面板按下ENTER      点亮所有红色灯\n");
    else
        return;
    say("面板输入UP         关闭红色灯并点亮所有通道灯和功能灯\n"
        "面板输入DOWN       关闭所有通道灯和功能灯\n"
        "面板输入LEFT       点亮状态灯\n"
        "面板输入RIGHT      关闭状态灯\n"
        "面板输入MENU       退出测试\n");
}

void countreply() {
    // The low word never shows 0xFFFFFFFF: reaching it carries into the
    // high word at once.
    if (++panelRepliesLow == 0xFFFFFFFFu) {
        ++panelRepliesHigh;
        panelRepliesLow = 0;
    }
}

// Acts on one key event; true when it ends the test. The LED frames go to
// the panel link whichever descriptor the keys are read from.
bool keyevent(uint8_t code, uint8_t state) {
    if (code > KEYCODE_MAX) {
        say("unknow key\n");
        return false;
    }
    const char *name = keynames[code];
    say("key %s is %s\n", name, state != 0 ? "pressed" : "up");
    if (strcmp(name, "UP") == 0)
        panelleds(panelfd, LED_CHANNEL_FUNC_ON);
    else if (strcmp(name, "DOWN") == 0)
        panelleds(panelfd, LED_CHANNEL_FUNC_OFF);
    else if (strcmp(name, "ENTER") == 0)
        panelleds(panelfd, LED_RED_ON);
    else if (strcmp(name, "LEFT") == 0)
        panelleds(panelfd, LED_STATUS_ON);
    else if (strcmp(name, "RIGHT") == 0)
        panelleds(panelfd, LED_STATUS_OFF);
    else if (strcmp(name, "MENU") == 0)
        return true;
    return false;
}

// Acts on one complete frame; true when it ends the test.
bool handleframe(const uint8_t *frame) {
    switch (frame[2]) {
    case TYPE_KEY:
        return keyevent(frame[3], frame[4]);
    case TYPE_CONTROL_PANEL:
        say("control pannel is pressed\n");
        return false;
    case TYPE_MAIN_KEYBOARD:
        say("main control keyboard is pressed\n");
        return false;
    case TYPE_REPLY:
        countreply();
        return false;
    default:
        say("other messages is received\n");
        return false;
    }
}

// A port in error (hung up, or failing every read) stays readable. After a
// failed read the loop rests, and a spell of failed reads in a row that
// lasts as long as the silence ends the test as silence does. The spell
// starts at its first failed read: the quiet time before it is no failure,
// and a passing fault must not cost a key already on its way.
// spell: microseconds the spell has lasted, -1 when the last read worked;
// left: what the wait before the failed read left of its time-out. False
// once the spell has lasted the silence out.
bool restafterfailedread(int64_t *spell, const struct timeval &left) {
    int64_t waited = SILENCE_US - (static_cast<int64_t>(left.tv_sec) * 1000000 + left.tv_usec);
    *spell = *spell < 0 ? 0 : *spell + waited;
    int64_t rest = SILENCE_US - *spell;
    if (rest > FAILED_READ_REST_US)
        rest = FAILED_READ_REST_US;
    if (rest > 0) {
        sys::usleep(static_cast<useconds_t>(rest));
        *spell += rest;
    }
    return *spell < SILENCE_US;
}

} // namespace

void panelkeyloop(int fd) {
    struct sigaction act;
    std::memset(&act, 0, sizeof act);
    act.sa_handler = sigintreport;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART; // no SA_RESETHAND: it stays installed
    if (sys::sigaction(SIGINT, &act, nullptr) < 0) {
        say("signal failed\n");
        sys::exit(-1);
    }

    uint8_t buf[RXBUF_SIZE];
    int filled = 0;
    int pos = 0;
    int64_t spell = -1;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timeval silence = {SILENCE_S, 0};
        if (sys::select(fd + 1, &readable, nullptr, nullptr, &silence) <= 0)
            return;

        // An unfinished frame moves to the front before reading. Left where
        // it was, it could sit at the end of a full buffer, the read would
        // be asked for nothing, and the loop would spin on a port that
        // stays readable.
        if (pos > 0) {
            std::memmove(buf, buf + pos, static_cast<size_t>(filled - pos));
            filled -= pos;
            pos = 0;
        }
        ssize_t n = sys::read(fd, buf + filled, static_cast<size_t>(RXBUF_SIZE - filled));
        if (n <= 0) {
            say("read failed\n");
            if (!restafterfailedread(&spell, silence))
                return;
            continue;
        }
        filled += static_cast<int>(n);
        spell = -1;

        for (;;) {
            while (pos < filled && (buf[pos] & 0x7F) == 0)
                ++pos;
            if (pos == filled) {
                filled = 0;
                pos = 0;
                break;
            }
            if (filled - pos < 2 || buf[pos + 1] > filled - pos)
                break; // the rest of the frame is still on its way
            int len = buf[pos + 1];
            if (len < MIN_FRAME || len > MAX_FRAME) {
                ++pos;
                continue;
            }
            if (handleframe(buf + pos))
                return;
            if (pos + len == filled) {
                filled = 0;
                pos = 0;
                break;
            }
            pos += len;
        }
    }
}

int paneltest() {
    printprompts();
    panelleds(panelfd, LED_ALL_OFF);
    panelkeyloop(panelfd);

    // Enter presses typed during the test would end the next steps' console
    // waits early: swallow bare ones, stop at anything else.
    char line[20];
    int got;
    do {
        line[0] = 0;
        got = consolewait(line, 1);
    } while (got == 0 && line[0] == '\n');
    return got;
}
