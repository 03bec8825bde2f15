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
#include <unordered_map>
#include <vector>

namespace ftqrecord {

namespace {

using sv = std::string_view;

// ---- text -------------------------------------------------------------

bool valid_utf8(sv s) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        if (len == 0 || (len == 3 && c >= 0xF0) || i + len > n)
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

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

// Converts into `out`, which keeps its storage from line to line.
void to_utf8(std::string_view line, std::string &out) {
    if (valid_utf8(line)) {
        out.assign(line);
        return;
    }
    const Gb2312Table &t = gb2312();
    out.resize(line.size() * 3); // a byte becomes at most U+FFFD's three
    char *o = out.data();
    for (size_t i = 0; i < line.size(); ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x80) {
            *o++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xA1 && c <= 0xFE && i + 1 < line.size()) {
            auto d = static_cast<unsigned char>(line[i + 1]);
            if (d >= 0xA1 && d <= 0xFE) {
                const auto &u = t.utf8[static_cast<size_t>((c - 0xA1) * 94 + (d - 0xA1))];
                if (u[0] != 0) {
                    std::memcpy(o, u.data(), 3);
                    o += u[3];
                    ++i;
                    continue;
                }
            }
        }
        std::memcpy(o, "\xEF\xBF\xBD", 3);
        o += 3;
    }
    out.resize(static_cast<size_t>(o - out.data()));
}

} // namespace

