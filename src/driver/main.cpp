// The entry point: start-up, the command line, the pre-test set-up, the
// single tests and the whole run.
#include "board/boardinfo.h"
#include "board/boardreport.h"
#include "board/buzzer.h"
#include "board/vexio.h"
#include "driver/driver.h"
#include "driver/result.h"
#include "panel/panel.h"
#include "platform/console.h"
#include "platform/sys.h"
#include "storage/storage.h"
#include "tests/peripheral.h"

#include <cstring>

namespace {

constexpr int TEST_COUNT = 11;

bool isdecimal(char c) {
    return c >= '0' && c <= '9';
}

void pretestsetup() {
    int fd = sys::open(VEXIO_PATH, O_RDWR);
    if (fd < 0) {
        say("打开hwInfo设备出错!\n");
        sys::exit(255);
    }
    if (sys::ioctl(fd, VEXIO_WATCHDOG, WATCHDOG_SETUP) < 0) {
        say("初始化关门狗失败!\n");
        sys::exit(fd);
    }
    sys::ioctl(fd, VEXIO_WATCHDOG_HOLD, 0);
    sys::close(fd);
    sys::sleep(2);
    stopmainapp();
    panelopen();
}

void runtest(int number) {
    switch (number) {
    case 1:
        boardinfotest();
        break;
    case 2:
        buzzertest();
        break;
    case 3:
        paneltest();
        break;
    case 4:
        sys::sleep(10);
        rs485test();
        break;
    case 5:
        alarmtest();
        break;
    case 6:
        rtctest();
        break;
    case 7:
        usbtest();
        break;
    case 8:
        satatest();
        break;
    case 9:
        watchdogtest();
        break;
    case 10:
        pmptest();
        break;
    case 11:
        nettest();
        break;
    }
}

int singletest(const char *option, const char *number) {
    if (strcmp(option, "-o") != 0 && strcmp(option, "-O") != 0) {
        say("参数非法\n");
        return 0;
    }
    if (strlen(number) > 2)
        say("请选择测试序号(1~%d)\n", TEST_COUNT);
    int n = 0;
    if (!isdecimal(number[0])) {
        if (number[0] != '\0') {
            say("请选择测试序号(1~%d)\n", TEST_COUNT);
            return 0;
        }
    } else if (isdecimal(number[1])) {
        n = 10 * (number[0] - '0') + (number[1] - '0');
    } else if (number[1] == '\0') {
        n = number[0] - '0';
    } else {
        say("请选择测试序号(1~%d)\n", TEST_COUNT);
        return 0;
    }
    if (n < 1 || n > TEST_COUNT) {
        say("请输入正确的测试序号.(1~%d)", TEST_COUNT);
        return 0;
    }
    pretestsetup();
    boardsettings();
    runtest(n);
    return 0;
}

int wholerun() {
    char console[20];
    pretestsetup();

    int step = 1;
    say("第%d步:按键测试\n", step);
    paneltest();
    say("\n");
    consolewait(console, 1);
    boardsettings();

    ++step;
    say("第%d步:网络状态", step);
    consolewait(console, 1);
    nettest();
    say("\n");

    ++step;
    say("第%d步:报警量测试，请确认已经连接好报警测试装置\n", step);
    consolewait(console, 1);
    alarmtest();
    say("\n");

    ++step;
    say("第%d步:实时时钟\n", step);
    consolewait(console, 1);
    rtctest();
    say("\n");

    ++step;
    say("第%d步:USB口测试\n", step);
    usbtest();
    say("\n");

    ++step;
    say("第%d步:SATA硬盘测试\n", step);
    satatest();
    say("\n");
    consolewait(console, 1);

    ++step;
    say("第%d步:请确认已经正确连接好485测试装置\n", step);
    rs485test();
    say("\n");
    consolewait(console, 1);

    boardinfotest();

    int32_t outcome = 0;
    showresult(&outcome);
    if (outcome != 0) {
        say("测试结束\n");
        return 0;
    }
    say("测试结束,系统将要重新启动,并恢复出厂设置\n");
    factoryreset();
    watchdogtest();
    return 0;
}

} // namespace

int printhelp() {
    say("ftq ver1.02(2009-4-3)\n"
        "this program will excute the follow test\n"
        "No.1 : \t\t\t Show board Info\n"
        "No.2 : \t\t\t Buzzer test\n"
        "No.3 : \t\t\t Front board test\n"
        "No.4 : \t\t\t 485 com test\n"
        "No.5 : \t\t\t Iop test\n"
        "No.6 : \t\t\t RTC test\n"
        "No.7 : \t\t\t USB port test\n"
        "No.8 : \t\t\t SATA test\n"
        "No.9 : \t\t\t Watchdog test,Restart system \n"
        "No.10: \t\t\t pmp test,Restart system \n"
        "No.11: \t\t\t Network model configure show\n"
        "ftq -h or ftq --help for help information\n"
        "If you want to do all the tests, please run ftq \n"
        "If you want to do only one test of them ,please run ftq -o  <No.> \n"
        "        eg. ftq -o 4   then only test 485 port\n");
    return 0;
}

int ftq_main(int argc, char **argv) {
    sysInit();
    boardtype = getboardtype();
    say(" 设备类型 Type  %d \n", boardtype);
    if (sys::setuid(0) < 0) {
        say("以管理员权限运行ftq程序失败!!!\n");
        return 0;
    }
    int args = argc - 1;
    if (args == 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        printhelp();
        return 0;
    }
    if (args == 2)
        return singletest(argv[1], argv[2]);
    return wholerun();
}
