#include "simrun.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qa {

namespace {

SimRun finished(std::unique_ptr<sim::Session> s) {
    SimRun r;
    r.kernel = s->kernel.get();
    r.result = s->result;
    r.session = std::move(s);
    return r;
}

} // namespace

SimRun run_ftq(const std::string &scenario_json, const std::vector<std::string> &args) {
    auto s = sim::Session::from_text(scenario_json);
    s->run_ftq(args);
    return finished(std::move(s));
}

SimRun run_routine(const std::string &scenario_json, std::function<int()> body) {
    return run_on_board(scenario_json, [&body](sim::Kernel &) { return body(); });
}

SimRun run_on_board(const std::string &scenario_json, std::function<int(sim::Kernel &)> body) {
    auto s = sim::Session::from_text(scenario_json);
    s->run_routine(body);
    return finished(std::move(s));
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
