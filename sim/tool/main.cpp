// ftq-sim: runs ftq on the simulated board and shows what the operator
// would see and what the board did.
#include "sim/harness/harness.h"
#include "sim/harness/report.h"
#include "sim/harness/result.h"
#include "sim/harness/session.h"
#include "sim/kernel/kernel.h"
#include "sim/tool/catalog.h"
#include "sim/tool/interactive.h"
#include "sim/tool/output.h"
#include "sim/tool/vcd.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifdef FTQ_VERSION_HEADER
#include "ftq_version.h" // FTQ_VERSION, FTQ_GIT_DESCRIBE: written at build time
#else
#define FTQ_VERSION "(unversioned build)"
#define FTQ_GIT_DESCRIBE ""
#endif

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
    "                   scenario of the catalog, with or without .json (see\n"
    "                   --list); default: a healthy board of type 1 with every\n"
    "                   fixture connected and an operator who presses Enter at\n"
    "                   each console wait\n"
    "  --raw            standard output carries exactly the program's own bytes\n"
    "                   (GB2312); the board's report goes to standard error\n"
    "  --trace FILE     write the device trace as JSON lines (trace.md)\n"
    "  --vcd FILE       write the board's signals over virtual time as a Value\n"
    "                   Change Dump (trace.md): buzzer, watchdog, alarm lines,\n"
    "                   RS-485 and panel link activity, LED mode, step, chip\n"
    "                   busy/reset\n"
    "  --result FILE    write the run's result as one JSON object (result.md):\n"
    "                   how ftq ended, its test result record, the summary's\n"
    "                   verdict and failures, the steps and their virtual times\n"
    "  --interactive    play the operator: virtual time follows the wall clock,\n"
    "                   Enter answers the console, arrow keys, e and m press the\n"
    "                   panel keys UP/DOWN/LEFT/RIGHT, ENTER and MENU, Ctrl-C\n"
    "                   interrupts ftq; SIGINT, SIGTERM or SIGHUP is passed on\n"
    "                   to ftq, and what the run recorded is still written\n"
    "  --speed N        with --interactive: N virtual seconds per second, above 0\n"
    "                   and up to 1000 (default 1); without it, a warning\n"
    "  --list           list the scenario catalog: each scenario's name and\n"
    "                   description on standard output, the catalog's folder on\n"
    "                   standard error\n"
    "  --version        the version of ftq-sim\n"
    "  --help           this text\n"
    "\n"
    "An option's value may follow it (--trace FILE) or be joined to it with =\n"
    "(--trace=FILE). FILE - is standard output for --trace, --vcd and\n"
    "--result; the console transcript and the board's report then go to\n"
    "standard error. Only one output may be standard output, and none with\n"
    "--raw or --interactive.\n"
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
    "  line, a malformed scenario or a scenario catalog that cannot be found; 74\n"
    "  when an output (the transcript, --trace, --vcd, --result, --list, --help)\n"
    "  could not be opened, written or closed: the message names the file and\n"
    "  the reason, and the other outputs are still written.\n"
    "\n"
    "examples:\n"
    "  ftq-sim                                the whole run, healthy board\n"
    "  ftq-sim -- -o 5                        the alarm I/O test alone\n"
    "  ftq-sim --scenario healthy-type2       a scenario of the catalog\n"
    "  ftq-sim --scenario my.json -- -h       ftq's help text\n"
    "  ftq-sim --result - > result.json       the result only, for a script\n"
    "\n"
    "documentation:\n"
    "  the scenario fields (scenario.md), the catalog (catalog.md), the trace\n"
    "  and value change dump (trace.md), the result (result.md) and the GTKWave\n"
    "  view for --vcd (timeline.gtkw) are in the source tree's docs/ and,\n"
    "  installed, in /usr/share/doc/ftq-sim/\n";

struct Options {
    std::string scenario;
    std::string trace;
    std::string vcd;
    std::string result;
    std::string speed_text;
    bool raw = false;
    bool interactive = false;
    bool list = false;
    bool help = false;
    bool version = false;
    bool args_given = false;
    double speed = 1.0;
    std::vector<std::string> ftq_args;
};

// Messages for the person at the terminal; a failure to show them has no
// one left to tell.
void say(const std::string &text) {
    sim::Output::stream(2, "the messages").write(text);
}

int usage_error(const std::string &what) {
    say("ftq-sim: " + what + "\n(see ftq-sim --help)\n");
    return EXIT_USAGE;
}