std::string line_to_utf8(std::string_view line) {
    std::string out;
    to_utf8(line, out);
    return out;
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

struct Pattern {
    const char *fmt;
    K kind;
    bool continues = false; // printed without a line end: the line goes on
    int arg = 0;
};

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
size_t scan(sv s, sv fmt, bool whole, Fields &out) {
    out.n = 0;
    size_t i = 0;
    size_t j = 0;
    while (j < fmt.size()) {
        char c = fmt[j];
        if (c != '%') {
            if (i < s.size() && s[i] == c) {
                ++i;
                ++j;
                continue;
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
            size_t lit_end = fmt.find('%', j);
            sv lit = fmt.substr(j, lit_end == sv::npos ? sv::npos : lit_end - j);
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

struct Vocabulary {
    std::unordered_map<uint32_t, std::vector<const Pattern *>> buckets;
    std::vector<const Pattern *> wild; // formats that begin with a value
    Vocabulary() {
        for (const Pattern &p : vocabulary()) {
            if (p.fmt[0] == '%')
                wild.push_back(&p);
            else
                buckets[bucket_key(p.fmt)].push_back(&p);
        }
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
            size_t n = scan(s, p->fmt, !p->continues, m.fields);
            if (n != sv::npos) {
                m.p = p;
                m.taken = n;
                return true;
            }
        }
        return false;
    };
    auto it = v.buckets.find(bucket_key(s));
    if (it != v.buckets.end() && try_list(it->second))
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
const char *const MODELS[] = {"QB-71024", "QB-71031", "QB-71033", "QB-71027", "QB-71046",
                              "QB-71052", "QB-71058", "QB-71063", "QB-71069"};

bool model_text(sv v) {
    for (const char *m : MODELS)
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
const char *const KEYS[84] = {
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
    for (const char *k : KEYS)
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
    char buf[64];
    snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", number(f.f[0]),
             number(f.f[1]), number(f.f[2]), number(f.f[3]), number(f.f[4]), number(f.f[5]));
    return buf;
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

// The record's fields, in the order a record gives them.
const char *const FIELD_NAMES[] = {"source",       "verdict", "mode",  "boardType",  "usb",
                                   "sata",         "failed",  "board", "disks",      "network",
                                   "rtc",          "rs485",   "alarm", "usbDevices", "panel",
                                   "factoryReset", "chips",   "step",  "testedAt",   "interrupted",
                                   "messages",     "unknown"};
enum : size_t {
    F_source,
    F_verdict,
    F_mode,
    F_boardType,
    F_usb,
    F_sata,
    F_failed,
    F_board,
    F_disks,
    F_network,
    F_rtc,
    F_rs485,
    F_alarm,
    F_usbDevices,
    F_panel,
    F_factoryReset,
    F_chips,
    F_step,
    F_testedAt,
    F_interrupted,
    F_messages,
    F_unknown,
    FIELDS
};

// ---- the runs -------------------------------------------------------------

struct Parser::Impl {
    std::string file;
    Sink sink;
    size_t emitted = 0;

    // The physical line being read.
    std::string line;
    std::string utf8; // the line as UTF-8
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
    Json rec;
    Json *field_[FIELDS] = {};
    bool summary = false;
    bool closing_hyphens = false;
    bool ok = false;
    bool end_fail = false;
    bool whole = false;
    bool help = false;
    enum class Rs485 { None, Correct, Sent } rs485 = Rs485::None;
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
        rs485 = Rs485::None;
        net_port = -1;
        rtc_failed = rtc_pending = rtc_clock_ok = false;
        rec = Json::object();
        rec.get_ref<Json::object_t &>().reserve(32);
        rec["source"] = {{"file", file}, {"offset", start}};
        rec["verdict"] = nullptr;
        rec["mode"] = "single";
        rec["boardType"] = nullptr;
        rec["usb"] = nullptr;
        rec["sata"] = nullptr;
        rec["failed"] = Json::array();
        rec["board"] = nullptr;
        rec["disks"] = Json::array();
        rec["network"] = Json::array();
        rec["rtc"] = nullptr;
        rec["rs485"] = nullptr;
        rec["alarm"] = nullptr;
        rec["usbDevices"] = Json::array();
        rec["panel"] = nullptr;
        rec["factoryReset"] = nullptr;
        rec["chips"] = Json::array();
        rec["step"] = 0;
        rec["testedAt"] = nullptr;
        rec["interrupted"] = false;
        rec["messages"] = Json::array();
        rec["unknown"] = Json::array();
        // The fields are all in place now and the object has room for the
        // few that come later, so their places hold until the run ends.
        for (size_t i = 0; i < FIELDS; ++i)
            field_[i] = &rec[FIELD_NAMES[i]];
    }

    void close_run() {
        if (!open)
            return;
        open = false;
        if (ok)
            at(F_verdict) = "pass";
        else if (closing_hyphens || end_fail)
            at(F_verdict) = "fail";
        else if (whole)
            at(F_verdict) = "incomplete";
        at(F_mode) = help ? "help" : whole || summary ? "whole" : "single";
        if (at(F_rtc).is_object())
            at(F_rtc)["passed"] = !rtc_failed;
        ++emitted;
        sink(std::move(rec));
        rec = Json();
    }

    void unknown(sv text, uint64_t ln) {
        if (!open || ended || text.empty())
            return; // before the first run, or after its program stopped: not ftq's
        Json &u = at(F_unknown);
        if (u.size() < MAX_UNKNOWN)
            u.push_back({{"line", ln}, {"text", std::string(text)}});
        else
            rec["unknownDropped"] = rec.value("unknownDropped", 0) + 1;
    }

    // An object made field by field: an initializer list would copy each
    // value once more, and this is done for every key, disk and reading.
    static Json fields(size_t room) {
        Json o(Json::value_t::object);
        o.get_ref<Json::object_t &>().reserve(room);
        return o;
    }
    static void add(Json &object, const char *key, Json &&value) {
        object.get_ref<Json::object_t &>().emplace_back(key, std::move(value));
    }

    static void push(Json &list, Json &&item) {
        if (list.size() < MAX_ITEMS)
            list.push_back(std::move(item));
    }

    Json &at(size_t i) { return *field_[i]; }

    Json &object(size_t i) {
        Json &o = at(i);
        if (!o.is_object())
            o = Json::object();
        return o;
    }

    void message(const char *what) { push(at(F_messages), what); }

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
                        message(x.text.c_str());
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
                message(x.text.c_str());
            starting.clear();
            at(F_boardType) = number(f.f[0]);
            return;
        }
        if (k == K::SysInit && (!open || at(F_boardType).is_number())) {
            // A run starts with at most three of them; more in a row are
            // not a run's start, and are not held without bound.
            if (held.size() == 3) {
                for (const Held &x : held)
                    if (open && !ended)
                        message(x.text.c_str());
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
            message(std::string(text).c_str());
            break;
        case K::RootFail:
        case K::BadArg:
        case K::VexioOpenFail:
        case K::WatchdogInitFail:
        case K::WrongNumber:
        case K::Ends:
            message(std::string(text).c_str());
            ended = true;
            break;
        case K::ChooseNumber:
            message(std::string(text).c_str());
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
            at(F_step) = number(f.f[0]);
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
            at(F_usb) = number(f.f[0]);
            break;
        case K::SumSata:
            at(F_sata) = number(f.f[0]);
            break;
        case K::SumOk:
            ok = true;
            break;
        case K::ErrNet:
            push(at(F_failed), "network");
            break;
        case K::Err485:
            push(at(F_failed), "rs485");
            break;
        case K::ErrAlarm:
            push(at(F_failed), "alarm");
            break;
        case K::ErrRtc:
            push(at(F_failed), "rtc");
            break;
        case K::ErrUsb:
            push(at(F_failed), "usb");
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
            Json &r = object(F_factoryReset);
            const char *path = m.p->arg == 0 ? "/dav2/devCfg.bin" : "/dav2/netOsd.bin";
            Json &list = r[k == K::RemoveOk ? "removed" : "errors"];
            if (!list.is_array())
                list = Json::array();
            push(list, path);
            break;
        }
        case K::BoardHead:
            at(F_board) = Json::object();
            break;
        case K::BoardUnrecognised:
            if (!model_text(f.f[0]) || !at(F_board).is_object())
                return unknown(text, ln);
            at(F_board)["unrecognisedModel"] = std::string(f.f[0]);
            break;
        case K::BoardType:
            if (!device_type_text(f.f[0]) || !at(F_board).is_object())
                return unknown(text, ln);
            at(F_board)["deviceType"] = std::string(f.f[0]);
            break;
        case K::BoardArm:
            board_value("armClock", f.f[0], {"720M", "1G", "N/A"}, text, ln);
            break;
        case K::BoardDsp:
            board_value("dspClock", f.f[0], {"600MHz", "800MHz", "N/A"}, text, ln);
            break;
        case K::BoardMemClock:
            board_value("memClock", f.f[0], {"666MHz", "800MHz", "933MHz", "N/A"}, text, ln);
            break;
        case K::BoardMemSize:
            board_value("memSize", f.f[0], {"1GB", "768MB", "1.5GB", "N/A"}, text, ln);
            break;
        case K::BoardFlash:
            board_value("flashSize", f.f[0], {"16MB", "32MB", "64MB", "2MB+256MB", "N/A"}, text,
                        ln);
            break;
        case K::BoardCpld:
            if (!at(F_board).is_object() || !cpld_date(f.f[0]))
                return unknown(text, ln);
            at(F_board)["cpldVersion"] = "20" + std::string(f.f[0]);
            break;
        case K::BoardAlarm: {
            long long in = number(f.f[0]);
            long long out = number(f.f[1]);
            if (!at(F_board).is_object() || (in != 4 && in != 16) || (out != 2 && out != 4))
                return unknown(text, ln);
            at(F_board)["alarmInputs"] = in;
            at(F_board)["alarmOutputs"] = out;
            break;
        }
        case K::PanelPrompt:
            object(F_panel);
            break;
        case K::Key: {
            if (!key_name(f.f[0]) || !one_of(f.f[1], {"pressed", "up"}))
                return unknown(text, ln);
            Json &p = object(F_panel);
            if (!p.contains("keys"))
                p["keys"] = Json::array();
            Json key = fields(2);
            add(key, "key", std::string(f.f[0]));
            add(key, "state", std::string(f.f[1]));
            push(p["keys"], std::move(key));
            break;
        }
        case K::UnknownKey:
        case K::PanelControl:
        case K::PanelMain:
        case K::PanelOther: {
            Json &p = object(F_panel);
            const char *what = k == K::UnknownKey     ? "unknownKeys"
                               : k == K::PanelControl ? "controlPanel"
                               : k == K::PanelMain    ? "mainKeyboard"
                                                      : "otherMessages";
            p[what] = p.value(what, 0) + 1;
            break;
        }
        case K::Replies:
        case K::AlarmInterrupted:
        case K::RtcInterrupted:
            at(F_interrupted) = true;
            message(std::string(text).c_str());
            ended = true;
            break;
        case K::OpenFailed: {
            sv path = f.f[0];
            if (path == "/dev/ttyS1" || path == "/dev/ttyS2") {
                message(std::string(text).c_str());
                ended = true;
            } else if (path != "/dev/iop" && !(path.size() == 8 && path.substr(0, 7) == "/dev/sd"))
                return unknown(text, ln);
            break;
        }
        case K::Quiet:
        case K::PmpMessage:
            break;
        case K::Shell:
            message(std::string(text).c_str());
            break;
        case K::NetPort1:
        case K::NetPort2: {
            net_port = static_cast<int>(at(F_network).size());
            push(at(F_network), {{"port", k == K::NetPort1 ? "eth0" : "eth1"},
                                 {"link", nullptr},
                                 {"duplex", nullptr},
                                 {"speed", nullptr}});
            break;
        }
        case K::NetUp:
        case K::NetDown:
        case K::NetLinkFail:
        case K::NetSetFail:
        case K::NetFull:
        case K::NetHalf:
        case K::NetSpeed: {
            if (net_port < 0 || static_cast<size_t>(net_port) >= at(F_network).size())
                return unknown(text, ln);
            Json &p = at(F_network)[static_cast<size_t>(net_port)];
            if (k == K::NetUp)
                p["link"] = "up";
            else if (k == K::NetDown)
                p["link"] = "down";
            else if (k == K::NetLinkFail)
                p["link"] = "failed";
            else if (k == K::NetSetFail)
                p["settingsFailed"] = true;
            else if (k == K::NetFull)
                p["duplex"] = "full";
            else if (k == K::NetHalf)
                p["duplex"] = "half";
            else
                p["speed"] = std::string(text);
            if (k == K::NetDown || k == K::NetLinkFail || k == K::NetSetFail || k == K::NetSpeed)
                net_port = -1;
            break;
        }
        case K::AlarmCounts: {
            Json &a = alarm();
            a["success"] = number(f.f[0]);
            a["failure"] = number(f.f[1]);
            break;
        }
        case K::AlarmIdle:
        case K::AlarmMismatch: {
            Json &a = alarm();
            Json item =
                k == K::AlarmIdle
                    ? Json{{"output", "0"}, {"input", std::string(f.f[0])}, {"expected", "0"}}
                    : Json{{"output", std::string(f.f[0])},
                           {"input", std::string(f.f[1])},
                           {"expected", std::string(f.f[2])}};
            push(a["mismatches"], std::move(item));
            break;
        }
        case K::IoctlError: {
            Json &a = alarm();
            a["readErrors"] = a.value("readErrors", 0) + 1;
            break;
        }
        case K::RtcClock: {
            Json &r = object(F_rtc);
            if (!r.contains("readings"))
                r["readings"] = Json::array();
            Json reading = fields(2);
            add(reading, "rtc", iso_time(f));
            add(reading, "system", nullptr);
            push(r["readings"], std::move(reading));
            rtc_clock_ok = epoch_seconds(f, rtc_clock);
            rtc_pending = true;
            break;
        }
        case K::RtcSystem: {
            if (!rtc_pending || !at(F_rtc).is_object())
                return unknown(text, ln);
            rtc_pending = false;
            Json &readings = at(F_rtc)["readings"];
            readings.back()["system"] = iso_time(f);
            long long sys = 0;
            bool sys_ok = epoch_seconds(f, sys);
            long long diff = rtc_clock - sys;
            if (!rtc_clock_ok || !sys_ok || diff > 2 || diff < -2)
                rtc_failed = true;
            if (at(F_testedAt).is_null())
                at(F_testedAt) = iso_time(f);
            break;
        }
        case K::UsbFree:
            if (f.f[0].size() < 7 || f.f[0].substr(0, 7) != "/dev/ms")
                return unknown(text, ln);
            push(at(F_usbDevices), {{"node", std::string(f.f[0])}, {"freeMB", number(f.f[1])}});
            break;
        case K::UsbFailed:
            push(at(F_usbDevices), {{"node", nullptr}, {"error", std::string(text)}});
            break;
        case K::DiskNode:
            if (at(F_disks).size() < MAX_ITEMS) {
                Json disk = fields(8);
                add(disk, "node", std::string(text));
                at(F_disks).push_back(std::move(disk));
            }
            break;
        case K::DiskSerial:
        case K::DiskModel:
        case K::DiskFirmware:
        case K::DiskCapacity: {
            static const char *const order[] = {"serial", "model", "firmware", "capacityGB"};
            size_t step = k == K::DiskSerial     ? 0
                          : k == K::DiskModel    ? 1
                          : k == K::DiskFirmware ? 2
                                                 : 3;
            Json &disks = at(F_disks);
            // Each field follows the one before it in the same disk's block.
            if (disks.empty() || disks.back().size() != step + 1 + (step > 0 ? step : 0))
                return unknown(text, ln);
            Json &d = disks.back();
            static const char *const trimmed_names[] = {"serialTrimmed", "modelTrimmed",
                                                        "firmwareTrimmed"};
            if (step == 3) {
                add(d, order[step], static_cast<unsigned long long>(number(f.f[0])));
            } else {
                add(d, order[step], std::string(f.f[0]));
                add(d, trimmed_names[step], trimmed(f.f[0]));
            }
            break;
        }
        case K::Rs485Correct:
        case K::Rs485Sent:
            at(F_rs485) = {
                {"correct", number(f.f[0])}, {"wrong", nullptr}, {"timedOut", k == K::Rs485Sent}};
            rs485 = k == K::Rs485Correct ? Rs485::Correct : Rs485::Sent;
            break;
        case K::Rs485Wrong:
        case K::Rs485Lost:
            if (rs485 != (k == K::Rs485Wrong ? Rs485::Correct : Rs485::Sent))
                return unknown(text, ln);
            at(F_rs485)["wrong"] = number(f.f[0]);
            rs485 = Rs485::None;
            break;
        case K::PmpPortNum:
            break;
        case K::PmpChip:
            if (!one_of(f.f[0], {"正常", "发生错误", "未进行测试"}))
                return unknown(text, ln);
            push(at(F_chips), {{"chip", m.p->arg}, {"result", std::string(f.f[0])}});
            break;
        }
    }

    Json &alarm() {
        Json &a = object(F_alarm);
        if (!a.contains("mismatches"))
            a["mismatches"] = Json::array();
        return a;
    }

    void board_value(const char *key, sv value, std::initializer_list<sv> allowed, sv text,
                     uint64_t ln) {
        if (!at(F_board).is_object() || !one_of(value, allowed))
            return unknown(text, ln);
        at(F_board)[key] = std::string(value);
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
            to_utf8(joined, utf8);
            logical(utf8, fragment_line, fragment_start);
            return;
        }
        if (raw.substr(0, 7) == "U-Boot ")
            restarted();
        to_utf8(raw, utf8);
        logical(utf8, line_number, line_start);
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
            logical(line_to_utf8(rest), fragment_line, fragment_start);
        }
        if (!held.empty() && open && !ended)
            for (const Held &x : held)
                message(x.text.c_str());
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

std::vector<Json> parse_text(const std::string &capture, const std::string &file) {
    std::vector<Json> out;
    Parser p(file, [&](Json &&r) { out.push_back(std::move(r)); });
    p.feed(capture.data(), capture.size());
    p.finish();
    return out;
}

} // namespace ftqrecord
