// Test 1: the board information report and the settings it sets again.
#include "board/boardinfo.h"
#include "board/boardreport.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Report {
    int rc = 0;
    std::string out;
    int net = 0, sata = 0, out_count = 0, in_count = 0;
};

// boardinfotest on a board whose info block the JSON describes, with the
// settings preset to values no rule produces, so that "kept" shows.
Report report(const std::string &board_section) {
    Report rep;
    qa::SimRun r = qa::run_routine(R"({"board": )" + board_section + "}", [&] {
        netPortCount = 7;
        sata_port_num = 77;
        alarmOutCount = 7;
        alarmInCount = 7;
        rep.rc = boardinfotest();
        rep.net = netPortCount;
        rep.sata = sata_port_num;
        rep.out_count = alarmOutCount;
        rep.in_count = alarmInCount;
        return 0;
    });
    rep.out = r.out();
    return rep;
}

Report report_info(const std::string &info) {
    return report(R"({"info": )" + info + "}");
}

// printboardinfo alone, on a record built here.
std::string print(const boardinfo &info) {
    qa::SimRun r = qa::run_routine("{}", [&] {
        printboardinfo(info);
        return 0;
    });
    return r.out();
}

boardinfo record() {
    boardinfo info{};
    info.modelCode = 1;
    return info;
}

std::string line_of(const std::string &out, const std::string &prefix) {
    size_t at = out.find(prefix);
    if (at == std::string::npos)
        return "<no line " + prefix + ">";
    return out.substr(at, out.find('\n', at) - at);
}

TEST(BoardReport, TheWorkedExampleByteForByte) {
    Report rep = report_info(R"({"modelCode": 1, "isNvr": 1, "cpldDate": 18787})");
    EXPECT_EQ(rep.rc, 0);
    EXPECT_EQ(rep.out, "CPLD信息: \n"
                       "\n"
                       "设备类型 : QB-71024(NVR)\n"
                       "ARM主频  : 720M\n"
                       "DSP主频  : 600MHz\n"
                       "内存频率 : 666MHz\n"
                       "内存大小 : 1GB\n"
                       "FLASH大小: 16MB\n"
                       "CPLD版本 : 2012年05月23日\n"
                       "报警 I/O : 16/4\n");
}

TEST(BoardReport, PrintsAfterTheRecordWasReadAndAPause) {
    int open_after = -1;
    qa::SimRun r = qa::run_on_board("{}", [&](sim::Kernel &k) {
        int rc = boardinfotest();
        open_after = k.open_descriptors();
        return rc;
    });
    auto reads = r.events("vexio", "board_info");
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_FALSE(r.kernel->console().empty());
    EXPECT_EQ(r.kernel->console().front().t - reads[0].t, 100 * sim::kMillisecond);
    EXPECT_EQ(open_after, 3) << "the driver is closed again";
}

TEST(BoardReport, FailuresPrintNoReportAndKeepTheSettings) {
    struct Case {
        const char *board;
        const char *out;
    } cases[] = {
        {R"({"missing": true})", "sysInit 1 Fatal\n"},
        {R"({"info_fails": true})", ""},
        {R"({"info": {"valid": false}})", ""},
    };
    for (const Case &c : cases) {
        Report rep = report(c.board);
        EXPECT_EQ(rep.rc, -1) << c.board;
        EXPECT_EQ(rep.out, c.out) << c.board;
        EXPECT_EQ(rep.net, 7) << c.board;
        EXPECT_EQ(rep.sata, 77) << c.board;
        EXPECT_EQ(rep.out_count, 7) << c.board;
        EXPECT_EQ(rep.in_count, 7) << c.board;
    }
}

TEST(BoardReport, EveryModelCodeOfTheTable) {
    const std::pair<int, const char *> table[] = {
        {1, "QB-71024"}, {2, "QB-71031"}, {3, "QB-71033"}, {4, "QB-71027"}, {6, "QB-71046"},
        {7, "QB-71052"}, {8, "QB-71058"}, {9, "QB-71063"}, {10, "QB-71069"}};
    for (auto [code, text] : table) {
        boardinfo info = record();
        info.modelCode = static_cast<uint16_t>(code);
        std::string out = print(info);
        EXPECT_EQ(out.substr(0, out.find("ARM")),
                  "CPLD信息: \n\n设备类型 : " + std::string(text) + "(DVR)\n")
            << "code " << code;
    }
}

TEST(BoardReport, AnUnknownModelCodeIsNamedByItsCodeAfterAWarning) {
    const std::pair<int, const char *> codes[] = {
        {0, "QB0000"}, {5, "QB0005"}, {11, "QB000B"}, {0x2A, "QB002A"}, {255, "QB00FF"}};
    for (auto [code, text] : codes) {
        Report rep = report_info(R"({"modelCode": )" + std::to_string(code) + "}");
        std::string t(text);
        EXPECT_EQ(rep.out.substr(0, rep.out.find("ARM")),
                  "CPLD信息: \n无法识别的CPLD信息(" + t + ")\n\n设备类型 : " + t + "(DVR)\n")
            << "code " << code;
    }
}

TEST(BoardReport, DeviceKindNvrWinsOverDvs) {
    struct Case {
        int nvr, dvs;
        const char *kind;
    } cases[] = {{0, 0, "(DVR)"}, {0, 1, "(DVS)"}, {1, 0, "(NVR)"}, {1, 1, "(NVR)"}};
    for (const Case &c : cases) {
        boardinfo info = record();
        info.isNvr = static_cast<uint8_t>(c.nvr);
        info.isDvs = static_cast<uint8_t>(c.dvs);
        EXPECT_EQ(line_of(print(info), "设备类型"), "设备类型 : QB-71024" + std::string(c.kind))
            << "isNvr " << c.nvr << " isDvs " << c.dvs;
    }
}

