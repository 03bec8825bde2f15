// The front panel's byte stream through the key loop.
//
// The panel plays the fuzz bytes as raw input, cut into chunks that arrive
// 20 ms apart, then 255 filler bytes and a well-formed MENU press. A frame
// claims at most 255 bytes, so whatever the fuzz bytes left unfinished is
// settled inside the filler and a MENU event must end the loop.
//
// Invariants: the run ends normally (no stall, spin or time limit) with a
// MENU line as the loop's last; every line is one of the loop's messages;
// each line or counted reply used up at least five bytes of the stream; the
// panel receives only whole, well-formed frames that make up complete LED
// sequences, at most one sequence per key line besides LED_ALL_OFF, and none
// on a board without a panel variant. The sanitizers catch any access
// outside the receive buffer.
//
// Input: byte 0 picks the board type (bits 0-1) and the chunk size (bits
// 2-7: 1 to 63 bytes, 64 for everything at once); the rest is the stream.
#include "fuzzsupport.h"

#include "board/boardinfo.h"
#include "panel/panel.h"

#include <algorithm>
#include <sstream>

namespace {

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool loop_message(const std::string &line) {
    if (line.rfind("key ", 0) == 0)
        return ends_with(line, " is pressed") || ends_with(line, " is up");
    return line == "unknow key" || line == "control pannel is pressed" ||
           line == "main control keyboard is pressed" || line == "other messages is received";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t control = in.byte();
    static const int kTypes[4] = {1, 2, 3, 6};
    int type = kTypes[control & 3];
    size_t chunk = static_cast<size_t>(control >> 2) + 1; // 64: all at once

    std::vector<uint8_t> stream = in.rest();
    stream.resize(std::min<size_t>(stream.size(), 1024));
    size_t played = stream.size();
    stream.insert(stream.end(), 255, 0x00);
    const uint8_t menu[] = {0xFF, 0x07, 0x20, 10, 0x01, 0x00, 0x31};
    stream.insert(stream.end(), menu, menu + sizeof menu);

    // The filler and the MENU frame follow as one more chunk: a parser that
    // waits for whole frames sees no difference, and it saves hundreds of
    // single-byte arrivals.
    fuzz::json bytes = fuzz::json::array();
    chunk = chunk == 64 ? std::max<size_t>(played, 1) : chunk;
    double at = 0.5;
    for (size_t from = 0; from < played; from += chunk, at += 0.02)
        bytes.push_back(
            {{"at", at}, {"hex", fuzz::hex(&stream[from], std::min(chunk, played - from))}});
    bytes.push_back({{"at", at}, {"hex", fuzz::hex(&stream[played], stream.size() - played)}});
    fuzz::json doc = {
        {"board", {{"type", type}}},
        {"console", {{"operator", "absent"}}},
        {"panel",
         {{"keys", fuzz::json::array()},
          {"bytes", bytes},
          {"answer_heartbeats", false},
          {"queue_limit", 1 << 20}}},
        {"system", {{"time_limit", 1200}, {"spin_limit", 20000}}},
        {"disks", fuzz::small_storage()},
    };

    size_t first_write = 0;
    uint32_t high = 0, low = 0;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &k) {
        sysInit();
        boardtype = getboardtype();
        panelopen();
        panelleds(panelfd, LED_ALL_OFF);
        first_write = k.console().size();
        panelkeyloop(panelfd);
        high = panelRepliesHigh;
        low = panelRepliesLow;
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run did not end normally: %s",
               b->result.describe().c_str());

    std::string printed;
    for (size_t i = first_write; i < b->kernel->console().size(); ++i)
        printed += b->kernel->console()[i].bytes;
    std::istringstream lines(printed);
    std::string line, last;
    size_t count = 0, keys = 0;
    while (std::getline(lines, line)) {
        FUZZ_CHECK(b, loop_message(line), "the key loop printed '%s'", line.c_str());
        keys += line.rfind("key ", 0) == 0;
        ++count;
        last = line;
    }
    FUZZ_CHECK(b, last.rfind("key MENU is ", 0) == 0, "the loop ended after '%s'", last.c_str());
    FUZZ_CHECK(b, high == 0 && (count + low) * 5 <= stream.size(),
               "%zu lines and %u:%u replies out of %zu bytes", count, high, low, stream.size());

    for (const char *ev :
         {"garbage", "partial_frame", "bad_checksum", "led_stray", "led_incomplete"})
        FUZZ_CHECK(b, b->count("panel", ev) == 0, "the panel saw %s", ev);
    size_t sequenced = 0;
    auto modes = b->events("panel", "led_mode");
    for (const auto &e : modes)
        sequenced += e.data["frames"].get<size_t>();
    FUZZ_CHECK(b, sequenced == b->count("panel", "led"), "LED frames outside a whole sequence");
    bool variant = type != 3;
    FUZZ_CHECK(b, variant ? modes.size() <= keys + 1 : modes.empty(),
               "%zu LED modes for %zu key lines on board type %d", modes.size(), keys, type);
    for (const auto &e : b->events("panel", "led"))
        FUZZ_CHECK(b, e.data["whole_write"].get<bool>(), "LED frame not written in one piece");
    return 0;
}
