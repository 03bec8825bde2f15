// The front-panel controller of the kernel test bed (scripts/test-kernel.sh):
// the simulator's panel model (sim/models/panel.cpp) on the far end of the
// guest's /dev/ttyS2, a 16550 port that qemu binds to a Unix socket.
//
//   panel-peer --scenario FILE --socket PATH --record PATH [--heartbeats US,...]
//              [--led-grow-ms MS] [--led-incomplete-ms MS]
//
// It listens on PATH and serves the first connection (qemu's) until qemu
// closes it. The model parses the frames the program writes, checks their
// checksums, answers heartbeats, recognises the LED command sequences and
// plays the scenario's key script (the default operator: ENTER, UP, DOWN,
// LEFT, RIGHT, then MENU). The script's times count from the moment the
// program opened the port; the peer cannot see the open itself and takes
// the first byte the program sends (its first heartbeat or LED frame, right
// after panelopen) for it. That first byte comes late by however long the
// guest took to print and send it, while the program's heartbeats keep its
// own time from the open: with --heartbeats (when each heartbeat came on the
// simulated board, in microseconds from the open) the peer moves the rest of
// the script at each heartbeat, so that a key due a set time after a
// heartbeat's reply is not late by the guest's slowness (a key test ends
// after 5 s without a byte). --led-grow-ms and --led-incomplete-ms let the
// model wait longer than the real panel before it judges an LED sequence
// (the allowance the bed declares for a starved host). Every event of the
// model goes to the record, one JSON object per line in the format of
// ftq-sim --trace.
#include "sim/bed/accept_one.h"
#include "sim/bed/realtime_host.h"
#include "sim/kernel/trace.h"
#include "sim/models/panel.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kLineQuietMs = 3;

class PeerHost : public bed::RealTimeHost {
  public:
    PeerHost(sim::Scenario scenario, std::ofstream &record, std::vector<sim::Time> heartbeats)
        : RealTimeHost(std::move(scenario)), record_(record), heartbeats_(std::move(heartbeats)) {}

    // The key script, timed from now as the program's open.
    void start_script(sim::PanelController &panel, sim::OpenFile &port) {
        opened_at_ = now();
        mark(true);
        panel.open(port);
        mark(false);
    }

    void trace(const std::string &dev, const std::string &ev, nlohmann::json data) override {
        sim::Trace one;
        one.add(now(), dev, ev, std::move(data));
        one.write_jsonl(record_);
        record_.flush();
        // The model schedules a heartbeat's reply after tracing it: the
        // script moves first, the reply keeps its own delay.
        if (dev == "panel" && ev == "heartbeat" && seen_ < heartbeats_.size()) {
            sim::Time open = now() - heartbeats_[seen_++];
            shift_marked(open - opened_at_);
            opened_at_ = open;
        }
    }

  private:
    std::ofstream &record_;
    std::vector<sim::Time> heartbeats_;
    size_t seen_ = 0;
    sim::Time opened_at_ = 0;
};

// "10000000,20000000": microseconds, ascending.
bool parse_times(const std::string &s, std::vector<sim::Time> &out) {
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find(',', pos);
        if (end == std::string::npos)
            end = s.size();
        std::string one = s.substr(pos, end - pos);
        if (one.empty() || one.find_first_not_of("0123456789") != std::string::npos ||
            one.size() > 15)
            return false;
        sim::Time t = std::stoll(one);
        if (!out.empty() && t < out.back())
            return false;
        out.push_back(t);
        pos = end + 1;
    }
    return true;
}

// A wait in milliseconds, at most an hour.
bool parse_ms(const std::string &s, sim::Time &out) {
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoll(s) * sim::kMillisecond;
    return out <= 3600 * 1000 * sim::kMillisecond;
}

int usage() {
    fprintf(stderr, "usage: panel-peer --scenario FILE --socket PATH --record PATH "
                    "[--heartbeats US,...] [--led-grow-ms MS] [--led-incomplete-ms MS]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string scenario_file, socket_path, record_path;
    std::vector<sim::Time> heartbeats;
    sim::PanelController::LedWaits waits;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--scenario" && i + 1 < argc)
            scenario_file = argv[++i];
        else if (a == "--socket" && i + 1 < argc)
            socket_path = argv[++i];
        else if (a == "--record" && i + 1 < argc)
            record_path = argv[++i];
        else if (a == "--heartbeats" && i + 1 < argc) {
            if (!parse_times(argv[++i], heartbeats)) {
                fprintf(stderr,
                        "panel-peer: --heartbeats: '%s' is not ascending microseconds, "
                        "separated by commas\n",
                        argv[i]);
                return 2;
            }
        } else if ((a == "--led-grow-ms" || a == "--led-incomplete-ms") && i + 1 < argc) {
            if (!parse_ms(argv[++i], a == "--led-grow-ms" ? waits.grow : waits.incomplete)) {
                fprintf(stderr, "panel-peer: %s: '%s' is not milliseconds up to an hour\n",
                        a.c_str(), argv[i]);
                return 2;
            }
        } else
            return usage();
    }
    if (scenario_file.empty() || socket_path.empty() || record_path.empty())
        return usage();

    try {
        std::ofstream record(record_path);
        PeerHost host(sim::Scenario::from_file(scenario_file), record, std::move(heartbeats));
        sim::PanelController panel(host, host.scenario().section("panel"), waits);
        if (host.device("/dev/ttyS2") == nullptr) {
            fprintf(stderr, "panel-peer: the scenario's panel is missing\n");
            return 1;
        }

        int fd = bed::accept_one(socket_path, "panel-peer");
        if (fd < 0)
            return 1;
        host.trace("peer", "connected", {});

        sim::OpenFile port;
        port.path = "/dev/ttyS2";
        port.dev = &panel;
        bool opened = false;
        uint8_t buf[4096];
        int wait_ms = host.run_due();
        for (;;) {
            // What the panel sent goes out at once.
            for (;;) {
                ssize_t n = panel.read(port, buf, sizeof buf);
                if (n <= 0)
                    break;
                if (!bed::send_all(fd, buf, static_cast<size_t>(n)))
                    break;
            }
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, wait_ms);
            if (r < 0 && errno != EINTR) {
                perror("panel-peer: poll");
                return 1;
            }
            // The bytes already waiting are read before the due timers run: a
            // host that held the peer up must not make a frame that had
            // arrived in time look late.
            if (r < 0) {
                wait_ms = 0;
                continue;
            }
            if (r == 0) {
                wait_ms = host.run_due();
                continue;
            }
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) {
                wait_ms = 0;
                continue;
            }
            if (n <= 0)
                break; // qemu closed the port: the board is off
            // The UART hands the bytes over a few at a time; what arrives
            // without a pause of kLineQuietMs is one write of the program.
            size_t got = static_cast<size_t>(n);
            bool closed = false;
            while (got < sizeof buf) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, kLineQuietMs) <= 0)
                    break;
                ssize_t more = ::recv(fd, buf + got, sizeof buf - got, 0);
                if (more <= 0) {
                    closed = more == 0;
                    break;
                }
                got += static_cast<size_t>(more);
            }
            if (!opened) {
                opened = true;
                host.trace("peer", "program_opened", {});
                host.start_script(panel, port);
            }
            panel.write(port, buf, got);
            if (closed)
                break;
            wait_ms = host.run_due();
        }
        // A sequence the program left unfinished is reported as such.
        panel.close(port);
        host.trace("peer", "disconnected", {});
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "panel-peer: %s\n", e.what());
        return 1;
    }
}
