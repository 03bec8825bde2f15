// Board identity: the type table, the decoding of the board information
// block and the settings derived from it.
#include "board/boardinfo.h"
#include "platform/sys.h"
#include "simrun.h"

#include <gtest/gtest.h>

namespace {

int type_of(int code) {
    int type = -1;
    qa::run_routine(R"({"board": {"device_type": )" + std::to_string(code) + "}}", [&] {
        sysInit();
        type = getboardtype();
        return 0;
    });
    return type;
}

TEST(BoardType, TableEdges) {
    const std::pair<int, int> cases[] = {
        {0x4500, 1}, {0x450F, 1}, {0x4510, 6}, {0x451F, 6}, {0x4520, 0}, {0x461F, 2},
        {0x4610, 0}, {0x461E, 0}, {0x4600, 5}, {0x460F, 5}, {0x4620, 5}, {0x462F, 5},
        {0x46C1, 5}, {0x453F, 3}, {0x7C00, 3}, {0x7C0F, 3}, {0x7C10, 0}, {0, 0}};
    for (auto [code, type] : cases)
        EXPECT_EQ(type_of(code), type) << std::hex << "code 0x" << code;
}

struct Decoded {
    int rc;
    boardinfo info;
    uint8_t expected_usb;
};

Decoded decode(const std::string &info, int preset_usb = 0) {
    Decoded d{};
    qa::run_routine(R"({"board": {"info": )" + info + "}}", [&] {
        usbExpected = static_cast<uint8_t>(preset_usb);
        int fd = sys::open("/dev/vexio", O_RDWR);
        d.rc = getboardinfo(fd, &d.info);
        d.expected_usb = usbExpected;
        sys::close(fd);
        return 0;
    });
    return d;
}

TEST(BoardInfo, DecodesEveryFieldOfAFullChain) {
    Decoded d = decode(R"({"nvrSecondPort": 1, "nvrSataCode": 9, "modelCode": 200,
        "cpldDate": 43981, "armClock": 1, "dspClock": 2, "memClock": 3, "memSize": 1,
        "flashSize": 13, "secondPort": 1, "sataCode": 11, "isNvr": 1, "usbCount": 3,
        "isDvs": 1, "alarmOutCode": 5, "alarmInCode": 6})");
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.info.nvrSecondPort, 1);
    EXPECT_EQ(d.info.nvrSataCode, 9);
    EXPECT_EQ(d.info.modelCode, 200);
    EXPECT_EQ(d.info.cpldDate, 43981);
    EXPECT_EQ(d.info.armClock, 1);
    EXPECT_EQ(d.info.dspClock, 2);
    EXPECT_EQ(d.info.memClock, 3);
    EXPECT_EQ(d.info.memSize, 1);
    EXPECT_EQ(d.info.flashSize, 13);
    EXPECT_EQ(d.info.secondPort, 1);
    EXPECT_EQ(d.info.sataCode, 11);
    EXPECT_EQ(d.info.isNvr, 1);
    EXPECT_EQ(d.info.usbCount, 3);
    EXPECT_EQ(d.info.isDvs, 1);
    EXPECT_EQ(d.info.alarmOutCode, 5);
    EXPECT_EQ(d.info.alarmInCode, 6);
    EXPECT_EQ(d.expected_usb, 3);
}

TEST(BoardInfo, AShortChainLeavesTheLaterWordsAtZero) {
    Decoded one = decode(R"({"words": 1, "memSize": 2, "secondPort": 1, "sataCode": 3,
                             "isNvr": 1, "usbCount": 3, "alarmOutCode": 1})",
                         2);
    ASSERT_EQ(one.rc, 0);
    EXPECT_EQ(one.info.memSize, 2);
    EXPECT_EQ(one.info.secondPort, 0);
    EXPECT_EQ(one.info.sataCode, 0);
    EXPECT_EQ(one.info.isNvr, 0);
    EXPECT_EQ(one.info.usbCount, 0);
    EXPECT_EQ(one.info.alarmOutCode, 0);
    EXPECT_EQ(one.expected_usb, 2) << "word 3 was not decoded: the expected count stays";

    Decoded three = decode(R"({"words": 3, "usbCount": 1, "alarmOutCode": 1})");
    EXPECT_EQ(three.info.usbCount, 1);
    EXPECT_EQ(three.expected_usb, 1);
    EXPECT_EQ(three.info.alarmOutCode, 0);
}

