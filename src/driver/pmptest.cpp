// Test 10: the firmware check of each port multiplier, made through the
// first disk found behind it.
#include "board/boardinfo.h"
#include "board/buzzer.h"
#include "driver/driver.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "storage/storage.h"

#include <cstdio>

namespace {

enum { CHIP_OK = 0, CHIP_ERROR = 1, CHIP_UNTESTED = 2 };

// The reset line of each chip on two-chip boards.
constexpr int RESET_CHIP1 = 0x100;
constexpr int RESET_CHIP2 = 0x80;

const char *chiptext(int result) {
    switch (result) {
    case CHIP_OK:
        return "正常";
    case CHIP_ERROR:
        return "发生错误";
    default:
        return "未进行测试";
    }
}

int opendisk(char letter) {
    char name[16];
    std::snprintf(name, sizeof name, "/dev/sd%c", letter);
    return sys::open(name, O_RDONLY);
}

// The first disk of `first`..`last` that opens is handed to pmpupdate.
// The chip's result, or `previous` when none opens.
int updatefirst(char first, char last, bool announce, int previous) {
    for (char letter = first; letter <= last; ++letter) {
        int fd = opendisk(letter);
        if (fd < 0) {
            say("open /dev/sd%c fail!\n", letter);
            continue;
        }
        if (announce)
            say("open /dev/sd%c success!\n", letter);
        return pmpupdate(fd) != 0 ? CHIP_ERROR : CHIP_OK;
    }
    return previous;
}

void onechip() {
    int chip1 = updatefirst('a', 'e', true, CHIP_UNTESTED);
    chip1 = updatefirst('e', 'i', false, chip1);
    say("测试结果如下\n");
    say("Chip1 %s\n", chiptext(chip1));
}

void twochips() {
    int result[2] = {CHIP_UNTESTED, CHIP_UNTESTED};
    for (int index = 0; index < 10; ++index) {
        char letter = static_cast<char>('a' + index);
        int fd = opendisk(letter);
        if (fd < 0)
            continue;
        int chip = (index <= 3 || index == 8) ? 0 : 1;
        if (result[chip] != CHIP_UNTESTED) {
            sys::close(fd);
            continue;
        }
        say(chip == 0 ? "test..1\r\n" : "test..2\r\n");
        say("open /dev/sd%c success!\n", letter);
        if (pmpupdate(fd) != 0) {
            result[chip] = CHIP_ERROR;
            continue;
        }
        // A rewritten chip runs the old firmware until it is reset.
        if (firmwareupdated() == 1)
            resetjmb321(chip == 0 ? RESET_CHIP1 : RESET_CHIP2);
        result[chip] = CHIP_OK;
    }
    say("测试结果如下\n");
    say("Chip1 %s\n", chiptext(result[0]));
    say("Chip2 %s\n", chiptext(result[1]));
}

} // namespace

void pmptest() {
    say("sata_port_num = %d \n", sata_port_num);
    if (sata_port_num == 5) {
        onechip();
    } else if (sata_port_num == 9) {
        twochips();
    } else {
        say("wrong sata port num!\r\n");
        say("测试结果如下\n");
        say("Chip1 %s\n", chiptext(CHIP_UNTESTED));
    }
}
