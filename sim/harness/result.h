// The result of a finished run as one JSON object, for scripts that must
// tell a failed board from a passed one without reading the console (ftq
// exits 0 either way). ftq-sim --result writes it; the suite and the tools
// that store runs build it in-process.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace sim {

class Session;

// `scenario` is the catalog name or the file the run came from (empty for
// the default board, null in the result); `args` are
// ftq's arguments as given to it.
nlohmann::json run_result(const Session &session, const std::string &scenario,
                          const std::vector<std::string> &args);

} // namespace sim
