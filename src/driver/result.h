// The test result record and the summary.
#pragma once

#include <cstdint>

extern int32_t usbResult;
extern int32_t sataResult;
extern int32_t networkError;
extern int32_t rs485Error;
extern int32_t alarmError;
extern int32_t rtcError;

int showresult(int32_t *outcome);
// Removes the stored device configuration after a passed whole run.
void factoryreset();
