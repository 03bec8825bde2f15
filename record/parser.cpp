// The parser knows every line ftq prints, as the program writes it: a line
// is first matched against the vocabulary below, then its fields go into
// the record of the run it belongs to. Lines of the operator's console that
// ftq does not print (echoed keys, the shell, the kernel) either are told
// apart as such or land in the run's `unknown` list with their line number.
#include "record/parser.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <vector>

namespace ftqrecord {

namespace {

using sv = std::string_view;

// ---- text -------------------------------------------------------------

// GB2312's 94 x 94 characters as UTF-8, worked out once through iconv.
struct Gb2312Table {
    std::array<std::array<char, 4>, 94 * 94> utf8{};
    Gb2312Table() {
        iconv_t cd = iconv_open("UTF-8", "GB2312");
        for (int row = 0; row < 94; ++row)
            for (int col = 0; col < 94; ++col) {
                char in[2] = {static_cast<char>(0xA1 + row), static_cast<char>(0xA1 + col)};
                char out[8] = {};
                char *ip = in;
                char *op = out;
                size_t il = 2;
                size_t ol = sizeof out;
                auto &slot = utf8[static_cast<size_t>(row * 94 + col)];
                if (cd != reinterpret_cast<iconv_t>(-1) &&
                    iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && il == 0 &&
                    op - out <= 3) {
                    std::memcpy(slot.data(), out, static_cast<size_t>(op - out));
                    slot[3] = static_cast<char>(op - out);
                }
            }
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
};

const Gb2312Table &gb2312() {
    static const Gb2312Table table;
    return table;
}

} // namespace

namespace {

// A line that is UTF-8 already is read where it lies; one that is not is
// converted into `out`, which keeps its storage from line to line.
sv to_utf8(sv line, std::string &out) {
    if (valid_utf8(line))
        return line;
    const auto &table = gb2312().utf8;
    // A byte becomes at most U+FFFD's three. The buffer only grows, so it
    // is not filled again for every line.
    if (out.size() < line.size() * 3)
        out.resize(line.size() * 3);
    // Plain pointers: the compiler cannot tell that writes through a char
    // pointer leave the string and the table alone, and would reload them.
    char *const begin = out.data();
    char *o = begin;
    const auto *p = reinterpret_cast<const unsigned char *>(line.data());
    const auto *const end = p + line.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            // Runs of ASCII (blanks, figures, English) eight bytes at a time.
            uint64_t w;
            while (end - p >= 8 && (std::memcpy(&w, p, 8), (w & 0x8080808080808080ULL) == 0)) {
                std::memcpy(o, p, 8);
                o += 8;
                p += 8;
            }
            if (p < end && *p < 0x80)
                *o++ = static_cast<char>(*p++);
            continue;
        }
        if (c >= 0xA1 && c <= 0xFE && p + 1 < end && p[1] >= 0xA1 && p[1] <= 0xFE) {
            const auto &u = table[static_cast<size_t>((c - 0xA1) * 94 + (p[1] - 0xA1))];
            if (u[0] != 0) {
                std::memcpy(o, u.data(), 3);
                o += u[3];
                p += 2;
                continue;
            }
        }
        std::memcpy(o, "\xEF\xBF\xBD", 3);
        o += 3;
        ++p;
    }
    return sv(begin, static_cast<size_t>(o - begin));
}

} // namespace

std::string line_to_utf8(std::string_view line) {
    std::string out;
    return std::string(to_utf8(line, out));
}

