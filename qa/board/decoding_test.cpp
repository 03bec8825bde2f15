// The board's identity: the board type from the device type code, the
// decoding of the raw board information block into the record, and the
// settings derived from it. Each row runs the start-up and the settings
// routine on a board whose blocks the row describes.
#include "board/boardinfo.h"
#include "platform/sys.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

TEST(BoardType, TableEdges) {
    const std::pair<int, int> cases[] = {
        {0x4500, 1}, {0x450F, 1}, {0x4510, 6}, {0x451F, 6}, {0x4520, 0}, {0x461F, 2},
        {0x4610, 0}, {0x461E, 0}, {0x4600, 5}, {0x460F, 5}, {0x4620, 5}, {0x462F, 5},
        {0x46C1, 5}, {0x453F, 3}, {0x7C00, 3}, {0x7C0F, 3}, {0x7C10, 0}, {0, 0}};
    for (auto [code, type] : cases) {
        int found = -1;
        qa::run_routine(R"({"board": {"device_type": )" + std::to_string(code) + "}}", [&] {
            sysInit();
            found = getboardtype();
            return 0;
        });
        EXPECT_EQ(found, type) << std::hex << "code 0x" << code;
    }
}

struct Row {
    const char *name;
    const char *info; // the scenario's board information fields
    // getboardinfo's result and the record's sixteen fields in their order,
    // decoded into a record that held other values before.
    const char *record;
    // The expected USB count after the decoding (preset to 2), and the
    // settings boardsettings leaves (sata_port_num preset to 77).
    const char *settings;
};

void PrintTo(const Row &r, std::ostream *os) {
    *os << r.name;
}

std::string fields(int rc, const boardinfo &b) {
    std::ostringstream o;
    o << rc << ":";
    for (int v : {int{b.nvrSecondPort}, int{b.nvrSataCode}, int{b.modelCode}, int{b.cpldDate},
                  int{b.armClock}, int{b.dspClock}, int{b.memClock}, int{b.memSize},
                  int{b.flashSize}, int{b.secondPort}, int{b.sataCode}, int{b.isNvr},
                  int{b.usbCount}, int{b.isDvs}, int{b.alarmOutCode}, int{b.alarmInCode}})
        o << " " << v;
    return o.str();
}

class Decoding : public testing::TestWithParam<Row> {};

TEST_P(Decoding, RecordAndSettings) {
    const Row &row = GetParam();
    std::string record, settings;
    qa::run_routine(std::string(R"({"board": {"info": )") + row.info + "}}", [&] {
        boardinfo b;
        std::memset(&b, 0xA5, sizeof b);
        usbExpected = 2;
        int fd = sys::open("/dev/vexio", O_RDWR);
        record = fields(getboardinfo(fd, &b), b);
        sys::close(fd);
        std::ostringstream o;
        o << "usb " << int{usbExpected};
        sata_port_num = 77;
        int rc = boardsettings();
        o << ", settings " << rc << ": net " << netPortCount << " sata " << int{sata_port_num}
          << " alarms " << alarmOutCount << "/" << alarmInCount;
        settings = o.str();
        return 0;
    });
    EXPECT_EQ(record, row.record);
    EXPECT_EQ(settings, row.settings);
}

const Row rows[] = {
    {"FullChain",
     R"({"nvrSecondPort": 1, "nvrSataCode": 9, "modelCode": 200, "cpldDate": 43981,
         "armClock": 1, "dspClock": 2, "memClock": 3, "memSize": 1, "flashSize": 13,
         "secondPort": 1, "sataCode": 11, "isNvr": 1, "usbCount": 3, "isDvs": 1,
         "alarmOutCode": 5, "alarmInCode": 6})",
     "0: 1 9 200 43981 1 2 3 1 13 1 11 1 3 1 5 6", "usb 3, settings 0: net 2 sata 77 alarms 4/16"},
    // Word 1 without its follow-on bit: the later words stay 0, and so
    // does what the record held before; the expected count is not touched.
    {"ChainEndsAfterWordOne",
     R"({"words": 1, "memSize": 2, "secondPort": 1, "sataCode": 3, "isNvr": 1, "usbCount": 3,
         "alarmOutCode": 1})",
     "0: 0 0 1 18787 0 0 0 2 0 0 0 0 0 0 0 0", "usb 2, settings 0: net 1 sata 0 alarms 4/16"},
    {"ChainEndsAfterWordThree", R"({"words": 3, "usbCount": 1, "alarmOutCode": 1})",
     "0: 0 0 1 18787 0 0 0 0 0 1 3 0 1 0 0 0", "usb 1, settings 0: net 2 sata 5 alarms 4/16"},
    {"NoDataMark", R"({"valid": false, "usbCount": 3, "alarmOutCode": 1})",
     "-1: 0 0 1 18787 0 0 0 0 0 0 0 0 0 0 0 0", "usb 2, settings -1: net 1 sata 77 alarms 0/0"},
    {"SataCode7OnePort", R"({"sataCode": 7, "secondPort": 0})",
     "0: 0 0 1 18787 0 0 0 0 0 0 7 0 2 0 0 0", "usb 2, settings 0: net 1 sata 9 alarms 4/16"},
    {"SataCode8Kept", R"({"sataCode": 8})", "0: 0 0 1 18787 0 0 0 0 0 1 8 0 2 0 0 0",
     "usb 2, settings 0: net 2 sata 77 alarms 4/16"},
    {"NvrTakesItsOwnCodes",
     R"({"isNvr": 1, "sataCode": 0, "nvrSataCode": 7, "nvrSecondPort": 1, "secondPort": 0})",
     "0: 1 7 1 18787 0 0 0 0 0 0 0 1 2 0 0 0", "usb 2, settings 0: net 2 sata 9 alarms 4/16"},
    {"NvrGateOnSataCode", R"({"isNvr": 1, "sataCode": 9, "nvrSataCode": 2, "secondPort": 1})",
     "0: 0 2 1 18787 0 0 0 0 0 1 9 1 2 0 0 0", "usb 2, settings 0: net 1 sata 77 alarms 4/16"},
    {"NvrCodeEightKept", R"({"isNvr": 1, "sataCode": 8, "nvrSataCode": 8})",
     "0: 0 8 1 18787 0 0 0 0 0 1 8 1 2 0 0 0", "usb 2, settings 0: net 1 sata 77 alarms 4/16"},
    {"TwoAlarmOutputsFourInputs", R"({"alarmOutCode": 1, "alarmInCode": 1})",
     "0: 0 0 1 18787 0 0 0 0 0 1 3 0 2 0 1 1", "usb 2, settings 0: net 2 sata 5 alarms 2/4"},
    {"OtherAlarmCodes", R"({"alarmOutCode": 2, "alarmInCode": 7})",
     "0: 0 0 1 18787 0 0 0 0 0 1 3 0 2 0 2 7", "usb 2, settings 0: net 2 sata 5 alarms 4/16"},
};

INSTANTIATE_TEST_SUITE_P(Board, Decoding, testing::ValuesIn(rows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(BoardInfo, ABadDescriptorOrAFailedRequestFails) {
    int bad_fd = 0, failed = 0;
    qa::run_routine(R"({"board": {"info_fails": true}})", [&] {
        boardinfo info;
        bad_fd = getboardinfo(-1, &info);
        int fd = sys::open("/dev/vexio", O_RDWR);
        failed = getboardinfo(fd, &info);
        return 0;
    });
    EXPECT_EQ(bad_fd, -1);
    EXPECT_EQ(failed, -1);
}

} // namespace
