// The record of one ftq run as the reader fills it, and its JSON form. The
// record is plain data: the reader fills it line by line, and it goes out
// as one JSON object written in one go, with no document built between.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ftqrecord {

// The keys of an object that a capture fills in the order its lines come.
// They are written in the order each was first set, so a record says what
// the capture said in the order it said it.
struct KeyOrder {
    uint8_t ids[12] = {};
    uint8_t n = 0;
    void set(uint8_t id) {
        for (uint8_t i = 0; i < n; ++i)
            if (ids[i] == id)
                return;
        ids[n++] = id;
    }
};

struct Board {
    enum Key : uint8_t {
        UnrecognisedModel,
        DeviceType,
        ArmClock,
        DspClock,
        MemClock,
        MemSize,
        FlashSize,
        CpldVersion,
        AlarmIo, // alarmInputs and alarmOutputs, printed on one line
        KEYS
    };
    std::string text[AlarmIo]; // by key, up to the alarm counts
    long long alarmInputs = 0;
    long long alarmOutputs = 0;
    KeyOrder order;
};

struct Disk {
    std::string node;
    // What the capture gave after the node: serial, model, firmware and
    // capacity come in that order, and a block cut short has fewer.
    int fields = 0;
    std::string serial, serialTrimmed;
    std::string model, modelTrimmed;
    std::string firmware, firmwareTrimmed;
    unsigned long long capacityGB = 0;
};

struct Port {
    const char *port = nullptr;   // "eth0" or "eth1"
    const char *link = nullptr;   // null until the line says
    const char *duplex = nullptr; // null until the line says
    std::optional<std::string> speed;
    bool settingsFailed = false;
};

struct RtcReading {
    std::string rtc;
    std::optional<std::string> system;
};

struct Rtc {
    std::vector<RtcReading> readings;
    bool passed = false;
};

struct Rs485 {
    long long correct = 0;
    std::optional<long long> wrong;
    bool timedOut = false;
};

struct Mismatch {
    std::string output, input, expected;
};

struct Alarm {
    enum Key : uint8_t { Counts, ReadErrors };
    std::vector<Mismatch> mismatches;
    long long success = 0;
    long long failure = 0;
    long long readErrors = 0;
    KeyOrder order; // after the mismatches, which come first
};

struct UsbDevice {
    std::optional<std::string> node; // null: the device could not be read
    long long freeMB = 0;
    std::string error;
};

struct PanelKey {
    std::string key;
    const char *state = nullptr;
};

struct Panel {
    enum Key : uint8_t { Keys, UnknownKeys, ControlPanel, MainKeyboard, OtherMessages };
    std::vector<PanelKey> keys;
    long long counts[OtherMessages + 1] = {}; // by key, from UnknownKeys
    KeyOrder order;
};

struct FactoryReset {
    enum Key : uint8_t { Removed, Errors };
    std::vector<const char *> removed, errors;
    KeyOrder order;
};

struct Chip {
    int chip = 0;
    std::string result;
};

struct UnknownLine {
    uint64_t line = 0;
    std::string text;
};

struct Record {
    std::string file;
    uint64_t offset = 0;
    const char *verdict = nullptr; // null: the run says nothing of it
    const char *mode = "single";
    std::optional<long long> boardType, usb, sata;
    std::vector<const char *> failed;
    std::optional<Board> board;
    std::vector<Disk> disks;
    std::vector<Port> network;
    std::optional<Rtc> rtc;
    std::optional<Rs485> rs485;
    std::optional<Alarm> alarm;
    std::vector<UsbDevice> usbDevices;
    std::optional<Panel> panel;
    std::optional<FactoryReset> factoryReset;
    std::vector<Chip> chips;
    long long step = 0;
    std::optional<std::string> testedAt;
    bool interrupted = false;
    std::vector<std::string> messages;
    std::vector<UnknownLine> unknown;
    long long unknownDropped = 0; // written only when lines were dropped

    // Empties the record for the next run; the lists keep their storage.
    void clear();
};

// Appends the record as one JSON object (no line end). Its texts are
// written as UTF-8, control bytes, quotes and backslashes escaped; a byte
// that is not part of valid UTF-8 becomes U+FFFD, so the output is always
// valid JSON.
void write_json(const Record &r, std::string &out);
std::string to_json(const Record &r);

// Whether `s` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool valid_utf8(std::string_view s);

} // namespace ftqrecord