namespace {

// ---- the vocabulary ----------------------------------------------------

enum class K {
    Type,
    Shell,
    RootFail,
    Help,
    BadArg,
    ChooseNumber,
    WrongNumber,
    VexioOpenFail,
    WatchdogInitFail,
    StepPanel,
    StepNet,
    StepAlarm,
    StepRtc,
    StepUsb,
    StepSata,
    Step485,
    Hyphens,
    SummaryHead,
    SumUsb,
    SumSata,
    SumOk,
    ErrNet,
    Err485,
    ErrAlarm,
    ErrRtc,
    ErrUsb,
    EndFail,
    EndPass,
    RemoveOk,
    RemoveErr,
    SysInit,
    BoardHead,
    BoardUnrecognised,
    BoardType,
    BoardArm,
    BoardDsp,
    BoardMemClock,
    BoardMemSize,
    BoardFlash,
    BoardCpld,
    BoardAlarm,
    PanelPrompt,
    Key,
    UnknownKey,
    PanelControl,
    PanelMain,
    PanelOther,
    Replies,
    Ends, // a message after which the program stops
    Quiet,
    OpenFailed,
    NetPort1,
    NetPort2,
    NetUp,
    NetDown,
    NetLinkFail,
    NetSetFail,
    NetFull,
    NetHalf,
    NetSpeed,
    AlarmCounts,
    AlarmIdle,
    AlarmMismatch,
    IoctlError,
    AlarmInterrupted,
    RtcClock,
    RtcSystem,
    RtcInterrupted,
    UsbFree,
    UsbFailed,
    DiskNode,
    DiskSerial,
    DiskModel,
    DiskFirmware,
    DiskCapacity,
    Rs485Correct,
    Rs485Wrong,
    Rs485Sent,
    Rs485Lost,
    PmpPortNum,
    PmpChip,
    PmpMessage,
};

constexpr size_t MAX_RUNS = 16;

struct Pattern {
    sv fmt;
    K kind;
    bool continues = false; // printed without a line end: the line goes on
    int arg = 0;
    // The lengths of the format's texts: the one before its first value,
    // then the one after each value. Worked out once, as every line of a
    // capture is tried against several formats.
    std::array<uint16_t, MAX_RUNS> runs{};
};

// Where the conversion that starts at fmt[j] ('%') ends.
size_t conversion_end(sv fmt, size_t j) {
    ++j;
    while (j < fmt.size() && (fmt[j] == '0' || (fmt[j] >= '1' && fmt[j] <= '9') || fmt[j] == 'l'))
        ++j;
    return j + 1;
}

void literal_runs(Pattern &p) {
    size_t j = 0;
    for (size_t run = 0; run < MAX_RUNS && j <= p.fmt.size(); ++run) {
        size_t pct = std::min(p.fmt.find('%', j), p.fmt.size());
        p.runs[run] = static_cast<uint16_t>(pct - j);
        if (pct == p.fmt.size())
            break;
        j = conversion_end(p.fmt, pct);
    }
}

// The help text, line by line.
const char *const HELP[] = {
    "ftq ver1.02(2009-4-3)",
    "this program will excute the follow test",
    "No.1 : \t\t\t Show board Info",
    "No.2 : \t\t\t Buzzer test",
    "No.3 : \t\t\t Front board test",
    "No.4 : \t\t\t 485 com test",
    "No.5 : \t\t\t Iop test",
    "No.6 : \t\t\t RTC test",
    "No.7 : \t\t\t USB port test",
    "No.8 : \t\t\t SATA test",
    "No.9 : \t\t\t Watchdog test,Restart system ",
    "No.10: \t\t\t pmp test,Restart system ",
    "No.11: \t\t\t Network model configure show",
    "ftq -h or ftq --help for help information",
    "If you want to do all the tests, please run ftq ",
    "If you want to do only one test of them ,please run ftq -o  <No.> ",
    "        eg. ftq -o 4   then only test 485 port",
};
constexpr int HELP_LINES = 17;

const std::vector<Pattern> &vocabulary() {
    static const std::vector<Pattern> v = [] {
        std::vector<Pattern> p = {
            {" 设备类型 Type  %d ", K::Type},
            {"以管理员权限运行ftq程序失败!!!", K::RootFail},
            {"参数非法", K::BadArg},
            {"请选择测试序号(1~%d)", K::ChooseNumber},
            {"请输入正确的测试序号.(1~%d)", K::WrongNumber, true},
            {"打开hwInfo设备出错!", K::VexioOpenFail},
            {"初始化关门狗失败!", K::WatchdogInitFail},
            {"第%d步:按键测试", K::StepPanel},
            {"第%d步:网络状态", K::StepNet, true},
            {"第%d步:报警量测试，请确认已经连接好报警测试装置", K::StepAlarm},
            {"第%d步:实时时钟", K::StepRtc},
            {"第%d步:USB口测试", K::StepUsb},
            {"第%d步:SATA硬盘测试", K::StepSata},
            {"第%d步:请确认已经正确连接好485测试装置", K::Step485},
            {"----------------------------------------------------------------", K::Hyphens},
            {"FTQ测试结果如下:", K::SummaryHead},
            {"USB口       : %d ", K::SumUsb},
            {"SATA口      : %d ", K::SumSata},
            {"测试结果    : OK ", K::SumOk},
            {"网络状态    : error occured!  ", K::ErrNet},
            {"485口       : error occured!  ", K::Err485},
            {"报警口      : error occured!  ", K::ErrAlarm},
            {"Rtc时钟     : error occured!  ", K::ErrRtc},
            {"USB口       : error occured!  ", K::ErrUsb},
            {"测试结束", K::EndFail},
            {"测试结束,系统将要重新启动,并恢复出厂设置", K::EndPass},
            {"remove /dav2/devCfg.bin OK ... ", K::RemoveOk, false, 0},
            {"remove /dav2/netOsd.bin OK ... ", K::RemoveOk, false, 1},
            {"remove /dav2/devCfg.bin ERROR ... ", K::RemoveErr, false, 0},
            {"remove /dav2/netOsd.bin ERROR ... ", K::RemoveErr, false, 1},
            {"sysInit 1 Fatal", K::SysInit},
            {"sysInit2 Fatal", K::SysInit},
            {"sysInit3 Fatal", K::SysInit},
            {"CPLD信息: ", K::BoardHead},
            {"无法识别的CPLD信息(%s)", K::BoardUnrecognised},
            {"设备类型 : %s", K::BoardType},
            {"ARM主频  : %s", K::BoardArm},
            {"DSP主频  : %s", K::BoardDsp},
            {"内存频率 : %s", K::BoardMemClock},
            {"内存大小 : %s", K::BoardMemSize},
            {"FLASH大小: %s", K::BoardFlash},
            {"CPLD版本 : 20%s", K::BoardCpld},
            {"报警 I/O : %d/%d", K::BoardAlarm},
            {"面板按下摇杆       点亮所有红色灯", K::PanelPrompt},
            {"面板按下ENTER      点亮所有红色灯", K::PanelPrompt},
            {"面板输入UP         关闭红色灯并点亮所有通道灯和功能灯", K::PanelPrompt},
            {"面板输入DOWN       关闭所有通道灯和功能灯", K::PanelPrompt},
            {"面板输入LEFT       点亮状态灯", K::PanelPrompt},
            {"面板输入RIGHT      关闭状态灯", K::PanelPrompt},
            {"面板输入MENU       退出测试", K::PanelPrompt},
            {"key %s is %s", K::Key},
            {"unknow key", K::UnknownKey},
            {"control pannel is pressed", K::PanelControl},
            {"main control keyboard is pressed", K::PanelMain},
            {"other messages is received", K::PanelOther},
            {"read failed", K::Quiet},
            {"signal failed", K::Ends},
            {"receive %u:%u replies", K::Replies},
            {"open %s failed", K::OpenFailed},
            {"tcsetattr failed", K::Ends},
            {"can not creat HB thread", K::Quiet},
            {"网口一:", K::NetPort1, true},
            {"网口二:", K::NetPort2, true},
            {"网络连接接通 ", K::NetUp, true},
            {"网络连接断开 ", K::NetDown},
            {"ETHTOOL_GLINK failed: ", K::NetLinkFail},
            {"ETHTOOL_GLINK failed", K::NetSetFail},
            {"全双工  ", K::NetFull, true},
            {"半双工  ", K::NetHalf, true},
            {"10M", K::NetSpeed},
            {"100M", K::NetSpeed},
            {"1000M", K::NetSpeed},
            {"net speed error", K::NetSpeed},
            {"creat socket error", K::Quiet},
            {"成功 %u, 失败 %u", K::AlarmCounts},
            {" 断开报警输出时, 报警输入为 %x ，报警输入应为 0", K::AlarmIdle},
            {" 报警输出为 %x, 报警输入为 %x ，报警输入应为 %x", K::AlarmMismatch},
            {"IOCTL ERROR", K::IoctlError},
            {"success is %u, and error is %u", K::AlarmInterrupted},
            {"unknown alarm output count %d, alarm outputs not tested", K::Quiet},
            {"时钟时间 %4d - %2d - %2d  %2d:%2d:%2d ", K::RtcClock},
            {"系统时间 %4d - %2d - %2d  %2d:%2d:%2d ", K::RtcSystem},
            {"read rtc successfully %u times : failed %u times", K::RtcInterrupted},
            {"%s 剩余空间 = %lluM", K::UsbFree},
            {"Failed to statfs", K::UsbFailed, true},
            {"Failed to mount", K::UsbFailed, true},
            {"can not open directory /proc", K::Quiet},
            {"/dev/sd%c", K::DiskNode},
            {"序列号    :%s", K::DiskSerial},
            {"型号      :%s", K::DiskModel},
            {"固件版本  :%s", K::DiskFirmware},
            {"硬盘容量  :%lluGB", K::DiskCapacity},
            {"send IDENTIFY DEVICE command, return %d", K::Quiet},
            {"Can not open %s ", K::Quiet},
            {"Can not get %s size ", K::Quiet},
            {"正确:    %u字节  ", K::Rs485Correct},
            {"错误:    %u字节 ", K::Rs485Wrong},
            {"发送  %u字节成功", K::Rs485Sent},
            {"    %u字节失败 ", K::Rs485Lost},
            {"no more data can write in 5 seconds,exit ", K::Quiet},
            {"select(): %s", K::Quiet},
            {"read select(): %s", K::Quiet},
            {"fork: %s", K::Quiet},
            {"485 receiver gave no verdict", K::Quiet},
            {"open hwInfo error!", K::Quiet},
            {"failed to open watchdog", K::Quiet},
            {"set watchdog timeout failed", K::Quiet},
            {"can not open %s ", K::Quiet},
            // What the board's busybox says on the console when the USB
            // test's fall-back commands fail: not ftq's words, but a run's.
            {"mount: mounting %s on %s failed: %s", K::Shell},
            {"mkdir: can't create directory '%s': %s", K::Shell},
            {"update the firmware success, now reset the jmb321!", K::PmpMessage},
            {"sata_port_num = %d ", K::PmpPortNum},
            {"open /dev/sd%c success!", K::PmpMessage},
            {"open /dev/sd%c fail!", K::PmpMessage},
            {"test..1", K::PmpMessage},
            {"test..2", K::PmpMessage},
            {"wrong sata port num!", K::PmpMessage},
            {"测试结果如下", K::PmpMessage},
            {"Chip1 %s", K::PmpChip, false, 1},
            {"Chip2 %s", K::PmpChip, false, 2},
            {"      continue!", K::PmpMessage, true},
            {"ERR : waitflashrdy, timeout (%d)", K::PmpMessage, true},
            {"ERR:the sata fd is error", K::PmpMessage},
            {"ERR : %s, spi JMB39X fail (%d)", K::PmpMessage},
        };
        for (int i = 0; i < HELP_LINES; ++i)
            p.push_back({HELP[i], K::Help, false, i + 1});
        // The port-multiplier update's messages: they carry no field of the
        // record, but each is a line ftq prints.
        static const char *const PMP[] = {
            "INFO: Verify flash #%d",
            "INFO: Verify complete",
            "INFO: Upload flash #%d",
            "INFO: Upload complete",
            "INFO: Total verify size = %d",
            "INFO: Total upload size = %d",
            "INFO: Revision ID = %02Xh",
            "INFO: Read back flash #%d",
            "INFO: JMB39X device exist",
            "INFO: JMB39X CHIP ID = %02Xh, Revision ID = %02Xh",
            "INFO: Flash is found by chk1",
            "INFO: Flash is found by chk0",
            "INFO: Flash #%d is the same as binary file",
            "INFO: Finish",
            "INFO: Bonding = %02Xh",
            "INFO: Binfile length = %d bytes",
            "INFO: Binfile ID = %02Xh %02X%02Xh",
            "WRN : verifycode, verify not complete",
            "WRN : verifycode, verify fail (%08Xh) (JMB39X = %08Xh, binfile = %02X%02X%02X%02Xh)",
            "WRN : chkflashsts, chk1 fail, try chk0 (%08X)",
            "WRN : chkbinfile, revision ID is mismatch (JMB39X = %02Xh, binfile = %02Xh)",
            "ERR : writeflash, waitflashrdy(1000) fail2 (%08Xh)",
            "ERR : writeflash, spiWREN fail (%08Xh)",
            "ERR : writeflash, spiPP fail (%08Xh)",
            "ERR : waitflashrdy, spiRDSR fail",
            "ERR : verifycode, readflash fail (%08Xh)",
            "ERR : verifycode, read binfile fail (%08Xh)",
            "ERR : uploadcode, writeflash fail (%08Xh)",
            "ERR : uploadcode, verify fail (%08Xh) (JMB39X = %08Xh, binfile = %02X%02X%02X%02Xh)",
            "ERR : uploadcode, upload not complete",
            "ERR : uploadcode, readflash fail (%08Xh)",
            "ERR : uploadcode, read binfile fail (%08Xh)",
            "ERR : uploadcode, read back binfile fail (%08Xh)",
            "ERR : uploadcode, eraseflash fail",
            "ERR : uploadcode, disableflashWP fail",
            "ERR : readflash, spiREAD fail (%08Xh)",
            "ERR : pmprw, ioctl fail (%d)",
            "ERR : open config binfile fail",
            "ERR : main, verifycode fail",
            "ERR : main, uploadcode fail",
            "ERR : main, check flash status fail",
            "ERR : main, check binary file fail",
            "ERR : main, check 39x device fail",
            "ERR : eraseflash, waitflashrdy(10000) fail2",
            "ERR : eraseflash, waitflashrdy(10000) fail1",
            "ERR : eraseflash, spiWREN fail",
            "ERR : eraseflash, spiCE fail",
            "ERR : disableflashWP, waitflashrdy(10000) fail2",
            "ERR : disableflashWP, waitflashrdy(10000) fail1",
            "ERR : disableflashWP, spiWRSR fail",
            "ERR : disableflashWP, spiWREN fail",
            "ERR : chkflashsts, writeflash fail",
            "ERR : chkflashsts, spiREAD fail (00000000h)",
            "ERR : chkflashsts, readflash fail",
            "ERR : chkflashsts, eraseflash fail",
            "ERR : chkflashsts, disableflashWP fail",
            "ERR : chkflashsts, chk0 fail, (%08X %08X %08X %08X)",
            "ERR : chkbinfile, too few data when read binfile (< 32 bytes)",
            "ERR : chkbinfile, read binfile fail (%d)",
            "ERR : chkbinfile, read JMB39X fail2",
            "ERR : chkbinfile, read JMB39X fail1",
            "ERR : chkbinfile, length of binfile isn't alignment (%d)",
            "ERR : chkbinfile, bonding is mismatch (JMB39X = %02Xh, binfile = %02Xh)",
            "ERR : chkbinfile, binfile ID error (%02Xh %02X%02Xh)",
            "ERR : chk39xdev, read JMB39X fail2",
            "ERR : chk39xdev, read JMB39X fail1",
            "ERR : JMB39X device doesn't exist (%08Xh)",
            "ERR : Binfine length is mismatch (exp: %d, act: %d)",
        };
        for (const char *f : PMP)
            p.push_back({f, K::PmpMessage});
        for (Pattern &x : p)
            literal_runs(x);
        return p;
    }();
    return v;
}

constexpr size_t MAX_FIELDS = 8;
struct Fields {
    std::array<sv, MAX_FIELDS> f;
    size_t n = 0;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_hex(char c, bool upper) {
    return is_digit(c) || (upper ? (c >= 'A' && c <= 'F') : (c >= 'a' && c <= 'f'));
}

// Matches the start of `s` against a printf format as ftq uses them. A
// pattern that ends its line must take the whole of `s`; its trailing blanks
// may be missing, since some terminal programs drop them from their logs.
// Returns the bytes taken, or npos.
size_t scan(sv s, const Pattern &p, bool whole, Fields &out) {
    const sv fmt = p.fmt;
    out.n = 0;
    size_t i = 0;
    size_t j = 0;
    size_t values = 0; // taken so far: the text at j is the run after them
    auto run = [&](size_t k, size_t at) -> size_t {
        return k < MAX_RUNS ? p.runs[k] : std::min(fmt.find('%', at), fmt.size()) - at;
    };
    while (j < fmt.size()) {
        if (fmt[j] != '%') {
            // The text up to the next value, compared in one go.
            size_t lit = run(values, j);
            if (s.size() - i >= lit && std::memcmp(s.data() + i, fmt.data() + j, lit) == 0) {
                i += lit;
                j += lit;
                continue;
            }
            while (i < s.size() && s[i] == fmt[j]) {
                ++i;
                ++j;
            }
            if (whole && i == s.size() && fmt.find_first_not_of(' ', j) == sv::npos)
                return i;
            return sv::npos;
        }
        ++j;
        size_t width = 0;
        bool zero = false;
        if (j < fmt.size() && fmt[j] == '0') {
            zero = true;
            ++j;
        }
        while (j < fmt.size() && is_digit(fmt[j]))
            width = width * 10 + static_cast<size_t>(fmt[j++] - '0');
        while (j < fmt.size() && fmt[j] == 'l')
            ++j;
        char conv = fmt[j++];
        ++values;
        size_t start = i;
        switch (conv) {
        case 'd':
        case 'u': {
            if (!zero)
                while (i < s.size() && s[i] == ' ' && i - start + 1 < width)
                    ++i;
            size_t num = i;
            if (conv == 'd' && i < s.size() && s[i] == '-')
                ++i;
            size_t digits = i;
            while (i < s.size() && is_digit(s[i]) && !(zero && i - digits == width))
                ++i;
            if (i == digits || (zero && i - digits < width))
                return sv::npos;
            if (out.n < MAX_FIELDS)
                out.f[out.n++] = s.substr(num, i - num);
            break;
        }
        case 'x':
        case 'X': {
            // ftq zero-pads only bytes and words, so such a field has
            // exactly its width and the next one may follow it directly.
            size_t digits = i;
            while (i < s.size() && is_hex(s[i], conv == 'X') && !(zero && i - digits == width))
                ++i;
            if (i == digits || (zero && i - digits < width))
                return sv::npos;
            if (out.n < MAX_FIELDS)
                out.f[out.n++] = s.substr(digits, i - digits);
            break;
        }
        case 'c':
            if (i >= s.size() || s[i] < 'a' || s[i] > 'z')
                return sv::npos;
            if (out.n < MAX_FIELDS)
                out.f[out.n++] = s.substr(i, 1);
            ++i;
            break;
        case 's': {
            size_t lit_len = run(values, j);
            size_t lit_end = j + lit_len == fmt.size() ? sv::npos : j + lit_len;
            sv lit = fmt.substr(j, lit_len);
            size_t end;
            if (lit.empty())
                end = s.size();
            else {
                end = s.find(lit, i);
                if (end == sv::npos) {
                    // The format's trailing blanks may be gone from the log.
                    sv trimmed = lit.substr(0, lit.find_last_not_of(' ') + 1);
                    if (!whole || lit_end != sv::npos || trimmed.empty() ||
                        s.size() < trimmed.size() || s.substr(s.size() - trimmed.size()) != trimmed)
                        return sv::npos;
                    end = s.size() - trimmed.size();
                }
            }
            if (out.n < MAX_FIELDS)
                out.f[out.n++] = s.substr(i, end - i);
            i = end;
            break;
        }
        default:
            return sv::npos;
        }
    }
    if (whole && i != s.size())
        return sv::npos;
    return i;
}

uint32_t bucket_key(sv s) {
    if (s.empty())
        return 0;
    auto c = static_cast<unsigned char>(s[0]);
    if (c < 0x80 || s.size() < 3)
        return c;
    return (static_cast<uint32_t>(c) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(s[1])) << 8) |
           static_cast<unsigned char>(s[2]);
}

// The patterns by the first character of their text, so that a line is
// tried only against those that can match it.
struct Vocabulary {
    std::array<std::vector<const Pattern *>, 128> ascii;                 // by first byte
    std::vector<std::pair<uint32_t, std::vector<const Pattern *>>> wide; // sorted by key
    std::vector<const Pattern *> wild; // formats that begin with a value
    Vocabulary() {
        for (const Pattern &p : vocabulary()) {
            uint32_t key = bucket_key(p.fmt);
            if (p.fmt[0] == '%')
                wild.push_back(&p);
            else if (key < 0x80)
                ascii[key].push_back(&p);
            else {
                auto it = std::lower_bound(wide.begin(), wide.end(), key,
                                           [](const auto &e, uint32_t k) { return e.first < k; });
                if (it == wide.end() || it->first != key)
                    it = wide.insert(it, {key, {}});
                it->second.push_back(&p);
            }
        }
    }
    const std::vector<const Pattern *> *bucket(sv s) const {
        uint32_t key = bucket_key(s);
        if (key < 0x80)
            return &ascii[key];
        auto it = std::lower_bound(wide.begin(), wide.end(), key,
                                   [](const auto &e, uint32_t k) { return e.first < k; });
        return it != wide.end() && it->first == key ? &it->second : nullptr;
    }
};

const Vocabulary &vocab() {
    static const Vocabulary v;
    return v;
}

struct Match {
    const Pattern *p = nullptr;
    size_t taken = 0;
    Fields fields;
};

const Pattern DOTS = {".", K::PmpMessage, true};

bool match(sv s, Match &m) {
    if (s[0] == '.') {
        // The firmware update's progress: one dot a block, no line end.
        m.p = &DOTS;
        m.taken = std::min(s.find_first_not_of('.'), s.size());
        m.fields.n = 0;
        return true;
    }
    const Vocabulary &v = vocab();
    auto try_list = [&](const std::vector<const Pattern *> &list) {
        for (const Pattern *p : list) {
            size_t n = scan(s, *p, !p->continues, m.fields);
            if (n != sv::npos) {
                m.p = p;
                m.taken = n;
                return true;
            }
        }
        return false;
    };
    const std::vector<const Pattern *> *list = v.bucket(s);
    if (list && try_list(*list))
        return true;
    return try_list(v.wild);
}

// ---- values --------------------------------------------------------------

long long number(sv s) {
    bool neg = !s.empty() && s[0] == '-';
    long long v = 0;
    for (char c : s.substr(neg ? 1 : 0))
        v = v * 10 + (c - '0');
    return neg ? -v : v;
}

std::string trimmed(sv s) {
    size_t b = s.find_first_not_of(' ');
    if (b == sv::npos)
        return "";
    size_t e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

bool one_of(sv v, std::initializer_list<sv> allowed) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

// The model texts the board report prints, by model code.
const sv MODELS[] = {"QB-71024", "QB-71031", "QB-71033", "QB-71027", "QB-71046",
                     "QB-71052", "QB-71058", "QB-71063", "QB-71069"};

bool model_text(sv v) {
    for (sv m : MODELS)
        if (v == m)
            return true;
    // Codes outside the table: "QB00" and two upper-case hexadecimal digits.
    return v.size() == 6 && v.substr(0, 4) == "QB00" && is_hex(v[4], true) && is_hex(v[5], true);
}

bool device_type_text(sv v) {
    if (v.size() < 6)
        return false;
    sv kind = v.substr(v.size() - 5);
    return one_of(kind, {"(NVR)", "(DVS)", "(DVR)"}) && model_text(v.substr(0, v.size() - 5));
}

// The key names of the panel's key codes 0 to 83.
const sv KEYS[84] = {
    "AN0",   "AN1",     "AN2",      "AN3",   "AN4",  "AN5",    "AN6",      "AN7",     "AN8",
    "AN9",   "MENU",    "ESC",      "EDIT",  "A",    "VOIP",   "PLAY",     "REC",     "PAN",
    "INFO",  "DISPLAY", "UP",       "DOWN",  "LEFT", "RIGHT",  "AN10",     "AN11",    "AN12",
    "AN13",  "AN14",    "AN15",     "AN16",  "",     "",       "",         "ENTER",   "POWER",
    "F1",    "F2",      "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "SEARCH",  "PREVIOUS", "PAUSE", "LIVE", "REPLAY", "ZOOM_OUT", "ZOOM_IN", "PRESET",
    "TOUR",  "",        "SEQUANCE", "A",     "B",    "F1",     "F2",       "",        "ALARM",
    "EJECT", "",        "ARCHIVE"};

bool key_name(sv name) {
    for (sv k : KEYS)
        if (name == k)
            return true;
    return false;
}

// A broken-down time as the RTC test prints it, in seconds; false when the
// board's 32-bit calendar time cannot hold it (an unread clock chip).
bool epoch_seconds(const Fields &f, long long &out) {
    struct tm t = {};
    t.tm_year = static_cast<int>(number(f.f[0])) - 1900;
    t.tm_mon = static_cast<int>(number(f.f[1])) - 1;
    t.tm_mday = static_cast<int>(number(f.f[2]));
    t.tm_hour = static_cast<int>(number(f.f[3]));
    t.tm_min = static_cast<int>(number(f.f[4]));
    t.tm_sec = static_cast<int>(number(f.f[5]));
    if (t.tm_mday < 1)
        return false;
    out = static_cast<long long>(timegm(&t));
    return out >= -2147483648LL && out <= 2147483647LL;
}

std::string iso_time(const Fields &f) {
    long long v[6];
    for (size_t i = 0; i < 6; ++i)
        v[i] = number(f.f[i]);
    // Every reading goes through here; printf only for the odd value that
    // does not fit its place.
    static const int width[6] = {4, 2, 2, 2, 2, 2};
    static const char after[6] = {'-', '-', ' ', ':', ':', 0};
    char buf[64];
    char *o = buf;
    for (size_t i = 0; i < 6; ++i) {
        if (v[i] < 0 || v[i] >= (width[i] == 4 ? 10000 : 100)) {
            snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", v[0], v[1], v[2],
                     v[3], v[4], v[5]);
            return buf;
        }
        for (int d = width[i] - 1, x = static_cast<int>(v[i]); d >= 0; --d, x /= 10)
            o[d] = static_cast<char>('0' + x % 10);
        o += width[i];
        if (after[i])
            *o++ = after[i];
    }
    return std::string(buf, static_cast<size_t>(o - buf));
}

bool kernel_stamp_at(sv s, size_t i) {
    // "[" blanks digits "." six digits "]", as printk stamps its lines.
    size_t k = i + 1;
    while (k < s.size() && s[k] == ' ')
        ++k;
    size_t d = k;
    while (k < s.size() && is_digit(s[k]))
        ++k;
    if (k == d || k >= s.size() || s[k] != '.')
        return false;
    ++k;
    size_t frac = k;
    while (k < s.size() && is_digit(s[k]))
        ++k;
    return k - frac == 6 && k < s.size() && s[k] == ']';
}

// Where a kernel message begins in a line, or npos.
size_t kernel_message(sv s) {
    for (size_t i = s.find('['); i != sv::npos; i = s.find('[', i + 1))
        if (kernel_stamp_at(s, i)) {
            // A log level in front of the stamp ("<6>") belongs to it.
            if (i >= 3 && s[i - 1] == '>' && is_digit(s[i - 2]) && s[i - 3] == '<')
                return i - 3;
            return i;
        }
    return sv::npos;
}

// The CPLD date after its "20": the year's two digit fields, the month
// with two digits, the day's two fields, each field 0 to 15.
bool cpld_date(sv v) {
    auto digits = [&](size_t &i) {
        size_t b = i;
        while (i < v.size() && is_digit(v[i]))
            ++i;
        return i - b;
    };
    auto word = [&](size_t &i, sv w) {
        if (v.substr(i, w.size()) != w)
            return false;
        i += w.size();
        return true;
    };
    size_t i = 0;
    size_t year = digits(i);
    if (year < 2 || year > 4 || !word(i, "年"))
        return false;
    size_t month = digits(i);
    if (month != 2 || !word(i, "月"))
        return false;
    size_t day = digits(i);
    return day >= 2 && day <= 4 && word(i, "日") && i == v.size();
}

const sv TYPE_MARK = " 设备类型 Type  ";

} // namespace