// What is left of standard output after a text meant for it: 0, or the
// status of an output that failed, named on standard error.
int finish_stdout(sim::Output &out) {
    if (out.close())
        return 0;
    say(out.error() + "\n");
    return sim::EXIT_OUTPUT;
}

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
        say("ftq-sim: " + sim::catalog_not_found(catalog) + "\n");
        return false;
    }
    if (!catalog.warning.empty())
        say("ftq-sim: " + catalog.warning + "; the catalog is " + catalog.dir + "\n");
    return true;
}

std::string strip_json(const std::string &name) {
    bool has_suffix = name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0;
    return has_suffix ? name.substr(0, name.size() - 5) : name;
}

// A scenario given by name rather than by file comes from the catalog,
// named with or without its .json; an empty result means the catalog or the
// name is missing (already said).
std::string resolve_scenario(const std::string &given) {
    struct stat st;
    if (given.find('/') != std::string::npos || ::stat(given.c_str(), &st) == 0)
        return given;
    sim::CatalogLookup catalog;
    if (!find_catalog(catalog))
        return "";
    std::string named = catalog.dir + "/" + strip_json(given) + ".json";
    if (::stat(named.c_str(), &st) == 0)
        return named;
    say("ftq-sim: no file " + given + " and no scenario of that name in the catalog " +
        catalog.dir + " (see ftq-sim --list)\n");
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
        say("ftq-sim: cannot read the catalog " + catalog.dir + "\n");
        return EXIT_USAGE;
    }
    say("catalog: " + catalog.dir + " (" + catalog.source + ")\n");
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
    std::string list;
    for (const auto &n : names) {
        std::string description;
        try {
            sim::Scenario s = sim::Scenario::from_file(catalog.dir + "/" + n + ".json");
            description = s.root().text("description", "");
        } catch (const sim::ScenarioError &e) {
            description = std::string("(malformed: ") + e.what() + ")";
        }
        list += n + std::string(width + 2 - n.size(), ' ') + description + "\n";
    }
    sim::Output out = sim::Output::stream(1, "the list");
    out.write(list);
    return finish_stdout(out);
}

std::string version_text() {
    std::string v = std::string("ftq-sim ") + FTQ_VERSION;
    if (*FTQ_GIT_DESCRIBE != '\0')
        v += std::string(" (git ") + FTQ_GIT_DESCRIBE + ")";
    return v + "\n";
}

