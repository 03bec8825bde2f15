// The board's identity: the board type from the device type code, the
// decoding of the raw board information block into the record, and the
// settings derived from it. Each row runs the start-up and the settings
// routine on a board whose blocks the row describes.
#include "board/boardinfo.h"
#include "platform/sys.h"
#include "datarows.h"
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

// getboardinfo's result and the record's sixteen fields in their order,
// decoded into a record that held other values before.
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

class Decoding : public testing::TestWithParam<qa::DataRow> {};

// qa/data/board-decoding.json: the scenario's board information fields, the
// record they decode into, then the expected USB count after the decoding
// (preset to 2) and the settings boardsettings leaves (sata_port_num preset
// to 77).
TEST_P(Decoding, RecordAndSettings) {
    const qa::DataRow &row = GetParam();
    std::string record, settings;
    qa::run_routine(R"({"board": {"info": )" + row["info"].dump() + "}}", [&] {
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
    EXPECT_EQ(record, row["record"]);
    EXPECT_EQ(settings, row["settings"]);
}

INSTANTIATE_TEST_SUITE_P(Board, Decoding, testing::ValuesIn(qa::data_rows("board-decoding.json")),
                         qa::data_row_name);

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