// ---- the runs -------------------------------------------------------------

struct Parser::Impl {
    std::string file;
    Sink sink;
    size_t emitted = 0;

    // The physical line being read.
    std::string line;
    std::string utf8; // the line as UTF-8, when it had to be converted
    bool line_cut = false;
    uint64_t offset = 0;      // bytes of the capture read so far
    uint64_t line_start = 0;  // where the physical line began
    uint64_t line_number = 0; // of the physical line being read, from 1

    // A line the kernel broke into: its first part waits for the rest.
    std::string fragment;
    uint64_t fragment_line = 0;
    uint64_t fragment_start = 0;

    // sysInit's lines come before the type line of their run; until the
    // next line shows whether a new run starts, they wait here.
    struct Held {
        std::string text;
        uint64_t line;
        uint64_t start;
    };
    std::vector<Held> held;
    std::vector<Held> starting; // held lines that turned out to open a run

    // The run being read.
    bool open = false;
    bool ended = false; // the program has stopped; noise that follows is not its
    Record rec;
    bool summary = false;
    bool closing_hyphens = false;
    bool ok = false;
    bool end_fail = false;
    bool whole = false;
    bool help = false;
    enum class Rs485State { None, Correct, Sent } rs485 = Rs485State::None;
    int net_port = -1;
    bool rtc_failed = false;
    bool rtc_pending = false;
    long long rtc_clock = 0;
    bool rtc_clock_ok = false;