TEST(BoardReport, ClockMemoryAndFlashValuesAndEveryNA) {
    struct Case {
        uint8_t boardinfo::*field;
        const char *prefix;
        std::vector<const char *> values; // by code; codes past the list are N/A
        int codes;
    } cases[] = {
        {&boardinfo::armClock, "ARM主频  : ", {"720M", "1G"}, 4},
        {&boardinfo::dspClock, "DSP主频  : ", {"600MHz", "800MHz"}, 4},
        {&boardinfo::memClock, "内存频率 : ", {"666MHz", "800MHz", "933MHz"}, 4},
        {&boardinfo::memSize, "内存大小 : ", {"1GB", "768MB", "1.5GB"}, 4},
        {&boardinfo::flashSize, "FLASH大小: ", {"16MB", "32MB", "64MB", "2MB+256MB"}, 16},
    };
    for (const Case &c : cases)
        for (int code = 0; code < c.codes; ++code) {
            boardinfo info = record();
            info.*c.field = static_cast<uint8_t>(code);
            std::string value = code < static_cast<int>(c.values.size()) ? c.values[code] : "N/A";
            EXPECT_EQ(line_of(print(info), c.prefix), c.prefix + value) << "code " << code;
        }
}

TEST(BoardReport, CpldDateFields) {
    const std::pair<unsigned, const char *> dates[] = {
        {0x4963, "2012年05月23日"},
        {0, "2000年00月00日"},
        {0xFFFF, "20315年15月315日"}, // every field at its widest
        // Year tens 0 and units 12: a units field above 9 takes two places.
        {(12u << 10) | (1u << 6) | 5u, "20012年01月05日"},
        {(3u << 14) | (9u << 10) | (12u << 6) | (3u << 4) | 1u, "2039年12月31日"},
    };
    for (auto [packed, text] : dates) {
        boardinfo info = record();
        info.cpldDate = static_cast<uint16_t>(packed);
        EXPECT_EQ(line_of(print(info), "CPLD版本"), "CPLD版本 : " + std::string(text))
            << std::hex << packed;
    }
}

TEST(BoardReport, AlarmLineAndCounts) {
    struct Case {
        int out_code, in_code;
        const char *line;
        int outputs, inputs;
    } cases[] = {{0, 0, "16/4", 4, 16}, {1, 1, "4/2", 2, 4},   {1, 0, "16/2", 2, 16},
                 {0, 1, "4/4", 4, 4},   {2, 7, "16/4", 4, 16}, {7, 2, "16/4", 4, 16}};
    for (const Case &c : cases) {
        Report rep = report_info(R"({"alarmOutCode": )" + std::to_string(c.out_code) +
                                 R"(, "alarmInCode": )" + std::to_string(c.in_code) + "}");
        EXPECT_EQ(line_of(rep.out, "报警"), "报警 I/O : " + std::string(c.line))
            << c.out_code << "/" << c.in_code;
        EXPECT_EQ(rep.out_count, c.outputs);
        EXPECT_EQ(rep.in_count, c.inputs);
    }
}

TEST(BoardReport, SataPortAndNetworkPortRulesWithTheirNvrGates) {
    struct Case {
        const char *info;
        int net, sata; // 77: sata_port_num kept
    } cases[] = {
        {R"({"secondPort": 0, "sataCode": 0})", 1, 0},
        {R"({"secondPort": 1, "sataCode": 3})", 2, 5},
        {R"({"sataCode": 7})", 2, 9},
        {R"({"sataCode": 8})", 2, 77},
        {R"({"sataCode": 15})", 2, 77},
        // A DVR ignores the NVR fields.
        {R"({"secondPort": 0, "nvrSecondPort": 1, "sataCode": 1, "nvrSataCode": 7})", 1, 2},
        // An NVR takes its own port flag, even when secondPort says otherwise.
        {R"({"isNvr": 1, "nvrSecondPort": 0, "secondPort": 1, "sataCode": 0, "nvrSataCode": 7})", 1,
         9},
        {R"({"isNvr": 1, "nvrSecondPort": 1, "secondPort": 0, "sataCode": 0, "nvrSataCode": 2})", 2,
         4},
        // The gate looks at sataCode on an NVR too: 8 still lets it through.
        {R"({"isNvr": 1, "sataCode": 8, "nvrSataCode": 3})", 1, 5},
        {R"({"isNvr": 1, "sataCode": 9, "nvrSataCode": 3})", 1, 77},
        {R"({"isNvr": 1, "sataCode": 15, "nvrSataCode": 0})", 1, 77},
        {R"({"isNvr": 1, "sataCode": 0, "nvrSataCode": 8})", 1, 77},
        // A chain that ended after word 1 reads as all zeros.
        {R"({"words": 1, "secondPort": 1, "sataCode": 7})", 1, 0},
    };
    for (const Case &c : cases) {
        Report rep = report_info(c.info);
        EXPECT_EQ(rep.rc, 0) << c.info;
        EXPECT_EQ(rep.net, c.net) << c.info;
        EXPECT_EQ(rep.sata, c.sata) << c.info;
    }
}

} // namespace
