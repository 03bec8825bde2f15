#include "driver/result.h"

#include "board/boardinfo.h"
#include "board/buzzer.h"
#include "platform/console.h"
#include "platform/sys.h"

int32_t usbResult;
int32_t sataResult;
int32_t networkError;
int32_t rs485Error;
int32_t alarmError;
int32_t rtcError;

namespace {
const char *const HYPHENS = "----------------------------------------------------------------";
const char *const FAILED = "error occured!";
} // namespace

int showresult(int32_t *outcome) {
    int type = getboardtype();
    say("%s\n", HYPHENS);
    say("FTQ测试结果如下:\n");
    say("USB口       : %d \n", usbResult);
    say("SATA口      : %d \n", sataResult);
    bool passed = networkError == 0 && rs485Error == 0 && alarmError == 0 && rtcError == 0 &&
                  usbResult == usbExpected;
    if (passed) {
        say("测试结果    : OK \n");
        say("%s\n", HYPHENS);
        okbeep();
        if (outcome != nullptr)
            *outcome = 0;
        return 0;
    }
    if (networkError != 0)
        say("网络状态    : %s  \n", FAILED);
    if (rs485Error != 0)
        say("485口       : %s  \n", FAILED);
    if (alarmError != 0)
        say("报警口      : %s  \n", FAILED);
    if (rtcError != 0)
        say("Rtc时钟     : %s  \n", FAILED);
    bool usbwrong = type == 6                  ? usbResult != 2
                    : (type == 2 || type == 5) ? usbResult != 3
                                               : usbResult != usbExpected;
    if (usbwrong)
        say("USB口       : %s  \n", FAILED);
    say("%s\n", HYPHENS);
    errorbeep();
    if (outcome != nullptr)
        *outcome = 1;
    return 0;
}

void factoryreset() {
    if (sys::remove("/dav2/devCfg.bin") == 0) {
        say("remove /dav2/devCfg.bin OK ... \n");
    } else {
        say("remove /dav2/devCfg.bin ERROR ... \n");
        errorbeep();
    }
    if (boardtype == 2 || boardtype == 5) {
        if (sys::remove("/dav2/netOsd.bin") == 0) {
            say("remove /dav2/netOsd.bin OK ... \n");
        } else {
            say("remove /dav2/netOsd.bin ERROR ... \n");
            errorbeep();
        }
    }
}