TEST(BoardInfo, TheNoDataMarkFailsTheRead) {
    Decoded d = decode(R"({"valid": false, "usbCount": 3})", 1);
    EXPECT_EQ(d.rc, -1);
    EXPECT_EQ(d.expected_usb, 1);
}

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

struct Settings {
    int rc;
    int net;
    int sata;
    int out, in;
};

Settings settings(const std::string &board, int sata_before = 77) {
    Settings s{};
    qa::run_routine(R"({"board": )" + board + "}", [&] {
        sata_port_num = static_cast<uint8_t>(sata_before);
        s.rc = boardsettings();
        s.net = netPortCount;
        s.sata = sata_port_num;
        s.out = alarmOutCount;
        s.in = alarmInCount;
        return 0;
    });
    return s;
}

TEST(BoardSettings, FollowTheDecodedCodes) {
    struct Case {
        const char *info;
        int net, sata, out, in;
    } cases[] = {
        {R"({"sataCode": 3, "secondPort": 1})", 2, 5, 4, 16},
        {R"({"sataCode": 7, "secondPort": 0})", 1, 9, 4, 16},
        {R"({"sataCode": 0})", 2, 0, 4, 16},
        {R"({"sataCode": 8})", 2, 77, 4, 16},
        {R"({"sataCode": 12})", 2, 77, 4, 16},
        {R"({"isNvr": 1, "sataCode": 0, "nvrSataCode": 7, "nvrSecondPort": 1})", 2, 9, 4, 16},
        {R"({"isNvr": 1, "sataCode": 9, "nvrSataCode": 2})", 1, 77, 4, 16},
        {R"({"isNvr": 1, "sataCode": 8, "nvrSataCode": 8, "secondPort": 1})", 1, 77, 4, 16},
        {R"({"alarmOutCode": 1, "alarmInCode": 1})", 2, 5, 2, 4},
        {R"({"alarmOutCode": 2, "alarmInCode": 7})", 2, 5, 4, 16},
    };
    for (const auto &c : cases) {
        Settings s = settings(std::string(R"({"info": )") + c.info + "}");
        EXPECT_EQ(s.rc, 0) << c.info;
        EXPECT_EQ(s.net, c.net) << c.info;
        EXPECT_EQ(s.sata, c.sata) << c.info;
        EXPECT_EQ(s.out, c.out) << c.info;
        EXPECT_EQ(s.in, c.in) << c.info;
    }
}

TEST(BoardSettings, AnUnreadableRecordChangesNothing) {
    Settings s = settings(R"({"info": {"valid": false, "alarmOutCode": 1}})");
    EXPECT_EQ(s.rc, -1);
    EXPECT_EQ(s.net, 1);
    EXPECT_EQ(s.sata, 77);
    EXPECT_EQ(s.out, 0);
}

TEST(StartUp, EachFailureHasItsLineAndLeavesTypeZero) {
    struct Case {
        const char *board;
        const char *line;
        int type;
    } cases[] = {
        {R"({"type": 2, "missing": true})", "sysInit 1 Fatal\n", 0},
        {R"({"type": 2, "device_info_fails": true})", "sysInit2 Fatal\n", 0},
        {R"({"type": 2, "info_fails": true})", "sysInit3 Fatal\n", 2},
        {R"({"type": 2})", "", 2},
    };
    for (const auto &c : cases) {
        int type = -1;
        qa::SimRun r = qa::run_routine(std::string(R"({"board": )") + c.board + "}", [&] {
            sysInit();
            type = getboardtype();
            return 0;
        });
        EXPECT_EQ(r.out(), c.line) << c.board;
        EXPECT_EQ(type, c.type) << c.board;
        EXPECT_EQ(r.kernel->open_descriptors(1), 0) << "the driver is closed on every path";
    }
}

} // namespace
