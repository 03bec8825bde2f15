// The front panel's byte stream through the key loop.
//
// The panel plays the fuzz bytes as raw input, cut into chunks that arrive
// 20 ms apart, then 255 filler bytes and a well-formed MENU press.
// No frame can be longer than 255 bytes, so whatever the fuzz bytes left
// unfinished is settled inside the filler, and the MENU frame must end the
// loop (unless the fuzz bytes hold an earlier MENU).
//
// Checks, against a reference parse of the same stream: the loop prints
// exactly one line per handled frame, in order, and nothing else; it counts
// every reply frame; every LED key sends its LED sequence; it ends at the
// first MENU event and the run ends normally (no stall, spin or time limit).
// The sanitizers catch any read outside the receive buffer.
//
// Input: byte 0 picks the board type (bits 0-1) and the chunk size (bits
// 2-7: 1 to 63 bytes, 64 for everything at once); the rest is the stream.
#include "fuzzsupport.h"

#include "board/boardinfo.h"
#include "panel/panel.h"
#include "platform/sys.h"

#include <algorithm>
#include <map>

namespace {

using fuzz::json;

constexpr size_t kMaxStream = 1024;
constexpr size_t kFiller = 255;
constexpr sim::Time kFirstChunk = 500 * sim::kMillisecond;
constexpr sim::Time kChunkGap = 20 * sim::kMillisecond;

const char *const kKeyNames[84] = {
    "AN0",   "AN1",     "AN2",      "AN3",   "AN4",  "AN5",    "AN6",      "AN7",     "AN8",
    "AN9",   "MENU",    "ESC",      "EDIT",  "A",    "VOIP",   "PLAY",     "REC",     "PAN",
    "INFO",  "DISPLAY", "UP",       "DOWN",  "LEFT", "RIGHT",  "AN10",     "AN11",    "AN12",
    "AN13",  "AN14",    "AN15",     "AN16",  "",     "",       "",         "ENTER",   "POWER",
    "F1",    "F2",      "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "",        "",         "",      "",     "",       "",         "",        "",
    "",      "SEARCH",  "PREVIOUS", "PAUSE", "LIVE", "REPLAY", "ZOOM_OUT", "ZOOM_IN", "PRESET",
    "TOUR",  "",        "SEQUANCE", "A",     "B",    "F1",     "F2",       "",        "ALARM",
    "EJECT", "",        "ARCHIVE",
};

// LED frames per sequence, for the two panel variants.
int ledframes(int variant, int mode) {
    static const std::map<int, int> joystick = {{3, 14}, {4, 6}, {5, 5}, {6, 4}, {7, 3}, {9, 11}};
    static const std::map<int, int> keypad = {{3, 5}, {4, 4}, {5, 4}, {6, 2}, {7, 2}, {9, 5}};
    if (variant == 0)
        return 0;
    return (variant == 1 ? joystick : keypad).at(mode);
}

int ledmode(const std::string &name) {
    if (name == "UP")
        return 3;
    if (name == "DOWN")
        return 4;
    if (name == "ENTER")
        return 5;
    if (name == "LEFT")
        return 6;
    if (name == "RIGHT")
        return 7;
    return 0;
}

struct Expected {
    std::string lines;
    uint32_t replies = 0;
    int ledframes = 0;
    bool menu = false;
};

// The key loop's parse of the whole stream, as if every byte were already
// held: frames are handled in order wherever the reads happened to cut.
Expected reference(const std::vector<uint8_t> &s, int variant) {
    Expected e;
    size_t pos = 0;
    while (pos < s.size()) {
        if ((s[pos] & 0x7F) == 0) {
            ++pos;
            continue;
        }
        if (pos + 1 >= s.size() || s[pos + 1] > s.size() - pos)
            break; // unfinished: waits for bytes that never come
        size_t len = s[pos + 1];
        if (len < 5 || len > 14) {
            ++pos;
            continue;
        }
        const uint8_t *f = &s[pos];
        switch (f[2]) {
        case 0x20:
            if (f[3] > 83) {
                e.lines += "unknow key\n";
            } else {
                std::string name = kKeyNames[f[3]];
                e.lines += "key " + name + " is " + (f[4] != 0 ? "pressed" : "up") + "\n";
                if (name == "MENU") {
                    e.menu = true;
                    return e;
                }
                if (int mode = ledmode(name))
                    e.ledframes += ledframes(variant, mode);
            }
            break;
        case 0x21:
            e.lines += "control pannel is pressed\n";
            break;
        case 0x22:
            e.lines += "main control keyboard is pressed\n";
            break;
        case 0x30:
            ++e.replies;
            break;
        default:
            e.lines += "other messages is received\n";
            break;
        }
        pos += len;
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t control = in.byte();
    static const int kTypes[4] = {1, 2, 3, 6};
    int type = kTypes[control & 3];
    int variant = (type == 1 || type == 6) ? 1 : (type == 2 || type == 5) ? 2 : 0;
    size_t chunk = static_cast<size_t>(control >> 2) + 1; // 64: all at once

    std::vector<uint8_t> stream = in.rest();
    if (stream.size() > kMaxStream)
        stream.resize(kMaxStream);
    size_t played = stream.size();
    stream.insert(stream.end(), kFiller, 0x00);
    const uint8_t menu[] = {0xFF, 0x07, 0x20, 10, 0x01, 0x00, 0x31};
    stream.insert(stream.end(), menu, menu + sizeof menu);

    // The fuzz bytes in chunks; the filler and the MENU frame follow as one
    // more chunk, which changes nothing for a parser that waits for whole
    // frames and saves hundreds of single-byte arrivals.
    json bytes = json::array();
    if (chunk == 64)
        chunk = played;
    sim::Time at = kFirstChunk;
    for (size_t from = 0; from < played; from += chunk, at += kChunkGap) {
        size_t n = std::min(chunk, played - from);
        bytes.push_back({{"at", static_cast<double>(at) / sim::kSecond},
                         {"hex", fuzz::hex(stream.data() + from, n)}});
    }
    bytes.push_back({{"at", static_cast<double>(at) / sim::kSecond},
                     {"hex", fuzz::hex(stream.data() + played, stream.size() - played)}});
    json doc = {
        {"board", {{"type", type}}},
        {"console", {{"operator", "absent"}}},
        {"panel",
         {{"keys", json::array()},
          {"bytes", bytes},
          {"answer_heartbeats", false},
          {"queue_limit", 1 << 20}}},
        {"system", {{"time_limit", 1200}, {"spin_limit", 20000}}},
        {"disks", fuzz::small_storage()},
    };

    size_t first_write = 0, last_write = 0;
    uint32_t replies_high = 0, replies_low = 0;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &k) {
        sysInit();
        boardtype = getboardtype();
        panelopen();
        panelleds(panelfd, LED_ALL_OFF);
        first_write = k.console().size();
        panelkeyloop(panelfd);
        last_write = k.console().size();
        replies_high = panelRepliesHigh;
        replies_low = panelRepliesLow;
        return 0;
    });
    const fuzz::Board *b = board.get();

    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run did not end normally: %s",
               b->result.describe().c_str());
    std::string printed;
    const auto &writes = b->kernel->console();
    for (size_t i = first_write; i < last_write && i < writes.size(); ++i)
        printed += writes[i].bytes;

    Expected e = reference(stream, variant);
    FUZZ_CHECK(b, e.menu, "the reference parse found no MENU: the filler is too short");
    FUZZ_CHECK(b, printed == e.lines, "key loop printed\n%s\nbut the stream holds the frames\n%s",
               printed.c_str(), e.lines.c_str());
    FUZZ_CHECK(b, replies_high == 0 && replies_low == e.replies,
               "reply counter %u:%u, stream holds %u replies", replies_high, replies_low,
               e.replies);
    int leds = static_cast<int>(b->count("panel", "led")) - ledframes(variant, LED_ALL_OFF);
    FUZZ_CHECK(b, leds == e.ledframes, "%d LED frames sent for the keys, expected %d", leds,
               e.ledframes);
    return 0;
}
