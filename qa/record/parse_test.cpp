// Captures written out by hand, line by line as ftq prints them, and what
// the record of each must hold.
#include "simulated.h"

#include "record/parser.h"

#include <gtest/gtest.h>

#include <iconv.h>

namespace {

using qa::record::Json;
using qa::record::utf8;

std::string to_gb2312(const std::string &text) {
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    std::string out(text.size() * 2, '\0');
    char *in = const_cast<char *>(text.data());
    char *op = out.data();
    size_t il = text.size();
    size_t ol = out.size();
    size_t rc = iconv(cd, &in, &il, &op, &ol);
    iconv_close(cd);
    EXPECT_NE(rc, static_cast<size_t>(-1));
    out.resize(out.size() - ol);
    return out;
}

std::string crlf(const std::string &s) {
    std::string o;
    for (char c : s)
        o += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return o;
}

// A type-6 board that fails four ways, with a model code outside the
// table and every report value away from its default.
const char8_t *const FAILED_RUN = u8R"( 设备类型 Type  6 
第1步:按键测试
面板按下摇杆       点亮所有红色灯
面板输入UP         关闭红色灯并点亮所有通道灯和功能灯
面板输入DOWN       关闭所有通道灯和功能灯
面板输入LEFT       点亮状态灯
面板输入RIGHT      关闭状态灯
面板输入MENU       退出测试
key ENTER is pressed
key  is up
unknow key
key MENU is pressed

第2步:网络状态网口一:网络连接接通 半双工  1000M
网口二:网络连接断开 

第3步:报警量测试，请确认已经连接好报警测试装置

 报警输出为 2, 报警输入为 1222 ，报警输入应为 2222
成功 4, 失败 1

第4步:实时时钟
时钟时间 2012 -  5 - 23   8: 7:29 
系统时间 2012 -  5 - 23   8: 7:32 
时钟时间 2012 -  5 - 23   8: 7:30 
系统时间 2012 -  5 - 23   8: 7:32 

第5步:USB口测试
/dev/msa1 剩余空间 = 3884M

第6步:SATA硬盘测试
/dev/sda
序列号    :AB CD               
型号      :TEST MODEL X                            
固件版本  :RV1     
硬盘容量  :0GB
open /dev/sdb failed

第7步:请确认已经正确连接好485测试装置
发送  0字节成功
    0字节失败 

CPLD信息: 
无法识别的CPLD信息(QB0005)

设备类型 : QB0005(NVR)
ARM主频  : N/A
DSP主频  : 800MHz
内存频率 : 933MHz
内存大小 : 1.5GB
FLASH大小: 2MB+256MB
CPLD版本 : 20012年00月00日
报警 I/O : 4/2
----------------------------------------------------------------
FTQ测试结果如下:
USB口       : 1 
SATA口      : 1 
485口       : error occured!  
报警口      : error occured!  
Rtc时钟     : error occured!  
USB口       : error occured!  
----------------------------------------------------------------
测试结束
)";

TEST(Parse, EveryFieldOfAFailedRun) {
    std::vector<Json> records = qa::record::parse_text(utf8(FAILED_RUN), "a.log");
    ASSERT_EQ(records.size(), 1u);
    const Json &r = records[0];
    EXPECT_EQ(r["source"], Json({{"file", "a.log"}, {"offset", 0}}));
    EXPECT_EQ(r["verdict"], "fail");
    EXPECT_EQ(r["mode"], "whole");
    EXPECT_EQ(r["boardType"], 6);
    EXPECT_EQ(r["usb"], 1);
    EXPECT_EQ(r["sata"], 1);
    EXPECT_EQ(r["failed"], Json({"rs485", "alarm", "rtc", "usb"}));
    EXPECT_EQ(r["board"], Json({{"unrecognisedModel", "QB0005"},
                                {"deviceType", "QB0005(NVR)"},
                                {"armClock", "N/A"},
                                {"dspClock", "800MHz"},
                                {"memClock", "933MHz"},
                                {"memSize", "1.5GB"},
                                {"flashSize", "2MB+256MB"},
                                {"cpldVersion", utf8(u8"20012年00月00日")},
                                {"alarmInputs", 4},
                                {"alarmOutputs", 2}}));
    EXPECT_EQ(r["disks"], Json::parse(R"([{"node": "/dev/sda",
        "serial": "AB CD               ", "serialTrimmed": "AB CD",
        "model": "TEST MODEL X                            ", "modelTrimmed": "TEST MODEL X",
        "firmware": "RV1     ", "firmwareTrimmed": "RV1", "capacityGB": 0}])"));
    EXPECT_EQ(r["network"], Json::parse(R"([
        {"port": "eth0", "link": "up", "duplex": "half", "speed": "1000M"},
        {"port": "eth1", "link": "down", "duplex": null, "speed": null}])"));
    EXPECT_EQ(r["rtc"], Json::parse(R"({"readings": [
        {"rtc": "2012-05-23 08:07:29", "system": "2012-05-23 08:07:32"},
        {"rtc": "2012-05-23 08:07:30", "system": "2012-05-23 08:07:32"}], "passed": false})"));
    EXPECT_EQ(r["testedAt"], "2012-05-23 08:07:32");
    EXPECT_EQ(r["rs485"], Json::parse(R"({"correct": 0, "wrong": 0, "timedOut": true})"));
    EXPECT_EQ(r["alarm"], Json::parse(R"({"mismatches": [
        {"output": "2", "input": "1222", "expected": "2222"}], "success": 4, "failure": 1})"));
    EXPECT_EQ(r["usbDevices"], Json::parse(R"([{"node": "/dev/msa1", "freeMB": 3884}])"));
    EXPECT_EQ(r["panel"], Json::parse(R"({"keys": [{"key": "ENTER", "state": "pressed"},
        {"key": "", "state": "up"}, {"key": "MENU", "state": "pressed"}], "unknownKeys": 1})"));
    EXPECT_TRUE(r["factoryReset"].is_null());
    EXPECT_EQ(r["step"], 7);
    EXPECT_EQ(r["unknown"], Json::array());
}

