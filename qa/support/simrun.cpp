#include "simrun.h"

#include <algorithm>
#include <dirent.h>

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

std::vector<std::string> catalog_names() {
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(FTQ_SOURCE_DIR "/scenarios")) {
        // The 64-bit entry: on 32-bit ARM under qemu-user the plain readdir
        // stops at the first entry whose 64-bit offset or inode number does
        // not fit (EOVERFLOW), and the catalog would look empty.
        while (struct dirent64 *e = ::readdir64(dir)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
                names.push_back(n.substr(0, n.size() - 5));
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace qa
