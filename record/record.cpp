#include "record/record.h"

#include <charconv>
#include <cstring>

namespace ftqrecord {

namespace {

using namespace std::string_view_literals;

// The length of the well-formed UTF-8 sequence at `p` (at most `left`
// bytes), or 0.
size_t sequence(const unsigned char *p, size_t left) {
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0; // shorter forms are overlong
        else if (c == 0xED)
            hi = 0x9F; // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F; // above U+10FFFF
    } else
        return 0;
    if (left < len || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t k = 2; k < len; ++k)
        if ((p[k] & 0xC0) != 0x80)
            return 0;
    return len;
}

class Writer {
  public:
    explicit Writer(std::string &out) : out_(out) {}

    void raw(std::string_view s) { out_.append(s); }

    void text(std::string_view s) {
        out_ += '"';
        const auto *p = reinterpret_cast<const unsigned char *>(s.data());
        const size_t n = s.size();
        size_t plain = 0; // start of the bytes not yet copied
        size_t i = 0;
        while (i < n) {
            unsigned char c = p[i];
            if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
                ++i;
                continue;
            }
            if (c >= 0x80) {
                size_t len = sequence(p + i, n - i);
                if (len != 0) {
                    i += len;
                    continue;
                }
            }
            out_.append(s.data() + plain, i - plain);
            escape(c);
            plain = ++i;
        }
        out_.append(s.data() + plain, n - plain);
        out_ += '"';
    }

    void text_or_null(const char *s) {
        if (s)
            text(s);
        else
            raw("null");
    }
    void text_or_null(const std::optional<std::string> &s) {
        if (s)
            text(*s);
        else
            raw("null");
    }

    template <class T> void number(T v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, static_cast<size_t>(r.ptr - buf));
    }
    void number_or_null(const std::optional<long long> &v) {
        if (v)
            number(*v);
        else
            raw("null");
    }
    void boolean(bool b) { raw(b ? "true" : "false"); }

    // `,"name":` before every member but an object's first.
    void key(std::string_view name, bool first = false) {
        out_.append(first ? "\""sv : ",\""sv);
        out_.append(name);
        out_.append("\":", 2);
    }

    template <class List, class Item> void list(const List &l, Item &&item) {
        out_ += '[';
        bool first = true;
        for (const auto &x : l) {
            if (!first)
                out_ += ',';
            first = false;
            item(x);
        }
        out_ += ']';
    }

  private:
    void escape(unsigned char c) {
        switch (c) {
        case '"':
            raw("\\\"");
            break;
        case '\\':
            raw("\\\\");
            break;
        case '\b':
            raw("\\b");
            break;
        case '\f':
            raw("\\f");
            break;
        case '\n':
            raw("\\n");
            break;
        case '\r':
            raw("\\r");
            break;
        case '\t':
            raw("\\t");
            break;
        default:
            if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                char u[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out_.append(u, sizeof u);
            } else {
                raw("\xEF\xBF\xBD"); // not UTF-8: U+FFFD
            }
        }
    }

    std::string &out_;
};

const char *const BOARD_KEYS[] = {"unrecognisedModel", "deviceType", "armClock",  "dspClock",
                                  "memClock",          "memSize",    "flashSize", "cpldVersion"};
const char *const PANEL_COUNTS[] = {"unknownKeys", "controlPanel", "mainKeyboard", "otherMessages"};

void write_board(Writer &w, const Board &b) {
    w.raw("{");
    for (uint8_t i = 0; i < b.order.n; ++i) {
        uint8_t id = b.order.ids[i];
        if (id == Board::AlarmIo) {
            w.key("alarmInputs", i == 0);
            w.number(b.alarmInputs);
            w.key("alarmOutputs");
            w.number(b.alarmOutputs);
        } else {
            w.key(BOARD_KEYS[id], i == 0);
            w.text(b.text[id]);
        }
    }
    w.raw("}");
}

void write_disk(Writer &w, const Disk &d) {
    w.key("node", true);
    w.text(d.node);
    if (d.fields >= 1) {
        w.key("serial");
        w.text(d.serial);
        w.key("serialTrimmed");
        w.text(d.serialTrimmed);
    }
    if (d.fields >= 2) {
        w.key("model");
        w.text(d.model);
        w.key("modelTrimmed");
        w.text(d.modelTrimmed);
    }
    if (d.fields >= 3) {
        w.key("firmware");
        w.text(d.firmware);
        w.key("firmwareTrimmed");
        w.text(d.firmwareTrimmed);
    }
    if (d.fields >= 4) {
        w.key("capacityGB");
        w.number(d.capacityGB);
    }
}

void write_alarm(Writer &w, const Alarm &a) {
    w.key("mismatches", true);
    w.list(a.mismatches, [&](const Mismatch &m) {
        w.raw("{");
        w.key("output", true);
        w.text(m.output);
        w.key("input");
        w.text(m.input);
        w.key("expected");
        w.text(m.expected);
        w.raw("}");
    });
    for (uint8_t i = 0; i < a.order.n; ++i) {
        if (a.order.ids[i] == Alarm::Counts) {
            w.key("success");
            w.number(a.success);
            w.key("failure");
            w.number(a.failure);
        } else {
            w.key("readErrors");
            w.number(a.readErrors);
        }
    }
}