TEST(Parse, Gb2312WithCrLfReadsAsItsUtf8Form) {
    const std::string text = utf8(FAILED_RUN);
    Json plain = qa::record::parse_text(text).at(0);
    std::vector<Json> raw = qa::record::parse_text(crlf(to_gb2312(text)));
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0], plain);
    // Fed a byte at a time, the reader gives the same record.
    std::vector<Json> bytewise;
    ftqrecord::Parser p(
        "-", [&](const ftqrecord::Record &r) { bytewise.push_back(Json::parse(to_json(r))); });
    const std::string gb = to_gb2312(text);
    for (char c : gb)
        p.feed(&c, 1);
    p.finish();
    ASSERT_EQ(bytewise.size(), 1u);
    EXPECT_EQ(bytewise[0], plain);
}

TEST(Parse, FailWithoutAnErrorLineAndPassWithItsFactoryReset) {
    const std::string text = utf8(u8R"( 设备类型 Type  6 
----------------------------------------------------------------
FTQ测试结果如下:
USB口       : 3 
SATA口      : 0 
----------------------------------------------------------------
测试结束
 设备类型 Type  2 
----------------------------------------------------------------
FTQ测试结果如下:
USB口       : 3 
SATA口      : 2 
测试结果    : OK 
----------------------------------------------------------------
测试结束,系统将要重新启动,并恢复出厂设置
remove /dav2/devCfg.bin OK ... 
remove /dav2/netOsd.bin ERROR ... 
# 
)");
    std::vector<Json> r = qa::record::parse_text(text);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]["verdict"], "fail");
    EXPECT_EQ(r[0]["failed"], Json::array());
    EXPECT_EQ(r[1]["verdict"], "pass");
    EXPECT_EQ(r[1]["usb"], 3);
    EXPECT_EQ(r[1]["sata"], 2);
    EXPECT_EQ(r[1]["factoryReset"], Json::parse(R"({"removed": ["/dav2/devCfg.bin"],
        "errors": ["/dav2/netOsd.bin"]})"));
    // The shell's prompt after the program ended is not the run's.
    EXPECT_EQ(r[1]["unknown"], Json::array());
}