// Reads the command line into opt; a usage error's status, or nothing.
std::optional<int> parse(int argc, char **argv, Options &opt) {
    // What follows the first -- is ftq's, untouched by the option parser.
    int ours = argc;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--") {
            ours = i;
            opt.args_given = true;
            opt.ftq_args.assign(argv + i + 1, argv + argc);
            break;
        }
    CLI::App app("ftq-sim", "ftq-sim");
    app.set_help_flag();
    app.allow_extras();
    app.add_flag("-h,--help", opt.help);
    app.add_flag("--version", opt.version);
    app.add_flag("--raw", opt.raw);
    app.add_flag("--list", opt.list);
    app.add_flag("--interactive", opt.interactive);
    app.add_option("--scenario", opt.scenario)->type_name("FILE");
    app.add_option("--trace", opt.trace)->type_name("FILE");
    app.add_option("--vcd", opt.vcd)->type_name("FILE");
    app.add_option("--result", opt.result)->type_name("FILE");
    app.add_option("--speed", opt.speed_text)->type_name("N");
    try {
        app.parse(ours, argv);
    } catch (const CLI::ParseError &e) {
        return usage_error(e.what());
    }
    if (opt.help || opt.version)
        return std::nullopt;
    std::vector<std::string> extra = app.remaining();
    if (!extra.empty())
        return usage_error(extra.front().rfind("-", 0) == 0
                               ? "unknown option '" + extra.front() + "'"
                               : "unexpected argument '" + extra.front() +
                                     "' (ftq's arguments go after --)");
    if (app.count("--speed") > 0) {
        char *end = nullptr;
        opt.speed = std::strtod(opt.speed_text.c_str(), &end);
        if (end == opt.speed_text.c_str() || *end != '\0' || !(opt.speed > 0 && opt.speed <= 1000))
            return usage_error("--speed takes a number above 0 and up to 1000, not '" +
                               opt.speed_text + "'");
        if (!opt.interactive)
            say("ftq-sim: warning: --speed has no effect without --interactive\n");
    }
    int to_stdout = opt.raw ? 1 : 0;
    for (const auto *o : {&opt.trace, &opt.vcd, &opt.result})
        to_stdout += *o == "-" ? 1 : 0;
    if (to_stdout > 1)
        return usage_error("only one of --raw, --trace -, --vcd - and --result - can have "
                           "standard output");
    if (opt.interactive && to_stdout > 0)
        return usage_error("--interactive needs standard output for the console: give "
                           "--trace, --vcd and --result a file");
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    if (std::optional<int> status = parse(argc, argv, opt))
        return *status;
    if (opt.help || opt.version) {
        sim::Output out = sim::Output::stream(1, opt.help ? "the help text" : "the version");
        out.write(opt.help ? HELP : version_text());
        return finish_stdout(out);
    }
    if (opt.list)
        return list_catalog();

    sim::Scenario scenario;
    std::unique_ptr<sim::Session> board;
    std::string scenario_name; // none: the default board
    try {
        if (!opt.scenario.empty()) {
            std::string file = resolve_scenario(opt.scenario);
            if (file.empty())
                return EXIT_USAGE;
            scenario_name = file == opt.scenario ? file : strip_json(opt.scenario);
            scenario = sim::Scenario::from_file(file);
        }
        if (!opt.args_given)
            opt.ftq_args = sim::scenario_args(scenario);
        if (opt.interactive)
            scenario = hand_to_person(scenario);
        board = std::make_unique<sim::Session>(scenario);
    } catch (const sim::ScenarioError &e) {
        say(std::string("ftq-sim: ") + e.what() + "\n");
        return EXIT_USAGE;
    }

    // Every file is opened before the run: a wrong path costs nothing then.
    struct Named {
        const std::string &path;
        const char *what;
    };
    std::vector<sim::Output> files;
    bool stdout_taken = false;
    for (const Named &n : {Named{opt.trace, "the trace"}, Named{opt.vcd, "the value change dump"},
                           Named{opt.result, "the result"}}) {
        if (n.path.empty()) {
            files.emplace_back();
            continue;
        }
        files.emplace_back(n.what, n.path);
        stdout_taken = stdout_taken || n.path == "-";
        if (!files.back().ok()) {
            say(files.back().error() + "\n");
            return sim::EXIT_OUTPUT;
        }
    }
    sim::Output &trace = files[0], &vcd = files[1], &result = files[2];

    // The transcript gives standard output up to a machine-readable output.
    sim::Output console = sim::Output::stream(stdout_taken ? 2 : 1, "the transcript");
    sim::Output errors = sim::Output::stream(2, "the transcript");
    std::string pending[2]; // per stream, a character cut between two writes
    board->on_console_write([&](const sim::Kernel::ConsoleWrite &w) {
        if (opt.raw) {
            console.write(w.bytes);
            return;
        }
        bool to_err = w.fd == 2;
        (to_err ? errors : console).write(sim::gb2312_stream_to_utf8(pending[to_err], w.bytes));
    });

    std::unique_ptr<sim::InteractiveSession> session;
    if (opt.interactive)
        session = std::make_unique<sim::InteractiveSession>(*board->kernel, opt.speed);
    sim::RunResult r = board->run_ftq(opt.ftq_args);
    session.reset();

    console.write(sim::gb2312_to_utf8(pending[0]));
    errors.write(sim::gb2312_to_utf8(pending[1]));
    std::string report = sim::step_table(*board->kernel, r) + sim::board_report(*board);
    (opt.raw ? errors : console).write(report);
    if (!opt.trace.empty()) {
        std::ostringstream text;
        board->kernel->trace().write_jsonl(text);
        trace.write(text.str());
    }
    if (!opt.vcd.empty()) {
        std::ostringstream text;
        sim::write_vcd(*board->kernel, r, text);
        vcd.write(text.str());
    }
    if (!opt.result.empty())
        result.write(sim::run_result(*board, scenario_name, opt.ftq_args).dump(2) + "\n");

    // Each failure is named; the outputs that could be written are whole.
    std::string failures;
    for (sim::Output *o : {&trace, &vcd, &result, &console})
        if (!o->close())
            failures += o->error() + "\n";
    errors.write(failures);
    if (!errors.close() || !failures.empty())
        return sim::EXIT_OUTPUT;
    return r.shell_status();
}
