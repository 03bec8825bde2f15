// The raw 256-byte board information block through its decoding, the
// board settings and the board information report.
//
// The board I/O driver hands over the fuzz bytes as the raw block (padded
// with zeros to 256 bytes). One run reads it with getboardinfo, derives the
// settings with boardsettings and prints the report with boardinfotest.
//
// Invariants: the run ends normally; the routines agree on whether the
// block could be read; the settings take only the values the board can
// have (or keep theirs when the block could not be read); the report has
// its nine lines, or ten with the unknown-model line, none longer than a
// line of the report can be. The decoding itself is pinned by the board
// decoding table of the test suite and the catalog's board-report-*.
#include "fuzzsupport.h"

#include "board/boardinfo.h"
#include "board/boardreport.h"
#include "board/vexio.h"
#include "platform/sys.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 256)
        return -1;
    std::vector<uint8_t> raw(data, data + size);
    raw.resize(256, 0);
    fuzz::json doc = {{"board", {{"raw_info", fuzz::hex(raw)}}},
                      {"disks", fuzz::small_storage()},
                      {"system", {{"time_limit", 10}, {"spin_limit", 100000}}}};
    int read = 0, settings = 0, report = 0;
    auto board = fuzz::on_board(doc, [&](sim::Kernel &) {
        sata_port_num = 77; // a value no rule produces: "kept" shows
        boardinfo info;
        int fd = sys::open(VEXIO_PATH, O_RDWR);
        read = getboardinfo(fd, &info);
        sys::close(fd);
        settings = boardsettings();
        report = boardinfotest();
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run ended: %s", b->result.describe().c_str());
    FUZZ_CHECK(b, read == settings && read == report && (read == 0 || read == -1),
               "getboardinfo %d, boardsettings %d, boardinfotest %d", read, settings, report);
    const uint8_t ports[] = {0, 2, 4, 5, 6, 7, 8, 9, 77};
    bool port_ok = std::find(std::begin(ports), std::end(ports), sata_port_num) != std::end(ports);
    if (read == 0)
        FUZZ_CHECK(b,
                   port_ok && (netPortCount == 1 || netPortCount == 2) &&
                       (alarmOutCount == 2 || alarmOutCount == 4) &&
                       (alarmInCount == 4 || alarmInCount == 16) && usbExpected <= 3,
                   "settings out of range: net %d, sata %d, alarms %d/%d, usb %d", netPortCount,
                   sata_port_num, alarmOutCount, alarmInCount, usbExpected);
    else
        FUZZ_CHECK(b, sata_port_num == 77 && netPortCount == 1 && alarmOutCount == 0,
                   "an unreadable block changed the settings");
    std::string out = b->out();
    size_t lines = std::count(out.begin(), out.end(), '\n');
    size_t longest = 0;
    for (size_t at = 0, eol; (eol = out.find('\n', at)) != std::string::npos; at = eol + 1)
        longest = std::max(longest, eol - at);
    FUZZ_CHECK(b, read != 0 || lines == 10 || lines == 11, "a report of %zu lines", lines);
    FUZZ_CHECK(b, read == 0 || out.empty(), "printed although the block could not be read");
    FUZZ_CHECK(b, longest <= 40, "a report line of %zu bytes", longest);
    return 0;
}
