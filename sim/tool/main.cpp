// ftq-sim: runs ftq on the simulated board and shows what the operator
// would see and what the board did.
#include "sim/harness/harness.h"
#include "sim/harness/report.h"
#include "sim/harness/session.h"
#include "sim/kernel/kernel.h"
#include "sim/tool/catalog.h"
#include "sim/tool/interactive.h"
#include "sim/tool/vcd.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_USAGE = 2;

const char *const HELP =
    "usage: ftq-sim [options] [-- ftq arguments]\n"
    "\n"
    "Runs the factory test program ftq on a simulated board, in virtual time.\n"
    "With no ftq arguments it runs the whole run.\n"
    "\n"
    "options:\n"
    "  --scenario FILE  the board and its surroundings (JSON), or the name of a\n"
    "                   scenario of the catalog (see --list); default: a healthy\n"
    "                   board of type 1 with every fixture connected and an\n"
    "                   operator who presses Enter at each console wait\n"
    "  --raw            standard output carries exactly the program's own bytes\n"
    "                   (GB2312); the board's report goes to standard error\n"
    "  --trace FILE     write the device trace as JSON lines\n"
    "  --vcd FILE       write the board's signals over virtual time as a Value\n"
    "                   Change Dump (buzzer, watchdog, alarm lines, RS-485 and\n"
    "                   panel link activity, LED mode, step, chip busy/reset)\n"
    "  --interactive    play the operator: virtual time follows the wall clock,\n"
    "                   Enter answers the console, arrow keys, e and m press the\n"
    "                   panel keys UP/DOWN/LEFT/RIGHT, ENTER and MENU, Ctrl-C\n"
    "                   interrupts ftq\n"
    "  --speed N        with --interactive: N virtual seconds per second (default 1)\n"
    "  --list           list the scenario catalog: each scenario's name and\n"
    "                   description on standard output, the catalog's folder on\n"
    "                   standard error\n"
    "  --help           this text\n"
    "\n"
    "environment:\n"
    "  FTQ_SCENARIOS    the folder of the scenario catalog; when it is unset or\n"
    "                   no folder, ftq-sim reads ../share/ftq/scenarios next to\n"
    "                   its binary (an installed ftq-sim), then, when it runs\n"
    "                   from its build folder, the source tree's scenarios/\n"
    "\n"
    "exit status:\n"
    "  ftq's own exit status, or 128 + the signal number when a signal ended it;\n"
    "  124 when the run stalled, spun or hit its time limit; 2 for a bad command\n"
    "  line, a malformed scenario or a scenario catalog that cannot be found.\n"
    "\n"
    "examples:\n"
    "  ftq-sim                                the whole run, healthy board\n"
    "  ftq-sim -- -o 5                        the alarm I/O test alone\n"
    "  ftq-sim --scenario healthy-type2       a scenario of the catalog\n"
    "  ftq-sim --scenario my.json -- -h       ftq's help text\n"
    "\n"
    "documentation:\n"
    "  the scenario fields (scenario.md), the catalog (catalog.md) and the\n"
    "  GTKWave view for --vcd (timeline.gtkw) are in the source tree's docs/\n"
    "  and, installed, in share/doc/ftq/\n";

struct Options {
    std::string scenario;
    std::string trace;
    std::string vcd;
    bool raw = false;
    bool interactive = false;
    bool args_given = false;
    double speed = 1.0;
    std::vector<std::string> ftq_args;
};

// In an interactive run the person presses the panel keys and Enter, so the
// scenario's scripted operator steps back unless the scenario says more.
sim::Scenario hand_to_person(const sim::Scenario &scenario) {
    nlohmann::json doc = scenario.doc();
    nlohmann::json &panel = doc["panel"];
    if (panel.is_null())
        panel = nlohmann::json::object();
    if (panel.is_object() && !panel.contains("keys") && !panel.contains("bytes") &&
        panel.value("silent", nlohmann::json(false)) != true)
        panel["keys"] = nlohmann::json::array();
    nlohmann::json &console = doc["console"];
    if (console.is_null())
        console = nlohmann::json::object();
    if (console.is_object() && !console.contains("operator")) {
        console["operator"] = "absent";
        console.erase("delay"); // the scripted operator's, who has stepped back
    }
    return scenario.edited(std::move(doc));
}

// The catalog, or false after the message naming the folders tried.
bool find_catalog(sim::CatalogLookup &catalog) {
    catalog = sim::find_catalog();
    if (catalog.dir.empty()) {
        std::cerr << "ftq-sim: " << sim::catalog_not_found(catalog) << "\n";
        return false;
    }
    if (!catalog.warning.empty())
        std::cerr << "ftq-sim: " << catalog.warning << "; the catalog is " << catalog.dir << "\n";
    return true;
}

// A scenario given by name rather than by file comes from the catalog; an
// empty result means the catalog or the name is missing (already said).
std::string resolve_scenario(const std::string &given) {
    struct stat st;
    if (given.find('/') != std::string::npos || ::stat(given.c_str(), &st) == 0)
        return given;
    sim::CatalogLookup catalog;
    if (!find_catalog(catalog))
        return "";
    std::string named = catalog.dir + "/" + given + ".json";
    if (::stat(named.c_str(), &st) == 0)
        return named;
    std::cerr << "ftq-sim: no file " << given << " and no scenario of that name in the catalog "
              << catalog.dir << " (see ftq-sim --list)\n";
    return "";
}