void write_panel(Writer &w, const Panel &p) {
    for (uint8_t i = 0; i < p.order.n; ++i) {
        uint8_t id = p.order.ids[i];
        if (id == Panel::Keys) {
            w.key("keys", i == 0);
            w.list(p.keys, [&](const PanelKey &k) {
                w.raw("{");
                w.key("key", true);
                w.text(k.key);
                w.key("state");
                w.text(k.state);
                w.raw("}");
            });
        } else {
            w.key(PANEL_COUNTS[id - Panel::UnknownKeys], i == 0);
            w.number(p.counts[id]);
        }
    }
}

} // namespace

bool valid_utf8(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            uint64_t w;
            while (n - i >= 8 && (std::memcpy(&w, p + i, 8), (w & 0x8080808080808080ULL) == 0))
                i += 8;
            if (i < n && p[i] < 0x80)
                ++i;
            continue;
        }
        size_t len = sequence(p + i, n - i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

void Record::clear() {
    offset = 0;
    verdict = nullptr;
    mode = "single";
    boardType.reset();
    usb.reset();
    sata.reset();
    failed.clear();
    board.reset();
    disks.clear();
    network.clear();
    rtc.reset();
    rs485.reset();
    alarm.reset();
    usbDevices.clear();
    panel.reset();
    factoryReset.reset();
    chips.clear();
    step = 0;
    testedAt.reset();
    interrupted = false;
    messages.clear();
    unknown.clear();
    unknownDropped = 0;
}

void write_json(const Record &r, std::string &out) {
    Writer w(out);
    auto object = [&](auto &&body) {
        w.raw("{");
        body();
        w.raw("}");
    };
    w.raw("{\"source\":{\"file\":");
    w.text(r.file);
    w.raw(",\"offset\":");
    w.number(r.offset);
    w.raw("}");
    w.key("verdict");
    w.text_or_null(r.verdict);
    w.key("mode");
    w.text(r.mode);
    w.key("boardType");
    w.number_or_null(r.boardType);
    w.key("usb");
    w.number_or_null(r.usb);
    w.key("sata");
    w.number_or_null(r.sata);
    w.key("failed");
    w.list(r.failed, [&](const char *s) { w.text(s); });
    w.key("board");
    if (r.board)
        write_board(w, *r.board);
    else
        w.raw("null");
    w.key("disks");
    w.list(r.disks, [&](const Disk &d) { object([&] { write_disk(w, d); }); });
    w.key("network");
    w.list(r.network, [&](const Port &p) {
        object([&] {
            w.key("port", true);
            w.text(p.port);
            w.key("link");
            w.text_or_null(p.link);
            w.key("duplex");
            w.text_or_null(p.duplex);
            w.key("speed");
            w.text_or_null(p.speed);
            if (p.settingsFailed) {
                w.key("settingsFailed");
                w.boolean(true);
            }
        });
    });
    w.key("rtc");
    if (r.rtc)
        object([&] {
            w.key("readings", true);
            w.list(r.rtc->readings, [&](const RtcReading &x) {
                object([&] {
                    w.key("rtc", true);
                    w.text(x.rtc);
                    w.key("system");
                    w.text_or_null(x.system);
                });
            });
            w.key("passed");
            w.boolean(r.rtc->passed);
        });
    else
        w.raw("null");
    w.key("rs485");
    if (r.rs485)
        object([&] {
            w.key("correct", true);
            w.number(r.rs485->correct);
            w.key("wrong");
            w.number_or_null(r.rs485->wrong);
            w.key("timedOut");
            w.boolean(r.rs485->timedOut);
        });
    else
        w.raw("null");
    w.key("alarm");
    if (r.alarm)
        object([&] { write_alarm(w, *r.alarm); });
    else
        w.raw("null");
    w.key("usbDevices");
    w.list(r.usbDevices, [&](const UsbDevice &u) {
        object([&] {
            w.key("node", true);
            w.text_or_null(u.node);
            if (u.node) {
                w.key("freeMB");
                w.number(u.freeMB);
            } else {
                w.key("error");
                w.text(u.error);
            }
        });
    });
    w.key("panel");
    if (r.panel)
        object([&] { write_panel(w, *r.panel); });
    else
        w.raw("null");
    w.key("factoryReset");
    if (r.factoryReset)
        object([&] {
            const FactoryReset &f = *r.factoryReset;
            for (uint8_t i = 0; i < f.order.n; ++i) {
                bool removed = f.order.ids[i] == FactoryReset::Removed;
                w.key(removed ? "removed" : "errors", i == 0);
                w.list(removed ? f.removed : f.errors, [&](const char *s) { w.text(s); });
            }
        });
    else
        w.raw("null");
    w.key("chips");
    w.list(r.chips, [&](const Chip &c) {
        object([&] {
            w.key("chip", true);
            w.number(c.chip);
            w.key("result");
            w.text(c.result);
        });
    });
    w.key("step");
    w.number(r.step);
    w.key("testedAt");
    w.text_or_null(r.testedAt);
    w.key("interrupted");
    w.boolean(r.interrupted);
    w.key("messages");
    w.list(r.messages, [&](const std::string &s) { w.text(s); });
    w.key("unknown");
    w.list(r.unknown, [&](const UnknownLine &u) {
        object([&] {
            w.key("line", true);
            w.number(u.line);
            w.key("text");
            w.text(u.text);
        });
    });
    if (r.unknownDropped != 0) {
        w.key("unknownDropped");
        w.number(r.unknownDropped);
    }
    w.raw("}");
}

std::string to_json(const Record &r) {
    std::string out;
    write_json(r, out);
    return out;
}

} // namespace ftqrecord