    Impl(std::string f, Sink s) : file(std::move(f)), sink(std::move(s)) {}

    void start_run(uint64_t start) {
        close_run();
        open = true;
        ended = false;
        summary = closing_hyphens = ok = end_fail = whole = help = false;
        rs485 = Rs485State::None;
        net_port = -1;
        rtc_failed = rtc_pending = rtc_clock_ok = false;
        rec.clear();
        rec.file = file;
        rec.offset = start;
    }

    void close_run() {
        if (!open)
            return;
        open = false;
        if (ok)
            rec.verdict = "pass";
        else if (closing_hyphens || end_fail)
            rec.verdict = "fail";
        else if (whole)
            rec.verdict = "incomplete";
        rec.mode = help ? "help" : whole || summary ? "whole" : "single";
        if (rec.rtc)
            rec.rtc->passed = !rtc_failed;
        ++emitted;
        sink(rec);
    }

    void unknown(sv text, uint64_t ln) {
        if (!open || ended || text.empty())
            return; // before the first run, or after its program stopped: not ftq's
        if (rec.unknown.size() < MAX_UNKNOWN)
            rec.unknown.push_back({ln, std::string(text)});
        else
            ++rec.unknownDropped;
    }

    // Lists of a record stop at MAX_ITEMS, so a capture of garbage cannot
    // make one grow without bound.
    template <class List, class Item> static bool push(List &list, Item &&item) {
        if (list.size() >= MAX_ITEMS)
            return false;
        list.push_back(std::forward<Item>(item));
        return true;
    }

