// Shared helpers of the front-panel tests: scenarios, frames and what the
// simulated panel controller saw.
#pragma once

#include "simrun.h"

#include "board/boardinfo.h"
#include "sim/models/panel.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace panelqa {

inline std::string hexof(const std::vector<uint8_t> &bytes) {
    std::string out;
    char two[4];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02X", b);
        out += (out.empty() ? "" : " ") + std::string(two);
    }
    return out;
}

// A key event frame as the panel sends it.
inline std::string key(const char *name, bool pressed) {
    return hexof(sim::PanelController::key_frame(sim::PanelController::key_code(name), pressed));
}
inline std::string keycode(int code, bool pressed) {
    return hexof(sim::PanelController::key_frame(code, pressed));
}

// A type-0x30 frame from the panel, counted as a reply.
inline const std::string REPLY = "FF 07 30 0B 00 00 41";

inline std::string join(std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto &p : parts)
        if (!p.empty())
            out += (out.empty() ? "" : " ") + p;
    return out;
}

inline std::string repeat(const std::string &hex, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += (out.empty() ? "" : " ") + hex;
    return out;
}

// A board of this type whose panel section is `panel`, plus further
// top-level sections.
inline std::string scenario(int type, const nlohmann::json &panel,
                            const nlohmann::json &extra = nlohmann::json::object()) {
    nlohmann::json doc = extra;
    doc["board"]["type"] = type;
    if (!panel.is_null())
        doc["panel"] = panel;
    return doc.dump();
}

// Raw bytes the panel sends at given times after the port is opened.
inline nlohmann::json bytes_at(std::initializer_list<std::pair<double, std::string>> chunks) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto &c : chunks)
        list.push_back({{"at", c.first}, {"hex", c.second}});
    return list;
}

// A routine run on a board of this type, with the board type already
// known as the start-up would have found it.
inline qa::SimRun routine(int type, const nlohmann::json &panel, std::function<int()> body,
                          const nlohmann::json &extra = nlohmann::json::object()) {
    return qa::run_routine(scenario(type, panel, extra), [type, body] {
        boardtype = type;
        return body();
    });
}

// The LED modes the panel recognised, in order.
inline std::vector<std::string> modes(const qa::SimRun &r) {
    std::vector<std::string> out;
    for (const auto &e : r.events("panel", "led_mode"))
        out.push_back(e.data["mode"].get<std::string>());
    return out;
}

// The LED command frames, each as its bytes and virtual time.
struct Frame {
    sim::Time t;
    std::string bytes;
    bool whole_write;
    bool operator==(const Frame &) const = default;
};
inline std::vector<Frame> frames(const qa::SimRun &r, const char *ev = "led") {
    std::vector<Frame> out;
    for (const auto &e : r.events("panel", ev))
        out.push_back({e.t, e.data["bytes"].get<std::string>(), e.data["whole_write"].get<bool>()});
    return out;
}

// The virtual time of the first console write that contains `text`, or -1.
inline sim::Time printed_at(const qa::SimRun &r, const std::string &text) {
    for (const auto &w : r.kernel->console())
        if (w.bytes.find(text) != std::string::npos)
            return w.t;
    return -1;
}

// Console text as a failure message shows it: a program that went wrong
// may have printed megabytes.
inline std::string shown(const std::string &out) {
    return out.size() <= 2000
               ? out
               : out.substr(0, 2000) + "... (" + std::to_string(out.size()) + " bytes)";
}

inline std::string queued(const qa::SimRun &r) {
    auto *panel = r.kernel->model<sim::PanelController>();
    if (panel == nullptr)
        return "<no panel>";
    std::string q = panel->queued();
    return hexof(std::vector<uint8_t>(q.begin(), q.end()));
}

} // namespace panelqa