// The names and descriptions go to standard output, the folder read to
// standard error: scripts reading the list see the list only.
int list_catalog() {
    sim::CatalogLookup catalog;
    if (!find_catalog(catalog))
        return EXIT_USAGE;
    DIR *dir = ::opendir(catalog.dir.c_str());
    if (dir == nullptr) {
        std::cerr << "ftq-sim: cannot read the catalog " << catalog.dir << "\n";
        return EXIT_USAGE;
    }
    std::cerr << "catalog: " << catalog.dir << " (" << catalog.source << ")\n";
    std::vector<std::string> names;
    while (struct dirent *e = ::readdir(dir)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
            names.push_back(n.substr(0, n.size() - 5));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    size_t width = 0;
    for (const auto &n : names)
        width = std::max(width, n.size());
    for (const auto &n : names) {
        std::string description;
        try {
            sim::Scenario s = sim::Scenario::from_file(catalog.dir + "/" + n + ".json");
            description = s.root().text("description", "");
        } catch (const sim::ScenarioError &e) {
            description = std::string("(malformed: ") + e.what() + ")";
        }
        std::cout << n << std::string(width + 2 - n.size(), ' ') << description << "\n";
    }
    return 0;
}

int usage_error(const std::string &what) {
    std::cerr << "ftq-sim: " << what << "\n(see ftq-sim --help)\n";
    return EXIT_USAGE;
}

void write_fd(int fd, const std::string &s) {
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << HELP;
            return 0;
        } else if (a == "--raw") {
            opt.raw = true;
        } else if (a == "--list") {
            return list_catalog();
        } else if (a == "--interactive") {
            opt.interactive = true;
        } else if (a == "--speed") {
            if (i + 1 >= argc)
                return usage_error("--speed needs a number");
            char *end = nullptr;
            opt.speed = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(opt.speed > 0 && opt.speed <= 1000))
                return usage_error(
                    std::string("--speed takes a number above 0 and up to 1000, not '") + argv[i] +
                    "'");
        } else if (a == "--scenario" || a == "--trace" || a == "--vcd") {
            if (i + 1 >= argc)
                return usage_error(a + " needs a file name");
            std::string &target = a == "--scenario" ? opt.scenario
                                  : a == "--trace"  ? opt.trace
                                                    : opt.vcd;
            target = argv[++i];
        } else if (a == "--") {
            opt.ftq_args.assign(argv + i + 1, argv + argc);
            opt.args_given = true;
            break;
        } else {
            return usage_error("unknown option '" + a + "'");
        }
    }

    sim::Scenario scenario;
    std::unique_ptr<sim::Session> board;
    try {
        if (!opt.scenario.empty()) {
            std::string file = resolve_scenario(opt.scenario);
            if (file.empty())
                return EXIT_USAGE;
            scenario = sim::Scenario::from_file(file);
        }
        if (!opt.args_given)
            opt.ftq_args = sim::scenario_args(scenario);
        if (opt.interactive)
            scenario = hand_to_person(scenario);
        board = std::make_unique<sim::Session>(scenario);
    } catch (const sim::ScenarioError &e) {
        std::cerr << "ftq-sim: " << e.what() << "\n";
        return EXIT_USAGE;
    }

    std::string pending[2]; // per stream, a character cut between two writes
    board->on_console_write([&](const sim::Kernel::ConsoleWrite &w) {
        if (opt.raw) {
            write_fd(1, w.bytes);
            return;
        }
        int fd = w.fd == 2 ? 2 : 1;
        write_fd(fd, sim::gb2312_stream_to_utf8(pending[fd - 1], w.bytes));
    });

    std::unique_ptr<sim::InteractiveSession> session;
    if (opt.interactive)
        session = std::make_unique<sim::InteractiveSession>(*board->kernel, opt.speed);
    sim::RunResult r = board->run_ftq(opt.ftq_args);
    session.reset();

    for (int fd = 1; fd <= 2; ++fd)
        write_fd(fd, sim::gb2312_to_utf8(pending[fd - 1]));
    std::string report = sim::step_table(*board->kernel, r) + sim::board_report(*board);
    write_fd(opt.raw ? 2 : 1, report);
    if (!opt.trace.empty()) {
        std::ofstream out(opt.trace);
        if (!out) {
            std::cerr << "ftq-sim: cannot write the trace to " << opt.trace << "\n";
            return EXIT_USAGE;
        }
        board->kernel->trace().write_jsonl(out);
    }
    if (!opt.vcd.empty()) {
        std::ofstream out(opt.vcd);
        if (!out) {
            std::cerr << "ftq-sim: cannot write the value change dump to " << opt.vcd << "\n";
            return EXIT_USAGE;
        }
        sim::write_vcd(*board->kernel, r, out);
    }
    return r.shell_status();
}