TEST(Parse, NoiseAroundAndInsideRunsAndARunCutOff) {
    const std::string text = utf8(u8R"(U-Boot 2010.06
[    0.000000] Linux version 2.6.37
# ftq -o 6
sysInit 1 Fatal
 设备类型 Type  0 
时钟时间 1900 -  1 -  0   0: 0: 0 
系统时间 2012 -  5 - 23   8: 7:29 
abc
# ftq
 设备类型 Type  1 
第1步:按键测试
key UP is pressed

第2步:网络状态[   12.500000] eth0: link up
网口一:网络连接接通 全双工  100M

第3步:报警量测试，请确认已经连接好报警测试装置
)");
    std::vector<Json> r = qa::record::parse_text(crlf(text), "day.log");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]["source"]["offset"], text.find("sysInit") + 3); // three CRs before it
    EXPECT_EQ(r[0]["messages"], Json({"sysInit 1 Fatal"}));
    EXPECT_EQ(r[0]["boardType"], 0);
    EXPECT_TRUE(r[0]["verdict"].is_null());
    EXPECT_EQ(r[0]["mode"], "single");
    EXPECT_EQ(r[0]["rtc"]["passed"], false) << "an unread clock chip fails";
    // The typed line and the shell's next command are not ftq's.
    EXPECT_EQ(r[0]["unknown"], Json::parse(R"([{"line": 8, "text": "abc"},
        {"line": 9, "text": "# ftq"}])"));
    EXPECT_EQ(r[1]["verdict"], "incomplete");
    EXPECT_EQ(r[1]["step"], 3);
    EXPECT_EQ(r[1]["network"], Json::parse(R"([
        {"port": "eth0", "link": "up", "duplex": "full", "speed": "100M"}])"));
    EXPECT_EQ(r[1]["unknown"], Json::array());
}

TEST(Parse, LinesFtqDoesNotPrintAreKeptWithTheirNumbers) {
    const std::string text = utf8(u8R"( 设备类型 Type  1 
CPLD信息: 
ARM主频  : 2G
key FOO is pressed
Chip1 good
报警 I/O : 16/3
USB口       : 2 extra
)");
    Json r = qa::record::parse_text(text).at(0);
    EXPECT_EQ(r["unknown"], Json::parse(utf8(u8R"([{"line": 3, "text": "ARM主频  : 2G"},
        {"line": 4, "text": "key FOO is pressed"}, {"line": 5, "text": "Chip1 good"},
        {"line": 6, "text": "报警 I/O : 16/3"}, {"line": 7, "text": "USB口       : 2 extra"}])")));
    EXPECT_EQ(r["board"], Json::object());
    EXPECT_TRUE(r["usb"].is_null());
}

TEST(Parse, NothingButNoiseIsNoRun) {
    EXPECT_TRUE(qa::record::parse_text("U-Boot 2010.06\r\n# ls\r\nbin dev etc\r\n").empty());
    EXPECT_TRUE(qa::record::parse_text("").empty());
}

// Bytes that are not well-formed UTF-8 (a surrogate, a code point above
// U+10FFFF) are read as GB2312, and the record stays valid JSON whatever
// the line or the file's name holds.
TEST(Parse, AnyBytesGiveValidJson) {
    const std::string text = utf8(u8" 设备类型 Type  1 \n") + "\xED\xA0\x80 \xF4\x90\x80\x80\n" +
                             "q\"b\\s\x01\x1f\x7f\t\b\f\r\n";
    std::vector<Json> r = qa::record::parse_text(text, "day\xFF.log");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["source"]["file"], utf8(u8"day\uFFFD.log"));
    EXPECT_EQ(
        r[0]["unknown"],
        Json::parse(utf8(u8R"([{"line": 2, "text": "\uFFFD\uFFFD\uFFFD \uFFFD\uFFFD\uFFFD\uFFFD"},
                  {"line": 3, "text": "q\"b\\s\u0001\u001f\u007f\t\b\f"}])")));
    // Each escape as JSON writes it (DEL needs none), the line's own CR
    // taken off.
    ftqrecord::Record rec = ftqrecord::parse_records(text).at(0);
    EXPECT_NE(ftqrecord::to_json(rec).find(R"("text":"q\"b\\s\u0001\u001f)"
                                           "\x7f"
                                           R"(\t\b\f")"),
              std::string::npos);
}

TEST(Parse, AHugeRunStaysBounded) {
    std::string text = utf8(u8" 设备类型 Type  1 \n");
    text += std::string(10 << 20, 'x') + "\n";
    for (int i = 0; i < 5000; ++i)
        text += "garbage " + std::to_string(i) + "\n";
    for (int i = 0; i < 100000; ++i)
        text += "sysInit2 Fatal\n";
    Json r = qa::record::parse_text(text).at(0);
    ASSERT_EQ(r["unknown"].size(), ftqrecord::MAX_UNKNOWN);
    EXPECT_EQ(r["unknown"][0]["text"].get<std::string>().size(), ftqrecord::MAX_LINE);
    EXPECT_EQ(r["unknown"][1], Json({{"line", 3}, {"text", "garbage 0"}}));
    EXPECT_EQ(r["unknownDropped"], 5001 - ftqrecord::MAX_UNKNOWN);
    EXPECT_EQ(r["messages"].size(), ftqrecord::MAX_ITEMS);
}

} // namespace
