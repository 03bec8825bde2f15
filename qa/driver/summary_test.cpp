// The summary and the factory reset.
#include "board/boardinfo.h"
#include "driver/result.h"
#include "simrun.h"

#include <gtest/gtest.h>

namespace {

const std::string HYPHENS = "----------------------------------------------------------------\n";

struct Record {
    int type;
    int expected_usb;
    int32_t usb, sata, net, rs485, alarm, rtc;
};

struct Summary {
    std::string out;
    int32_t outcome;
    size_t beeps;
    std::vector<int64_t> tone_ms;
};

Summary summarise(const Record &rec, bool null_outcome = false) {
    Summary s{};
    s.outcome = -7;
    std::string scenario = R"({"board": {"type": )" + std::to_string(rec.type) +
                           R"(, "info": {"usbCount": )" + std::to_string(rec.expected_usb) + "}}}";
    qa::SimRun r = qa::run_routine(scenario, [&] {
        sysInit();
        boardtype = getboardtype();
        usbResult = rec.usb;
        sataResult = rec.sata;
        networkError = rec.net;
        rs485Error = rec.rs485;
        alarmError = rec.alarm;
        rtcError = rec.rtc;
        return showresult(null_outcome ? nullptr : &s.outcome);
    });
    s.out = r.out();
    s.beeps = r.events("vexio", "buzzer_on").size();
    for (const auto &e : r.events("vexio", "buzzer_off"))
        s.tone_ms.push_back(e.data["ms"].get<int64_t>());
    return s;
}

std::string head(int usb, int sata) {
    return HYPHENS + "FTQ测试结果如下:\n" + "USB口       : " + std::to_string(usb) + " \n" +
           "SATA口      : " + std::to_string(sata) + " \n";
}

TEST(Summary, PassesWhenEveryFlagIsClearAndTheUsbCountMatches) {
    for (int sata : {0, 3}) {
        Summary s = summarise({1, 2, 2, sata, 0, 0, 0, 0});
        EXPECT_EQ(s.out, head(2, sata) + "测试结果    : OK \n" + HYPHENS);
        EXPECT_EQ(s.outcome, 0);
        EXPECT_EQ(s.beeps, 5u);
        EXPECT_EQ(s.tone_ms, std::vector<int64_t>(5, 200));
    }
}

TEST(Summary, ListsEveryFailureInItsOrderAndSoundsTheLongTone) {
    Summary s = summarise({1, 2, 1, 0, 1, 1, 1, 1});
    EXPECT_EQ(s.out, head(1, 0) + "网络状态    : error occured!  \n" +
                         "485口       : error occured!  \n" +
                         "报警口      : error occured!  \n" +
                         "Rtc时钟     : error occured!  \n" +
                         "USB口       : error occured!  \n" + HYPHENS);
    EXPECT_EQ(s.outcome, 1);
    EXPECT_EQ(s.tone_ms, std::vector<int64_t>{5000});
}

TEST(Summary, TypeSixFailsOnTheExpectedCountButPrintsNoUsbLine) {
    Summary s = summarise({6, 3, 2, 0, 0, 0, 0, 0});
    EXPECT_EQ(s.out, head(2, 0) + HYPHENS);
    EXPECT_EQ(s.outcome, 1);
    EXPECT_EQ(s.tone_ms, std::vector<int64_t>{5000});
}

TEST(Summary, TypesTwoAndFiveDemandThreeDevicesOnTheirUsbLine) {
    Summary s = summarise({2, 3, 3, 0, 0, 0, 0, 1});
    EXPECT_EQ(s.out, head(3, 0) + "Rtc时钟     : error occured!  \n" + HYPHENS);
    Summary t = summarise({5, 2, 2, 0, 1, 0, 0, 0});
    EXPECT_EQ(t.out, head(2, 0) + "网络状态    : error occured!  \n" +
                         "USB口       : error occured!  \n" + HYPHENS);
}

TEST(Summary, ANullOutcomeStillPrintsAndBeeps) {
    Summary s = summarise({1, 2, 2, 0, 0, 0, 0, 0}, true);
    EXPECT_EQ(s.outcome, -7);
    EXPECT_NE(s.out.find("测试结果    : OK \n"), std::string::npos);
    EXPECT_EQ(s.beeps, 5u);
}

struct Reset {
    std::string out;
    bool cfg_left, osd_left;
    size_t long_tones;
};

Reset factory_reset(int type, const std::string &files) {
    Reset res{};
    qa::SimRun r = qa::run_routine(R"({"board": {"type": )" + std::to_string(type) +
                                       R"(}, "files": )" + files + "}",
                                   [] {
                                       sysInit();
                                       boardtype = getboardtype();
                                       factoryreset();
                                       return 0;
                                   });
    res.out = r.out();
    res.cfg_left = r.kernel->vfs().exists("/dav2/devCfg.bin");
    res.osd_left = r.kernel->vfs().exists("/dav2/netOsd.bin");
    res.long_tones = r.events("vexio", "buzzer_off").size();
    return res;
}

TEST(FactoryReset, RemovesTheConfigurationAndOnTypesTwoAndFiveTheOsdFile) {
    for (int type : {0, 1, 3, 6}) {
        Reset r = factory_reset(type, "{}");
        EXPECT_EQ(r.out, "remove /dav2/devCfg.bin OK ... \n") << "type " << type;
        EXPECT_FALSE(r.cfg_left);
        EXPECT_TRUE(r.osd_left);
    }
    for (int type : {2, 5}) {
        Reset r = factory_reset(type, "{}");
        EXPECT_EQ(r.out, "remove /dav2/devCfg.bin OK ... \nremove /dav2/netOsd.bin OK ... \n");
        EXPECT_FALSE(r.osd_left);
    }
}

TEST(FactoryReset, AMissingFileIsReportedWithTheLongTone) {
    Reset r = factory_reset(2, R"({"/dav2/devCfg.bin": null, "/dav2/netOsd.bin": null})");
    EXPECT_EQ(r.out, "remove /dav2/devCfg.bin ERROR ... \nremove /dav2/netOsd.bin ERROR ... \n");
    EXPECT_EQ(r.long_tones, 2u);
}

} // namespace