    template <class T> static T &object(std::optional<T> &o) {
        if (!o)
            o.emplace();
        return *o;
    }

    void message(sv what) { push(rec.messages, std::string(what)); }

    // A logical line: the program's text, possibly several messages long.
    void logical(sv text, uint64_t ln, uint64_t start) {
        if (text.empty())
            return; // an empty line, or an Enter echoed by the console
        Match m;
        if (!held.empty()) {
            bool type_line = match(text, m) && m.p->kind == K::Type;
            std::vector<Held> h = std::move(held);
            held.clear();
            if (type_line) {
                starting = std::move(h);
            } else {
                for (const Held &x : h)
                    if (open && !ended)
                        message(x.text);
            }
        }
        while (!text.empty()) {
            if (!match(text, m)) {
                size_t at = text.find(TYPE_MARK, 1);
                if (at != sv::npos) {
                    unknown(text.substr(0, at), ln);
                    text.remove_prefix(at);
                    continue;
                }
                unknown(text, ln);
                return;
            }
            apply(m, text.substr(0, m.taken), ln, start);
            text.remove_prefix(m.taken);
        }
    }

    void apply(const Match &m, sv text, uint64_t ln, uint64_t start) {
        const Fields &f = m.fields;
        K k = m.p->kind;
        if (k == K::Type) {
            start_run(starting.empty() ? start : starting.front().start);
            for (const Held &x : starting)
                message(x.text);
            starting.clear();
            rec.boardType = number(f.f[0]);
            return;
        }
        if (k == K::SysInit && (!open || rec.boardType)) {
            // A run starts with at most three of them; more in a row are
            // not a run's start, and are not held without bound.
            if (held.size() == 3) {
                for (const Held &x : held)
                    if (open && !ended)
                        message(x.text);
                held.clear();
            }
            held.push_back({std::string(text), ln, start});
            return;
        }
        if (!open)
            return; // ftq's words before any run began: no run to hold them
        switch (k) {
        case K::Type:
        case K::SysInit:
            message(text);
            break;
        case K::RootFail:
        case K::BadArg:
        case K::VexioOpenFail:
        case K::WatchdogInitFail:
        case K::WrongNumber:
        case K::Ends:
            message(text);
            ended = true;
            break;
        case K::ChooseNumber:
            message(text);
            break;
        case K::Help:
            help = true;
            if (m.p->arg == HELP_LINES)
                ended = true;
            break;
        case K::StepPanel:
        case K::StepNet:
        case K::StepAlarm:
        case K::StepRtc:
        case K::StepUsb:
        case K::StepSata:
        case K::Step485:
            whole = true;
            rec.step = number(f.f[0]);
            if (k == K::StepNet)
                net_port = -1;
            break;
        case K::Hyphens:
            if (summary)
                closing_hyphens = true;
            break;
        case K::SummaryHead:
            summary = true;
            break;
        case K::SumUsb:
            rec.usb = number(f.f[0]);
            break;
        case K::SumSata:
            rec.sata = number(f.f[0]);
            break;
        case K::SumOk:
            ok = true;
            break;
        case K::ErrNet:
            push(rec.failed, "network");
            break;
        case K::Err485:
            push(rec.failed, "rs485");
            break;
        case K::ErrAlarm:
            push(rec.failed, "alarm");
            break;
        case K::ErrRtc:
            push(rec.failed, "rtc");
            break;
        case K::ErrUsb:
            push(rec.failed, "usb");
            break;
        case K::EndFail:
            end_fail = true;
            ended = true;
            break;
        case K::EndPass:
            ended = true;
            break;
        case K::RemoveOk:
        case K::RemoveErr: {
            FactoryReset &r = object(rec.factoryReset);
            const char *path = m.p->arg == 0 ? "/dav2/devCfg.bin" : "/dav2/netOsd.bin";
            bool removed = k == K::RemoveOk;
            r.order.set(removed ? FactoryReset::Removed : FactoryReset::Errors);
            push(removed ? r.removed : r.errors, path);
            break;
        }
        case K::BoardHead:
            rec.board.emplace();
            break;
        case K::BoardUnrecognised:
            if (!model_text(f.f[0]))
                return unknown(text, ln);
            board_value(Board::UnrecognisedModel, f.f[0], text, ln);
            break;
        case K::BoardType:
            if (!device_type_text(f.f[0]))
                return unknown(text, ln);
            board_value(Board::DeviceType, f.f[0], text, ln);
            break;
        case K::BoardArm:
            if (one_of(f.f[0], {"720M", "1G", "N/A"}))
                return board_value(Board::ArmClock, f.f[0], text, ln);
            return unknown(text, ln);
        case K::BoardDsp:
            if (one_of(f.f[0], {"600MHz", "800MHz", "N/A"}))
                return board_value(Board::DspClock, f.f[0], text, ln);
            return unknown(text, ln);
        case K::BoardMemClock:
            if (one_of(f.f[0], {"666MHz", "800MHz", "933MHz", "N/A"}))
                return board_value(Board::MemClock, f.f[0], text, ln);
            return unknown(text, ln);
        case K::BoardMemSize:
            if (one_of(f.f[0], {"1GB", "768MB", "1.5GB", "N/A"}))
                return board_value(Board::MemSize, f.f[0], text, ln);
            return unknown(text, ln);
        case K::BoardFlash:
            if (one_of(f.f[0], {"16MB", "32MB", "64MB", "2MB+256MB", "N/A"}))
                return board_value(Board::FlashSize, f.f[0], text, ln);
            return unknown(text, ln);
        case K::BoardCpld:
            if (!cpld_date(f.f[0]))
                return unknown(text, ln);
            board_value(Board::CpldVersion, f.f[0], text, ln, "20");
            break;
        case K::BoardAlarm: {
            long long in = number(f.f[0]);
            long long out = number(f.f[1]);
            if (!rec.board || (in != 4 && in != 16) || (out != 2 && out != 4))
                return unknown(text, ln);
            rec.board->alarmInputs = in;
            rec.board->alarmOutputs = out;
            rec.board->order.set(Board::AlarmIo);
            break;
        }
        case K::PanelPrompt:
            object(rec.panel);
            break;
        case K::Key: {
            if (!key_name(f.f[0]) || !one_of(f.f[1], {"pressed", "up"}))
                return unknown(text, ln);
            Panel &p = object(rec.panel);
            p.order.set(Panel::Keys);
            push(p.keys, PanelKey{std::string(f.f[0]), f.f[1] == "up" ? "up" : "pressed"});
            break;
        }
        case K::UnknownKey:
        case K::PanelControl:
        case K::PanelMain:
        case K::PanelOther: {
            Panel &p = object(rec.panel);
            Panel::Key what = k == K::UnknownKey     ? Panel::UnknownKeys
                              : k == K::PanelControl ? Panel::ControlPanel
                              : k == K::PanelMain    ? Panel::MainKeyboard
                                                     : Panel::OtherMessages;
            p.order.set(what);
            ++p.counts[what];
            break;
        }
        case K::Replies:
        case K::AlarmInterrupted:
        case K::RtcInterrupted:
            rec.interrupted = true;
            message(text);
            ended = true;
            break;
        case K::OpenFailed: {
            sv path = f.f[0];
            if (path == "/dev/ttyS1" || path == "/dev/ttyS2") {
                message(text);
                ended = true;
            } else if (path != "/dev/iop" && !(path.size() == 8 && path.substr(0, 7) == "/dev/sd"))
                return unknown(text, ln);
            break;
        }
        case K::Quiet:
        case K::PmpMessage:
            break;
        case K::Shell:
            message(text);
            break;
        case K::NetPort1:
        case K::NetPort2: {
            net_port = static_cast<int>(rec.network.size());
            Port p;
            p.port = k == K::NetPort1 ? "eth0" : "eth1";
            push(rec.network, std::move(p));
            break;
        }
        case K::NetUp:
        case K::NetDown:
        case K::NetLinkFail:
        case K::NetSetFail:
        case K::NetFull:
        case K::NetHalf:
        case K::NetSpeed: {
            if (net_port < 0 || static_cast<size_t>(net_port) >= rec.network.size())
                return unknown(text, ln);
            Port &p = rec.network[static_cast<size_t>(net_port)];
            if (k == K::NetUp)
                p.link = "up";
            else if (k == K::NetDown)
                p.link = "down";
            else if (k == K::NetLinkFail)
                p.link = "failed";
            else if (k == K::NetSetFail)
                p.settingsFailed = true;
            else if (k == K::NetFull)
                p.duplex = "full";
            else if (k == K::NetHalf)
                p.duplex = "half";
            else
                p.speed = std::string(text);
            if (k == K::NetDown || k == K::NetLinkFail || k == K::NetSetFail || k == K::NetSpeed)
                net_port = -1;
            break;
        }
        case K::AlarmCounts: {
            Alarm &a = object(rec.alarm);
            a.success = number(f.f[0]);
            a.failure = number(f.f[1]);
            a.order.set(Alarm::Counts);
            break;
        }
        case K::AlarmIdle:
            push(object(rec.alarm).mismatches, Mismatch{"0", std::string(f.f[0]), "0"});
            break;
        case K::AlarmMismatch:
            push(object(rec.alarm).mismatches,
                 Mismatch{std::string(f.f[0]), std::string(f.f[1]), std::string(f.f[2])});
            break;
        case K::IoctlError: {
            Alarm &a = object(rec.alarm);
            ++a.readErrors;
            a.order.set(Alarm::ReadErrors);
            break;
        }
        case K::RtcClock:
            push(object(rec.rtc).readings, RtcReading{iso_time(f), std::nullopt});
            rtc_clock_ok = epoch_seconds(f, rtc_clock);
            rtc_pending = true;
            break;
        case K::RtcSystem: {
            if (!rtc_pending || !rec.rtc)
                return unknown(text, ln);
            rtc_pending = false;
            rec.rtc->readings.back().system = iso_time(f);
            long long sys = 0;
            bool sys_ok = epoch_seconds(f, sys);
            long long diff = rtc_clock - sys;
            if (!rtc_clock_ok || !sys_ok || diff > 2 || diff < -2)
                rtc_failed = true;
            if (!rec.testedAt)
                rec.testedAt = iso_time(f);
            break;
        }
        case K::UsbFree:
            if (f.f[0].size() < 7 || f.f[0].substr(0, 7) != "/dev/ms")
                return unknown(text, ln);
            push(rec.usbDevices, UsbDevice{std::string(f.f[0]), number(f.f[1]), {}});
            break;
        case K::UsbFailed:
            push(rec.usbDevices, UsbDevice{std::nullopt, 0, std::string(text)});
            break;
        case K::DiskNode:
            if (rec.disks.size() < MAX_ITEMS) {
                rec.disks.emplace_back();
                rec.disks.back().node = std::string(text);
            }
            break;
        case K::DiskSerial:
        case K::DiskModel:
        case K::DiskFirmware:
        case K::DiskCapacity: {
            int step = k == K::DiskSerial     ? 0
                       : k == K::DiskModel    ? 1
                       : k == K::DiskFirmware ? 2
                                              : 3;
            // Each field follows the one before it in the same disk's block.
            if (rec.disks.empty() || rec.disks.back().fields != step)
                return unknown(text, ln);
            Disk &d = rec.disks.back();
            d.fields = step + 1;
            if (step == 0) {
                d.serial = f.f[0];
                d.serialTrimmed = trimmed(f.f[0]);
            } else if (step == 1) {
                d.model = f.f[0];
                d.modelTrimmed = trimmed(f.f[0]);
            } else if (step == 2) {
                d.firmware = f.f[0];
                d.firmwareTrimmed = trimmed(f.f[0]);
            } else {
                d.capacityGB = static_cast<unsigned long long>(number(f.f[0]));
            }
            break;
        }
        case K::Rs485Correct:
        case K::Rs485Sent:
            rec.rs485 = Rs485{number(f.f[0]), std::nullopt, k == K::Rs485Sent};
            rs485 = k == K::Rs485Correct ? Rs485State::Correct : Rs485State::Sent;
            break;
        case K::Rs485Wrong:
        case K::Rs485Lost:
            if (rs485 != (k == K::Rs485Wrong ? Rs485State::Correct : Rs485State::Sent))
                return unknown(text, ln);
            rec.rs485->wrong = number(f.f[0]);
            rs485 = Rs485State::None;
            break;
        case K::PmpPortNum:
            break;
        case K::PmpChip:
            if (!one_of(f.f[0], {"正常", "发生错误", "未进行测试"}))
                return unknown(text, ln);
            push(rec.chips, Chip{m.p->arg, std::string(f.f[0])});
            break;
        }
    }

