#include "simrun.h"

#include "driver/procstate.h"
#include "sim/harness/harness.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qa {

SimRun run_ftq(const std::string &scenario_json, const std::vector<std::string> &args) {
    SimRun r;
    r.scenario = sim::Scenario::from_text(scenario_json);
    r.kernel = std::make_unique<sim::Kernel>(r.scenario);
    r.result = sim::run_ftq(*r.kernel, args);
    return r;
}

SimRun run_routine(const std::string &scenario_json, std::function<int()> body) {
    SimRun r;
    r.scenario = sim::Scenario::from_text(scenario_json);
    r.kernel = std::make_unique<sim::Kernel>(r.scenario);
    r.result = r.kernel->run(
        [&body](int, char **) {
            reset_process_state();
            return body();
        },
        {"ftq"});
    return r;
}

SimRun run_on_board(const std::string &scenario_json, std::function<int(sim::Kernel &)> body) {
    SimRun r;
    r.scenario = sim::Scenario::from_text(scenario_json);
    r.kernel = std::make_unique<sim::Kernel>(r.scenario);
    sim::Kernel &k = *r.kernel;
    r.result = k.run(
        [&body, &k](int, char **) {
            reset_process_state();
            return body(k);
        },
        {"ftq"});
    return r;
}

std::string source_file(const std::string &relative) {
    std::ifstream in(std::string(FTQ_SOURCE_DIR) + "/" + relative, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + relative);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace qa
