// What the simulator itself says about a run, in the record's terms, for
// checking the records that ftq-record reads from the run's console.
#pragma once

#include "sim/harness/session.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace qa::record {

using Json = nlohmann::ordered_json;

// UTF-8 text in a source that the product's charset compiles to GB2312.
inline std::string utf8(const char8_t *s) {
    return reinterpret_cast<const char *>(s);
}

// The run's own outcome: "verdict" ("pass", "fail" or null when no summary
// was printed), "usb", "sata" and "failed", from the test result record
// the program left and how it ended. The result builder of the simulator's
// harness gives the same fields.
Json run_outcome(const sim::Session &s);

// The records of a capture as the tool writes them, read back as JSON.
std::vector<Json> parse_text(const std::string &capture, const std::string &file = "-");

// The program's console bytes, standard output and error in order.
std::string console_bytes(const sim::Session &s);

// The board report and the disks that the scenario's board gives, asked of
// the device models directly (faults and signals left out): "board" (null
// when its record cannot be read) and "disks", each disk that answers
// IDENTIFY DEVICE among the names the SATA test tries.
Json scenario_board_and_disks(const std::string &scenario_file);

} // namespace qa::record