    // A value of the board report: only within the report, after its head.
    void board_value(Board::Key key, sv value, sv text, uint64_t ln, sv prefix = {}) {
        if (!rec.board)
            return unknown(text, ln);
        std::string &v = rec.board->text[key];
        v.assign(prefix);
        v.append(value);
        rec.board->order.set(key);
    }

    // A physical line of the capture, its line end taken off. The kernel's
    // messages are found in the bytes as they came: one may have cut a
    // GB2312 character of the program's line in two.
    void physical(sv raw) {
        while (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        size_t k = kernel_message(raw);
        if (k != sv::npos) {
            // What came before the message is continued on the next line.
            if (k > 0) {
                if (fragment.empty()) {
                    fragment_line = line_number;
                    fragment_start = line_start;
                }
                fragment.append(
                    raw.substr(0, std::min(k, MAX_LINE - std::min(MAX_LINE, fragment.size()))));
            }
            if (raw.find("Linux version", k) != sv::npos)
                restarted();
            return;
        }
        if (!fragment.empty()) {
            std::string joined = std::move(fragment);
            fragment.clear();
            joined.append(raw.substr(0, MAX_LINE - std::min(MAX_LINE, joined.size())));
            logical(to_utf8(joined, utf8), fragment_line, fragment_start);
            return;
        }
        if (raw.substr(0, 7) == "U-Boot ")
            restarted();
        logical(to_utf8(raw, utf8), line_number, line_start);
    }

    // The board started again: whatever run was open has ended, and the
    // boot's messages that follow are not its.
    void restarted() {
        if (open)
            ended = true;
    }

    void feed(const char *data, size_t size) {
        const char *end = data + size;
        while (data < end) {
            if (line.empty() && !line_cut) {
                line_start = offset;
                ++line_number;
            }
            const char *nl = static_cast<const char *>(std::memchr(data, '\n', end - data));
            const char *stop = nl ? nl : end;
            size_t n = static_cast<size_t>(stop - data);
            if (nl && line.empty() && !line_cut && n <= MAX_LINE) {
                // A whole line within the piece: read where it lies.
                offset += n + 1;
                data = nl + 1;
                physical(sv(stop - n, n));
                continue;
            }
            size_t room = MAX_LINE > line.size() ? MAX_LINE - line.size() : 0;
            if (n > room) {
                line.append(data, room);
                line_cut = true;
            } else {
                line.append(data, n);
            }
            offset += n;
            data = stop;
            if (nl) {
                ++data;
                ++offset;
                physical(line);
                line.clear();
                line_cut = false;
            }
        }
    }

    void finish() {
        if (!line.empty() || line_cut) {
            physical(line);
            line.clear();
            line_cut = false;
        }
        if (!fragment.empty()) {
            std::string rest = std::move(fragment);
            fragment.clear();
            logical(to_utf8(rest, utf8), fragment_line, fragment_start);
        }
        if (!held.empty() && open && !ended)
            for (const Held &x : held)
                message(x.text);
        held.clear();
        close_run();
    }
};

Parser::Parser(std::string file, Sink sink)
    : impl_(std::make_unique<Impl>(std::move(file), std::move(sink))) {}
Parser::~Parser() = default;
void Parser::feed(const char *data, size_t size) {
    impl_->feed(data, size);
}
void Parser::finish() {
    impl_->finish();
}
size_t Parser::runs() const {
    return impl_->emitted;
}

std::vector<Record> parse_records(const std::string &capture, const std::string &file) {
    std::vector<Record> out;
    Parser p(file, [&](const Record &r) { out.push_back(r); });
    p.feed(capture.data(), capture.size());
    p.finish();
    return out;
}

} // namespace ftqrecord
