// The serial link to the front-panel controller: opening and configuring
// the port, the frame format, the heartbeat thread and the interrupt report.
#include "board/boardinfo.h"
#include "driver/procstate.h"
#include "panel/panel.h"
#include "platform/console.h"
#include "platform/sys.h"

#include <cstring>

int panelfd = -1;
uint32_t panelRepliesHigh = 0;
uint32_t panelRepliesLow = 0;

namespace {

constexpr const char *PANEL_PORT = "/dev/ttyS2";
constexpr unsigned HB_PERIOD_S = 10;

sys::ThreadId hbthreadid = 0;

} // namespace

void panel_reset_state() {
    panelfd = -1;
    panelRepliesHigh = 0;
    panelRepliesLow = 0;
    hbthreadid = 0;
}

int panelopen() {
    panelfd = sys::open(PANEL_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (panelfd < 0) {
        say("open /dev/ttyS2 failed\n");
        sys::exit(-1);
    }

    // Built from a cleared structure rather than the port's current state,
    // so that nothing a previous user of the port left behind (hardware
    // flow control, a translation flag) survives: the link is fully raw.
    struct termios tio;
    std::memset(&tio, 0, sizeof tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CREAD | PARENB | CLOCAL);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE);
    tio.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR | ICRNL | IXON | IXOFF);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (sys::tcsetattr(panelfd, TCSANOW, &tio) < 0) {
        say("tcsetattr failed\n");
        sys::exit(-1);
    }

    if (sys::pthread_create(&hbthreadid, hbthread, nullptr) != 0) {
        say("can not creat HB thread\n");
        return -1;
    }
    return 0;
}

void makepanelframe(const payload *p, uint8_t *frame, int *len) {
    // The payload record holds at most 8 bytes; a larger count would read
    // past it.
    int n = p->len;
    if (n < 0)
        n = 0;
    if (n > static_cast<int>(sizeof p->data))
        n = static_cast<int>(sizeof p->data);
    frame[0] = 0xFF;
    frame[1] = static_cast<uint8_t>(n + 3);
    uint8_t sum = static_cast<uint8_t>(frame[0] + frame[1]);
    for (int i = 0; i < n; ++i) {
        frame[2 + i] = p->data[i];
        sum = static_cast<uint8_t>(sum + p->data[i]);
    }
    frame[n + 2] = sum;
    *len = n + 3;
}

int sendhb() {
    payload hb = {4, {0x30, 0x00, 0x00, 0x00}};
    if (boardtype == 1 || boardtype == 6)
        hb.data[1] = 0x0B;
    else if (boardtype == 2 || boardtype == 5)
        hb.data[1] = 0x06;
    else
        return 1;
    uint8_t frame[sizeof hb.data + 3];
    int len = 0;
    makepanelframe(&hb, frame, &len);
    // One write for the whole frame: the main thread writes LED frames to
    // the same descriptor without a lock, and whole writes never interleave.
    sys::write(panelfd, frame, static_cast<size_t>(len));
    return 1;
}

void *hbthread(void *) {
    for (;;) {
        sys::sleep(HB_PERIOD_S);
        sendhb();
    }
    return nullptr;
}

void sigintreport(int sig) {
    // May interrupt a message being printed on either thread: no stdio,
    // one write of a line built on the stack.
    SignalSafeLine()
        .text("receive ")
        .number(panelRepliesHigh)
        .text(":")
        .number(panelRepliesLow)
        .text(" replies\n")
        .write_to(1);
    // The signal is blocked while this handler runs, so the raised one
    // waits and, once the handler returns, ends the process by its default
    // action, as an uncaught interrupt would.
    sys::raise(sig);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sys::sigaction(sig, &dfl, nullptr);
}
